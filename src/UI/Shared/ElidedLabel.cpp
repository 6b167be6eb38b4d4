#include "UI/Shared/ElidedLabel.h"

#include "Domain/BidiIsolate.h"

#include "UI/Shared/Theme.h"

#include <QEvent>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// A place between characters next to `at` (at or before it, or at or after it when `forward`).
// Only a few units around it decide; a character longer than that (a letter under thousands of
// combining marks) is cut between its code points.
qsizetype cutNear(const QString &text, qsizetype at, bool forward)
{
    constexpr qsizetype kContext = 16;
    if (at <= 0 || at >= text.size())
        return std::clamp<qsizetype>(at, 0, text.size());
    const qsizetype windowStart = std::max<qsizetype>(0, at - kContext);
    const QString window = text.mid(windowStart, at - windowStart + kContext);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, window);
    finder.setPosition(at - windowStart);
    if (finder.isAtBoundary())
        return at;
    const qsizetype found = forward ? finder.toNextBoundary() : finder.toPreviousBoundary();
    // The window's own ends count as boundaries to the finder; only one inside it is real.
    if (found > 0 && found < window.size())
        return windowStart + found;
    if (text[at].isLowSurrogate())
        return forward ? at + 1 : at - 1;
    return at;
}

} // namespace

QString rowText(const QString &text, qsizetype limit)
{
    if (text.size() <= limit)
        return text;
    return text.left(cutNear(text, limit, false)) + u"…"_s;
}

QString ElidedLabel::shownPart(const QString &text, Qt::TextElideMode mode)
{
    if (text.size() <= kRowText)
        return text;
    // The last `count` units or a little fewer, from a place between characters.
    const auto tail = [&](qsizetype count) { return text.mid(cutNear(text, text.size() - count, true)); };
    switch (mode) {
    case Qt::ElideLeft:
        return u"…"_s + tail(kRowText);
    case Qt::ElideMiddle:
        return rowText(text, kRowText / 2) + tail(kRowText / 2);
    default:
        return rowText(text);
    }
}
ElidedLabel::ElidedLabel(const QString &text, Qt::TextElideMode mode, QWidget *parent)
    : QWidget(parent)
    , m_text(shownPart(text, mode))
    , m_mode(mode)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(m_text);
}

namespace {

// A new text of a label: its accessible name, size and face follow.
void replaceText(QWidget *label, QString &shown, const QString &text)
{
    if (text == shown)
        return;
    shown = text;
    label->setAccessibleName(text);
    label->updateGeometry();
    label->update();
}

} // namespace

void ElidedLabel::setText(const QString &text)
{
    replaceText(this, m_text, shownPart(text, m_mode));
}

void ElidedLabel::setColor(const QColor &color)
{
    setColor([color] { return color; });
}

void ElidedLabel::setColor(std::function<QColor()> color)
{
    m_color = std::move(color);
    update();
}

QString ElidedLabel::oneLine(QString text)
{
    for (QChar &c : text) {
        if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    }
    return text;
}

QString ElidedLabel::shownText() const
{
    const QString whole = oneLine(m_text);
    const QString elided = fontMetrics().elidedText(whole, m_mode, width());
    if (elided == whole)
        return elided;
    // The cut is where the kept start of the text ends; a direction mark closed in the part
    // cut away must still be closed there, or an override in a host name reorders the rest.
    qsizetype prefix = 0;
    while (prefix < elided.size() && prefix < whole.size() && elided[prefix] == whole[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < elided.size() && suffix < whole.size()
           && elided[elided.size() - 1 - suffix] == whole[whole.size() - 1 - suffix])
        ++suffix;
    return text::closedAtCut(elided, std::min(prefix, std::max<qsizetype>(0, elided.size() - 1 - suffix)));
}

QSize ElidedLabel::sizeHint() const { return {Fonts::textWidth(font(), oneLine(m_text)), fontMetrics().height()}; }

QSize ElidedLabel::minimumSizeHint() const
{
    // Room for two "…", unless the whole text takes less.
    return {std::min(sizeHint().width(), fontMetrics().horizontalAdvance(QStringLiteral("…")) * 2),
            fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(m_color ? m_color() : Theme::secondaryText());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

void ElidedLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}

ClampedLabel::ClampedLabel(const QString &text, const QFont &font, std::function<QColor()> color, int maxLines,
                           QWidget *parent)
    : QWidget(parent)
    , m_color(std::move(color))
    , m_maxLines(std::max(1, maxLines))
{
    m_text = shownPart(text);
    setFont(font);
    setAccessibleName(m_text);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

QString ClampedLabel::shownPart(const QString &text) const
{
    // A line holds far fewer characters than kRowText; a label without a limit keeps all.
    return m_maxLines == kNoLineLimit ? text : rowText(text, kRowText * m_maxLines);
}

void ClampedLabel::setText(const QString &text)
{
    replaceText(this, m_text, shownPart(text));
}

QStringList ClampedLabel::shownLines(int width) const
{
    QStringList lines;
    const QFontMetrics fm(font());
    if (m_maxLines == 1 || width <= 0) {
        lines << fm.elidedText(m_text, Qt::ElideRight, std::max(0, width));
        return lines;
    }
    QTextLayout layout(m_text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines.size() == m_maxLines - 1) {
            // The last line holds the rest, cut to the width.
            QString rest = m_text.mid(line.textStart());
            rest.replace(u'\n', u' ');
            lines << fm.elidedText(rest, Qt::ElideRight, width);
            break;
        }
        lines << m_text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    if (lines.isEmpty())
        lines << QString();
    return lines;
}

int ClampedLabel::heightForWidth(int width) const
{
    const QFontMetrics fm(font());
    return int(shownLines(width).size()) * fm.lineSpacing();
}

QSize ClampedLabel::sizeHint() const
{
    const QFontMetrics fm(font());
    const int natural = fm.horizontalAdvance(m_text) + 1;
    return {m_maxLines == 1 ? natural : std::min(natural, 420), fm.lineSpacing()};
}

QSize ClampedLabel::minimumSizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(u"…"_s) * 2, fm.lineSpacing()};
}

void ClampedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(m_color());
    const QFontMetrics fm(font());
    int y = 0;
    for (const QString &line : shownLines(width())) {
        painter.drawText(QRect(0, y, width(), fm.lineSpacing()), Qt::AlignLeft | Qt::AlignVCenter, line);
        y += fm.lineSpacing();
    }
}

} // namespace nbd
