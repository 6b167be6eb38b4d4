#pragma once

#include "Wire/JSONValue.h"
#include "Wire/WireErrors.h"

#include <QString>
#include <QTest>

#include <initializer_list>
#include <optional>
#include <utility>

namespace nbd::test {

inline JSONValue json(const char *text)
{
    return parseJSON(QByteArrayView(text));
}

// A settings namespace as the host describes it, with an empty schema.
inline JSONValue settingsNamespaceValue(const QString &ns, const QString &applies, JSONValue secrets, qint64 revision,
                                        JSONValue value)
{
    return JSONValue::object({{QStringLiteral("ns"), ns},
                              {QStringLiteral("schema"), JSONValue::emptyObject()},
                              {QStringLiteral("value"), value},
                              {QStringLiteral("applies"), applies},
                              {QStringLiteral("secrets"), secrets},
                              {QStringLiteral("revision"), revision}});
}

// Decodes `text` as T; on failure returns nothing and stores the decoder's message.
template<class T>
std::optional<T> tryDecode(const QByteArray &text, QString *error = nullptr)
{
    try {
        return T::fromJson(parseJSON(text));
    } catch (const DecodingError &e) {
        if (error)
            *error = e.description();
        return std::nullopt;
    }
}

template<class T>
bool decodes(const QByteArray &text, QString *error)
{
    return tryDecode<T>(text, error).has_value();
}

// For tables that mix several small records: the row's "record" column names the decoder.
using NamedDecoder = std::pair<QStringView, bool (*)(const QByteArray &, QString *)>;

inline void checkDecodeByName(std::initializer_list<NamedDecoder> decoders)
{
    QFETCH(QString, record);
    QFETCH(QByteArray, text);
    QFETCH(bool, decodes);
    QFETCH(QString, errorPart);
    for (const NamedDecoder &decoder : decoders) {
        if (decoder.first != record)
            continue;
        QString error;
        QCOMPARE(decoder.second(text, &error), decodes);
        if (!decodes)
            QVERIFY2(error.contains(errorPart), qPrintable(error));
        return;
    }
    QFAIL("unknown record");
}

} // namespace nbd::test

// Row columns shared by the decode tables: the JSON text, whether it decodes, and a part
// of the error message when it does not.
#define NBD_DECODE_COLUMNS()                                                                                           \
    QTest::addColumn<QByteArray>("text");                                                                              \
    QTest::addColumn<bool>("decodes");                                                                                 \
    QTest::addColumn<QString>("errorPart")

#define NBD_CHECK_DECODE(Type, decodedVar)                                                                             \
    QFETCH(QByteArray, text);                                                                                          \
    QFETCH(bool, decodes);                                                                                             \
    QFETCH(QString, errorPart);                                                                                        \
    QString decodeError_;                                                                                              \
    const auto decodedVar = nbd::test::tryDecode<Type>(text, &decodeError_);                                           \
    QCOMPARE(decodedVar.has_value(), decodes);                                                                         \
    if (!decodes)                                                                                                      \
        QVERIFY2(decodeError_.contains(errorPart), qPrintable(decodeError_))
