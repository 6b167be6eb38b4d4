#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace nbd {

class JSONValue;

// One member of a JSON object.
struct JSONMember;

// The one generic JSON value of the client: string, number (double), bool, object,
// array or null. Immutable once built; objects and arrays share their payload between
// copies, so copying a value is cheap whatever its size.
class JSONValue
{
public:
    // The ordinal is part of the hash, keep the order.
    enum class Type : std::uint8_t { String = 0, Number = 1, Bool = 2, Object = 3, Array = 4, Null = 5 };

    using Members = std::vector<std::pair<QString, JSONValue>>;
    using Elements = std::vector<JSONValue>;

    JSONValue() noexcept; // null
    JSONValue(std::nullptr_t) noexcept;
    JSONValue(const QString &text);
    JSONValue(QString &&text) noexcept;
    JSONValue(const char *) = delete; // say QStringLiteral or u"…"_s
    JSONValue(const char16_t *text);
    JSONValue(double number) noexcept;
    JSONValue(int number) noexcept;
    JSONValue(qint64 number) noexcept;
    JSONValue(bool value) noexcept;
    JSONValue(const JSONValue &other) noexcept;
    JSONValue(JSONValue &&other) noexcept;
    JSONValue &operator=(const JSONValue &other) noexcept;
    JSONValue &operator=(JSONValue &&other) noexcept;
    ~JSONValue();

    // Objects keep one member per key; when a key repeats, the last occurrence wins.
    static JSONValue object(Members members);
    static JSONValue object(std::initializer_list<std::pair<QString, JSONValue>> members);
    static JSONValue array(Elements elements);
    static JSONValue array(std::initializer_list<JSONValue> elements);
    static JSONValue emptyObject();

    Type type() const noexcept { return m_type; }
    bool isString() const noexcept { return m_type == Type::String; }
    bool isNumber() const noexcept { return m_type == Type::Number; }
    bool isBool() const noexcept { return m_type == Type::Bool; }
    bool isObject() const noexcept { return m_type == Type::Object; }
    bool isArray() const noexcept { return m_type == Type::Array; }
    bool isNull() const noexcept { return m_type == Type::Null; }

    // Accessors never convert between cases: a bool is never a number, "1" never 1.
    std::optional<QString> string() const;
    const QString *stringPtr() const noexcept;
    std::optional<double> number() const noexcept;
    std::optional<bool> boolean() const noexcept;
    // An integral number within the signed 64-bit range, else nothing.
    std::optional<qint64> toInt() const noexcept;

    // Object members, sorted by key (UTF-16 order). Empty span for other cases.
    std::span<const JSONMember> members() const noexcept;
    // Array elements. Empty span for other cases.
    std::span<const JSONValue> elements() const noexcept;
    qsizetype size() const noexcept; // members or elements; 0 otherwise

    // The member's value when this is an object that has the key (which may be null).
    const JSONValue *find(QStringView key) const noexcept;
    std::optional<JSONValue> operator[](QStringView key) const;
    bool contains(QStringView key) const noexcept { return find(key) != nullptr; }

    // A copy of this object with one member set (added or replaced).
    JSONValue with(const QString &key, JSONValue value) const;

    bool operator==(const JSONValue &other) const noexcept;
    bool operator!=(const JSONValue &other) const noexcept { return !(*this == other); }
    size_t hash(size_t seed = 0) const noexcept;

    // Compact JSON text; nothing when the value holds a NaN or infinite number.
    std::optional<QByteArray> data() const;
    // Human-readable JSON text with two-space indents and keys in sorted order.
    // NaN and infinities are written as null so that displaying never fails.
    QByteArray prettyPrinted() const;
    // How "/" inside strings is written by the strict pretty printer.
    enum class Slash : std::uint8_t { Plain, Escaped };
    // The same layout, strict: nothing when the value holds a NaN or infinite number.
    std::optional<QByteArray> prettyData(Slash slash) const;

private:
    struct Shared;
    struct ObjectData;
    struct ArrayData;
    friend class JSONParser;
    friend struct JSONValueAccess;

    void release() noexcept;
    void retain() const noexcept;

    Type m_type = Type::Null;
    union {
        double m_number;
        bool m_bool;
        Shared *m_shared; // ObjectData or ArrayData
        QString m_string;
    };
};

struct JSONMember
{
    QString key;
    JSONValue value;
};

size_t qHash(const JSONValue &value, size_t seed = 0) noexcept;

// Parses one JSON text (any value, including a bare scalar). Throws DecodingError.
JSONValue parseJSON(QByteArrayView bytes);
// Same, without throwing: nothing on failure, with the message in *error when given.
std::optional<JSONValue> tryParseJSON(QByteArrayView bytes, QString *error = nullptr);

// The integer rule of the wire: integral, and -2^63 <= v < 2^63.
std::optional<qint64> integralInt64(double value) noexcept;

} // namespace nbd

template<>
struct std::hash<nbd::JSONValue>
{
    size_t operator()(const nbd::JSONValue &value) const noexcept { return value.hash(); }
};
