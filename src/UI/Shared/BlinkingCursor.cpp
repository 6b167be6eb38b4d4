#include "UI/Shared/BlinkingCursor.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QVariantAnimation>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

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

} // namespace nbd
