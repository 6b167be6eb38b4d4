#include "System/DesktopIntegration.h"

#include "Store/AppModel.h"

namespace nbd {

ApprovalNotificationCoordinator::ApprovalNotificationCoordinator(AppModel *appModel, QObject *center, QObject *parent)
    : QObject(parent)
    , m_appModel(appModel)
    , m_center(center)
{
}

void ApprovalNotificationCoordinator::start() { m_started = true; }

void ApprovalNotificationCoordinator::refreshAuthorization(bool) {}

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
