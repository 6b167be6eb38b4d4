#pragma once

#include <QObject>

#include <functional>
#include <memory>

namespace nbd {

class AppModel;
class ApprovalNotificationCoordinator;
class QuickAskCoordinator;

// Starts and stops the desktop services in the application's order: the icon before the
// first window, signal handling and the desktop integration once launched, and at quit Quick
// Ask first, then the host this client launched (synchronously, so none outlives the app).
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);
    ~AppDelegate() override;

    AppModel *appModel = nullptr;
    ApprovalNotificationCoordinator *approvalNotificationCoordinator = nullptr;
    // Opens the main window, building it again after it was closed (Quick Ask reveals its
    // session there).
    std::function<void()> mainWindowOpener;
    QuickAskCoordinator *quickAskCoordinator() const { return m_quickAskCoordinator.get(); }

    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    void applicationWillTerminate();

private:
    std::unique_ptr<QuickAskCoordinator> m_quickAskCoordinator;
    bool m_terminated = false;
};

} // namespace nbd
