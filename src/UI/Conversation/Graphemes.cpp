#include "UI/Conversation/Graphemes.h"

#include <QLocale>
#include <QTextBoundaryFinder>

namespace nbd {

namespace {

bool isAscii(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() >= 0x80 || c == u'\r')
            return false;
    }
    return true;
}

} // namespace

qsizetype Graphemes::count(const QString &text)
{
    // Plain ASCII without CR LF pairs has one character per unit; skip the boundary walk.
    if (isAscii(text))
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype n = 0;
    while (finder.toNextBoundary() > 0)
        ++n;
    return n;
}

QString Graphemes::prefix(const QString &text, qsizetype limit)
{
    if (limit <= 0)
        return {};
    if (isAscii(text))
        return text.left(limit);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype n = 0;
    qsizetype position = 0;
    while (n < limit) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        position = next;
        ++n;
    }
    return text.left(position);
}

QString Graphemes::formattedCount(qsizetype count)
{
    return QLocale().toString(qint64(count));
}

} // namespace nbd
