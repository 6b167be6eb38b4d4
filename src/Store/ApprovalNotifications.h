#pragma once

#include "Store/AppModel.h"
#include "Store/ApprovalNotificationRoute.h"

#include <QSet>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace nbd {

// What one approval's desktop notification says, before any desktop decides how to show it.
struct ApprovalNotificationContent
{
    QString title;
    QString subtitle;
    QString body;
    // Notifications of one session share it, so a desktop that groups can group them.
    QString threadIdentifier;
    ApprovalNotificationRoute route;

    bool operator==(const ApprovalNotificationContent &) const = default;
};

// displayTitle: the store's title of a session id, or nothing.
ApprovalNotificationContent approvalNotificationContent(
    const PendingApproval &approval, const std::function<std::optional<QString>(const QString &)> &displayTitle);

// One synchronisation's decisions, taken from the approvals the store lists now and what has
// already been posted or is being posted.
struct ApprovalNotificationSyncPlan
{
    // Posted notifications to withdraw: their approvals are gone, or nothing may be shown.
    std::vector<ApprovalNotificationRoute> withdraw;
    // Approvals to post, in the store's order.
    std::vector<PendingApproval> post;
};

// `inFlight` are routes whose post has been sent and not yet answered: posting them again
// would show the same approval twice, and withdrawing them is left to the post's own answer.
ApprovalNotificationSyncPlan planApprovalNotificationSync(const QSet<ApprovalNotificationRoute> &scheduled,
                                                          const QSet<ApprovalNotificationRoute> &inFlight,
                                                          const std::vector<PendingApproval> &approvals,
                                                          bool canDeliver);

// Whether a notification whose post has just been answered stays: only while its approval is
// still pending and notifications may still be shown; otherwise it is withdrawn at once.
bool keepPostedApprovalNotification(const ApprovalNotificationRoute &route,
                                    const std::vector<PendingApproval> &pendingNow, bool canDeliver);

// What the user did with a notification, by the action key the desktop reports.
enum class ApprovalNotificationResponse { ApproveOnce, Reject, Open, None };
ApprovalNotificationResponse approvalNotificationResponse(const QString &actionKey);

// The key a desktop reports for a click on the notification itself.
QString approvalNotificationDefaultActionKey();

} // namespace nbd
