#pragma once

#include <QAbstractButton>
#include <QColor>

#include <functional>
#include <optional>

namespace nbd {

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

} // namespace nbd
