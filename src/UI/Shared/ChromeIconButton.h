#pragma once

#include <QAbstractButton>
#include <QColor>

#include <functional>
#include <optional>

class QVariantAnimation;

namespace nbd {

// A tooltip that shows `text` exactly as given. Qt guesses whether a tooltip is rich text:
// text it would take for markup is escaped into a rich-text form that shows the original
// characters; any other text is kept as it is, so screen readers get it without markup.
QString plainToolTip(const QString &text);

// The 28 × 28 square icon button of window chrome: no bezel, a rounded hover fill, the whole
// square clickable. Callers set their own objectName.
class ChromeIconButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
    Q_PROPERTY(bool hovered READ isHovered)
public:
    ChromeIconButton(const QString &systemName, const QString &help, std::optional<QColor> tint,
                     std::function<void()> action, QWidget *parent = nullptr);

    QString symbolName() const { return m_systemName; }
    void setSymbolName(const QString &name);
    bool isHovered() const { return m_hovered; }
    QSize sizeHint() const override { return {28, 28}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString m_systemName;
    std::optional<QColor> m_tint;
    bool m_hovered = false;
};

// The "▍" cursor at the end of streaming text; fades out and in while shown.
class BlinkingCursor : public QWidget
{
    Q_OBJECT
public:
    explicit BlinkingCursor(QWidget *parent = nullptr);
    qreal opacity() const { return m_opacity; }
    bool isAnimating() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QVariantAnimation *m_animation = nullptr;
    qreal m_opacity = 1.0;
};

// The opaque sidebar-coloured background behind the left column (the translucent material of
// other desktops, made an opaque theme colour).
class SidebarMaterialBackground : public QWidget
{
    Q_OBJECT
public:
    explicit SidebarMaterialBackground(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace nbd
