#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>

namespace nbd {

// Text kept in UTF-8 to be searched many times over: one byte for each character of ASCII, the
// bulk of what a run writes, so a search reads half of what it would in UTF-16; and a search
// that looks at 16 or 32 positions at once for the needle's first and last byte. Over the
// trajectory ledger's search keys this is eight to nine times faster than QStringMatcher on the
// same keys in UTF-16 (bench/ledger_bench, ledger.search_ms_10k: 2.3 ms against 20 ms).
//
// Every UTF-16 text has a form here: a stray half of a surrogate pair is written as a
// three-byte sequence of its own, as if it were a character, and reads back as it was. A needle
// of whole characters found in such text begins and ends on whole characters, as it would in
// UTF-16; a needle holding a stray half is to be looked for in the UTF-16 form.
namespace Utf8Search {

// Bytes written in place: unlike a std::string, growing it does not clear what is about to be
// overwritten, and room asked for but never written is never touched.
class Buffer
{
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { std::free(m_data); }

    void reserve(size_t capacity);
    // Room for `count` more bytes at the end; commit() says how many were written.
    char *extend(size_t count)
    {
        if (m_size + count > m_capacity)
            reserve(std::max(m_size + count, m_capacity * 2));
        return m_data + m_size;
    }
    void commit(size_t count) { m_size += count; }
    const char *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    char *m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// Writes one unit below 0x10000 (a stray surrogate too); returns the byte after it. At most 3.
unsigned char *put(unsigned char *to, char16_t c) noexcept;
// Writes the character of a surrogate pair; returns the byte after it. Always 4.
unsigned char *putPair(unsigned char *to, char16_t high, char16_t low) noexcept;
// Appends UTF-16 text.
void append(const char16_t *u, size_t n, Buffer &out);
// The UTF-16 form of what append() or put() wrote.
std::u16string toUtf16(const char *bytes, size_t n);
// Whether a text has a surrogate that is not half of a pair.
bool hasStraySurrogate(const char16_t *u, size_t n) noexcept;
// Where `needle` (m bytes) first occurs in `hay` (n bytes) at or after `from`, or -1. An empty
// needle occurs at `from` when that lies within the hay.
qsizetype find(const char *hay, qsizetype n, const char *needle, qsizetype m, qsizetype from);

} // namespace Utf8Search

} // namespace nbd
