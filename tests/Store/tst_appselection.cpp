// Session and subagent selection, the subagent tree walk, titles, and a live transcript
// shown end to end against the simulated host.

#include "AppModelTestSupport.h"
#include "AsyncTest.h"

#include <QSignalSpy>

using namespace nbd;
using namespace nbd::test;
using nbd::sim::Reply;
using namespace Qt::StringLiterals;

namespace {

QStringList listedParents(const sim::SimHost &host)
{
    QStringList parents;
    for (const sim::LoggedRequest &r : host.requests(u"subagent.list"_s))
        parents.append(r.payload.find(u"parentSessionId")->string().value_or(QString()));
    return parents;
}

SubagentListEntry entry(const QString &id, std::optional<QString> mode = u"continuable"_s,
                        std::optional<QString> label = std::nullopt, std::optional<bool> hasChildren = std::nullopt)
{
    SubagentListEntry e;
    e.kind = u"child"_s;
    e.id = id;
    e.mode = std::move(mode);
    e.label = std::move(label);
    e.hasChildren = hasChildren;
    return e;
}

} // namespace

class AppSelectionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A selection replaced before its loads answer: A's late catalogue and subagent list
    // are not applied, B's are.
    void laterSelectionDropsEarlierResults()
    {
        StoreHarness h;
        h.world.addSession(session(u"A"_s, 1));
        h.world.addSession(session(u"B"_s, 2));
        h.world.setModels(u"A"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"model-a"_s));
        h.world.setModels(u"B"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"model-b"_s));
        h.world.setSubagents(u"A"_s, {});
        h.world.setSubagents(u"B"_s, {});
        AppModel *store = h.connected();
        // The restore selects B; its own loads are over before A is selected.
        QTRY_VERIFY_WITH_TIMEOUT(store->selection()->sessionModel(u"B"_s)
                                     && store->selection()->sessionModel(u"B"_s)->modelCatalog()
                                     && store->sessions()->subagentsByParent().contains(u"B"_s)
                                     && store->sessions()->subagentCatalogLoading().isEmpty(),
                                 20000);

        const JSONValue catalogueA = sim::SimWorld::modelCatalogue(u"p"_s, u"model-a"_s);
        const JSONValue catalogueB = sim::SimWorld::modelCatalogue(u"p"_s, u"model-b"_s);
        h.host.setHandler(u"session.models"_s, [=](const sim::LoggedRequest &r) {
            const bool isA = r.payload.find(u"sessionId")->string() == std::optional(u"A"_s);
            return isA ? Reply::value(catalogueA).delayed(200) : Reply::value(catalogueB);
        });
        const JSONValue emptyList = JSONValue::object(
            {{u"entries"_s, JSONValue::array(JSONValue::Elements{})}, {u"parentAvailable"_s, true}});
        h.host.setHandler(u"subagent.list"_s, [=](const sim::LoggedRequest &r) {
            const bool isA = r.payload.find(u"parentSessionId")->string() == std::optional(u"A"_s);
            return isA ? Reply::value(emptyList).delayed(400) : Reply::value(emptyList);
        });
        h.host.clearRequests();

        store->selection()->selectSession(u"A"_s);
        // Both of A's requests reach the host before A is replaced.
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"session.models"_s) == 1 && h.requestCount(u"subagent.list"_s) == 1,
                                 20000);
        store->selection()->selectSession(u"B"_s);
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"session.models"_s) == 2 && h.requestCount(u"subagent.list"_s) == 2,
                                 20000);
        // Both walks have ended once the loading set is empty again (B's id entered it when B
        // was selected): A's list, had its answer been read, would be stored by then.
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentCatalogLoading().isEmpty(), 20000);
        QCOMPARE(store->selection()->sessionModel(u"A"_s)->modelCatalog(), std::nullopt);
        QVERIFY(!store->sessions()->subagentsByParent().contains(u"A"_s));
        QVERIFY(store->sessions()->subagentsByParent().contains(u"B"_s));
        QVERIFY(store->sessions()->subagentCatalogLoading().isEmpty());
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"B"_s));
        QCOMPARE(store->selection()->selectedSession(), store->selection()->sessionModel(u"B"_s));
        QCOMPARE(store->settings()->value(u"nbd.lastSessionId"_s).toString(), u"B"_s);
    }

    void reselectingReusesTheModel()
    {
        StoreHarness h;
        h.world.addSession(session(u"A"_s, 1));
        h.world.setModels(u"A"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
        h.world.appendEvent(u"A"_s, sim::events::userMessage(u"hi"_s, u"hi"_s));
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"A"_s));
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"A"_s);
        QTRY_VERIFY_WITH_TIMEOUT(model->historyLoaded() && model->modelCatalog(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentCatalogLoading().isEmpty(), 20000);
        QSignalSpy modelsSpy(store->selection(), &SessionSelection::sessionModelsChanged);
        h.host.clearRequests();

        store->selection()->selectSession(u"A"_s);
        QCOMPARE(store->selection()->sessionModel(u"A"_s), model);
        QCOMPARE(modelsSpy.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.models"_s), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"subagent.list"_s), 1, 20000);
        QCOMPARE(h.requestCount(u"session.history"_s), 0);
        QCOMPARE(userTexts(*model), QStringList{u"hi"_s});
    }

    // Clicking back and forth between sessions faster than the host answers: every earlier
    // selection is cancelled while its three loads are in flight, and nothing may touch a
    // load that is gone. The last selection wins.
    void rapidSwitchingKeepsTheLastSelection_data()
    {
        QTest::addColumn<bool>("bare");
        QTest::newRow("sessions with history, models and subagents") << false;
        // No history, and the host refuses the catalogue and the subagent list.
        QTest::newRow("bare sessions") << true;
    }

    void rapidSwitchingKeepsTheLastSelection()
    {
        QFETCH(bool, bare);
        StoreHarness h;
        for (const QString &id : {u"s1"_s, u"s2"_s, u"s3"_s}) {
            h.world.addSession(session(id, 1));
            if (bare)
                continue;
            h.world.setModels(id, sim::SimWorld::modelCatalogue(u"p"_s, u"m-"_s + id));
            h.world.setSubagents(id, {});
            h.world.appendEvent(id, sim::events::userMessage(u"hi "_s + id, u"hi "_s + id));
        }
        AppModel *store = h.connected();
        const QStringList order = {u"s2"_s, u"s1"_s, u"s2"_s, u"s3"_s, u"s1"_s, u"s3"_s, u"s2"_s};
        for (int round = 0; round < 12; ++round) {
            for (const QString &id : order) {
                const qsizetype before = h.host.requests().size();
                store->selection()->selectSession(id);
                // Switch again at once, once the loads have reached the host, or once the
                // subagent list has been answered while the other loads may be in flight.
                if (round % 3 == 1)
                    QTRY_VERIFY_WITH_TIMEOUT(h.host.requests().size() > before, 20000);
                else if (round % 3 == 2)
                    QTRY_VERIFY_WITH_TIMEOUT(!store->sessions()->subagentCatalogLoading().contains(id), 20000);
            }
        }
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"s2"_s));
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"s2"_s);
        QTRY_VERIFY_WITH_TIMEOUT(model->historyLoaded() && (bare || model->modelCatalog()), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentCatalogLoading().isEmpty(), 20000);
        QCOMPARE(userTexts(*model), bare ? QStringList() : QStringList{u"hi s2"_s});
    }

    void selectingCopiesTheRowsRunningFlag()
    {
        StoreHarness h;
        auto busy = session(u"busy"_s, 1);
        busy.running = true;
        h.world.addSession(busy);
        h.world.addSession(session(u"idle"_s, 0));
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"busy"_s));
        QCOMPARE(store->selection()->sessionModel(u"busy"_s)->running(), true);
        store->selection()->selectSession(u"idle"_s);
        QCOMPARE(store->selection()->sessionModel(u"idle"_s)->running(), false);
        store->selection()->selectSession(u"not-listed"_s); // selected all the same
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"not-listed"_s));
        QVERIFY(store->selection()->sessionModel(u"not-listed"_s));
    }

    void withoutConnectionSelectionStillHappens()
    {
        StoreHarness h;
        AppModel *store = h.makeStore();
        QSignalSpy loadingSpy(store->sessions(), &SessionDirectory::subagentCatalogLoadingChanged);
        store->selection()->selectSession(u"x"_s);
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"x"_s));
        QVERIFY(store->selection()->sessionModel(u"x"_s));
        QCOMPARE(store->settings()->value(u"nbd.lastSessionId"_s).toString(), u"x"_s);
        QCOMPARE(h.methodsThroughBarrier(), QStringList{kBarrierMethod});
        QCOMPARE(loadingSpy.count(), 0);
    }

    // Each child has one child, nine levels deep: lists are fetched for depths 0 to 7 only,
    // one after the other.
    void deepChainStopsAtEightLists()
    {
        StoreHarness h;
        h.world.addSession(session(u"root"_s, 1));
        const QStringList chain = h.world.buildSubagentChain(u"root"_s, 9, u"c"_s);
        AppModel *store = h.connected();
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentCatalogLoading().isEmpty()
                                     && store->sessions()->subagentsByParent().size() == 8,
                                 20000);
        h.host.clearRequests();
        waitFor(store->sessions()->refreshSubagentTree(u"root"_s, 0));
        QCOMPARE(listedParents(h.host), (QStringList{u"root"_s} + chain.mid(0, 7)));
        QVERIFY(store->sessions()->subagentsByParent().contains(u"c7"_s));
        QVERIFY(!store->sessions()->subagentsByParent().contains(u"c8"_s));
        QVERIFY(store->sessions()->subagentCatalogLoading().isEmpty());
    }

    // Two sessions that list each other as children: each list is fetched once.
    void cycleIsNotExpandedAgain()
    {
        StoreHarness h;
        h.world.buildSubagentCycle(u"a"_s, u"b"_s);
        AppModel *store = h.connected();
        waitFor(store->sessions()->refreshSubagentTree(u"a"_s, 0));
        QCOMPARE(listedParents(h.host), (QStringList{u"a"_s, u"b"_s}));
        QVERIFY(store->sessions()->subagentsByParent().contains(u"b"_s));
    }

    void onlyChildrenWithModeAndChildrenAreWalked()
    {
        StoreHarness h;
        sim::SimWorld::SubagentEntry noMode;
        noMode.id = u"nomode"_s;
        noMode.mode = std::nullopt;
        noMode.hasChildren = true;
        sim::SimWorld::SubagentEntry notChild;
        notChild.id = u"task"_s;
        notChild.kind = u"task"_s;
        notChild.hasChildren = true;
        sim::SimWorld::SubagentEntry leaf;
        leaf.id = u"leaf"_s;
        sim::SimWorld::SubagentEntry walked;
        walked.id = u"walked"_s;
        walked.hasChildren = true;
        h.world.setSubagents(u"p"_s, {noMode, notChild, leaf, walked});
        AppModel *store = h.connected();
        h.host.clearRequests();
        waitFor(store->sessions()->refreshSubagentTree(u"p"_s, 0));
        QCOMPARE(listedParents(h.host), (QStringList{u"p"_s, u"walked"_s}));

        // A child without a mode cannot be selected; the selection stays as it was.
        store->selection()->selectSession(u"p"_s);
        QSignalSpy spy(store->selection(), &SessionSelection::selectedSessionIdChanged);
        store->selection()->selectSubagent(u"p"_s, entry(u"nomode"_s, std::nullopt), true);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(store->selection()->selectedSubagent(), std::nullopt);
        QVERIFY(!store->selection()->sessionModel(u"nomode"_s));
    }

    void subagentLabel_data()
    {
        QTest::addColumn<QString>("childId");
        QTest::addColumn<QString>("rowTitle"); // empty: the child is not listed
        QTest::addColumn<QString>("entryLabel");
        QTest::addColumn<QString>("expected");
        QTest::newRow("listed title wins") << u"child-123456789"_s << u"Refactor"_s << u"label"_s << u"Refactor"_s;
        QTest::newRow("entry label") << u"child-123456789"_s << QString() << u"Explorer"_s << u"Explorer"_s;
        QTest::newRow("id prefix") << u"abcdefghijkl"_s << QString() << QString() << u"子代理 abcdefgh"_s;
        QTest::newRow("short id") << u"abc"_s << QString() << QString() << u"子代理 abc"_s;
    }

    void subagentLabel()
    {
        QFETCH(QString, childId);
        QFETCH(QString, rowTitle);
        QFETCH(QString, entryLabel);
        QFETCH(QString, expected);
        StoreHarness h;
        h.world.addSession(session(u"parent"_s, 1));
        if (!rowTitle.isEmpty()) {
            auto row = session(childId, 0);
            row.title = rowTitle;
            row.origin = u"subagent"_s;
            row.parentSessionId = u"parent"_s;
            h.world.addSession(row);
        }
        AppModel *store = h.connected();
        store->selection()->selectSubagent(u"parent"_s,
                              entry(childId, u"continuable"_s,
                                    entryLabel.isEmpty() ? std::nullopt : std::optional(entryLabel)),
                              true);
        QVERIFY(store->selection()->selectedSubagent());
        QCOMPARE(store->selection()->selectedSubagent()->label, expected);
    }

    void selectingASubagent()
    {
        StoreHarness h;
        h.world.addSession(session(u"parent"_s, 1));
        sim::SimWorld::SubagentEntry kid;
        kid.id = u"kid"_s;
        kid.activity = u"running"_s;
        kid.hasChildren = true;
        h.world.setSubagents(u"parent"_s, {kid}, false);
        sim::SimWorld::SubagentEntry grandKid;
        grandKid.id = u"grandkid"_s;
        h.world.setSubagents(u"kid"_s, {grandKid});
        h.world.appendEvent(u"kid"_s, sim::events::userMessage(u"from kid"_s, u"from kid"_s));
        AppModel *store = h.connected();
        // The restored parent's own loads have reached the host before the log is cleared.
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentsByParent().contains(u"kid"_s)
                                     && h.requestCount(u"session.models"_s) == 1
                                     && h.requestCount(u"session.history"_s) == 1,
                                 20000);
        h.host.clearRequests();

        const SubagentListValue parentList = store->sessions()->subagentsByParent().value(u"parent"_s);
        store->selection()->selectSubagent(u"parent"_s, parentList.entries.front(), parentList.parentAvailable);
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"kid"_s));
        const SubagentAddress address{u"parent"_s, u"kid"_s, u"continuable"_s};
        QCOMPARE(store->selection()->selectedSubagent()->address, address);
        QCOMPARE(store->selection()->selectedSubagent()->parentAvailable, false);
        QCOMPARE(store->settings()->value(u"nbd.lastSessionId"_s).toString(), u"parent"_s);
        QCOMPARE(store->selection()->selectedSidebarSessionId(), std::optional(u"parent"_s));
        const std::shared_ptr<SessionModel> model = store->selection()->selectedSession();
        QVERIFY(model);
        QCOMPARE(model->running(), true);
        QTRY_COMPARE_WITH_TIMEOUT(userTexts(*model), QStringList{u"from kid"_s}, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"subagent.list"_s), 1, 20000);
        QCOMPARE(listedParents(h.host), QStringList{u"kid"_s});
        const auto history = h.host.requests(u"subagent.history"_s);
        QCOMPARE(history.size(), 1);
        QCOMPARE(history.front().payload.find(u"parentSessionId")->string(), std::optional(u"parent"_s));
        QCOMPARE(history.front().payload.find(u"childSessionId")->string(), std::optional(u"kid"_s));
        QCOMPARE(h.requestCount(u"session.models"_s), 0);

        // A refreshed list of the shown child's parent updates only its availability.
        h.world.setSubagents(u"parent"_s, {kid}, true);
        waitFor(store->sessions()->refreshSubagentTree(u"parent"_s, 0));
        QCOMPARE(store->selection()->selectedSubagent()->parentAvailable, true);
        QCOMPARE(store->selection()->selectedSubagent()->address, address);
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"kid"_s));

        // Up from a grandchild shows its parent as a subagent; up from there the session.
        const SubagentListValue kidList = store->sessions()->subagentsByParent().value(u"kid"_s);
        store->selection()->selectSubagent(u"kid"_s, kidList.entries.front(), kidList.parentAvailable);
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"grandkid"_s));
        store->selection()->selectParentOfCurrentSubagent();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"kid"_s));
        QCOMPARE(store->selection()->selectedSubagent()->address.parentSessionId, u"parent"_s);
        store->selection()->selectParentOfCurrentSubagent();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"parent"_s));
        QCOMPARE(store->selection()->selectedSubagent(), std::nullopt);
        store->selection()->selectParentOfCurrentSubagent(); // nothing to go up from
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"parent"_s));

        // A refresh that no longer lists the shown child clears the subagent selection.
        store->selection()->selectSubagent(u"parent"_s, parentList.entries.front(), true);
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
        QCOMPARE(store->selection()->selectedSubagent(), std::nullopt);
    }

    void sidebarHighlight_data()
    {
        QTest::addColumn<QString>("parentOfShownChild");
        QTest::addColumn<QString>("expected");
        QTest::newRow("parent is top-level") << u"top"_s << u"top"_s;
        QTest::newRow("chain of subagents") << u"sub2"_s << u"top"_s;
        QTest::newRow("parent not listed") << u"ghost"_s << u"ghost"_s;
        QTest::newRow("loop") << u"loopA"_s << u"loopA"_s;
        QTest::newRow("subagent without parent") << u"orphan"_s << u"orphan"_s;
    }

    void sidebarHighlight()
    {
        QFETCH(QString, parentOfShownChild);
        QFETCH(QString, expected);
        StoreHarness h;
        h.world.addSession(session(u"top"_s, 1));
        const auto sub = [&](const QString &id, std::optional<QString> parent) {
            auto s = session(id, 0);
            s.origin = u"subagent"_s;
            s.parentSessionId = std::move(parent);
            h.world.addSession(s);
        };
        sub(u"sub1"_s, u"top"_s);
        sub(u"sub2"_s, u"sub1"_s);
        sub(u"loopA"_s, u"loopB"_s);
        sub(u"loopB"_s, u"loopA"_s);
        sub(u"orphan"_s, std::nullopt);
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->selectedSidebarSessionId(), std::optional(u"top"_s));
        store->selection()->selectSubagent(parentOfShownChild, entry(u"shown"_s), true);
        QCOMPARE(store->selection()->selectedSidebarSessionId(), std::optional(expected));
    }

    void displayTitles()
    {
        StoreHarness h;
        auto titled = session(u"t"_s, 1);
        titled.title = u"  Listed  "_s;
        h.world.addSession(titled);
        auto cwd = session(u"c"_s, 0);
        cwd.cwd = u"/src/project"_s;
        h.world.addSession(cwd);
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->displayTitle(u"t"_s), std::optional(u"Listed"_s));
        QCOMPARE(store->selection()->displayTitle(u"c"_s), std::optional(u"project"_s));
        QCOMPARE(store->selection()->displayTitle(u"nobody"_s), std::nullopt);
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"t"_s);
        QVERIFY(model);
        model->applyProjection(u"title"_s, JSONValue(u" \n "_s));
        QTRY_COMPARE_WITH_TIMEOUT(model->title(), std::optional(u" \n "_s), 5000);
        QCOMPARE(store->selection()->displayTitle(u"t"_s), std::optional(u"Listed"_s));
        model->applyProjection(u"title"_s, JSONValue(u"\tFrom model "_s));
        QTRY_COMPARE_WITH_TIMEOUT(store->selection()->displayTitle(u"t"_s), std::optional(u"From model"_s), 5000);
    }

    void detachedModels()
    {
        StoreHarness h;
        AppModel *store = h.makeStore();
        const std::shared_ptr<SessionModel> side = store->selection()->registerDetachedSessionModel(u"side"_s);
        QCOMPARE(store->selection()->registerDetachedSessionModel(u"side"_s), side);
        QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
        store->selection()->releaseDetachedSessionModel(u"side"_s);
        QVERIFY(!store->selection()->sessionModel(u"side"_s));
        store->selection()->releaseDetachedSessionModel(u"never"_s);

        store->selection()->selectSession(u"shown"_s);
        store->selection()->releaseDetachedSessionModel(u"shown"_s);
        QVERIFY(store->selection()->sessionModel(u"shown"_s)); // the selected session keeps its model
    }

    // End to end: connect, list, restore a session, and watch its transcript grow while the
    // host streams events.
    void liveTranscriptGrows()
    {
        StoreHarness h;
        h.world.addWorkspace({u"w"_s, u"/src/demo"_s, u"demo"_s, {u"chat"_s}});
        auto chat = session(u"chat"_s, 100);
        chat.title = u"Demo chat"_s;
        h.world.addSession(chat);
        h.world.setModels(u"chat"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
        h.world.appendEvent(u"chat"_s, sim::events::userMessage(u"first"_s, u"first"_s));
        h.world.appendEvent(u"chat"_s, sim::events::userMessage(u"second"_s, u"second"_s));

        AppModel *store = h.connected();
        h.waitForStreams();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"chat"_s));
        const std::shared_ptr<SessionModel> model = store->selection()->selectedSession();
        QVERIFY(model);
        QTRY_COMPARE_WITH_TIMEOUT(userTexts(*model), (QStringList{u"first"_s, u"second"_s}), 20000);
        QCOMPARE(store->selection()->displayTitle(u"chat"_s), std::optional(u"Demo chat"_s));

        QStringList expected{u"first"_s, u"second"_s};
        for (int i = 1; i <= 5; ++i) {
            const QString text = u"streamed "_s + QString::number(i);
            h.world.streamEvent(u"chat"_s, sim::events::userMessage(u"m-"_s + QString::number(i), text));
            expected.append(text);
            QTRY_COMPARE_WITH_TIMEOUT(userTexts(*model), expected, 20000);
        }
        // An assistant turn streamed delta by delta appears as a turn row.
        const auto turnRows = [&model] {
            int turns = 0;
            for (const TranscriptItem &item : model->items())
                turns += std::holds_alternative<TurnItem>(item) ? 1 : 0;
            return turns;
        };
        QCOMPARE(turnRows(), 0);
        const qint64 revision = model->transcriptRevision();
        h.world.streamEvent(u"chat"_s, sim::events::turnStart(1));
        h.world.streamEvent(u"chat"_s, sim::events::stepStart(1, 1));
        h.world.streamEvent(u"chat"_s, sim::events::blockStart(1, 1, 0));
        h.world.streamEvent(u"chat"_s, sim::events::textDelta(1, 1, 0, u"Hel"_s));
        h.world.streamEvent(u"chat"_s, sim::events::textDelta(1, 1, 0, u"lo"_s));
        QTRY_COMPARE_WITH_TIMEOUT(turnRows(), 1, 20000);
        h.world.streamEvent(u"chat"_s, sim::events::assistantMessage(1, 1, u"Hello"_s));
        h.world.streamEvent(u"chat"_s, sim::events::turnEnd(1));
        QTRY_VERIFY_WITH_TIMEOUT(model->transcriptRevision() > revision + 1, 20000);
        QCOMPARE(turnRows(), 1);
        QCOMPARE(userTexts(*model), expected);

        // Events of a session nobody opened leave no trace.
        h.world.streamEvent(u"elsewhere"_s, sim::events::userMessage(u"x"_s, u"x"_s));
        h.world.pushAgentError(JSONValue::object({{u"message"_s, u"sentinel"_s}}));
        QTRY_COMPARE_WITH_TIMEOUT(store->errors()->transientError(), std::optional(u"sentinel"_s), 20000);
        QVERIFY(!store->selection()->sessionModel(u"elsewhere"_s));
        QCOMPARE(userTexts(*model), expected);
    }
};

QTEST_GUILESS_MAIN(AppSelectionTest)
#include "tst_appselection.moc"
