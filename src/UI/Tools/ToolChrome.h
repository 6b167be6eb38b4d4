#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;

namespace nbd {

class IconView;

// A 1 px line (or any filled strip) in a theme colour read at paint time.
class ThemeRule : public QWidget
{
    Q_OBJECT
public:
    // Horizontal rules are one pixel high and as wide as their layout makes them.
    ThemeRule(QColor (*color)(), QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor (*m_color)();
};

// A widget that fills its background with the window's canvas colour of the current
// appearance.
class CanvasWidget : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The centred "nothing to show" placeholder: a symbol, a title and a description line.
class ContentUnavailableView : public QWidget
{
    Q_OBJECT
public:
    ContentUnavailableView(const QString &title, const QString &symbol, const QString &description,
                           QWidget *parent = nullptr);
    void setDescription(const QString &description);
    QString title() const;
    QString description() const;

private:
    QLabel *m_title;
    QLabel *m_description;
    IconView *m_icon;
};

// A monospaced font of the given pixel size in the desktop's fixed-pitch family.
QFont monospaceFont(int pixelSize, int weight = 400);

} // namespace nbd
