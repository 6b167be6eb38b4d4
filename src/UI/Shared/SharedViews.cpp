// The shared visual elements: status pill, chrome icon button, blinking cursor and the
// sidebar background.
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/StatusPill.h"
#include "UI/Shared/Theme.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QToolTip>
#include <QVariantAnimation>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

// ---- StatusPill ----

namespace {
constexpr int kPillIconSize = 8;
constexpr int kPillSpacing = 3;
constexpr int kPillPadX = 7;
constexpr int kPillPadY = 3;
} // namespace

QColor StatusPill::color(Kind kind)
{
    switch (kind) {
    case Kind::Neutral:
        return Theme::secondaryText();
    case Kind::Success:
        return Theme::success();
    case Kind::Warning:
        return Theme::warning();
    case Kind::Danger:
        return Theme::systemRed();
    case Kind::Accent:
        return Theme::brand();
    }
    return Theme::secondaryText();
}

StatusPill::StatusPill(const QString &text, Kind kind, std::optional<QString> icon, QWidget *parent)
    : QWidget(parent)
    , m_text(text)
    , m_kind(kind)
    , m_icon(std::move(icon))
{
    setFont(Fonts::system(10, QFont::DemiBold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(text);
}

void StatusPill::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void StatusPill::setKind(Kind kind)
{
    m_kind = kind;
    update();
}

QSize StatusPill::sizeHint() const
{
    const QFontMetrics fm(font());
    int w = fm.horizontalAdvance(m_text);
    if (m_icon)
        w += kPillIconSize + kPillSpacing;
    return {w + 2 * kPillPadX, fm.height() + 2 * kPillPadY};
}

void StatusPill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = color(m_kind);
    QColor fill = tint;
    fill.setAlphaF(tint.alphaF() * 0.1f);
    const QRectF r = QRectF(rect());
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);

    qreal x = kPillPadX;
    if (m_icon) {
        Icons::paint(&painter, QRectF(x, (height() - kPillIconSize) / 2.0, kPillIconSize, kPillIconSize), *m_icon, tint);
        x += kPillIconSize + kPillSpacing;
    }
    painter.setPen(tint);
    painter.setFont(font());
    painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignLeft | Qt::AlignVCenter, m_text);
}

// ---- ChromeIconButton ----

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

ChromeIconButton::ChromeIconButton(const QString &systemName, const QString &help, std::optional<QColor> tint,
                                   std::function<void()> action, QWidget *parent)
    : QAbstractButton(parent)
    , m_systemName(systemName)
    , m_tint(tint)
{
    setFixedSize(28, 28);
    setToolTip(plainToolTip(help));
    setAccessibleName(help);
    setAccessibleDescription(help);
    setCursor(Qt::ArrowCursor);
    // Reached with Tab, but a click leaves the focus where it was.
    setFocusPolicy(Qt::TabFocus);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
}

void ChromeIconButton::setSymbolName(const QString &name)
{
    m_systemName = name;
    update();
}

void ChromeIconButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void ChromeIconButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void ChromeIconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_hovered) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawRoundedRect(QRectF(rect()), 7, 7);
    }
    if (hasFocus()) {
        painter.setPen(QPen(Theme::brand(), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
    }
    // A 12 px semibold symbol: drawn a little larger than the text size, like a symbol font.
    const qreal side = 15;
    QColor tint = m_tint.value_or(Theme::secondaryText());
    if (!isEnabled())
        tint.setAlphaF(tint.alphaF() * 0.35f);
    Icons::paint(&painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side), m_systemName, tint);
}

// ---- BlinkingCursor ----

namespace {

constexpr int kCursorFadeMs = 550;

// Progress through a fade out (first half) and back in (second half), each half eased in and
// out by itself.
qreal easeEachHalf(qreal progress)
{
    static const QEasingCurve half = Motion::easeInOut();
    if (progress <= 0.5)
        return 0.5 * half.valueForProgress(2 * progress);
    return 0.5 + 0.5 * half.valueForProgress(2 * progress - 1);
}

} // namespace

BlinkingCursor::BlinkingCursor(QWidget *parent)
    : QWidget(parent)
{
    setFont(Fonts::body());
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

QSize BlinkingCursor::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(u"▍"_s), fm.height()};
}

bool BlinkingCursor::isAnimating() const
{
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

void BlinkingCursor::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_opacity = 1.0;
    if (Motion::reduceMotion())
        return;
    if (!m_animation) {
        // One full fade out and back in per 1.1 s. Each 0.55 s half eases in and out on its
        // own, so the cursor slows down into invisible and back out of it, like an eased
        // animation that reverses, instead of turning round at full speed.
        m_animation = new QVariantAnimation(this);
        m_animation->setDuration(2 * kCursorFadeMs);
        m_animation->setStartValue(1.0);
        m_animation->setKeyValueAt(0.5, 0.0);
        m_animation->setEndValue(1.0);
        QEasingCurve curve;
        curve.setCustomType(&easeEachHalf);
        m_animation->setEasingCurve(curve);
        m_animation->setLoopCount(-1);
        connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
            m_opacity = v.toReal();
            update();
        });
    }
    m_animation->start();
}

void BlinkingCursor::hideEvent(QHideEvent *event)
{
    if (m_animation)
        m_animation->stop();
    QWidget::hideEvent(event);
}

void BlinkingCursor::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setOpacity(m_opacity);
    painter.setPen(Theme::brand());
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, u"▍"_s);
}

// ---- SidebarMaterialBackground ----

SidebarMaterialBackground::SidebarMaterialBackground(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SidebarMaterialBackground::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::sidebar());
}

} // namespace nbd
