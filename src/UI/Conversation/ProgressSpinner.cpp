#include "UI/Conversation/ProgressSpinner.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QVariantAnimation>

namespace nbd {

ProgressSpinner::ProgressSpinner(Size size, QWidget *parent)
    : QWidget(parent)
    , m_size(size)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(Motion::instance(), &Motion::reduceMotionChanged, this, [this](bool on) {
        if (on && m_animation)
            m_animation->stop();
        else if (!on && m_animation && isVisible())
            m_animation->start();
        update();
    });
}

bool ProgressSpinner::isAnimating() const
{
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

QSize ProgressSpinner::sizeHint() const
{
    const int side = m_size == Size::Mini ? 11 : 14;
    return {side, side};
}

void ProgressSpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(width(), height());
    const qreal pen = m_size == Size::Mini ? 1.5 : 1.8;
    const QRectF box((width() - side) / 2 + pen, (height() - side) / 2 + pen, side - 2 * pen, side - 2 * pen);
    painter.setPen(QPen(Theme::quaternaryText(), pen));
    painter.drawEllipse(box);
    painter.setPen(QPen(Theme::secondaryText(), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(box, int(-m_angle * 16), 100 * 16);
}

void ProgressSpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_animation) {
        m_animation = new QVariantAnimation(this);
        m_animation->setStartValue(0.0);
        m_animation->setEndValue(360.0);
        m_animation->setDuration(900);
        m_animation->setLoopCount(-1);
        connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
            m_angle = v.toReal();
            update();
        });
    }
    if (!Motion::reduceMotion())
        m_animation->start();
}

void ProgressSpinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (m_animation)
        m_animation->stop();
}

} // namespace nbd
