#pragma once

#include "Store/AppModel.h"

#include <QHash>
#include <QString>

#include <optional>

namespace nbd {

// The identity of one pending approval outside the conversation: in a desktop notification
// and in the tray menu.
struct ApprovalNotificationRoute
{
    QString rpcId;
    QString sessionId;
    QString approvalId;

    ApprovalNotificationRoute() = default;
    ApprovalNotificationRoute(QString rpcId, QString sessionId, QString approvalId);
    explicit ApprovalNotificationRoute(const PendingApproval &approval);

    bool matches(const PendingApproval &approval) const;
    // Exactly the keys "rpcId", "sessionId" and "approvalId".
    QHash<QString, QString> userInfo() const;
    // A route only when all three keys hold a non-empty text.
    static std::optional<ApprovalNotificationRoute> fromUserInfo(const QHash<QString, QString> &userInfo);
    QString notificationIdentifier() const;

    bool operator==(const ApprovalNotificationRoute &) const = default;
    friend size_t qHash(const ApprovalNotificationRoute &v, size_t seed = 0) noexcept
    {
        return qHashMulti(seed, v.rpcId, v.sessionId, v.approvalId);
    }
};

// Whether approval notifications may be shown. Unavailable: the desktop has no notification
// service that can carry actions.
enum class NotificationAuthorizationStatus { NotDetermined, Denied, Authorized, Provisional, Ephemeral, Unavailable };

bool canDeliverNotifications(NotificationAuthorizationStatus status);
QString notificationAuthorizationLabel(NotificationAuthorizationStatus status);

namespace approvalnotification {
QString categoryIdentifier();
QString allowOnceActionIdentifier();
QString rejectActionIdentifier();
QString requestIdentifierPrefix();
} // namespace approvalnotification

} // namespace nbd
