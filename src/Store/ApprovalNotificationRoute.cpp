#include "Store/ApprovalNotificationRoute.h"

#include "Domain/ProtocolNames.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

ApprovalNotificationRoute::ApprovalNotificationRoute(QString rpcId, QString sessionId, QString approvalId)
    : rpcId(std::move(rpcId))
    , sessionId(std::move(sessionId))
    , approvalId(std::move(approvalId))
{
}

ApprovalNotificationRoute::ApprovalNotificationRoute(const PendingApproval &approval)
    : ApprovalNotificationRoute(approval.rpcId, approval.sessionId, approval.approvalId)
{
}

bool ApprovalNotificationRoute::matches(const PendingApproval &approval) const
{
    return approval.rpcId == rpcId && approval.sessionId == sessionId && approval.approvalId == approvalId;
}

QHash<QString, QString> ApprovalNotificationRoute::userInfo() const
{
    return {{u"rpcId"_s, rpcId}, {u"sessionId"_s, sessionId}, {u"approvalId"_s, approvalId}};
}

std::optional<ApprovalNotificationRoute> ApprovalNotificationRoute::fromUserInfo(const QHash<QString, QString> &userInfo)
{
    const QString rpc = userInfo.value(u"rpcId"_s);
    const QString session = userInfo.value(u"sessionId"_s);
    const QString approval = userInfo.value(u"approvalId"_s);
    if (rpc.isEmpty() || session.isEmpty() || approval.isEmpty())
        return std::nullopt;
    return ApprovalNotificationRoute(rpc, session, approval);
}

QString ApprovalNotificationRoute::notificationIdentifier() const
{
    return approvalnotification::requestIdentifierPrefix() + rpcId;
}

bool canDeliverNotifications(NotificationAuthorizationStatus status)
{
    switch (status) {
    case NotificationAuthorizationStatus::Authorized:
    case NotificationAuthorizationStatus::Provisional:
    case NotificationAuthorizationStatus::Ephemeral:
        return true;
    case NotificationAuthorizationStatus::NotDetermined:
    case NotificationAuthorizationStatus::Denied:
    case NotificationAuthorizationStatus::Unavailable:
        break;
    }
    return false;
}

QString notificationAuthorizationLabel(NotificationAuthorizationStatus status)
{
    switch (status) {
    case NotificationAuthorizationStatus::NotDetermined:
        return u"审批通知未设置"_s;
    case NotificationAuthorizationStatus::Denied:
        return u"审批通知已关闭"_s;
    case NotificationAuthorizationStatus::Authorized:
    case NotificationAuthorizationStatus::Provisional:
    case NotificationAuthorizationStatus::Ephemeral:
        return u"审批通知已开启"_s;
    case NotificationAuthorizationStatus::Unavailable:
        return names::notificationsUnavailableLabel.toString();
    }
    return u"审批通知状态未知"_s;
}

namespace approvalnotification {
QString categoryIdentifier() { return names::applicationIdentifier.toString() + u".approval"_s; }
QString allowOnceActionIdentifier() { return categoryIdentifier() + u".allow-once"_s; }
QString rejectActionIdentifier() { return categoryIdentifier() + u".reject"_s; }
QString requestIdentifierPrefix() { return categoryIdentifier() + u"."_s; }
} // namespace approvalnotification

} // namespace nbd
