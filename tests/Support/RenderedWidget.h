#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdlib>

namespace nbd::test {

// The widget as it paints itself, alone on a transparent image: no window background behind it.
inline QImage rendered(QWidget *widget)
{
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image, {}, {}, QWidget::RenderFlags());
    return image;
}

// Whether some nearly opaque pixel of `image` is within `tolerance` of `color` in every channel.
inline bool paintsNear(const QImage &image, const QColor &color, int tolerance = 40)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            if (c.alpha() > 200 && std::abs(c.red() - color.red()) < tolerance
                && std::abs(c.green() - color.green()) < tolerance && std::abs(c.blue() - color.blue()) < tolerance)
                return true;
        }
    return false;
}

} // namespace nbd::test
