#include "Wire/JSONValue.h"

#include "Wire/WireErrors.h"

#include <QHashFunctions>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

namespace nbd {

// Objects and arrays live in one allocation each: a reference count, a length and the
// items inline. The parser knows the length before it allocates, so nothing is resized.
struct JSONValue::Shared
{
    std::atomic<int> ref{1};
    qsizetype size = 0;
};

struct JSONValue::ObjectData : JSONValue::Shared
{
    JSONMember *items() { return reinterpret_cast<JSONMember *>(this + 1); }
    const JSONMember *items() const { return reinterpret_cast<const JSONMember *>(this + 1); }

    static ObjectData *allocate(qsizetype count)
    {
        static_assert(sizeof(ObjectData) % alignof(JSONMember) == 0);
        void *raw = ::operator new(sizeof(ObjectData) + sizeof(JSONMember) * size_t(count));
        auto *data = new (raw) ObjectData;
        data->size = 0;
        return data;
    }
    void destroy()
    {
        std::destroy_n(items(), size);
        this->~ObjectData();
        ::operator delete(this);
    }
};

struct JSONValue::ArrayData : JSONValue::Shared
{
    JSONValue *items() { return reinterpret_cast<JSONValue *>(this + 1); }
    const JSONValue *items() const { return reinterpret_cast<const JSONValue *>(this + 1); }

    static ArrayData *allocate(qsizetype count)
    {
        static_assert(sizeof(ArrayData) % alignof(JSONValue) == 0);
        void *raw = ::operator new(sizeof(ArrayData) + sizeof(JSONValue) * size_t(count));
        auto *data = new (raw) ArrayData;
        data->size = 0;
        return data;
    }
    void destroy()
    {
        std::destroy_n(items(), size);
        this->~ArrayData();
        ::operator delete(this);
    }
};

struct JSONValueAccess
{
    static JSONValue fromObject(JSONValue::ObjectData *data)
    {
        JSONValue v;
        v.m_type = JSONValue::Type::Object;
        v.m_shared = data;
        return v;
    }
    static JSONValue fromArray(JSONValue::ArrayData *data)
    {
        JSONValue v;
        v.m_type = JSONValue::Type::Array;
        v.m_shared = data;
        return v;
    }
    static JSONValue::ObjectData *allocateObject(qsizetype n) { return JSONValue::ObjectData::allocate(n); }
    static JSONValue::ArrayData *allocateArray(qsizetype n) { return JSONValue::ArrayData::allocate(n); }

    // Sorts members by key and keeps the last of each repeated key; takes ownership of
    // the moved-in members.
    static JSONValue makeObject(JSONMember *begin, qsizetype count)
    {
        const auto less = [](const JSONMember &a, const JSONMember &b) { return a.key < b.key; };
        if (count <= 16) {
            // Small objects: a stable insertion sort without a temporary buffer.
            for (qsizetype i = 1; i < count; ++i) {
                if (!less(begin[i], begin[i - 1]))
                    continue;
                JSONMember moving = std::move(begin[i]);
                qsizetype j = i;
                for (; j > 0 && less(moving, begin[j - 1]); --j)
                    begin[j] = std::move(begin[j - 1]);
                begin[j] = std::move(moving);
            }
        } else if (!std::is_sorted(begin, begin + count, less)) {
            std::stable_sort(begin, begin + count, less);
        }
        qsizetype unique = 0;
        for (qsizetype i = 0; i < count; ++i) {
            if (i + 1 < count && begin[i].key == begin[i + 1].key)
                continue; // a later duplicate follows: it wins
            ++unique;
        }
        auto *data = JSONValue::ObjectData::allocate(unique);
        JSONMember *out = data->items();
        for (qsizetype i = 0; i < count; ++i) {
            if (i + 1 < count && begin[i].key == begin[i + 1].key)
                continue;
            new (out + data->size) JSONMember{std::move(begin[i].key), std::move(begin[i].value)};
            ++data->size;
        }
        return fromObject(data);
    }
    static JSONValue makeArray(JSONValue *begin, qsizetype count)
    {
        auto *data = JSONValue::ArrayData::allocate(count);
        for (qsizetype i = 0; i < count; ++i) {
            new (data->items() + i) JSONValue(std::move(begin[i]));
            ++data->size;
        }
        return fromArray(data);
    }
    static const JSONValue::ObjectData *object(const JSONValue &v)
    {
        return static_cast<const JSONValue::ObjectData *>(v.m_shared);
    }
    static const JSONValue::ArrayData *array(const JSONValue &v)
    {
        return static_cast<const JSONValue::ArrayData *>(v.m_shared);
    }
};

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

// ---- parser --------------------------------------------------------------------------

class JSONParser
{
public:
    explicit JSONParser(QByteArrayView bytes)
        : m_begin(bytes.data()), m_p(bytes.data()), m_end(bytes.data() + bytes.size())
    {
    }

    JSONValue parseDocument()
    {
        skipSpace();
        JSONValue v = parseValue(0);
        skipSpace();
        if (m_p != m_end)
            fail("unexpected data after the JSON value");
        return v;
    }

private:
    static constexpr int kMaxDepth = 512;

    [[noreturn]] void fail(const char *what) const
    {
        throw DecodingError(QStringLiteral("invalid JSON at offset %1: %2")
                                .arg(qint64(m_p - m_begin))
                                .arg(QString::fromLatin1(what)));
    }

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    bool consume(const char *word, size_t n)
    {
        if (size_t(m_end - m_p) >= n && std::memcmp(m_p, word, n) == 0) {
            m_p += n;
            return true;
        }
        return false;
    }

    JSONValue parseValue(int depth)
    {
        if (m_p >= m_end)
            fail("unexpected end of input");
        switch (*m_p) {
        case '{': return parseObject(depth + 1);
        case '[': return parseArray(depth + 1);
        case '"': return JSONValue(parseString());
        case 't':
            if (consume("true", 4))
                return JSONValue(true);
            fail("invalid literal");
        case 'f':
            if (consume("false", 5))
                return JSONValue(false);
            fail("invalid literal");
        case 'n':
            if (consume("null", 4))
                return JSONValue();
            fail("invalid literal");
        default:
            return JSONValue(parseNumber());
        }
    }

    double parseNumber()
    {
        const char *start = m_p;
        const char *p = m_p;
        if (p < m_end && *p == '-')
            ++p;
        if (p >= m_end)
            fail("invalid number");
        if (*p == '0') {
            ++p;
        } else if (*p >= '1' && *p <= '9') {
            while (p < m_end && *p >= '0' && *p <= '9')
                ++p;
        } else {
            fail("invalid value");
        }
        bool simple = true;
        if (p < m_end && *p == '.') {
            simple = false;
            ++p;
            if (p >= m_end || *p < '0' || *p > '9')
                fail("invalid number");
            while (p < m_end && *p >= '0' && *p <= '9')
                ++p;
        }
        if (p < m_end && (*p == 'e' || *p == 'E')) {
            simple = false;
            ++p;
            if (p < m_end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= m_end || *p < '0' || *p > '9')
                fail("invalid number");
            while (p < m_end && *p >= '0' && *p <= '9')
                ++p;
        }
        m_p = p;
        // Short integers are the common case (seqs, times, counts).
        if (simple && p - start <= 15) {
            const char *q = start;
            const bool negative = *q == '-';
            if (negative)
                ++q;
            long long n = 0;
            for (; q < p; ++q)
                n = n * 10 + (*q - '0');
            if (negative) {
                // -0 stays a negative zero, as the double parser would give it
                return n == 0 ? -0.0 : -double(n);
            }
            return double(n);
        }
        double value = 0;
        auto r = std::from_chars(start, p, value);
        if (r.ec == std::errc::result_out_of_range) {
            // A tiny magnitude rounds to zero; a huge one is refused. The magnitude is that
            // of the leading digit, not the exponent's sign: 1<400 zeros>e-1 is huge.
            if (decimalMagnitude(start, p) < 0)
                return *start == '-' ? -0.0 : 0.0;
            fail("number out of range");
        }
        if (r.ec != std::errc() || r.ptr != p)
            fail("invalid number");
        return value;
    }

    // The power of ten of the first significant digit of a well-formed, non-zero number
    // (1.5 gives 0, 0.02 gives -2, 12e3 gives 4), saturated far beyond any double's range.
    static long long decimalMagnitude(const char *start, const char *end)
    {
        const char *digits = start + (*start == '-' ? 1 : 0);
        const char *e = std::find_if(digits, end, [](char c) { return c == 'e' || c == 'E'; });
        const char *dot = std::find(digits, e, '.');
        constexpr long long kLimit = 1LL << 40;
        long long exponent = 0;
        if (e != end) {
            const char *q = e + 1;
            const bool negative = q < end && *q == '-';
            if (q < end && (*q == '-' || *q == '+'))
                ++q;
            for (; q < end; ++q)
                exponent = std::min(exponent * 10 + (*q - '0'), kLimit);
            if (negative)
                exponent = -exponent;
        }
        long long magnitude = 0;
        const char *first = std::find_if(digits, dot, [](char c) { return c != '0'; });
        if (first != dot) {
            magnitude = (dot - first) - 1;
        } else {
            const char *fraction = dot == e ? e : dot + 1;
            const char *nonZero = std::find_if(fraction, e, [](char c) { return c != '0'; });
            magnitude = -((nonZero - fraction) + 1);
        }
        return magnitude + exponent;
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    char16_t parseHex4()
    {
        if (m_end - m_p < 4)
            fail("truncated \\u escape");
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hexValue(m_p[i]);
            if (h < 0)
                fail("invalid \\u escape");
            v = v * 16 + h;
        }
        m_p += 4;
        return char16_t(v);
    }

    QString parseString()
    {
        ++m_p; // opening quote
        const char *start = m_p;
        bool ascii = true;
        // Fast scan: plain runs without escapes are converted in one go.
        while (m_p < m_end) {
            const unsigned char c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                const qsizetype n = m_p - start;
                ++m_p;
                if (ascii)
                    return latin1(start, n);
                return utf8(start, n);
            }
            if (c == '\\')
                break;
            if (c < 0x20)
                fail("control character in string");
            if (c >= 0x80)
                ascii = false;
            ++m_p;
        }
        if (m_p >= m_end)
            fail("unterminated string");
        // Slow path: escapes present.
        QString out = utf8(start, m_p - start);
        while (m_p < m_end) {
            const char *runStart = m_p;
            while (m_p < m_end && *m_p != '"' && *m_p != '\\') {
                if (static_cast<unsigned char>(*m_p) < 0x20)
                    fail("control character in string");
                ++m_p;
            }
            if (m_p > runStart)
                out.append(utf8(runStart, m_p - runStart));
            if (m_p >= m_end)
                break;
            if (*m_p == '"') {
                ++m_p;
                return out;
            }
            ++m_p; // backslash
            if (m_p >= m_end)
                break;
            const char e = *m_p++;
            switch (e) {
            case '"': out.append(u'"'); break;
            case '\\': out.append(u'\\'); break;
            case '/': out.append(u'/'); break;
            case 'b': out.append(u'\b'); break;
            case 'f': out.append(u'\f'); break;
            case 'n': out.append(u'\n'); break;
            case 'r': out.append(u'\r'); break;
            case 't': out.append(u'\t'); break;
            case 'u': {
                const char16_t unit = parseHex4();
                // Lone surrogates are kept as they are; text equality compares UTF-16 units.
                out.append(QChar(unit));
                break;
            }
            default: fail("invalid escape");
            }
        }
        fail("unterminated string");
    }

    static QString latin1(const char *p, qsizetype n)
    {
        if (n == 0)
            return QString();
        QString s(n, Qt::Uninitialized);
        char16_t *d = reinterpret_cast<char16_t *>(s.data());
        for (qsizetype i = 0; i < n; ++i)
            d[i] = static_cast<unsigned char>(p[i]);
        return s;
    }

    // Validates and decodes in two passes so the text is allocated at its exact UTF-16
    // length (a decoder sized by bytes would keep up to three times the room for Chinese).
    // Invalid UTF-8 is refused rather than silently replaced.
    QString utf8(const char *p, qsizetype n)
    {
        const auto *s = reinterpret_cast<const unsigned char *>(p);
        const qsizetype units = utf16Length(s, n);
        if (units < 0)
            fail("invalid UTF-8 in string");
        QString out(units, Qt::Uninitialized);
        char16_t *d = reinterpret_cast<char16_t *>(out.data());
        qsizetype i = 0;
        while (i < n) {
            const unsigned char c = s[i];
            if (c < 0x80) {
                *d++ = c;
                ++i;
            } else if ((c & 0xE0) == 0xC0) {
                *d++ = char16_t(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
                i += 2;
            } else if ((c & 0xF0) == 0xE0) {
                *d++ = char16_t(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
                i += 3;
            } else {
                const char32_t cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6)
                                    | (s[i + 3] & 0x3F);
                *d++ = QChar::highSurrogate(cp);
                *d++ = QChar::lowSurrogate(cp);
                i += 4;
            }
        }
        return out;
    }

    // The UTF-16 length of valid UTF-8, or -1.
    static qsizetype utf16Length(const unsigned char *s, qsizetype n)
    {
        qsizetype i = 0;
        qsizetype units = 0;
        while (i < n) {
            const unsigned char c = s[i];
            if (c < 0x80) {
                ++i;
                ++units;
                continue;
            }
            int len;
            unsigned cp;
            if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
            else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
            else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
            else return -1;
            if (i + len > n)
                return -1;
            for (int k = 1; k < len; ++k) {
                if ((s[i + k] & 0xC0) != 0x80)
                    return -1;
                cp = (cp << 6) | (s[i + k] & 0x3F);
            }
            if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))
                || (cp >= 0xD800 && cp <= 0xDFFF))
                return -1;
            i += len;
            units += len == 4 ? 2 : 1;
        }
        return units;
    }

    // Keys repeat across thousands of objects; sharing one QString per distinct key
    // saves an allocation per member and most of the memory keys would take. Plain keys
    // (no escapes) are looked up by their raw bytes before any text is built.
    QString parseKey()
    {
        const char *start = m_p + 1;
        const char *p = start;
        size_t h = 14695981039346656037ull;
        while (p < m_end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) {
            h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
            ++p;
        }
        const qsizetype n = p - start;
        if (p >= m_end || *p != '"' || n > kMaxCachedKey)
            return parseString();
        KeySlot &slot = m_keys[h & (kKeyCache - 1)];
        if (slot.length == n && std::memcmp(slot.bytes, start, size_t(n)) == 0) {
            m_p = p + 1;
            return slot.text;
        }
        QString text = parseString();
        slot.length = n;
        std::memcpy(slot.bytes, start, size_t(n));
        slot.text = text;
        return text;
    }

    JSONValue parseObject(int depth)
    {
        if (depth > kMaxDepth)
            fail("nesting too deep");
        ++m_p;
        const size_t base = m_memberStack.size();
        skipSpace();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return JSONValueAccess::makeObject(nullptr, 0);
        }
        while (true) {
            skipSpace();
            if (m_p >= m_end || *m_p != '"')
                fail("expected a member name");
            QString key = parseKey();
            skipSpace();
            if (m_p >= m_end || *m_p != ':')
                fail("expected ':'");
            ++m_p;
            skipSpace();
            JSONValue value = parseValue(depth);
            m_memberStack.push_back(JSONMember{std::move(key), std::move(value)});
            skipSpace();
            if (m_p >= m_end)
                fail("unterminated object");
            if (*m_p == ',') {
                ++m_p;
                continue;
            }
            if (*m_p == '}') {
                ++m_p;
                break;
            }
            fail("expected ',' or '}'");
        }
        JSONValue v = JSONValueAccess::makeObject(m_memberStack.data() + base, qsizetype(m_memberStack.size() - base));
        m_memberStack.resize(base);
        return v;
    }

    JSONValue parseArray(int depth)
    {
        if (depth > kMaxDepth)
            fail("nesting too deep");
        ++m_p;
        const size_t base = m_elementStack.size();
        skipSpace();
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return JSONValueAccess::makeArray(nullptr, 0);
        }
        while (true) {
            skipSpace();
            m_elementStack.push_back(parseValue(depth));
            skipSpace();
            if (m_p >= m_end)
                fail("unterminated array");
            if (*m_p == ',') {
                ++m_p;
                continue;
            }
            if (*m_p == ']') {
                ++m_p;
                break;
            }
            fail("expected ',' or ']'");
        }
        JSONValue v = JSONValueAccess::makeArray(m_elementStack.data() + base, qsizetype(m_elementStack.size() - base));
        m_elementStack.resize(base);
        return v;
    }

    static constexpr size_t kKeyCache = 512;
    static constexpr qsizetype kMaxCachedKey = 40;
    struct KeySlot
    {
        qsizetype length = -1;
        char bytes[kMaxCachedKey];
        QString text;
    };
    const char *m_begin;
    const char *m_p;
    const char *m_end;
    std::vector<JSONMember> m_memberStack;
    std::vector<JSONValue> m_elementStack;
    std::vector<KeySlot> m_keys = std::vector<KeySlot>(kKeyCache);
};

JSONValue parseJSON(QByteArrayView bytes)
{
    JSONParser parser(bytes);
    return parser.parseDocument();
}

std::optional<JSONValue> tryParseJSON(QByteArrayView bytes, QString *error)
{
    try {
        return parseJSON(bytes);
    } catch (const DecodingError &e) {
        if (error)
            *error = e.description();
        return std::nullopt;
    }
}

} // namespace nbd
