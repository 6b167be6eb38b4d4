#pragma once

#include "Store/ApprovalNotificationRoute.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

namespace nbd {

class AppModel;

// Approval notifications of the desktop. Answers approvals for the tray menu and publishes the
// notification state it shows; the notifications themselves are not posted yet.
class ApprovalNotificationCoordinator : public QObject
{
    Q_OBJECT
public:
    ApprovalNotificationCoordinator(AppModel *appModel, QObject *center, QObject *parent = nullptr);
    void start();
    void refreshAuthorization(bool requestIfNeeded);
    bool isStarted() const { return m_started; }

    NotificationAuthorizationStatus authorizationStatus() const { return m_authorizationStatus; }
    QString authorizationLabel() const { return notificationAuthorizationLabel(m_authorizationStatus); }
    const std::optional<QString> &lastError() const { return m_lastError; }

    // Answers the pending approval the route names through the store; an approval that is no
    // longer pending leaves "这项审批已处理或已失效" in lastError and sends nothing.
    void answer(const ApprovalNotificationRoute &route, bool allowed);
    void installMainWindowOpener(std::function<void()> opener) { m_mainWindowOpener = std::move(opener); }

Q_SIGNALS:
    void authorizationStatusChanged();
    void lastErrorChanged();

protected:
    void setAuthorizationStatus(NotificationAuthorizationStatus status);
    void setLastError(std::optional<QString> error);

private:
    QPointer<AppModel> m_appModel;
    QPointer<QObject> m_center;
    bool m_started = false;
    NotificationAuthorizationStatus m_authorizationStatus = NotificationAuthorizationStatus::NotDetermined;
    std::optional<QString> m_lastError;
    std::function<void()> m_mainWindowOpener;
};

// The Quick Ask panel and its global hot key. Placeholder until Quick Ask is built: it has no
// panel and registers no key.
class QuickAskCoordinator : public QObject
{
    Q_OBJECT
public:
    explicit QuickAskCoordinator(AppModel *appModel, QObject *parent = nullptr);
    // The registration's failure, or nothing when the hot key is registered.
    std::optional<QString> start();
    void stop();
    void show();
    void present();
    bool isPanelVisible() const { return false; }
    bool isStopped() const { return m_stopped; }

Q_SIGNALS:
    void stopped();

private:
    QPointer<AppModel> m_appModel;
    bool m_stopped = false;
};

} // namespace nbd
