#include "App/AppDelegate.h"

#include "App/ViewOwners.h"
#include "Base/LogCategories.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"
#include "System/TerminationSignals.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"
#include "UI/Shared/Icons.h"

#include <QApplication>

namespace nbd {

AppDelegate::AppDelegate(QObject *parent)
    : QObject(parent)
{
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationWillFinishLaunching()
{
    const QIcon icon = Icons::appIcon();
    if (!icon.isNull())
        QApplication::setWindowIcon(icon);
}

void AppDelegate::applicationDidFinishLaunching()
{
    // SIGTERM, SIGINT and SIGHUP take the normal quit path, which stops the host.
    if (TerminationSignals *signals_ = TerminationSignals::install())
        connect(signals_, &TerminationSignals::terminationRequested, qApp, [] { QCoreApplication::quit(); },
                Qt::QueuedConnection);
    if (appModel) {
        m_quickAskCoordinator = std::make_unique<QuickAskCoordinator>(quickAskOwners(appModel));
        m_quickAskCoordinator->installMainWindowOpener(mainWindowOpener);
        try {
            m_quickAskCoordinator->start();
        } catch (const GlobalHotKeyRegistrationError &error) {
            // Once, and the app goes on without the hot key: the tray still opens Quick Ask.
            qCWarning(lcSystem, "Quick Ask hot key unavailable: %s", qUtf8Printable(error.errorDescription()));
        }
    }
    if (approvalNotificationCoordinator)
        approvalNotificationCoordinator->start();
}

void AppDelegate::applicationDidBecomeActive()
{
    if (approvalNotificationCoordinator)
        approvalNotificationCoordinator->refreshAuthorization(false);
}

void AppDelegate::applicationWillTerminate()
{
    if (m_terminated)
        return;
    m_terminated = true;
    if (m_quickAskCoordinator)
        m_quickAskCoordinator->stop();
    if (appModel)
        appModel->nbdProcess()->stopAndWait();
}

} // namespace nbd
