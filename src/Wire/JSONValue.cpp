#include "Wire/JSONValue.h"

#include "Wire/JSONValueAccess.h"

#include <QHashFunctions>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

namespace nbd {

// ---- construction and lifetime ------------------------------------------------------

JSONValue::JSONValue() noexcept : m_type(Type::Null), m_shared(nullptr) {}
JSONValue::JSONValue(std::nullptr_t) noexcept : JSONValue() {}
JSONValue::JSONValue(const QString &text) : m_type(Type::String) { new (&m_string) QString(text); }
JSONValue::JSONValue(QString &&text) noexcept : m_type(Type::String) { new (&m_string) QString(std::move(text)); }
JSONValue::JSONValue(const char16_t *text) : JSONValue(QString::fromUtf16(text)) {}
JSONValue::JSONValue(double number) noexcept : m_type(Type::Number), m_number(number) {}
JSONValue::JSONValue(int number) noexcept : m_type(Type::Number), m_number(double(number)) {}
JSONValue::JSONValue(qint64 number) noexcept : m_type(Type::Number), m_number(double(number)) {}
JSONValue::JSONValue(bool value) noexcept : m_type(Type::Bool), m_shared(nullptr) { m_bool = value; }

JSONValue::JSONValue(const JSONValue &other) noexcept : m_type(other.m_type), m_shared(nullptr)
{
    switch (m_type) {
    case Type::String: new (&m_string) QString(other.m_string); break;
    case Type::Number: m_number = other.m_number; break;
    case Type::Bool: m_bool = other.m_bool; break;
    case Type::Object:
    case Type::Array: m_shared = other.m_shared; retain(); break;
    case Type::Null: break;
    }
}

JSONValue::JSONValue(JSONValue &&other) noexcept : m_type(other.m_type), m_shared(nullptr)
{
    switch (m_type) {
    case Type::String: new (&m_string) QString(std::move(other.m_string)); break;
    case Type::Number: m_number = other.m_number; break;
    case Type::Bool: m_bool = other.m_bool; break;
    case Type::Object:
    case Type::Array:
        m_shared = other.m_shared;
        other.m_type = Type::Null;
        other.m_shared = nullptr;
        break;
    case Type::Null: break;
    }
}

JSONValue &JSONValue::operator=(const JSONValue &other) noexcept
{
    if (this != &other) {
        JSONValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

JSONValue &JSONValue::operator=(JSONValue &&other) noexcept
{
    if (this != &other) {
        release();
        new (this) JSONValue(std::move(other));
    }
    return *this;
}

JSONValue::~JSONValue() { release(); }

void JSONValue::retain() const noexcept
{
    if (m_shared)
        m_shared->ref.fetch_add(1, std::memory_order_relaxed);
}

void JSONValue::release() noexcept
{
    switch (m_type) {
    case Type::String: m_string.~QString(); break;
    case Type::Object:
        if (m_shared && m_shared->ref.fetch_sub(1, std::memory_order_acq_rel) == 1)
            static_cast<ObjectData *>(m_shared)->destroy();
        break;
    case Type::Array:
        if (m_shared && m_shared->ref.fetch_sub(1, std::memory_order_acq_rel) == 1)
            static_cast<ArrayData *>(m_shared)->destroy();
        break;
    default: break;
    }
    m_type = Type::Null;
    m_shared = nullptr;
}

JSONValue JSONValue::object(Members members)
{
    std::vector<JSONMember> tmp;
    tmp.reserve(members.size());
    for (auto &m : members)
        tmp.push_back(JSONMember{std::move(m.first), std::move(m.second)});
    return JSONValueAccess::makeObject(tmp.data(), qsizetype(tmp.size()));
}

JSONValue JSONValue::object(std::initializer_list<std::pair<QString, JSONValue>> members)
{
    return object(Members(members.begin(), members.end()));
}

JSONValue JSONValue::emptyObject() { return JSONValueAccess::makeObject(nullptr, 0); }

JSONValue JSONValue::array(Elements elements)
{
    return JSONValueAccess::makeArray(elements.data(), qsizetype(elements.size()));
}

JSONValue JSONValue::array(std::initializer_list<JSONValue> elements)
{
    return array(Elements(elements.begin(), elements.end()));
}

// ---- accessors ---------------------------------------------------------------------

std::optional<QString> JSONValue::string() const
{
    if (m_type == Type::String)
        return m_string;
    return std::nullopt;
}

const QString *JSONValue::stringPtr() const noexcept { return m_type == Type::String ? &m_string : nullptr; }

std::optional<double> JSONValue::number() const noexcept
{
    if (m_type == Type::Number)
        return m_number;
    return std::nullopt;
}

std::optional<bool> JSONValue::boolean() const noexcept
{
    if (m_type == Type::Bool)
        return m_bool;
    return std::nullopt;
}

std::optional<qint64> integralInt64(double value) noexcept
{
    if (!std::isfinite(value) || std::round(value) != value)
        return std::nullopt;
    // -2^63 is exact as a double; 2^63 is the first double out of range.
    if (value < -9223372036854775808.0 || value >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(value);
}

std::optional<qint64> JSONValue::toInt() const noexcept
{
    if (m_type != Type::Number)
        return std::nullopt;
    return integralInt64(m_number);
}

std::span<const JSONMember> JSONValue::members() const noexcept
{
    if (m_type != Type::Object)
        return {};
    const auto *d = JSONValueAccess::object(*this);
    return {d->items(), size_t(d->size)};
}

std::span<const JSONValue> JSONValue::elements() const noexcept
{
    if (m_type != Type::Array)
        return {};
    const auto *d = JSONValueAccess::array(*this);
    return {d->items(), size_t(d->size)};
}

qsizetype JSONValue::size() const noexcept
{
    if (m_type == Type::Object || m_type == Type::Array)
        return m_shared->size;
    return 0;
}

const JSONValue *JSONValue::find(QStringView key) const noexcept
{
    if (m_type != Type::Object)
        return nullptr;
    auto items = members();
    if (items.size() <= 8) {
        for (const auto &m : items)
            if (m.key == key)
                return &m.value;
        return nullptr;
    }
    auto it = std::lower_bound(items.begin(), items.end(), key,
                               [](const JSONMember &m, QStringView k) { return QStringView(m.key) < k; });
    if (it != items.end() && it->key == key)
        return &it->value;
    return nullptr;
}

std::optional<JSONValue> JSONValue::operator[](QStringView key) const
{
    if (const JSONValue *v = find(key))
        return *v;
    return std::nullopt;
}

JSONValue JSONValue::with(const QString &key, JSONValue value) const
{
    std::vector<JSONMember> tmp;
    for (const auto &m : members())
        tmp.push_back(m);
    tmp.push_back(JSONMember{key, std::move(value)});
    return JSONValueAccess::makeObject(tmp.data(), qsizetype(tmp.size()));
}

// ---- equality and hashing ----------------------------------------------------------

bool JSONValue::operator==(const JSONValue &other) const noexcept
{
    if (m_type != other.m_type)
        return false;
    switch (m_type) {
    case Type::String: return m_string == other.m_string;
    case Type::Number: return m_number == other.m_number; // IEEE: NaN equals nothing
    case Type::Bool: return m_bool == other.m_bool;
    case Type::Null: return true;
    case Type::Object: {
        if (m_shared == other.m_shared)
            return true;
        // Members are kept sorted by key, so equal objects line up whatever the source order.
        auto a = members(), b = other.members();
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i].key != b[i].key || !(a[i].value == b[i].value))
                return false;
        return true;
    }
    case Type::Array: {
        if (m_shared == other.m_shared)
            return true;
        auto a = elements(), b = other.elements();
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!(a[i] == b[i]))
                return false;
        return true;
    }
    }
    return false;
}

size_t JSONValue::hash(size_t seed) const noexcept
{
    QtPrivate::QHashCombine combine;
    size_t h = combine(seed, size_t(m_type));
    switch (m_type) {
    case Type::String: return combine(h, ::qHash(m_string, 0));
    case Type::Number: return combine(h, ::qHash(m_number == 0.0 ? 0.0 : m_number, 0)); // -0.0 hashes as 0.0
    case Type::Bool: return combine(h, size_t(m_bool));
    case Type::Null: return h;
    case Type::Object:
        // Sorted members make the hash independent of the source order.
        for (const auto &m : members())
            h = combine(combine(h, ::qHash(m.key, 0)), m.value.hash());
        return h;
    case Type::Array:
        for (const auto &e : elements())
            h = combine(h, e.hash());
        return h;
    }
    return h;
}

size_t qHash(const JSONValue &value, size_t seed) noexcept { return value.hash(seed); }

// ---- writer --------------------------------------------------------------------------

namespace {

// The text as a JSON string: UTF-8 made straight from the UTF-16 units through a small buffer
// (a large reply holds hundreds of thousands of strings; a temporary UTF-8 copy of each one
// cost more than the escaping). A lone surrogate has no UTF-8 form: it is written as its
// escape ("\uD800"), so that the text reads back exactly as it was.
void writeString(QByteArray &out, const QString &text, bool escapeSlash = false)
{
    static const char lowerHex[] = "0123456789abcdef";
    static const char upperHex[] = "0123456789ABCDEF";
    char buffer[256];
    constexpr qsizetype kRoom = qsizetype(sizeof(buffer)) - 8; // the longest piece is 6 bytes
    qsizetype n = 0;
    buffer[n++] = '"';
    const char16_t *units = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        if (n >= kRoom) {
            out.append(buffer, n);
            n = 0;
        }
        const char16_t u = units[i];
        if (u < 0x80) {
            if (u >= 0x20 && u != u'"' && u != u'\\' && (u != u'/' || !escapeSlash)) {
                buffer[n++] = char(u);
                continue;
            }
            buffer[n++] = '\\';
            switch (u) {
            case u'"': buffer[n++] = '"'; break;
            case u'/': buffer[n++] = '/'; break;
            case u'\\': buffer[n++] = '\\'; break;
            case u'\n': buffer[n++] = 'n'; break;
            case u'\r': buffer[n++] = 'r'; break;
            case u'\t': buffer[n++] = 't'; break;
            case u'\b': buffer[n++] = 'b'; break;
            case u'\f': buffer[n++] = 'f'; break;
            default:
                buffer[n++] = 'u';
                buffer[n++] = '0';
                buffer[n++] = '0';
                buffer[n++] = lowerHex[u >> 4];
                buffer[n++] = lowerHex[u & 15];
            }
        } else if (u < 0x800) {
            buffer[n++] = char(0xC0 | (u >> 6));
            buffer[n++] = char(0x80 | (u & 0x3F));
        } else if (u < 0xD800 || u > 0xDFFF) {
            buffer[n++] = char(0xE0 | (u >> 12));
            buffer[n++] = char(0x80 | ((u >> 6) & 0x3F));
            buffer[n++] = char(0x80 | (u & 0x3F));
        } else if (u <= 0xDBFF && i + 1 < size && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            const char32_t c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[++i]) - 0xDC00);
            buffer[n++] = char(0xF0 | (c >> 18));
            buffer[n++] = char(0x80 | ((c >> 12) & 0x3F));
            buffer[n++] = char(0x80 | ((c >> 6) & 0x3F));
            buffer[n++] = char(0x80 | (c & 0x3F));
        } else {
            buffer[n++] = '\\';
            buffer[n++] = 'u';
            buffer[n++] = upperHex[(u >> 12) & 15];
            buffer[n++] = upperHex[(u >> 8) & 15];
            buffer[n++] = upperHex[(u >> 4) & 15];
            buffer[n++] = upperHex[u & 15];
        }
    }
    buffer[n++] = '"';
    out.append(buffer, n);
}

bool writeNumber(QByteArray &out, double v)
{
    if (!std::isfinite(v))
        return false;
    char buf[40];
    // Integers below 2^53 in magnitude are written without fraction or exponent.
    if (std::round(v) == v && std::fabs(v) < 9007199254740992.0) {
        auto r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v));
        out.append(buf, r.ptr - buf);
        return true;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, v); // shortest round-trip form
    out.append(buf, r.ptr - buf);
    return true;
}

bool write(QByteArray &out, const JSONValue &v, int indent, bool lenient, bool escapeSlash = false)
{
    auto newline = [&](int level) {
        if (indent < 0)
            return;
        out.append('\n');
        out.append(QByteArray(level * 2, ' '));
    };
    switch (v.type()) {
    case JSONValue::Type::Null: out.append("null", 4); return true;
    case JSONValue::Type::Bool: out.append(*v.boolean() ? QByteArrayView("true") : QByteArrayView("false")); return true;
    case JSONValue::Type::String: writeString(out, *v.stringPtr(), escapeSlash); return true;
    case JSONValue::Type::Number:
        if (writeNumber(out, *v.number()))
            return true;
        if (lenient) {
            out.append("null", 4);
            return true;
        }
        return false;
    case JSONValue::Type::Array: {
        auto items = v.elements();
        out.append('[');
        const int level = indent < 0 ? -1 : indent + 1;
        bool first = true;
        for (const auto &e : items) {
            if (!first)
                out.append(',');
            first = false;
            newline(level);
            if (!write(out, e, level, lenient, escapeSlash))
                return false;
        }
        if (!items.empty())
            newline(indent);
        out.append(']');
        return true;
    }
    case JSONValue::Type::Object: {
        auto items = v.members();
        out.append('{');
        const int level = indent < 0 ? -1 : indent + 1;
        bool first = true;
        for (const auto &m : items) {
            if (!first)
                out.append(',');
            first = false;
            newline(level);
            writeString(out, m.key, escapeSlash);
            out.append(indent < 0 ? QByteArrayView(":") : QByteArrayView(" : "));
            if (!write(out, m.value, level, lenient, escapeSlash))
                return false;
        }
        if (!items.empty())
            newline(indent);
        out.append('}');
        return true;
    }
    }
    return false;
}

} // namespace

std::optional<QByteArray> JSONValue::data() const
{
    QByteArray out;
    if (!write(out, *this, -1, false))
        return std::nullopt;
    return out;
}

QByteArray JSONValue::prettyPrinted() const
{
    QByteArray out;
    write(out, *this, 0, true);
    return out;
}

std::optional<QByteArray> JSONValue::prettyData(Slash slash) const
{
    QByteArray out;
    if (!write(out, *this, 0, false, slash == Slash::Escaped))
        return std::nullopt;
    return out;
}

} // namespace nbd
