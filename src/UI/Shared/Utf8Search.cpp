#include "UI/Shared/Utf8Search.h"

#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace nbd::Utf8Search {

namespace {

// The first candidate of `mask` (bit k: first and last byte agree at `hay + at + k`) where the
// needle's middle bytes agree too, or -1.
inline qsizetype matchInMask(unsigned mask, const char *hay, qsizetype at, const char *needle, qsizetype m)
{
    for (; mask; mask &= mask - 1) {
        const int lane = std::countr_zero(mask);
        if (m <= 2 || std::memcmp(hay + at + lane + 1, needle + 1, size_t(m - 2)) == 0)
            return at + lane;
    }
    return -1;
}

// Where `needle` first occurs in `hay` at or after `from`, or -1. Looks at a vector of
// positions at a time for the needle's first and last byte, and compares the rest only where
// both agree.
qsizetype findFromPortable(const char *hay, qsizetype n, const char *needle, qsizetype m, qsizetype from)
{
    const char first = needle[0];
    const char last = needle[m - 1];
    qsizetype i = from;
#if defined(__SSE2__)
    const __m128i firstV = _mm_set1_epi8(first);
    const __m128i lastV = _mm_set1_epi8(last);
    for (; i + m - 1 + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + i + m - 1));
        const unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, firstV), _mm_cmpeq_epi8(b, lastV))));
        if (const qsizetype at = matchInMask(mask, hay, i, needle, m); at >= 0)
            return at;
    }
#endif
    for (; i + m <= n; ++i) {
        if (hay[i] == first && hay[i + m - 1] == last
            && (m <= 2 || std::memcmp(hay + i + 1, needle + 1, size_t(m - 2)) == 0))
            return i;
    }
    return -1;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, 32 positions at a time, on processors that have AVX2.
__attribute__((target("avx2"))) qsizetype findFromWide(const char *hay, qsizetype n, const char *needle, qsizetype m,
                                                        qsizetype from)
{
    const __m256i firstV = _mm256_set1_epi8(needle[0]);
    const __m256i lastV = _mm256_set1_epi8(needle[m - 1]);
    qsizetype i = from;
    for (; i + m - 1 + 32 <= n; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i + m - 1));
        const unsigned mask =
            unsigned(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, firstV), _mm256_cmpeq_epi8(b, lastV))));
        if (const qsizetype at = matchInMask(mask, hay, i, needle, m); at >= 0)
            return at;
    }
    return findFromPortable(hay, n, needle, m, i);
}
#endif

qsizetype findFrom(const char *hay, qsizetype n, const char *needle, qsizetype m, qsizetype from)
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return findFromWide(hay, n, needle, m, from);
#endif
    return findFromPortable(hay, n, needle, m, from);
}

bool isHigh(char16_t u) noexcept
{
    return u >= 0xD800 && u <= 0xDBFF;
}

bool isLow(char16_t u) noexcept
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

void Buffer::reserve(size_t capacity)
{
    if (capacity <= m_capacity)
        return;
    char *grown = static_cast<char *>(std::realloc(m_data, capacity));
    if (!grown)
        throw std::bad_alloc();
    m_data = grown;
    m_capacity = capacity;
}

qsizetype find(const char *hay, qsizetype n, const char *needle, qsizetype m, qsizetype from)
{
    if (from < 0 || from > n)
        return -1;
    if (m <= 0)
        return from;
    return findFrom(hay, n, needle, m, from);
}

// Whether a text has a surrogate that is not half of a pair.
bool hasStraySurrogate(const char16_t *u, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        if (isHigh(u[i]) && i + 1 < n && isLow(u[i + 1]))
            ++i;
        else if (isHigh(u[i]) || isLow(u[i]))
            return true;
    }
    return false;
}

// Writes one unit below 0x10000 (a stray surrogate too) in UTF-8; returns the byte after it.
unsigned char *put(unsigned char *to, char16_t c) noexcept
{
    if (c < 0x80) {
        *to++ = (unsigned char)c;
    } else if (c < 0x800) {
        *to++ = (unsigned char)(0xC0 | (c >> 6));
        *to++ = (unsigned char)(0x80 | (c & 0x3F));
    } else {
        *to++ = (unsigned char)(0xE0 | (c >> 12));
        *to++ = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        *to++ = (unsigned char)(0x80 | (c & 0x3F));
    }
    return to;
}

unsigned char *putPair(unsigned char *to, char16_t high, char16_t low) noexcept
{
    const char32_t point = 0x10000 + ((char32_t(high) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
    *to++ = (unsigned char)(0xF0 | (point >> 18));
    *to++ = (unsigned char)(0x80 | ((point >> 12) & 0x3F));
    *to++ = (unsigned char)(0x80 | ((point >> 6) & 0x3F));
    *to++ = (unsigned char)(0x80 | (point & 0x3F));
    return to;
}

// Appends the text in UTF-8, a stray surrogate written as its own three-byte sequence (as if
// it were a character), so that every text has a form and reads back as it was.
void append(const char16_t *u, size_t n, Buffer &out)
{
    auto *start = reinterpret_cast<unsigned char *>(out.extend(n * 3)); // a pair's two units take 4
    unsigned char *to = start;
    for (size_t i = 0; i < n; ++i) {
        if (isHigh(u[i]) && i + 1 < n && isLow(u[i + 1])) {
            to = putPair(to, u[i], u[i + 1]);
            ++i;
        } else {
            to = put(to, u[i]);
        }
    }
    out.commit(size_t(to - start));
}

std::u16string toUtf16(const char *bytes, size_t n)
{
    std::u16string out;
    out.reserve(n);
    const auto *b = reinterpret_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < n;) {
        if (b[i] < 0x80) {
            out.push_back(b[i]);
            i += 1;
        } else if (b[i] < 0xE0) {
            out.push_back(char16_t(((b[i] & 0x1F) << 6) | (b[i + 1] & 0x3F)));
            i += 2;
        } else if (b[i] < 0xF0) {
            out.push_back(char16_t(((b[i] & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F)));
            i += 3;
        } else {
            const char32_t point = (char32_t(b[i] & 0x07) << 18) | (char32_t(b[i + 1] & 0x3F) << 12)
                | (char32_t(b[i + 2] & 0x3F) << 6) | char32_t(b[i + 3] & 0x3F);
            out.push_back(char16_t(0xD800 + ((point - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((point - 0x10000) & 0x3FF)));
            i += 4;
        }
    }
    return out;
}

} // namespace nbd::Utf8Search
