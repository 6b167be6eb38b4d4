#include "System/DesktopIntegration.h"

#include "Store/AppModel.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

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
