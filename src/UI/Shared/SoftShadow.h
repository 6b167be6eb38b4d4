#pragma once

#include <QColor>
#include <QMarginsF>
#include <QRectF>

class QPainter;

namespace nbd {

// A soft drop shadow, blurred by stacking faint copies of a shape that grow step by step.
// Step s (from `first` to `last`) is the shape moved down by `offsetY` and grown by s times
// `grow`, painted with (last + 1 - s) / span of `opacity` times the colour's own alpha; a
// rounded shape's corner radius grows by `radiusGrowth` per step.
struct SoftShadow
{
    QColor color;
    qreal opacity = 0.2;
    int first = 1;
    int last = 6;
    qreal span = 6;
    qreal offsetY = 4;
    QMarginsF grow{0.5, 0.5, 0.5, 0.5};
    qreal radius = 8;
    qreal radiusGrowth = 1;
    bool ellipse = false;
};

// Paints the shadow of `shape` (a card's rectangle, or a round button's circle); the caller
// paints the shape itself on top.
void paintSoftShadow(QPainter &painter, const QRectF &shape, const SoftShadow &shadow);

} // namespace nbd
