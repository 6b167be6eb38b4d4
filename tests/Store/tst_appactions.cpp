// The store's user actions end to end against the simulated host: the road of one prompt
// (payload, echo, streamed turn), the road of one approval, questions, the queue, session,
// model, attachment, workspace, settings, credential, skill and export actions.

#include "AppModelTestSupport.h"
#include "RecordTestSupport.h"
#include "AsyncTest.h"

#include <QSignalSpy>
#include <QTimeZone>

using namespace nbd;
using namespace nbd::test;
using nbd::sim::Reply;
using namespace Qt::StringLiterals;

namespace {

const TurnItem *lastTurn(const SessionModel &model)
{
    const TurnItem *found = nullptr;
    for (const TranscriptItem &item : model.items()) {
        if (const auto *turn = std::get_if<TurnItem>(&item))
            found = turn;
    }
    return found;
}

const BlockItem *toolBlock(const TurnItem &turn)
{
    for (const StepItem &step : turn.steps) {
        for (const BlockItem &block : step.blocks) {
            if (block.kind == BlockKind::toolCall)
                return &block;
        }
    }
    return nullptr;
}

QString textOf(const JSONValue &object, QStringView key)
{
    const JSONValue *value = object.find(key);
    return value && value->isString() ? *value->stringPtr() : QString();
}

JSONValue lastPayload(const sim::SimHost &host, const QString &method)
{
    const auto requests = host.requests(method);
    return requests.isEmpty() ? JSONValue() : requests.last().payload;
}

JSONValue lastBody(const sim::SimHost &host, const QString &method)
{
    const auto requests = host.requests(method);
    return requests.isEmpty() ? JSONValue() : requests.last().body;
}

// Every message the process logs while it is installed.
QStringList g_logged;
void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message) { g_logged.append(message); }

JSONValue obj(std::initializer_list<std::pair<QString, JSONValue>> members) { return JSONValue::object(members); }

JSONValue textBlocks(const QString &text)
{
    return JSONValue::array({obj({{u"type"_s, u"text"_s}, {u"text"_s, text}})});
}

// A store connected to a world with one selected session "s1" whose history is loaded.
struct Selected
{
    explicit Selected(StoreHarness &h)
    {
        sim::SimWorld::Session s = session(u"s1"_s, 1);
        s.title = u"First"_s;
        h.world.addSession(s);
        h.world.setModels(u"s1"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
        h.world.setSubagents(u"s1"_s, {});
        store = h.connected();
        h.waitForStreams();
        store->selection()->selectSession(u"s1"_s);
        model = store->selection()->sessionModel(u"s1"_s);
        QTRY_VERIFY_WITH_TIMEOUT(model && model->historyLoaded(), 20000);
    }
    AppModel *store = nullptr;
    std::shared_ptr<SessionModel> model;
};

} // namespace

class AppActionsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The road of one prompt and of one approval: nothing is added locally; the host's echo,
    // the streamed turn, the approval answered "allowed-once" and the finished turn arrive.
    void promptAndApprovalRoad()
    {
        StoreHarness h;
        h.world.setAnnounceResolutions(false); // the answer alone must clear the pending row
        Selected sel(h);
        const qsizetype rowsBefore = sel.model->items().size();

        sel.store->sessionActions()->sendPrompt(u"  list the files\n"_s);
        // Nothing local before the host echoes it.
        QCOMPARE(qsizetype(sel.model->items().size()), rowsBefore);

        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.prompt"_s), 1, 10000);
        const JSONValue payload = lastPayload(h.host, u"session.prompt"_s);
        const QByteArray zone = QTimeZone::systemTimeZoneId();
        const JSONValue expected = obj({{u"sessionId"_s, u"s1"_s},
                                        {u"mode"_s, u"queue"_s},
                                        {u"content"_s, textBlocks(u"  list the files\n"_s)},
                                        {u"clientTimeZone"_s, zone.isEmpty() ? u"UTC"_s : QString::fromUtf8(zone)}});
        QCOMPARE(payload, expected);

        QTRY_COMPARE_WITH_TIMEOUT(userTexts(*sel.model), QStringList{u"  list the files\n"_s}, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        const PendingApproval approval = sel.store->interactions()->pendingApprovals().front();
        QCOMPARE(approval.sessionId, u"s1"_s);
        QCOMPARE(approval.toolName, u"shell"_s);
        QVERIFY(sel.model->running());
        // Live output is published coalesced: the call's own events may land a moment later.
        QTRY_VERIFY_WITH_TIMEOUT(lastTurn(*sel.model) && toolBlock(*lastTurn(*sel.model))
                                     && toolBlock(*lastTurn(*sel.model))->callView.has_value(),
                                 10000);
        const TurnItem *turn = lastTurn(*sel.model);
        QVERIFY(turn->status.isRunning());
        const BlockItem *call = toolBlock(*turn);
        QCOMPARE(call->toolCallId, approval.callId);
        QCOMPARE(call->toolName, std::optional<QString>(u"shell"_s));
        QVERIFY(!call->resultText.has_value());

        sel.store->interactions()->answerApproval(approval, true);
        QTRY_VERIFY_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().empty(), 10000);
        QCOMPARE(h.world.answers().size(), 1);
        const JSONValue answered = h.world.answers().front().result;
        QCOMPARE(answered, obj({{u"ok"_s, true},
                                {u"value"_s, obj({{u"sessionId"_s, u"s1"_s},
                                                  {u"approvalId"_s, approval.approvalId},
                                                  {u"outcome"_s, u"allowed-once"_s}})}}));
        QCOMPARE(h.world.answers().front().rpcId, approval.rpcId);

        QTRY_VERIFY_WITH_TIMEOUT(!sel.model->running() && lastTurn(*sel.model)->status.isFinished(), 10000);
        turn = lastTurn(*sel.model);
        QCOMPARE(turn->steps.size(), size_t(2));
        call = toolBlock(*turn);
        QVERIFY(call);
        QCOMPARE(call->resultText, std::optional<QString>(u"README.md\nsrc"_s));
        QVERIFY(!call->resultIsError);
        // The final message replaced the streamed blocks: one reasoning, one text, one call.
        const std::vector<BlockItem> &first = turn->steps.front().blocks;
        QCOMPARE(first.size(), size_t(3));
        QCOMPARE(first[0].kind, BlockKind::reasoning);
        QCOMPARE(first[0].text, u"Looking at the folder."_s);
        QCOMPARE(first[1].text, u"I will list the files."_s);
        QCOMPARE(turn->steps.back().blocks.front().text, u"There are two entries."_s);
        QVERIFY(!sel.store->errors()->transientError().has_value());
        // The echo arrived once: no local copy beside it.
        QCOMPARE(userTexts(*sel.model).size(), 1);
    }

    // A rejected answer keeps the approval listed with the wire layer's text; answering
    // again after the host accepts removes only that approval; "rejected" is posted as such.
    void approvalAnswerFailureKeepsIt()
    {
        StoreHarness h;
        h.world.setAnnounceResolutions(false);
        Selected sel(h);
        sel.store->sessionActions()->sendPrompt(u"go"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        const PendingApproval approval = sel.store->interactions()->pendingApprovals().front();
        // Another approval with the same rpc id but another approval id stays listed.
        JSONValue other = obj({{u"sessionId"_s, u"s1"_s}, {u"approvalId"_s, u"other"_s}});
        h.world.pushApprovalRequested(approval.rpcId + u"-2"_s, other);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(2), 10000);

        h.world.setRejectAnswers(u"stale"_s);
        sel.store->interactions()->answerApproval(approval, false);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(),
                                  std::optional<QString>(u"审批响应失败：respond rejected: stale"_s), 10000);
        QCOMPARE(sel.store->interactions()->pendingApprovals().size(), size_t(2));

        h.world.setRejectAnswers(std::nullopt);
        sel.store->interactions()->answerApproval(approval, false);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        QCOMPARE(sel.store->interactions()->pendingApprovals().front().approvalId, u"other"_s);
        const JSONValue *value = h.world.answers().last().result.find(u"value");
        QVERIFY(value);
        QCOMPARE(textOf(*value, u"outcome"), u"rejected"_s);
        // The run goes on with the call marked as rejected.
        QTRY_VERIFY_WITH_TIMEOUT(!h.world.isRunActive(u"s1"_s), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(toolBlock(*lastTurn(*sel.model))->resultIsError, 10000);
    }

    // A second press before the first answer's reply: the host settles the request once and
    // refuses the other as already answered, which is no failure to show.
    void approvalAnsweredTwiceShowsNoFailure()
    {
        StoreHarness h;
        Selected sel(h);
        sel.store->sessionActions()->sendPrompt(u"go"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        const PendingApproval approval = sel.store->interactions()->pendingApprovals().front();
        sel.store->interactions()->answerApproval(approval, true);
        sel.store->interactions()->answerApproval(approval, true);
        QTRY_COMPARE_WITH_TIMEOUT(countOf(h.methodsThroughBarrier(), u"respond"_s), 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().empty(), 10000);
        h.waitForQuietHost();
        QCOMPARE(h.world.answers().size(), 1);
        QCOMPARE(sel.store->errors()->transientError(), std::nullopt);
    }

    // Answering before any connection sends nothing and keeps the approval.
    void approvalWithoutConnection()
    {
        StoreHarness h;
        AppModel *store = h.makeStore();
        PendingApproval approval{u"r1"_s, u"r1"_s, u"s1"_s, u"a1"_s, u"tool"_s, std::nullopt, std::nullopt};
        store->interactions()->answerApproval(approval, true);
        QCOMPARE(countOf(h.methodsThroughBarrier(), u"respond"_s), 0);
        QVERIFY(!store->errors()->transientError());
    }

    void questions_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("hostRejects");
        QTest::addColumn<JSONValue>("expectedResult");
        const JSONValue answers = JSONValue::array(
            {obj({{u"id"_s, u"q1"_s}, {u"selected"_s, JSONValue::array(JSONValue::Elements{})}}),
             obj({{u"id"_s, u"q2"_s}, {u"selected"_s, JSONValue::array({u"A"_s, u"B"_s})}, {u"custom"_s, u""_s}})});
        const JSONValue answered =
            obj({{u"ok"_s, true},
                 {u"value"_s, obj({{u"sessionId"_s, u"s1"_s}, {u"answer"_s, obj({{u"answers"_s, answers}})}})}});
        const JSONValue cancelled =
            obj({{u"ok"_s, false},
                 {u"error"_s, obj({{u"code"_s, u"cancelled"_s},
                                   {u"message"_s, u"cancelled by user"_s},
                                   {u"details"_s, JSONValue::emptyObject()}})}});
        QTest::newRow("answered") << false << false << answered;
        QTest::newRow("answered, host refuses") << false << true << answered;
        QTest::newRow("cancelled") << true << false << cancelled;
        QTest::newRow("cancelled, host refuses") << true << true << cancelled;
    }

    // A question leaves the list once its post has ended, whatever the outcome, silently.
    void questions()
    {
        QFETCH(bool, cancel);
        QFETCH(bool, hostRejects);
        QFETCH(JSONValue, expectedResult);
        StoreHarness h;
        h.world.setAnnounceResolutions(false);
        sim::SimWorld::AgentStep ask;
        ask.kind = sim::SimWorld::AgentStep::Kind::Question;
        ask.questions = JSONValue::array(
            {obj({{u"id"_s, u"q1"_s}, {u"question"_s, u"Which?"_s}}),
             obj({{u"id"_s, u"q2"_s}, {u"question"_s, u"Pick"_s}, {u"multiSelect"_s, true},
                  {u"options"_s, JSONValue::array({obj({{u"label"_s, u"A"_s}}), obj({{u"label"_s, u"B"_s}})})}})});
        sim::SimWorld::AgentScript script = sim::SimWorld::textScript(u"ok"_s);
        script.prepend(ask);
        h.world.setScript(script);
        Selected sel(h);
        sel.store->sessionActions()->sendPrompt(u"ask me"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingQuestions().size(), size_t(1), 10000);
        const PendingQuestion question = sel.store->interactions()->pendingQuestions().front();
        QCOMPARE(question.questions.size(), size_t(2));

        if (hostRejects)
            h.host.setReply(u"respond"_s, Reply::status(500));
        if (cancel) {
            sel.store->interactions()->cancelQuestion(question);
        } else {
            sel.store->interactions()->answerQuestion(question, {QuestionAnswer{u"q1"_s, {}, std::nullopt},
                                                 QuestionAnswer{u"q2"_s, {u"A"_s, u"B"_s}, u""_s}});
        }
        QTRY_VERIFY_WITH_TIMEOUT(sel.store->interactions()->pendingQuestions().empty(), 10000);
        QVERIFY(!sel.store->errors()->transientError());
        const JSONValue body = lastBody(h.host, u"respond"_s);
        QCOMPARE(textOf(body, u"type"), u"client-response"_s);
        QCOMPARE(textOf(body, u"rpcId"), question.rpcId);
        QCOMPARE(*body.find(u"result"), expectedResult);
        if (!hostRejects) {
            QCOMPARE(h.world.answers().size(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(!h.world.isRunActive(u"s1"_s), 10000);
        }
    }

    void promptOutcome_data()
    {
        QTest::addColumn<int>("reply"); // 0 accepted, 1 not accepted, 2 host error, 3 HTTP failure, 4 dropped
        QTest::addColumn<bool>("taken");
        QTest::addColumn<QString>("banner");
        QTest::newRow("accepted") << 0 << true << QString();
        QTest::newRow("not accepted") << 1 << false << u"主机未接受该消息"_s;
        QTest::newRow("host error") << 2 << false << u"发送失败：busy: try later"_s;
        QTest::newRow("HTTP failure") << 3 << false << u"发送失败："_s;
        QTest::newRow("connection dropped") << 4 << false << u"发送失败："_s;
    }

    // The send tells its caller whether the host took the prompt, so the text can go back to
    // the user; the banner says why as before.
    void promptOutcome()
    {
        QFETCH(int, reply);
        QFETCH(bool, taken);
        QFETCH(QString, banner);
        StoreHarness h;
        Selected sel(h);
        const QList<Reply> replies = {Reply::value(JSONValue::object({{u"accepted"_s, true}})),
                                      Reply::value(JSONValue::object({{u"accepted"_s, false}})),
                                      Reply::error(u"busy"_s, u"try later"_s), Reply::status(500), Reply::drop()};
        h.host.setReply(u"session.prompt"_s, replies[reply]);
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->sendPrompt(u"hi"_s)), taken);
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->sendPrompt(u"hi"_s, u"s1"_s)), taken);
        // A dropped connection may be tried again by the network layer: at least one each.
        const int sent = h.requestCount(u"session.prompt"_s);
        QVERIFY(sent >= 2);
        if (banner.isEmpty())
            QCOMPARE(sel.store->errors()->transientError(), std::nullopt);
        else
            QVERIFY2(sel.store->errors()->transientError() && sel.store->errors()->transientError()->startsWith(banner),
                     qPrintable(sel.store->errors()->transientError().value_or(u"(none)"_s)));

        // Nothing can be sent without a connection, and the caller hears so.
        sel.store->disconnect();
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->sendPrompt(u"hi"_s, u"s1"_s)), false);
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->sendPrompt(u"hi"_s)), false);
        QCOMPARE(h.requestCount(u"session.prompt"_s), sent);
    }

    void subagentPrompts_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("parentAvailable");
        QTest::addColumn<bool>("sent");
        QTest::newRow("continuable, parent available") << u"continuable"_s << true << true;
        QTest::newRow("continuable, parent gone") << u"continuable"_s << false << false;
        QTest::newRow("one-shot") << u"oneshot"_s << true << false;
    }

    // Only a continuable subagent whose parent is available takes a prompt; stopping a
    // continuable one interrupts it whatever its parent; queue edits are not sent for it.
    void subagentPrompts()
    {
        QFETCH(QString, mode);
        QFETCH(bool, parentAvailable);
        QFETCH(bool, sent);
        StoreHarness h;
        h.world.addSession(session(u"child"_s, 0));
        h.world.setModels(u"child"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
        sim::SimWorld::SubagentEntry entry;
        entry.id = u"child"_s;
        entry.mode = mode;
        h.world.setSubagents(u"s1"_s, {entry}, parentAvailable);
        Selected sel(h);
        SubagentListEntry listed;
        listed.kind = u"child"_s;
        listed.id = u"child"_s;
        listed.mode = mode;
        sel.store->selection()->selectSubagent(u"s1"_s, listed, parentAvailable);

        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->sendPrompt(u"more"_s)), sent);
        sel.store->sessionActions()->editQueuedMessage(u"item"_s, u"x"_s);
        sel.store->sessionActions()->cancelCurrentSession();
        if (sent) {
            QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"subagent.prompt"_s), 1, 10000);
            const JSONValue payload = lastPayload(h.host, u"subagent.prompt"_s);
            QCOMPARE(textOf(payload, u"parentSessionId"), u"s1"_s);
            QCOMPARE(textOf(payload, u"childSessionId"), u"child"_s);
            QCOMPARE(textOf(payload, u"mode"), u"continuable"_s);
            QCOMPARE(*payload.find(u"content"), textBlocks(u"more"_s));
            QVERIFY(payload.contains(u"clientTimeZone"));
            QVERIFY(!sel.store->errors()->transientError());
        } else {
            QCOMPARE(sel.store->errors()->transientError(), std::optional<QString>(u"此子代理当前只读"_s));
        }
        const bool interrupts = mode == u"continuable";
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(interrupts ? u"subagent.interrupt"_s : u"session.cancel"_s), 1,
                                  10000);
        if (!interrupts)
            QCOMPARE(textOf(lastPayload(h.host, u"session.cancel"_s), u"sessionId"), u"child"_s);
        const QStringList methods = h.methodsThroughBarrier();
        QCOMPARE(countOf(methods, u"session.prompt"_s), 0);
        QCOMPARE(countOf(methods, u"session.updateQueue"_s), 0);
        QCOMPARE(countOf(methods, u"subagent.prompt"_s), sent ? 1 : 0);
        if (sent) {
            // A refused subagent prompt is reported to the caller as not sent.
            h.host.setReply(u"subagent.prompt"_s, Reply::error(u"gone"_s, u"run ended"_s));
            QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->sendPrompt(u"again"_s)), false);
            QCOMPARE(sel.store->errors()->transientError(), std::optional(u"发送失败：gone: run ended"_s));
        }
    }

    // A second prompt while the first run waits for its approval is queued; editing and
    // steering it come back as queue frames; removing it empties the dock.
    void queueUpdates()
    {
        StoreHarness h;
        Selected sel(h);
        sel.store->sessionActions()->sendPrompt(u"first"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        sel.store->sessionActions()->sendPrompt(u"second"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.model->pendingMessages().size(), size_t(1), 10000);
        const QString itemId = sel.model->pendingMessages().front().id;
        QCOMPARE(sel.model->pendingMessages().front().text, u"second"_s);

        sel.store->sessionActions()->editQueuedMessage(itemId, u"second, edited"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.model->pendingMessages().front().text, u"second, edited"_s, 10000);
        QCOMPARE(*lastPayload(h.host, u"session.updateQueue"_s).find(u"action"),
                 obj({{u"kind"_s, u"edit"_s}, {u"content"_s, textBlocks(u"second, edited"_s)}}));
        sel.store->sessionActions()->steerQueuedMessage(itemId);
        QTRY_COMPARE_WITH_TIMEOUT(sel.model->pendingMessages().front().placement, u"steering"_s, 10000);
        sel.store->sessionActions()->removeQueuedMessage(u"unknown"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(), std::optional<QString>(u"主机未接受队列操作"_s), 10000);
        sel.store->sessionActions()->removeQueuedMessage(itemId);
        QTRY_VERIFY_WITH_TIMEOUT(sel.model->pendingMessages().empty(), 10000);
        QCOMPARE(*lastPayload(h.host, u"session.updateQueue"_s).find(u"action"), obj({{u"kind"_s, u"remove"_s}}));

        h.host.setReply(u"session.updateQueue"_s, Reply::error(u"busy"_s, u"queue locked"_s));
        sel.store->sessionActions()->steerQueuedMessage(itemId);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(),
                                  std::optional<QString>(u"队列操作失败：busy: queue locked"_s), 10000);
    }

    void promptFailures_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("error");
        QTest::newRow("not accepted") << Reply::value(obj({{u"accepted"_s, false}})) << u"主机未接受该消息"_s;
        QTest::newRow("host error") << Reply::error(u"busy"_s, u"try later"_s) << u"发送失败：busy: try later"_s;
        QTest::newRow("malformed") << Reply::value(obj({{u"accepted"_s, u"yes"_s}}))
                                   << u"发送失败：malformed server response for session.prompt"_s;
    }

    void promptFailures()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, error);
        StoreHarness h;
        Selected sel(h);
        const auto rows = sel.model->items();
        h.host.setReply(u"session.prompt"_s, reply);
        sel.store->sessionActions()->sendPrompt(u"hello"_s, u"s1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(), std::optional<QString>(error), 10000);
        QCOMPARE(sel.model->items(), rows);
    }

    // Stopping a run: the host aborts the turn and the session stops running.
    void cancelStopsRun()
    {
        StoreHarness h;
        Selected sel(h);
        sel.store->sessionActions()->sendPrompt(u"go"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        sel.store->sessionActions()->cancelCurrentSession();
        QTRY_VERIFY_WITH_TIMEOUT(!sel.model->running(), 10000);
        QCOMPARE(lastPayload(h.host, u"session.cancel"_s), obj({{u"sessionId"_s, u"s1"_s}}));
        QVERIFY(lastTurn(*sel.model)->status.isFinished());
        QVERIFY(!h.world.isRunActive(u"s1"_s));
    }

    // Rename sends the title untrimmed and refreshes, also after a failure.
    void renameSession_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("fails");
        QTest::newRow("plain") << u"Renamed"_s << false;
        QTest::newRow("blanks only") << u"   "_s << false;
        QTest::newRow("host error") << u"Renamed"_s << true;
    }

    void renameSession()
    {
        QFETCH(QString, title);
        QFETCH(bool, fails);
        StoreHarness h;
        Selected sel(h);
        if (fails)
            h.host.setReply(u"session.rename"_s, Reply::error(u"denied"_s, u"no"_s));
        const int listsBefore = h.requestCount(u"session.list"_s);
        sel.store->sessions()->renameSession(u"s1"_s, title);
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"session.list"_s) > listsBefore, 10000);
        QCOMPARE(lastPayload(h.host, u"session.rename"_s), obj({{u"sessionId"_s, u"s1"_s}, {u"title"_s, title}}));
        QVERIFY(!sel.store->errors()->transientError());
        QCOMPARE(h.world.session(u"s1"_s)->title, std::optional<QString>(fails ? u"First"_s : title));
    }

    // Archiving the selected session clears the selection and the remembered id;
    // archiving another one only replaces the archived set.
    void archiveSession()
    {
        StoreHarness h;
        h.world.addSession(session(u"s2"_s, 0));
        Selected sel(h);
        sel.store->sessions()->archiveSession(u"s2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->sessions()->archivedSessionIds(), QSet<QString> {u"s2"_s}, 10000);
        QCOMPARE(sel.store->selection()->selectedSessionId(), std::optional<QString>(u"s1"_s));

        sel.store->sessions()->archiveSession(u"s1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->sessions()->archivedSessionIds(), (QSet<QString> {u"s1"_s, u"s2"_s}),
                                  10000);
        QCOMPARE(sel.store->selection()->selectedSessionId(), std::nullopt);
        sel.store->settings()->sync();
        QVERIFY(!h.openSettings()->contains(u"nbd.lastSessionId"_s));

        sel.store->sessions()->archiveSession(u"missing"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(),
                                  std::optional<QString>(u"归档失败：not_found: no such session"_s), 10000);
    }

    // A fork is selected after the lists include it; a failed fork keeps the selection.
    void forkSession()
    {
        StoreHarness h;
        Selected sel(h);
        nbd::test::waitFor(sel.store->sessions()->forkSession(u"s1"_s));
        QVERIFY(sel.store->selection()->selectedSessionId() != std::optional<QString>(u"s1"_s));
        const QString selected = *sel.store->selection()->selectedSessionId();
        QVERIFY(sessionIds(*sel.store).contains(selected));
        QCOMPARE(h.world.session(selected)->parentSessionId, std::optional<QString>(u"s1"_s));

        nbd::test::waitFor(sel.store->sessions()->forkSession(u"missing"_s));
        QCOMPARE(sel.store->errors()->transientError(),
                 std::optional<QString>(u"Fork 失败：not_found: no such session"_s));
        QCOMPARE(sel.store->selection()->selectedSessionId(), std::optional<QString>(selected));
    }

    void search()
    {
        StoreHarness h;
        sim::SimWorld::Session other = session(u"s2"_s, 0);
        other.title = u"Second thoughts"_s;
        h.world.addSession(other);
        Selected sel(h);
        QCOMPARE(nbd::test::waitFor(sel.store->sessions()->searchSessionIds(u"SECOND"_s)), QSet<QString>{u"s2"_s});
        QCOMPARE(textOf(lastPayload(h.host, u"session.search"_s), u"query"), u"SECOND"_s);
        h.host.setReply(u"session.search"_s, Reply::error(u"x"_s, u"y"_s));
        QCOMPARE(nbd::test::waitFor(sel.store->sessions()->searchSessionIds(u"SECOND"_s)), QSet<QString>());
        QVERIFY(!sel.store->errors()->transientError());
        StoreHarness offline;
        QCOMPARE(nbd::test::waitFor(offline.makeStore()->sessions()->searchSessionIds(u"a"_s)), QSet<QString>());
    }

    // Session creation: in a folder, in a new workspace, as a side chat.
    void createSessions()
    {
        StoreHarness h;
        Selected sel(h);
        nbd::test::waitFor(sel.store->sessions()->createSession(u"/tmp/proj"_s, std::nullopt));
        QCOMPARE(lastPayload(h.host, u"session.create"_s), obj({{u"cwd"_s, u"/tmp/proj"_s}}));
        const QString created = *sel.store->selection()->selectedSessionId();
        QVERIFY(created != u"s1"_s);
        QVERIFY(sessionIds(*sel.store).contains(created));

        nbd::test::waitFor(sel.store->sessions()->createWorkspaceSession(u"/srv/site"_s));
        QCOMPARE(lastPayload(h.host, u"workspace.create"_s), obj({{u"path"_s, u"/srv/site"_s}}));
        const JSONValue create = lastPayload(h.host, u"session.create"_s);
        QCOMPARE(create.size(), 1);
        const QString workspaceId = textOf(create, u"workspaceId");
        QCOMPARE(h.world.workspace(workspaceId)->sessionIds, QStringList{*sel.store->selection()->selectedSessionId()});

        const int creates = h.requestCount(u"session.create"_s);
        nbd::test::waitFor(sel.store->sessions()->createWorkspaceSession(u"relative"_s));
        QCOMPARE(sel.store->errors()->transientError(),
                 std::optional<QString>(u"创建会话失败：invalid_request: path must be absolute: relative"_s));
        QCOMPARE(h.requestCount(u"session.create"_s), creates);

        const std::optional<QString> selectedBefore = sel.store->selection()->selectedSessionId();
        const std::shared_ptr<SessionModel> side =
            nbd::test::waitFor(sel.store->selection()->createDetachedSession(u"/tmp"_s, u"w"_s));
        QVERIFY(!side); // no such workspace
        QVERIFY(sel.store->errors()->transientError()->startsWith(u"创建侧边会话失败：not_found"_s));
        const std::shared_ptr<SessionModel> chat =
            nbd::test::waitFor(sel.store->selection()->createDetachedSession(u"/tmp"_s, std::nullopt));
        QVERIFY(chat);
        QCOMPARE(lastPayload(h.host, u"session.create"_s), obj({{u"cwd"_s, u"/tmp"_s}, {u"agentPreset"_s, u"minimal"_s}}));
        QCOMPARE(sel.store->selection()->selectedSessionId(), selectedBefore);
        QCOMPARE(sel.store->selection()->sessionModel(chat->sessionId()), chat);
        QVERIFY(sel.store->selection()->didRestoreInitialSession());
        QTRY_VERIFY_WITH_TIMEOUT(chat->historyLoaded(), 10000);
        // A side chat takes prompts by id.
        sel.store->sessionActions()->sendPrompt(u"side"_s, chat->sessionId());
        QTRY_COMPARE_WITH_TIMEOUT(userTexts(*chat), QStringList{u"side"_s}, 10000);

        StoreHarness offline;
        AppModel *store = offline.makeStore();
        QVERIFY(!nbd::test::waitFor(store->selection()->createDetachedSession(std::nullopt, std::nullopt)));
        QCOMPARE(store->errors()->transientError(), std::optional<QString>(u"创建侧边会话失败：未连接"_s));
    }

    void creationPayload_data()
    {
        QTest::addColumn<std::optional<QString>>("cwd");
        QTest::addColumn<std::optional<QString>>("workspaceId");
        QTest::addColumn<std::optional<QString>>("preset");
        QTest::addColumn<JSONValue>("expected");
        const std::optional<QString> none;
        QTest::newRow("nothing") << none << none << none << JSONValue::emptyObject();
        QTest::newRow("workspace wins") << std::optional(u"/a"_s) << std::optional(u"w"_s) << none
                                        << obj({{u"workspaceId"_s, u"w"_s}});
        QTest::newRow("cwd and preset") << std::optional(u"/a"_s) << none << std::optional(u"minimal"_s)
                                        << obj({{u"cwd"_s, u"/a"_s}, {u"agentPreset"_s, u"minimal"_s}});
    }

    void creationPayload()
    {
        QFETCH(std::optional<QString>, cwd);
        QFETCH(std::optional<QString>, workspaceId);
        QFETCH(std::optional<QString>, preset);
        QFETCH(JSONValue, expected);
        QCOMPARE(SessionDirectory::sessionCreationPayload(cwd, workspaceId, preset), expected);
    }

    // Model selection sends the three keys (four with an effort), never for a subagent.
    void selectModel()
    {
        StoreHarness h;
        Selected sel(h);
        sel.store->sessionActions()->selectModel(u"q"_s, u"big"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.selectModel"_s), 1, 10000);
        QCOMPARE(lastPayload(h.host, u"session.selectModel"_s),
                 obj({{u"sessionId"_s, u"s1"_s}, {u"provider"_s, u"q"_s}, {u"model"_s, u"big"_s}}));
        sel.store->sessionActions()->selectModel(u"q"_s, u"big"_s, u"high"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.selectModel"_s), 2, 10000);
        QCOMPARE(textOf(lastPayload(h.host, u"session.selectModel"_s), u"reasoningEffort"), u"high"_s);

        h.host.setReply(u"session.selectModel"_s, Reply::error(u"x"_s, u"y"_s));
        sel.store->sessionActions()->selectModel(u"q"_s, u"small"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.selectModel"_s), 3, 10000);
        h.methodsThroughBarrier(); // the refusal has come back
        QVERIFY(!sel.store->errors()->transientError());

        SubagentListEntry child;
        child.kind = u"child"_s;
        child.id = u"c"_s;
        child.mode = u"continuable"_s;
        sel.store->selection()->selectSubagent(u"s1"_s, child, true);
        sel.store->sessionActions()->selectModel(u"q"_s, u"big"_s);
        QCOMPARE(countOf(h.methodsThroughBarrier(), u"session.selectModel"_s), 3);
    }

    void permissionPreset_data()
    {
        QTest::addColumn<std::optional<QStringList>>("presets");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<std::optional<QString>>("error");
        const std::optional<QStringList> presets = QStringList{u"ask"_s, u"full-access"_s};
        QTest::newRow("accepted") << presets << u"full-access"_s << true << std::optional<QString>();
        QTest::newRow("unknown preset, kept as given")
            << presets << u" Ask"_s << false << std::optional(u"权限切换失败：unknown preset  Ask"_s);
        QTest::newRow("no command") << std::optional<QStringList>() << u"ask"_s << false
                                    << std::optional(u"权限切换失败：当前 Host 未提供 /permission 命令"_s);
    }

    void permissionPreset()
    {
        QFETCH(std::optional<QStringList>, presets);
        QFETCH(QString, preset);
        QFETCH(bool, accepted);
        QFETCH(std::optional<QString>, error);
        StoreHarness h;
        h.world.setPermissionPresets(presets);
        Selected sel(h);
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->selectPermissionPreset(preset, u"s1"_s)), accepted);
        QCOMPARE(sel.store->errors()->transientError(), error);
        const JSONValue *args = lastPayload(h.host, u"commands/execute"_s).find(u"args");
        QVERIFY(args);
        QCOMPARE(*args, obj({{u"agentId"_s, u"s1"_s}, {u"line"_s, u"/permission "_s + preset}}));
        QCOMPARE(h.world.permissionPreset(u"s1"_s), accepted ? std::optional(preset) : std::nullopt);
    }

    void permissionPresetRejectedWithoutText()
    {
        StoreHarness h;
        Selected sel(h);
        const JSONValue value = obj({{u"commandId"_s, u"c"_s}, {u"result"_s, obj({{u"kind"_s, u"error"_s}})}});
        h.host.setReply(u"commands/execute"_s, Reply::value(value));
        QVERIFY(!nbd::test::waitFor(sel.store->sessionActions()->selectPermissionPreset(u"ask"_s, u"s1"_s)));
        QCOMPARE(sel.store->errors()->transientError(), std::optional<QString>(u"权限切换失败：Host 拒绝了该权限模式"_s));
        StoreHarness offline;
        AppModel *store = offline.makeStore();
        QVERIFY(!nbd::test::waitFor(store->sessionActions()->selectPermissionPreset(u"ask"_s, u"s1"_s)));
        QCOMPARE(store->errors()->transientError(), std::optional<QString>(u"权限切换失败：尚未连接到 Host"_s));
    }

    void attachments_data()
    {
        QTest::addColumn<QString>("data");
        QTest::addColumn<std::optional<QByteArray>>("bytes");
        QTest::newRow("plain") << u"aGVsbG8="_s << std::optional<QByteArray>("hello");
        QTest::newRow("line break") << u"aGVs\nbG8="_s << std::optional<QByteArray>();
        QTest::newRow("missing padding") << u"aGVsbG8"_s << std::optional<QByteArray>();
        QTest::newRow("blank") << u"aGVs bG8="_s << std::optional<QByteArray>();
    }

    // Good bytes are cached by session and attachment id (also across a reconnect); text
    // that is not strict Base64 gives nothing and is fetched again next time.
    void attachments()
    {
        QFETCH(QString, data);
        QFETCH(std::optional<QByteArray>, bytes);
        StoreHarness h;
        const JSONValue ref = obj({{u"attachmentId"_s, u"a1"_s}, {u"mediaType"_s, u"image/png"_s},
                                   {u"bytes"_s, 5}, {u"width"_s, 1}, {u"height"_s, 1}});
        h.world.setAttachment(u"s1"_s, ref, data);
        h.world.setAttachment(u"s2"_s, ref, u"b3RoZXI="_s);
        Selected sel(h);
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->imageData(u"s1"_s, u"a1"_s)), bytes);
        sel.store->disconnect();
        sel.store->connect();
        h.waitForListed();
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->imageData(u"s1"_s, u"a1"_s)), bytes);
        QCOMPARE(h.requestCount(u"session.attachment"_s), bytes ? 1 : 2);
        // Another session's attachment of the same id is its own entry.
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->imageData(u"s2"_s, u"a1"_s)),
                 std::optional<QByteArray>("other"));
        QCOMPARE(nbd::test::waitFor(sel.store->sessionActions()->imageData(u"s1"_s, u"missing"_s)), std::nullopt);
    }

    // Workspace rename is trimmed, an empty one is dropped; success refreshes the lists;
    // failures set their banner without refreshing.
    void workspaces()
    {
        StoreHarness h;
        h.world.addWorkspace({u"w1"_s, u"/p/one"_s, u"one"_s, {}});
        h.world.addWorkspace({u"w2"_s, u"/p/two"_s, u"two"_s, {}});
        Selected sel(h);
        int lists = h.requestCount(u"workspace.list"_s);
        sel.store->sessions()->renameWorkspace(u"w1"_s, u"  New name\n"_s);
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"workspace.list"_s) > lists, 10000);
        QCOMPARE(lastPayload(h.host, u"workspace.rename"_s), obj({{u"workspaceId"_s, u"w1"_s}, {u"title"_s, u"New name"_s}}));
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->sessions()->workspaces().front().title, u"New name"_s, 10000);

        sel.store->sessions()->renameWorkspace(u"w1"_s, u" \n\t"_s);
        QCOMPARE(countOf(h.methodsThroughBarrier(), u"workspace.rename"_s), 1);

        lists = h.requestCount(u"workspace.list"_s);
        sel.store->sessions()->renameWorkspace(u"nope"_s, u"x"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(),
                                  std::optional<QString>(u"项目重命名失败：not_found: no such workspace"_s), 10000);
        sel.store->sessions()->deleteWorkspace(u"w2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->sessions()->workspaces().size(), size_t(1), 10000);
        // A delete that deleted nothing still refreshes.
        lists = h.requestCount(u"workspace.list"_s);
        sel.store->sessions()->deleteWorkspace(u"w2"_s);
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"workspace.list"_s) > lists, 10000);
        h.host.setReply(u"workspace.delete"_s, Reply::error(u"busy"_s, u"in use"_s));
        lists = h.requestCount(u"workspace.list"_s);
        sel.store->sessions()->deleteWorkspace(u"w1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sel.store->errors()->transientError(),
                                  std::optional<QString>(u"移除项目失败：busy: in use"_s), 10000);
        QCOMPARE(countOf(h.methodsThroughBarrier(), u"workspace.list"_s), lists);
    }

    // Settings: describe, update with and without the expected revision, a stale revision
    // refused with the host's error; not connected: "未连接", a describe that fails: its reason.
    void settings()
    {
        StoreHarness h;
        h.world.addSettingsNamespace(u"ui"_s, obj({{u"type"_s, u"object"_s}}), obj({{u"theme"_s, u"dark"_s}}));
        Selected sel(h);
        const auto read = nbd::test::waitFor(sel.store->hostSettings()->describeSettings());
        QVERIFY(std::holds_alternative<SettingsDescribeValue>(read));
        const SettingsDescribeValue &described = std::get<SettingsDescribeValue>(read);
        QCOMPARE(described.namespaces.size(), size_t(1));
        const qint64 revision = described.namespaces.front().revision;

        const auto update = nbd::test::waitFor(
            sel.store->hostSettings()->updateSettings(u"ui"_s, obj({{u"theme"_s, u"light"_s}}), revision));
        QVERIFY(std::holds_alternative<SettingsNamespaceView>(update));
        QCOMPARE(std::get<SettingsNamespaceView>(update).revision, revision + 1);
        QCOMPARE(lastPayload(h.host, u"settings.update"_s),
                 obj({{u"ns"_s, u"ui"_s}, {u"patch"_s, obj({{u"theme"_s, u"light"_s}})},
                      {u"expectedRevision"_s, JSONValue(revision)}}));
        QCOMPARE(h.world.settingsValue(u"ui"_s), std::optional(obj({{u"theme"_s, u"light"_s}})));

        const auto stale = nbd::test::waitFor(
            sel.store->hostSettings()->updateSettings(u"ui"_s, obj({{u"theme"_s, u"dim"_s}}), revision));
        QVERIFY(std::holds_alternative<QString>(stale));
        QVERIFY2(std::get<QString>(stale).startsWith(u"revision_conflict: "_s), qPrintable(std::get<QString>(stale)));
        nbd::test::waitFor(sel.store->hostSettings()->updateSettings(u"ui"_s, JSONValue(), std::nullopt));
        QCOMPARE(lastPayload(h.host, u"settings.update"_s).size(), 2);

        StoreHarness offline;
        AppModel *store = offline.makeStore();
        const auto offlineRead = nbd::test::waitFor(store->hostSettings()->describeSettings());
        QCOMPARE(std::get_if<QString>(&offlineRead) ? *std::get_if<QString>(&offlineRead) : QString(), u"未连接"_s);
        h.host.setReply(u"settings.describe"_s, Reply::error(u"internal"_s, u"store down"_s));
        const auto failedRead = nbd::test::waitFor(sel.store->hostSettings()->describeSettings());
        QCOMPARE(std::get_if<QString>(&failedRead) ? *std::get_if<QString>(&failedRead) : QString(),
                 u"internal: store down"_s);
        const auto offlineUpdate =
            nbd::test::waitFor(store->hostSettings()->updateSettings(u"ui"_s, JSONValue(), std::nullopt));
        QCOMPARE(std::get_if<QString>(&offlineUpdate) ? *std::get_if<QString>(&offlineUpdate) : QString(), u"未连接"_s);

        // A host that keeps secrets shows them masked, merges a patch into what it stores and
        // marks a slot unset once a patch removed its secret.
        h.world.addSettingsNamespace(u"llm"_s, JSONValue::emptyObject(),
                                     nbd::test::json(R"({"keys": [{"key": "sk-1"}], "model": "a"})"), u"live"_s,
                                     nbd::test::json(R"([{"path": ["keys", "0", "key"], "set": true}])"));
        const auto merged = nbd::test::waitFor(sel.store->hostSettings()->updateSettings(
            u"llm"_s, nbd::test::json(R"({"model": "b"})"), std::nullopt));
        QCOMPARE(std::get<SettingsNamespaceView>(merged).value,
                 nbd::test::json(R"({"keys": [{"key": "••••••"}], "model": "b"})"));
        QCOMPARE(h.world.settingsValue(u"llm"_s), nbd::test::json(R"({"keys": [{"key": "sk-1"}], "model": "b"})"));
        const auto removed = nbd::test::waitFor(sel.store->hostSettings()->updateSettings(
            u"llm"_s, nbd::test::json(R"({"keys": null})"), std::nullopt));
        QCOMPARE(std::get<SettingsNamespaceView>(removed).secrets.front().set, false);
        QCOMPARE(h.world.settingsValue(u"llm"_s), nbd::test::json(R"({"model": "b"})"));
    }

    void credentialsAndSkills()
    {
        StoreHarness h;
        h.world.setCredential(u"api.key"_s, std::nullopt);
        h.world.setSkills(u"s1"_s, JSONValue::array({obj({{u"name"_s, u"review"_s},
                                                          {u"description"_s, u"Reviews"_s},
                                                          {u"modelInvocable"_s, true}})}));
        Selected sel(h);
        QCOMPARE(nbd::test::waitFor(sel.store->hostSettings()->describeCredential(u"api.key"_s))->configured, false);
        QCOMPARE(nbd::test::waitFor(sel.store->hostSettings()->describeCredential(u"unknown"_s)), std::nullopt);

        g_logged.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        const std::optional<QString> setResult =
            nbd::test::waitFor(sel.store->hostSettings()->setCredential(u"api.key"_s, u"s3cret"_s));
        qInstallMessageHandler(previous);
        QCOMPARE(setResult, std::nullopt);
        QVERIFY(h.world.credentialConfigured(u"api.key"_s));
        QCOMPARE(lastPayload(h.host, u"credentials.set"_s), obj({{u"ref"_s, u"api.key"_s}, {u"value"_s, u"s3cret"_s}}));
        const std::optional<CredentialView> view =
            nbd::test::waitFor(sel.store->hostSettings()->describeCredential(u"api.key"_s));
        QVERIFY(view && view->configured);
        QCOMPARE(view->source, std::optional<QString>(u"user"_s));
        QCOMPARE(nbd::test::waitFor(sel.store->hostSettings()->setCredential(u"other"_s, u"x"_s)),
                 std::optional<QString>(u"not_found: unknown credential other"_s));

        QCOMPARE(nbd::test::waitFor(sel.store->hostSettings()->unsetCredential(u"api.key"_s)), std::nullopt);
        QVERIFY(!h.world.credentialConfigured(u"api.key"_s));

        const std::vector<SkillEntry> skills = nbd::test::waitFor(sel.store->hostSettings()->listSkills(u"s1"_s));
        QCOMPARE(skills.size(), size_t(1));
        QCOMPARE(skills.front().name, u"review"_s);
        QVERIFY(nbd::test::waitFor(sel.store->hostSettings()->listSkills(u"missing"_s)).empty());

        // A failing set must not put the secret into the error text or any log either.
        h.host.setReply(u"credentials.set"_s, Reply::status(500, QByteArray("{\"oops\":1}")));
        const QtMessageHandler outer = qInstallMessageHandler(captureMessage);
        const std::optional<QString> failed =
            nbd::test::waitFor(sel.store->hostSettings()->setCredential(u"api.key"_s, u"s3cret"_s));
        qInstallMessageHandler(outer);
        QVERIFY(failed.has_value());
        QVERIFY(!failed->contains(u"s3cret"_s));
        for (const QString &line : std::as_const(g_logged))
            QVERIFY2(!line.contains(u"s3cret"_s), qPrintable(line));

        StoreHarness offline;
        AppModel *store = offline.makeStore();
        QCOMPARE(nbd::test::waitFor(store->hostSettings()->setCredential(u"api.key"_s, u"x"_s)),
                 std::optional<QString>(u"未连接"_s));
        QCOMPARE(nbd::test::waitFor(store->hostSettings()->unsetCredential(u"api.key"_s)),
                 std::optional<QString>(u"未连接"_s));
        QVERIFY(nbd::test::waitFor(store->hostSettings()->listSkills(u"s1"_s)).empty());
        QCOMPARE(offline.requestCount(u"credentials.set"_s), 0);
    }

    void goalActions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<std::optional<GoalRef>>("ref");
        QTest::addColumn<std::optional<QString>>("objective");
        QTest::addColumn<JSONValue>("expected");
        QTest::newRow("pause with ref") << u"pause"_s << std::optional(GoalRef{u"g1"_s, 3}) << std::optional<QString>()
                                        << obj({{u"sessionId"_s, u"s1"_s},
                                                {u"ref"_s, obj({{u"id"_s, u"g1"_s}, {u"revision"_s, 3}})}});
        QTest::newRow("clear, bare") << u"clear"_s << std::optional<GoalRef>() << std::optional<QString>()
                                     << obj({{u"sessionId"_s, u"s1"_s}});
        QTest::newRow("edit") << u"edit"_s << std::optional(GoalRef{u"g1"_s, 4}) << std::optional(u"Ship it"_s)
                              << obj({{u"sessionId"_s, u"s1"_s},
                                      {u"ref"_s, obj({{u"id"_s, u"g1"_s}, {u"revision"_s, 4}})},
                                      {u"objective"_s, u"Ship it"_s}});
    }

    void goalActions()
    {
        QFETCH(QString, action);
        QFETCH(std::optional<GoalRef>, ref);
        QFETCH(std::optional<QString>, objective);
        QFETCH(JSONValue, expected);
        StoreHarness h;
        Selected sel(h);
        sel.store->sessionActions()->goalAction(action, u"s1"_s, ref, objective);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"goal."_s + action), 1, 10000);
        QCOMPARE(lastPayload(h.host, u"goal."_s + action), expected);
        // An error from the host shows nothing.
        sel.store->sessionActions()->goalAction(action, u"missing"_s, ref, objective);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"goal."_s + action), 2, 10000);
        h.methodsThroughBarrier(); // the host's error has come back
        QVERIFY(!sel.store->errors()->transientError());
    }

    void exportName_data()
    {
        QTest::addColumn<std::optional<QString>>("title");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two slashes") << std::optional(u"a/b/c"_s) << u"0123456789abcdef"_s << u"nbd-a-b-c-01234567.zip"_s;
        QTest::newRow("no title") << std::optional<QString>() << u"0123456789"_s << u"nbd-session-01234567.zip"_s;
        QTest::newRow("short id") << std::optional(u"T"_s) << u"abc"_s << u"nbd-T-abc.zip"_s;
        QTest::newRow("empty title, kept untrimmed") << std::optional(u""_s) << u"abc"_s << u"nbd--abc.zip"_s;
        // Ids are the host's text: the cut counts characters, not UTF-16 units.
        QTest::newRow("astral characters") << std::optional(u"T"_s) << u"\U0001F600\U0001F600\U0001F600\U0001F600abcdefgh"_s
                                           << u"nbd-T-\U0001F600\U0001F600\U0001F600\U0001F600abcd.zip"_s;
        QTest::newRow("pair across the eighth unit") << std::optional(u"T"_s) << u"abcdefg\U0001F600xyz"_s
                                                     << u"nbd-T-abcdefg\U0001F600.zip"_s;
        QTest::newRow("combining marks") << std::optional(u"T"_s) << u"e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"_s
                                         << u"nbd-T-e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301.zip"_s;
        QTest::newRow("family emoji") << std::optional(u"T"_s)
                                      << u"abcdefg\U0001F468\u200D\U0001F469\u200D\U0001F467z"_s
                                      << u"nbd-T-abcdefg\U0001F468\u200D\U0001F469\u200D\U0001F467.zip"_s;
        QTest::newRow("empty id") << std::optional(u"T"_s) << QString() << u"nbd-T-.zip"_s;
        QTest::newRow("control characters") << std::optional(u"a\nb\u0000c\u007f "_s) << u"abc"_s << u"nbd-a-b-c- -abc.zip"_s;
    }

    void exportName()
    {
        QFETCH(std::optional<QString>, title);
        QFETCH(QString, id);
        QFETCH(QString, expected);
        QCOMPARE(SessionActions::exportFileName(title, id), expected);
    }

    // The archive comes with the open model's title in its name; a failed download sets the
    // banner and returns nothing.
    void exportSession()
    {
        StoreHarness h;
        const QString id = u"0123456789abcdef"_s;
        sim::SimWorld::Session s = session(id, 1);
        s.title = u"notes/2026"_s;
        h.world.addSession(s);
        h.world.logs().setProjection(id, u"title"_s, JSONValue(u"notes/2026"_s), false);
        h.host.setExport(id, QByteArray("PK\x03\x04zip", 7));
        AppModel *store = h.connected();
        store->selection()->selectSession(id);
        QTRY_VERIFY_WITH_TIMEOUT(store->selection()->sessionModel(id) && store->selection()->sessionModel(id)->title(),
                                 10000);
        const std::optional<SessionExport> exported = nbd::test::waitFor(store->sessionActions()->exportSession(id));
        QVERIFY(exported);
        QCOMPARE(exported->data, QByteArray("PK\x03\x04zip", 7));
        QCOMPARE(exported->suggestedName, u"nbd-notes-2026-01234567.zip"_s);

        QCOMPARE(nbd::test::waitFor(store->sessionActions()->exportSession(u"other"_s)), std::nullopt);
        QVERIFY(store->errors()->transientError() && store->errors()->transientError()->startsWith(u"导出失败："_s));
    }

    // A download from a host that never answers ends when its caller cancels it or when the
    // store disconnects; neither is reported as a failure.
    void exportSessionIsCancellable()
    {
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        h.host.setReply(u"session.export"_s, sim::Reply::never());
        AppModel *store = h.connected();

        CancelToken cancel;
        auto byCaller = store->sessionActions()->exportSession(u"s1"_s, cancel);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.export"_s), 1, 10000);
        cancel.cancel();
        QCOMPARE(nbd::test::waitFor(std::move(byCaller), 10000), std::nullopt);
        QVERIFY(!store->errors()->transientError());

        auto byDisconnect = store->sessionActions()->exportSession(u"s1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.export"_s), 2, 10000);
        store->disconnect();
        QCOMPARE(nbd::test::waitFor(std::move(byDisconnect), 10000), std::nullopt);
        QVERIFY(!store->errors()->transientError());
    }
};

QTEST_GUILESS_MAIN(AppActionsTest)
#include "tst_appactions.moc"
