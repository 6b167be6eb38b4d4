// The store's owners wired together: a connection that starts, and a host frame that removes
// the selected session, each reach every owner concerned, in the order views rely on.

#include "AppModelTestSupport.h"
#include "AsyncTest.h"

#include <QLoggingCategory>
#include <QMutex>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

namespace {

QString shown(const std::optional<QString> &value) { return value.value_or(u"none"_s); }

// One log across the owners: which change was heard, in order, with the value it left.
class OwnerLog
{
public:
    explicit OwnerLog(AppModel *store)
    {
        SessionDirectory *directory = store->sessions();
        SessionSelection *selection = store->selection();
        PluginInventory *plugins = store->plugins();
        QObject::connect(directory, &SessionDirectory::sessionsChanged, &m_context, [this, directory] {
            m_entries << u"sessions:"_s + QString::number(directory->sessions().size());
        });
        QObject::connect(directory, &SessionDirectory::awaitingSessionListChanged, &m_context, [this, directory] {
            m_entries << u"awaiting:"_s + (directory->isAwaitingSessionList() ? u"yes"_s : u"no"_s);
        });
        QObject::connect(selection, &SessionSelection::selectedSessionIdChanged, &m_context, [this, selection] {
            m_entries << u"selected:"_s + shown(selection->selectedSessionId());
        });
        QObject::connect(selection, &SessionSelection::selectedSubagentChanged, &m_context, [this, selection] {
            const std::optional<SelectedSubagent> &subagent = selection->selectedSubagent();
            m_entries << u"subagent:"_s + shown(subagent ? std::optional(subagent->address.childSessionId) : std::nullopt);
        });
        QObject::connect(plugins, &PluginInventory::pluginInventoryLoadingChanged, &m_context, [this, plugins] {
            m_entries << u"plugins:"_s + (plugins->pluginInventoryLoading() ? u"loading"_s : u"loaded"_s);
        });
    }

    QStringList entries() const { return m_entries; }
    void clear() { m_entries.clear(); }

private:
    QObject m_context;
    QStringList m_entries;
};

// Every line the app's own log categories write while it lives, with the rules a user sets
// through QT_LOGGING_RULES to capture a log for a bug report.
class CapturedLog
{
public:
    CapturedLog()
    {
        QLoggingCategory::setFilterRules(u"nbd.*=true"_s);
        s_previous = qInstallMessageHandler(&CapturedLog::handle);
    }
    ~CapturedLog()
    {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    static QString text()
    {
        QMutexLocker lock(&s_mutex);
        return s_lines.join(u'\n');
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (QByteArrayView(context.category).startsWith("nbd.")) {
            QMutexLocker lock(&s_mutex);
            s_lines << QString::fromLatin1(context.category) + u": "_s + message;
        }
        s_previous(type, context, message);
    }

    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

// Connected, with `kid`, the one subagent run of `parent`, selected: its open model, or null.
std::shared_ptr<SessionModel> selectTheRunOf(StoreHarness &h, const QString &parent)
{
    sim::SimWorld::SubagentEntry kid;
    kid.id = u"kid"_s;
    h.world.setSubagents(parent, {kid});
    AppModel *store = h.connected();
    h.waitForStreams();
    if (!QTest::qWaitFor([&] { return store->sessions()->subagentsByParent().contains(parent); }, 20000))
        return nullptr;
    const SubagentListValue list = store->sessions()->subagentsByParent().value(parent);
    store->selection()->selectSubagent(parent, list.entries.front(), list.parentAvailable);
    return store->selection()->sessionModel(u"kid"_s);
}

} // namespace

class StoreWiringTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Starting a connection: the lists are awaited before the controller's first phase is
    // heard; the lists land, then the wait ends, then the last session is restored and the
    // plugin inventories are read.
    void connectingReachesEveryOwner()
    {
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        h.world.addSession(session(u"b"_s, 2));
        AppModel *store = h.makeStore();
        OwnerLog log(store);
        std::optional<bool> awaitingAtFirstPhase;
        QObject::connect(store->connection(), &ConnectionController::phaseChanged, store, [&] {
            if (!awaitingAtFirstPhase)
                awaitingAtFirstPhase = store->sessions()->isAwaitingSessionList();
        });

        store->connect();
        h.waitForListed();

        QCOMPARE(awaitingAtFirstPhase, std::optional(true));
        QCOMPARE(log.entries(), (QStringList{u"awaiting:yes"_s, u"sessions:2"_s, u"awaiting:no"_s, u"selected:b"_s,
                                             u"plugins:loading"_s, u"plugins:loaded"_s}));
        QVERIFY(store->selection()->sessionModel(u"b"_s));
    }

    // Disconnecting empties the lists before the selection that pointed into them, so a view
    // following both never shows a selected row that is no longer listed.
    void disconnectClearsTheListsBeforeTheSelection()
    {
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"a"_s));
        OwnerLog log(store);
        std::optional<qsizetype> listedAtDeselect;
        QObject::connect(store->selection(), &SessionSelection::selectedSessionIdChanged, store,
                         [&] { listedAtDeselect = qsizetype(store->sessions()->sessions().size()); });

        store->disconnect();

        QCOMPARE(log.entries(), (QStringList{u"sessions:0"_s, u"selected:none"_s}));
        QCOMPARE(listedAtDeselect, std::optional<qsizetype>(0));
        QVERIFY(!store->selection()->sessionModel(u"a"_s));
    }

    // The store as the app builds it: a dropped stream is retried after 1.5 s, and streamed
    // deltas of an opened session are published in 80 ms windows.
    void shippedDelays()
    {
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        AppModel *store = h.connected();
        QCOMPARE(store->connection()->reconnectDelay(), 1500);
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"a"_s);
        QVERIFY(model);
        QCOMPARE(model->timings().transcriptPublishDelayMs, 80);
    }

    // The log tells the connection's phases, a dropped stream and its reconnect, a refused
    // frame and a failure shown to the user, and never the text of a prompt or a secret.
    void logTellsWhatHappenedWithoutSecretsOrPrompts()
    {
        const QString prompt = u"prompt-words-7f3a"_s;
        const QString secret = u"secret-value-91c2"_s;
        CapturedLog log;
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        h.world.setCredential(u"api"_s, std::nullopt, true);
        h.world.setCredential(u"locked"_s, std::nullopt, false);
        AppModel *store = h.connected();
        h.waitForStreams();
        store->connection()->setReconnectDelay(0);

        QVERIFY(QCoro::waitFor(store->sessionActions()->sendPrompt(prompt)));
        QCOMPARE(QCoro::waitFor(store->hostSettings()->setCredential(u"api"_s, secret)), std::nullopt);
        QVERIFY(QCoro::waitFor(store->hostSettings()->setCredential(u"locked"_s, secret)).has_value());
        h.host.pushFrame(sim::Stream::Host, u"host/agent-error"_s, JSONValue::object({{u"message"_s, u"agent stopped"_s}}));
        h.host.pushFrame(sim::Stream::Host, u"host/unheard-of"_s, JSONValue::emptyObject());
        QTRY_COMPARE_WITH_TIMEOUT(store->errors()->transientError(), std::optional(u"agent stopped"_s), 20000);
        h.host.pushText(sim::Stream::Mux, "{not a frame " + secret.toUtf8());
        h.host.closeStreams(sim::Stream::Mux);
        QTRY_VERIFY_WITH_TIMEOUT(log.text().contains(u"reconnecting in"_s), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(store->connection()->phase().isConnected(), 20000);
        h.waitForQuietHost();

        const QString text = log.text();
        QVERIFY2(text.contains(u"nbd.connection: phase: 已连接"_s), qPrintable(text));
        QVERIFY2(text.contains(u"nbd.wire: refused a frame"_s), qPrintable(text));
        QVERIFY2(text.contains(u"nbd.wire: stream /api/events.mux ended"_s), qPrintable(text));
        QVERIFY2(text.contains(u"nbd.store: error shown: agent stopped"_s), qPrintable(text));
        QVERIFY2(text.contains(u"nbd.store: dropped a frame of unknown method host/unheard-of"_s), qPrintable(text));
        QVERIFY2(!text.contains(prompt), qPrintable(text));
        QVERIFY2(!text.contains(secret), qPrintable(text));
    }

    // The host removes the parent of the selected subagent: its list-change frame travels the
    // stream to the router, the directory reads the lists again, the selection lets go of the
    // session and its subagent, and the plugin inventories are read after the lists.
    void removedSessionThroughTheRouterClearsTheSelection()
    {
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        h.world.addSession(session(u"b"_s, 2));
        const std::shared_ptr<SessionModel> child = selectTheRunOf(h, u"b"_s);
        QVERIFY(child);
        AppModel *store = h.store.get();
        QCOMPARE(store->settings()->value(u"nbd.lastSessionId"_s).toString(), u"b"_s);
        QCOMPARE(store->selection()->selectedSidebarSessionId(), std::optional(u"b"_s));
        QTRY_VERIFY_WITH_TIMEOUT(child->historyLoaded(), 20000);

        OwnerLog log(store);
        h.world.removeSession(u"b"_s);
        h.world.pushListChange(u"host/session-removed"_s);
        QTRY_VERIFY_WITH_TIMEOUT(log.entries().contains(u"plugins:loaded"_s), 20000);

        QCOMPARE(log.entries(), (QStringList{u"sessions:1"_s, u"selected:none"_s, u"subagent:none"_s,
                                             u"plugins:loading"_s, u"plugins:loaded"_s}));
        QCOMPARE(store->selection()->selectedSidebarSessionId(), std::nullopt);
        // The restore has run for this connection: nothing else is selected in its place.
        QVERIFY(store->selection()->didRestoreInitialSession());
        QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
    }

    // An open session runs exactly when the directory last heard so: a status frame about a
    // subagent run no list names, one about a listed session, the lists read again, and a
    // lost connection, which ends everything the host ran until it reports again.
    void openSessionsRunAsTheDirectorySays()
    {
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        const std::shared_ptr<SessionModel> child = selectTheRunOf(h, u"a"_s);
        AppModel *store = h.store.get();
        const std::shared_ptr<SessionModel> parent = store->selection()->sessionModel(u"a"_s);
        QVERIFY(parent && child);
        QVERIFY(!parent->running() && !child->running());

        // The frame also has the parent's list read again, which still calls the run idle:
        // the frame is the newer word.
        h.world.pushSessionStatus(u"kid"_s, true);
        QTRY_VERIFY_WITH_TIMEOUT(child->running(), 20000);
        h.waitForQuietHost();
        QVERIFY(child->running());
        QVERIFY(!parent->running());

        h.world.pushSessionStatus(u"a"_s, true);
        QTRY_VERIFY_WITH_TIMEOUT(parent->running(), 20000);
        QVERIFY(store->sessions()->sessions().front().running);

        h.world.setRunning(u"a"_s, false);
        h.world.pushListChange(u"host/session-added"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!parent->running(), 20000);
        QVERIFY(child->running());

        h.host.abortStreams(sim::Stream::Mux);
        QTRY_VERIFY_WITH_TIMEOUT(!child->running(), 20000);
        QCOMPARE(store->sessions()->isRunning(u"kid"_s), std::optional(false));
        QTRY_VERIFY_WITH_TIMEOUT(store->connection()->phase().isConnected(), 20000);
        h.waitForQuietHost();
        QVERIFY(!child->running());
    }

    // An owner built alone from what its constructor names: the approvals a host asks for
    // are listed, a refused answer is shown through the errors it was given and keeps the
    // approval, and an accepted one sends one answer.
    void interactionsBuiltAlone()
    {
        StoreHarness h;
        const auto alive = std::make_shared<const bool>(true);
        ConnectionController connection;
        StoreErrors errors(alive);
        Interactions interactions(alive, &connection, &errors);
        connection.setFrameHandler([&interactions](const ServerRequest &frame) {
            if (frame.method == u"approval/requested")
                interactions.routeApprovalRequested(frame, frame.payload);
        });
        connection.connectTo(h.host.baseUrl());
        QTRY_VERIFY_WITH_TIMEOUT(connection.phase().isConnected(), 20000);

        h.world.pushApprovalRequested(u"r1"_s, JSONValue::object({{u"sessionId"_s, u"s1"_s}, {u"approvalId"_s, u"a1"_s}}));
        QTRY_COMPARE_WITH_TIMEOUT(interactions.pendingApprovals().size(), size_t(1), 20000);
        const PendingApproval approval = interactions.pendingApprovals().front();
        QCOMPARE(approval.approvalId, u"a1"_s);

        h.world.setRejectAnswers(u"stale"_s);
        interactions.answerApproval(approval, true);
        QTRY_COMPARE_WITH_TIMEOUT(errors.transientError(), std::optional(u"审批响应失败：respond rejected: stale"_s), 20000);
        QCOMPARE(interactions.pendingApprovals().size(), size_t(1));

        h.world.setRejectAnswers(std::nullopt);
        interactions.answerApproval(approval, true);
        QTRY_VERIFY_WITH_TIMEOUT(interactions.pendingApprovals().empty(), 20000);
        QCOMPARE(h.world.answers().size(), 1);
        QCOMPARE(h.world.answers().front().rpcId, u"r1"_s);
    }
};

QTEST_GUILESS_MAIN(StoreWiringTest)
#include "tst_storewiring.moc"
