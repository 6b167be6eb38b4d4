#include "UI/Shared/DeepDivingStatusView.h"

#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPaintEvent>
#include <QPainterPath>
#include <QScreen>
#include <QVariantAnimation>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const QFont &shimmerFont()
{
    static const QFont font = Fonts::system(14, QFont::DemiBold);
    return font;
}

const QColor kAccent(65, 118, 230);
const QColor kHighlight(211, 226, 255);

} // namespace

QString DeepDivingStatusView::text() { return u"Deep diving..."_s; }

int DeepDivingStatusView::textWidth()
{
    static const int width = int(std::ceil(QFontMetricsF(shimmerFont()).horizontalAdvance(text()))) + 1;
    return width;
}

DeepDivingStatusView::DeepDivingStatusView(QWidget *parent)
    : QWidget(parent)
    , m_reduceMotion(Motion::reduceMotion())
{
    setObjectName(u"deep-diving-status"_s);
    setAccessibleName(text());
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TranslucentBackground);
    connect(Motion::instance(), &Motion::reduceMotionChanged, this, &DeepDivingStatusView::setReduceMotion);
}

QSize DeepDivingStatusView::sizeHint() const { return {textWidth(), kLineHeight}; }

void DeepDivingStatusView::setReduceMotion(bool on)
{
    if (m_reduceMotion == on)
        return;
    m_reduceMotion = on;
    updateAnimationIfNeeded(true);
}

bool DeepDivingStatusView::isAnimating() const
{
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

void DeepDivingStatusView::removeAnimation()
{
    if (m_animation) {
        m_animation->stop();
        m_animation->deleteLater();
        m_animation = nullptr;
    }
}

void DeepDivingStatusView::updateAnimationIfNeeded(bool force)
{
    const qreal w = width();
    if (w <= 0)
        return;
    if (m_reduceMotion) {
        removeAnimation();
        m_translation = w; // the highlight rests at the middle of the text
        m_animatedWidth = w;
        update();
        return;
    }
    if (!isVisible())
        return;
    if (isAnimating() && !force && std::abs(w - m_animatedWidth) <= 0.5)
        return;
    removeAnimation();
    m_translation = 0;
    m_animation = new QVariantAnimation(this);
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(2 * w);
    m_animation->setDuration(kSweepMs);
    m_animation->setEasingCurve(QEasingCurve::Linear);
    m_animation->setLoopCount(-1);
    connect(m_animation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant &value) { moveBand(value.toReal()); });
    m_animation->start();
    m_animatedWidth = w;
}

QRect DeepDivingStatusView::bandRect(qreal translation) const
{
    // The gradient spans [−2w, w) shifted by the translation; only its highlight, between
    // the stops at 0.36 and 0.64, differs from the plain accent.
    const qreal w = width();
    const qreal x0 = -2 * w + translation;
    const qreal left = x0 + 0.36 * 3 * w;
    const qreal right = x0 + 0.64 * 3 * w;
    return QRect(QPoint(int(std::floor(left)) - 1, 0), QPoint(int(std::ceil(right)) + 1, height() - 1))
        .intersected(rect());
}

void DeepDivingStatusView::moveBand(qreal translation)
{
    // At most one repaint per frame of the screen; a tick that comes sooner waits for the
    // next one, which carries the band further.
    const qreal hz = screen() ? screen()->refreshRate() : 60.0;
    const qint64 frameNs = qint64(1e9 / std::max<qreal>(hz, 1.0));
    if (m_frameClock.isValid() && m_frameClock.nsecsElapsed() < frameNs - 1000000)
        return;
    m_frameClock.start();
    const QRect before = bandRect(m_translation);
    m_translation = translation;
    // Only where the band was and where it is now changes.
    const QRegion dirty = QRegion(before) + QRegion(bandRect(m_translation));
    if (!dirty.isEmpty())
        update(dirty);
}

void DeepDivingStatusView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_mask = QImage();
    if (width() > 0 && height() > 0)
        updateAnimationIfNeeded(false);
}

void DeepDivingStatusView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updateAnimationIfNeeded(true);
}

void DeepDivingStatusView::hideEvent(QHideEvent *event)
{
    if (!m_reduceMotion)
        removeAnimation();
    QWidget::hideEvent(event);
}

void DeepDivingStatusView::paintEvent(QPaintEvent *event)
{
    const qreal w = width();
    const qreal h = height();
    if (w <= 0 || h <= 0)
        return;
    const qreal dpr = devicePixelRatioF();
    const QSize pixels(int(std::ceil(w * dpr)), int(std::ceil(h * dpr)));
    if (m_mask.size() != pixels || m_mask.devicePixelRatio() != dpr) {
        // The outline of the text, filled once per size: the coverage of every pixel. A
        // frame then costs two small image fills instead of rasterising the glyphs again,
        // and the band passes through the letters as through their outline.
        const QFontMetricsF fm(shimmerFont());
        const qreal lineHeight = std::ceil(fm.ascent() + fm.descent() + fm.leading());
        const qreal top = std::floor((h - lineHeight) / 2);
        QPainterPath glyphs;
        glyphs.addText(QPointF(0, top + fm.ascent()), shimmerFont(), text());
        m_mask = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_mask.setDevicePixelRatio(dpr);
        m_mask.fill(Qt::transparent);
        QPainter mask(&m_mask);
        mask.setRenderHint(QPainter::Antialiasing);
        mask.fillPath(glyphs, Qt::black);
        m_frame = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_frame.setDevicePixelRatio(dpr);
    }

    // The gradient is three widths wide and starts at −2w; moving it by 2w sweeps the band
    // from beyond the left edge to beyond the right one.
    const qreal x0 = -2 * w + m_translation;
    QLinearGradient gradient(QPointF(x0, 0), QPointF(x0 + 3 * w, 0));
    gradient.setColorAt(0.0, kAccent);
    gradient.setColorAt(0.36, kAccent);
    gradient.setColorAt(0.5, kHighlight);
    gradient.setColorAt(0.64, kAccent);
    gradient.setColorAt(1.0, kAccent);
    {
        QPainter frame(&m_frame);
        frame.setCompositionMode(QPainter::CompositionMode_Source);
        frame.fillRect(QRectF(0, 0, w, h), gradient);
        frame.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        frame.drawImage(QPointF(0, 0), m_mask);
    }
    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.drawImage(QPointF(0, 0), m_frame);
}

} // namespace nbd
