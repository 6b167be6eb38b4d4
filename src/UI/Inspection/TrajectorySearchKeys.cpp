#include "UI/Inspection/TrajectorySearchKeys.h"

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

// Writes the search key of a text at `to` (room for `n` units), for texts made only of
// characters whose lower case is themselves or a single Latin-1 letter and that composing
// leaves alone; returns the unit after it. Null for any other text. Most of a run's text is
// such (most of it ASCII), and the general case mapping and composition cost several times
// more, with a copy of the text besides.
char16_t *writeSimpleKey(const char16_t *u, qsizetype n, char16_t *to) noexcept
{
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = u[i];
        if (c < 0x80) {
            *to++ = c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
        } else if (c < 0x100) {
            // Latin-1: capitals from À to Þ (but ×) have their small letter 32 further on.
            *to++ = c >= 0xC0 && c <= 0xDE && c != 0xD7 ? char16_t(c + 32) : c;
        } else if (c >= 0x2010 && composesToItself(c) && !(c >= 0xFF21 && c <= 0xFF3A)) {
            *to++ = c; // no case (Latin Extended and the full-width capitals have one)
        } else if (isPictographPair(u, i, n)) {
            *to++ = c;
            *to++ = u[++i];
        } else {
            return nullptr;
        }
    }
    return to;
}

} // namespace

TrajectorySearchNeedle::TrajectorySearchNeedle(const QString &query)
    : m_text(mayChangeWhenComposed(query) ? query.normalized(QString::NormalizationForm_C) : query)
    , m_matcher(m_text)
{
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
    const qsizetype at = m_text.size();
    m_text.resize(at + size); // a simple key is as long as its text
    const auto *from = reinterpret_cast<const char16_t *>(field.constData());
    auto *to = reinterpret_cast<char16_t *>(m_text.data()) + at;
    if (!writeSimpleKey(from, size, to)) {
        // Anything else goes the long way, which also composes it.
        m_text.truncate(at);
        m_text += searchKey(field);
    }
    m_start.push_back(m_text.size());
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
    // A hit counts only inside one field; one that runs across two is looked past. Hits come in
    // order, so the field only moves forward.
    const QStringView text(m_text);
    const qsizetype n = text.size();
    const qsizetype m = needle.text().size();
    qsizetype from = 0;
    size_t field = 0;
    while (from + m <= n) {
        const qsizetype at = needle.indexIn(text, from);
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
