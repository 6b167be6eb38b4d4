// UTF-8 text for repeated searches: its form of every UTF-16 text, and the vector search
// against the plain one of the standard library.

#include "UI/Shared/Utf8Search.h"

#include <QtTest>

#include <string_view>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

namespace {

std::string bytesOf(const std::u16string &text)
{
    Utf8Search::Buffer buffer;
    Utf8Search::append(text.data(), text.size(), buffer);
    return std::string(buffer.data() ? buffer.data() : "", buffer.size());
}

qsizetype searched(std::string_view hay, std::string_view needle, qsizetype from)
{
    return Utf8Search::find(hay.data(), qsizetype(hay.size()), needle.data(), qsizetype(needle.size()), from);
}

// What std::string_view says, in the same terms.
qsizetype reference(std::string_view hay, std::string_view needle, qsizetype from)
{
    if (from < 0 || size_t(from) > hay.size())
        return -1;
    const size_t at = hay.find(needle, size_t(from));
    return at == std::string_view::npos ? -1 : qsizetype(at);
}

} // namespace

class TestUtf8Search : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodesAsUtf8_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("ASCII edges") << (QString(QChar(0)) + QChar(0x7f)) << QByteArray("\x00\x7f", 2);
        QTest::newRow("two bytes") << (QString(QChar(0x80)) + QChar(0x7ff)) << QByteArray("\xc2\x80\xdf\xbf");
        QTest::newRow("three bytes") << u"\u0800完\uffff"_s << QByteArray("\xe0\xa0\x80\xe5\xae\x8c\xef\xbf\xbf");
        QTest::newRow("pair") << u"😀"_s << QByteArray("\xf0\x9f\x98\x80");
        QTest::newRow("last pair") << u"\U0010FFFF"_s << QByteArray("\xf4\x8f\xbf\xbf");
    }

    void encodesAsUtf8()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        const std::u16string u(reinterpret_cast<const char16_t *>(text.utf16()), size_t(text.size()));
        QCOMPARE(QByteArray::fromStdString(bytesOf(u)), bytes);
        // The same as Qt's own encoder for text of whole characters.
        QCOMPARE(text.toUtf8(), bytes);
    }

    // Every text reads back as it was, stray halves of pairs included, wherever they stand.
    void readsBackEveryText()
    {
        const std::vector<char16_t> units{0x0000, 0x0041, 0x007F, 0x0080, 0x07FF, 0x0800, 0x5B8C, 0xD7FF, 0xD800,
                                          0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
        // All texts of up to three of these units: pairs, halves before, after and between them.
        std::vector<std::u16string> texts{{}};
        for (int length = 1; length <= 3; ++length) {
            const size_t before = texts.size();
            for (size_t i = 0; i < before; ++i) {
                if (texts[i].size() != size_t(length - 1))
                    continue;
                for (char16_t u : units)
                    texts.push_back(texts[i] + u);
            }
        }
        QCOMPARE(texts.size(), size_t(1 + 15 + 15 * 15 + 15 * 15 * 15));
        for (const std::u16string &text : texts) {
            const std::string bytes = bytesOf(text);
            QVERIFY(bytes.size() <= text.size() * 3);
            if (Utf8Search::toUtf16(bytes.data(), bytes.size()) != text)
                QFAIL(QString::fromStdU16String(text).toUtf8().toHex().constData());
        }
        const char16_t stray[] = {u'a', 0xDC00, u'b', 0xD800};
        QVERIFY(Utf8Search::hasStraySurrogate(stray, 4));
        QVERIFY(Utf8Search::hasStraySurrogate(stray + 3, 1));
        QVERIFY(!Utf8Search::hasStraySurrogate(stray, 1));
        const char16_t whole[] = {0xD83D, 0xDE00, u'x'};
        QVERIFY(!Utf8Search::hasStraySurrogate(whole, 3));
        QVERIFY(Utf8Search::hasStraySurrogate(whole, 1)); // the pair cut in half
    }

    // The buffer keeps what was written while it grows, and grows from nothing.
    void bufferGrowsKeepingItsBytes()
    {
        Utf8Search::Buffer buffer;
        QCOMPARE(buffer.size(), size_t(0));
        std::string expected;
        for (int i = 0; i < 3000; ++i) {
            const std::string piece = std::to_string(i) + ',';
            char *to = buffer.extend(piece.size() + 7); // more room than is written
            std::copy(piece.begin(), piece.end(), to);
            buffer.commit(piece.size());
            expected += piece;
        }
        QCOMPARE(std::string(buffer.data(), buffer.size()), expected);
        buffer.reserve(1); // less than it holds: nothing changes
        QCOMPARE(std::string(buffer.data(), buffer.size()), expected);
    }

    void findsWhatTheStandardSearchFinds_data()
    {
        QTest::addColumn<QByteArray>("hay");
        QTest::addColumn<QByteArray>("needle");
        QTest::addColumn<qsizetype>("from");
        QTest::addColumn<qsizetype>("at");
        QTest::newRow("empty hay") << QByteArray() << QByteArray("a") << qsizetype(0) << qsizetype(-1);
        QTest::newRow("empty needle") << QByteArray("abc") << QByteArray() << qsizetype(1) << qsizetype(1);
        QTest::newRow("empty needle at the end") << QByteArray("abc") << QByteArray() << qsizetype(3) << qsizetype(3);
        QTest::newRow("from past the end") << QByteArray("abc") << QByteArray() << qsizetype(4) << qsizetype(-1);
        QTest::newRow("negative from") << QByteArray("abc") << QByteArray("a") << qsizetype(-1) << qsizetype(-1);
        QTest::newRow("needle is the hay") << QByteArray("abc") << QByteArray("abc") << qsizetype(0) << qsizetype(0);
        QTest::newRow("needle longer") << QByteArray("abc") << QByteArray("abcd") << qsizetype(0) << qsizetype(-1);
        QTest::newRow("ends agree, middle not") << QByteArray(40, 'a') + "axa" << QByteArray("aya") << qsizetype(0) << qsizetype(-1);
        QTest::newRow("after from only") << QByteArray("needle needle") << QByteArray("needle") << qsizetype(1) << qsizetype(7);
        QTest::newRow("last byte of a long hay") << QByteArray(100, '.') + "z" << QByteArray("z") << qsizetype(0) << qsizetype(100);
        QTest::newRow("UTF-8 needle") << QByteArray("\xe4\xbb\xbb\xe5\x8a\xa1\xe5\xae\x8c\xe6\x88\x90")
                                      << QByteArray("\xe5\xae\x8c\xe6\x88\x90") << qsizetype(0) << qsizetype(6);
    }

    void findsWhatTheStandardSearchFinds()
    {
        QFETCH(QByteArray, hay);
        QFETCH(QByteArray, needle);
        QFETCH(qsizetype, from);
        QFETCH(qsizetype, at);
        const std::string_view h(hay.constData(), size_t(hay.size()));
        const std::string_view n(needle.constData(), size_t(needle.size()));
        QCOMPARE(searched(h, n, from), at);
        QCOMPARE(reference(h, n, from), at);
    }

    // Needles of every length up to past two vectors, placed on both sides of every vector
    // edge, with decoys that share the needle's first and last byte.
    void findsAroundVectorEdges()
    {
        quint32 seed = 77;
        auto next = [&seed](quint32 bound) {
            seed = seed * 1664525u + 1013904223u;
            return (seed >> 8) % bound;
        };
        for (int m = 1; m <= 70; ++m) {
            std::string needle;
            for (int i = 0; i < m; ++i)
                needle += char('a' + next(3));
            needle.front() = 'q';
            needle.back() = 'q';
            for (int length = m; length <= 140; length += 7) {
                for (int place = 0; place + m <= length; place += 5) {
                    std::string hay(size_t(length), 'q'); // decoys everywhere
                    for (size_t i = 0; i < hay.size(); i += 2)
                        hay[i] = char('a' + next(3));
                    hay.replace(size_t(place), size_t(m), needle);
                    for (qsizetype from : {qsizetype(0), qsizetype(place), qsizetype(place + 1), qsizetype(length)}) {
                        const qsizetype got = searched(hay, needle, from);
                        const qsizetype want = reference(hay, needle, from);
                        if (got != want)
                            QFAIL(qPrintable(QStringLiteral("m %1 length %2 place %3 from %4: %5, not %6")
                                                 .arg(m).arg(length).arg(place).arg(from).arg(got).arg(want)));
                    }
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestUtf8Search)
#include "tst_utf8search.moc"
