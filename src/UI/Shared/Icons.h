#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <optional>

class QPainter;

namespace nbd {

// The symbol icons of the views, keyed by the symbol names the views use ("chevron.right",
// "sparkles", "gearshape", …). Each is a stroked SVG on a 24-unit grid, tinted at paint time;
// an unknown name draws a neutral glyph.
class Icons
{
public:
    static bool has(const QString &name);
    static void paint(QPainter *painter, const QRectF &rect, const QString &name, const QColor &tint);
    static QPixmap pixmap(const QString &name, int size, const QColor &tint, qreal devicePixelRatio = 1.0);
    // The application's own icon.
    static QIcon appIcon();
    static QPixmap appPixmap(int size, qreal devicePixelRatio = 1.0);
};

// One symbol icon as a widget. The symbol name is kept in the "symbolName" property, so tests
// can read which icon is shown.
class IconView : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName WRITE setSymbolName)
public:
    explicit IconView(const QString &symbolName, int iconSize = 16, QWidget *parent = nullptr);

    QString symbolName() const { return m_symbolName; }
    void setSymbolName(const QString &name);
    // Nothing: the secondary foreground colour of the current appearance.
    void setTint(std::optional<QColor> tint);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbolName;
    int m_iconSize;
    std::optional<QColor> m_tint;
};

} // namespace nbd
