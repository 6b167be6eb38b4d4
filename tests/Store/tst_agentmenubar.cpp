// The tray menu's model: status summary, the entries for 0, 1 and 3 waiting approvals, the
// cancel control for one and several running sessions, the notification state lines, and the
// approval route that notifications and the menu answer through.

#include "Store/AgentMenuBarMenu.h"

#include <QTest>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

using Kind = AgentMenuEntry::Kind;
using Command = AgentMenuEntry::Command;

PendingApproval approval(const QString &n, const QString &session, const QString &tool)
{
    return PendingApproval{u"rpc-"_s + n, u"rpc-"_s + n, session, u"ap-"_s + n, tool, std::nullopt, std::nullopt};
}

SessionSummary session(const QString &id, bool running, const QString &cwd)
{
    SessionSummary s;
    s.sessionId = id;
    s.running = running;
    s.cwd = cwd;
    return s;
}

// One line per entry: "-" for a separator, "T:" inactive text, "A:" action, "M:" submenu
// (children indented).
QStringList outline(const std::vector<AgentMenuEntry> &entries, const QString &indent = QString())
{
    QStringList lines;
    for (const AgentMenuEntry &e : entries) {
        switch (e.kind) {
        case Kind::Separator:
            lines << indent + u"-"_s;
            break;
        case Kind::Text:
            lines << indent + u"T:"_s + e.title;
            break;
        case Kind::Action:
            lines << indent + u"A:"_s + e.title + (e.destructive ? u" !"_s : QString());
            break;
        case Kind::Submenu:
            lines << indent + u"M:"_s + e.title;
            lines << outline(e.children, indent + u"  "_s);
            break;
        }
    }
    return lines;
}

AgentMenuBarInput baseInput()
{
    AgentMenuBarInput input;
    input.sessions = {session(u"s1"_s, false, u"/home/u/alpha"_s), session(u"s2"_s, false, u"/home/u/beta"_s)};
    input.displayTitle = [](const QString &id) -> std::optional<QString> {
        if (id == u"s1"_s)
            return u"alpha"_s;
        if (id == u"s2"_s)
            return u"beta"_s;
        return std::nullopt;
    };
    return input;
}

const QStringList tail{u"-"_s, u"T:审批通知未设置"_s, u"-"_s, u"A:设置"_s, u"A:退出 Nimbrel Deck"_s};

} // namespace

class AgentMenuBarTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void statusTexts_data()
    {
        QTest::addColumn<int>("running");
        QTest::addColumn<int>("pending");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("menuTitle");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("nothing") << 0 << 0 << u"已完成"_s << u"Agent 已完成"_s << u"checkmark.circle.fill"_s;
        QTest::newRow("one running") << 1 << 0 << u"运行中"_s << u"Agent 运行中（1）"_s << u"circle.dotted"_s;
        QTest::newRow("three running") << 3 << 0 << u"运行中 3"_s << u"Agent 运行中（3）"_s << u"circle.dotted"_s;
        QTest::newRow("approval wins") << 2 << 1 << u"等待审批"_s << u"Agent 等待审批（1）"_s
                                       << u"exclamationmark.circle.fill"_s;
        QTest::newRow("many approvals, no grouping")
            << 0 << 12345 << u"等待审批 12345"_s << u"Agent 等待审批（12345）"_s << u"exclamationmark.circle.fill"_s;
    }
    void statusTexts()
    {
        QFETCH(int, running);
        QFETCH(int, pending);
        const AgentMenuBarStatus status = AgentMenuBarStatus::make(running, pending);
        QTEST(status.title(), "title");
        QTEST(status.menuTitle(), "menuTitle");
        QTEST(status.symbolName(), "symbol");
    }

    // Nothing waiting or running: no approvals submenu, no cancel control, one separator between
    // the Quick Ask entry and the notification state.
    void noApprovals()
    {
        const QStringList expected = QStringList{u"T:Agent 已完成"_s, u"-"_s, u"A:打开主窗口"_s, u"A:快速提问"_s} + tail;
        QCOMPARE(outline(agentMenuBarMenu(baseInput())), expected);
    }

    // One approval and two running sessions: both submenus, each approval with its four entries.
    void oneApprovalTwoRunning()
    {
        AgentMenuBarInput input = baseInput();
        input.sessions[0].running = true;
        input.sessions[1].running = true;
        input.pendingApprovals = {approval(u"1"_s, u"s1"_s, u"shell"_s)};
        const std::vector<AgentMenuEntry> menu = agentMenuBarMenu(input);
        const QStringList expected = QStringList{
            u"T:Agent 等待审批（1）"_s, u"-"_s, u"A:打开主窗口"_s, u"A:快速提问"_s, u"-"_s,
            u"M:待审批（1）"_s, u"  M:\u2068shell\u2069 · \u2068alpha\u2069"_s, u"    A:批准一次"_s, u"    A:拒绝 !"_s, u"    -"_s,
            u"    A:在主窗口中查看"_s, u"-"_s, u"M:取消任务"_s, u"  A:\u2068alpha\u2069 !"_s, u"  A:\u2068beta\u2069 !"_s} + tail;
        QCOMPARE(outline(menu), expected);

        const AgentMenuEntry &item = menu[5].children[0];
        QCOMPARE(item.id, u"rpc-1"_s);
        const ApprovalNotificationRoute route(u"rpc-1"_s, u"s1"_s, u"ap-1"_s);
        QCOMPARE(item.children[0].command, Command::ApproveOnce);
        QCOMPARE(item.children[0].route, std::optional(route));
        QCOMPARE(item.children[1].command, Command::Reject);
        QCOMPARE(item.children[1].route, std::optional(route));
        QCOMPARE(item.children[3].command, Command::ShowInMainWindow);
        QCOMPARE(item.children[3].sessionId, u"s1"_s);
        QCOMPARE(menu[7].children[1].command, Command::CancelSession);
        QCOMPARE(menu[7].children[1].sessionId, u"s2"_s);
    }

    // Three approvals keep the store's order; an untitled session reads "未知会话"; one running
    // session gets the single cancel entry.
    void threeApprovalsOneRunning()
    {
        AgentMenuBarInput input = baseInput();
        input.sessions[1].running = true;
        input.pendingApprovals = {approval(u"3"_s, u"s2"_s, u"write"_s), approval(u"1"_s, u"gone"_s, u"shell"_s),
                                  approval(u"2"_s, u"s1"_s, u"fetch"_s)};
        const std::vector<AgentMenuEntry> menu = agentMenuBarMenu(input);
        QCOMPARE(menu[0].title, u"Agent 等待审批（3）"_s);
        QCOMPARE(menu[5].title, u"待审批（3）"_s);
        QStringList titles;
        QStringList ids;
        for (const AgentMenuEntry &item : menu[5].children) {
            titles << item.title;
            ids << item.id;
            QCOMPARE(item.children.size(), size_t(4));
        }
        QCOMPARE(titles, (QStringList{u"\u2068write\u2069 · \u2068beta\u2069"_s, u"\u2068shell\u2069 · 未知会话"_s, u"\u2068fetch\u2069 · \u2068alpha\u2069"_s}));
        QCOMPARE(ids, (QStringList{u"rpc-3"_s, u"rpc-1"_s, u"rpc-2"_s}));
        QCOMPARE(menu[5].children[1].children[0].route->sessionId, u"gone"_s);
        QCOMPARE(menu[6].kind, Kind::Separator);
        QCOMPARE(menu[7].title, u"取消当前任务"_s);
        QCOMPARE(menu[7].kind, Kind::Action);
        QVERIFY(menu[7].destructive);
        QCOMPARE(menu[7].sessionId, u"s2"_s);
    }

    void notificationState()
    {
        AgentMenuBarInput input = baseInput();
        input.authorizationStatus = NotificationAuthorizationStatus::Denied;
        input.lastError = u"这项审批已处理或已失效"_s;
        std::vector<AgentMenuEntry> menu = agentMenuBarMenu(input);
        const AgentMenuEntry &state = menu[menu.size() - 5];
        QCOMPARE(state.kind, Kind::Action);
        QCOMPARE(state.title, u"审批通知已关闭…"_s);
        QCOMPARE(state.command, Command::OpenNotificationSettings);
        QCOMPARE(menu[menu.size() - 4].kind, Kind::Text);
        QCOMPARE(menu[menu.size() - 4].title, u"这项审批已处理或已失效"_s);

        const std::pair<NotificationAuthorizationStatus, QString> others[] = {
            {NotificationAuthorizationStatus::Authorized, u"审批通知已开启"_s},
            {NotificationAuthorizationStatus::Provisional, u"审批通知已开启"_s},
            {NotificationAuthorizationStatus::NotDetermined, u"审批通知未设置"_s},
            {NotificationAuthorizationStatus::Unavailable, u"审批通知不可用"_s},
        };
        for (const auto &[status, label] : others) {
            input.authorizationStatus = status;
            input.lastError.reset();
            menu = agentMenuBarMenu(input);
            QCOMPARE(menu[menu.size() - 4].kind, Kind::Text);
            QCOMPARE(menu[menu.size() - 4].title, label);
        }
        QVERIFY(canDeliverNotifications(NotificationAuthorizationStatus::Ephemeral));
        QVERIFY(!canDeliverNotifications(NotificationAuthorizationStatus::Denied));
        QVERIFY(!canDeliverNotifications(NotificationAuthorizationStatus::Unavailable));
    }

    void routeUserInfo()
    {
        const ApprovalNotificationRoute route(approval(u"7"_s, u"s1"_s, u"shell"_s));
        QCOMPARE(route.notificationIdentifier(), u"dev.nimbrel.Deck.approval.rpc-7"_s);
        QCOMPARE(ApprovalNotificationRoute::fromUserInfo(route.userInfo()), std::optional(route));
        QCOMPARE(route.userInfo().size(), 3);
        for (const QString &key : {u"rpcId"_s, u"sessionId"_s, u"approvalId"_s}) {
            QHash<QString, QString> missing = route.userInfo();
            missing.remove(key);
            QVERIFY(!ApprovalNotificationRoute::fromUserInfo(missing));
            QHash<QString, QString> empty = route.userInfo();
            empty[key] = QString();
            QVERIFY(!ApprovalNotificationRoute::fromUserInfo(empty));
        }
        PendingApproval other = approval(u"7"_s, u"s1"_s, u"shell"_s);
        QVERIFY(route.matches(other));
        other.approvalId = u"ap-8"_s;
        QVERIFY(!route.matches(other));
    }
};

QTEST_GUILESS_MAIN(AgentMenuBarTest)
#include "tst_agentmenubar.moc"
