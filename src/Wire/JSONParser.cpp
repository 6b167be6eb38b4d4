// The JSON reader: bytes of a document to a JSONValue, objects and arrays allocated once at
// their final size.
#include "Wire/JSONValue.h"

#include "Wire/JSONValueAccess.h"
#include "Wire/WireErrors.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

namespace nbd {

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
