#include "App/NativeApp.h"

#include "App/AppDelegate.h"
#include "App/ViewOwners.h"
#include "App/WindowPlacement.h"
#include "App/MainWindow.h"
#include "App/TrayMenu.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"
#include "System/DesktopNotifications.h"
#include "System/TrayWatcher.h"
#include "System/WindowActivation.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"
#include "UI/Shared/Icons.h"
#include "UI/Settings/SettingsView.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

nbd_nativeApp::nbd_nativeApp(AppDelegate *appDelegate, bool connectOnLaunch, QObject *parent)
    : QObject(parent)
    , m_appDelegate(appDelegate)
{
    m_appModel = std::make_unique<AppModel>(std::unique_ptr<QSettings>(), connectOnLaunch);
    m_notificationCenter = std::make_unique<DesktopNotificationCenter>(QDBusConnection::sessionBus());
    m_approvalNotificationCoordinator =
        std::make_unique<ApprovalNotificationCoordinator>(m_appModel.get(), m_notificationCenter.get());
    m_appDelegate->appModel = m_appModel.get();
    m_appDelegate->approvalNotificationCoordinator = m_approvalNotificationCoordinator.get();
    // Quick Ask may outlive this entry (the delegate stops it only at quit).
    m_appDelegate->mainWindowOpener = [app = QPointer<nbd_nativeApp>(this)] {
        if (app)
            app->openMainWindow();
    };
}

nbd_nativeApp::~nbd_nativeApp()
{
    delete m_settingsWindow;
    delete m_mainWindow;
    delete m_tray;
    delete m_trayWatcher;
    m_approvalNotificationCoordinator.reset();
    m_notificationCenter.reset();
    m_appDelegate->appModel = nullptr;
    m_appDelegate->approvalNotificationCoordinator = nullptr;
    m_appDelegate->mainWindowOpener = nullptr;
}

void nbd_nativeApp::showScenes()
{
    // Watching first: a tray that comes while we look is not missed.
    if (!m_trayWatcher) {
        m_trayWatcher = new TrayWatcher(this);
        connect(m_trayWatcher, &TrayWatcher::trayMayHaveChanged, this, &nbd_nativeApp::followTray);
    }
    const bool tray = isTrayAvailable();
    QApplication::setQuitOnLastWindowClosed(!tray);
    openMainWindow();
    if (tray)
        createTray();
    m_scenesShown = true;
    syncMenuBarExtra();
}

bool nbd_nativeApp::isTrayAvailable() const
{
    // Qt still counts a tray that gave its selection up but kept its window.
    return QSystemTrayIcon::isSystemTrayAvailable() && !(m_trayWatcher && m_trayWatcher->hasTrayLeft());
}

void nbd_nativeApp::followTray()
{
    const bool available = isTrayAvailable();
    if (available == (m_tray != nullptr))
        return;
    if (available) {
        QApplication::setQuitOnLastWindowClosed(false);
        createTray();
    } else {
        delete m_tray;
        m_tray = nullptr;
        m_trayMenu = nullptr;
        // Nothing would bring a hidden window back: it comes now, and closing it quits.
        QApplication::setQuitOnLastWindowClosed(true);
        if (!m_mainWindow || !m_mainWindow->isVisible())
            openMainWindow();
    }
    syncMenuBarExtra();
}

TrayMenu *nbd_nativeApp::menuBarExtra() const { return m_menuBarExtra.data(); }

void nbd_nativeApp::syncMenuBarExtra()
{
    if (m_tray || !m_mainWindow) {
        delete m_menuBarExtra;
        return;
    }
    if (m_menuBarExtra)
        return;
    TrayMenu::Actions actions;
    actions.openMainWindow = [this] { openMainWindow(); };
    actions.openQuickAsk = [this] { openQuickAsk(); };
    actions.openSettings = [this] { openSettings(); };
    actions.quit = [this] { quit(); };
    m_menuBarExtra = new TrayMenu(m_appModel.get(), m_approvalNotificationCoordinator.get(), std::move(actions),
                                  m_mainWindow, TrayMenu::Placement::MenuBar);
    m_mainWindow->menuBar()->addMenu(m_menuBarExtra->menu());
}

void nbd_nativeApp::activateFromLaunch(const ActivationToken &token)
{
    windowactivation::prepare(token);
    openMainWindow();
    windowactivation::complete(m_mainWindow->windowHandle(), token);
}

void nbd_nativeApp::openMainWindow()
{
    if (!m_mainWindow) {
        m_mainWindow = new MainWindow(m_appModel.get(), [this] { openSettings(); }, nullptr, [this] { quit(); });
        m_mainWindow->setAttribute(Qt::WA_DeleteOnClose);
        m_mainWindow->placeOnScreen();
        // Without a tray nothing could bring the window back: closing it quits, also while the
        // Settings window is still open.
        connect(m_mainWindow, &MainWindow::closed, this, [this] {
            if (!m_tray)
                QCoreApplication::quit();
        });
    }
    // Before the scenes are up the tray is not known yet.
    if (m_scenesShown)
        syncMenuBarExtra();
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

void nbd_nativeApp::openSettings()
{
    if (!m_settingsWindow) {
        auto *window = new QWidget;
        window->setObjectName(u"settings-window"_s);
        window->setWindowTitle(u"设置"_s);
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto *layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        // The view has one size; on a screen with less room the window scrolls it.
        auto *scroll = new QScrollArea(window);
        scroll->setObjectName(u"settings-scroll"_s);
        scroll->setAccessibleName(u"设置"_s);
        scroll->setFrameShape(QFrame::NoFrame);
        auto *view = new SettingsView(settingsOwners(m_appModel.get()));
        scroll->setWidget(view);
        layout->addWidget(scroll);
        window->setMaximumSize(view->size());
        if (QScreen *screen = windowplacement::screenForNewWindow())
            windowplacement::openCentred(window, screen, view->size());
        // Closed from the keyboard as Linux dialogs are: Escape, and Ctrl+W as a document window.
        for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            auto *shortcut = new QShortcut(keys, window);
            shortcut->setContext(Qt::WindowShortcut);
            connect(shortcut, &QShortcut::activated, window, &QWidget::close);
        }
        m_settingsWindow = window;
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
}

void nbd_nativeApp::quit()
{
    // The event loop ends; aboutToQuit runs the delegate's termination (Quick Ask, then the
    // launched host) before the process exits.
    QCoreApplication::quit();
}

void nbd_nativeApp::openQuickAsk()
{
    if (QuickAskCoordinator *coordinator = m_appDelegate->quickAskCoordinator())
        coordinator->show();
}

void nbd_nativeApp::createTray()
{
    m_tray = new QSystemTrayIcon{Icons::appIcon()};
    TrayMenu::Actions actions;
    actions.openMainWindow = [this] { openMainWindow(); };
    actions.openQuickAsk = [this] { openQuickAsk(); };
    actions.openSettings = [this] { openSettings(); };
    actions.quit = [this] { quit(); };
    m_trayMenu = new TrayMenu(m_appModel.get(), m_approvalNotificationCoordinator.get(), std::move(actions), m_tray);
    m_tray->setToolTip(m_trayMenu->title());
    connect(m_trayMenu, &TrayMenu::titleChanged, m_tray, &QSystemTrayIcon::setToolTip);
    m_tray->setContextMenu(m_trayMenu->menu());
    // A left click (or the keyboard's activation) brings the main window; the menu stays on
    // the context click.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            openMainWindow();
    });
    m_tray->show();
    // With the tray there, a click on an approval notification opens the main window the way
    // the tray's own entry does (also after the window was closed).
    m_approvalNotificationCoordinator->installMainWindowOpener([this] { openMainWindow(); });
    syncMenuBarExtra();
}

} // namespace nbd
