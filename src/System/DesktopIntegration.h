#pragma once

#include "System/ApprovalNotificationCoordinator.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

namespace nbd {

class AppModel;

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
