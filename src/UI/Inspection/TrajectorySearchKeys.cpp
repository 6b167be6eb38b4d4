#include "UI/Inspection/TrajectorySearchKeys.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nbd {

namespace {

// Whether a unit of the Basic Multilingual Plane neither combines nor decomposes: Latin-1,
// kana, CJK ideographs, Hangul syllables, common and full-width punctuation.
bool composesToItself(char16_t u) noexcept
{
    return u < 0x0300 || (u >= 0x3400 && u <= 0x9FFF) || (u >= 0x3000 && u <= 0x3029) || (u >= 0x3030 && u <= 0x3098)
        || (u >= 0x309B && u <= 0x30FF) || (u >= 0xFF00 && u <= 0xFF9D) || (u >= 0x2010 && u <= 0x2027)
        || (u >= 0x2030 && u <= 0x205E) || (u >= 0xAC00 && u <= 0xD7A3);
}

// Whether the surrogate pair starting at `u[i]` is a pictograph or emoji (U+1F000 to U+1FAFF):
// they have no case and neither combine nor decompose.
bool isPictographPair(const char16_t *u, qsizetype i, qsizetype n) noexcept
{
    return i + 1 < n && u[i] >= 0xD83C && u[i] <= 0xD83E && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF;
}

// Whether composing could change the text: false for texts made only of characters that
// neither combine nor decompose.
bool mayChangeWhenComposed(QStringView text) noexcept
{
    const char16_t *u = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (composesToItself(u[i]))
            continue;
        if (isPictographPair(u, i, n)) {
            ++i;
            continue;
        }
        return true;
    }
    return false;
}

// Lower case, and composed so that canonically equivalent spellings compare equal.
QString searchKey(const QString &text)
{
    QString lower = text.toLower();
    if (mayChangeWhenComposed(lower))
        lower = lower.normalized(QString::NormalizationForm_C);
    return lower;
}

// Appends the search key of a text (lower case, composed) in UTF-8, for texts made only of
// characters whose lower case is themselves or a single Latin-1 letter and that composing
// leaves alone. False, with `out` as it was, for any other text. Most of a run's text is such
// (most of it ASCII, taken sixteen units at a time), and the general case mapping and
// composition cost several times more.
bool appendSimpleKey(const char16_t *u, qsizetype n, Utf8Search::Buffer &out)
{
    auto *start = reinterpret_cast<unsigned char *>(out.extend(size_t(n) * 3));
    unsigned char *to = start;
    qsizetype i = 0;
    while (i < n) {
#if defined(__SSE2__)
        if (i + 16 <= n) {
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i));
            const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i + 8));
            const __m128i high = _mm_set1_epi16(short(0xFF80));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(_mm_or_si128(lo, hi), high), _mm_setzero_si128())) == 0xFFFF) {
                const __m128i bytes = _mm_packus_epi16(lo, hi);
                const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('A' - 1)),
                                                    _mm_cmplt_epi8(bytes, _mm_set1_epi8('Z' + 1)));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(to),
                                 _mm_add_epi8(bytes, _mm_and_si128(upper, _mm_set1_epi8(0x20))));
                to += 16;
                i += 16;
                continue;
            }
        }
#endif
        const qsizetype stop = std::min(n, i + 16);
        for (; i < stop; ++i) {
            const char16_t c = u[i];
            if (c < 0x80) {
                *to++ = (unsigned char)(c >= u'A' && c <= u'Z' ? c + 32 : c);
            } else if (c < 0x100) {
                // Latin-1: capitals from À to Þ (but ×) have their small letter 32 further on.
                to = Utf8Search::put(to, c >= 0xC0 && c <= 0xDE && c != 0xD7 ? char16_t(c + 32) : c);
            } else if (c >= 0x2010 && composesToItself(c) && !(c >= 0xFF21 && c <= 0xFF3A)) {
                to = Utf8Search::put(to, c); // no case (Latin Extended and the full-width capitals have one)
            } else if (isPictographPair(u, i, n)) {
                to = Utf8Search::putPair(to, c, u[i + 1]);
                ++i; // a pair may end just past this stretch
            } else {
                return false;
            }
        }
    }
    out.commit(size_t(to - start));
    return true;
}

} // namespace

TrajectorySearchNeedle::TrajectorySearchNeedle(const QString &query)
    : m_text(mayChangeWhenComposed(query) ? query.normalized(QString::NormalizationForm_C) : query)
{
    const auto *u = reinterpret_cast<const char16_t *>(m_text.constData());
    const size_t n = size_t(m_text.size());
    m_whole = !Utf8Search::hasStraySurrogate(u, n);
    if (m_whole) {
        Utf8Search::Buffer bytes;
        Utf8Search::append(u, n, bytes);
        m_bytes.assign(bytes.data() ? bytes.data() : "", bytes.size());
    }
}

QString TrajectorySearchKeys::key(const QString &text)
{
    return searchKey(text);
}

void TrajectorySearchKeys::addField(const QString &field)
{
    const qsizetype size = field.size();
    if (size == 0)
        return;
    const auto *u = reinterpret_cast<const char16_t *>(field.constData());
    if (!appendSimpleKey(u, size, m_text)) {
        // Anything else goes the long way, which also composes it.
        const QString key = searchKey(field);
        Utf8Search::append(reinterpret_cast<const char16_t *>(key.utf16()), size_t(key.size()), m_text);
    }
    m_start.push_back(qsizetype(m_text.size()));
    m_event.push_back(m_events);
}

void TrajectorySearchKeys::add(const TrajectoryEventSelection &event)
{
    add(event.role, event.title, event.summary, event.payload ? &*event.payload : nullptr,
        event.result ? &*event.result : nullptr);
}

void TrajectorySearchKeys::add(const QString &role, const QString &title, const QString &summary,
                               const QString *payload, const QString *result)
{
    addField(role);
    addField(title);
    addField(summary);
    if (payload)
        addField(*payload);
    if (result)
        addField(*result);
    ++m_events;
}

std::vector<bool> TrajectorySearchKeys::matching(const QString &query) const
{
    std::vector<bool> hits(size_t(m_events), query.isEmpty());
    mark(TrajectorySearchNeedle(query), hits, 0);
    return hits;
}

void TrajectorySearchKeys::mark(const TrajectorySearchNeedle &needle, std::vector<bool> &hits, size_t offset) const
{
    if (needle.isEmpty()) {
        std::fill(hits.begin() + qsizetype(offset), hits.begin() + qsizetype(offset) + m_events, true);
        return;
    }
    const std::string *bytes = needle.bytes();
    if (!bytes) {
        // Half of a pair can match half of a pair in the text: such a needle (no one types it)
        // is looked for in each field read back as it was.
        for (size_t field = 0; field < m_event.size(); ++field) {
            const size_t e = offset + size_t(m_event[field]);
            if (hits[e])
                continue;
            const std::u16string text = Utf8Search::toUtf16(m_text.data() + m_start[field],
                                                            size_t(m_start[field + 1] - m_start[field]));
            if (QStringView(text.data(), qsizetype(text.size())).contains(needle.text()))
                hits[e] = true;
        }
        return;
    }
    // A hit counts only inside one field; one that runs across two is looked past. Hits come in
    // order, so the field only moves forward.
    const qsizetype n = qsizetype(m_text.size());
    const qsizetype m = qsizetype(bytes->size());
    qsizetype from = 0;
    size_t field = 0;
    while (from + m <= n) {
        const qsizetype at = Utf8Search::find(m_text.data(), n, bytes->data(), m, from);
        if (at < 0)
            return;
        while (m_start[field + 1] <= at)
            ++field;
        if (at + m > m_start[field + 1]) {
            from = at + 1;
            continue;
        }
        // The event's other fields need no look.
        const qsizetype e = m_event[field];
        hits[offset + size_t(e)] = true;
        while (field < m_event.size() && m_event[field] == e)
            ++field;
        from = m_start[field];
    }
}

} // namespace nbd
