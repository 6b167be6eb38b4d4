#pragma once

#include "Store/ApprovalNotificationRoute.h"
#include "Store/ApprovalNotifications.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace nbd {

class AppModel;
class DesktopNotificationCenter;

// Turns the store's pending tool approvals into desktop notifications, one per approval, with
// the buttons "批准一次" and "拒绝"; withdraws a notification as soon as its approval leaves the
// store's list; answers through the store when a button is pressed; brings the main window
// forward when the notification itself is clicked. It never talks to the host.
//
// "Authorised" here means the desktop's notification service is on the bus and can show
// buttons; there is no permission to ask for. Without such a service the state is
// Unavailable and nothing is posted.
class ApprovalNotificationCoordinator : public QObject
{
    Q_OBJECT
public:
    // center: may be null (no notifications at all: the state becomes Unavailable at start).
    ApprovalNotificationCoordinator(AppModel *appModel, DesktopNotificationCenter *center, QObject *parent = nullptr);
    ~ApprovalNotificationCoordinator() override;

    void start();
    // Reads the service's state again and synchronises; requestIfNeeded has no prompt to show
    // on this desktop, the service's presence being the permission.
    void refreshAuthorization(bool requestIfNeeded);
    bool isStarted() const { return m_started; }

    NotificationAuthorizationStatus authorizationStatus() const { return m_authorizationStatus; }
    QString authorizationLabel() const { return notificationAuthorizationLabel(m_authorizationStatus); }
    bool canDeliverNotifications() const { return nbd::canDeliverNotifications(m_authorizationStatus); }
    const std::optional<QString> &lastError() const { return m_lastError; }
    // The approvals whose notification is posted and not withdrawn.
    const QSet<ApprovalNotificationRoute> &scheduledRoutes() const { return m_scheduledRoutes; }

    // Answers the pending approval the route names through the store; an approval that is no
    // longer pending leaves "这项审批已处理或已失效" in lastError and sends nothing.
    void answer(const ApprovalNotificationRoute &route, bool allowed);
    void installMainWindowOpener(std::function<void()> opener) { m_mainWindowOpener = std::move(opener); }

Q_SIGNALS:
    void authorizationStatusChanged();
    void lastErrorChanged();
    // A synchronisation ran to its end (tests wait for it rather than for time).
    void synchronized();

private:
    void setAuthorizationStatus(NotificationAuthorizationStatus status);
    void setLastError(std::optional<QString> error);

    QCoro::Task<> loadAuthorization(quint64 generation);
    void queueSync(std::vector<PendingApproval> approvals);
    QCoro::Task<> sync(std::vector<PendingApproval> approvals, quint64 generation);
    void withdraw(const ApprovalNotificationRoute &route);
    void handleNotificationAction(const QString &actionKey, const ApprovalNotificationRoute &route);
    void openMainWindow();
    void onActionInvoked(quint32 id, const QString &actionKey);
    void onNotificationClosed(quint32 id);
    void onServerChanged();

    QPointer<AppModel> m_appModel;
    QPointer<DesktopNotificationCenter> m_center;
    bool m_started = false;
    NotificationAuthorizationStatus m_authorizationStatus = NotificationAuthorizationStatus::NotDetermined;
    std::optional<QString> m_lastError;
    QStringList m_capabilities;
    QSet<ApprovalNotificationRoute> m_scheduledRoutes;
    // Posts sent and not yet answered by the service.
    QSet<ApprovalNotificationRoute> m_inFlightRoutes;
    // The service's id of each scheduled route's notification, while the service shows it.
    QHash<ApprovalNotificationRoute, quint32> m_idByRoute;
    // Every notification of ours the service has not reported closed, withdrawn ones included:
    // a button pressed just before a withdrawal arrives still finds its approval's route.
    QHash<quint32, ApprovalNotificationRoute> m_routeById;
    quint64 m_syncGeneration = 0;
    quint64 m_authorizationGeneration = 0;
    std::function<void()> m_mainWindowOpener;
    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
};

} // namespace nbd
