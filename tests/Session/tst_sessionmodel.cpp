#include "AsyncTest.h"
#include "FoldDump.h"
#include "ObservableWaits.h"
#include "SessionGenerator.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "Session/SessionModel.h"
#include "Session/TranscriptFold.h"
#include "Wire/EventStreamClient.h"
#include "Wire/WireClient.h"

#include <QSignalSpy>
#include <QTest>

using namespace nbd;
using namespace nbd::sim;
using namespace Qt::StringLiterals;

namespace {

const QString kSession = u"s1"_s;

SessionEvent eventOf(const JSONValue &event)
{
    return SessionEvent::fromLiveValue(event);
}

// The event the log holds under `seq`, as the live decoder reads it.
SessionEvent logged(const SimSessions &sim, const QString &session, qint64 seq)
{
    return eventOf(*sim.entries(session).at(size_t(seq - 1)).find(u"event"));
}

std::vector<HistoryEntry> historyOf(const SimSessions &sim, const QString &session)
{
    std::vector<HistoryEntry> out;
    for (const JSONValue &entry : sim.entries(session))
        out.push_back(HistoryEntry::fromJson(entry));
    return out;
}

std::vector<qint64> seqsOf(const std::vector<HistoryEntry> &entries)
{
    std::vector<qint64> out;
    for (const auto &e : entries)
        out.push_back(e.event.seq);
    return out;
}

// What the host's log folds to when folded whole, with its projections.
FoldState foldedLog(const SimSessions &sim, const QString &session)
{
    FoldState state;
    TranscriptFold::foldHistory(historyOf(sim, session), state);
    for (const auto &[key, value] : sim.projections(session))
        TranscriptFold::applyProjection(key, value, state);
    return state;
}

JSONValue queueItem(const QString &id, const QString &text, std::optional<JSONValue> placement = std::nullopt)
{
    JSONValue::Members members{
        {u"id"_s, JSONValue(id)},
        {u"message"_s,
         JSONValue::object({{u"content"_s, JSONValue::array({JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, text}})})}})}};
    if (placement)
        members.emplace_back(u"placement"_s, *placement);
    return JSONValue::object(std::move(members));
}

QString lastBlockText(const SessionModel &model)
{
    for (auto it = model.items().rbegin(); it != model.items().rend(); ++it) {
        if (const auto *turn = std::get_if<TurnItem>(&*it)) {
            if (!turn->steps.empty() && !turn->steps.back().blocks.empty())
                return turn->steps.back().blocks.back().text;
        }
    }
    return {};
}

} // namespace

class TestSessionModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void publishingByEventType_data();
    void publishingByEventType();
    void publishedItemsFollowChangesToEarlierRows();
    void threeDeltasMakeOneCoalescedPublish();
    void blockEndPublishesAtOnceAndCancelsTheWindow();
    void usageChunkLeavesTheScheduledPublishAlone();

    void liveEventsDuringLoadAreMergedInSeqOrder();
    void duplicateSeqIsDroppedBeforeEchoHandling();
    void echoRemovesPendingMessageWhileLoading();
    void queueBuildsPendingMessages();
    void doubleInitialLoadAppliesOnlyTheSecond();
    void failedInitialLoad_data();
    void failedInitialLoad();
    void releasedModelIsNotTouchedByItsLoad();

    void olderPage_data();
    void olderPage();
    void olderPageLandingAfterResyncIsDropped();
    void olderPageKeepsLiveChanges();
    void streamedStepsThenOlderPagesFoldLikeTheLog_data();
    void streamedStepsThenOlderPagesFoldLikeTheLog();
    void resyncClearsAndReloadsTheSessionLog();
    void markSubscribedFlagsAResync();

    void framesFromTheHostReachTheLogsTranscript();

private:
    WireClient client() const { return WireClient(m_host->baseUrl(), m_session.get()); }
    // A model whose first (empty or short) page has been loaded.
    std::shared_ptr<SessionModel> loadedModel(SessionModel::Timings timings = {});

    std::unique_ptr<SimHost> m_host;
    std::unique_ptr<SimSessions> m_sim;
    std::unique_ptr<WireSession> m_session;
};

void TestSessionModel::init()
{
    m_host = std::make_unique<SimHost>();
    QVERIFY(m_host->listen(0));
    m_sim = std::make_unique<SimSessions>(*m_host);
    m_session = std::make_unique<WireSession>();
}

void TestSessionModel::cleanup()
{
    m_session.reset();
    m_sim.reset();
    m_host.reset();
}

std::shared_ptr<SessionModel> TestSessionModel::loadedModel(SessionModel::Timings timings)
{
    auto model = SessionModel::create(kSession, timings);
    test::waitFor(model->loadInitialHistory(client(), std::nullopt));
    return model;
}

// ---- Live publishing ---------------------------------------------------------------------

enum class Publish { Now, Scheduled, SideOnly, Nothing };
Q_DECLARE_METATYPE(Publish)

void TestSessionModel::publishingByEventType_data()
{
    QTest::addColumn<JSONValue>("event");
    QTest::addColumn<Publish>("expected");
    auto withSeq = [](JSONValue draft) { return draft.with(u"seq"_s, JSONValue(10)).with(u"time"_s, JSONValue(1.0)); };
    QTest::newRow("text-delta") << withSeq(events::textDelta(1, 1, 0, u"a"_s)) << Publish::Scheduled;
    QTest::newRow("reasoning-delta") << withSeq(events::reasoningDelta(1, 1, 0, u"a"_s)) << Publish::Scheduled;
    QTest::newRow("tool-call delta") << withSeq(events::toolCallDelta(1, 1, 0, u"c"_s, u"ls"_s, u"{"_s)) << Publish::Scheduled;
    QTest::newRow("text-delta without text") << withSeq(events::chunk(1, 1, JSONValue::object({{u"type"_s, u"text-delta"_s}})))
                                             << Publish::Scheduled;
    QTest::newRow("block-start") << withSeq(events::blockStart(1, 1, 0)) << Publish::Now;
    QTest::newRow("block-end") << withSeq(events::blockEndText(1, 1, 0, u"x"_s)) << Publish::Now;
    QTest::newRow("usage") << withSeq(events::usageChunk(1, 1, 5, 6)) << Publish::SideOnly;
    QTest::newRow("finish") << withSeq(events::finishChunk(1, 1)) << Publish::Nothing;
    QTest::newRow("chunk without chunk object") << withSeq(events::draft(u"assistant/chunk"_s)) << Publish::Nothing;
    QTest::newRow("chunk type not a string")
        << withSeq(events::chunk(1, 1, JSONValue::object({{u"type"_s, JSONValue(3)}}))) << Publish::Nothing;
    QTest::newRow("turn/start") << withSeq(events::turnStart(2)) << Publish::Now;
    QTest::newRow("tool result") << withSeq(events::toolResult(1, 1, u"c"_s, u"ok"_s)) << Publish::Now;
    QTest::newRow("turn/end marked ignorable") << withSeq(events::turnEnd(1)).with(u"ignorable"_s, JSONValue(true))
                                               << Publish::Now;
    QTest::newRow("session/title") << withSeq(events::sessionTitle(u"标题"_s)) << Publish::SideOnly;
    QTest::newRow("tool/call") << withSeq(events::draft(u"tool/call"_s)) << Publish::Nothing;
    QTest::newRow("known bookkeeping") << withSeq(events::draft(u"approval/asked"_s)) << Publish::Nothing;
    QTest::newRow("unknown type") << withSeq(events::draft(u"mystery/event"_s)) << Publish::Now;
    QTest::newRow("unknown type, ignorable") << withSeq(events::draft(u"mystery/event"_s)).with(u"ignorable"_s, JSONValue(true))
                                             << Publish::Nothing;
}

void TestSessionModel::publishingByEventType()
{
    QFETCH(JSONValue, event);
    QFETCH(Publish, expected);
    m_sim->append(kSession, events::turnStart(1));
    m_sim->append(kSession, events::stepStart(1, 1));
    auto model = loadedModel();
    const qint64 revision = model->transcriptRevision();
    const auto itemsBefore = model->items();
    QSignalSpy usage(model.get(), &SessionModel::usageChanged);
    QSignalSpy title(model.get(), &SessionModel::titleChanged);

    model->applyLive(eventOf(event), std::nullopt);

    QCOMPARE(model->liveEntries().size(), size_t(1));
    QVERIFY(model->fold().seenSeqs.contains(10));
    QCOMPARE(model->isTranscriptPublishScheduled(), expected == Publish::Scheduled);
    QCOMPARE(model->transcriptRevision(), revision + (expected == Publish::Now ? 1 : 0));
    if (expected == Publish::Now)
        QCOMPARE(model->items(), model->fold().items);
    else
        QCOMPARE(model->items(), itemsBefore);
    QCOMPARE(usage.count() + title.count(), expected == Publish::SideOnly ? 1 : 0);
}

// A publish compares only the rows from the first one the fold changed: a change to an early
// row (a late tool result, an unmatched result joining its notice) must still reach items().
void TestSessionModel::publishedItemsFollowChangesToEarlierRows()
{
    auto model = loadedModel();
    qint64 seq = 100;
    const auto live = [&](JSONValue draft) {
        model->applyLive(eventOf(draft.with(u"seq"_s, JSONValue(++seq)).with(u"time"_s, JSONValue(0.0))), std::nullopt);
    };
    const auto rowOfTurn = [&](qint64 number) -> qsizetype {
        for (size_t i = 0; i < model->items().size(); ++i) {
            if (const auto *turn = std::get_if<TurnItem>(&model->items()[i]); turn && turn->turn == number)
                return qsizetype(i);
        }
        return -1;
    };
    live(events::turnStart(1));
    live(events::stepStart(1, 1));
    live(events::assistantMessage(1, 1, u"calling"_s, {{u"c1"_s, u"bash"_s}}));
    for (qint64 turn = 2; turn <= 6; ++turn) {
        live(events::userMessage(u"m"_s + QString::number(turn), u"next"_s));
        live(events::turnStart(turn));
        live(events::stepStart(turn, 1));
        live(events::assistantMessage(turn, 1, u"answer "_s + QString::number(turn)));
        live(events::turnEnd(turn));
    }
    QCOMPARE(model->items(), model->fold().items);
    const qsizetype first = rowOfTurn(1);
    QVERIFY(first >= 0 && first + 5 < qsizetype(model->items().size()));

    live(events::toolResult(1, 1, u"c1"_s, u"late result"_s));
    QCOMPARE(model->items(), model->fold().items);
    QCOMPARE(model->itemsChangedFrom(), size_t(first));
    const auto &calls = std::get<TurnItem>(model->items()[size_t(first)]).steps.front().blocks;
    QVERIFY(std::any_of(calls.begin(), calls.end(), [](const BlockItem &b) { return b.resultText == u"late result"_s; }));

    // Two results no call is known for: the second joins the first one's notice, now a row
    // before the newest.
    live(events::toolResult(6, 1, u"nobody-1"_s, u"one"_s));
    live(events::userMessage(u"m7"_s, u"more"_s));
    const size_t rows = model->items().size();
    live(events::toolResult(6, 1, u"nobody-2"_s, u"two"_s));
    QCOMPARE(model->items(), model->fold().items);
    QCOMPARE(model->items().size(), rows);
    QVERIFY(model->itemsChangedFrom() < rows - 1);
}

void TestSessionModel::threeDeltasMakeOneCoalescedPublish()
{
    m_sim->append(kSession, events::userMessage(u"first"_s, u"t"_s));
    m_sim->append(kSession, events::turnStart(1));
    m_sim->append(kSession, events::stepStart(1, 1));
    m_sim->append(kSession, events::blockStart(1, 1, 0));
    // A window long enough that a loaded machine still sends all three deltas inside it.
    SessionModel::Timings timings;
    timings.transcriptPublishDelayMs = 400;
    auto model = loadedModel(timings);
    QSignalSpy published(model.get(), &SessionModel::transcriptRevisionChanged);
    const quint64 itemsRevision = model->itemsRevision();

    model->applyLive(eventOf(events::textDelta(1, 1, 0, u"a"_s).with(u"seq"_s, JSONValue(5)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    const int firstRemaining = model->transcriptPublishRemainingMs();
    QVERIFY(firstRemaining >= 0);
    // Some of the window has passed, by more than a restarted window's rounding.
    QTRY_VERIFY_WITH_TIMEOUT(model->transcriptPublishRemainingMs() <= firstRemaining - 10, 70);
    model->applyLive(eventOf(events::textDelta(1, 1, 0, u"b"_s).with(u"seq"_s, JSONValue(6)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    // Not restarted: the window keeps the time the first delta gave it.
    QVERIFY2(model->transcriptPublishRemainingMs() <= firstRemaining - 10, "a later delta extended the window");
    model->applyLive(eventOf(events::textDelta(1, 1, 0, u"c"_s).with(u"seq"_s, JSONValue(7)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    QCOMPARE(published.count(), 0);
    QCOMPARE(lastBlockText(*model), QString());

    QVERIFY(published.wait(30000));
    QCOMPARE(published.count(), 1);
    QCOMPARE(lastBlockText(*model), u"abc"_s);
    // One change, from the turn on: the message before it is as it was.
    QCOMPARE(model->itemsRevision(), itemsRevision + 1);
    QCOMPARE(model->items().size(), size_t(2));
    QCOMPARE(model->itemsChangedFrom(), size_t(1));
    QVERIFY(!model->isTranscriptPublishScheduled());
    QVERIFY(test::waitPastInterval(timings.transcriptPublishDelayMs));
    QCOMPARE(published.count(), 1);
}

void TestSessionModel::blockEndPublishesAtOnceAndCancelsTheWindow()
{
    m_sim->append(kSession, events::turnStart(1));
    m_sim->append(kSession, events::stepStart(1, 1));
    auto model = loadedModel();
    QSignalSpy published(model.get(), &SessionModel::transcriptRevisionChanged);
    model->applyLive(eventOf(events::textDelta(1, 1, 0, u"hi"_s).with(u"seq"_s, JSONValue(3)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    QVERIFY(model->isTranscriptPublishScheduled());
    model->applyLive(eventOf(events::blockEndText(1, 1, 0, u"hi"_s).with(u"seq"_s, JSONValue(4)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    QCOMPARE(published.count(), 1);
    QVERIFY(!model->isTranscriptPublishScheduled());
    QCOMPARE(lastBlockText(*model), u"hi"_s);
    // The cancelled window would have fired before a window's length started now.
    QVERIFY(test::waitPastInterval(SessionModel::Timings{}.transcriptPublishDelayMs));
    QCOMPARE(published.count(), 1);
}

void TestSessionModel::usageChunkLeavesTheScheduledPublishAlone()
{
    m_sim->append(kSession, events::turnStart(1));
    m_sim->append(kSession, events::stepStart(1, 1));
    auto model = loadedModel();
    QSignalSpy published(model.get(), &SessionModel::transcriptRevisionChanged);
    QSignalSpy usage(model.get(), &SessionModel::usageChanged);
    model->applyLive(eventOf(events::textDelta(1, 1, 0, u"x"_s).with(u"seq"_s, JSONValue(3)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    const int remaining = model->transcriptPublishRemainingMs();
    model->applyLive(eventOf(events::usageChunk(1, 1, 7, 8).with(u"seq"_s, JSONValue(4)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    QCOMPARE(usage.count(), 1);
    QVERIFY(model->usage());
    QCOMPARE(model->usage()->outputTokens, 8);
    QCOMPARE(published.count(), 0);
    QVERIFY(model->isTranscriptPublishScheduled());
    QVERIFY(model->transcriptPublishRemainingMs() <= remaining);
    QVERIFY(published.wait(2000));
    QCOMPARE(lastBlockText(*model), u"x"_s);
}

// ---- History and live input ---------------------------------------------------------------

void TestSessionModel::liveEventsDuringLoadAreMergedInSeqOrder()
{
    m_sim->append(kSession, events::userMessage(u"m1"_s, u"你好"_s));
    m_sim->append(kSession, events::turnStart(1));
    m_sim->append(kSession, events::stepStart(1, 1));
    m_sim->append(kSession, events::blockStart(1, 1, 0));
    m_sim->append(kSession, events::textDelta(1, 1, 0, u"one "_s));
    m_sim->setProjection(kSession, u"title"_s, JSONValue(u"旧标题"_s), false);
    auto model = SessionModel::create(kSession);
    auto load = model->loadInitialHistory(client(), std::nullopt);
    QVERIFY(model->isLoadingHistory());

    // Live copies of events the log gains after the page was cut.
    auto live = [](qint64 seq, const QString &text) {
        return eventOf(events::textDelta(1, 1, 0, text).with(u"seq"_s, JSONValue(seq)).with(u"time"_s, JSONValue(double(seq))));
    };
    // Arrivals out of order, one of them also inside the page.
    model->applyLive(live(7, u"three"_s), std::nullopt);
    model->applyLive(logged(*m_sim, kSession, 5), std::nullopt);
    model->applyLive(live(6, u"two "_s), std::nullopt);
    model->applyProjection(u"title"_s, JSONValue(u"新标题"_s));
    QCOMPARE(model->bufferedLiveEvents().size(), size_t(3));
    QCOMPARE(model->bufferedProjections().size(), size_t(1));
    QVERIFY(model->liveEntries().empty());
    QVERIFY(model->liveProjectionValues().empty());
    QCOMPARE(model->transcriptRevision(), 0);

    test::waitFor(std::move(load));
    QVERIFY(model->historyLoaded());
    QVERIFY(!model->isLoadingHistory());
    QVERIFY(model->bufferedLiveEvents().empty());
    QCOMPARE(seqsOf(model->liveEntries()), (std::vector<qint64>{6, 7}));
    QCOMPARE(lastBlockText(*model), u"one two three"_s);
    QCOMPARE(model->title(), std::optional<QString>(u"新标题"_s));
    QCOMPARE(model->transcriptRevision(), 1);
    m_sim->append(kSession, events::textDelta(1, 1, 0, u"two "_s));
    m_sim->append(kSession, events::textDelta(1, 1, 0, u"three"_s));
    m_sim->setProjection(kSession, u"title"_s, JSONValue(u"新标题"_s), false);
    QCOMPARE(model->items(), foldedLog(*m_sim, kSession).items);
}

void TestSessionModel::duplicateSeqIsDroppedBeforeEchoHandling()
{
    m_sim->append(kSession, events::userMessage(u"q1"_s, u"first"_s));
    auto model = loadedModel();
    const JSONValue queue[] = {queueItem(u"q1"_s, u"first"_s)};
    model->applyQueue(queue);
    QCOMPARE(model->pendingMessages().size(), size_t(1));
    QSignalSpy pending(model.get(), &SessionModel::pendingMessagesChanged);

    model->applyLive(logged(*m_sim, kSession, 1), std::nullopt);

    QCOMPARE(pending.count(), 0);
    QCOMPARE(model->pendingMessages().size(), size_t(1));
    QVERIFY(model->admittedIds().isEmpty());
    QVERIFY(model->liveEntries().empty());
}

void TestSessionModel::echoRemovesPendingMessageWhileLoading()
{
    m_sim->setHistoryFault(SimSessions::HistoryFault::Hang);
    auto model = SessionModel::create(kSession);
    const JSONValue queue[] = {queueItem(u"q1"_s, u"one"_s), queueItem(u"q2"_s, u"two"_s, JSONValue(u"steering"_s))};
    model->applyQueue(queue);
    CancelToken cancel;
    auto load = model->loadInitialHistory(client(), std::nullopt, cancel);
    QVERIFY(model->isLoadingHistory());
    QSignalSpy pending(model.get(), &SessionModel::pendingMessagesChanged);

    model->applyLive(eventOf(events::userMessage(u"q1"_s, u"one"_s).with(u"seq"_s, JSONValue(9)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    QCOMPARE(pending.count(), 1);
    QCOMPARE(model->pendingMessages(), (std::vector<PendingUserMessage>{{u"q2"_s, u"two"_s, u"steering"_s}}));
    QCOMPARE(model->bufferedLiveEvents().size(), size_t(1));
    // The host still lists the echoed message: it stays retired.
    model->applyQueue(queue);
    QCOMPARE(model->pendingMessages().size(), size_t(1));
    QCOMPARE(model->steeringMessages().size(), size_t(1));
    QVERIFY(model->queuedMessages().empty());
    // An echo that removes nothing still notifies.
    model->applyLive(eventOf(events::userMessage(u"zz"_s, u"x"_s).with(u"seq"_s, JSONValue(10)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    QCOMPARE(pending.count(), 2);
    cancel.cancel();
    test::waitFor(std::move(load));
}

void TestSessionModel::queueBuildsPendingMessages()
{
    auto model = SessionModel::create(kSession);
    QSignalSpy pending(model.get(), &SessionModel::pendingMessagesChanged);
    const JSONValue imageOnly = JSONValue::object(
        {{u"id"_s, u"img"_s},
         {u"message"_s, JSONValue::object({{u"content"_s, JSONValue::array({JSONValue::object({{u"type"_s, u"image"_s}})})}})}});
    const JSONValue queue[] = {
        queueItem(u"a"_s, u"plain"_s),
        JSONValue::object({{u"message"_s, JSONValue::emptyObject()}}), // no id
        queueItem(u"b"_s, u"numeric placement"_s, JSONValue(3)),
        JSONValue::object({{u"id"_s, u"c"_s}, {u"message"_s, u"text"_s}}), // message not an object
        imageOnly,
        queueItem(u"d"_s, u"later"_s, JSONValue(u"later"_s)),
        JSONValue(u"garbage"_s),
        queueItem(u"e"_s, u"steer"_s, JSONValue(u"steering"_s)),
    };
    model->applyQueue(queue);
    model->applyQueue(queue);
    QCOMPARE(pending.count(), 1);
    QCOMPARE(model->pendingMessages(),
             (std::vector<PendingUserMessage>{{u"a"_s, u"plain"_s, u"queued"_s},
                                              {u"b"_s, u"numeric placement"_s, u"queued"_s},
                                              {u"d"_s, u"later"_s, u"later"_s},
                                              {u"e"_s, u"steer"_s, u"steering"_s}}));
    QCOMPARE(model->queuedMessages().size(), size_t(2));
    QCOMPARE(model->steeringMessages().size(), size_t(1));
    model->applyQueue({});
    QVERIFY(model->pendingMessages().empty());
}

void TestSessionModel::doubleInitialLoadAppliesOnlyTheSecond()
{
    m_sim->append(kSession, events::userMessage(u"m1"_s, u"one"_s));
    const JSONValue firstPage = m_sim->historyPage(kSession, 20, {});
    m_sim->append(kSession, events::userMessage(u"m2"_s, u"two"_s));
    const JSONValue secondPage = m_sim->historyPage(kSession, 20, {});
    m_host->setReplies(u"session.history"_s, {Reply::value(firstPage).delayed(300), Reply::value(secondPage)});

    auto model = SessionModel::create(kSession);
    auto first = model->loadInitialHistory(client(), std::nullopt);
    QTRY_COMPARE(m_host->requests(u"session.history"_s).size(), 1);
    auto second = model->loadInitialHistory(client(), std::nullopt);
    test::waitFor(std::move(second));
    QCOMPARE(seqsOf(model->historyEntries()), (std::vector<qint64>{1, 2}));
    const qint64 revision = model->transcriptRevision();
    QSignalSpy items(model.get(), &SessionModel::itemsChanged);
    test::waitFor(std::move(first));
    QCOMPARE(seqsOf(model->historyEntries()), (std::vector<qint64>{1, 2}));
    QCOMPARE(model->transcriptRevision(), revision);
    QCOMPARE(items.count(), 0);
    QCOMPARE(model->historyLoadGeneration(), 2);
}

void TestSessionModel::failedInitialLoad_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<bool>("loaded");
    QTest::newRow("transport error") << int(SimSessions::HistoryFault::Drop) << false << true;
    QTest::newRow("host error") << int(SimSessions::HistoryFault::Error) << false << true;
    QTest::newRow("cancelled") << int(SimSessions::HistoryFault::Hang) << true << false;
}

void TestSessionModel::failedInitialLoad()
{
    QFETCH(int, fault);
    QFETCH(bool, cancel);
    QFETCH(bool, loaded);
    m_sim->setHistoryFault(SimSessions::HistoryFault(fault));
    auto model = SessionModel::create(kSession);
    CancelToken token;
    auto load = model->loadInitialHistory(client(), std::nullopt, token);
    model->applyLive(eventOf(events::userMessage(u"m"_s, u"live"_s).with(u"seq"_s, JSONValue(40)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    if (cancel) {
        QTRY_COMPARE(m_host->requests(u"session.history"_s).size(), 1);
        token.cancel();
    }
    test::waitFor(std::move(load));
    QVERIFY(!model->isLoadingHistory());
    QCOMPARE(model->historyLoaded(), loaded);
    QCOMPARE(model->bufferedLiveEvents().size(), size_t(loaded ? 0 : 1));
    QCOMPARE(model->items().size(), size_t(loaded ? 1 : 0));
    QVERIFY(model->historyEntries().empty());
}

void TestSessionModel::releasedModelIsNotTouchedByItsLoad()
{
    m_sim->append(kSession, events::userMessage(u"m1"_s, u"one"_s));
    m_sim->setHistoryDelay(100);
    auto model = SessionModel::create(kSession);
    QPointer<SessionModel> watch(model.get());
    auto load = model->loadInitialHistory(client(), std::nullopt);
    model.reset();
    QVERIFY(watch.isNull());
    test::waitFor(std::move(load));
}

void TestSessionModel::olderPage_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<std::vector<qint64>>("firstSeqs"); // first and last loaded after the page
    QTest::addColumn<bool>("hasMore");
    QTest::newRow("contiguous page is kept") << int(SimSessions::HistoryFault::None) << std::vector<qint64>{81, 120} << true;
    QTest::newRow("page with a hole is dropped") << int(SimSessions::HistoryFault::Gap) << std::vector<qint64>{101, 120}
                                                 << false;
    QTest::newRow("empty page stops paging") << int(SimSessions::HistoryFault::EmptyPage) << std::vector<qint64>{101, 120}
                                             << false;
    QTest::newRow("failed page changes nothing") << int(SimSessions::HistoryFault::Error) << std::vector<qint64>{101, 120}
                                                 << true;
}

void TestSessionModel::olderPage()
{
    QFETCH(int, fault);
    QFETCH(std::vector<qint64>, firstSeqs);
    QFETCH(bool, hasMore);
    for (int i = 1; i <= 120; ++i)
        m_sim->append(kSession, events::userMessage(u"m"_s + QString::number(i), u"text "_s + QString::number(i)));
    auto model = loadedModel();
    QCOMPARE(seqsOf(model->historyEntries()).front(), 101);
    QVERIFY(model->hasMoreHistory());
    model->applyLive(eventOf(events::userMessage(u"live"_s, u"live"_s).with(u"seq"_s, JSONValue(121)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    const auto itemsBefore = model->items();

    m_sim->setHistoryFault(SimSessions::HistoryFault(fault));
    test::waitFor(model->loadOlder(client()));

    const auto request = m_host->requests(u"session.history"_s).last().payload;
    QCOMPARE(request.find(u"beforeSeq")->toInt(), 101);
    QCOMPARE(request.find(u"maxMessages")->toInt(), 20);
    QCOMPARE(request.find(u"sessionId")->string(), kSession);
    QVERIFY(!model->isLoadingOlder());
    QCOMPARE(model->hasMoreHistory(), hasMore);
    QCOMPARE(model->historyEntries().front().event.seq, firstSeqs.front());
    QCOMPARE(model->historyEntries().back().event.seq, firstSeqs.back());
    if (firstSeqs.front() == 81) {
        QCOMPARE(model->items().size(), size_t(41));
        QVERIFY(std::holds_alternative<UserMessageItem>(model->items().back()));
        QCOMPARE(std::get<UserMessageItem>(model->items().back()).id, u"live"_s);
    } else {
        QCOMPARE(model->items(), itemsBefore);
    }
}

void TestSessionModel::olderPageLandingAfterResyncIsDropped()
{
    for (int i = 1; i <= 30; ++i)
        m_sim->append(kSession, events::userMessage(u"m"_s + QString::number(i), u"t"_s));
    SimSessions *sim = m_sim.get();
    m_host->setHandler(u"session.history"_s, [sim](const LoggedRequest &request) {
        const JSONValue *before = request.payload.find(u"beforeSeq");
        const Reply page = Reply::value(sim->historyPage(kSession, 20, before ? before->toInt() : std::nullopt));
        return before ? page.delayed(300) : page;
    });
    auto model = loadedModel();
    auto older = model->loadOlder(client());
    QVERIFY(model->isLoadingOlder());
    model->markSubscribed(99);
    QVERIFY(model->needsResync());
    test::waitFor(model->resyncIfNeeded(client()));
    QVERIFY(model->historyLoaded());
    const auto itemsAfterResync = model->items();
    const qint64 revision = model->transcriptRevision();
    test::waitFor(std::move(older));
    QCOMPARE(seqsOf(model->historyEntries()).front(), 11);
    QCOMPARE(model->historyEntries().size(), size_t(20));
    QCOMPARE(model->items(), itemsAfterResync);
    QCOMPARE(model->transcriptRevision(), revision);
    QVERIFY(model->hasMoreHistory());
}

// The first page's projections are older than what arrived live: paging back must not bring
// them back over a live rename.
void TestSessionModel::olderPageKeepsLiveChanges()
{
    for (int i = 1; i <= 30; ++i)
        m_sim->append(kSession, events::userMessage(u"m"_s + QString::number(i), u"t"_s));
    m_sim->setProjection(kSession, u"title"_s, JSONValue(u"旧标题"_s), false);
    m_sim->setProjection(kSession, u"todos"_s,
                         JSONValue::array({JSONValue::object({{u"content"_s, u"旧"_s}, {u"status"_s, u"pending"_s}})}), false);
    auto model = loadedModel();
    QCOMPARE(model->title(), std::optional<QString>(u"旧标题"_s));
    QVERIFY(model->hasMoreHistory());

    model->applyLive(eventOf(events::sessionTitle(u"新标题"_s).with(u"seq"_s, JSONValue(31)).with(u"time"_s, JSONValue(0.0))),
                     std::nullopt);
    const JSONValue todos = JSONValue::array({JSONValue::object({{u"content"_s, u"新"_s}, {u"status"_s, u"in_progress"_s}})});
    model->applyProjection(u"todos"_s, todos);
    QCOMPARE(model->title(), std::optional<QString>(u"新标题"_s));
    const FoldState live = model->fold();

    QSignalSpy titles(model.get(), &SessionModel::titleChanged);
    test::waitFor(model->loadOlder(client()));
    QCOMPARE(model->historyEntries().front().event.seq, 1);
    QCOMPARE(model->title(), std::optional<QString>(u"新标题"_s));
    QCOMPARE(model->todos(), (std::vector<TodoItem>{{u"新"_s, u"in_progress"_s}}));
    QCOMPARE(titles.count(), 0);
    // Nothing but the older rows came in.
    QCOMPARE(model->items().size(), live.items.size() + 10);
    QCOMPARE(model->fold().title, live.title);
    QCOMPARE(model->fold().todos, live.todos);
    QCOMPARE(model->fold().projectionKeys, live.projectionKeys);
}

void TestSessionModel::streamedStepsThenOlderPagesFoldLikeTheLog_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<int>("historyEvents");
    for (quint64 seed = 21; seed <= 24; ++seed)
        QTest::addRow("seed %llu", seed) << seed << int(40 + seed % 3 * 17);
}

// A session streams whole steps live, each finished by its final message; then the older
// pages are loaded. The model keeps only what a refold needs, and the refold gives exactly
// what folding the whole log as history gives.
void TestSessionModel::streamedStepsThenOlderPagesFoldLikeTheLog()
{
    QFETCH(quint64, seed);
    QFETCH(int, historyEvents);
    const std::vector<test::GeneratedEvent> log = test::SessionGenerator(seed, {30, 20, 10}).generate(900);
    std::vector<HistoryEntry> all;
    for (const test::GeneratedEvent &e : log)
        all.push_back(e.historyEntry());
    for (int i = 0; i < historyEvents; ++i) {
        const test::GeneratedEvent &e = log[size_t(i)];
        m_sim->append(kSession, test::eventJson(e.event), e.view);
    }
    auto model = loadedModel();
    QVERIFY(model->hasMoreHistory());

    TranscriptFold::CoveredChunks liveCoverage;
    for (size_t i = size_t(historyEvents); i < log.size(); ++i) {
        model->applyLive(log[i].event, log[i].view);
        liveCoverage.add(log[i].event);
    }
    FoldState whole;
    TranscriptFold::foldHistory(all, whole);

    // Only the chunks no final message covers are kept.
    size_t liveChunks = 0;
    size_t uncovered = 0;
    for (size_t i = size_t(historyEvents); i < log.size(); ++i) {
        if (log[i].event.type != u"assistant/chunk")
            continue;
        ++liveChunks;
        uncovered += liveCoverage.covers(log[i].event) ? 0 : 1;
    }
    size_t keptChunks = 0;
    for (const HistoryEntry &entry : model->liveEntries())
        keptChunks += entry.event.type == u"assistant/chunk" ? 1 : 0;
    QCOMPARE(keptChunks, uncovered);
    QVERIFY(liveChunks > 10 * (uncovered + 1));

    while (model->hasMoreHistory())
        test::waitFor(model->loadOlder(client()));
    QCOMPARE(model->historyEntries().front().event.seq, 1);
    if (!(model->fold() == whole)) {
        QCOMPARE(test::dumpState(model->fold()), test::dumpState(whole));
        QFAIL("states differ beyond their dumps");
    }
    QCOMPARE(model->items(), whole.items);

    // A duplicate of a left-out chunk is still recognised as seen.
    const auto chunk = std::find_if(log.rbegin(), log.rend(), [](const test::GeneratedEvent &e) {
        return e.event.type == u"assistant/chunk";
    });
    const qint64 revision = model->transcriptRevision();
    model->applyLive(chunk->event, std::nullopt);
    QVERIFY(model->fold() == whole);
    QCOMPARE(model->transcriptRevision(), revision);
}

void TestSessionModel::resyncClearsAndReloadsTheSessionLog()
{
    const QString child = u"child-1"_s;
    m_sim->setSubagentLog(u"parent"_s, child, child);
    m_sim->append(child, events::userMessage(u"c1"_s, u"from the child"_s));
    m_sim->append(child, events::sessionTitle(u"子代理"_s));
    auto model = SessionModel::create(child);
    test::waitFor(model->loadInitialHistory(client(), SubagentAddress{u"parent"_s, child, u"continuable"_s}));
    QCOMPARE(m_host->requests(u"subagent.history"_s).size(), 1);
    QCOMPARE(model->items().size(), size_t(1));

    const JSONValue queue[] = {queueItem(u"q"_s, u"waiting"_s)};
    model->applyQueue(queue);
    JobView job;
    job.id = u"j1"_s;
    model->applyJobs({job});
    model->applyModelCatalog(SessionModelsValue{});
    model->setRunning(true);
    model->markSubscribed(model->fold().lastSeq + 5);
    QVERIFY(model->needsResync());

    m_sim->setHistoryDelay(200);
    QSignalSpy items(model.get(), &SessionModel::itemsChanged);
    auto resync = model->resyncIfNeeded(client());
    QVERIFY(!model->needsResync());
    QVERIFY(model->items().empty());
    QCOMPARE(items.count(), 1);
    QVERIFY(model->isLoadingHistory());
    QVERIFY(!model->historyLoaded());
    test::waitFor(std::move(resync));

    const auto reload = m_host->requests(u"session.history"_s);
    QCOMPARE(reload.size(), 1);
    QCOMPARE(reload.first().payload.find(u"sessionId")->string(), child);
    QVERIFY(!reload.first().payload.contains(u"beforeSeq"));
    QVERIFY(model->historyLoaded());
    QCOMPARE(model->items().size(), size_t(1));
    QCOMPARE(model->title(), std::optional<QString>(u"子代理"_s));
    QCOMPARE(model->pendingMessages().size(), size_t(1));
    QCOMPARE(model->jobs().size(), size_t(1));
    QVERIFY(model->modelCatalog());
    QVERIFY(model->running());
    QVERIFY(!model->historyAddress());
}

void TestSessionModel::markSubscribedFlagsAResync()
{
    m_sim->append(kSession, events::userMessage(u"m1"_s, u"x"_s));
    m_sim->append(kSession, events::userMessage(u"m2"_s, u"y"_s));
    auto model = SessionModel::create(kSession);
    model->markSubscribed(7);
    QVERIFY(!model->needsResync());
    test::waitFor(model->loadInitialHistory(client(), std::nullopt));
    QSignalSpy flagged(model.get(), &SessionModel::needsResyncChanged);
    model->markSubscribed(2);
    QCOMPARE(flagged.count(), 0);
    model->markSubscribed(1);
    QVERIFY(model->needsResync());
    model->markSubscribed(3);
    QCOMPARE(flagged.count(), 1);
    // Nothing happens without a client.
    test::waitFor(model->resyncIfNeeded(std::nullopt));
    QVERIFY(model->needsResync());
}

// ---- End to end ---------------------------------------------------------------------------

void TestSessionModel::framesFromTheHostReachTheLogsTranscript()
{
    // A log longer than one page, so paging back is part of the road.
    for (qint64 turn = 1; turn <= 3; ++turn) {
        m_sim->append(kSession, events::userMessage(u"u"_s + QString::number(turn), u"请求 "_s + QString::number(turn)));
        m_sim->append(kSession, events::turnStart(turn));
        m_sim->append(kSession, events::stepStart(turn, 1));
        m_sim->append(kSession, events::blockStart(turn, 1, 0));
        for (int i = 0; i < 4; ++i)
            m_sim->append(kSession, events::textDelta(turn, 1, 0, u"片段"_s + QString::number(i) + u' '));
        m_sim->append(kSession, events::assistantMessage(turn, 1, u"片段0 片段1 片段2 片段3 "_s, {{u"call"_s + QString::number(turn), u"ls"_s}}));
        m_sim->append(kSession, events::toolResult(turn, 1, u"call"_s + QString::number(turn), u"a.txt"_s),
                      events::toolView(u"result"_s, JSONValue::object({{u"kind"_s, u"files"_s}})));
        m_sim->append(kSession, events::turnEnd(turn));
    }
    m_sim->setProjection(kSession, u"title"_s, JSONValue(u"会话"_s), false);

    std::unique_ptr<EventStream> stream(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    auto model = SessionModel::create(kSession);
    // Routes the way the store will: by method, for this session only.
    QObject::connect(stream.get(), &EventStream::frameReceived, model.get(), [&model](const ServerRequest &frame) {
        const JSONValue *session = frame.payload.find(u"sessionId");
        if (!session || session->string() != kSession)
            return;
        if (frame.method == u"session/event") {
            const JSONValue *view = frame.payload.find(u"view");
            model->applyLive(SessionEvent::fromLiveValue(*frame.payload.find(u"event")),
                             view ? std::optional<JSONValue>(*view) : std::nullopt);
        } else if (frame.method == u"session/projection") {
            model->applyProjection(*frame.payload.find(u"key")->string(), *frame.payload.find(u"value"));
        } else if (frame.method == u"session/subscribed") {
            model->markSubscribed(*frame.payload.find(u"lastSeq")->toInt());
        }
    });

    // Live frames while the first page loads, one of them a copy of a logged event.
    m_sim->setHistoryDelay(150);
    auto load = model->loadInitialHistory(client(), std::nullopt);
    const qint64 turn = 4;
    m_sim->appendAndPush(kSession, events::userMessage(u"u4"_s, u"第四"_s));
    m_sim->repush(kSession, m_sim->lastSeq(kSession) - 1);
    m_sim->appendAndPush(kSession, events::turnStart(turn));
    test::waitFor(std::move(load));
    m_sim->setHistoryDelay(0);

    // Then a streamed turn after the load, with duplicates and a projection.
    m_sim->appendAndPush(kSession, events::stepStart(turn, 1));
    m_sim->appendAndPush(kSession, events::blockStart(turn, 1, 0));
    for (int i = 0; i < 20; ++i) {
        m_sim->appendAndPush(kSession, events::textDelta(turn, 1, 0, u"流"_s + QString::number(i)));
        if (i % 7 == 0)
            m_sim->repush(kSession, m_sim->lastSeq(kSession));
    }
    m_sim->appendAndPush(kSession, events::usageChunk(turn, 1, 10, 20));
    m_sim->setProjection(kSession, u"todos"_s,
                         JSONValue::array({JSONValue::object({{u"content"_s, u"写测试"_s}, {u"status"_s, u"in_progress"_s}})}));
    m_sim->appendAndPush(kSession, events::blockEndText(turn, 1, 0, u"done"_s));
    m_sim->appendAndPush(kSession, events::turnEnd(turn));
    m_sim->pushSubscribed(kSession);
    const qint64 last = m_sim->lastSeq(kSession);
    QTRY_COMPARE(model->fold().lastSeq, last);
    QVERIFY(!model->needsResync());

    // Page back to the start of the log.
    while (model->hasMoreHistory())
        test::waitFor(model->loadOlder(client()));
    QCOMPARE(model->historyEntries().front().event.seq, 1);
    const FoldState expected = foldedLog(*m_sim, kSession);
    QCOMPARE(model->items().size(), expected.items.size());
    QCOMPARE(model->items(), expected.items);
    QCOMPARE(model->todos(), expected.todos);
    QCOMPARE(model->title(), expected.title);
    QCOMPARE(model->usage(), expected.usage);
    QVERIFY(!model->isTranscriptPublishScheduled() || model->items() == model->fold().items);
}

QTEST_GUILESS_MAIN(TestSessionModel)
#include "tst_sessionmodel.moc"
