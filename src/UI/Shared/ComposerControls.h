#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <optional>

class QMenu;

namespace nbd {

// The compact pull-down of the composer's control row: a symbol, a medium 12-point text and a
// small chevron, no bezel, 28 points high. A click opens its menu (above it when the window has
// room there) without blocking; the owner fills the menu in its aboutToShow. The accessible
// name is the shown text.
class CompactMenuButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    CompactMenuButton(const QString &toolTip, int horizontalPadding, QWidget *parent = nullptr);

    QMenu *menu() const { return m_menu; }
    // An empty symbol draws none.
    void setFace(const QString &symbol, const QString &text);
    QString symbolName() const { return m_symbol; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void openMenu();

    QMenu *m_menu;
    QString m_symbol;
    int m_padding;
    bool m_hovered = false;
};

// A round button without chrome: a symbol centred on a filled circle (the composer's send and
// stop buttons), or on nothing (the goal bar's buttons). Its accessible name is its tooltip.
class RoundSymbolButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    RoundSymbolButton(int diameter, int symbolSize, QWidget *parent = nullptr);

    void setSymbol(const QString &symbol);
    QString symbolName() const { return m_symbol; }
    // Nothing: no circle.
    void setFill(std::optional<QColor> fill) { m_fill = std::move(fill); update(); }
    void setSymbolColor(std::optional<QColor> color) { m_symbolColor = std::move(color); update(); }
    // The whole face's opacity while the button is disabled.
    void setDisabledOpacity(qreal opacity) { m_disabledOpacity = opacity; update(); }
    void setHelp(const QString &help);
    QSize sizeHint() const override { return {m_diameter, m_diameter}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QString m_symbol;
    int m_diameter;
    int m_symbolSize;
    std::optional<QColor> m_fill;
    std::optional<QColor> m_symbolColor;
    qreal m_disabledOpacity = 1.0;
};

// The push buttons of the prompt cards: bordered (a hairline and a light fill) or prominent
// (filled with a tint, white text).
class CardButton : public QPushButton
{
    Q_OBJECT
public:
    enum class Style { Bordered, Prominent };
    CardButton(const QString &text, Style style, QWidget *parent = nullptr);
    // Nothing: the brand colour.
    void setTint(std::optional<QColor> tint) { m_tint = std::move(tint); update(); }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Style m_style;
    std::optional<QColor> m_tint;
};

// A widget that keeps its one child at most `maxWidth` wide, centred, with `margin` on either
// side; the dock's rows all follow the transcript's column this way.
class CenteredColumn : public QWidget
{
    Q_OBJECT
public:
    CenteredColumn(QWidget *child, int maxWidth, int margin, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int childWidth(int width) const;
    QWidget *m_child;
    int m_maxWidth;
    int m_margin;
};

} // namespace nbd
