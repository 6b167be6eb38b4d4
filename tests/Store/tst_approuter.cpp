// Host frames routed by the store: session state, pending approvals and questions, running
// flags, refreshes started by frames and the two error frames.

#include "AppModelTestSupport.h"
#include "AsyncTest.h"

#include <QSignalSpy>

using namespace nbd;
using namespace nbd::test;
using nbd::sim::Reply;
using namespace Qt::StringLiterals;

namespace {

ServerRequest frame(const QString &method, JSONValue payload, const QString &rpcId = u"rpc-1"_s)
{
    return ServerRequest{u"server-request"_s, rpcId, method, std::move(payload)};
}

JSONValue obj(std::initializer_list<std::pair<QString, JSONValue>> members) { return JSONValue::object(members); }

JSONValue arr(std::initializer_list<JSONValue> elements) { return JSONValue::array(elements); }

JSONValue job(const QString &id, const QString &status)
{
    return obj({{u"id"_s, id},
                {u"kind"_s, u"shell"_s},
                {u"label"_s, u"build"_s},
                {u"status"_s, status},
                {u"startedAt"_s, 1.0}});
}

} // namespace

class AppRouterTest : public QObject
{
    Q_OBJECT

private:
    // A connected store with session "s1" selected (so it has a session model).
    AppModel *connectedWithSession(StoreHarness &h)
    {
        h.world.addSession(session(u"s1"_s, 1));
        h.world.setModels(u"s1"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
        AppModel *store = h.connected();
        return store;
    }

private Q_SLOTS:
    void approvals_data()
    {
        QTest::addColumn<QList<ServerRequest>>("frames");
        QTest::addColumn<QStringList>("expected"); // "rpcId|sessionId|approvalId|toolName|callId|reason"

        const auto req = [](const QString &rpc, JSONValue payload) {
            return frame(u"approval/requested"_s, std::move(payload), rpc);
        };
        const JSONValue full = obj({{u"approvalId"_s, u"ap1"_s},
                                    {u"sessionId"_s, u"s1"_s},
                                    {u"toolName"_s, u"bash"_s},
                                    {u"callId"_s, u"c1"_s},
                                    {u"reason"_s, u"writes files"_s}});
        QTest::newRow("full") << QList<ServerRequest>{req(u"r1"_s, full)}
                              << QStringList{u"r1|s1|ap1|bash|c1|writes files"_s};
        QTest::newRow("only approval id")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"approvalId"_s, u"ap1"_s}}))}
            << QStringList{u"r1||ap1|tool|-|-"_s};
        QTest::newRow("mistyped members use defaults")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"approvalId"_s, u"ap1"_s},
                                                      {u"sessionId"_s, 5},
                                                      {u"toolName"_s, JSONValue()},
                                                      {u"reason"_s, true}}))}
            << QStringList{u"r1||ap1|tool|-|-"_s};
        QTest::newRow("without approval id") << QList<ServerRequest>{req(u"r1"_s, obj({{u"sessionId"_s, u"s1"_s}}))}
                                             << QStringList{};
        QTest::newRow("numeric approval id")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"approvalId"_s, 7}}))} << QStringList{};
        QTest::newRow("same rpc id twice keeps the first")
            << QList<ServerRequest>{req(u"r1"_s, full),
                                    req(u"r1"_s, obj({{u"approvalId"_s, u"other"_s}, {u"toolName"_s, u"edit"_s}}))}
            << QStringList{u"r1|s1|ap1|bash|c1|writes files"_s};
        QTest::newRow("two rpc ids, same approval id")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"approvalId"_s, u"ap"_s}})),
                                    req(u"r2"_s, obj({{u"approvalId"_s, u"ap"_s}}))}
            << QStringList{u"r1||ap|tool|-|-"_s, u"r2||ap|tool|-|-"_s};
        QTest::newRow("wrong frame type")
            << QList<ServerRequest>{ServerRequest{u"server-response"_s, u"r1"_s, u"approval/requested"_s, full}}
            << QStringList{};
        QTest::newRow("payload is an array")
            << QList<ServerRequest>{req(u"r1"_s, arr({full}))} << QStringList{};
        QTest::newRow("resolved removes same session and approval")
            << QList<ServerRequest>{req(u"r1"_s, full), req(u"r2"_s, full),
                                    req(u"r3"_s, obj({{u"approvalId"_s, u"ap1"_s}, {u"sessionId"_s, u"s2"_s}})),
                                    frame(u"approval/resolved"_s,
                                          obj({{u"sessionId"_s, u"s1"_s}, {u"approvalId"_s, u"ap1"_s}}))}
            << QStringList{u"r3|s2|ap1|tool|-|-"_s};
        QTest::newRow("resolved with another session removes nothing")
            << QList<ServerRequest>{req(u"r1"_s, full),
                                    frame(u"approval/resolved"_s,
                                          obj({{u"sessionId"_s, u"s9"_s}, {u"approvalId"_s, u"ap1"_s}}))}
            << QStringList{u"r1|s1|ap1|bash|c1|writes files"_s};
        QTest::newRow("resolved without session id removes nothing")
            << QList<ServerRequest>{req(u"r1"_s, full), frame(u"approval/resolved"_s, obj({{u"approvalId"_s, u"ap1"_s}}))}
            << QStringList{u"r1|s1|ap1|bash|c1|writes files"_s};
    }

    void approvals()
    {
        QFETCH(QList<ServerRequest>, frames);
        QFETCH(QStringList, expected);
        StoreHarness h;
        AppModel *store = h.makeStore();
        for (const ServerRequest &f : frames)
            store->route(f);
        QStringList got;
        for (const PendingApproval &a : store->interactions()->pendingApprovals()) {
            QCOMPARE(a.id, a.rpcId);
            got.append(QStringList{a.rpcId, a.sessionId, a.approvalId, a.toolName, a.callId.value_or(u"-"_s),
                                   a.reason.value_or(u"-"_s)}
                           .join(u'|'));
        }
        QCOMPARE(got, expected);
    }

    void questions_data()
    {
        QTest::addColumn<QList<ServerRequest>>("frames");
        QTest::addColumn<QStringList>("expected"); // per pending question: "rpc|session|q ids"

        const auto req = [](const QString &rpc, JSONValue payload) {
            return frame(u"question/requested"_s, std::move(payload), rpc);
        };
        const JSONValue q1 = obj({{u"id"_s, u"q1"_s}, {u"question"_s, u"Which?"_s}});
        const JSONValue q2 = obj({{u"id"_s, u"q2"_s}, {u"question"_s, u"Why?"_s}});
        QTest::newRow("one") << QList<ServerRequest>{req(u"r1"_s, obj({{u"sessionId"_s, u"s1"_s},
                                                                       {u"questions"_s, arr({q1, q2})}}))}
                             << QStringList{u"r1|s1|q1,q2"_s};
        QTest::newRow("same rpc id twice is listed twice")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"questions"_s, arr({q1})}})),
                                    req(u"r1"_s, obj({{u"questions"_s, arr({q1})}}))}
            << QStringList{u"r1||q1"_s, u"r1||q1"_s};
        QTest::newRow("unparsable questions skipped")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"questions"_s,
                                                       arr({obj({{u"question"_s, u"no id"_s}}),
                                                            obj({{u"id"_s, u"no question"_s}}), u"text"_s,
                                                            JSONValue::emptyObject(), q2})}}))}
            << QStringList{u"r1||q2"_s};
        QTest::newRow("none parses") << QList<ServerRequest>{req(
            u"r1"_s, obj({{u"questions"_s, arr({obj({{u"id"_s, 1}, {u"question"_s, u"x"_s}})})}}))}
                                     << QStringList{};
        QTest::newRow("questions not an array")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"questions"_s, q1}}))} << QStringList{};
        QTest::newRow("resolved by rpc id")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"questions"_s, arr({q1})}})),
                                    req(u"r2"_s, obj({{u"questions"_s, arr({q2})}})),
                                    req(u"r1"_s, obj({{u"questions"_s, arr({q2})}})),
                                    frame(u"question/resolved"_s, obj({{u"questionRpcId"_s, u"r1"_s}}))}
            << QStringList{u"r2||q2"_s};
        QTest::newRow("resolved without rpc id")
            << QList<ServerRequest>{req(u"r1"_s, obj({{u"questions"_s, arr({q1})}})),
                                    frame(u"question/resolved"_s, obj({{u"questionRpcId"_s, 3}})),
                                    frame(u"question/resolved"_s, JSONValue::emptyObject())}
            << QStringList{u"r1||q1"_s};
    }

    void questions()
    {
        QFETCH(QList<ServerRequest>, frames);
        QFETCH(QStringList, expected);
        StoreHarness h;
        AppModel *store = h.makeStore();
        QSignalSpy spy(store->interactions(), &Interactions::pendingQuestionsChanged);
        for (const ServerRequest &f : frames)
            store->route(f);
        QStringList got;
        for (const PendingQuestion &q : store->interactions()->pendingQuestions()) {
            QStringList ids;
            for (const auto &question : q.questions)
                ids.append(question.id);
            got.append(q.rpcId + u'|' + q.sessionId + u'|' + ids.join(u','));
        }
        QCOMPARE(got, expected);
        if (expected.isEmpty() && frames.size() == 1)
            QCOMPARE(spy.count(), 0);
    }

    void questionWithNothingToAsk_data()
    {
        QTest::addColumn<JSONValue>("payload");
        const JSONValue unparsable = obj({{u"id"_s, 1}, {u"question"_s, u"x"_s}});
        QTest::newRow("empty list") << obj({{u"sessionId"_s, u"s1"_s}, {u"questions"_s, JSONValue::array(JSONValue::Elements{})}});
        QTest::newRow("none parses") << obj({{u"sessionId"_s, u"s1"_s}, {u"questions"_s, arr({unparsable, u"x"_s})}});
        QTest::newRow("questions not an array") << obj({{u"sessionId"_s, u"s1"_s}, {u"questions"_s, unparsable}});
        QTest::newRow("no questions") << obj({{u"sessionId"_s, u"s1"_s}});
    }

    // A question request with nothing the user could answer is not left waiting: the host
    // hears at once what it hears when the user closes a question, and nothing is listed.
    void questionWithNothingToAsk()
    {
        QFETCH(JSONValue, payload);
        StoreHarness h;
        AppModel *store = h.connected();
        h.waitForStreams();
        QSignalSpy spy(store->interactions(), &Interactions::pendingQuestionsChanged);
        h.world.pushQuestionRequested(u"r-empty"_s, payload);
        QTRY_COMPARE_WITH_TIMEOUT(h.world.answers().size(), 1, 20000);
        const sim::SimWorld::Answer &answer = h.world.answers().front();
        QCOMPARE(answer.rpcId, u"r-empty"_s);
        QCOMPARE(answer.result, obj({{u"ok"_s, false},
                                     {u"error"_s, obj({{u"code"_s, u"cancelled"_s},
                                                       {u"message"_s, u"cancelled by user"_s},
                                                       {u"details"_s, JSONValue::emptyObject()}})}}));
        QVERIFY(store->interactions()->pendingQuestions().empty());
        QCOMPARE(spy.count(), 0);
        QVERIFY(!store->errors()->transientError());

        // A request that asks something is still listed, and answered only by the user.
        h.world.pushQuestionRequested(u"r-real"_s, obj({{u"questions"_s,
                                                         arr({obj({{u"id"_s, u"q"_s}, {u"question"_s, u"?"_s}})})}}));
        QTRY_COMPARE_WITH_TIMEOUT(store->interactions()->pendingQuestions().size(), size_t(1), 20000);
        QCOMPARE(h.world.answers().size(), 1);
    }

    void parseQuestion()
    {
        const JSONValue value = obj({{u"id"_s, u"q"_s},
                                     {u"question"_s, u"Pick"_s},
                                     {u"header"_s, u"H"_s},
                                     {u"detail"_s, 3},
                                     {u"multiSelect"_s, u"true"_s},
                                     {u"intent"_s, obj({{u"kind"_s, u"plan"_s}, {u"approve"_s, u"yes"_s}})},
                                     {u"options"_s, arr({obj({{u"label"_s, u"A"_s}, {u"description"_s, u"first"_s}}),
                                                         obj({{u"label"_s, 1}}), JSONValue::emptyObject(), u"B"_s,
                                                         obj({{u"label"_s, u"A"_s}})})}});
        const auto q = AskUserQuestion::fromJson(value);
        QVERIFY(q);
        QCOMPARE(q->header, std::optional(u"H"_s));
        QCOMPARE(q->detail, std::nullopt);
        QCOMPARE(q->multiSelect, false); // a string is not a bool
        QCOMPARE(q->intentKind, std::optional(u"plan"_s));
        QCOMPARE(q->intentApprove, std::optional(u"yes"_s));
        QCOMPARE(q->options.size(), size_t(2));
        QCOMPARE(q->options[0].id, u"A"_s);
        QCOMPARE(q->options[0].description, std::optional(u"first"_s));
        QCOMPARE(q->options[1].id, u"A"_s); // same label, same id
        QCOMPARE(q->options[1].description, std::nullopt);

        const auto bare = AskUserQuestion::fromJson(obj({{u"id"_s, u"q"_s}, {u"question"_s, u"Pick"_s},
                                                       {u"intent"_s, u"plan"_s}, {u"multiSelect"_s, true}}));
        QVERIFY(bare);
        QVERIFY(bare->options.empty());
        QCOMPARE(bare->intentKind, std::nullopt);
        QCOMPARE(bare->multiSelect, true);
        QVERIFY(!AskUserQuestion::fromJson(arr({value})));
        QVERIFY(!AskUserQuestion::fromJson(JSONValue::emptyObject()));
    }

    void errors_data()
    {
        QTest::addColumn<ServerRequest>("input");
        QTest::addColumn<QString>("expected"); // "<none>": unchanged
        QTest::newRow("agent error") << frame(u"host/agent-error"_s, obj({{u"message"_s, u"model overloaded"_s}}))
                                     << u"model overloaded"_s;
        QTest::newRow("agent error, empty message")
            << frame(u"host/agent-error"_s, obj({{u"message"_s, u""_s}})) << u""_s;
        QTest::newRow("agent error, numeric message")
            << frame(u"host/agent-error"_s, obj({{u"message"_s, 12}})) << u"agent error"_s;
        QTest::newRow("agent error, array payload") << frame(u"host/agent-error"_s, arr({})) << u"agent error"_s;
        QTest::newRow("stream error")
            << frame(u"stream/error"_s, obj({{u"error"_s, obj({{u"code"_s, u"overflow"_s},
                                                               {u"message"_s, u"client too slow"_s},
                                                               {u"details"_s, JSONValue()}})}}))
            << u"overflow: client too slow"_s;
        QTest::newRow("stream error that does not decode")
            << frame(u"stream/error"_s, obj({{u"error"_s, u"overflow"_s}})) << u"<none>"_s;
        QTest::newRow("stream error without error") << frame(u"stream/error"_s, JSONValue::emptyObject())
                                                    << u"<none>"_s;
        QTest::newRow("unknown method") << frame(u"host/agent-warning"_s, obj({{u"message"_s, u"x"_s}}))
                                        << u"<none>"_s;
    }

    void errors()
    {
        QFETCH(ServerRequest, input);
        QFETCH(QString, expected);
        StoreHarness h;
        AppModel *store = h.makeStore();
        store->route(input);
        if (expected == u"<none>")
            QCOMPARE(store->errors()->transientError(), std::nullopt);
        else
            QCOMPARE(store->errors()->transientError(), std::optional(expected));
    }

    // Frames that feed a session model reach an open session's model and nothing else.
    void sessionFrames()
    {
        StoreHarness h;
        AppModel *store = connectedWithSession(h);
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"s1"_s);
        QVERIFY(model);
        QTRY_VERIFY_WITH_TIMEOUT(model->historyLoaded(), 20000);

        // Jobs: decoded one by one, an equal list assigned no second time.
        QSignalSpy jobsSpy(model.get(), &SessionModel::jobsChanged);
        store->route(frame(u"session/jobs"_s, obj({{u"sessionId"_s, u"s1"_s},
                                                   {u"jobs"_s, arr({job(u"j1"_s, u"running"_s), u"bad"_s,
                                                                    job(u"j2"_s, u"failed"_s)})}})));
        QCOMPARE(model->jobs().size(), size_t(2));
        QCOMPARE(model->jobs()[1].id, u"j2"_s);
        store->route(frame(u"session/jobs"_s, obj({{u"sessionId"_s, u"s1"_s},
                                                   {u"jobs"_s, arr({job(u"j1"_s, u"running"_s),
                                                                    job(u"j2"_s, u"failed"_s)})}})));
        QCOMPARE(jobsSpy.count(), 1);
        store->route(frame(u"session/jobs"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"jobs"_s, obj({})}})));
        QCOMPARE(model->jobs().size(), size_t(2)); // not an array: dropped
        store->route(frame(u"session/jobs"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"jobs"_s, arr({})}})));
        QVERIFY(model->jobs().empty());

        // Queue: items become pending messages; a frame without items empties them.
        const JSONValue item = obj({{u"id"_s, u"m1"_s},
                                    {u"message"_s, obj({{u"content"_s, arr({obj({{u"type"_s, u"text"_s},
                                                                                 {u"text"_s, u"later"_s}})})}})}});
        store->route(frame(u"session/queue"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"items"_s, arr({item})}})));
        QCOMPARE(model->pendingMessages().size(), size_t(1));
        store->route(frame(u"session/queue"_s, obj({{u"sessionId"_s, u"other"_s}})));
        QCOMPARE(model->pendingMessages().size(), size_t(1));
        store->route(frame(u"session/queue"_s, obj({{u"sessionId"_s, u"s1"_s}})));
        QVERIFY(model->pendingMessages().empty());

        // Projection: without "value" it is applied as null.
        store->route(frame(u"session/projection"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"key"_s, u"title"_s},
                                                         {u"value"_s, u"Renamed"_s}})));
        QTRY_COMPARE_WITH_TIMEOUT(model->title(), std::optional(u"Renamed"_s), 5000);
        store->route(frame(u"session/projection"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"key"_s, u"title"_s}})));
        QTRY_COMPARE_WITH_TIMEOUT(model->title(), std::nullopt, 5000);
        store->route(frame(u"session/projection"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"key"_s, 3},
                                                         {u"value"_s, u"x"_s}})));
        QCOMPARE(model->title(), std::nullopt);

        // Live event: admitted to the open session; unknown sessions get no model.
        const qint64 before = model->transcriptRevision();
        const JSONValue event = obj({{u"type"_s, u"user/message"_s},
                                     {u"seq"_s, 1},
                                     {u"time"_s, 1.0},
                                     {u"data"_s, obj({{u"content"_s, arr({obj({{u"type"_s, u"text"_s},
                                                                               {u"text"_s, u"hello"_s}})})}})}});
        store->route(frame(u"session/event"_s, obj({{u"sessionId"_s, u"unknown"_s}, {u"event"_s, event}})));
        QVERIFY(!store->selection()->sessionModel(u"unknown"_s));
        store->route(frame(u"session/event"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"event"_s, u"garbage"_s}})));
        store->route(frame(u"session/event"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"event"_s, event}})));
        QTRY_VERIFY_WITH_TIMEOUT(model->transcriptRevision() > before, 5000);
        QVERIFY(!model->liveEntries().empty());
        QCOMPARE(model->liveEntries().size(), size_t(1));

        // Running status: the row and the model; "running" given as 1 changes nothing.
        store->route(frame(u"host/session-status"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"running"_s, 1}})));
        QCOMPARE(model->running(), false);
        QCOMPARE(store->sessions()->sessions().front().running, false);
        store->route(frame(u"host/session-status"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"running"_s, true}})));
        QCOMPARE(model->running(), true);
        QCOMPARE(store->sessions()->sessions().front().running, true);
    }

    // Each list-change frame starts a full refresh of its own, then the highlighted
    // session's subagent tree; a refresh is started on a later turn, not inside the frame.
    void listChangeFramesRefresh_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<bool>("arrayPayload");
        for (const QString &method : sim::SimWorld::listChangeMethods()) {
            QTest::newRow(qPrintable(method)) << method << false;
            QTest::newRow(qPrintable(method + u" (array payload)"_s)) << method << true;
        }
    }

    void listChangeFramesRefresh()
    {
        QFETCH(QString, method);
        QFETCH(bool, arrayPayload);
        StoreHarness h;
        AppModel *store = connectedWithSession(h);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"subagent.list"_s), 1, 20000);
        h.world.addSession(session(u"s2"_s, 5));
        const int lists = h.requestCount(u"session.list"_s);
        store->route(frame(method, arrayPayload ? arr({}) : JSONValue::emptyObject()));
        store->route(frame(method, JSONValue::emptyObject()));
        QCOMPARE(sessionIds(*store), QStringList{u"s1"_s}); // nothing ran inside route()
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.list"_s), lists + 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(sessionIds(*store), (QStringList{u"s1"_s, u"s2"_s}), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"subagent.list"_s), 3, 20000);
        for (const sim::LoggedRequest &r : h.host.requests(u"subagent.list"_s))
            QCOMPARE(r.payload.find(u"parentSessionId")->string(), std::optional(u"s1"_s));
    }

    void remoteEvents_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<bool>("reloads");
        QTest::newRow("request-run") << u"talvor/request-run"_s << true;
        QTest::newRow("request-run-resolved") << u"talvor/request-run-resolved"_s << true;
        QTest::newRow("dynamic-package") << u"talvor/dynamic-package"_s << true;
        QTest::newRow("dynamic-retract") << u"talvor/dynamic-retract"_s << true;
        QTest::newRow("other talvor event") << u"talvor/dynamic-packages"_s << false;
        QTest::newRow("unrelated") << u"git/changed"_s << false;
    }

    void remoteEvents()
    {
        QFETCH(QString, event);
        QFETCH(bool, reloads);
        StoreHarness h;
        AppModel *store = h.connected();
        const int before = h.requestCount(u"pluginInventory/list"_s);
        store->route(frame(u"host/remote-event"_s, obj({{u"event"_s, event}})));
        store->route(frame(u"host/remote-event"_s, obj({{u"event"_s, 5}})));
        QCOMPARE(store->plugins()->pluginInventoryLoading(), false); // nothing starts inside route()
        // Zero-delay timers fire in the order they were started: by this one, a reload
        // that the frame started is under way.
        bool fired = false;
        bool loadingAfterTurn = false;
        QTimer::singleShot(0, store, [&] {
            fired = true;
            loadingAfterTurn = store->plugins()->pluginInventoryLoading();
        });
        QTRY_VERIFY_WITH_TIMEOUT(fired, 5000);
        QCOMPARE(loadingAfterTurn, reloads);
        QTRY_VERIFY_WITH_TIMEOUT(!store->plugins()->pluginInventoryLoading(), 20000);
        QCOMPARE(h.requestCount(u"pluginInventory/list"_s), before + (reloads ? 1 : 0));
    }

    // A status frame for a session listed under two parents refreshes both parents' lists.
    void sessionStatusRefreshesParentsOfChild()
    {
        StoreHarness h;
        h.world.addSession(session(u"p1"_s, 1));
        h.world.addSession(session(u"p2"_s, 2));
        sim::SimWorld::SubagentEntry child;
        child.id = u"kid"_s;
        h.world.setSubagents(u"p1"_s, {child});
        h.world.setSubagents(u"p2"_s, {child});
        AppModel *store = h.connected();
        waitFor(store->sessions()->refreshSubagentTree(u"p1"_s, 0));
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentsByParent().contains(u"p2"_s), 20000); // the selection's
        h.host.clearRequests();
        store->route(frame(u"host/session-status"_s, obj({{u"sessionId"_s, u"kid"_s}, {u"running"_s, true}})));
        QCOMPARE(h.requestCount(u"subagent.list"_s), 0);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"subagent.list"_s), 2, 20000);
        QStringList parents;
        for (const sim::LoggedRequest &r : h.host.requests(u"subagent.list"_s))
            parents.append(r.payload.find(u"parentSessionId")->string().value_or(QString()));
        parents.sort();
        QCOMPARE(parents, (QStringList{u"p1"_s, u"p2"_s}));
    }

    // Frames pushed by the simulated host travel both streams to the router.
    void framesArriveOverTheStreams()
    {
        StoreHarness h;
        AppModel *store = h.connected();
        h.waitForStreams();
        h.world.pushApprovalRequested(u"r1"_s, obj({{u"approvalId"_s, u"ap"_s}, {u"sessionId"_s, u"s"_s}}));
        h.world.pushQuestionRequested(u"r2"_s, obj({{u"questions"_s,
                                                     arr({obj({{u"id"_s, u"q"_s}, {u"question"_s, u"?"_s}})})}}));
        h.world.pushAgentError(obj({{u"message"_s, u"boom"_s}}));
        QTRY_COMPARE_WITH_TIMEOUT(store->interactions()->pendingApprovals().size(), size_t(1), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(store->interactions()->pendingQuestions().size(), size_t(1), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(store->errors()->transientError(), std::optional(u"boom"_s), 20000);
        h.world.pushApprovalResolved(u"s"_s, u"ap"_s);
        h.world.pushQuestionResolved(u"r2"_s);
        QTRY_VERIFY_WITH_TIMEOUT(store->interactions()->pendingApprovals().empty()
                                     && store->interactions()->pendingQuestions().empty(),
                                 20000);
        store->errors()->dismissTransientError();
        QCOMPARE(store->errors()->transientError(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(AppRouterTest)
#include "tst_approuter.moc"
