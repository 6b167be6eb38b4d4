#include "UI/Shared/Icons.h"

#include "UI/Shared/Theme.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

QString iconPath(const QString &name) { return u":/icons/"_s + name + u".svg"_s; }

// The SVG text of a symbol, read once per name; "currentColor" is replaced when painting.
const QByteArray &svgSource(const QString &name)
{
    static QHash<QString, QByteArray> cache;
    auto it = cache.find(name);
    if (it != cache.end())
        return *it;
    QFile file(iconPath(name));
    QByteArray bytes;
    if (name != u"fallback"_s && file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (bytes.isEmpty()) {
        QFile fallback(iconPath(u"fallback"_s));
        if (fallback.open(QIODevice::ReadOnly))
            bytes = fallback.readAll();
    }
    return *cache.insert(name, bytes);
}

} // namespace

bool Icons::has(const QString &name)
{
    return !name.isEmpty() && name != u"fallback"_s && QFile::exists(iconPath(name));
}

void Icons::paint(QPainter *painter, const QRectF &rect, const QString &name, const QColor &tint)
{
    // Icons repaint often (hover, selection, animations): parse each symbol once per tint.
    static QHash<QPair<QString, QRgb>, std::shared_ptr<QSvgRenderer>> renderers;
    const QPair<QString, QRgb> key(name, tint.rgba());
    std::shared_ptr<QSvgRenderer> renderer = renderers.value(key);
    if (!renderer) {
        QByteArray svg = svgSource(name);
        svg.replace("currentColor", tint.name(QColor::HexRgb).toLatin1());
        if (tint.alphaF() < 1.0)
            svg.replace("<svg ", "<svg opacity=\"" + QByteArray::number(tint.alphaF(), 'f', 3) + "\" ");
        renderer = std::make_shared<QSvgRenderer>(svg);
        if (renderers.size() >= 1024) // animated tints could otherwise grow it without end
            renderers.clear();
        renderers.insert(key, renderer);
    }
    renderer->render(painter, rect);
}

QPixmap Icons::pixmap(const QString &name, int size, const QColor &tint, qreal devicePixelRatio)
{
    QPixmap pm(QSize(size, size) * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    pm.fill(Qt::transparent);
    QPainter painter(&pm);
    painter.setRenderHint(QPainter::Antialiasing);
    paint(&painter, QRectF(0, 0, size, size), name, tint);
    return pm;
}

namespace {

QPixmap renderAppPixmap(QSvgRenderer &renderer, int size, qreal devicePixelRatio)
{
    QPixmap pm(QSize(size, size) * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    pm.fill(Qt::transparent);
    QPainter painter(&pm);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    return pm;
}

} // namespace

QPixmap Icons::appPixmap(int size, qreal devicePixelRatio)
{
    QSvgRenderer renderer(u":/icons/nimbrel-deck.svg"_s);
    return renderAppPixmap(renderer, size, devicePixelRatio);
}

QIcon Icons::appIcon()
{
    // Read once for all its sizes: the window icon is made before the first window shows.
    QSvgRenderer renderer(u":/icons/nimbrel-deck.svg"_s);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(renderAppPixmap(renderer, size, 1.0));
    return icon;
}

IconView::IconView(const QString &symbolName, int iconSize, QWidget *parent)
    : QWidget(parent)
    , m_symbolName(symbolName)
    , m_iconSize(iconSize)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void IconView::setSymbolName(const QString &name)
{
    if (m_symbolName == name)
        return;
    m_symbolName = name;
    update();
}

void IconView::setTint(std::optional<QColor> tint)
{
    m_tint = tint;
    update();
}

QSize IconView::sizeHint() const { return {m_iconSize, m_iconSize}; }

void IconView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int side = qMin(m_iconSize, qMin(width(), height()));
    const QRectF target((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    Icons::paint(&painter, target, m_symbolName, m_tint.value_or(Theme::secondaryText()));
}

} // namespace nbd
