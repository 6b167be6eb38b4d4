#include "UI/Shared/LazyIcon.h"

#include <QIconEngine>
#include <QPainter>

#include <memory>
#include <optional>

namespace nbd {

namespace {

struct LazyIconSource
{
    std::function<QIcon()> make;
    std::optional<QIcon> icon;

    const QIcon &get()
    {
        if (!icon) {
            icon = make ? make() : QIcon();
            make = nullptr;
        }
        return *icon;
    }
};

class LazyIconEngine : public QIconEngine
{
public:
    explicit LazyIconEngine(std::shared_ptr<LazyIconSource> source)
        : m_source(std::move(source))
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        m_source->get().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return m_source->get().actualSize(size, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return m_source->get().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        return m_source->get().pixmap(size, scale, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return m_source->get().availableSizes(mode, state);
    }
    QString iconName() override { return m_source->get().name(); }
    bool isNull() override { return m_source->get().isNull(); }
    QIconEngine *clone() const override { return new LazyIconEngine(m_source); }

private:
    std::shared_ptr<LazyIconSource> m_source;
};

} // namespace

QIcon lazyIcon(std::function<QIcon()> make)
{
    auto source = std::make_shared<LazyIconSource>();
    source->make = std::move(make);
    return QIcon(new LazyIconEngine(std::move(source)));
}

} // namespace nbd
