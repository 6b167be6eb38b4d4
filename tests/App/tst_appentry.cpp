#include "GuiTestMain.h"
#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"

#include <QPointer>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class tst_AppEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
    }

    void startSequenceHandsTheStoreToTheDelegate()
    {
        AppDelegate delegate;
        QVERIFY(!delegate.appModel);
        nbd_nativeApp entry(&delegate, false);
        QCOMPARE(delegate.appModel, entry.appModel());
        QCOMPARE(delegate.approvalNotificationCoordinator, entry.approvalNotificationCoordinator());
        QVERIFY(!delegate.quickAskCoordinator());

        entry.openQuickAsk(); // before launching has finished: nothing happens

        delegate.applicationWillFinishLaunching();
        QVERIFY(!QApplication::windowIcon().isNull());
        entry.showScenes();
        QVERIFY(entry.mainWindow());
        QCOMPARE(entry.mainWindow()->objectName(), u"main"_s);
        // Offscreen there is no tray: closing the main window must quit.
        QVERIFY(QApplication::quitOnLastWindowClosed());

        // Offscreen has no X11 connection: the hot key fails, is logged once, and Quick Ask
        // stays reachable from the tray.
        QTest::ignoreMessage(QtWarningMsg, "Quick Ask hot key unavailable: 全局快捷键 Ctrl+Alt+Space 不可用：当前会话没有 X11 显示");
        delegate.applicationDidFinishLaunching();
        QVERIFY(delegate.quickAskCoordinator());
        QVERIFY(!delegate.quickAskCoordinator()->isHotKeyRegistered());
        QVERIFY(entry.approvalNotificationCoordinator()->isStarted());
        entry.openQuickAsk();
        QVERIFY(delegate.quickAskCoordinator()->isPanelVisible());

        delegate.applicationWillTerminate();
        QVERIFY(!delegate.quickAskCoordinator()->isPanelVisible());
        QVERIFY(delegate.quickAskCoordinator()->isStopped());
        QCOMPARE(entry.appModel()->nbdProcess()->phase().kind, NBDProcessManager::Phase::Kind::Idle);
    }

    // A left click on the tray icon brings the main window back, also after it was closed;
    // the context click only opens the menu.
    void trayClickShowsTheMainWindow()
    {
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.showScenes();
        entry.createTray(); // offscreen has no tray: build it as on a desktop with one
        QSystemTrayIcon *tray = entry.tray();
        QVERIFY(tray && tray->contextMenu());
        QPointer<MainWindow> window = entry.mainWindow();
        window->hide();
        Q_EMIT tray->activated(QSystemTrayIcon::Context);
        QVERIFY(!window->isVisible());
        Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());

        window->close();
        QTRY_VERIFY(!window); // closed windows are deleted; with a tray the app goes on
        Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(entry.mainWindow() && entry.mainWindow()->isVisible());
    }

    void settingsOpensOneWindow()
    {
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.openSettings();
        QWidget *first = entry.settingsWindow();
        QVERIFY(first && first->isVisible());
        entry.openSettings();
        QCOMPARE(entry.settingsWindow(), first);
    }
};

NBD_GUI_TEST_MAIN(tst_AppEntry)
#include "tst_appentry.moc"
