#include "App/NativeApp.h"

#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"
#include "UI/Shared/Icons.h"
#include "UI/Settings/SettingsView.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

nbd_nativeApp::nbd_nativeApp(AppDelegate *appDelegate, bool connectOnLaunch, QObject *parent)
    : QObject(parent)
    , m_appDelegate(appDelegate)
{
    m_appModel = std::make_unique<AppModel>(std::unique_ptr<QSettings>(), connectOnLaunch);
    // The desktop notification centre is the application object until notifications exist.
    m_approvalNotificationCoordinator =
        std::make_unique<ApprovalNotificationCoordinator>(m_appModel.get(), QCoreApplication::instance());
    m_appDelegate->appModel = m_appModel.get();
    m_appDelegate->approvalNotificationCoordinator = m_approvalNotificationCoordinator.get();
}

nbd_nativeApp::~nbd_nativeApp()
{
    delete m_settingsWindow;
    delete m_mainWindow;
    delete m_tray;
    m_appDelegate->appModel = nullptr;
    m_appDelegate->approvalNotificationCoordinator = nullptr;
}

void nbd_nativeApp::showScenes()
{
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    QApplication::setQuitOnLastWindowClosed(!tray);
    openMainWindow();
    if (tray)
        createTray();
}

void nbd_nativeApp::openMainWindow()
{
    if (!m_mainWindow) {
        m_mainWindow = new MainWindow(m_appModel.get(), [this] { openSettings(); }, nullptr, [this] { quit(); });
        m_mainWindow->setAttribute(Qt::WA_DeleteOnClose);
        m_mainWindow->resize(1280, 820);
        // Without a tray nothing could bring the window back: closing it quits, also while the
        // Settings window is still open.
        connect(m_mainWindow, &MainWindow::closed, this, [this] {
            if (!m_tray)
                QCoreApplication::quit();
        });
    }
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
        layout->addWidget(new SettingsView(m_appModel.get(), window));
        layout->setSizeConstraint(QLayout::SetFixedSize);
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
    // Placeholder menu until the tray menu is built: what must stay reachable with the main
    // window closed.
    m_tray = new QSystemTrayIcon{Icons::appIcon()};
    m_tray->setToolTip(u"Nimbrel Deck"_s);
    auto *menu = new QMenu;
    menu->addAction(u"打开 Nimbrel Deck"_s, this, [this] { openMainWindow(); });
    menu->addAction(u"Quick Ask"_s, this, [this] { openQuickAsk(); });
    menu->addAction(u"设置"_s, this, [this] { openSettings(); });
    menu->addSeparator();
    menu->addAction(u"退出"_s, this, [this] { quit(); });
    m_tray->setContextMenu(menu);
    // A left click (or the keyboard's activation) brings the main window; the menu stays on
    // the context click.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            openMainWindow();
    });
    connect(m_tray, &QObject::destroyed, menu, &QObject::deleteLater);
    m_tray->show();
}

} // namespace nbd
