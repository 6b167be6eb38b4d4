#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

namespace nbd {

class AppModel;

// Approval notifications of the desktop. Placeholder until the notifications are built: it
// keeps the store and the centre it is given and does nothing when started.
class ApprovalNotificationCoordinator : public QObject
{
    Q_OBJECT
public:
    ApprovalNotificationCoordinator(AppModel *appModel, QObject *center, QObject *parent = nullptr);
    void start();
    void refreshAuthorization(bool requestIfNeeded);
    bool isStarted() const { return m_started; }

private:
    QPointer<AppModel> m_appModel;
    QPointer<QObject> m_center;
    bool m_started = false;
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
