#include "UI/Shared/PlainToolTip.h"

#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QToolTip>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kToolTipMaxWidth = 420;

// Scripts written without spaces between words: a line may break between any two of their
// characters.
bool breaksAnywhere(QChar c)
{
    switch (c.script()) {
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
    case QChar::Script_Hangul:
    case QChar::Script_Bopomofo:
        return true;
    default:
        break;
    }
    const char16_t u = c.unicode();
    return (u >= 0x3000 && u <= 0x303F) || (u >= 0xFF00 && u <= 0xFFEF);
}

// Greedy line filling that breaks only between words: at white space, or next to a character
// of a script without spaces. A single word wider than the line stays whole.
QString wrapParagraph(const QString &text, const QFontMetrics &metrics)
{
    if (metrics.horizontalAdvance(text) <= kToolTipMaxWidth)
        return text;
    QList<qsizetype> breaks;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, text);
    for (qsizetype p = finder.toNextBoundary(); p > 0 && p < text.size(); p = finder.toNextBoundary()) {
        if (!(finder.boundaryReasons() & QTextBoundaryFinder::BreakOpportunity))
            continue;
        if (text.at(p - 1).isSpace() || breaksAnywhere(text.at(p - 1)) || breaksAnywhere(text.at(p)))
            breaks.append(p);
    }
    breaks.append(text.size());
    QStringList lines;
    qsizetype lineStart = 0;
    qsizetype lastFit = -1;
    for (const qsizetype p : std::as_const(breaks)) {
        const bool fits = metrics.horizontalAdvance(text.mid(lineStart, p - lineStart).trimmed()) <= kToolTipMaxWidth;
        if (!fits && lastFit > lineStart) {
            lines.append(text.mid(lineStart, lastFit - lineStart).trimmed());
            lineStart = lastFit;
        }
        lastFit = p;
    }
    lines.append(text.mid(lineStart).trimmed());
    return lines.join(u'\n');
}

} // namespace

QString plainToolTip(const QString &text)
{
    if (text.isEmpty())
        return {};
    const QFontMetrics metrics(QToolTip::font());
    QStringList paragraphs = text.split(u'\n');
    for (QString &paragraph : paragraphs)
        paragraph = wrapParagraph(paragraph, metrics);
    QString wrapped = paragraphs.join(u'\n');
    // Qt shows a tooltip as rich text when its first line holds something like a tag or an
    // escaped "<"; an invisible word joiner after '<' and '&' there keeps such text plain.
    if (Qt::mightBeRichText(wrapped)) {
        const qsizetype firstLineEnd = wrapped.indexOf(u'\n') < 0 ? wrapped.size() : wrapped.indexOf(u'\n');
        QString firstLine = wrapped.left(firstLineEnd);
        firstLine.replace(u'<', u"<\u2060"_s).replace(u'&', u"&\u2060"_s);
        wrapped = firstLine + wrapped.mid(firstLineEnd);
    }
    return wrapped;
}

} // namespace nbd
