// The tray menu against the simulated host: it follows the store's approvals and sessions,
// its approve entry answers the host through the coordinator, a stale route leaves the
// coordinator's error line in the menu, and the status title becomes the tooltip.

#include "App/TrayMenu.h"
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "System/DesktopIntegration.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

namespace {

AppModel *selectedStore(StoreHarness &h)
{
    sim::SimWorld::Session s = session(u"s1"_s, 1);
    s.title = u"First"_s;
    h.world.addSession(s);
    h.world.setModels(u"s1"_s, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
    h.world.setSubagents(u"s1"_s, {});
    AppModel *store = h.connected();
    h.waitForStreams();
    store->selection()->selectSession(u"s1"_s);
    return store;
}

QStringList texts(const QMenu *menu)
{
    QStringList lines;
    for (const QAction *action : menu->actions())
        lines << (action->isSeparator() ? u"-"_s : action->text());
    return lines;
}

// Clicks an entry of an open menu the way a user does.
void clickEntry(QMenu *menu, QAction *action)
{
    QVERIFY(action);
    QVERIFY(menu->actions().contains(action));
    QTest::mouseMove(menu, menu->actionGeometry(action).center());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
}

} // namespace

class TrayMenuTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void approveFromTheMenu()
    {
        StoreHarness h;
        h.world.setAnnounceResolutions(false); // the answer alone must clear the pending row
        AppModel *store = selectedStore(h);
        ApprovalNotificationCoordinator coordinator(store, nullptr);
        int opened = 0;
        TrayMenu::Actions actions;
        actions.openMainWindow = [&opened] { ++opened; };
        TrayMenu tray(store, &coordinator, actions);
        QSignalSpy titles(&tray, &TrayMenu::titleChanged);
        QMenu *menu = tray.menu();
        QCOMPARE(texts(menu).first(), u"Agent 已完成"_s);
        QCOMPARE(tray.title(), u"已完成"_s);

        store->sessionActions()->sendPrompt(u"go"_s);
        QTRY_COMPARE_WITH_TIMEOUT(store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        const PendingApproval approval = store->interactions()->pendingApprovals().front();
        QTRY_VERIFY_WITH_TIMEOUT(texts(menu).contains(u"待审批（1）"_s), 10000);
        QCOMPARE(texts(menu).first(), u"Agent 等待审批（1）"_s);
        QTRY_COMPARE_WITH_TIMEOUT(tray.title(), u"等待审批"_s, 10000);
        QVERIFY(!titles.isEmpty());
        QCOMPARE(titles.last().first().toString(), u"等待审批"_s);

        // Through the menus with the mouse: the approvals submenu, the approval's own, approve.
        menu->popup(QPoint(10, 10));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        QVERIFY(accessibilityProblems(menu).isEmpty());
        auto *approvals = menu->findChild<QMenu *>(u"tray-submenu"_s);
        QVERIFY(approvals);
        clickEntry(menu, approvals->menuAction());
        QTRY_VERIFY(approvals->isVisible());
        auto *item = menu->findChild<QMenu *>(u"tray-"_s + approval.id);
        QVERIFY(item);
        QCOMPARE(item->title(), u"\u2068shell\u2069 · \u2068First\u2069"_s);
        clickEntry(approvals, item->menuAction());
        QTRY_VERIFY(item->isVisible());
        QCOMPARE(texts(item), (QStringList{u"批准一次"_s, u"拒绝"_s, u"-"_s, u"在主窗口中查看"_s}));
        clickEntry(item, item->findChild<QAction *>(u"tray-"_s + approval.id + u"-approve"_s));

        QTRY_VERIFY_WITH_TIMEOUT(store->interactions()->pendingApprovals().empty(), 10000);
        QCOMPARE(h.world.answers().size(), 1);
        const JSONValue *value = h.world.answers().front().result.find(u"value");
        QVERIFY(value);
        const JSONValue *outcome = value->find(u"outcome");
        QVERIFY(outcome && outcome->isString());
        QCOMPARE(*outcome->stringPtr(), u"allowed-once"_s);
        QVERIFY(!coordinator.lastError());
        // The approvals submenu goes once the store drops the approval.
        QTRY_VERIFY_WITH_TIMEOUT(!texts(menu).contains(u"待审批（1）"_s), 10000);
        QCOMPARE(opened, 0);
    }

    // An entry for an approval the host has already resolved sends nothing and shows why.
    void staleApprovalShowsTheError()
    {
        StoreHarness h;
        AppModel *store = selectedStore(h);
        ApprovalNotificationCoordinator coordinator(store, nullptr);
        TrayMenu tray(store, &coordinator, {});
        QVERIFY(!texts(tray.menu()).contains(u"这项审批已处理或已失效"_s));
        coordinator.answer(ApprovalNotificationRoute(u"rpc-x"_s, u"s1"_s, u"a-x"_s), true);
        QCOMPARE(coordinator.lastError(), std::optional<QString>(u"这项审批已处理或已失效"_s));
        QTRY_VERIFY(texts(tray.menu()).contains(u"这项审批已处理或已失效"_s));
        QCOMPARE(countOf(h.methodsThroughBarrier(), u"respond"_s), 0);
        QCOMPARE(texts(tray.menu()).filter(u"审批通知"_s), QStringList{u"审批通知未设置"_s});
    }
};

NBD_GUI_TEST_MAIN(TrayMenuTest)
#include "tst_traymenu.moc"
