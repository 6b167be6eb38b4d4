#pragma once

#include "Store/AgentMenuBarMenu.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QMenu;

namespace nbd {

class AppModel;
class ApprovalNotificationCoordinator;

// The tray icon's one persistent menu. Its content is rebuilt from agentMenuBarMenu() whenever
// the sessions, the pending approvals or the notification state change; the rebuild waits for
// the event loop so an entry is never deleted while its own action runs.
class TrayMenu : public QObject
{
    Q_OBJECT
public:
    struct Actions
    {
        std::function<void()> openMainWindow;
        std::function<void()> openQuickAsk;
        std::function<void()> openSettings;
        std::function<void()> quit;
    };

    // Where the menu is offered: the tray icon's menu, or, on a desktop without a tray, a menu
    // of the main window's menu bar titled with the status title (the same entries).
    enum class Placement { Tray, MenuBar };

    TrayMenu(AppModel *appModel, ApprovalNotificationCoordinator *coordinator, Actions actions,
             QObject *parent = nullptr, Placement placement = Placement::Tray);
    ~TrayMenu() override;

    QMenu *menu() const { return m_menu; }
    // The status title: the tray's tooltip.
    QString title() const;
    AgentMenuBarInput input() const;
    // Rebuilds at once (normally it runs from the event loop after a change).
    void rebuild();

    // Opens the desktop's notification settings when one is installed; false when none is.
    static bool openNotificationSettings();

Q_SIGNALS:
    void titleChanged(const QString &title);

private:
    void scheduleRebuild();
    void fill(QMenu *menu, const std::vector<AgentMenuEntry> &entries, const QString &path);
    void run(const AgentMenuEntry &entry);

    QPointer<AppModel> m_appModel;
    QPointer<ApprovalNotificationCoordinator> m_coordinator;
    Actions m_actions;
    Placement m_placement;
    QMenu *m_menu;
    bool m_rebuildQueued = false;
    QString m_title;
};

} // namespace nbd
