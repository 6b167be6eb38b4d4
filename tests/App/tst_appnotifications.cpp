// The application's own start-up path with a notification service on a private bus (run
// under dbus-run-session): an approval of the simulated host becomes a notification, a click
// on it brings the main window to the front and selects the session, and its buttons answer
// the host.

#include "AppModelTestSupport.h"
#include "FakeNotificationServer.h"
#include "GuiTestMain.h"
#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"

#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;

namespace {

struct Host
{
    Host() : world(&host)
    {
        QVERIFY(host.listen());
        sim::SimWorld::Session first = session(u"s1"_s, 2);
        first.title = u"First"_s;
        world.addSession(first);
        sim::SimWorld::Session second = session(u"s2"_s, 1);
        second.title = u"Second"_s;
        world.addSession(second);
        world.setAnnounceResolutions(false);
        // The application reads its configuration from the (test-mode) user settings.
        QSettings settings(u"Nimbrel"_s, u"Nimbrel Deck"_s);
        settings.clear();
        settings.setValue(u"nbd.serverURL"_s, host.baseUrl().toString());
        settings.setValue(u"nbd.launchMode"_s, u"external"_s);
    }

    void raise(const QString &rpcId, const QString &sessionId)
    {
        world.pushApprovalRequested(rpcId, JSONValue::object({{u"sessionId"_s, sessionId},
                                                             {u"approvalId"_s, u"a-"_s + rpcId},
                                                             {u"toolName"_s, u"shell"_s}}));
    }

    sim::SimHost host;
    sim::SimWorld world;
};

} // namespace

class tst_AppNotifications : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
    }

    void cleanup() { QSettings(u"Nimbrel"_s, u"Nimbrel Deck"_s).clear(); }

    // Without a tray: the click raises the window that is there, in front of Settings.
    void clickBringsTheMainWindowForward()
    {
        Host h;
        FakeNotificationServer server;
        QVERIFY(server.registerOnBus());
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate);
        delegate.applicationWillFinishLaunching();
        entry.showScenes();
        delegate.applicationDidFinishLaunching();
        AppModel *store = entry.appModel();
        QTRY_VERIFY_WITH_TIMEOUT(store->connection()->phase().isConnected(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(store->sessions()->sessions().size(), size_t(2), 20000);
        store->selection()->selectSession(u"s1"_s);
        QTRY_COMPARE(store->selection()->selectedSessionId(), std::optional<QString>(u"s1"_s));

        h.raise(u"rpc-1"_s, u"s2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(server.posted.size(), 1, 10000);
        QCOMPARE(server.posted.at(0).summary, u"需要批准：\u2068shell\u2069"_s);
        QCOMPARE(server.posted.at(0).body, u"\u2068Second\u2069\nAgent 正在等待你的决定"_s);
        QCOMPARE(entry.approvalNotificationCoordinator()->authorizationLabel(), u"审批通知已开启"_s);

        entry.openSettings();
        QTRY_COMPARE(QApplication::activeWindow(), entry.settingsWindow());
        server.invoke(server.posted.at(0).id, u"default"_s);
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), static_cast<QWidget *>(entry.mainWindow()), 10000);
        QCOMPARE(store->selection()->selectedSessionId(), std::optional<QString>(u"s2"_s));

        // The button answers the host; the notification goes with the approval.
        server.invoke(server.posted.at(0).id, u"dev.nimbrel.Deck.approval.allow-once"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.world.answers().size(), qsizetype(1), 10000);
        QCOMPARE(h.world.answers().at(0).rpcId, u"rpc-1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(server.closedIds, QList<uint>{server.posted.at(0).id}, 10000);
        delegate.applicationWillTerminate();
    }

    // With a tray the main window may be closed; the click opens it again.
    void clickReopensAClosedMainWindow()
    {
        Host h;
        FakeNotificationServer server;
        QVERIFY(server.registerOnBus());
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate);
        delegate.applicationWillFinishLaunching();
        entry.showScenes();
        entry.createTray(); // offscreen has no tray: built as on a desktop with one
        delegate.applicationDidFinishLaunching();
        AppModel *store = entry.appModel();
        QTRY_COMPARE_WITH_TIMEOUT(store->sessions()->sessions().size(), size_t(2), 20000);
        h.raise(u"rpc-1"_s, u"s2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(server.posted.size(), 1, 10000);

        QPointer<MainWindow> window = entry.mainWindow();
        window->close();
        QTRY_VERIFY(!window);
        server.invoke(server.posted.at(0).id, u"default"_s);
        QTRY_VERIFY_WITH_TIMEOUT(entry.mainWindow() && entry.mainWindow()->isVisible(), 10000);
        QCOMPARE(store->selection()->selectedSessionId(), std::optional<QString>(u"s2"_s));
        delegate.applicationWillTerminate();
    }
};

NBD_GUI_TEST_MAIN(tst_AppNotifications)
#include "tst_appnotifications.moc"
