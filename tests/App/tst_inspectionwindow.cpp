// The run-inspection views in the main window against the simulated host, driven by clicks and
// keys: the trajectory surface and its search, a picked event in the inspector tab, the run
// summary opening the run panel, and a subagent picked from the header's catalogue.

#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "SimSessions.h"

#include "App/ContentView.h"
#include "App/MainWindow.h"
#include "UI/Conversation/BottomDock.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Inspection/RuntimeInspectorView.h"
#include "UI/Inspection/RuntimeSummaryBar.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Inspection/SubagentReadOnlyComposer.h"
#include "UI/Inspection/TrajectoryLedgerModel.h"
#include "UI/Inspection/TrajectoryTimelineOverview.h"
#include "UI/Inspection/TrajectoryView.h"
#include "UI/Shared/Motion.h"
#include "UI/Tools/WorkspaceToolsView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScopeGuard>
#include <QScrollBar>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;

namespace {

// One finished turn: the user's message, a text and a tool call in step 1, the tool's result.
// The events of one finished turn: the user's message, a text and a tool call in step 1, the
// tool's result.
QList<JSONValue> turnEvents(qint64 turn, const QString &text, const QString &tool, const QString &result, bool error)
{
    const QString callId = u"call-%1"_s.arg(turn);
    return {sim::events::userMessage(u"u-%1"_s.arg(turn), u"ask %1"_s.arg(turn)), sim::events::turnStart(turn),
            sim::events::stepStart(turn, 1), sim::events::assistantMessage(turn, 1, text, {{callId, tool}}),
            sim::events::toolResult(turn, 1, callId, result, error), sim::events::turnEnd(turn)};
}

void appendTurn(sim::SimWorld &world, const QString &sessionId, qint64 turn, const QString &text, const QString &tool,
                const QString &result, bool error = false)
{
    for (JSONValue &event : turnEvents(turn, text, tool, result, error))
        world.appendEvent(sessionId, std::move(event));
}

sim::SimWorld::Session listed(const QString &id, double updatedAt, const QString &title)
{
    sim::SimWorld::Session s = session(id, updatedAt);
    s.title = title;
    return s;
}

sim::SimWorld::SubagentEntry child(const QString &id, const QString &mode, const QString &label)
{
    sim::SimWorld::SubagentEntry e;
    e.id = id;
    e.mode = mode;
    e.label = label;
    return e;
}

// "label=value" per row of the inspector's sections, in order.
QStringList inspectorRows(QWidget *inspector)
{
    QStringList rows;
    for (QWidget *row : inspector->findChildren<QWidget *>(u"inspector-row"_s))
        rows << row->property("rowLabel").toString() + u'=' + row->property("rowValue").toString();
    return rows;
}

QStringList ledgerIds(const TrajectoryLedgerModel &model)
{
    QStringList ids;
    for (const auto &row : model.rows())
        ids << row.id();
    return ids;
}

} // namespace

class tst_InspectionWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<StoreHarness> m_h;
    std::unique_ptr<MainWindow> m_window;

    AppModel *store() const { return m_h->store.get(); }
    ContentView *content() const { return m_window->content(); }

    template<typename T = QWidget>
    T *find(const QString &name) const
    {
        return m_window->findChild<T *>(name);
    }

    // The visible one of several widgets of one name. Views replaced inside a menu's event
    // loop are deleted once control is back at the top loop, which the test stands in for.
    template<typename T = QWidget>
    T *visible(const QString &name = {}) const
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (T *w : m_window->findChildren<T *>(name)) {
            if (w->isVisible())
                return w;
        }
        return nullptr;
    }

    RuntimeInspectorView *inspector() const { return visible<RuntimeInspectorView>(); }

    void click(QWidget *widget, QPoint at = {})
    {
        QVERIFY(widget);
        QTRY_VERIFY(widget->isVisible());
        QTest::mouseClick(widget, Qt::LeftButton, {}, at.isNull() ? widget->rect().center() : at);
    }

    void showWindow()
    {
        m_window = std::make_unique<MainWindow>(store(), [] {}, nullptr, [] {});
        m_window->resize(1400, 860);
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    // Clicks the session's row in the sidebar and waits until its history is folded.
    std::shared_ptr<SessionModel> selectByClick(const QString &rowName, const QString &sessionId)
    {
        QWidget *row = nullptr;
        if (!QTest::qWaitFor([&] { return (row = find(rowName)) && row->isVisible(); }, 20000))
            return nullptr;
        QTest::mouseClick(row, Qt::LeftButton, {}, row->rect().center());
        std::shared_ptr<SessionModel> model;
        const bool loaded = QTest::qWaitFor([&] {
            model = store()->selection()->sessionModel(sessionId);
            return store()->selection()->selectedSessionId() == sessionId && model && model->historyLoaded()
                && !model->isLoadingHistory();
        }, 20000);
        return loaded ? model : nullptr;
    }

    // Connects, shows the window, picks the session "run" in the sidebar and switches to its
    // trajectory by clicks; null when any step fails.
    TrajectoryView *openRunTrajectory()
    {
        m_h->connected();
        m_h->waitForStreams();
        showWindow();
        if (QTest::currentTestFailed() || !selectByClick(u"session-row-w1-run"_s, u"run"_s))
            return nullptr;
        click(find<QAbstractButton>(u"surface-tab-trajectory"_s));
        TrajectoryView *trajectory = nullptr;
        (void)QTest::qWaitFor([&] { return (trajectory = visible<TrajectoryView>()) != nullptr; }, 20000);
        return trajectory;
    }

    void expectNoAccessibilityProblems()
    {
        const QStringList problems = accessibilityProblems(m_window.get());
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    }

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void init()
    {
        m_h = std::make_unique<StoreHarness>();
        m_h->world.addSession(listed(u"run"_s, 3000, u"Build run"_s));
        m_h->world.addSession(listed(u"other"_s, 2000, u"Other run"_s));
        m_h->world.addWorkspace({u"w1"_s, u"/srv/one"_s, u"One"_s, {u"run"_s, u"other"_s}});
        appendTurn(m_h->world, u"run"_s, 1, u"Listing files"_s, u"shell"_s, u"README.md"_s);
        appendTurn(m_h->world, u"run"_s, 2, u"Reading the notes"_s, u"read_file"_s, u"no such file"_s, true);
        appendTurn(m_h->world, u"other"_s, 1, u"Other reply"_s, u"grep"_s, u"3 hits"_s);
    }

    void cleanup()
    {
        m_window.reset();
        m_h.reset();
    }

    void trajectorySearchAndPickOpenTheEventInTheInspector()
    {
        // The surface switch shows the real trajectory of the session.
        TrajectoryView *trajectory = openRunTrajectory();
        QVERIFY(trajectory);
        QCOMPARE(trajectory->session()->sessionId(), u"run"_s);
        QVERIFY(!find(u"transcript"_s) || !find(u"transcript"_s)->isVisible());
        TrajectoryLedgerModel &model = *trajectory->ledgerModel();
        QTRY_COMPARE(ledgerIds(model),
                     (QStringList{u"user-1"_s, u"turn-header-1"_s, u"turn-1-step-1-block-0"_s,
                                  u"turn-1-step-1-block-1-request"_s, u"turn-1-step-1-block-1-result"_s, u"user-2"_s,
                                  u"turn-header-2"_s, u"turn-2-step-1-block-0"_s, u"turn-2-step-1-block-1-request"_s,
                                  u"turn-2-step-1-block-1-result"_s}));
        QCOMPARE(trajectory->timeline()->entries().size(), size_t(6));
        expectNoAccessibilityProblems();

        // Typing into the search field narrows the ledger once the text settles.
        auto *search = trajectory->findChild<QLineEdit *>(u"trajectory-search"_s);
        click(search);
        QTest::keyClicks(search, u"  NO SUCH "_s);
        QTRY_COMPARE(trajectory->searchQuery(), u"no such"_s);
        QCOMPARE(ledgerIds(model), (QStringList{u"turn-header-2"_s, u"turn-2-step-1-block-1-result"_s}));

        // A click on the failed result opens the inspector tab on its event panel.
        QVERIFY(!content()->rightSidebarVisible());
        auto *list = trajectory->ledgerList();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(model.index(model.rowOf(u"turn-2-step-1-block-1-result"_s))).center());
        QCOMPARE(trajectory->selectedEventId(), std::optional<QString>(u"turn-2-step-1-block-1-result"_s));
        QTRY_VERIFY(content()->rightSidebarVisible());
        QCOMPARE(content()->inspectorPanel(), RuntimeInspectorPanel::Event);
        QTRY_VERIFY(inspector());
        QCOMPARE(inspector()->session()->sessionId(), u"run"_s);
        QTRY_COMPARE(inspector()->title(), u"事件详情"_s);
        QCOMPARE(inspectorRows(inspector()),
                 (QStringList{u"类型=TOOL"_s, u"事件=read_file"_s, u"回合=2"_s, u"步骤=1"_s, u"状态=失败"_s}));
        QWidget *resultBlock = nullptr;
        for (QWidget *section : inspector()->findChildren<QWidget *>(u"inspector-event-block"_s)) {
            if (section->property("sectionTitle").toString() == u"结果"_s)
                resultBlock = section;
        }
        QVERIFY(resultBlock);
        QVERIFY(resultBlock->property("isError").toBool());
        expectNoAccessibilityProblems();

        // A mark of the strip picks its event the same way; the ledger follows (search cleared).
        QTest::mouseDClick(search, Qt::LeftButton);
        search->selectAll();
        QTest::keyClick(search, Qt::Key_Backspace);
        QTRY_COMPARE(trajectory->searchQuery(), QString());
        QTRY_COMPARE(model.rows().size(), size_t(10));
        TrajectoryTimelineOverview *strip = trajectory->timeline();
        const double slot = (strip->width() - TrajectoryTimelineOverview::kLabelWidth) / 6.0;
        const int firstMarkX = int(TrajectoryTimelineOverview::kLabelWidth + slot / 2);
        QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(firstMarkX, strip->height() / 2));
        QTRY_COMPARE(inspectorRows(inspector()).mid(0, 2), (QStringList{u"类型=USER"_s, u"事件=用户消息"_s}));
        QCOMPARE(model.selectedId(), trajectory->selectedEventId());
        QVERIFY(model.rowOf(*trajectory->selectedEventId()) >= 0);

        // The picker switches to the run panel and back.
        click(inspector()->findChild<QAbstractButton *>(u"inspector-panel-runtime"_s));
        QCOMPARE(content()->inspectorPanel(), RuntimeInspectorPanel::Runtime);
        QTRY_COMPARE(inspector()->title(), u"运行概况"_s);
        QVERIFY(inspectorRows(inspector()).contains(u"模式=Agent"_s));
        click(inspector()->findChild<QAbstractButton *>(u"inspector-panel-event"_s));
        QTRY_COMPARE(inspector()->title(), u"事件详情"_s);
        QCOMPARE(inspectorRows(inspector()).mid(0, 1), QStringList{u"类型=USER"_s});

        // Another session: the trajectory surface stays, the inspector follows the selection
        // and forgets the event.
        QVERIFY(selectByClick(u"session-row-w1-other"_s, u"other"_s));
        QTRY_VERIFY(visible<TrajectoryView>() && visible<TrajectoryView>()->session()->sessionId() == u"other"_s);
        QTRY_VERIFY(inspector() && inspector()->session()->sessionId() == u"other"_s);
        QTRY_COMPARE(inspector()->title(), u"运行概况"_s);
        expectNoAccessibilityProblems();
    }

    // With reduced motion the inspector opens at once beside the trajectory: the row picked on
    // the strip is still scrolled into the ledger's view. Once the tools panel is open, its
    // resize handle leaves the strip's right edge to the strip: a click there picks the last entry.
    void stripPicksWithReducedMotionAndAtTheRightEdge()
    {
        Motion::setReduceMotion(true);
        const auto restore = qScopeGuard([] { Motion::setReduceMotion(false); });
        TrajectoryView *trajectory = openRunTrajectory();
        QVERIFY(trajectory);
        TrajectoryLedgerModel &model = *trajectory->ledgerModel();
        // A long run, arriving live after the first page of history.
        constexpr qint64 kTurns = 130;
        for (qint64 turn = 3; turn <= kTurns; ++turn) {
            for (JSONValue &event : turnEvents(turn, u"Step %1"_s.arg(turn), u"shell"_s, u"ok %1"_s.arg(turn), false))
                m_h->world.logs().appendAndPush(u"run"_s, std::move(event));
        }
        QTRY_COMPARE_WITH_TIMEOUT(model.rows().size(), size_t(kTurns * 5), 20000);
        TrajectoryTimelineOverview *strip = trajectory->timeline();
        const size_t entries = strip->entries().size();
        QCOMPARE(entries, size_t(kTurns * 3));
        auto *list = trajectory->ledgerList();
        QVERIFY(!content()->rightSidebarVisible());

        // Clicks go through the window, which hands them to whatever lies at that point.
        auto clickStripAt = [&](int x) {
            const QPoint at = strip->mapTo(m_window.get(), QPoint(x, strip->height() / 2));
            QTest::mouseClick(m_window->windowHandle(), Qt::LeftButton, {}, at);
        };
        auto selectedRowShown = [&] {
            const int row = model.rowOf(trajectory->selectedEventId().value_or(QString()));
            const QRect shown = list->visualRect(model.index(row));
            return row >= 0 && shown.top() >= 0 && shown.bottom() < list->viewport()->height();
        };
        auto slotCentre = [&](size_t index) {
            const double slot = (strip->width() - TrajectoryTimelineOverview::kLabelWidth) / double(entries);
            return int(TrajectoryTimelineOverview::kLabelWidth + slot * (double(index) + 0.5));
        };

        // An entry near the end of a long run: its row lies far below the ledger's first screen,
        // and below the rows a first pass of laying the list out again reaches.
        const size_t picked = entries - 12;
        clickStripAt(slotCentre(picked));
        QCOMPARE(trajectory->selectedEventId(), std::optional<QString>(strip->entries()[picked].event().id));
        QTRY_VERIFY(content()->rightSidebarVisible());
        QTRY_VERIFY(inspector());
        QTRY_VERIFY(selectedRowShown());
        // Still there once the list has been laid out again for the narrower width.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
        QVERIFY(selectedRowShown());

        // The panel is open: its handle sits beside the strip, not over its last pixels.
        QWidget *conversation = find(u"conversation"_s);
        QTRY_COMPARE(strip->mapTo(content(), QPoint(strip->width(), 0)).x(), conversation->geometry().right() + 1);
        QVERIFY(find(u"workspace-tools-resize-handle"_s)->isVisible());
        auto selectedEntry = [&] {
            for (size_t i = 0; i < entries; ++i) {
                if (strip->entries()[i].event().id == trajectory->selectedEventId())
                    return int(i);
            }
            return -1;
        };
        for (int fromRight : {1, 3, 5}) {
            clickStripAt(slotCentre(0));
            QCOMPARE(selectedEntry(), 0);
            // One of the last few marks (each under 2 px wide); the very last pixel, the last mark.
            clickStripAt(strip->width() - fromRight);
            QVERIFY2(selectedEntry() >= int(entries) - 4, qPrintable(QString::number(selectedEntry())));
            if (fromRight == 1)
                QCOMPARE(selectedEntry(), int(entries) - 1);
            QTRY_VERIFY(selectedRowShown());
        }
        // The handle still takes the drag that widens the panel.
        const qreal before = content()->rightSidebarWidth();
        QWidget *handle = find(u"workspace-tools-resize-handle"_s);
        const QPoint grip = handle->mapTo(m_window.get(), handle->rect().center());
        QTest::mousePress(m_window->windowHandle(), Qt::LeftButton, {}, grip);
        QTest::mouseMove(m_window->windowHandle(), grip - QPoint(40, 0));
        QTest::mouseRelease(m_window->windowHandle(), Qt::LeftButton, {}, grip - QPoint(40, 0));
        QTRY_COMPARE(content()->rightSidebarWidth(), before + 40);
    }

    void summaryBarOpensTheRunPanel()
    {
        m_h->connected();
        m_h->waitForStreams();
        showWindow();
        const auto model = selectByClick(u"session-row-w1-run"_s, u"run"_s);
        QVERIFY(model);
        QVERIFY(!visible<RuntimeSummaryBar>()); // no statistics, no usage yet

        sim::SimWorld::RunStats stats;
        stats.turns = 2;
        stats.steps = 5;
        stats.llmMs = 65000;
        stats.toolMs = 850;
        m_h->world.pushProjection(u"run"_s, u"sessionStats"_s, sim::SimWorld::sessionStats(stats));
        m_h->world.pushProjection(u"run"_s, u"tokenUsage"_s, sim::SimWorld::tokenUsage({1234, 999, 3702, {}}));
        RuntimeSummaryBar *bar = nullptr;
        QTRY_VERIFY((bar = visible<RuntimeSummaryBar>()) && bar->segments().size() == 4);
        QCOMPARE(bar->segments(), (std::vector<QString>{u"2 轮 · 5 步"_s, u"LLM 1m5s · 工具调用 0s"_s, u"缓存命中 75%"_s,
                                                        u"输入 1.2k · 输出 999"_s}));
        // Below the composer, inside the window.
        QWidget *composer = visible(u"composer"_s);
        QVERIFY(composer);
        QVERIFY(bar->mapTo(m_window.get(), QPoint()).y() > composer->mapTo(m_window.get(), QPoint()).y());
        QVERIFY(m_window->rect().contains(QRect(bar->mapTo(m_window.get(), QPoint()), bar->size())));
        // The bar pads its own line (748 pt at most, 32 pt either side), centred in the dock,
        // and the padded rectangle is what takes the click.
        auto *dock = qobject_cast<BottomDock *>(bar->parentWidget());
        QVERIFY(dock);
        const int padded = RuntimeSummaryBar::kMaxLineWidth + 2 * RuntimeSummaryBar::kSidePadding;
        QTRY_COMPARE(bar->width(), std::min(dock->width(), padded));
        QVERIFY(qAbs(bar->geometry().center().x() - dock->rect().center().x()) <= 1);
        expectNoAccessibilityProblems();

        // Coming from an event, the bar opens the run panel with no event.
        content()->openSessionInspector(RuntimeInspectorPanel::Event, std::nullopt);
        QTRY_VERIFY(inspector() && inspector()->title() == u"事件详情"_s);
        click(bar);
        QCOMPARE(content()->inspectorPanel(), RuntimeInspectorPanel::Runtime);
        QVERIFY(!content()->selectedTrajectoryEvent());
        QTRY_COMPARE(inspector()->title(), u"运行概况"_s);
        QTRY_VERIFY(inspectorRows(inspector()).contains(u"回合=2"_s));
        QVERIFY(inspectorRows(inspector()).contains(u"输入=1,234"_s));
        QVERIFY(inspectorRows(inspector()).contains(u"缓存命中=75%"_s));
        expectNoAccessibilityProblems();

        // Keyboard: the bar is a button that Space presses.
        content()->openSessionInspector(RuntimeInspectorPanel::Event, std::nullopt);
        bar->setFocus(Qt::TabFocusReason);
        QTest::keyClick(bar, Qt::Key_Space);
        QCOMPARE(content()->inspectorPanel(), RuntimeInspectorPanel::Runtime);

        // The running flag reaches the inspector's header.
        m_h->world.pushSessionStatus(u"run"_s, true);
        QTRY_COMPARE(inspector()->statusText(), u"运行中"_s);
    }

    void subagentFromTheCatalogShowsTheReadOnlyCard()
    {
        m_h->world.setSubagents(u"run"_s, {child(u"child-one-0001"_s, u"one-shot"_s, u"indexer"_s),
                                          child(u"child-cont-0002"_s, u"continuable"_s, u"planner"_s)},
                                false);
        m_h->connected();
        m_h->waitForStreams();
        showWindow();
        QVERIFY(selectByClick(u"session-row-w1-run"_s, u"run"_s));

        // The header's catalogue lists both runs.
        SubagentCatalogView *catalog = nullptr;
        QTRY_VERIFY((catalog = visible<SubagentCatalogView>()));
        QTRY_COMPARE(catalog->text(), u"2"_s);
        QCOMPARE(catalog->rootSessionId(), u"run"_s);
        QVERIFY(find(u"session-header"_s)->isAncestorOf(catalog));
        expectNoAccessibilityProblems();

        auto pick = [&](const QString &titleStart) {
            bool picked = false;
            QTimer::singleShot(0, catalog, [&] {
                QMenu *menu = nullptr;
                QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
                QVERIFY(QTest::qWaitForWindowExposed(menu));
                for (QAction *a : menu->actions()) {
                    if (a->text().startsWith(titleStart)) {
                        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
                        picked = true;
                        return;
                    }
                }
                QTest::keyClick(menu, Qt::Key_Escape);
            });
            // Space on the focused button opens the menu (picking a run gives the header a
            // new catalogue, so the button is gone when the menu closes).
            catalog->setFocus(Qt::TabFocusReason);
            QTest::keyClick(catalog, Qt::Key_Space);

            QTRY_VERIFY(!QApplication::activePopupWidget());
            QVERIFY2(picked, qPrintable(titleStart));
        };

        // A one-shot run: the read-only card takes the composer's place, even on the trajectory.
        pick(u"\u2068indexer"_s);
        QTRY_VERIFY(store()->selection()->selectedSubagent());
        QCOMPARE(store()->selection()->selectedSubagent()->address.childSessionId, u"child-one-0001"_s);
        SubagentReadOnlyComposer *card = nullptr;
        QTRY_VERIFY((card = visible<SubagentReadOnlyComposer>()));
        QCOMPARE(card->title(), u"单次子代理记录"_s);
        QCOMPARE(card->explanation(), u"此执行记录只读"_s);
        QVERIFY(!visible(u"composer"_s));
        QVERIFY(visible<ConversationView>()->dock()->isAncestorOf(card));
        // It takes the composer's whole place: the card keeps its own margins and width limit.
        QCOMPARE(card->width(), visible<ConversationView>()->dock()->width());
        expectNoAccessibilityProblems();
        click(find<QAbstractButton>(u"surface-tab-trajectory"_s));
        QTRY_VERIFY(visible<TrajectoryView>());
        QVERIFY(card->isVisible());

        // Back to the parent, then the continuable run whose parent is unavailable: the
        // second card while the run is idle.
        click(find<QAbstractButton>(u"session-back"_s));
        QTRY_VERIFY(!store()->selection()->selectedSubagent());
        QTRY_VERIFY(!visible<SubagentReadOnlyComposer>());
        QTRY_VERIFY((catalog = visible<SubagentCatalogView>()) && catalog->text() == u"2"_s);
        pick(u"\u2068planner"_s);
        QTRY_VERIFY(store()->selection()->selectedSubagent()
                    && store()->selection()->selectedSubagent()->address.childSessionId == u"child-cont-0002"_s);
        QTRY_VERIFY((card = visible<SubagentReadOnlyComposer>()) && card->title() == u"父会话当前不可用"_s);
        QCOMPARE(card->explanation(), u"恢复父会话后才能继续发送消息"_s);
        QCOMPARE(card->symbolName(), u"link.badge.plus"_s);
        expectNoAccessibilityProblems();
    }
};

NBD_GUI_TEST_MAIN(tst_InspectionWindow)

#include "tst_inspectionwindow.moc"
