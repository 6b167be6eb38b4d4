#pragma once

#include <QAbstractButton>
#include <QColor>

class QHBoxLayout;
class QVariantAnimation;

namespace nbd {

// A header line that acts as one button: its children (icons, labels) only draw, the whole
// rectangle takes the click, Space and Return activate it. Owners set its accessible name.
class RowHeaderButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit RowHeaderButton(QWidget *parent = nullptr);
    QHBoxLayout *row() const { return m_row; }
    // Children added to the row draw only; clicks go to the button.
    void addPassive(QWidget *child, int stretch = 0, Qt::Alignment alignment = {});
    // A header that opens and closes what is under it says so to assistive technology.
    void setDisclosure(bool expandable, bool expanded);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QHBoxLayout *m_row;
};

// The "chevron.right" disclosure mark: turned a quarter clockwise while open, with a short
// ease-out turn.
class ChevronView : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
    Q_PROPERTY(qreal rotation READ rotation)
public:
    explicit ChevronView(int pointSize = 8, int durationMs = 180, QWidget *parent = nullptr);

    QString symbolName() const;
    qreal rotation() const { return m_rotation; }
    bool isOpen() const { return m_open; }
    void setOpen(bool open, bool animated);
    void setTint(const QColor &tint);
    void setOpacity(qreal opacity);
    qreal opacity() const { return m_opacity; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_pointSize;
    int m_durationMs;
    bool m_open = false;
    qreal m_rotation = 0;
    qreal m_opacity = 1;
    QColor m_tint;
    QVariantAnimation *m_animation = nullptr;
};

// A small icon-only button of a row (copy, edit, remove…): the symbol centred in a fixed
// frame, the help text as its tooltip and accessible name, dimmed while disabled.
class SymbolButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    SymbolButton(const QString &symbol, const QString &help, QSize frame, int symbolSize, QWidget *parent = nullptr);

    QString symbolName() const { return m_symbol; }
    void setSymbolName(const QString &symbol);
    void setHelp(const QString &help);
    void setTint(const QColor &tint);
    QSize sizeHint() const override { return m_frame; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString m_symbol;
    QSize m_frame;
    int m_symbolSize;
    QColor m_tint;
    bool m_hovered = false;
};

} // namespace nbd
