#include "Domain/Trimming.h"

namespace nbd::text {

namespace {

template<class Pred>
QStringView trimWhere(QStringView text, Pred pred) noexcept
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && pred(text[begin]))
        ++begin;
    while (end > begin && pred(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace

bool isWhitespaceOrNewline(QChar c) noexcept
{
    const char16_t u = c.unicode();
    if (u == u'\t' || (u >= 0x0A && u <= 0x0D) || u == 0x85)
        return true;
    switch (c.category()) {
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph: return true;
    default: return false;
    }
}

QStringView trimWhitespaceAndNewlines(QStringView text) noexcept
{
    return trimWhere(text, isWhitespaceOrNewline);
}

QStringView trimCharacters(QStringView text, QStringView set) noexcept
{
    return trimWhere(text, [set](QChar c) { return set.contains(c); });
}

} // namespace nbd::text
