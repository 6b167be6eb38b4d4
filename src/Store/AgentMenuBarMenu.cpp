#include "Store/AgentMenuBarMenu.h"

#include "Domain/BidiIsolate.h"
#include "Domain/ProtocolNames.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

AgentMenuBarStatus AgentMenuBarStatus::make(qint64 runningSessionCount, qint64 pendingApprovalCount)
{
    if (pendingApprovalCount != 0)
        return {Kind::AwaitingApproval, pendingApprovalCount};
    if (runningSessionCount > 0)
        return {Kind::Running, runningSessionCount};
    return {Kind::Done, 0};
}

QString AgentMenuBarStatus::title() const
{
    switch (kind) {
    case Kind::AwaitingApproval:
        return count == 1 ? u"等待审批"_s : u"等待审批 "_s + QString::number(count);
    case Kind::Running:
        return count == 1 ? names::runningOneTitle.toString() : u"运行中 "_s + QString::number(count);
    case Kind::Done:
        break;
    }
    return u"已完成"_s;
}

QString AgentMenuBarStatus::menuTitle() const
{
    switch (kind) {
    case Kind::AwaitingApproval:
        return u"Agent 等待审批（"_s + QString::number(count) + u"）"_s;
    case Kind::Running:
        return u"Agent 运行中（"_s + QString::number(count) + u"）"_s;
    case Kind::Done:
        break;
    }
    return u"Agent 已完成"_s;
}

QString AgentMenuBarStatus::symbolName() const
{
    switch (kind) {
    case Kind::AwaitingApproval:
        return u"exclamationmark.circle.fill"_s;
    case Kind::Running:
        return u"circle.dotted"_s;
    case Kind::Done:
        break;
    }
    return u"checkmark.circle.fill"_s;
}

AgentMenuBarStatus agentMenuBarStatus(const AgentMenuBarInput &input)
{
    const auto running = std::count_if(input.sessions.begin(), input.sessions.end(),
                                       [](const SessionSummary &session) { return session.running; });
    return AgentMenuBarStatus::make(qint64(running), qint64(input.pendingApprovals.size()));
}

QString approvalMenuTitle(const PendingApproval &approval,
                          const std::function<std::optional<QString>(const QString &)> &displayTitle)
{
    std::optional<QString> title;
    if (displayTitle)
        title = displayTitle(approval.sessionId);
    return text::bidiIsolated(approval.toolName) + u" · "_s + (title ? text::bidiIsolated(*title) : u"未知会话"_s);
}

namespace {

AgentMenuEntry separator()
{
    AgentMenuEntry entry;
    entry.kind = AgentMenuEntry::Kind::Separator;
    return entry;
}

AgentMenuEntry textLine(QString title)
{
    AgentMenuEntry entry;
    entry.kind = AgentMenuEntry::Kind::Text;
    entry.title = std::move(title);
    return entry;
}

AgentMenuEntry action(QString title, QString symbol, AgentMenuEntry::Command command, bool destructive = false)
{
    AgentMenuEntry entry;
    entry.kind = AgentMenuEntry::Kind::Action;
    entry.title = std::move(title);
    entry.symbolName = std::move(symbol);
    entry.command = command;
    entry.destructive = destructive;
    return entry;
}

AgentMenuEntry submenu(QString title, QString symbol)
{
    AgentMenuEntry entry;
    entry.kind = AgentMenuEntry::Kind::Submenu;
    entry.title = std::move(title);
    entry.symbolName = std::move(symbol);
    return entry;
}

} // namespace

std::vector<AgentMenuEntry> agentMenuBarMenu(const AgentMenuBarInput &input)
{
    using Command = AgentMenuEntry::Command;
    std::vector<const SessionSummary *> running;
    for (const SessionSummary &session : input.sessions) {
        if (session.running)
            running.push_back(&session);
    }
    const AgentMenuBarStatus status = agentMenuBarStatus(input);

    std::vector<AgentMenuEntry> menu;
    menu.push_back(textLine(status.menuTitle()));
    menu.push_back(separator());
    menu.push_back(action(u"打开主窗口"_s, u"macwindow"_s, Command::OpenMainWindow));
    menu.push_back(action(names::quickAskMenuTitle.toString(), u"text.bubble"_s, Command::OpenQuickAsk));

    if (!input.pendingApprovals.empty()) {
        menu.push_back(separator());
        AgentMenuEntry approvals = submenu(
            u"待审批（"_s + QString::number(qint64(input.pendingApprovals.size())) + u"）"_s, u"checkmark.shield"_s);
        for (const PendingApproval &approval : input.pendingApprovals) {
            AgentMenuEntry item = submenu(approvalMenuTitle(approval, input.displayTitle), QString());
            item.id = approval.id;
            const ApprovalNotificationRoute route(approval);
            AgentMenuEntry allow = action(u"批准一次"_s, u"checkmark"_s, Command::ApproveOnce);
            allow.route = route;
            AgentMenuEntry reject = action(u"拒绝"_s, u"xmark"_s, Command::Reject, true);
            reject.route = route;
            AgentMenuEntry show = action(u"在主窗口中查看"_s, u"arrow.up.forward.app"_s, Command::ShowInMainWindow);
            show.sessionId = approval.sessionId;
            item.children = {std::move(allow), std::move(reject), separator(), std::move(show)};
            approvals.children.push_back(std::move(item));
        }
        menu.push_back(std::move(approvals));
    }

    if (!running.empty()) {
        menu.push_back(separator());
        if (running.size() == 1) {
            AgentMenuEntry cancel = action(u"取消当前任务"_s, u"stop.circle"_s, Command::CancelSession, true);
            cancel.sessionId = running.front()->sessionId;
            menu.push_back(std::move(cancel));
        } else {
            AgentMenuEntry cancels = submenu(u"取消任务"_s, u"stop.circle"_s);
            for (const SessionSummary *session : running) {
                AgentMenuEntry cancel = action(text::bidiIsolated(session->displayTitle()), QString(), Command::CancelSession, true);
                cancel.id = session->sessionId;
                cancel.sessionId = session->sessionId;
                cancels.children.push_back(std::move(cancel));
            }
            menu.push_back(std::move(cancels));
        }
    }

    menu.push_back(separator());
    if (input.authorizationStatus == NotificationAuthorizationStatus::Denied)
        menu.push_back(action(u"审批通知已关闭…"_s, u"bell.slash"_s, Command::OpenNotificationSettings));
    else
        menu.push_back(textLine(notificationAuthorizationLabel(input.authorizationStatus)));
    if (input.lastError)
        menu.push_back(textLine(*input.lastError));

    menu.push_back(separator());
    // The desktop has no application menu to reach Settings from while the window is closed.
    menu.push_back(action(u"设置"_s, u"gearshape"_s, Command::OpenSettings));
    AgentMenuEntry quit = action(u"退出 Nimbrel Deck"_s, u"power"_s, Command::Quit);
    quit.shortcut = u"Ctrl+Q"_s;
    menu.push_back(std::move(quit));
    return menu;
}

} // namespace nbd
