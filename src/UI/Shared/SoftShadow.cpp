#include "UI/Shared/SoftShadow.h"

#include <QPainter>

namespace nbd {

void paintSoftShadow(QPainter &painter, const QRectF &shape, const SoftShadow &shadow)
{
    if (shadow.span <= 0)
        return;
    const QRectF moved = shape.translated(0, shadow.offsetY);
    QColor layer = shadow.color;
    const qreal base = shadow.color.alphaF();
    painter.save();
    painter.setPen(Qt::NoPen);
    // Outermost first, so the darker inner layers end on top.
    for (int s = shadow.last; s >= shadow.first; --s) {
        layer.setAlphaF(float(base * shadow.opacity * (shadow.last + 1 - s) / shadow.span));
        painter.setBrush(layer);
        const QRectF grown = moved.adjusted(-s * shadow.grow.left(), -s * shadow.grow.top(), s * shadow.grow.right(),
                                            s * shadow.grow.bottom());
        if (shadow.ellipse) {
            painter.drawEllipse(grown);
        } else {
            const qreal radius = shadow.radius + s * shadow.radiusGrowth;
            painter.drawRoundedRect(grown, radius, radius);
        }
    }
    painter.restore();
}

} // namespace nbd
