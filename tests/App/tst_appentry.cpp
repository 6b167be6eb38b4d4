#include "GuiTestMain.h"
#include "LaunchedApp.h"
#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"
#include "UI/QuickAsk/QuickAskHUDView.h"
#include "UI/QuickAsk/QuickAskPanel.h"

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

    // Escape closes the Settings window as it closes a Linux dialog, and so does Ctrl+W; keys
    // typed into its fields are not taken for it.
    void settingsClosesFromTheKeyboard_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("Escape") << int(Qt::Key_Escape) << Qt::KeyboardModifiers();
        QTest::newRow("Ctrl+W") << int(Qt::Key_W) << Qt::KeyboardModifiers(Qt::ControlModifier);
    }
    void settingsClosesFromTheKeyboard()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.openSettings();
        QPointer<QWidget> window = entry.settingsWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QWidget *focus = window->focusWidget() ? window->focusWidget() : window.data();
        QTest::keyClick(focus, Qt::Key_W);
        QVERIFY(window && window->isVisible());
        QTest::keyClick(focus, Qt::Key(key), modifiers);
        QTRY_VERIFY(!window);
        QVERIFY(!entry.settingsWindow());
        entry.openSettings();
        QVERIFY(entry.settingsWindow() && entry.settingsWindow()->isVisible());
    }

    // With a tray, a question sent from Quick Ask after the main window was closed opens the
    // window again, on the session it made.
    void quickAskOpensTheClosedMainWindow()
    {
        test::LaunchedApp app;
        app.launchConnectedWithOneSession();
        if (QTest::currentTestFailed())
            return;
        app.entry->createTray(); // offscreen has no tray: build it as on a desktop with one
        QPointer<MainWindow> window = app.entry->mainWindow();
        window->close();
        QTRY_VERIFY(!window);
        QVERIFY(!app.entry->mainWindow());

        app.quickAsk()->show();
        QuickAskHUDView *view = app.quickAsk()->panel()->view();
        QTRY_VERIFY(view->questionField()->hasFocus());
        QTest::keyClicks(view->questionField(), u"Where is the window?"_s);
        QTest::keyClick(view->questionField(), Qt::Key_Return);
        QTRY_COMPARE(app.host.requests(u"session.prompt"_s).size(), qsizetype(1));
        const QString created = test::sessionIdOf(app.host.requests(u"session.prompt"_s).first());
        QTRY_VERIFY(app.entry->mainWindow());
        MainWindow *reopened = app.entry->mainWindow();
        QTRY_VERIFY(reopened->isVisible());
        QCOMPARE(app.store()->selection()->selectedSessionId(), std::optional<QString>(created));
        auto *conversation = reopened->findChild<ConversationView *>();
        QVERIFY(conversation);
        QTRY_VERIFY(conversation->shownSession() && conversation->shownSession()->sessionId() == created);
    }
};

NBD_GUI_TEST_MAIN(tst_AppEntry)
#include "tst_appentry.moc"
