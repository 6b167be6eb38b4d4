#pragma once

#include <QAbstractButton>
#include <QWidget>

#include <functional>

namespace nbd {

class SessionDirectory;

// What the rail's buttons share: 36 × 36 and round (a press outside the circle misses), out of
// the Tab chain, and repainted as the pointer enters and leaves.
class RailButton : public QAbstractButton
{
    Q_OBJECT
public:
    bool isHovered() const { return m_hovered; }
    QSize sizeHint() const override { return {36, 36}; }

protected:
    RailButton(const QString &accessibleName, QWidget *parent);
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    bool m_hovered = false;
};

// A round icon button of the collapsed rail. Under the pointer it fills its circle with the
// hover colour, unless it is a bare link (the Settings link) that shows no fill.
class RailIconButton : public RailButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
    Q_PROPERTY(bool hovered READ isHovered)
public:
    enum class HoverFill { Circle, None };

    RailIconButton(const QString &icon, const QString &help, std::function<void()> action, QWidget *parent = nullptr,
                   HoverFill hoverFill = HoverFill::Circle);
    QString symbolName() const { return m_icon; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_icon;
    HoverFill m_hoverFill;
};

// The application logo of the rail; under the pointer it turns into the expand icon.
class RailLogoButton : public RailButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    explicit RailLogoButton(QWidget *parent = nullptr);
    // "sidebar.left" while hovered, else the application icon ("app-icon").
    QString symbolName() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The narrow column shown in place of the collapsed sidebar: expand, new session, expand into
// search, and Settings.
class SidebarRailView : public QWidget
{
    Q_OBJECT
public:
    SidebarRailView(SessionDirectory *directory, std::function<void()> onExpand, std::function<void()> onSearch,
                    std::function<void()> openSettings, QWidget *parent = nullptr);

private:
    SessionDirectory *m_directory;
    std::function<void()> m_onExpand;
    std::function<void()> m_onSearch;
    std::function<void()> m_openSettings;
};

} // namespace nbd
