// The goal bar and the todo checklist, driven by mouse and keyboard, against a store connected
// to the simulated host.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "TypeText.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Spinner.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

JSONValue goalValue(const QString &id, const QString &phase, const QString &objective = u"让测试全部通过"_s,
                    std::optional<QString> blocked = std::nullopt)
{
    JSONValue goal = JSONValue::object(
        {{u"id"_s, id}, {u"revision"_s, 4}, {u"objective"_s, objective}, {u"phase"_s, phase}});
    if (blocked)
        goal = goal.with(u"blockedReason"_s, JSONValue::object({{u"message"_s, *blocked}}));
    return JSONValue::object({{u"goal"_s, goal}, {u"roundsStarted"_s, 1}, {u"createdAt"_s, 1.0}, {u"updatedAt"_s, 2.0}});
}

JSONValue todosValue(QStringList statuses)
{
    JSONValue::Elements items;
    int n = 0;
    for (const QString &status : statuses)
        items.push_back(JSONValue::object({{u"content"_s, u"第 "_s + QString::number(++n) + u" 项任务"_s}, {u"status"_s, status}}));
    return JSONValue::array(std::move(items));
}

} // namespace

class tst_GoalBanner : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::StoreHarness> m_h;
    std::unique_ptr<QWidget> m_window;
    GoalBannerView *m_banner = nullptr;
    std::shared_ptr<SessionModel> m_session;

    void showBanner()
    {
        m_session = m_h->openSession(u"s1"_s);
        QVERIFY(m_session);
        m_window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_window.get());
        layout->addStretch(1);
        m_banner = new GoalBannerView(m_h->store->sessionActions(), m_session, m_window.get());
        layout->addWidget(m_banner);
        m_window->resize(900, 500);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    QAbstractButton *button(const QString &symbol) const
    {
        return m_banner->findChild<QAbstractButton *>(u"goal-"_s + symbol);
    }

    QStringList visibleButtons() const
    {
        QStringList names;
        for (const QString &symbol : {u"pause"_s, u"play"_s, u"pencil"_s, u"trash"_s, u"xmark"_s, u"checkmark"_s}) {
            if (button(symbol)->isVisible())
                names << symbol;
        }
        return names;
    }

    JSONValue lastGoalPayload(const QString &action) const
    {
        const auto requests = m_h->host.requests(u"goal."_s + action);
        return requests.isEmpty() ? JSONValue() : requests.last().payload;
    }

private Q_SLOTS:
    void init()
    {
        m_h = std::make_unique<test::StoreHarness>();
        m_h->world.addSession(test::session(u"s1"_s, 2000));
        m_h->connectedAndStreaming();
    }

    void cleanup()
    {
        m_window.reset();
        m_session.reset();
        m_h.reset();
    }

    void drawsOnlyRowsWithSomethingToShow()
    {
        showBanner();
        QVERIFY(m_banner->isHidden());
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"complete"_s));
        QTRY_VERIFY(m_session->goal().has_value());
        QVERIFY(m_banner->isHidden());
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue({u"pending"_s}));
        QTRY_VERIFY(m_banner->isVisible());
        QVERIFY(m_banner->findChild<QWidget *>(u"todo-dock"_s)->isVisible());
        QVERIFY(!m_banner->findChild<QWidget *>(u"goal-dock"_s)->isVisible());
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"active"_s));
        QTRY_VERIFY(m_banner->findChild<QWidget *>(u"goal-dock"_s)->isVisible());
        test::requireAccessible(m_window.get());
    }

    void phaseDecidesTheButtons_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("active") << u"active"_s << u"目标进行中"_s << QStringList{u"pause"_s, u"pencil"_s, u"trash"_s};
        QTest::newRow("paused") << u"paused"_s << u"目标已暂停"_s << QStringList{u"play"_s, u"pencil"_s, u"trash"_s};
        QTest::newRow("blocked") << u"blocked"_s << u"目标受阻"_s << QStringList{u"pencil"_s, u"trash"_s};
        QTest::newRow("unknown") << u"stalled"_s << u"目标"_s << QStringList{u"pencil"_s, u"trash"_s};
    }

    void phaseDecidesTheButtons()
    {
        QFETCH(QString, phase);
        QFETCH(QString, label);
        QFETCH(QStringList, buttons);
        showBanner();
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, phase));
        QTRY_VERIFY(m_banner->isVisible());
        QCOMPARE(m_banner->findChild<QLabel *>(u"goal-phase"_s)->text(), label);
        QCOMPARE(visibleButtons(), buttons);
        test::requireAccessible(m_window.get());
    }

    void blockedReasonIsTheTooltip()
    {
        showBanner();
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"blocked"_s, u"修复 <b>CI</b>"_s, u"缺少部署凭据"_s));
        QTRY_VERIFY(m_banner->isVisible());
        auto *objective = m_banner->findChild<ElidedLabel *>(u"goal-objective"_s);
        QCOMPARE(objective->text(), u"修复 <b>CI</b>"_s);
        QCOMPARE(objective->toolTip(), u"缺少部署凭据"_s);
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"active"_s, u"修复 CI"_s));
        QTRY_COMPARE(objective->toolTip(), u"修复 CI"_s);
    }

    void buttonsSendGoalActions()
    {
        showBanner();
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"active"_s));
        QTRY_VERIFY(m_banner->isVisible());
        QTest::mouseClick(button(u"pause"_s), Qt::LeftButton);
        QTRY_COMPARE(m_h->requestCount(u"goal.pause"_s), 1);
        const JSONValue pause = lastGoalPayload(u"pause"_s);
        QCOMPARE(pause.find(u"sessionId")->string(), std::optional<QString>(u"s1"_s));
        QCOMPARE(pause.find(u"ref")->find(u"id")->string(), std::optional<QString>(u"g1"_s));
        QCOMPARE(pause.find(u"ref")->find(u"revision")->toInt(), std::optional<qint64>(4));
        QVERIFY(!pause.find(u"objective"));
        // Nothing changes until the host says so.
        QCOMPARE(visibleButtons(), (QStringList{u"pause"_s, u"pencil"_s, u"trash"_s}));
        QTest::mouseClick(button(u"trash"_s), Qt::LeftButton);
        QTRY_COMPARE(m_h->requestCount(u"goal.clear"_s), 1);
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"paused"_s));
        QTRY_VERIFY(button(u"play"_s)->isVisible());
        QTest::mouseClick(button(u"play"_s), Qt::LeftButton);
        QTRY_COMPARE(m_h->requestCount(u"goal.resume"_s), 1);
    }

    void editInPlaceRefusesBlanksAndSendsTheTrimmedObjective()
    {
        showBanner();
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"active"_s));
        QTRY_VERIFY(m_banner->isVisible());
        QTest::mouseClick(button(u"pencil"_s), Qt::LeftButton);
        auto *field = m_banner->findChild<QLineEdit *>(u"goal-edit-field"_s);
        QVERIFY(field->isVisible());
        QCOMPARE(field->text(), u"让测试全部通过"_s);
        QCOMPARE(visibleButtons(), (QStringList{u"xmark"_s, u"checkmark"_s}));
        test::requireAccessible(m_window.get());

        field->setFocus();
        field->selectAll();
        test::typeText(field, u"   "_s);
        QVERIFY(!button(u"checkmark"_s)->isEnabled());
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(field->isVisible());
        QCOMPARE(m_h->requestCount(u"goal.edit"_s), 0);

        test::typeText(field, u"新的目标  "_s);
        QVERIFY(button(u"checkmark"_s)->isEnabled());
        QTest::keyClick(field, Qt::Key_Return);
        QTRY_COMPARE(m_h->requestCount(u"goal.edit"_s), 1);
        QCOMPARE(lastGoalPayload(u"edit"_s).find(u"objective")->string(), std::optional<QString>(u"新的目标"_s));
        QVERIFY(!field->isVisible());

        // Cancel keeps nothing: the next edit starts from the objective again.
        QTest::mouseClick(button(u"pencil"_s), Qt::LeftButton);
        test::typeText(field, u" 放弃"_s);
        QTest::mouseClick(button(u"xmark"_s), Qt::LeftButton);
        QVERIFY(!field->isVisible());
        QTest::mouseClick(button(u"pencil"_s), Qt::LeftButton);
        QCOMPARE(field->text(), u"让测试全部通过"_s);
        QCOMPARE(m_h->requestCount(u"goal.edit"_s), 1);

        // Another goal closes the edit without sending anything.
        test::typeText(field, u"半途"_s);
        m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g2"_s, u"active"_s, u"另一个目标"_s));
        QTRY_VERIFY(!field->isVisible());
        QVERIFY(m_banner->goalEdit().draft().isEmpty());
        QCOMPARE(m_h->requestCount(u"goal.edit"_s), 1);
    }

    // Every control of the goal bar and the todo panel does by its accessibility action what
    // its click does, in the bar's normal state and while the objective is being edited: the
    // same goal call, the same edit opened or closed, the list folded the same way.
    void actionsDoWhatClicksDo_data()
    {
        QTest::addColumn<bool>("editing");
        QTest::newRow("goal shown") << false;
        QTest::newRow("objective being edited") << true;
    }

    void actionsDoWhatClicksDo()
    {
        QFETCH(bool, editing);
        qsizetype baseline = 0;
        test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            m_window.reset();
            showBanner();
            m_h->world.pushProjection(u"s1"_s, u"goal"_s, goalValue(u"g1"_s, u"active"_s));
            m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue({u"completed"_s, u"in_progress"_s, u"pending"_s}));
            (void)QTest::qWaitFor([&] { return button(u"pause"_s)->isVisible() && m_banner->findChild<QWidget *>(u"todo-dock"_s)->isVisible(); });
            if (editing) {
                QTest::mouseClick(button(u"pencil"_s), Qt::LeftButton);
                test::typeText(m_banner->findChild<QLineEdit *>(u"goal-edit-field"_s), u"改"_s);
            }
            m_h->waitForQuietHost();
            baseline = m_h->host.requests().size();
            return m_window.get();
        };
        check.state = [&] {
            auto *field = m_banner->findChild<QLineEdit *>(u"goal-edit-field"_s);
            auto *list = m_banner->findChild<QWidget *>(u"todo-list"_s);
            return m_h->methodsSince(baseline) + u" buttons "_s + visibleButtons().join(u',') + u" edit "_s
                + QString::number(field->isVisible()) + u" list "_s + QString::number(list->isVisible());
        };
        check.async = true;
        check.quiet = [&] { m_h->waitForQuietHost(); };
        const test::ActionParityReport report = test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QVERIFY2(report.changed >= 3, qPrintable(report.controls.join(u'\n')));
    }

    void todoPanelSummaryAndHeights()
    {
        showBanner();
        m_h->world.pushProjection(u"s1"_s, u"todos"_s,
                                  todosValue({u"completed"_s, u"in_progress"_s, u"pending"_s, u"completed"_s, u"weird"_s}));
        QTRY_VERIFY(m_banner->isVisible());
        auto *header = m_banner->findChild<QAbstractButton *>(u"todo-header"_s);
        auto *list = m_banner->findChild<QScrollArea *>(u"todo-list"_s);
        QCOMPARE(header->accessibleName(), u"任务 2 已完成  ·  1 进行中  ·  2 待处理"_s);
        QVERIFY(!list->isVisible());
        QTest::mouseClick(header, Qt::LeftButton);
        QVERIFY(m_banner->todosExpanded());
        QTRY_VERIFY(list->isVisible());
        QCOMPARE(list->height(), 16 * 5 + 8 * 4 + 8);
        const auto spinners = m_banner->findChildren<Spinner *>(u"todo-spinner"_s);
        QCOMPARE(spinners.size(), 1);
        QTRY_VERIFY(spinners.first()->isAnimating());
        const auto rows = m_banner->findChildren<ElidedLabel *>(u"todo-row"_s);
        QCOMPARE(rows.size(), 5);
        QCOMPARE(rows.first()->toolTip(), u"第 1 项任务"_s);
        test::requireAccessible(m_window.get());

        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue({u"pending"_s}));
        QTRY_COMPARE(list->height(), 24);
        QStringList seven(7, u"pending"_s);
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue(seven));
        QTRY_COMPARE(list->height(), 168);
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue(seven << u"pending"_s));
        QTRY_COMPARE(list->height(), 180);

        // Emptied while open: gone, and the next list starts collapsed.
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, JSONValue::array(JSONValue::Elements{}));
        QTRY_VERIFY(m_banner->isHidden());
        QVERIFY(!m_banner->todosExpanded());
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue({u"pending"_s}));
        QTRY_VERIFY(m_banner->isVisible());
        QVERIFY(!list->isVisible());
        // Space on the focused header opens it too.
        header->setFocus();
        QTest::keyClick(header, Qt::Key_Space);
        QVERIFY(m_banner->todosExpanded());
    }

    // A long list is as tall as its count says, but only the rows near what shows exist; a
    // change to one item updates that row alone.
    void longTodoListBuildsOnlyVisibleRows()
    {
        showBanner();
        QStringList statuses(10000, u"pending"_s);
        statuses[0] = u"completed"_s;
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue(statuses));
        QTRY_VERIFY(m_banner->isVisible());
        auto *header = m_banner->findChild<QAbstractButton *>(u"todo-header"_s);
        auto *list = m_banner->findChild<QScrollArea *>(u"todo-list"_s);
        QCOMPARE(header->accessibleName(), u"任务 1 已完成  ·  9999 待处理"_s);
        QVERIFY(m_banner->findChildren<ElidedLabel *>(u"todo-row"_s).isEmpty());
        QTest::mouseClick(header, Qt::LeftButton);
        QTRY_VERIFY(list->isVisible());
        QCOMPARE(list->height(), 180);
        QCOMPARE(list->widget()->height(), 16 * 10000 + 8 * 9999 + 8);
        const auto rowTexts = [&] {
            QMap<int, QString> texts;
            for (ElidedLabel *row : m_banner->findChildren<ElidedLabel *>(u"todo-row"_s))
                texts.insert(row->parentWidget()->y(), row->text());
            return texts;
        };
        const QMap<int, QString> first = rowTexts();
        QVERIFY2(first.size() >= 8 && first.size() <= 30, qPrintable(QString::number(first.size())));
        QCOMPARE(first.first(), u"第 1 项任务"_s);
        QCOMPARE(first.value(24), u"第 2 项任务"_s);

        // The end of the list: its rows are made as they come into view; those far away go.
        list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
        const QMap<int, QString> last = rowTexts();
        QVERIFY(last.size() <= 30);
        QCOMPARE(last.last(), u"第 10000 项任务"_s);
        QCOMPARE(last.lastKey(), 9999 * 24);
        QVERIFY(!last.contains(0));
        list->verticalScrollBar()->setValue(0);

        // One item changes: its row shows the new glyph; every other row is the same widget,
        // with the same glyph.
        const auto glyphOf = [](ElidedLabel *row) -> QWidget * {
            QWidget *frame = row->parentWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).value(0);
            return frame ? frame->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).value(0) : nullptr;
        };
        QHash<QString, QPointer<QWidget>> rows;
        QHash<QString, QPointer<QWidget>> glyphs;
        for (ElidedLabel *row : m_banner->findChildren<ElidedLabel *>(u"todo-row"_s)) {
            rows.insert(row->text(), row->parentWidget());
            glyphs.insert(row->text(), glyphOf(row));
            QVERIFY(glyphOf(row));
        }
        QVERIFY(m_banner->findChildren<Spinner *>(u"todo-spinner"_s).isEmpty());
        statuses[2] = u"in_progress"_s;
        m_h->world.pushProjection(u"s1"_s, u"todos"_s, todosValue(statuses));
        QTRY_COMPARE(m_banner->findChildren<Spinner *>(u"todo-spinner"_s).size(), 1);
        QCOMPARE(header->accessibleName(), u"任务 1 已完成  ·  1 进行中  ·  9998 待处理"_s);
        Spinner *spinner = m_banner->findChildren<Spinner *>(u"todo-spinner"_s).first();
        QCOMPARE(spinner->parentWidget()->parentWidget(), rows.value(u"第 3 项任务"_s).data());
        for (ElidedLabel *row : m_banner->findChildren<ElidedLabel *>(u"todo-row"_s)) {
            QCOMPARE(row->parentWidget(), rows.value(row->text()).data());
            if (row->text() != u"第 3 项任务"_s)
                QCOMPARE(glyphOf(row), glyphs.value(row->text()).data());
        }
        test::requireAccessible(m_window.get());
    }
};

NBD_GUI_TEST_MAIN(tst_GoalBanner)
#include "tst_goalbanner.moc"
