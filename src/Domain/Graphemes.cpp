#include "Domain/Graphemes.h"

#include <QLocale>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace nbd {

namespace {

// Whether a UTF-16 unit is a whole character by itself, whatever stands around it: no
// surrogate, carriage return (CR LF is one character), combining or spacing mark, joiner,
// Hangul jamo, prepended or other extending character. Errs towards "no": those texts are
// counted exactly, only slower.
bool standsAlone(char16_t u) noexcept
{
    if (u < 0x0300)
        return u != u'\r';
    if (u >= 0x3400 && u <= 0x9FFF)
        return true; // CJK ideographs
    if ((u >= 0xD800 && u <= 0xDFFF) || (u >= 0x1100 && u <= 0x11FF) || (u >= 0xA960 && u <= 0xA97F)
        || (u >= 0xD7B0 && u <= 0xD7FF) || u == 0x200C || u == 0x200D || (u >= 0x0600 && u <= 0x0605)
        || u == 0x06DD || u == 0x070F || u == 0x0890 || u == 0x0891 || u == 0x08E2 || u == 0x0D4E || u == 0x0E33
        || u == 0x0EB3 || u == 0xFF9E || u == 0xFF9F)
        return false;
    switch (QChar::category(char32_t(u))) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
        return false;
    default:
        return true;
    }
}

// Walks the characters of `text` from its start and stops after `limit` characters (-1: no
// limit). Returns how many there were and where the last one ends. Two neighbouring units
// that each stand alone always have a boundary between them, so only the stretches around the
// other units need the exact (and slow) segmentation.
std::pair<qsizetype, qsizetype> walk(QStringView text, qsizetype limit)
{
    const qsizetype n = text.size();
    const char16_t *u = text.utf16();
    qsizetype count = 0;
    qsizetype i = 0;
    while (i < n && count != limit) {
        // A run of units that stand alone: each is a whole character, but the run's last one
        // when a unit follows that may join it. Past the limit only the unit after it matters.
        const qsizetype stop = limit < 0 ? n : std::min<qsizetype>(n, i + (limit - count) + 1);
        qsizetype j = i;
        while (j < stop && ((u[j] < 0x0300 && u[j] != u'\r') || standsAlone(u[j])))
            ++j;
        qsizetype whole = j == n ? j - i : j - i - 1;
        if (j == stop && stop < n)
            whole = j - i; // the run goes on past the limit: all its units so far are whole
        if (whole > 0) {
            if (limit >= 0)
                whole = std::min<qsizetype>(whole, limit - count);
            count += whole;
            i += whole;
            continue;
        }
        j = i + 1;
        while (j < n && (!standsAlone(u[j]) || !standsAlone(u[j - 1])))
            ++j;
        const QString stretch = text.mid(i, j - i).toString();
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, stretch);
        qsizetype end = 0;
        while (count != limit) {
            const qsizetype next = finder.toNextBoundary();
            if (next <= 0)
                break;
            end = next;
            ++count;
        }
        i += end;
    }
    return {count, i};
}

} // namespace

qsizetype Graphemes::count(QStringView text)
{
    return walk(text, -1).first;
}

std::pair<qsizetype, bool> Graphemes::prefixEnd(QStringView text, qsizetype limit)
{
    if (limit == 0)
        return {0, true};
    const auto [taken, end] = walk(text, limit);
    return {end, limit < 0 || taken == limit};
}

QString Graphemes::prefix(const QString &text, qsizetype limit)
{
    if (limit <= 0)
        return {};
    const qsizetype end = prefixEnd(text, limit).first;
    return end == text.size() ? text : text.left(end);
}

qsizetype Graphemes::pieceEnd(QStringView text, qsizetype from, qsizetype length)
{
    const qsizetype n = text.size();
    length = std::max<qsizetype>(1, length);
    if (n - from <= length)
        return n;
    const qsizetype at = from + length;
    const char16_t *u = text.utf16();
    if (standsAlone(u[at - 1]) && standsAlone(u[at]))
        return at;
    // Segmented from the piece's start: the rules that join emoji sequences and flag pairs
    // look back, and a stretch starting anywhere else could pair the flags wrongly.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.mid(from, length + 1).toString());
    finder.setPosition(length);
    if (finder.isAtBoundary())
        return at;
    const qsizetype before = finder.toPreviousBoundary();
    if (before > 0)
        return from + before;
    // One character longer than the reach: cut between two code points, into short pieces,
    // as the marks stacked on one base cost more to place the more there are.
    const qsizetype cut = from + std::min(length, kLongestCharacter);
    if (QChar::isLowSurrogate(u[cut]) && QChar::isHighSurrogate(u[cut - 1]))
        return cut - 1 > from ? cut - 1 : cut + 1;
    return cut;
}

QString Graphemes::formattedCount(qsizetype count)
{
    return QLocale().toString(qint64(count));
}

} // namespace nbd
