#include "UI/Shared/Spinner.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QVariantAnimation>

#include <algorithm>

namespace nbd {

namespace {
constexpr int kTurnMs = 900;
}

Spinner::Spinner(int side, QWidget *parent)
    : QWidget(parent)
    , m_side(side)
{
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(Motion::instance(), &Motion::reduceMotionChanged, this, [this](bool reduce) {
        if (reduce) {
            if (m_animation)
                m_animation->stop();
        } else {
            startIfShown();
        }
        update();
    });
}

void Spinner::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    update();
}

bool Spinner::isAnimating() const { return m_animation && m_animation->state() == QAbstractAnimation::Running; }

void Spinner::startIfShown()
{
    if (!isVisible() || Motion::reduceMotion())
        return;
    if (!m_animation) {
        m_animation = new QVariantAnimation(this);
        m_animation->setStartValue(0.0);
        m_animation->setEndValue(360.0);
        m_animation->setDuration(kTurnMs);
        m_animation->setLoopCount(-1);
        connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
            m_angle = v.toReal();
            update();
        });
    }
    if (m_animation->state() != QAbstractAnimation::Running)
        m_animation->start();
}

void Spinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    startIfShown();
}

void Spinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (m_animation)
        m_animation->stop();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.5, m_side / 8.0);
    const QRectF r = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    const QColor arc = m_color.isValid() ? m_color : Theme::secondaryText();
    QColor ring = arc;
    ring.setAlphaF(arc.alphaF() * 0.25f);
    painter.setPen(QPen(ring, pen));
    painter.drawEllipse(r);
    painter.setPen(QPen(arc, pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(r, int(-m_angle * 16), 100 * 16);
}

} // namespace nbd
