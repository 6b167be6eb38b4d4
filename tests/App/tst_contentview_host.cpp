// The main window's content against a store connected to the simulated host.
#include "AppWindowTestSupport.h"
#include "GuiTestMain.h"
#include "App/ContentView.h"
#include "SimHost.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "Session/SessionModel.h"
#include "UI/Shared/DeepDivingStatusView.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Shared/Motion.h"
#if __has_include("UI/Sidebar/PluginOverlayHost.h")
#include "UI/Sidebar/PluginOverlayHost.h"
#else
#include "UI/Settings/SettingsView.h"
#endif
#include "Store/WorkspaceTerminalModel.h"
#include "UI/Tools/WorkspaceTerminalDock.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

sim::SimWorld::Session listed(const QString &id, double updatedAt, bool running, std::optional<QString> cwd)
{
    sim::SimWorld::Session session;
    session.id = id;
    session.updatedAt = updatedAt;
    session.running = running;
    session.cwd = std::move(cwd);
    return session;
}

} // namespace

class tst_ContentViewHost : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<sim::SimHost> m_host;
    std::unique_ptr<sim::SimWorld> m_world;
    std::unique_ptr<AppModel> m_store;
    std::unique_ptr<ContentView> m_view;

    void setHostCwd(const QString &cwd)
    {
        JSONValue::Members members;
        for (const JSONMember &m : m_host->hostDescription().members())
            members.emplace_back(m.key, m.key == u"cwd"_s ? JSONValue(cwd) : m.value);
        m_host->setHostDescription(JSONValue::object(std::move(members)));
    }

    void connectStore()
    {
        test::openAppWindow(m_dir, *m_host, QSize(1280, 820), m_store, m_view);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(m_store->plugins()->hostPluginInventoryAvailable().has_value()
                                     && !m_store->plugins()->pluginInventoryLoading(),
                                 20000);
    }

private Q_SLOTS:
    void init()
    {
        m_host = std::make_unique<sim::SimHost>();
        QVERIFY(m_host->listen());
        m_world = std::make_unique<sim::SimWorld>(m_host.get());
        m_world->addSession(listed(u"with-cwd"_s, 3000, false, u"/srv/project"_s));
        m_world->addSession(listed(u"empty-cwd"_s, 2000, false, u""_s));
        m_world->addSession(listed(u"no-cwd"_s, 1000, true, std::nullopt));
        m_world->addWorkspace({u"ws1"_s, u"/srv/workspace"_s, u"工作区"_s, {u"no-cwd"_s, u"empty-cwd"_s}});
        m_world->addWorkspace({u"ws2"_s, u"/srv/other"_s, u"另一个"_s, {u"empty-cwd"_s}});
    }

    void cleanup()
    {
        m_view.reset();
        m_store.reset();
        m_world.reset();
        m_host.reset();
    }

    void workingDirectoryOfTheSelectedSession_data()
    {
        QTest::addColumn<QString>("select");
        QTest::addColumn<QString>("expected");
        QTest::newRow("the row's own directory") << u"with-cwd"_s << u"/srv/project"_s;
        QTest::newRow("empty directory: first workspace listing it") << u"empty-cwd"_s << u"/srv/workspace"_s;
        QTest::newRow("no directory: the workspace") << u"no-cwd"_s << u"/srv/workspace"_s;
        QTest::newRow("no selection: the host's directory") << QString() << u"/srv/host"_s;
    }

    void workingDirectoryOfTheSelectedSession()
    {
        QFETCH(QString, select);
        QFETCH(QString, expected);
        setHostCwd(u"/srv/host/"_s);
        if (select.isEmpty()) {
            // With sessions listed the store restores one on connecting; an empty host has none.
            for (const QString &id : {u"with-cwd"_s, u"empty-cwd"_s, u"no-cwd"_s})
                m_world->removeSession(id);
        }
        connectStore();
        if (!select.isEmpty())
            m_store->selection()->selectSession(select);
        QTRY_COMPARE(m_view->selectedWorkingDirectory(), QUrl::fromLocalFile(expected));
    }

    void browserStartsAtTheHostAndTerminalFollowsTheSelection()
    {
        const QString dir = m_dir.filePath(u"project"_s);
        QVERIFY(QDir().mkpath(dir));
        m_world->addSession(listed(u"local"_s, 4000, false, dir));
        connectStore();
        QTRY_VERIFY(m_store->connection()->baseURL().has_value());
        m_view->openWorkspaceTool(WorkspaceTool::Browser);
        QCOMPARE(m_view->workspaceToolTabs().tabs.back().browserStartURL, m_store->connection()->baseURL());

        m_store->selection()->selectSession(u"local"_s);
        QTRY_COMPARE(m_view->terminal()->currentDirectoryURL().toLocalFile(), dir);
        // A directory that does not exist leaves the terminal where it is.
        m_store->selection()->selectSession(u"with-cwd"_s);
        QTRY_COMPARE(m_view->selectedWorkingDirectory(), QUrl::fromLocalFile(u"/srv/project"_s));
        QCOMPARE(m_view->terminal()->currentDirectoryURL().toLocalFile(), dir);
    }

    void changingTheSessionResetsTheInspector()
    {
        connectStore();
        m_store->selection()->selectSession(u"with-cwd"_s);
        QTRY_VERIFY(m_store->selection()->selectedSession());
        TrajectoryEventSelection event;
        event.id = u"user-1"_s;
        event.role = u"USER"_s;
        event.title = u"用户消息"_s;
        m_view->openSessionInspector(RuntimeInspectorPanel::Event, event);
        QCOMPARE(m_view->inspectorPanel(), RuntimeInspectorPanel::Event);
        m_store->selection()->selectSession(u"no-cwd"_s);
        QTRY_COMPARE(m_view->inspectorPanel(), RuntimeInspectorPanel::Runtime);
        QVERIFY(!m_view->selectedTrajectoryEvent().has_value());
    }

    void statusLineShowsWhileTheSelectedSessionRuns()
    {
        connectStore();
        // The transcript makes the status line only while the shown session runs.
        auto status = [this] { return m_view->findChild<DeepDivingStatusView *>(u"deep-diving-status"_s); };
        m_store->selection()->selectSession(u"with-cwd"_s);
        QTRY_VERIFY(m_store->selection()->selectedSession()
                    && m_store->selection()->selectedSession()->sessionId() == u"with-cwd"_s);
        QTRY_VERIFY(!status() || !status()->isVisible());
        m_store->selection()->selectSession(u"no-cwd"_s); // listed as running
        QTRY_VERIFY(status() && status()->isVisible());
        m_store->selection()->selectSession(u"with-cwd"_s);
        QTRY_VERIFY(!status() || !status()->isVisible());
    }

    // The banner that says the connection was lost goes the moment the connection is back,
    // however it came back, not when its own time is up.
    void lostConnectionBannerGoesWhenBack_data()
    {
        QTest::addColumn<int>("loss");
        QTest::newRow("event stream dropped, reconnected by itself") << 0;
        QTest::newRow("host stream closed, reconnected by itself") << 1;
        QTest::newRow("host gone, the user connects again") << 2;
    }

    void lostConnectionBannerGoesWhenBack()
    {
        QFETCH(int, loss);
        connectStore();
        m_store->selection()->selectSession(u"with-cwd"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_host->connectedCount(sim::Stream::Mux) > 0
                                     && m_host->connectedCount(sim::Stream::Host) > 0,
                                 20000);
        auto *notice = m_view->findChild<QWidget *>(u"error-notice"_s);
        QVERIFY(notice);
        const QString lost = u"与主机的连接已断开"_s;

        // What the banner and the connection went through, in order.
        QStringList events;
        connect(m_store->errors(), &StoreErrors::transientErrorChanged, this, [&] {
            events.append(u"banner: "_s + m_store->errors()->transientError().value_or(u"none"_s));
        });
        connect(m_store->connection(), &ConnectionController::phaseChanged, this, [&] {
            if (m_store->connection()->phase().kind() == ConnectionPhase::Kind::Ready)
                events.append(u"ready"_s);
        });
        if (loss == 0) {
            m_host->abortStreams(sim::Stream::Mux);
        } else if (loss == 1) {
            m_host->closeStreams(sim::Stream::Host, QWebSocketProtocol::CloseCodeGoingAway);
        } else {
            m_host->stop();
            QTRY_COMPARE_WITH_TIMEOUT(m_store->connection()->phase().kind(), ConnectionPhase::Kind::Failed, 30000);
            QCOMPARE(events, QStringList{u"banner: "_s + lost});
            QTRY_VERIFY(notice->isVisible());
            QVERIFY(m_host->listenAgain());
            m_store->connect();
        }
        QTRY_VERIFY_WITH_TIMEOUT(events.contains(u"ready"_s), 30000);
        QCOMPARE(events, (QStringList{u"banner: "_s + lost, u"banner: none"_s, u"ready"_s}));
        QTRY_VERIFY(!notice->isVisible());
    }

    // Side chats are detached sessions: created for the tab, released when the tab goes,
    // and a creation that finishes after its tab was closed is released at once.
    void sideChatLifecycle_data()
    {
        QTest::addColumn<bool>("closeWhileCreating");
        QTest::newRow("created, then closed") << false;
        QTest::newRow("closed while creating") << true;
    }

    void sideChatLifecycle()
    {
        QFETCH(bool, closeWhileCreating);
        int created = 0;
        m_host->setHandler(u"session.create"_s, [&created](const sim::LoggedRequest &) {
            ++created;
            return sim::Reply::value(JSONValue::object({{u"sessionId"_s, u"side-%1"_s.arg(created)}})).delayed(300);
        });
        connectStore();
        m_store->selection()->selectSession(u"with-cwd"_s);
        QTRY_COMPARE(m_view->selectedWorkingDirectory(), QUrl::fromLocalFile(u"/srv/project"_s));
        QSignalSpy modelsChanged(m_store.get()->selection(), &SessionSelection::sessionModelsChanged);

        m_view->openWorkspaceTool(WorkspaceTool::SideChat);
        const QUuid id = m_view->workspaceToolTabs().tabs.back().id;
        QVERIFY(m_view->sideChatRuntimes().value(id).loading);
        QVERIFY(m_view->hasSideChatCreationTask(id));
        const qint64 generation = m_view->sideChatCreationGenerations().value(id);
        m_view->createSideChat(id); // a creation is under way: refused
        QCOMPARE(m_view->sideChatCreationGenerations().value(id), generation);

        if (closeWhileCreating) {
            m_view->closeWorkspaceToolTab(id);
            QVERIFY(!m_view->sideChatRuntimes().contains(id));
            // The session arrives, is registered by the store and released at once.
            QTRY_VERIFY_WITH_TIMEOUT(modelsChanged.count() >= 2, 10000);
            QVERIFY(!m_store->selection()->sessionModels().contains(u"side-1"_s));
            QVERIFY(!m_view->sideChatRuntimes().contains(id));
            QVERIFY(!m_view->hasSideChatCreationTask(id));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(m_view->sideChatRuntimes().value(id).session, 10000);
            const WorkspaceSideChatRuntime runtime = m_view->sideChatRuntimes().value(id);
            QCOMPARE(runtime.session->sessionId(), u"side-1"_s);
            QVERIFY(!runtime.loading);
            QVERIFY(!runtime.creationError);
            QVERIFY(!m_view->hasSideChatCreationTask(id));
            QVERIFY(m_store->selection()->sessionModels().contains(u"side-1"_s));
            QCOMPARE(m_store->selection()->selectedSessionId(), std::optional<QString>(u"with-cwd"_s));
            m_view->closeWorkspaceToolTab(id);
            QVERIFY(!m_store->selection()->sessionModels().contains(u"side-1"_s));
        }
        const auto requests = m_host->requests(u"session.create"_s);
        QCOMPARE(requests.size(), qsizetype(1));
        const JSONValue *cwd = requests.front().payload.find(u"cwd");
        QVERIFY(cwd && cwd->isString());
        QCOMPARE(*cwd->stringPtr(), u"/srv/project"_s);
    }

    void pluginOverlayNeedsARunningClientHalf_data()
    {
        QTest::addColumn<bool>("clientHalf");
        QTest::addColumn<QString>("runState"); // "active", "latest-running", "latest-done"
        QTest::addColumn<bool>("overlay");
        QTest::newRow("active run with client half") << true << u"active"_s << true;
        QTest::newRow("latest run still running") << true << u"latest-running"_s << true;
        QTest::newRow("finished run") << true << u"latest-done"_s << false;
        QTest::newRow("running without client half") << false << u"active"_s << false;
    }

    void pluginOverlayNeedsARunningClientHalf()
    {
        QFETCH(bool, clientHalf);
        QFETCH(QString, runState);
        QFETCH(bool, overlay);
        const JSONValue package = JSONValue::object({{u"packageId"_s, u"pkg"_s},
                                                     {u"name"_s, u"示例"_s},
                                                     {u"purpose"_s, u"测试"_s},
                                                     {u"hasHostHalf"_s, true},
                                                     {u"hasClientHalf"_s, clientHalf}});
        JSONValue::Members row{{u"pluginId"_s, u"plug"_s},
                               {u"agentId"_s, u"agent"_s},
                               {u"packages"_s, JSONValue::array({package})}};
        if (runState == u"active"_s)
            row.emplace_back(u"activeRun"_s, JSONValue::object({{u"packageId"_s, u"pkg"_s}}));
        else
            row.emplace_back(u"latestRun"_s,
                             JSONValue::object({{u"packageId"_s, u"pkg"_s},
                                                {u"status"_s, runState == u"latest-running"_s ? u"running"_s : u"done"_s}}));
        m_world->setDynamicInventory(JSONValue::array({JSONValue::object(std::move(row))}));
        connectStore();
        QTRY_VERIFY(!m_store->plugins()->dynamicPlugins().empty());
        QCOMPARE(m_view->hostsClientPluginUI(), overlay);
        auto *host = m_view->findChild<PluginOverlayHost *>();
        QCOMPARE(host != nullptr, overlay);
        if (host) {
            QCOMPARE(host->baseURL(), *m_store->connection()->baseURL());
            QCOMPARE(host->geometry(), m_view->rect());
            // Without an address there is nothing to show.
            m_store->disconnect();
            QTRY_VERIFY(!m_view->findChild<PluginOverlayHost *>());
        }
    }
};

NBD_GUI_TEST_MAIN(tst_ContentViewHost)
#include "tst_contentview_host.moc"
