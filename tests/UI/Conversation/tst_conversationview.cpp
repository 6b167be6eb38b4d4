// The conversation pane against the simulated host: the virtualised transcript and its
// follow-output rules, the frame (empty state, banner, resync), the dock and its takeover
// cards, the queued-messages dock, the rows (chips, reasoning, notices) and the log export.
#include "AccessibilityWalk.h"
#include "App/ViewOwners.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"
#include "SimDemoWorld.h"
#include "SimSessions.h"

#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Conversation/BlockView.h"
#include "UI/Conversation/BottomDock.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Conversation/ErrorNotice.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LongTextView.h"
#include "Domain/MarkdownParser.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Conversation/MessageRows.h"
#include "UI/Conversation/NoticeRow.h"
#include "UI/Conversation/QueuedMessagesDock.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/SessionHeader.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/TranscriptRowViews.h"

#include "RenderedWidget.h"
#include "ScrollBarDrag.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QClipboard>
#include <QMenu>
#include <QVBoxLayout>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
namespace events = nbd::sim::events;

namespace {

// Feeds host events straight into a model, numbered in order, as the live stream would.
class Feeder
{
public:
    explicit Feeder(SessionModel *model) : m_model(model) {}
    void operator()(JSONValue draft, std::optional<JSONValue> view = std::nullopt)
    {
        JSONValue event = draft.with(u"seq"_s, JSONValue(++m_seq)).with(u"time"_s, JSONValue(0.0));
        m_model->applyLive(SessionEvent::fromLiveValue(event), view);
    }
    qint64 seq() const { return m_seq; }

private:
    SessionModel *m_model;
    qint64 m_seq = 0;
};

// A finished turn: the user's message and one text block.
void feedTurn(Feeder &feed, qint64 turn, const QString &ask, const QString &answer)
{
    feed(events::userMessage(u"m"_s + QString::number(turn), ask));
    feed(events::turnStart(turn));
    feed(events::stepStart(turn, 1));
    feed(events::textDelta(turn, 1, 0, answer));
    feed(events::assistantMessage(turn, 1, answer));
    feed(events::turnEnd(turn));
}

QString longText(int words, const QString &seed)
{
    QString text;
    for (int i = 0; i < words; ++i)
        text += seed + QString::number(i) + u' ';
    return text;
}

JSONValue queueItem(const QString &id, const QString &text, const QString &placement = u"queued"_s)
{
    return JSONValue::object({{u"id"_s, id},
                              {u"message"_s, JSONValue::object({{u"content"_s, JSONValue::array({JSONValue::object(
                                                                     {{u"type"_s, u"text"_s}, {u"text"_s, text}})})}})},
                              {u"placement"_s, placement}});
}

void wheel(QWidget *target, int degrees)
{
    const QPoint at = target->rect().center();
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, degrees * 8), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

class tst_ConversationView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void fiveThousandItemsKeepFewWidgetsAndADeltaTouchesOneRow();
    void followingStopsOnScrollAndComesBackNearTheEnd();
    void loadingOlderKeepsTheFirstRowInPlace();
    void transcriptButtonsDoWhatClicksDo();

    void emptyStateAndOneSetOfToggles();
    void bannerTimerRestartsOnlyForANewText();
    void showingASessionResyncsUnlessASubagentIsShown();
    void headerTitleAndSurfaceSwitch();
    void exportWritesTheArchiveAndReportsAFailedWrite();
    void exportToAFullDiskSaysWhy();

    void takeoverCardsOnlyOnTheChatSurface();
    void unsentPromptComesBack_data();
    void unsentPromptComesBack();
    void draftSurvivesTheFirstVisitOfASession();
    void lostHostEndsTheRunningTurn();
    void readOnlyComposerRules_data();
    void readOnlyComposerRules();
    void queueDockActionsReachTheHost();
    void headerAndDockActionsDoWhatClicksDo();
    void approvalCardElidesItsToolNameAndAnswersTwiceQuietly();

    void toolChipOpensAndShowsFailureInRed();
    void reasoningAndNoticeRows();
    void reasoningAndNoticeActionsDoWhatClicksDo_data();
    void reasoningAndNoticeActionsDoWhatClicksDo();
    void streamingTextKeepsFinishedPiecesAndSelects();
    void longAnswerIsParsedAwayAndItsRowFitsIt();
    void streamingTextGrownInDeltasIsPlacedAsBuiltWhole();
    void streamedTurnFromTheHostShowsLive();
    void darkTranscriptSitsOnTheCanvas();
    void switchingSessionsKeepsTheDraftAndRebuildsTheExtras();

private:
    ConversationView *makeView(QSize size = QSize(900, 700));
    void connectAndSelect(const QString &sessionId);

    std::unique_ptr<StoreHarness> m_harness;
    std::unique_ptr<QWidget> m_window;
    ConversationView *m_view = nullptr;
    QList<std::pair<RuntimeInspectorPanel, std::optional<TrajectoryEventSelection>>> m_inspectorCalls;
    int m_terminalToggles = 0;
    int m_toolToggles = 0;
};

void tst_ConversationView::init()
{
    m_harness = std::make_unique<StoreHarness>();
    m_inspectorCalls.clear();
    m_terminalToggles = m_toolToggles = 0;
}

void tst_ConversationView::cleanup()
{
    m_window.reset();
    m_view = nullptr;
    m_harness.reset();
}

ConversationView *tst_ConversationView::makeView(QSize size)
{
    AppModel *store = m_harness->store ? m_harness->store.get() : m_harness->makeStore();
    m_window = std::make_unique<QWidget>();
    m_window->resize(size);
    m_view = new ConversationView(
        conversationOwners(store), [this] { ++m_toolToggles; }, [this] { ++m_terminalToggles; },
        [this](RuntimeInspectorPanel panel, std::optional<TrajectoryEventSelection> event) {
            m_inspectorCalls.append({panel, event});
        },
        m_window.get());
    m_view->resize(size);
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window.get()))
        qWarning("window not exposed");
    return m_view;
}

void tst_ConversationView::connectAndSelect(const QString &sessionId)
{
    m_harness->connected();
    m_harness->store->selection()->selectSession(sessionId);
    QTRY_VERIFY_WITH_TIMEOUT(m_view->shownSession() && m_view->shownSession()->sessionId() == sessionId, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_view->shownSession()->historyLoaded(), 10000);
}

// ---- Transcript ----

void tst_ConversationView::fiveThousandItemsKeepFewWidgetsAndADeltaTouchesOneRow()
{
    auto model = SessionModel::create(u"big"_s);
    Feeder feed(model.get());
    for (qint64 turn = 1; turn <= 2500; ++turn)
        feedTurn(feed, turn, u"question "_s + QString::number(turn), u"answer "_s + QString::number(turn));
    // The newest turn is still streaming.
    feed(events::userMessage(u"live"_s, u"and now?"_s));
    feed(events::turnStart(2501));
    feed(events::stepStart(2501, 1));
    feed(events::blockStart(2501, 1, 0));
    feed(events::textDelta(2501, 1, 0, u"Streaming"_s));
    model->setRunning(true);
    QTRY_VERIFY(!model->isTranscriptPublishScheduled());
    QVERIFY(model->items().size() >= 5000);

    QWidget window;
    window.resize(900, 700);
    auto *transcript = new ConversationTranscript(nullptr, nullptr, &window);
    transcript->resize(900, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    transcript->setSession(model);
    TranscriptListView *list = transcript->list();
    QVERIFY(list->entries().size() > 5000);
    QVERIFY2(list->liveViewCount() > 5 && list->liveViewCount() <= 80, qPrintable(QString::number(list->liveViewCount())));
    QTRY_COMPARE(transcript->findChildren<TranscriptEntryView *>().size(), list->liveViewCount());
    // At the end, with the streaming row and the working indicator live.
    const QString endpoint = u"turn-2501-step-1-block-0"_s;
    auto *row = qobject_cast<TranscriptRenderRowView *>(list->viewFor(endpoint));
    QVERIFY(row);
    QCOMPARE(row->contentKind(), TranscriptRenderRowView::ContentKind::StreamingText);
    QVERIFY(list->viewFor(u"deep-diving-status"_s));
    QCOMPARE(list->scrollY(), list->verticalScrollBar()->maximum());

    // One more delta: one coalesced publish that updates exactly that row, including what a
    // screen reader hears.
    QSignalSpy published(model.get(), &SessionModel::transcriptRevisionChanged);
    feed(events::textDelta(2501, 1, 0, u" text"_s));
    QVERIFY(published.wait(2000));
    QCOMPARE(list->lastTouchedKeys(), QStringList{endpoint});
    QCOMPARE(row->accessibleName(), u"Streaming text"_s);
    QVERIFY(list->liveViewCount() <= 80);
    // Lines more: the row is measured again and placed at its new height, still at the end.
    const int before = list->entryRect(endpoint)->height();
    feed(events::textDelta(2501, 1, 0, u"\nmore\nlines\nof\ntext"_s));
    QVERIFY(published.wait(2000));
    QCOMPARE(list->lastTouchedKeys(), QStringList{endpoint});
    QVERIFY(list->entryRect(endpoint)->height() > before);
    QCOMPARE(list->entryRect(endpoint)->height(), row->measure(list->columnWidth()));
    QCOMPARE(row->height(), list->entryRect(endpoint)->height());
    QCOMPARE(list->scrollY(), list->verticalScrollBar()->maximum());

    // Far up in the middle, still only a window of widgets.
    list->scrollToKey(u"turn-1200-step-1-block-0"_s);
    QVERIFY(list->viewFor(u"turn-1200-step-1-block-0"_s));
    QVERIFY(!list->viewFor(endpoint));
    QVERIFY(list->liveViewCount() <= 80);
    QTRY_COMPARE(transcript->findChildren<TranscriptEntryView *>().size(), list->liveViewCount());
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));
}

void tst_ConversationView::followingStopsOnScrollAndComesBackNearTheEnd()
{
    auto model = SessionModel::create(u"follow"_s);
    Feeder feed(model.get());
    for (qint64 turn = 1; turn <= 40; ++turn)
        feedTurn(feed, turn, longText(20, u"ask"_s), longText(60, u"word"_s));
    feed(events::userMessage(u"live"_s, u"go on"_s));
    feed(events::turnStart(41));
    feed(events::stepStart(41, 1));
    feed(events::textDelta(41, 1, 0, u"Streaming"_s));
    model->setRunning(true);
    QTRY_VERIFY(!model->isTranscriptPublishScheduled());

    QWidget window;
    window.resize(800, 600);
    auto *transcript = new ConversationTranscript(nullptr, nullptr, &window);
    transcript->resize(800, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    transcript->setSession(model);
    TranscriptListView *list = transcript->list();
    QVERIFY(transcript->followsOutput());
    QVERIFY(!transcript->backToLatestButton()->isVisible());

    // The wheel turns following off at once; new output then leaves the view alone.
    auto phase = std::make_shared<TranscriptFollowState::Phase>(TranscriptFollowState::Phase::Idle);
    connect(list, &TranscriptListView::scrollPhaseChanged, list, [phase](TranscriptFollowState::Phase p) { *phase = p; });
    wheel(list->viewport(), 120 * 6);
    QVERIFY(!transcript->followsOutput());
    QVERIFY(*phase == TranscriptFollowState::Phase::Interacting);
    QTRY_VERIFY(transcript->backToLatestButton()->isVisible());
    // The wheel comes to rest far from the end.
    QTRY_VERIFY_WITH_TIMEOUT(*phase == TranscriptFollowState::Phase::Idle, 5000);
    QVERIFY(!transcript->followsOutput());
    const int y = list->scrollY();
    QVERIFY(y < list->verticalScrollBar()->maximum() - 72);
    QSignalSpy published(model.get(), &SessionModel::transcriptRevisionChanged);
    feed(events::textDelta(41, 1, 0, longText(200, u" more"_s)));
    QVERIFY(published.wait(2000));
    QCOMPARE(list->scrollY(), y);

    // Dragging the scroll bar's handle: off while held, back on when let go near the end.
    QScrollBar *bar = list->verticalScrollBar();
    QTest::mouseClick(transcript->backToLatestButton(), Qt::LeftButton);
    QVERIFY(transcript->followsOutput());
    QTRY_COMPARE(list->scrollY(), bar->maximum());
    QTRY_VERIFY(!transcript->backToLatestButton()->isVisible());
    const QPoint handle = sliderCentre(bar);
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, handle);
    QVERIFY(!transcript->followsOutput());
    QTest::mouseMove(bar, handle - QPoint(0, 2));
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, handle - QPoint(0, 2));
    QVERIFY(bar->maximum() - bar->value() <= 72);
    QTRY_VERIFY(transcript->followsOutput());
    feed(events::textDelta(41, 1, 0, u" end"_s));
    QVERIFY(published.wait(2000));
    QCOMPARE(list->scrollY(), bar->maximum());

    // A steering message while following is scrolled into view.
    const std::vector<JSONValue> items{queueItem(u"st1"_s, u"steer this way"_s, u"steering"_s)};
    model->applyQueue(items);
    QTRY_VERIFY(list->viewFor(u"pending-st1"_s));
    QTRY_COMPARE(list->scrollY(), bar->maximum());
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));
}

void tst_ConversationView::loadingOlderKeepsTheFirstRowInPlace()
{
    sim::SimWorld::Session s = session(u"long"_s, 1000);
    m_harness->world.addSession(s);
    for (qint64 turn = 1; turn <= 30; ++turn) {
        m_harness->world.appendEvent(u"long"_s, events::userMessage(u"m"_s + QString::number(turn), longText(30, u"ask"_s)));
        m_harness->world.appendEvent(u"long"_s, events::turnStart(turn));
        m_harness->world.appendEvent(u"long"_s, events::stepStart(turn, 1));
        const QString answer = longText(80, u"answer"_s);
        m_harness->world.appendEvent(u"long"_s, events::textDelta(turn, 1, 0, answer));
        m_harness->world.appendEvent(u"long"_s, events::assistantMessage(turn, 1, answer));
        m_harness->world.appendEvent(u"long"_s, events::turnEnd(turn));
    }
    makeView(QSize(800, 560));
    connectAndSelect(u"long"_s);
    SessionModel *model = m_view->shownSession().get();
    QVERIFY(model->hasMoreHistory());
    TranscriptListView *list = m_view->transcript()->list();
    QTRY_VERIFY(list->entries().size() > 3);

    // Home: the user scrolls to the top, where the button is.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Home);
    QVERIFY(!m_view->followsOutput());
    QTRY_COMPARE(list->scrollY(), 0);
    QString firstRow;
    for (const TranscriptEntry &entry : list->entries()) {
        if (entry.kind == TranscriptEntry::Kind::Row) {
            firstRow = entry.key;
            break;
        }
    }
    auto *older = qobject_cast<LoadOlderView *>(list->viewFor(u"load-older"_s));
    QVERIFY(older);
    QCOMPARE(older->button()->text(), LoadOlderView::idleLabel());
    const qsizetype before = model->items().size();
    QTest::mouseClick(older->button(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(qsizetype(model->items().size()) > before && !model->isLoadingOlder(), 10000);
    // The row that was first is at the top; the older rows are above it.
    QTRY_VERIFY(list->entryRect(firstRow).has_value() && list->entryRect(firstRow)->top() == 0);
    QVERIFY(list->scrollY() > 0);
    QVERIFY2(accessibilityProblems(m_window.get()).isEmpty(), qPrintable(accessibilityProblems(m_window.get()).join(u'\n')));
}

// ---- Frame ----

// The transcript's own buttons (older history, back to the latest message) do by their
// accessibility action what their click does.
void tst_ConversationView::transcriptButtonsDoWhatClicksDo()
{
    qsizetype baseline = 0;
    test::ActionParityCheck check;
    check.open = [&]() -> QWidget * {
        // A host and store of its own each time: the history loaded stays in the store.
        m_window.reset();
        m_view = nullptr;
        m_harness = std::make_unique<StoreHarness>();
        m_harness->world.addSession(session(u"long"_s, 1000));
        for (qint64 turn = 1; turn <= 30; ++turn) {
            m_harness->world.appendEvent(u"long"_s, events::userMessage(u"m"_s + QString::number(turn), u"earlier"_s));
            m_harness->world.appendEvent(u"long"_s, events::turnStart(turn));
            m_harness->world.appendEvent(u"long"_s, events::stepStart(turn, 1));
            m_harness->world.appendEvent(u"long"_s, events::assistantMessage(turn, 1, longText(80, u"answer"_s)));
            m_harness->world.appendEvent(u"long"_s, events::turnEnd(turn));
        }
        makeView(QSize(700, 500));
        connectAndSelect(u"long"_s);
        TranscriptListView *list = m_view->transcript()->list();
        // Up at the top: the button for older history and the one back to the latest show.
        (void)QTest::qWaitFor([&] { return m_view->shownSession()->hasMoreHistory(); });
        auto phase = std::make_shared<TranscriptFollowState::Phase>(TranscriptFollowState::Phase::Idle);
        connect(list, &TranscriptListView::scrollPhaseChanged, list, [phase](TranscriptFollowState::Phase p) { *phase = p; });
        wheel(list->viewport(), 120 * 3);
        list->verticalScrollBar()->setValue(0);
        // The wheel has come to rest at the top.
        (void)QTest::qWaitFor(
            [&] { return *phase == TranscriptFollowState::Phase::Idle && !list->isAnimatingScroll(); });
        (void)QTest::qWaitFor([&] {
            return list->findChild<QWidget *>(u"load-older-button"_s)
                && m_view->transcript()->backToLatestButton()->isVisible();
        });
        m_harness->waitForQuietHost();
        baseline = m_harness->host.requests().size();
        return m_window.get();
    };
    check.state = [&] {
        TranscriptListView *list = m_view->transcript()->list();
        return u"entries "_s + QString::number(list->entries().size())
            + (m_view->followsOutput() ? u" following"_s : QString())
            + (list->scrollY() == list->verticalScrollBar()->maximum() ? u" at-end"_s : QString()) + u" calls "_s
            + m_harness->methodsSince(baseline);
    };
    check.skip = [&](QAccessibleInterface *iface) {
        auto *widget = qobject_cast<QWidget *>(iface->object());
        return !widget || !m_view->transcript()->isAncestorOf(widget);
    };
    check.async = true;
    check.quiet = [&] { m_harness->waitForQuietHost(); };
    const test::ActionParityReport report = test::actionParity(check);
    QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
    QVERIFY2(report.controls.size() == 2 && report.changed == 2, qPrintable(report.controls.join(u'\n')));
}

void tst_ConversationView::emptyStateAndOneSetOfToggles()
{
    makeView();
    QVERIFY(m_view->emptyState()->isVisible());
    QVERIFY(!m_view->header()->isVisible());
    QCOMPARE(m_view->findChildren<QWidget *>(u"workspace-terminal-toggle"_s).size(), 1);
    QCOMPARE(m_view->findChildren<QWidget *>(u"workspace-tools-toggle"_s).size(), 1);
    QTest::mouseClick(m_view->findChild<QAbstractButton *>(u"workspace-terminal-toggle"_s), Qt::LeftButton);
    QTest::mouseClick(m_view->findChild<QAbstractButton *>(u"workspace-tools-toggle"_s), Qt::LeftButton);
    QCOMPARE(m_terminalToggles, 1);
    QCOMPARE(m_toolToggles, 1);

    // The banner shows over the empty state too, and its close button clears it at once.
    m_harness->store->errors()->showTransientError(u"创建会话失败：boom"_s);
    QVERIFY(m_view->errorNotice()->isVisible());
    QCOMPARE(m_view->errorNotice()->message(), u"创建会话失败：boom"_s);
    QVERIFY2(accessibilityProblems(m_window.get()).isEmpty(), qPrintable(accessibilityProblems(m_window.get()).join(u'\n')));
    QTest::mouseClick(m_view->errorNotice()->dismissButton(), Qt::LeftButton);
    QVERIFY(!m_harness->store->errors()->transientError());
    QTRY_VERIFY(!m_view->errorNotice()->isVisible());

    // A selected id whose model does not exist yet still shows the empty state.
    m_harness->connected();
    m_harness->store->selection()->selectSession(u"nowhere"_s);
    QVERIFY(m_view->emptyState()->isVisible() || m_view->shownSession());
    // "新建会话" asks the host for a session.
    const int before = m_harness->requestCount(u"session.create"_s);
    QTest::mouseClick(m_view->emptyState()->newSessionButton(), Qt::LeftButton);
    QTRY_COMPARE(m_harness->requestCount(u"session.create"_s), before + 1);
}

void tst_ConversationView::bannerTimerRestartsOnlyForANewText()
{
    makeView();
    m_view->setBannerDismissDelay(60000);
    AppModel *store = m_harness->store.get();
    store->errors()->showTransientError(u"first"_s);
    QVERIFY(m_view->bannerTimer().isActive());
    QTRY_VERIFY_WITH_TIMEOUT(m_view->bannerTimer().remainingTime() <= 59750, 5000);
    store->errors()->showTransientError(u"first"_s); // unchanged: keeps its timer
    QVERIFY(m_view->bannerTimer().remainingTime() <= 59750);
    store->errors()->showTransientError(u"second"_s); // new: six seconds of its own
    QVERIFY(m_view->bannerTimer().remainingTime() > 59750);
    QCOMPARE(m_view->errorNotice()->message(), u"second"_s);

    // When the time is up the store's error is dismissed and the banner leaves.
    m_view->setBannerDismissDelay(50);
    store->errors()->showTransientError(u"third"_s);
    QTRY_VERIFY(!store->errors()->transientError());
    QTRY_VERIFY(!m_view->errorNotice()->isVisible());
}

void tst_ConversationView::showingASessionResyncsUnlessASubagentIsShown()
{
    m_harness->world.addSession(session(u"a"_s, 2000));
    m_harness->world.addSession(session(u"b"_s, 1000));
    m_harness->world.appendEvent(u"a"_s, events::userMessage(u"a1"_s, u"hello"_s));
    makeView();
    connectAndSelect(u"a"_s);
    std::shared_ptr<SessionModel> a = m_view->shownSession();
    connectAndSelect(u"b"_s);
    a->markSubscribed(999); // the host is ahead of what the model folded: a gap
    QVERIFY(a->needsResync());
    const int before = m_harness->requestCount(u"session.history"_s);
    m_harness->store->selection()->selectSession(u"a"_s);
    QTRY_VERIFY(!a->needsResync());
    QTRY_VERIFY(m_harness->requestCount(u"session.history"_s) > before);

    // A subagent run shown in a session's place is not resynchronised from here.
    m_harness->world.setSubagents(u"a"_s, {sim::SimWorld::SubagentEntry{u"child"_s, u"child"_s, u"continuable"_s, {}, {}, {}}});
    SubagentListEntry child;
    child.kind = u"child"_s;
    child.id = u"child"_s;
    child.mode = u"continuable"_s;
    m_harness->store->selection()->selectSubagent(u"a"_s, child, true);
    QTRY_VERIFY(m_view->shownSession() && m_view->shownSession()->sessionId() == u"child"_s);
    std::shared_ptr<SessionModel> childModel = m_view->shownSession();
    QTRY_VERIFY_WITH_TIMEOUT(childModel->historyLoaded(), 10000);
    m_harness->store->selection()->selectSession(u"b"_s);
    QTRY_VERIFY(m_view->shownSession()->sessionId() == u"b"_s);
    m_harness->store->selection()->selectSubagent(u"a"_s, child, true);
    QTRY_VERIFY(m_view->shownSession().get() == childModel.get());
    // The header: back button, the subagent's label, no fork item.
    QVERIFY(m_view->header()->backButton()->isVisible());
    m_view->header()->menuButton()->click();
    QCOMPARE(m_view->header()->actionsMenu()->actions().size(), 1);
    m_view->header()->actionsMenu()->close();
}

void tst_ConversationView::headerTitleAndSurfaceSwitch()
{
    sim::SimWorld::Session titled = session(u"titled"_s, 3000);
    titled.title = u"修复登录页"_s;
    m_harness->world.addSession(titled);
    m_harness->world.addSession(session(u"s-untitled-0123456789"_s, 2000));
    makeView();
    connectAndSelect(u"titled"_s);
    QTRY_COMPARE(m_view->header()->title(), u"修复登录页"_s);
    QVERIFY(!m_view->header()->backButton()->isVisible());
    QCOMPARE(m_view->header()->height(), SessionHeader::kHeight);
    m_view->header()->menuButton()->click();
    QCOMPARE(m_view->header()->actionsMenu()->actions().size(), 2);
    m_view->header()->actionsMenu()->close();
    QVERIFY2(accessibilityProblems(m_window.get()).isEmpty(), qPrintable(accessibilityProblems(m_window.get()).join(u'\n')));

    // The trajectory tab: the surface changes at once and stays for the next session.
    QTest::mouseClick(m_view->header()->tab(ConversationSurface::trajectory), Qt::LeftButton);
    QCOMPARE(m_view->selectedSurface(), ConversationSurface::trajectory);
    QVERIFY(m_view->header()->tab(ConversationSurface::trajectory)->isSelected());
    QVERIFY(m_view->trajectory() && m_view->trajectory()->isVisible());
    QVERIFY(!m_view->transcript()->isVisible());
    QTest::mouseClick(m_view->header()->tab(ConversationSurface::trajectory), Qt::LeftButton);
    QCOMPARE(m_view->selectedSurface(), ConversationSurface::trajectory);
    connectAndSelect(u"s-untitled-0123456789"_s);
    QCOMPARE(m_view->selectedSurface(), ConversationSurface::trajectory);
    QVERIFY(!m_view->header()->title().isEmpty());
    QTest::mouseClick(m_view->header()->tab(ConversationSurface::chat), Qt::LeftButton);
    QVERIFY(m_view->transcript()->isVisible());
    QVERIFY(m_view->transcript()->followsOutput());
}

void tst_ConversationView::exportWritesTheArchiveAndReportsAFailedWrite()
{
    m_harness->world.addSession(session(u"exp-1234567890"_s, 1000));
    static const char bytes[] = "PK\x03\x04 archive bytes";
    const QByteArray archive(bytes, sizeof bytes - 1);
    m_harness->host.setExport(u"exp-1234567890"_s, archive);
    makeView();
    connectAndSelect(u"exp-1234567890"_s);
    QTemporaryDir dir;
    m_view->header()->setExportDirectory(dir.path());

    QPointer<QFileDialog> dialog;
    connect(m_view->header(), &SessionHeader::exportDialogOpened, this,
            [&dialog](QWidget *d) { dialog = qobject_cast<QFileDialog *>(d); });
    QTest::mouseClick(m_view->header()->logButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dialog && dialog->isVisible(), 10000);
    QCOMPARE(dialog->windowTitle(), u"导出会话日志"_s);
    QCOMPARE(dialog->labelText(QFileDialog::Accept), u"导出"_s);
    QVERIFY(dialog->selectedFiles().value(0).endsWith(u"nbd-session-exp-1234.zip"_s));
    auto typeName = [](QFileDialog *d, const QString &name) {
        auto *edit = d->findChild<QLineEdit *>(u"fileNameEdit"_s);
        QVERIFY(edit);
        edit->selectAll();
        QTest::keyClicks(edit, name);
    };
    QString chosen;
    connect(dialog, &QFileDialog::fileSelected, this, [&chosen](const QString &path) { chosen = path; });
    typeName(dialog, u"log.zip"_s);
    static_cast<QDialog *>(dialog.data())->accept();
    QCOMPARE(chosen, dir.filePath(u"log.zip"_s));
    QFile written(chosen);
    QTRY_VERIFY(written.exists());
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), archive);
    QVERIFY(!m_harness->store->errors()->transientError());

    // The menu's item starts the same flow; a place that cannot be written is reported.
    dialog.clear();
    m_view->header()->menuButton()->click();
    m_view->header()->actionsMenu()->actions().first()->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(dialog && dialog->isVisible(), 10000);
    QVERIFY(dialog->selectedFiles().value(0).endsWith(u"nbd-session-exp-1234.zip"_s));
    typeName(dialog, u"missing/folder/log.zip"_s);
    static_cast<QDialog *>(dialog.data())->accept();
    QTRY_VERIFY(m_harness->store->errors()->transientError().has_value());
    QVERIFY(m_harness->store->errors()->transientError()->startsWith(u"导出失败："_s));
    QVERIFY(m_view->errorNotice()->isVisible());
}

// A disk that fills up part way, or is full before the first byte: the banner names the
// system's reason, not an unknown error, and no partial archive is left behind.
void tst_ConversationView::exportToAFullDiskSaysWhy()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString mountPoint = dir.filePath(u"small"_s);
    QVERIFY(QDir().mkpath(mountPoint));
    // A 64 KiB file system of its own; needs the right to mount (root in CI).
    if (QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=64k"_s, u"tmpfs"_s, mountPoint}) != 0)
        QSKIP("cannot mount a small tmpfs here (needs root and the right to mount)");
    const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_s, {u"-l"_s, mountPoint}); });

    m_harness->world.addSession(session(u"full-1"_s, 1000));
    makeView();
    connectAndSelect(u"full-1"_s);
    m_view->header()->setExportDirectory(mountPoint);
    QPointer<QFileDialog> dialog;
    connect(m_view->header(), &SessionHeader::exportDialogOpened, this,
            [&dialog](QWidget *d) { dialog = qobject_cast<QFileDialog *>(d); });
    // The system's reason as Qt words it, in the application's language.
    const QString expected = u"导出失败："_s + QCoreApplication::translate("QIODevice", "No space left on device");
    QVERIFY(!expected.contains(u"未知错误"_s));

    struct Case
    {
        const char *name;
        qsizetype archiveSize;
        qsizetype filler; // bytes written to the disk before the export
    };
    const Case cases[] = {{"fills up part way", 512 * 1024, 0}, {"already full", 200, 64 * 1024}};
    for (const Case &c : cases) {
        if (c.filler > 0) {
            QFile filler(QDir(mountPoint).filePath(u"filler"_s));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            filler.write(QByteArray(c.filler, 'x'));
            filler.close();
        }
        m_harness->host.setExport(u"full-1"_s, QByteArray(c.archiveSize, 'z'));
        m_harness->store->errors()->dismissTransientError();
        dialog.clear();
        QTest::mouseClick(m_view->header()->logButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog && dialog->isVisible(), 10000);
        auto *edit = dialog->findChild<QLineEdit *>(u"fileNameEdit"_s);
        QVERIFY(edit);
        edit->selectAll();
        QTest::keyClicks(edit, u"log.zip"_s);
        static_cast<QDialog *>(dialog.data())->accept();
        QTRY_VERIFY2(m_harness->store->errors()->transientError().has_value(), c.name);
        QCOMPARE(*m_harness->store->errors()->transientError(), expected);
        QVERIFY2(!QFile::exists(QDir(mountPoint).filePath(u"log.zip"_s)), c.name);
        const QStringList left = QDir(mountPoint).entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(left.isEmpty() || left == QStringList{u"filler"_s}, qPrintable(left.join(u' ')));
    }
}

// ---- Dock ----

void tst_ConversationView::unsentPromptComesBack_data()
{
    QTest::addColumn<int>("reply"); // 0 accepted, 1 not accepted, 2 host error, 3 HTTP failure, 4 host gone
    QTest::addColumn<bool>("typeMeanwhile");
    QTest::addColumn<QString>("left");
    QTest::newRow("accepted") << 0 << false << QString();
    QTest::newRow("not accepted") << 1 << false << u"  first line\nsecond "_s;
    QTest::newRow("host error") << 2 << false << u"  first line\nsecond "_s;
    QTest::newRow("HTTP failure") << 3 << false << u"  first line\nsecond "_s;
    QTest::newRow("host gone") << 4 << false << u"  first line\nsecond "_s;
    QTest::newRow("failure after new typing") << 2 << true << u"new"_s;
}

// Return sends and empties the field; a prompt the host did not take comes back exactly as
// typed, unless the user has typed something else since.
void tst_ConversationView::unsentPromptComesBack()
{
    QFETCH(int, reply);
    QFETCH(bool, typeMeanwhile);
    QFETCH(QString, left);
    m_harness->world.addSession(session(u"p"_s, 1000));
    makeView();
    connectAndSelect(u"p"_s);
    m_harness->waitForStreams();
    const int delay = typeMeanwhile ? 400 : 0;
    const QList<sim::Reply> replies = {sim::Reply::value(JSONValue::object({{u"accepted"_s, true}})),
                                       sim::Reply::value(JSONValue::object({{u"accepted"_s, false}})),
                                       sim::Reply::error(u"busy"_s, u"try later"_s), sim::Reply::status(500),
                                       sim::Reply::drop()};
    m_harness->host.setReply(u"session.prompt"_s, replies[reply].delayed(delay));
    QSignalSpy written(&m_harness->host, &sim::SimHost::requestFinished);
    auto *field = m_view->dock()->composer()->findChild<QPlainTextEdit *>(u"composer-prompt"_s);
    QVERIFY(field);
    field->setFocus();
    QTest::keyClicks(field, u"  first line"_s);
    QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(field, u"second "_s);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->toPlainText(), QString());
    if (typeMeanwhile)
        QTest::keyClicks(field, u"new"_s);
    // A dropped connection may be tried again by the network layer.
    QTRY_VERIFY_WITH_TIMEOUT(m_harness->requestCount(u"session.prompt"_s) >= 1, 10000);
    if (reply == 0) {
        // Once the accepted prompt's answer is in, the field stays empty.
        QTRY_COMPARE_WITH_TIMEOUT(answered(written, u"session.prompt"_s).size(), 1, 10000);
        QVERIFY(m_harness->methodsThroughBarrier().endsWith(kBarrierMethod));
        QCOMPARE(field->toPlainText(), QString());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(m_harness->store->errors()->transientError().has_value(), 10000);
    QTRY_COMPARE(field->toPlainText(), left);
    // The text can be sent again as it stands.
    if (!typeMeanwhile) {
        m_harness->host.setReply(u"session.prompt"_s, replies[0]);
        const int before = m_harness->requestCount(u"session.prompt"_s);
        QTest::keyClick(field, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(m_harness->requestCount(u"session.prompt"_s), before + 1, 10000);
        QCOMPARE(field->toPlainText(), QString());
        QCOMPARE(promptText(m_harness->host.requests(u"session.prompt"_s).last()), left);
    }
}

// The host goes away mid-turn: the working indicator and the stop button go, and the banner
// says that the connection was lost.
void tst_ConversationView::lostHostEndsTheRunningTurn()
{
    sim::SimWorld::Session busy = session(u"busy"_s, 1000);
    busy.running = true;
    m_harness->world.addSession(busy);
    m_harness->makeStore()->connection()->setReconnectDelay(100);
    makeView();
    connectAndSelect(u"busy"_s);
    m_harness->waitForStreams();
    TranscriptListView *list = m_view->transcript()->list();
    QTRY_VERIFY_WITH_TIMEOUT(list->viewFor(u"deep-diving-status"_s) != nullptr, 10000);
    QWidget *composer = m_view->dock()->composer();
    QVERIFY(composer);
    auto *action = composer->findChild<QAbstractButton *>(u"composer-action"_s);
    QVERIFY(action);
    auto stopShown = [action] { return action->accessibleName() == u"停止运行"_s; };
    QVERIFY(stopShown());

    m_harness->host.stop();
    QTRY_VERIFY_WITH_TIMEOUT(list->viewFor(u"deep-diving-status"_s) == nullptr, 10000);
    QVERIFY(!m_view->shownSession()->running());
    QTRY_VERIFY(!stopShown());
    QTRY_VERIFY(m_view->errorNotice()->isVisible());
    QCOMPARE(m_view->errorNotice()->message(), u"与主机的连接已断开"_s);
}

// A draft typed with one session open goes along to a session that was never opened before.
void tst_ConversationView::draftSurvivesTheFirstVisitOfASession()
{
    m_harness->world.addSession(session(u"seen"_s, 1000));
    m_harness->world.addSession(session(u"new"_s, 900));
    makeView();
    connectAndSelect(u"seen"_s);
    QVERIFY(!m_harness->store->selection()->sessionModel(u"new"_s));
    auto *field = m_view->dock()->composer()->findChild<QPlainTextEdit *>(u"composer-prompt"_s);
    field->setFocus();
    QTest::keyClicks(field, u"half a thought"_s);
    m_harness->store->selection()->selectSession(u"new"_s);
    QTRY_VERIFY_WITH_TIMEOUT(m_view->shownSession() && m_view->shownSession()->sessionId() == u"new"_s, 10000);
    QTRY_VERIFY(m_view->dock()->composer() && m_view->dock()->composer()->isVisible());
    auto *shown = m_view->dock()->composer()->findChild<QPlainTextEdit *>(u"composer-prompt"_s);
    QCOMPARE(shown->toPlainText(), u"half a thought"_s);
}

void tst_ConversationView::takeoverCardsOnlyOnTheChatSurface()
{
    m_harness->world.addSession(session(u"ask"_s, 1000));
    m_harness->world.addSession(session(u"other"_s, 900));
    makeView();
    connectAndSelect(u"ask"_s);
    m_harness->waitForStreams();
    BottomDock *dock = m_view->dock();
    QCOMPARE(dock->input(), BottomDock::Input::Composer);
    QVERIFY(dock->composer() && dock->composer()->isVisible());
    // In a wide pane the composer's card is as wide as it may be, centred in the dock.
    auto centreOffset = [dock](QWidget *w) { return w->mapTo(dock, w->rect().center()).x() - dock->rect().center().x(); };
    QWidget *composerCard = dock->composer()->findChild<QPlainTextEdit *>(u"composer-prompt"_s)->parentWidget();
    QTRY_COMPARE(composerCard->width(), 780);
    QVERIFY(std::abs(centreOffset(composerCard)) <= 1);

    // Another session's question changes nothing here.
    m_harness->world.pushQuestionRequested(u"q-other"_s, JSONValue::object({{u"sessionId"_s, u"other"_s},
        {u"questions"_s, JSONValue::array({JSONValue::object({{u"id"_s, u"x"_s}, {u"question"_s, u"Other?"_s}})})}}));
    QTRY_COMPARE(m_harness->store->interactions()->pendingQuestions().size(), size_t(1));
    QCOMPARE(dock->input(), BottomDock::Input::Composer);

    m_harness->world.pushApprovalRequested(u"a-1"_s, JSONValue::object({{u"sessionId"_s, u"ask"_s}, {u"approvalId"_s, u"ap1"_s},
                                                                        {u"toolName"_s, u"bash"_s}}));
    for (const QString &id : {u"q-1"_s, u"q-2"_s})
        m_harness->world.pushQuestionRequested(id, JSONValue::object({{u"sessionId"_s, u"ask"_s},
            {u"questions"_s, JSONValue::array({JSONValue::object({{u"id"_s, id}, {u"question"_s, u"Which? "_s + id}})})}}));
    QTRY_COMPARE(m_harness->store->interactions()->pendingQuestions().size(), size_t(3));
    QTRY_COMPARE(dock->input(), BottomDock::Input::Cards);
    const QList<QWidget *> cards = dock->cards();
    QCOMPARE(cards.size(), 3);
    QCOMPARE(cards[0]->objectName(), u"question-card"_s);
    QCOMPARE(cards[1]->objectName(), u"question-card"_s);
    QCOMPARE(cards[2]->objectName(), u"approval-card"_s);
    // As wide as the transcript's column and centred under it.
    for (QWidget *card : cards) {
        QTRY_COMPARE(card->width(), 748);
        QVERIFY(std::abs(centreOffset(card)) <= 1);
    }
    QVERIFY(!dock->composer() || !dock->composer()->isVisible());
    QVERIFY(!BottomDock::showsExtras(*m_harness->store->interactions(), *m_harness->store->selection(),
                                     *m_view->shownSession(), ConversationSurface::chat));

    // On the trajectory the composer stays.
    QTest::mouseClick(m_view->header()->tab(ConversationSurface::trajectory), Qt::LeftButton);
    QCOMPARE(dock->input(), BottomDock::Input::Composer);
    QVERIFY(dock->composer()->isVisible());
    QVERIFY(dock->cards().isEmpty());
    QTest::mouseClick(m_view->header()->tab(ConversationSurface::chat), Qt::LeftButton);
    QCOMPARE(dock->input(), BottomDock::Input::Cards);
    QVERIFY2(accessibilityProblems(m_window.get()).isEmpty(), qPrintable(accessibilityProblems(m_window.get()).join(u'\n')));
}

// A tool name with no break in it is cut in the middle of the card's one-line title, beside
// the buttons, the whole title in its tooltip; pressing "允许一次" twice (the host refuses the
// second answer, the first settled it) shows no error.
void tst_ConversationView::approvalCardElidesItsToolNameAndAnswersTwiceQuietly()
{
    m_harness->world.addSession(session(u"ask"_s, 1000));
    makeView(QSize(640, 700));
    connectAndSelect(u"ask"_s);
    m_harness->waitForStreams();
    const QString tool = u"mcp__workspace_indexer__"_s + QString(90, u'x') + u"_END"_s;
    m_harness->world.pushApprovalRequested(u"a-1"_s, JSONValue::object({{u"sessionId"_s, u"ask"_s},
                                                                        {u"approvalId"_s, u"ap1"_s},
                                                                        {u"toolName"_s, tool}}));
    BottomDock *dock = m_view->dock();
    QTRY_COMPARE(dock->input(), BottomDock::Input::Cards);
    QWidget *card = dock->cards().value(0);
    QVERIFY(card);
    auto *title = card->findChild<ElidedLabel *>(u"approval-title"_s);
    auto *reject = card->findChild<QAbstractButton *>(u"approval-reject"_s);
    auto *allow = card->findChild<QAbstractButton *>(u"approval-allow"_s);
    QVERIFY(title && reject && allow);
    QTRY_VERIFY(title->width() > 0);
    const QString whole = u"工具「\u2068"_s + tool + u"\u2069」请求执行许可"_s;
    // One line that keeps the name's start and what is asked, left of the buttons, all inside the card.
    QCOMPARE(title->height(), title->fontMetrics().height());
    const QString shown = title->shownText();
    QVERIFY2(shown.startsWith(u"工具「\u2068mcp__"_s) && shown.endsWith(u"请求执行许可"_s) && shown.contains(u'…'),
             qPrintable(shown));
    QVERIFY(title->fontMetrics().horizontalAdvance(shown) <= title->width());
    QCOMPARE(title->toolTip().remove(u'\n'), whole);
    QCOMPARE(title->accessibleName(), whole);
    QVERIFY(title->mapTo(card, QPoint(title->width(), 0)).x() <= reject->x());
    QVERIFY(card->rect().contains(allow->geometry()));
    QVERIFY(m_window->rect().contains(QRect(card->mapTo(m_window.get(), QPoint()), card->size())));
    // The title is drawn, not cut off below the card's edge.
    QVERIFY(paintsNear(title->grab().toImage(), Theme::primaryText(), 90));

    QTest::mouseClick(allow, Qt::LeftButton);
    QTest::mouseClick(allow, Qt::LeftButton);
    QTRY_COMPARE(m_harness->requestCount(u"respond"_s), 2);
    QTRY_VERIFY(m_harness->store->interactions()->pendingApprovals().empty());
    QCOMPARE(m_harness->world.answers().size(), 1);
    QTRY_COMPARE(dock->input(), BottomDock::Input::Composer);
    QCOMPARE(m_harness->store->errors()->transientError(), std::nullopt);
    QVERIFY(!m_view->errorNotice()->isVisible());

    // A refusal for another reason is still an error, and the card stays to be answered again.
    m_harness->world.pushApprovalRequested(u"a-2"_s, JSONValue::object({{u"sessionId"_s, u"ask"_s},
                                                                        {u"approvalId"_s, u"ap2"_s},
                                                                        {u"toolName"_s, u"bash"_s}}));
    QTRY_COMPARE(dock->input(), BottomDock::Input::Cards);
    m_harness->world.setRejectAnswers(u"not now"_s);
    QTest::mouseClick(dock->cards().value(0)->findChild<QAbstractButton *>(u"approval-allow"_s), Qt::LeftButton);
    QTRY_COMPARE(m_harness->store->errors()->transientError(),
                 std::optional<QString>(u"审批响应失败：respond rejected: not now"_s));
    QVERIFY(m_view->errorNotice()->isVisible());
    QCOMPARE(m_harness->store->interactions()->pendingApprovals().size(), size_t(1));
}

void tst_ConversationView::readOnlyComposerRules_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("parentAvailable");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("one-shot, running") << u"one-shot"_s << true << true << true;
    QTest::newRow("one-shot, idle") << u"one-shot"_s << true << false << true;
    QTest::newRow("parent gone, idle") << u"continuable"_s << false << false << true;
    QTest::newRow("parent gone, running") << u"continuable"_s << false << true << false;
    QTest::newRow("parent there") << u"continuable"_s << true << false << false;
}

void tst_ConversationView::readOnlyComposerRules()
{
    QFETCH(QString, mode);
    QFETCH(bool, parentAvailable);
    QFETCH(bool, running);
    m_harness->world.addSession(session(u"parent"_s, 1000));
    makeView();
    connectAndSelect(u"parent"_s);
    m_harness->world.setSubagents(u"parent"_s, {sim::SimWorld::SubagentEntry{u"kid"_s, u"child"_s, mode, {}, {}, {}}}, parentAvailable);
    SubagentListEntry kid;
    kid.kind = u"child"_s;
    kid.id = u"kid"_s;
    kid.mode = mode;
    m_harness->store->selection()->selectSubagent(u"parent"_s, kid, parentAvailable);
    QTRY_VERIFY(m_view->shownSession() && m_view->shownSession()->sessionId() == u"kid"_s);
    m_view->shownSession()->setRunning(running);
    QFETCH(bool, readOnly);
    QTRY_COMPARE(m_view->dock()->input(), readOnly ? BottomDock::Input::ReadOnlyComposer : BottomDock::Input::Composer);
    QCOMPARE(m_view->dock()->readOnlyComposer() != nullptr && m_view->dock()->readOnlyComposer()->isVisible(), readOnly);
    // A subagent run never shows the queue or the goal.
    QVERIFY(!BottomDock::showsExtras(*m_harness->store->interactions(), *m_harness->store->selection(),
                                     *m_view->shownSession(), ConversationSurface::chat));
}

void tst_ConversationView::queueDockActionsReachTheHost()
{
    m_harness->world.addSession(session(u"q"_s, 1000));
    makeView();
    connectAndSelect(u"q"_s);
    m_harness->waitForStreams();
    SessionModel *model = m_view->shownSession().get();

    // One message: no header, its row with the lead icon.
    m_harness->world.pushQueue(u"q"_s, JSONValue::array({queueItem(u"i1"_s, u"first queued"_s)}));
    QTRY_VERIFY(m_view->dock()->queuedDock() && m_view->dock()->queuedDock()->isVisible());
    QueuedMessagesDock *dock = m_view->dock()->queuedDock();
    QVERIFY(!dock->findChild<QWidget *>(u"queued-messages-header"_s));
    QCOMPARE(dock->findChildren<QWidget *>(u"queued-message"_s).size(), 1);

    // Two: folded under "2 条排队消息"; a click opens the list, without lead icons.
    m_harness->world.pushQueue(u"q"_s, JSONValue::array({queueItem(u"i1"_s, u"first queued"_s), queueItem(u"i2"_s, u"second"_s),
                                                         queueItem(u"s1"_s, u"steering one"_s, u"steering"_s)}));
    QTRY_COMPARE(model->queuedMessages().size(), size_t(2));
    QTRY_VERIFY(dock->findChild<RowHeaderButton *>(u"queued-messages-header"_s));
    auto *header = dock->findChild<RowHeaderButton *>(u"queued-messages-header"_s);
    QCOMPARE(header->accessibleName(), u"2 条排队消息"_s);
    QCOMPARE(header->findChild<IconView *>(u"queued-messages-chevron"_s)->symbolName(), u"chevron.up"_s);
    QTRY_COMPARE(dock->findChildren<QWidget *>(u"queued-message"_s).size(), 0);
    // Folded, the header alone is the dock: it is given its whole height on screen.
    QTRY_VERIFY2(dock->height() >= header->height() && header->height() >= 28,
                 qPrintable(QString::number(dock->height())));
    QCOMPARE(header->visibleRegion().boundingRect().height(), header->height());
    QTest::mouseClick(header, Qt::LeftButton);
    QTRY_COMPARE(dock->findChildren<QWidget *>(u"queued-message"_s).size(), 2);
    QVERIFY(!dock->isCollapsed());

    // Steering only while running.
    auto rowOf = [&](const QString &id) -> QWidget * {
        for (QWidget *row : dock->findChildren<QWidget *>(u"queued-message"_s))
            if (row->property("messageId").toString() == id && row->isVisible())
                return row;
        return nullptr;
    };
    QTRY_VERIFY(rowOf(u"i1"_s));
    auto *steer = rowOf(u"i1"_s)->findChild<SymbolButton *>(u"queued-steer"_s);
    QVERIFY(!steer->isEnabled());
    QCOMPARE(steer->accessibleName(), u"仅运行中可插话发送"_s);
    QVERIFY2(accessibilityProblems(m_window.get()).isEmpty(), qPrintable(accessibilityProblems(m_window.get()).join(u'\n')));

    const int before = m_harness->requestCount(u"session.updateQueue"_s);
    QTest::mouseClick(rowOf(u"i2"_s)->findChild<SymbolButton *>(u"queued-remove"_s), Qt::LeftButton);
    QTRY_COMPARE(m_harness->requestCount(u"session.updateQueue"_s), before + 1);
    JSONValue payload = m_harness->host.requests(u"session.updateQueue"_s).back().payload;
    QCOMPARE(payload[u"itemId"]->string().value_or(QString()), u"i2"_s);
    QVERIFY(*payload[u"action"] == JSONValue::object({{u"kind"_s, u"remove"_s}}));

    model->setRunning(true);
    QTRY_VERIFY(rowOf(u"i1"_s) && rowOf(u"i1"_s)->findChild<SymbolButton *>(u"queued-steer"_s)->isEnabled());
    QCOMPARE(rowOf(u"i1"_s)->findChild<SymbolButton *>(u"queued-steer"_s)->accessibleName(), u"插话发送"_s);
    QTest::mouseClick(rowOf(u"i1"_s)->findChild<SymbolButton *>(u"queued-steer"_s), Qt::LeftButton);
    QTRY_COMPARE(m_harness->requestCount(u"session.updateQueue"_s), before + 2);
    payload = m_harness->host.requests(u"session.updateQueue"_s).back().payload;
    QVERIFY(*payload[u"action"] == JSONValue::object({{u"kind"_s, u"steer"_s}}));

    // Editing: blanks only cannot be saved; the words are sent trimmed.
    QTest::mouseClick(rowOf(u"i1"_s)->findChild<SymbolButton *>(u"queued-edit"_s), Qt::LeftButton);
    QTRY_VERIFY(dock->findChild<QPlainTextEdit *>(u"queued-edit-field"_s));
    auto *field = dock->findChild<QPlainTextEdit *>(u"queued-edit-field"_s);
    QCOMPARE(field->toPlainText(), u"first queued"_s);
    field->selectAll();
    QTest::keyClicks(field, u"   "_s);
    auto *save = dock->findChild<SymbolButton *>(u"queued-save-edit"_s);
    QVERIFY(!save->isEnabled());
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(dock->editingId().has_value());
    QTest::keyClicks(field, u"new words  "_s);
    QVERIFY(save->isEnabled());
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_COMPARE(m_harness->requestCount(u"session.updateQueue"_s), before + 3);
    payload = m_harness->host.requests(u"session.updateQueue"_s).back().payload;
    const JSONValue expected = JSONValue::object({{u"kind"_s, u"edit"_s},
        {u"content"_s, JSONValue::array({JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, u"new words"_s}})})}});
    QVERIFY(*payload[u"action"] == expected);
    QVERIFY(!dock->editingId().has_value());

    // The queue emptying ends an edit and clears the draft.
    QTest::mouseClick(rowOf(u"i1"_s)->findChild<SymbolButton *>(u"queued-edit"_s), Qt::LeftButton);
    QVERIFY(dock->editingId().has_value());
    m_harness->world.pushQueue(u"q"_s, JSONValue::array({}));
    QTRY_VERIFY(model->queuedMessages().empty());
    QTRY_VERIFY(!m_view->dock()->queuedDock() || !m_view->dock()->queuedDock()->isVisible());
}

// Every control over and under the transcript (header, surface switch, panel toggles, error
// banner, queued messages) does by its accessibility action what its click does; the surface
// switch is a tab list that says which tab is selected.
void tst_ConversationView::headerAndDockActionsDoWhatClicksDo()
{
    sim::SimWorld::Session titled = session(u"acts"_s, 1000);
    titled.title = u"修复登录页"_s;
    m_harness->world.addSession(titled);
    m_harness->host.setExport(u"acts"_s, QByteArray("PK\x03\x04", 4));
    makeView();
    connectAndSelect(u"acts"_s);
    m_harness->waitForStreams();
    SessionModel *model = m_view->shownSession().get();
    // Running, so that every queue button can act.
    model->setRunning(true);
    const JSONValue queue = JSONValue::array({queueItem(u"i1"_s, u"first queued"_s), queueItem(u"i2"_s, u"second"_s)});

    qsizetype baseline = 0;
    int exportDialogs = 0;
    int shown = 0;
    QWidget *composer = nullptr;
    test::ActionParityCheck check;
    check.open = [&]() -> QWidget * {
        m_window.reset();
        makeView();
        composer = m_view->dock()->composer();
        (void)QTest::qWaitFor([&] { return m_view->shownSession().get() == model; });
        m_view->setBannerDismissDelay(600000);
        // The queue as it was: an earlier removal may have changed it on the host.
        m_harness->world.pushQueue(u"acts"_s, queue);
        (void)QTest::qWaitFor([&] { return model->queuedMessages().size() == 2 && m_view->dock()->queuedDock(); });
        // Opened, so that the rows' buttons show.
        if (auto *header = m_view->findChild<RowHeaderButton *>(u"queued-messages-header"_s))
            QTest::mouseClick(header, Qt::LeftButton);
        (void)QTest::qWaitFor([&] { return m_view->findChild<QWidget *>(u"queued-edit"_s) != nullptr; });
        m_harness->store->errors()->showTransientError(u"出错了 "_s + QString::number(++shown));
        connect(m_view->header(), &SessionHeader::exportDialogOpened, m_view, [&] { ++exportDialogs; });
        exportDialogs = 0;
        m_toolToggles = m_terminalToggles = 0;
        m_harness->waitForQuietHost();
        baseline = m_harness->host.requests().size();
        return m_window.get();
    };
    check.state = [&] {
        QStringList calls;
        const QList<sim::LoggedRequest> all = m_harness->host.requests();
        for (qsizetype i = baseline; i < all.size(); ++i) {
            QString call = all[i].method;
            if (const JSONValue *action = all[i].payload.find(u"action"))
                call += u' ' + QString::fromUtf8(action->data().value_or(QByteArray())) + u' '
                    + all[i].payload[u"itemId"]->string().value_or(QString());
            calls << call;
        }
        QueuedMessagesDock *dock = m_view->dock()->queuedDock();
        return u"surface "_s + conversationSurfaceRawValue(m_view->selectedSurface()) + u" toggles "_s
            + QString::number(m_terminalToggles) + u'/' + QString::number(m_toolToggles)
            + (m_harness->store->errors()->transientError() ? u" error"_s : QString())
            + (dock && dock->isCollapsed() ? u" queue-folded"_s : QString())
            + (dock && dock->editingId() ? u" editing "_s + *dock->editingId() : QString())
            + u" export-dialogs "_s + QString::number(exportDialogs) + u" calls "_s + calls.join(u',');
    };
    // The composer and the rows have parity walks of their own.
    check.skip = [&](QAccessibleInterface *iface) {
        auto *widget = qobject_cast<QWidget *>(iface->object());
        return widget && ((composer && composer->isAncestorOf(widget)) || m_view->transcript()->isAncestorOf(widget));
    };
    check.async = true;
    check.quiet = [&] { m_harness->waitForQuietHost(); };
    const test::ActionParityReport report = test::actionParity(check);
    QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
    // Actions menu, log export, two tabs, two toggles, the banner's close, the queue's header
    // and three buttons in each of its two rows.
    QVERIFY2(report.controls.size() >= 14, qPrintable(report.controls.join(u'\n')));
    // Only the tab already selected changes nothing.
    QVERIFY2(report.changed >= report.controls.size() - 1, qPrintable(report.controls.join(u'\n')));

    // The switch as assistive technology sees it: two tabs, the selected one marked.
    check.open();
    QAccessibleInterface *chat = QAccessible::queryAccessibleInterface(m_view->header()->tab(ConversationSurface::chat));
    QAccessibleInterface *trajectory =
        QAccessible::queryAccessibleInterface(m_view->header()->tab(ConversationSurface::trajectory));
    QCOMPARE(chat->role(), QAccessible::PageTab);
    QCOMPARE(chat->parent()->role(), QAccessible::PageTabList);
    QVERIFY(chat->state().selected);
    QVERIFY(!trajectory->state().selected);
    trajectory->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(m_view->selectedSurface(), ConversationSurface::trajectory);
    QVERIFY(trajectory->state().selected);
    QVERIFY(!chat->state().selected);
    // From the keyboard, in the order they are drawn: the title row left to right, then the
    // tabs; Return on a tab selects it.
    QWidget *header = m_view->header();
    QList<QWidget *> expected{m_view->header()->menuButton(), m_view->header()->logButton(),
                              m_view->findChild<QWidget *>(u"workspace-terminal-toggle"_s),
                              m_view->findChild<QWidget *>(u"workspace-tools-toggle"_s),
                              m_view->header()->tab(ConversationSurface::chat),
                              m_view->header()->tab(ConversationSurface::trajectory)};
    expected.front()->setFocus(Qt::TabFocusReason);
    QStringList reached{expected.front()->objectName()};
    for (qsizetype i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : u"-"_s);
    }
    QStringList names;
    for (QWidget *w : expected)
        names << w->objectName();
    QCOMPARE(reached, names);
    QVERIFY(header->isAncestorOf(QApplication::focusWidget()));
    m_view->header()->tab(ConversationSurface::chat)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_view->header()->tab(ConversationSurface::chat), Qt::Key_Return);
    QCOMPARE(m_view->selectedSurface(), ConversationSurface::chat);
}

// ---- Rows ----

void tst_ConversationView::toolChipOpensAndShowsFailureInRed()
{
    QWidget window;
    auto *column = new QVBoxLayout(&window);
    BlockItem running;
    running.kind = BlockKind::toolCall;
    running.toolName = u"bash"_s;
    running.arguments = u"{\"b\":2,\"a\":\"x\"}"_s;
    auto *chip = new ToolCallChip(running);
    column->addWidget(chip);
    window.resize(600, 300);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!chip->isExpanded());
    QVERIFY(chip->header()->accessibleName().contains(u"运行中"_s));
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));

    // A running call opens too, showing the sorted arguments.
    QTest::mouseClick(chip->header(), Qt::LeftButton);
    QVERIFY(chip->isExpanded());
    auto *arguments = chip->findChild<QLabel *>(u"tool-arguments"_s);
    QVERIFY(arguments);
    QCOMPARE(arguments->text(), u"{\n  \"a\" : \"x\",\n  \"b\" : 2\n}"_s);
    QVERIFY(!chip->findChild<QLabel *>(u"tool-result"_s));

    BlockItem failed = running;
    failed.resultText = u"command not found"_s;
    failed.resultIsError = true;
    chip->setBlock(failed);
    QLabel *word = nullptr;
    for (QLabel *label : chip->header()->findChildren<QLabel *>())
        if (label->text() == u"失败"_s)
            word = label;
    QVERIFY(word && word->isVisible());
    QCOMPARE(word->palette().color(QPalette::WindowText), Theme::systemRed());
    // Drawn red on screen, inside the header button as well: its pixels are mostly red.
    const QImage drawn = chip->header()->grab(word->geometry()).toImage();
    int red = 0;
    int dark = 0;
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
            const QColor c = drawn.pixelColor(x, y);
            if (c.red() > 150 && c.green() < 110 && c.blue() < 110)
                ++red;
            else if (c.red() < 90 && c.green() < 90 && c.blue() < 90)
                ++dark;
        }
    }
    QVERIFY2(red > 10 && dark < red, qPrintable(QString::number(red) + u" red, "_s + QString::number(dark) + u" dark"_s));
    QTRY_VERIFY(chip->findChild<QLabel *>(u"tool-result"_s));
    QCOMPARE(chip->findChild<QLabel *>(u"tool-result"_s)->palette().color(QPalette::WindowText), Theme::systemRed());
    QCOMPARE(chip->findChild<IconView *>()->symbolName(), u"xmark.circle.fill"_s);
    // Space on the focused header closes it again.
    chip->header()->setFocus();
    QTest::keyClick(chip->header(), Qt::Key_Space);
    QVERIFY(!chip->isExpanded());
}

// Streaming text grows in pieces: a delta changes only the last piece, every piece shows all
// of its lines, and text is selected with the mouse and copied with the keyboard.
void tst_ConversationView::streamingTextKeepsFinishedPiecesAndSelects()
{
    QWidget window;
    auto *column = new QVBoxLayout(&window);
    QString text;
    for (int line = 0; line < 12; ++line)
        text += u"第 "_s + QString::number(line) + u" 行 "_s + longText(12, u"word"_s) + u'\n';
    auto *streaming = new StreamingText(text);
    column->addWidget(streaming);
    column->addStretch();
    window.resize(520, 900);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto pieces = streaming->findChildren<StreamingTextPiece *>(u"assistant-text"_s);
    QCOMPARE(qsizetype(pieces.size()), StreamingText::chunksOf(text).size());
    QVERIFY(pieces.size() >= 2);
    QStringList joined;
    for (StreamingTextPiece *piece : pieces)
        joined << piece->text();
    QCOMPARE(joined.join(u'\n'), text);
    // Each piece is as tall as its lines, and its lines wrap: narrower, it is taller.
    const int lineHeight = QFontMetrics(pieces.front()->font()).height();
    for (StreamingTextPiece *piece : pieces) {
        QCOMPARE(piece->height(), piece->heightForWidth(piece->width()));
        QVERIFY(piece->height() >= piece->text().count(u'\n') * lineHeight);
        QVERIFY(piece->heightForWidth(piece->width() / 2) > piece->height());
    }

    // A delta: the finished pieces keep their text, only the last one grows.
    QPointer<StreamingTextPiece> first = pieces.front();
    const QString firstText = first->text();
    streaming->setText(text + u"尾巴"_s);
    QVERIFY(first);
    QCOMPARE(first->text(), firstText);
    QVERIFY(streaming->findChildren<StreamingTextPiece *>(u"assistant-text"_s).back()->text().endsWith(u"尾巴"_s));
    // The pieces always hold the text, whether it grew by many pieces at once or was replaced.
    const auto joinedPieces = [&] {
        QStringList parts;
        for (StreamingTextPiece *piece : streaming->findChildren<StreamingTextPiece *>(u"assistant-text"_s))
            if (!piece->isHidden())
                parts << piece->text();
        return parts.join(u'\n');
    };
    const QString grown = text + u"尾巴\n"_s + text + text;
    streaming->setText(grown);
    QCOMPARE(joinedPieces(), grown);
    QCOMPARE(first->text(), firstText);
    const QString replaced = u"新的开头\n"_s + text;
    streaming->setText(replaced);
    QCOMPARE(joinedPieces(), replaced);
    streaming->setText(text);
    QCOMPARE(joinedPieces(), text);

    // Drag across the start of the first piece, then copy.
    QTest::mousePress(first, Qt::LeftButton, {}, QPoint(1, lineHeight / 2));
    QMouseEvent move(QEvent::MouseMove, QPointF(first->width() / 2, lineHeight / 2), first->mapToGlobal(QPointF(first->width() / 2, lineHeight / 2)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(first, &move);
    QTest::mouseRelease(first, Qt::LeftButton, {}, QPoint(first->width() / 2, lineHeight / 2));
    const QString selected = first->selectedText();
    QVERIFY2(selected.startsWith(u"第 0 行"_s) && selected.size() < firstText.size(), qPrintable(selected));
    QTest::keyClick(first, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), selected);
    QTest::keyClick(first, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(first, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), firstText);
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));
}

// A long answer is parsed off the main thread, both what it shows and what a screen reader
// hears; its row takes the height of what the parse found.
void tst_ConversationView::longAnswerIsParsedAwayAndItsRowFitsIt()
{
    auto model = SessionModel::create(u"long"_s);
    Feeder feed(model.get());
    const QString answer = nbd::sim::largeMarkdownAnswer(80'000);
    const QString half = answer.left(answer.size() / 2);
    QVERIFY(LongTextView::isLong(half));
    feed(events::userMessage(u"m1"_s, u"写一份报告"_s));
    feed(events::turnStart(1));
    feed(events::stepStart(1, 1));
    feed(events::blockStart(1, 1, 0));
    feed(events::textDelta(1, 1, 0, half));
    model->setRunning(true);
    QTRY_VERIFY(!model->isTranscriptPublishScheduled());

    QWidget window;
    window.resize(900, 700);
    auto *transcript = new ConversationTranscript(nullptr, nullptr, &window);
    transcript->resize(900, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    transcript->setSession(model);
    const QString key = u"turn-1-step-1-block-0"_s;
    auto row = [&] { return qobject_cast<TranscriptRenderRowView *>(transcript->list()->viewFor(key)); };
    QVERIFY(row());
    QCOMPARE(row()->contentKind(), TranscriptRenderRowView::ContentKind::StreamingText);
    QTRY_COMPARE(row()->accessibleName(), MarkdownParser::plainText(half));
    feed(events::textDelta(1, 1, 0, answer.mid(half.size())));
    QTRY_COMPARE(row()->accessibleName(), MarkdownParser::plainText(answer));

    feed(events::assistantMessage(1, 1, answer));
    feed(events::turnEnd(1));
    model->setRunning(false);
    QTRY_VERIFY(row() && row()->contentKind() == TranscriptRenderRowView::ContentKind::FinalText);
    auto *text = row()->findChild<MarkdownText *>();
    QVERIFY(text);
    QTRY_VERIFY(!text->isParsing());
    QVERIFY(text->chunkCount() > 1);
    QTRY_COMPARE(row()->height(), row()->measure(row()->width()));
    QCOMPARE(row()->accessibleName(), MarkdownParser::plainText(answer));

    // A row given a short text while the words of its long one are still being found keeps
    // the short text's words.
    const std::vector<TranscriptEntry> &entries = transcript->list()->entries();
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const TranscriptEntry &e) { return e.key == key; });
    QVERIFY(found != entries.end() && found->row);
    TranscriptEntry entry = *found;
    auto *view = qobject_cast<TranscriptRenderRowView *>(createTranscriptEntryView(entry, nullptr, u"long"_s, false, &window));
    QVERIFY(view);
    std::get<BlockItem>(entry.row->content).text = u"短的 **回答**"_s;
    view->setEntry(entry);
    QCOMPARE(view->accessibleName(), u"短的 回答"_s);
    workPool()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(view->accessibleName(), u"短的 回答"_s);
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));
}

// Text that streams in deltas, into new pieces and into the last one, stands exactly where the
// same text built at once would: each piece under the one before, as tall as its lines at the
// width, the cursor under the last; and so again after the width changes.
void tst_ConversationView::streamingTextGrownInDeltasIsPlacedAsBuiltWhole()
{
    QWidget window;
    window.resize(600, 400);
    auto *streaming = new StreamingText(QString(), &window);
    streaming->setGeometry(0, 0, 520, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto pieces = [](StreamingText *text) {
        return text->findChildren<StreamingTextPiece *>(u"assistant-text"_s, Qt::FindDirectChildrenOnly);
    };
    QVERIFY(pieces(streaming).front()->isHidden());

    const auto verifyPlacedAsWhole = [&](const QString &text) {
        StreamingText whole(text, &window);
        whole.setGeometry(streaming->geometry());
        whole.show();
        const auto grown = pieces(streaming);
        const auto built = pieces(&whole);
        QCOMPARE(grown.size(), built.size());
        int y = 0;
        for (qsizetype i = 0; i < grown.size(); ++i) {
            QCOMPARE(grown[i]->text(), built[i]->text());
            QCOMPARE(grown[i]->geometry(), built[i]->geometry());
            QCOMPARE(grown[i]->y(), y);
            // As tall as the piece's text laid out for the first time.
            StreamingTextPiece fresh;
            fresh.setText(grown[i]->text());
            QVERIFY(grown[i]->height() > 0);
            QCOMPARE(grown[i]->height(), fresh.heightForWidth(streaming->width()));
            y += grown[i]->height();
        }
        QVERIFY(grown.front()->isVisible());
        QCOMPARE(streaming->cursor()->geometry(), whole.cursor()->geometry());
        QVERIFY(streaming->cursor()->y() >= y);
        QCOMPARE(streaming->heightForWidth(streaming->width()), whole.heightForWidth(streaming->width()));
    };

    // Deltas of a few words, a line break now and then: pieces are added and the last grows.
    QString text;
    for (int delta = 0; delta < 400; ++delta) {
        text += delta % 23 == 22 ? u"行尾\n"_s : u"word "_s + QString::number(delta) + u' ';
        streaming->setText(text);
        if (delta % 50 == 0 || delta == 399)
            verifyPlacedAsWhole(text);
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY(pieces(streaming).size() >= 4);

    // A narrower column breaks every piece's lines again; more text follows at that width.
    streaming->setGeometry(0, 0, 260, 400);
    verifyPlacedAsWhole(text);
    text += u"尾巴 "_s.repeated(200);
    streaming->setText(text);
    verifyPlacedAsWhole(text);
}

void tst_ConversationView::reasoningAndNoticeRows()
{
    QWidget window;
    auto *column = new QVBoxLayout(&window);
    auto *thinking = new ReasoningBlock(QString());
    auto *done = new ReasoningBlock(u"思考了"_s);
    NoticeItem plain;
    plain.id = u"n1"_s;
    plain.icon = u"info.circle"_s;
    plain.text = u"Compacted"_s;
    auto *withoutPayload = new NoticeRow(plain);
    NoticeItem big = plain;
    big.id = u"orphan-tool-results-1"_s;
    big.payload = QString(20000, u'x');
    auto *withPayload = new NoticeRow(big);
    for (QWidget *w : {static_cast<QWidget *>(thinking), static_cast<QWidget *>(done), static_cast<QWidget *>(withoutPayload),
                       static_cast<QWidget *>(withPayload)})
        column->addWidget(w);
    window.resize(700, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(thinking->titleText(), u"正在思考"_s);
    QTest::mouseClick(thinking->header(), Qt::LeftButton);
    QVERIFY(!thinking->isExpanded());
    QCOMPARE(done->lengthText(), QLocale().toString(3) + u" 字符"_s);
    QTest::mouseClick(done->header(), Qt::LeftButton);
    QVERIFY(done->isExpanded());
    QCOMPARE(done->body()->text(), u"思考了"_s);
    QVERIFY(done->body()->textInteractionFlags() & Qt::TextSelectableByMouse);

    QTest::mouseClick(withoutPayload->header(), Qt::LeftButton);
    QVERIFY(!withoutPayload->isExpanded());
    QVERIFY(!withoutPayload->findChild<ChevronView *>()->isVisible());

    QTest::mouseClick(withPayload->header(), Qt::LeftButton);
    QVERIFY(withPayload->isExpanded());
    QCOMPARE(withPayload->sizeText()->text(), QLocale().toString(16000) + u" / "_s + QLocale().toString(20000) + u" 字符"_s);
    QCOMPARE(withPayload->preview()->text().size(), 16000);
    QTest::mouseClick(withPayload->copyButton(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text().size(), 20000);
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));
    QTest::mouseClick(withPayload->header(), Qt::LeftButton);
    QVERIFY(!withPayload->isExpanded());

    // Long reasoning opens in the view that lays out only what shows; shortened, the label
    // takes over again.
    const QString longText = u"推理的一行 with some words\n"_s.repeated(3000);
    done->setText(longText);
    auto *lazy = done->findChild<LongTextView *>(u"reasoning-text"_s);
    QVERIFY(lazy);
    QVERIFY(lazy->isVisible());
    QVERIFY(!done->body()->isVisible());
    QCOMPARE(lazy->text(), longText);
    QCOMPARE(lazy->lineCount(), qsizetype(3001));
    done->setText(u"短"_s);
    QVERIFY(!lazy->isVisible());
    QTRY_VERIFY(done->body()->isVisible());
    QCOMPARE(done->body()->text(), u"短"_s);
    QVERIFY2(accessibilityProblems(&window).isEmpty(), qPrintable(accessibilityProblems(&window).join(u'\n')));
}

void tst_ConversationView::reasoningAndNoticeActionsDoWhatClicksDo_data()
{
    QTest::addColumn<bool>("opened");
    QTest::newRow("folded") << false;
    QTest::newRow("opened") << true;
}

// The headers of reasoning and notices open and close, and the full output copies, the same
// by accessibility action as by click; the headers say whether they are open.
void tst_ConversationView::reasoningAndNoticeActionsDoWhatClicksDo()
{
    QFETCH(bool, opened);
    std::unique_ptr<QWidget> window;
    ReasoningBlock *reasoning = nullptr;
    NoticeRow *notice = nullptr;
    test::ActionParityCheck check;
    check.open = [&]() -> QWidget * {
        window = std::make_unique<QWidget>();
        auto *column = new QVBoxLayout(window.get());
        NoticeItem item;
        item.id = u"orphan-tool-results-1"_s;
        item.icon = u"info.circle"_s;
        item.text = u"Compacted"_s;
        item.payload = u"full tool output"_s;
        BlockItem thought;
        thought.kind = BlockKind::reasoning;
        thought.text = u"思考了"_s;
        // Held as in the transcript: a block view places its content by hand.
        auto *block = new BlockView(thought, opened);
        reasoning = block->findChild<ReasoningBlock *>();
        notice = new NoticeRow(item, opened);
        column->addWidget(block);
        column->addWidget(notice);
        column->addStretch();
        window->resize(600, 500);
        window->show();
        (void)QTest::qWaitForWindowExposed(window.get());
        QGuiApplication::clipboard()->clear();
        return window.get();
    };
    check.state = [&] {
        return (reasoning->isExpanded() ? u"reasoning-open"_s : u"reasoning-closed"_s)
            + (notice->isExpanded() ? u" notice-open"_s : u" notice-closed"_s) + u" clipboard "_s
            + QGuiApplication::clipboard()->text();
    };
    const test::ActionParityReport report = test::actionParity(check);
    QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
    // The two headers; opened, the copy button too.
    QVERIFY2(report.controls.size() == (opened ? 3 : 2), qPrintable(report.controls.join(u'\n')));
    QCOMPARE(report.changed, report.controls.size());

    check.open();
    for (QWidget *header : {static_cast<QWidget *>(reasoning->header()), static_cast<QWidget *>(notice->header())}) {
        const QAccessible::State state = QAccessible::queryAccessibleInterface(header)->state();
        QVERIFY(state.expandable);
        QCOMPARE(bool(state.expanded), opened);
        QCOMPARE(bool(state.collapsed), !opened);
    }
    QAccessibleInterface *header = QAccessible::queryAccessibleInterface(notice->header());
    header->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(notice->isExpanded(), !opened);
    QCOMPARE(bool(header->state().expanded), !opened);
}

void tst_ConversationView::streamedTurnFromTheHostShowsLive()
{
    m_harness->world.addSession(session(u"live"_s, 1000));
    // More history than the first page: the load-older button heads the transcript.
    for (qint64 turn = 1; turn <= 30; ++turn) {
        m_harness->world.appendEvent(u"live"_s, events::userMessage(u"m"_s + QString::number(turn), u"earlier"_s));
        m_harness->world.appendEvent(u"live"_s, events::turnStart(turn));
        m_harness->world.appendEvent(u"live"_s, events::stepStart(turn, 1));
        m_harness->world.appendEvent(u"live"_s, events::assistantMessage(turn, 1, u"answer "_s + QString::number(turn)));
        m_harness->world.appendEvent(u"live"_s, events::turnEnd(turn));
    }
    sim::SimWorld::AgentScript script;
    sim::SimWorld::AgentStep thinking;
    thinking.kind = sim::SimWorld::AgentStep::Kind::Reasoning;
    thinking.deltas = {u"let me "_s, u"look"_s};
    script << thinking;
    sim::SimWorld::AgentStep call;
    call.kind = sim::SimWorld::AgentStep::Kind::ToolCall;
    call.toolName = u"bash"_s;
    call.arguments = u"{\"command\":\"ls\"}"_s;
    script << call;
    sim::SimWorld::AgentStep result;
    result.kind = sim::SimWorld::AgentStep::Kind::ToolResult;
    result.text = u"README.md"_s;
    script << result;
    for (const auto &step : sim::SimWorld::textScript(u"Here is the listing."_s))
        script << step;
    m_harness->world.setScript(script);
    m_harness->world.setStepDelay(30);
    makeView();
    connectAndSelect(u"live"_s);
    m_harness->waitForStreams();
    SessionModel *model = m_view->shownSession().get();
    QVERIFY(model->hasMoreHistory());
    TranscriptListView *list = m_view->transcript()->list();
    // After every publish the list holds what the session's items make from scratch, though
    // it keeps the rows that did not change.
    int publishes = 0;
    QStringList mismatches;
    QObject watch;
    connect(model, &SessionModel::transcriptRevisionChanged, &watch, [&] {
        ++publishes;
        const std::vector<TranscriptEntry> fresh = ConversationTranscript::entriesFor(*model);
        if (list->entries() != fresh) {
            QStringList keys;
            for (const TranscriptEntry &entry : list->entries())
                keys << entry.key;
            mismatches << keys.join(u' ');
        }
    });

    // The composer sends; the host streams a turn that shows up row by row.
    auto *field = m_view->dock()->composer()->findChild<QPlainTextEdit *>(u"composer-prompt"_s);
    QVERIFY(field);
    QTest::mouseClick(field->viewport(), Qt::LeftButton);
    QTest::keyClicks(field, u"list files"_s);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(field->toPlainText(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_harness->world.prompts().size(), qsizetype(1), 10000);
    const JSONValue *content = m_harness->world.prompts().front().find(u"content");
    QVERIFY(content && content->size() == 1);
    QCOMPARE(content->elements()[0].find(u"text")->string(), u"list files"_s);
    QTRY_VERIFY_WITH_TIMEOUT(m_view->shownSession()->running(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(list->viewFor(u"deep-diving-status"_s) != nullptr, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_harness->world.isRunActive(u"live"_s), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_view->shownSession()->running(), 10000);
    QStringList kinds;
    for (const TranscriptEntry &entry : list->entries())
        if (entry.row)
            kinds << (entry.row->user() ? u"user"_s : entry.row->notice() ? u"notice"_s : entry.row->block()->kind == BlockKind::text ? u"text"_s : entry.row->block()->kind == BlockKind::reasoning ? u"reasoning"_s : u"tool"_s);
    QCOMPARE(kinds.mid(kinds.size() - 4), (QStringList{u"user"_s, u"reasoning"_s, u"tool"_s, u"text"_s}));
    QVERIFY(publishes > 4);
    QCOMPARE(mismatches, QStringList());
    // Finished: no cursor anywhere, the text is final, at the end of the view.
    QTRY_VERIFY(list->viewFor(list->entries()[list->entries().size() - 2].key));
    auto *last = qobject_cast<TranscriptRenderRowView *>(list->viewFor(list->entries()[list->entries().size() - 2].key));
    QVERIFY(last);
    QCOMPARE(last->contentKind(), TranscriptRenderRowView::ContentKind::FinalText);
    QCOMPARE(last->accessibleName(), u"Here is the listing."_s);
    QVERIFY(m_view->followsOutput());
    QCOMPARE(list->scrollY(), list->verticalScrollBar()->maximum());
    QVERIFY2(accessibilityProblems(m_window.get()).isEmpty(), qPrintable(accessibilityProblems(m_window.get()).join(u'\n')));
}

// In dark the transcript is drawn on the canvas colour, not on the colour of raised surfaces,
// which is also the colour of the user's bubbles: they would vanish into the background.
void tst_ConversationView::darkTranscriptSitsOnTheCanvas()
{
    const QPalette saved = QApplication::palette();
    Theme::setAppearanceOverride(Theme::Appearance::Dark);
    QApplication::setPalette(Theme::palette(Theme::Appearance::Dark));
    auto restore = qScopeGuard([&] {
        Theme::setAppearanceOverride(std::nullopt);
        QApplication::setPalette(saved);
    });
    m_harness->world.addSession(session(u"dark"_s, 1000));
    m_harness->world.appendEvent(u"dark"_s, events::userMessage(u"m1"_s, u"你好"_s));
    makeView();
    connectAndSelect(u"dark"_s);
    TranscriptListView *list = m_view->transcript()->list();
    QTRY_VERIFY(list->viewFor(list->entries().front().key));
    const QImage image = list->viewport()->grab().toImage();
    // Left of the bubble, above the dock: nothing but background.
    const QColor background = image.pixelColor(image.width() / 20, image.height() / 4);
    QCOMPARE(background.rgb(), Theme::canvas().rgb());
    QVERIFY(Theme::bubble().rgb() != Theme::canvas().rgb());
}

// Another session: the composer stays in place with its draft and writes to the new session;
// the queued messages shown are the new session's.
void tst_ConversationView::switchingSessionsKeepsTheDraftAndRebuildsTheExtras()
{
    m_harness->world.addSession(session(u"b"_s, 1000));
    m_harness->world.addSession(session(u"c"_s, 900));
    makeView();
    connectAndSelect(u"c"_s);
    m_harness->waitForStreams();
    m_harness->world.pushQueue(u"c"_s, JSONValue::array({queueItem(u"c1"_s, u"c first"_s), queueItem(u"c2"_s, u"c second"_s)}));
    QTRY_VERIFY(m_view->dock()->queuedDock() && m_view->dock()->queuedDock()->isVisible());
    m_harness->store->selection()->selectSession(u"b"_s);
    QTRY_VERIFY(m_view->shownSession()->sessionId() == u"b"_s && m_view->shownSession()->historyLoaded());
    m_harness->world.pushQueue(u"b"_s, JSONValue::array({queueItem(u"b1"_s, u"b only"_s)}));
    QTRY_VERIFY(m_view->dock()->queuedDock()
                && m_view->dock()->queuedDock()->findChildren<QWidget *>(u"queued-message"_s).size() == 1);

    auto *composer = qobject_cast<ComposerView *>(m_view->dock()->composer());
    QVERIFY(composer);
    QTest::mouseClick(composer->promptField()->viewport(), Qt::LeftButton);
    QTest::keyClicks(composer->promptField(), u"half a thought"_s);

    m_harness->store->selection()->selectSession(u"c"_s);
    QTRY_VERIFY(m_view->shownSession()->sessionId() == u"c"_s);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_view->dock()->composer(), composer);
    QCOMPARE(composer->promptField()->text(), u"half a thought"_s);
    QCOMPARE(composer->session()->sessionId(), u"c"_s);
    QueuedMessagesDock *queue = m_view->dock()->queuedDock();
    QVERIFY(queue && queue->isVisible());
    QVERIFY(queue->findChild<RowHeaderButton *>(u"queued-messages-header"_s));
    QCOMPARE(queue->findChild<RowHeaderButton *>(u"queued-messages-header"_s)->accessibleName(), u"2 条排队消息"_s);
}

NBD_GUI_TEST_MAIN(tst_ConversationView)
#include "tst_conversationview.moc"
