#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class QSystemTrayIcon;
class QWidget;

namespace nbd {

struct ActivationToken;
class AppDelegate;
class AppModel;
class ApprovalNotificationCoordinator;
class DesktopNotificationCenter;
class MainWindow;
class TrayMenu;
class TrayWatcher;

// The application entry: creates the store and the approval-notification coordinator once,
// hands both to the delegate, and builds the scenes: the main window, the Settings window
// (on demand) and the tray icon that stands for the menu-bar extra. Without a system tray,
// closing the main window quits, so no invisible process is left behind, and the tray menu's
// entries are a menu of the main window's menu bar. The tray is followed while the app runs:
// it may come after start-up or go away.
class nbd_nativeApp : public QObject
{
    Q_OBJECT
public:
    // connectOnLaunch: false for tests that need no host.
    explicit nbd_nativeApp(AppDelegate *appDelegate, bool connectOnLaunch = true, QObject *parent = nullptr);
    ~nbd_nativeApp() override;

    AppModel *appModel() const { return m_appModel.get(); }
    ApprovalNotificationCoordinator *approvalNotificationCoordinator() const { return m_approvalNotificationCoordinator.get(); }
    MainWindow *mainWindow() const { return m_mainWindow; }
    TrayMenu *trayMenu() const { return m_trayMenu; }
    QWidget *settingsWindow() const { return m_settingsWindow; }

    // Builds and shows the main window (the first scene) and the tray.
    void showScenes();
    void openSettings();
    void openMainWindow();
    // The ordered shutdown of the tray's "退出" and the window's Quit command.
    void quit();
    QSystemTrayIcon *tray() const { return m_tray; }
    // The tray icon with its menu; showScenes() creates it where the desktop has a tray.
    void createTray();
    // The tray's Quick Ask item: nothing before the delegate has finished launching.
    void openQuickAsk();
    // A later launch was handed over: the main window comes forward with that launch's token.
    void activateFromLaunch(const ActivationToken &token);
    // Takes in the desktop's current tray: creates the icon when a tray is there, otherwise
    // removes it, shows the main window if it was hidden and offers the menu in its menu bar.
    void followTray();
    // The menu-bar copy of the tray menu (only while there is no tray).
    TrayMenu *menuBarExtra() const;

private:
    bool isTrayAvailable() const;
    // Offers the tray menu in the main window's menu bar exactly while there is no tray.
    void syncMenuBarExtra();

    AppDelegate *m_appDelegate;
    std::unique_ptr<AppModel> m_appModel;
    std::unique_ptr<DesktopNotificationCenter> m_notificationCenter;
    std::unique_ptr<ApprovalNotificationCoordinator> m_approvalNotificationCoordinator;
    QPointer<MainWindow> m_mainWindow;
    QPointer<QWidget> m_settingsWindow;
    QSystemTrayIcon *m_tray = nullptr;
    TrayMenu *m_trayMenu = nullptr; // owned by the tray icon
    QPointer<TrayMenu> m_menuBarExtra; // owned by the main window
    TrayWatcher *m_trayWatcher = nullptr;
    bool m_scenesShown = false;
};

} // namespace nbd
