#include "UI/Inspection/MiniSpinner.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QVariantAnimation>

namespace nbd {

MiniSpinner::MiniSpinner(int size, QWidget *parent)
    : QWidget(parent)
    , m_size(size)
    , m_animation(new QVariantAnimation(this))
{
    setFixedSize(size, size);
    setAccessibleName(QStringLiteral("进行中"));
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(360.0);
    m_animation->setDuration(900);
    m_animation->setLoopCount(-1);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
        m_angle = v.toReal();
        update();
    });
}

bool MiniSpinner::isAnimating() const
{
    return m_animation->state() == QAbstractAnimation::Running;
}

void MiniSpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!Motion::reduceMotion())
        m_animation->start();
}

void MiniSpinner::hideEvent(QHideEvent *event)
{
    m_animation->stop();
    QWidget::hideEvent(event);
}

void MiniSpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.5, m_size / 8.0);
    const QRectF r = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    QColor track = Theme::secondaryText();
    track.setAlphaF(0.25f);
    painter.setPen(QPen(track, pen));
    painter.drawEllipse(r);
    painter.setPen(QPen(Theme::secondaryText(), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(r, int(-m_angle * 16), 100 * 16);
}

} // namespace nbd
