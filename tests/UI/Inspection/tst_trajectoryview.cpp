// The trajectory surface over a session of the simulated host: the ledger and strip it shows,
// clicks on rows and marks, the settling search, the toolbar toggles, streaming updates and the
// empty and loading states.

#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "InspectionTestSupport.h"
#include "ShownText.h"

#include "Session/SessionModel.h"
#include "UI/Inspection/TrajectoryLedgerModel.h"
#include "UI/Inspection/TrajectoryRowDelegate.h"
#include "UI/Inspection/TrajectoryTimelineGeometry.h"
#include "UI/Inspection/TrajectoryTimelineOverview.h"
#include "UI/Inspection/TrajectoryView.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QLabel>
#include <QWheelEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QBoxLayout>
#include <QtTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::Literals::StringLiterals;

namespace {

QStringList rowIds(const TrajectoryLedgerModel &model)
{
    QStringList ids;
    for (const auto &row : model.rows())
        ids << row.id();
    return ids;
}

// The view in a window of its own, as the conversation shows it.
struct Shown
{
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    TrajectoryView *view = nullptr;
    std::vector<TrajectoryEventSelection> picked;

    explicit Shown(std::shared_ptr<SessionModel> session, QSize size = {760, 520})
    {
        view = new TrajectoryView(std::move(session), [this](const TrajectoryEventSelection &e) { picked.push_back(e); },
                                  window.get());
        auto *layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(view);
        window->resize(size);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    TrajectoryLedgerModel &model() const { return *view->ledgerModel(); }
    TrajectoryLedgerList *list() const { return view->ledgerList(); }

    QPoint rowCentre(int row) const { return list()->visualRect(model().index(row)).center(); }
    void clickRow(int row) const { QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rowCentre(row)); }
    int rowOf(const QString &id) const { return model().rowOf(id); }
};

} // namespace

class TestTrajectoryView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void showsTheRunAsLedgerAndStrip()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        appendTurn(h.world, u"run"_s, 1, u"Listing files"_s, u"shell"_s, u"README.md"_s);
        appendTurn(h.world, u"run"_s, 2, u"Reading it"_s, u"read_file"_s, u"no such file"_s, true);
        const auto session = openSession(h, u"run"_s);
        QVERIFY(session);
        Shown shown(session);

        const QStringList ids = rowIds(shown.model());
        QCOMPARE(ids.size(), 10);
        QCOMPARE(ids[0], u"user-1"_s);
        QCOMPARE(ids[1], u"turn-header-1"_s);
        QVERIFY(ids[3].endsWith(u"-request"_s));
        QVERIFY(ids[4].endsWith(u"-result"_s));
        QCOMPARE(ids[5], u"user-2"_s);
        const auto &failed = shown.model().rows()[9].event();
        QCOMPARE(failed.role, u"TOOL"_s);
        QCOMPARE(failed.title, u"read_file"_s);
        QVERIFY(failed.isError);
        QCOMPARE(failed.result, std::optional(u"no such file"_s));
        QCOMPARE(shown.model().rows()[1].heading.visibleCount, 3);

        // The strip holds both users, both texts and both calls, whatever the ledger shows.
        const auto &entries = shown.view->timeline()->entries();
        QCOMPARE(entries.size(), size_t(6));
        QCOMPARE(entries[2].lane, 2);
        QVERIFY(entries[5].event().isError);

        // Rows read as what they show, with their state.
        const QString turnText = shown.model().data(shown.model().index(1), Qt::AccessibleTextRole).toString();
        QVERIFY2(turnText.startsWith(u"TURN 1，3 个事件"_s), qPrintable(turnText));
        const QString failedText = shown.model().data(shown.model().index(9), Qt::AccessibleTextRole).toString();
        QVERIFY2(failedText.contains(u"失败"_s), qPrintable(failedText));
        QCOMPARE(shown.view->timeline()->accessibleName(), u"轨迹时间线"_s);
        { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void clicksSelectEventsAndToggleTurns()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        appendTurn(h.world, u"run"_s, 1, u"Listing files"_s, u"shell"_s, u"README.md"_s);
        const auto session = openSession(h, u"run"_s);
        QVERIFY(session);
        Shown shown(session);

        // An event row: recorded as the selection and handed to the caller.
        const int result = 4;
        const QString resultId = shown.model().rows()[result].id();
        shown.clickRow(result);
        QCOMPARE(shown.picked.size(), size_t(1));
        QCOMPARE(shown.picked[0].id, resultId);
        QCOMPARE(shown.view->selectedEventId(), std::optional(resultId));
        QVERIFY(shown.model().data(shown.model().index(result), TrajectoryLedgerModel::SelectedRole).toBool());
        QVERIFY(shown.model().data(shown.model().index(result), Qt::AccessibleTextRole).toString().endsWith(u"已选中"_s));

        // The turn row collapses its turn, keeping the heading and its count; a second click opens it.
        shown.clickRow(1);
        QCOMPARE(shown.view->collapsedTurns(), QSet<qint64>{1});
        QCOMPARE(rowIds(shown.model()), (QStringList{u"user-1"_s, u"turn-header-1"_s}));
        QCOMPARE(shown.model().rows()[1].heading.visibleCount, 3);
        QVERIFY(shown.model().data(shown.model().index(1), TrajectoryLedgerModel::CollapsedRole).toBool());
        QCOMPARE(shown.picked.size(), size_t(1)); // a turn row selects nothing
        // Its chevron turns from pointing down to pointing right, then rests.
        QCOMPARE(shown.view->chevronAngle(1), std::optional<qreal>(90));
        QTRY_VERIFY(!shown.view->chevronAngle(1));
        shown.clickRow(1);
        QVERIFY(shown.view->chevronAngle(1));
        QCOMPARE(*shown.view->chevronAngle(1), 0.0);
        QTRY_VERIFY(!shown.view->chevronAngle(1));
        QVERIFY(shown.view->collapsedTurns().isEmpty());
        QCOMPARE(shown.model().rowCount(), 5);
        // The selection survived the collapse.
        QCOMPARE(shown.view->selectedEventId(), std::optional(resultId));

        // Keyboard: the current row is activated with Return.
        shown.list()->setFocus();
        shown.list()->setCurrentIndex(shown.model().index(0));
        QTest::keyClick(shown.list(), Qt::Key_Return);
        QCOMPARE(shown.view->selectedEventId(), std::optional(u"user-1"_s));
        QCOMPARE(shown.picked.back().role, u"USER"_s);

        // Hovering a row marks it for the painter; leaving clears it.
        QTest::mouseMove(shown.list()->viewport(), shown.rowCentre(2));
        QTRY_COMPARE(shown.list()->hoveredRow(), 2);
        { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void stripPicksAndScrollsTheLedger()
    {
        StoreHarness h;
        h.world.addSession(session(u"long"_s, 1));
        // Three turns fill one history page; the window is low enough for the ledger to scroll.
        for (int turn = 1; turn <= 3; ++turn)
            appendTurn(h.world, u"long"_s, turn, u"Step %1"_s.arg(turn), u"tool_%1"_s.arg(turn), u"done"_s);
        const auto session = openSession(h, u"long"_s);
        QVERIFY(session);
        Shown shown(session, {760, 300});
        auto *strip = shown.view->timeline();
        QCOMPARE(strip->entries().size(), size_t(9));
        QVERIFY(shown.list()->verticalScrollBar()->maximum() > 0);
        QCOMPARE(shown.list()->verticalScrollBar()->value(), 0);

        // Hover over the right edge: the last mark, its title as tooltip.
        QTest::mouseMove(strip, QPoint(strip->width() - 1, 20));
        QTRY_COMPARE(strip->hoveredIndex(), std::optional<qsizetype>(8));
        QCOMPARE(shownToolTip(strip->toolTip()), u"tool_3"_s);
        // The gutter stands for no mark; its tooltip is the strip's hint.
        QTest::mouseMove(strip, QPoint(20, 20));
        QTRY_COMPARE(strip->hoveredIndex(), std::nullopt);
        QVERIFY(shownToolTip(strip->toolTip()).contains(u"拖动日志前的轨迹总览"_s));
        QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(shown.picked.empty());

        // A click on the last mark selects its event (the call's request row) and scrolls the
        // ledger so that row sits in the middle of the viewport.
        QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(strip->width() - 1, 40));
        QCOMPARE(shown.picked.size(), size_t(1));
        const QString id = shown.picked[0].id;
        QVERIFY(id.endsWith(u"-request"_s));
        QCOMPARE(shown.view->selectedEventId(), std::optional(id));
        const int row = shown.rowOf(id);
        QVERIFY(row > 0);
        QScrollBar *bar = shown.list()->verticalScrollBar();
        const int wanted = std::min(bar->maximum(), row * TrajectoryRowDelegate::kRowHeight + 15
                                                        - shown.list()->viewport()->height() / 2);
        QTRY_COMPARE(bar->value(), wanted);
        // A mark in the middle: centred exactly.
        const int middleX = 44 + (strip->width() - 44) / 2;
        const auto middleIndex = TrajectoryTimelineGeometry::indexAt(middleX, strip->width(), 44, 9);
        QVERIFY(middleIndex);
        QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(middleX, 10));
        const int middle = shown.rowOf(shown.picked.back().id);
        QTRY_COMPARE(bar->value() + shown.list()->viewport()->height() / 2,
                     middle * TrajectoryRowDelegate::kRowHeight + 15);
        QCOMPARE(shown.view->timeline()->entries()[size_t(*middleIndex)].event().id, shown.picked.back().id);

        // The rows move under a still pointer: the hover follows the row now under it.
        QWidget *viewport = shown.list()->viewport();
        const QPoint pointer(300, viewport->height() / 2);
        QTest::mouseMove(viewport, pointer);
        QTRY_COMPARE(shown.list()->hoveredRow(), shown.list()->indexAt(pointer).row());
        const int before = shown.list()->hoveredRow();
        QWheelEvent wheel(pointer, viewport->mapToGlobal(pointer), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &wheel);
        QTRY_VERIFY(shown.list()->indexAt(pointer).row() != before);
        QCOMPARE(shown.list()->hoveredRow(), shown.list()->indexAt(pointer).row());

        // Off the rows onto the list's scroll bar: no row stays hovered, even as the rows scroll.
        QTest::mouseMove(bar, bar->rect().center());
        QTRY_COMPARE(shown.list()->hoveredRow(), -1);
        QWheelEvent onBar(bar->rect().center(), bar->mapToGlobal(bar->rect().center()), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(bar, &onBar);
        QCOMPARE(shown.list()->hoveredRow(), -1);

        // A press on one row and a release on another is a drag, not a click on either.
        const size_t picks = shown.picked.size();
        QTest::mousePress(viewport, Qt::LeftButton, {}, shown.rowCentre(1));
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, shown.rowCentre(2));
        QCOMPARE(shown.picked.size(), picks);

        // Scrolled to the end, 8 pt of clear space follow the last row; the rows themselves
        // reach the list's bottom edge while they scroll.
        QCOMPARE(viewport->height(), shown.list()->height());
        for (int i = 0; i < 50 && bar->value() < bar->maximum(); ++i) {
            QWheelEvent down(pointer, viewport->mapToGlobal(pointer), QPoint(), QPoint(0, -120), Qt::NoButton,
                             Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(viewport, &down);
        }
        QCOMPARE(bar->value(), bar->maximum());
        const QModelIndex lastRow = shown.model().index(shown.model().rowCount() - 1);
        QCOMPARE(shown.list()->visualRect(lastRow).bottom() + 1 + TrajectoryLedgerList::kEndSpace, viewport->height());

        // A mark whose turn the ledger has collapsed is still picked.
        QTest::mouseClick(child<QAbstractButton>(shown.view, u"trajectory-collapse-turns"_s), Qt::LeftButton);
        QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(strip->width() - 1, 40));
        QCOMPARE(shown.picked.back().id, id);
        QCOMPARE(shown.view->selectedEventId(), std::optional(id));
        QCOMPARE(shown.rowOf(id), -1);
        { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    // The toolbar's toggles, the ledger's rows and the strip's marks do by their accessibility
    // action what their click does; rows and marks read as what they show.
    void actionsDoWhatClicksDo()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        appendTurn(h.world, u"run"_s, 1, u"Listing files"_s, u"shell"_s, u"README.md"_s);
        const auto session = openSession(h, u"run"_s);
        QVERIFY(session);
        std::unique_ptr<Shown> shown;
        ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            shown.reset();
            shown = std::make_unique<Shown>(session);
            return shown->window.get();
        };
        check.state = [&] {
            const TrajectoryView *view = shown->view;
            QStringList collapsed;
            for (qint64 turn : view->collapsedTurns())
                collapsed << QString::number(turn);
            return u"selected="_s + view->selectedEventId().value_or(u"-"_s) + u" picked="_s
                + QString::number(shown->picked.size()) + u" collapsed="_s + collapsed.join(u',')
                + u" calls="_s + QString::number(view->collapseCalls()) + u" rows="_s
                + QString::number(shown->model().rowCount());
        };
        const ActionParityReport report = actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // Two toggles, five rows, three marks.
        QVERIFY2(report.controls.size() >= 10, qPrintable(report.controls.join(u'\n')));
        QCOMPARE(qsizetype(report.changed), report.controls.size());

        // As a screen reader finds them: the rows under the ledger, the marks under the strip,
        // named by their text, with their selected and collapsed state.
        shown = std::make_unique<Shown>(session);
        QAccessibleInterface *ledger = QAccessible::queryAccessibleInterface(shown->list());
        QCOMPARE(ledger->childCount(), shown->model().rowCount());
        QAccessibleInterface *turnRow = ledger->child(1);
        QVERIFY(turnRow);
        QCOMPARE(turnRow->role(), QAccessible::ListItem);
        QVERIFY2(turnRow->text(QAccessible::Name).startsWith(u"TURN 1"_s), qPrintable(turnRow->text(QAccessible::Name)));
        QVERIFY(turnRow->state().expandable && turnRow->state().expanded);
        QCOMPARE(ledger->indexOfChild(turnRow), 1);
        QCOMPARE(turnRow->parent(), ledger);
        QCOMPARE(ledger->childAt(turnRow->rect().center().x(), turnRow->rect().center().y()), turnRow);
        turnRow->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(shown->view->collapsedTurns(), QSet<qint64>{1});
        QVERIFY(turnRow->state().collapsed);
        QVERIFY(turnRow->text(QAccessible::Name).endsWith(u"已折叠"_s));
        // The rows the collapse took away are gone for assistive technology too.
        QCOMPARE(ledger->childCount(), 2);
        QVERIFY(!ledger->child(2));

        QAccessibleInterface *strip = QAccessible::queryAccessibleInterface(shown->view->timeline());
        QCOMPARE(strip->childCount(), 3);
        QAccessibleInterface *call = strip->child(2);
        QCOMPARE(call->text(QAccessible::Name), u"shell"_s);
        QCOMPARE(call->text(QAccessible::Description), u"Tools"_s);
        QVERIFY(!call->state().selected);
        call->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(shown->view->selectedEventId(), std::optional(shown->view->timeline()->entries()[2].event().id));
        QVERIFY(call->state().selected);
        { const QStringList problems = accessibilityProblems(shown->window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    // Tab goes along the toolbar and into the ledger; Space and Return work the toggles.
    void keyboardFollowsTheToolbarIntoTheLedger()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        appendTurn(h.world, u"run"_s, 1, u"Listing files"_s, u"shell"_s, u"README.md"_s);
        const auto session = openSession(h, u"run"_s);
        QVERIFY(session);
        Shown shown(session);
        QApplication::setActiveWindow(shown.window.get());
        QVERIFY(QTest::qWaitForWindowActive(shown.window.get()));
        const QList<QWidget *> chain = tabChain(shown.window.get());
        const QStringList problems = tabOrderProblems(shown.window.get(), 4);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        QCOMPARE(chain.first()->objectName(), u"trajectory-collapse-turns"_s);
        QCOMPARE(chain.last(), static_cast<QWidget *>(shown.list()));

        QWidget *turns = chain.first();
        turns->setFocus(Qt::TabFocusReason);
        QTest::keyClick(turns, Qt::Key_Space);
        QCOMPARE(shown.view->collapsedTurns(), QSet<qint64>{1});
        QTest::keyClick(turns, Qt::Key_Return);
        QVERIFY(shown.view->collapsedTurns().isEmpty());
        QWidget *calls = child(shown.view, u"trajectory-collapse-calls"_s);
        calls->setFocus(Qt::TabFocusReason);
        QTest::keyClick(calls, Qt::Key_Return);
        QVERIFY(shown.view->collapseCalls());
        QVERIFY(qobject_cast<QAbstractButton *>(calls)->isChecked());
    }

    void searchSettlesAfterThePause()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        appendTurn(h.world, u"run"_s, 1, u"Listing files"_s, u"shell"_s, u"README.md"_s);
        appendTurn(h.world, u"run"_s, 2, u"Reading it"_s, u"read_file"_s, u"Needle found"_s);
        const auto session = openSession(h, u"run"_s);
        QVERIFY(session);
        Shown shown(session);
        const QStringList full = rowIds(shown.model());
        shown.view->toggleTurn(1);
        const QStringList collapsed = rowIds(shown.model());

        auto *field = child<QLineEdit>(shown.view, u"trajectory-search"_s);
        QVERIFY(field);
        QSignalSpy reset(&shown.model(), &QAbstractItemModel::modelReset);
        QSignalSpy removed(&shown.model(), &QAbstractItemModel::rowsRemoved);
        field->setFocus();
        QTest::keyClicks(field, u"  NEEDLE "_s);
        // Typed, not yet settled: the old ledger stays.
        QCOMPARE(shown.view->searchText(), u"  NEEDLE "_s);
        QCOMPARE(shown.view->searchQuery(), QString());
        QVERIFY(shown.view->isSearchSettling());
        QCOMPARE(rowIds(shown.model()), collapsed);
        QTRY_COMPARE(shown.view->searchQuery(), u"needle"_s);
        // One filtering for the whole burst of keystrokes.
        QCOMPARE(removed.count(), 1);
        QCOMPARE(reset.count(), 0);
        // Only turn 2 has a hit; the users and turn 1 drop out.
        const QStringList hits = rowIds(shown.model());
        QCOMPARE(hits.size(), 2);
        QCOMPARE(hits[0], u"turn-header-2"_s);
        QVERIFY(hits[1].endsWith(u"-result"_s));
        QCOMPARE(shown.model().rows()[0].heading.visibleCount, 1);
        // Non-matching marks fade in the strip too.
        QCOMPARE(shown.view->timeline()->entries().size(), size_t(6));

        // A search that matches nothing.
        field->selectAll();
        QTest::keyClicks(field, u"zzz"_s);
        QTRY_COMPARE(shown.view->searchQuery(), u"zzz"_s);
        auto *empty = child(shown.view, u"trajectory-empty"_s);
        QVERIFY(empty->isVisible());
        QVERIFY(empty->findChild<QLabel *>() != nullptr);
        QStringList texts;
        for (auto *label : empty->findChildren<QLabel *>())
            texts << label->text();
        QVERIFY(texts.contains(u"没有匹配事件"_s));
        QVERIFY(texts.contains(u"尝试缩短搜索内容。"_s));

        // Clearing the field brings back the ledger with turn 1 collapsed again; a search that
        // lists a collapsed turn's events did not change the collapse set.
        field->clear();
        QTRY_COMPARE(shown.view->searchQuery(), QString());
        QCOMPARE(rowIds(shown.model()), collapsed);
        QCOMPARE(shown.view->collapsedTurns(), QSet<qint64>{1});
        shown.view->toggleTurn(1);
        QCOMPARE(rowIds(shown.model()), full);
        { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void toolbarTogglesFoldTurnsAndCalls()
    {
        StoreHarness h;
        h.world.addSession(session(u"run"_s, 1));
        for (int turn = 1; turn <= 3; ++turn)
            appendTurn(h.world, u"run"_s, turn, u"Text %1"_s.arg(turn), u"shell"_s, u"ok"_s);
        const auto session = openSession(h, u"run"_s);
        QVERIFY(session);
        Shown shown(session);
        auto *turns = child<QAbstractButton>(shown.view, u"trajectory-collapse-turns"_s);
        auto *calls = child<QAbstractButton>(shown.view, u"trajectory-collapse-calls"_s);
        QVERIFY(turns && calls);
        QCOMPARE(turns->accessibleName(), u"折叠回合"_s);
        QVERIFY(!turns->isChecked());

        QTest::mouseClick(turns, Qt::LeftButton);
        QCOMPARE(shown.view->collapsedTurns(), (QSet<qint64>{1, 2, 3}));
        QVERIFY(turns->isChecked());
        QCOMPARE(shown.model().rowCount(), 6);
        QTest::mouseClick(turns, Qt::LeftButton);
        QVERIFY(shown.view->collapsedTurns().isEmpty());
        QVERIFY(!turns->isChecked());
        // Two of three collapsed: off, and a click collapses all three.
        shown.view->toggleTurn(1);
        shown.view->toggleTurn(2);
        QVERIFY(!turns->isChecked());
        QTest::mouseClick(turns, Qt::LeftButton);
        QCOMPARE(shown.view->collapsedTurns(), (QSet<qint64>{1, 2, 3}));
        QTest::mouseClick(turns, Qt::LeftButton);

        // Select a request half, then merge the calls: one tool row per call, the selection id kept.
        const int request = shown.rowOf(shown.model().rows()[3].id());
        const QString requestId = shown.model().rows()[request].id();
        QVERIFY(requestId.endsWith(u"-request"_s));
        shown.clickRow(request);
        QTest::mouseClick(calls, Qt::LeftButton);
        QVERIFY(shown.view->collapseCalls());
        QVERIFY(calls->isChecked());
        QCOMPARE(shown.model().rowCount(), 3 * 4);
        QCOMPARE(shown.view->selectedEventId(), std::optional(requestId));
        QCOMPARE(shown.rowOf(requestId), -1);
        const QString merged = requestId.chopped(int(u"-request"_s.size()));
        const int mergedRow = shown.rowOf(merged);
        QVERIFY(mergedRow > 0);
        QCOMPARE(shown.model().rows()[mergedRow].event().role, u"TOOL"_s);
        QVERIFY(shown.model().rows()[mergedRow].event().summary.startsWith(u"完成 · "_s));
        // The strip's call marks now carry the merged ids.
        QCOMPARE(shown.view->timeline()->entries()[2].event().id, merged);
        QTest::mouseClick(calls, Qt::LeftButton);
        QCOMPARE(shown.rowOf(requestId), request);
        QVERIFY(shown.model().data(shown.model().index(request), TrajectoryLedgerModel::SelectedRole).toBool());
        { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void streamingKeepsTheScrollPosition()
    {
        StoreHarness h;
        h.world.addSession(session(u"live"_s, 1));
        AppModel *store = h.connected();
        h.waitForStreams();
        const auto session = openSession(h, u"live"_s);
        QVERIFY(session);
        Shown shown(session, {760, 240});

        // Real runs of the host: the prompt's echo, then reasoning, text and a tool call,
        // streamed in pieces.
        sim::SimWorld::AgentStep reasoning;
        reasoning.kind = sim::SimWorld::AgentStep::Kind::Reasoning;
        reasoning.deltas = {u"Thinking "_s, u"it over."_s};
        sim::SimWorld::AgentStep text;
        text.kind = sim::SimWorld::AgentStep::Kind::Text;
        text.deltas = {u"Here "_s, u"it is."_s};
        sim::SimWorld::AgentStep call;
        call.kind = sim::SimWorld::AgentStep::Kind::ToolCall;
        call.toolName = u"grep"_s;
        call.arguments = u"{\"q\":\"x\"}"_s;
        sim::SimWorld::AgentStep result;
        result.kind = sim::SimWorld::AgentStep::Kind::ToolResult;
        result.text = u"one match"_s;
        sim::SimWorld::AgentStep end;
        end.kind = sim::SimWorld::AgentStep::Kind::EndStep;
        h.world.setScript({reasoning, text, call, result, end});
        const QStringList firstTurn{u"user-1"_s, u"turn-header-1"_s, u"turn-1-step-1-block-0"_s, u"turn-1-step-1-block-1"_s,
                                    u"turn-1-step-1-block-2-request"_s, u"turn-1-step-1-block-2-result"_s};
        store->sessionActions()->sendPrompt(u"go"_s);
        QTRY_COMPARE_WITH_TIMEOUT(rowIds(shown.model()), firstTurn, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!session->running(), 20000);
        QCOMPARE(shown.model().rows()[2].event().title, u"思考过程"_s);
        QCOMPARE(shown.model().rows()[5].event().summary, u"one match"_s);

        QScrollBar *bar = shown.list()->verticalScrollBar();
        QVERIFY(bar->maximum() >= 30);
        bar->setValue(30);
        QSignalSpy reset(&shown.model(), &QAbstractItemModel::modelReset);
        QSignalSpy inserted(&shown.model(), &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&shown.model(), &QAbstractItemModel::rowsRemoved);
        store->sessionActions()->sendPrompt(u"again"_s);
        QTRY_VERIFY_WITH_TIMEOUT(shown.model().rowCount() == 12 && !session->running(), 20000);
        QCOMPARE(rowIds(shown.model()).mid(0, 6), firstTurn);
        QCOMPARE(rowIds(shown.model())[6], u"user-2"_s);
        // The streamed rows were added below and updated in place: the view did not move.
        QCOMPARE(bar->value(), 30);
        QCOMPARE(reset.count(), 0);
        QCOMPARE(removed.count(), 0);
        QVERIFY(inserted.count() >= 2);
        const int heading = shown.rowOf(u"turn-header-2"_s);
        QVERIFY(shown.model().rows()[heading].heading.status.isFinished());
        QCOMPARE(shown.view->timeline()->entries().back().event().title, u"grep"_s);
    }

    void emptyAndLoadingStates()
    {
        StoreHarness h;
        h.world.addSession(session(u"quiet"_s, 2));
        h.world.addSession(session(u"slow"_s, 1));
        const auto quiet = openSession(h, u"quiet"_s);
        QVERIFY(quiet);
        {
            Shown shown(quiet);
            auto *empty = child(shown.view, u"trajectory-empty"_s);
            QVERIFY(empty->isVisible());
            QStringList texts;
            for (auto *label : empty->findChildren<QLabel *>())
                texts << label->text();
            QVERIFY(texts.contains(u"暂无运行轨迹"_s));
            QVERIFY(texts.contains(u"会话运行后，事件会按发生顺序显示。"_s));
            auto *turns = child<QAbstractButton>(shown.view, u"trajectory-collapse-turns"_s);
            QTest::mouseClick(turns, Qt::LeftButton);
            QVERIFY(shown.view->collapsedTurns().isEmpty());
            QVERIFY(!turns->isChecked());
            // The strip's own empty state: hovering and clicking do nothing.
            auto *strip = shown.view->timeline();
            QTest::mouseMove(strip, QPoint(300, 20));
            QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(300, 20));
            QCOMPARE(strip->hoveredIndex(), std::nullopt);
            QVERIFY(shown.picked.empty());
            { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
        }

        // While the history is loading the loading row stands alone, without the empty state.
        h.world.logs().setHistoryFault(sim::SimSessions::HistoryFault::Hang);
        h.store->selection()->selectSession(u"slow"_s);
        const auto slow = h.store->selection()->sessionModel(u"slow"_s);
        QVERIFY(slow);
        QTRY_VERIFY_WITH_TIMEOUT(slow->isLoadingHistory(), 20000);
        Shown shown(slow);
        QVERIFY(child(shown.view, u"trajectory-loading"_s)->isVisible());
        QVERIFY(!child(shown.view, u"trajectory-empty"_s)->isVisible());
        QCOMPARE(shown.model().rowCount(), 0);
        { const QStringList problems = accessibilityProblems(shown.window.get()); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    // A title that fits is shown whole: eliding to a width rounded down from the text's own
    // once cut short tool names ("she…" for "shell") on a wide row.
    void eventRowsCutOnlyWhatDoesNotFit()
    {
        const QRect row(0, 0, 760, TrajectoryRowDelegate::kRowHeight);
        const QString alphabet = u"abcdefghijklmnopqrstuvwxyz_"_s;
        QStringList titles{u"shell"_s, u"apply_patch"_s, u"read_file"_s, u"web_search"_s, u"思考过程"_s, u"回复"_s,
                           u"用户消息"_s, u"Bash"_s, u"grep"_s, u"mixed 中文 title"_s};
        for (qsizetype n = 1; n <= alphabet.size(); ++n)
            titles << alphabet.left(n);
        for (const QString &role : {u"TOOL"_s, u"ASSISTANT"_s}) {
            for (const QString &title : std::as_const(titles)) {
                for (const QString &summary : {QString(), u"{}"_s, u"Running the auth test suite now."_s}) {
                    TrajectoryEventSelection event{u"e"_s, role, title, 1, 1, summary, {}, {}, false};
                    const auto content = TrajectoryRowDelegate::eventContent(row, event);
                    QCOMPARE(content.title, title);
                    QCOMPARE(content.summary, summary);
                    QCOMPARE(content.step, u"STEP 1"_s);
                    // Nothing runs into the step or past the row's padding.
                    QVERIFY(content.titleRect.right() < content.stepRect.left() - 4);
                    if (!summary.isEmpty()) {
                        QVERIFY(content.summaryRect.left() >= content.titleRect.right() + 8);
                        QVERIFY(content.summaryRect.right() < content.stepRect.left() - 4);
                    }
                    QVERIFY(content.stepRect.right() <= row.right() - 8);
                }
            }
        }

        // A long title and a long summary share the line: both are cut, the title keeps
        // three fifths and the summary the rest.
        const QString longTitle = u"very_long_tool_name_"_s.repeated(20);
        const QString longSummary = u"a summary that goes on "_s.repeated(20);
        TrajectoryEventSelection both{u"e"_s, u"TOOL"_s, longTitle, 1, std::nullopt, longSummary, {}, {}, false};
        auto content = TrajectoryRowDelegate::eventContent(row, both);
        QVERIFY(content.step.isEmpty());
        QVERIFY(content.title.endsWith(u'…'));
        QVERIFY(content.summary.endsWith(u'…'));
        const int available = row.right() - 8 - (TrajectoryRowDelegate::kEventColumn + 1 + 8 + 12 + 8);
        QCOMPARE(content.titleRect.width(), available * 3 / 5);
        QVERIFY(content.summaryRect.right() <= row.right() - 8);

        // A long title with a short summary leaves the summary just the room it needs.
        both.summary = u"{}"_s;
        content = TrajectoryRowDelegate::eventContent(row, both);
        QVERIFY(content.title.endsWith(u'…'));
        QVERIFY(content.titleRect.width() > available * 3 / 5);
        QCOMPARE(content.summary, u"{}"_s);

        // A notice's text as its title keeps to the row's one line: breaks show as blanks.
        const TrajectoryEventSelection notice{u"notice-1-n"_s, u"SYSTEM"_s, u"第一行\n第二行\u2028第三行"_s, {}, {},
                                              u"a\r\nb"_s, {}, {}, false};
        content = TrajectoryRowDelegate::eventContent(row, notice);
        QCOMPARE(content.title, u"第一行 第二行 第三行"_s);
        QCOMPARE(content.summary, u"a  b"_s);

        // A row too narrow for a summary drops it instead of squeezing in a lone ellipsis.
        content = TrajectoryRowDelegate::eventContent(QRect(0, 0, 180, 30), both);
        QVERIFY(content.summary.isEmpty());
        // ... and the title has the whole line.
        QCOMPARE(content.titleRect.width(), 180 - 1 - 8 - (TrajectoryRowDelegate::kEventColumn + 1 + 8 + 12 + 8));
    }
};

NBD_GUI_TEST_MAIN(TestTrajectoryView)
#include "tst_trajectoryview.moc"
