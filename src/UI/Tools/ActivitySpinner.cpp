#include "UI/Tools/ActivitySpinner.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QVariantAnimation>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

ActivitySpinner::ActivitySpinner(int side, QWidget *parent)
    : QWidget(parent)
    , m_side(side)
    , m_animation(new QVariantAnimation(this))
{
    setFixedSize(side, side);
    setAccessibleName(u"正在加载"_s);
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(360.0);
    m_animation->setDuration(900);
    m_animation->setLoopCount(-1);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
        m_angle = v.toReal();
        update();
    });
    connect(Motion::instance(), &Motion::reduceMotionChanged, this, [this](bool reduce) {
        if (reduce)
            m_animation->stop();
        else if (isVisible())
            m_animation->start();
    });
}

bool ActivitySpinner::isAnimating() const { return m_animation->state() == QAbstractAnimation::Running; }

void ActivitySpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!Motion::reduceMotion())
        m_animation->start();
}

void ActivitySpinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_animation->stop();
}

void ActivitySpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.5, m_side / 8.0);
    const QRectF r = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    QColor track = Theme::secondaryText();
    track.setAlphaF(0.25f);
    painter.setPen(QPen(track, pen));
    painter.drawEllipse(r);
    painter.setPen(QPen(Theme::secondaryText(), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(r, int(-m_angle * 16), 100 * 16);
}

} // namespace nbd
