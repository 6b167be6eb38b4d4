#include "System/DesktopIntegration.h"

#include "Store/AppModel.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

ApprovalNotificationCoordinator::ApprovalNotificationCoordinator(AppModel *appModel, QObject *center, QObject *parent)
    : QObject(parent)
    , m_appModel(appModel)
    , m_center(center)
{
}

void ApprovalNotificationCoordinator::start() { m_started = true; }

void ApprovalNotificationCoordinator::refreshAuthorization(bool) {}

void ApprovalNotificationCoordinator::answer(const ApprovalNotificationRoute &route, bool allowed)
{
    if (!m_appModel)
        return;
    for (const PendingApproval &approval : m_appModel->pendingApprovals()) {
        if (route.matches(approval)) {
            setLastError(std::nullopt);
            // A copy: answering may change the list the reference points into.
            const PendingApproval chosen = approval;
            m_appModel->answerApproval(chosen, allowed);
            return;
        }
    }
    setLastError(u"这项审批已处理或已失效"_s);
}

void ApprovalNotificationCoordinator::setAuthorizationStatus(NotificationAuthorizationStatus status)
{
    if (status == m_authorizationStatus)
        return;
    m_authorizationStatus = status;
    Q_EMIT authorizationStatusChanged();
}

void ApprovalNotificationCoordinator::setLastError(std::optional<QString> error)
{
    if (error == m_lastError)
        return;
    m_lastError = std::move(error);
    Q_EMIT lastErrorChanged();
}

QuickAskCoordinator::QuickAskCoordinator(AppModel *appModel, QObject *parent)
    : QObject(parent)
    , m_appModel(appModel)
{
}

std::optional<QString> QuickAskCoordinator::start() { return std::nullopt; }

void QuickAskCoordinator::stop()
{
    m_stopped = true;
    Q_EMIT stopped();
}

void QuickAskCoordinator::show() { present(); }

void QuickAskCoordinator::present() {}

} // namespace nbd
