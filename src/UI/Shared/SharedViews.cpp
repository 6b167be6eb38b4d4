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
#include <QTextDocument>
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

QString plainToolTip(const QString &text)
{
    // Only a text that Qt would take for markup needs converting; any other text is shown as
    // it is and stays plain for screen readers, which read the tooltip as the description.
    if (text.isEmpty() || !Qt::mightBeRichText(text))
        return text;
    return Qt::convertFromPlainText(text);
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
    setFocusPolicy(Qt::NoFocus);
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
    // A 12 px semibold symbol: drawn a little larger than the text size, like a symbol font.
    const qreal side = 15;
    Icons::paint(&painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side), m_systemName,
                 m_tint.value_or(Theme::secondaryText()));
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
