#include "Store/ApprovalNotifications.h"

#include "Domain/BidiIsolate.h"
#include "Domain/Trimming.h"

#include <algorithm>
#include <tuple>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

ApprovalNotificationContent approvalNotificationContent(
    const PendingApproval &approval, const std::function<std::optional<QString>(const QString &)> &displayTitle)
{
    ApprovalNotificationContent content;
    content.title = u"需要批准："_s + text::bidiIsolated(approval.toolName);
    std::optional<QString> subtitle = displayTitle ? displayTitle(approval.sessionId) : std::nullopt;
    content.subtitle = subtitle ? text::bidiIsolated(*subtitle) : u"Nimbrel Deck"_s;
    const QStringView reason =
        approval.reason ? text::trimWhitespaceAndNewlines(*approval.reason) : QStringView();
    content.body = reason.isEmpty() ? u"Agent 正在等待你的决定"_s : reason.toString();
    content.threadIdentifier = approval.sessionId;
    content.route = ApprovalNotificationRoute(approval);
    return content;
}

ApprovalNotificationSyncPlan planApprovalNotificationSync(const QSet<ApprovalNotificationRoute> &scheduled,
                                                          const QSet<ApprovalNotificationRoute> &inFlight,
                                                          const std::vector<PendingApproval> &approvals,
                                                          bool canDeliver)
{
    ApprovalNotificationSyncPlan plan;
    QSet<ApprovalNotificationRoute> current;
    for (const PendingApproval &approval : approvals)
        current.insert(ApprovalNotificationRoute(approval));
    for (const ApprovalNotificationRoute &route : scheduled) {
        if (!canDeliver || !current.contains(route))
            plan.withdraw.push_back(route);
    }
    // A set has no order; withdrawals are sorted so one list of approvals always gives one plan.
    std::sort(plan.withdraw.begin(), plan.withdraw.end(), [](const auto &a, const auto &b) {
        return std::tie(a.rpcId, a.sessionId, a.approvalId) < std::tie(b.rpcId, b.sessionId, b.approvalId);
    });
    if (!canDeliver)
        return plan;
    QSet<ApprovalNotificationRoute> planned;
    for (const PendingApproval &approval : approvals) {
        const ApprovalNotificationRoute route(approval);
        // The host never lists one request twice, but a duplicate must not become two
        // notifications either.
        if (scheduled.contains(route) || inFlight.contains(route) || planned.contains(route))
            continue;
        planned.insert(route);
        plan.post.push_back(approval);
    }
    return plan;
}

bool keepPostedApprovalNotification(const ApprovalNotificationRoute &route,
                                    const std::vector<PendingApproval> &pendingNow, bool canDeliver)
{
    if (!canDeliver)
        return false;
    return std::any_of(pendingNow.begin(), pendingNow.end(),
                       [&route](const PendingApproval &approval) { return route.matches(approval); });
}

ApprovalNotificationResponse approvalNotificationResponse(const QString &actionKey)
{
    if (actionKey == approvalnotification::allowOnceActionIdentifier())
        return ApprovalNotificationResponse::ApproveOnce;
    if (actionKey == approvalnotification::rejectActionIdentifier())
        return ApprovalNotificationResponse::Reject;
    if (actionKey == approvalNotificationDefaultActionKey())
        return ApprovalNotificationResponse::Open;
    return ApprovalNotificationResponse::None;
}

QString approvalNotificationDefaultActionKey() { return u"default"_s; }

} // namespace nbd
