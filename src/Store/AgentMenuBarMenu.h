#pragma once

#include "Domain/Sessions.h"
#include "Store/AppModel.h"
#include "Store/ApprovalNotificationRoute.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace nbd {

// The summary the tray shows at a glance. Pending approvals win over running sessions.
struct AgentMenuBarStatus
{
    enum class Kind { AwaitingApproval, Running, Done };

    Kind kind = Kind::Done;
    qint64 count = 0;

    static AgentMenuBarStatus make(qint64 runningSessionCount, qint64 pendingApprovalCount);

    QString title() const;
    QString menuTitle() const;
    QString symbolName() const;

    bool operator==(const AgentMenuBarStatus &) const = default;
};

// One entry of the tray menu, as plain data: the menu widget is rebuilt from a list of these,
// and what an entry does is named by its command and the route or session it carries.
struct AgentMenuEntry
{
    enum class Kind { Text, Separator, Action, Submenu };
    enum class Command {
        None,
        OpenMainWindow,
        OpenQuickAsk,
        ApproveOnce,
        Reject,
        ShowInMainWindow,
        CancelSession,
        OpenNotificationSettings,
        OpenSettings,
        Quit,
    };

    Kind kind = Kind::Text;
    QString title;
    QString symbolName;
    Command command = Command::None;
    bool destructive = false;
    QString shortcut; // portable key-sequence text, empty for none
    QString id;       // the approval's or session's id for per-item entries
    std::optional<ApprovalNotificationRoute> route;
    QString sessionId;
    std::vector<AgentMenuEntry> children;
};

// What the tray menu is built from.
struct AgentMenuBarInput
{
    std::vector<SessionSummary> sessions;
    std::vector<PendingApproval> pendingApprovals;
    // The store's display title of a session id, or nothing.
    std::function<std::optional<QString>(const QString &)> displayTitle;
    NotificationAuthorizationStatus authorizationStatus = NotificationAuthorizationStatus::NotDetermined;
    std::optional<QString> lastError;
};

// The status of the sessions and approvals the menu is built from.
AgentMenuBarStatus agentMenuBarStatus(const AgentMenuBarInput &input);

// "toolName · session title", or "未知会话" for a session the store cannot title.
QString approvalMenuTitle(const PendingApproval &approval,
                          const std::function<std::optional<QString>(const QString &)> &displayTitle);

// The tray menu's entries, top to bottom.
std::vector<AgentMenuEntry> agentMenuBarMenu(const AgentMenuBarInput &input);

} // namespace nbd
