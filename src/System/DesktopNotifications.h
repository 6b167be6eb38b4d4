#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <QCoroTask>

#include <memory>
#include <optional>

class QDBusMessage;

namespace nbd {

// One notification as the desktop's notification service takes it.
struct DesktopNotification
{
    QString appName;
    QString appIcon;
    QString summary;
    QString body;
    // Pairs of action key and label; the key "default" is a click on the notification itself.
    QStringList actions;
    QVariantMap hints;
    // Milliseconds; 0 keeps it until it is closed, -1 leaves it to the service.
    qint32 expireTimeout = -1;
};

// What the notification service said about itself; `present` false when no service answers
// on the bus (none installed, or no session bus at all).
struct DesktopNotificationServer
{
    bool present = false;
    QStringList capabilities;
    QString error;
};

// The result of posting: the service's id for the notification, or the failure's text.
struct DesktopNotificationPosted
{
    std::optional<quint32> id;
    QString error;
};

// The desktop's notification service (org.freedesktop.Notifications) on one bus connection.
// Every call is asynchronous: nothing here waits on the bus with the event loop blocked.
// Signals are taken only from the service instance that answered our last call, so another
// client on the bus cannot press a notification's buttons by sending look-alike signals.
class DesktopNotificationCenter : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotificationCenter(QDBusConnection connection, QObject *parent = nullptr);
    ~DesktopNotificationCenter() override;

    // The service's capabilities ("actions", "body-markup", …).
    QCoro::Task<DesktopNotificationServer> readServer();
    QCoro::Task<DesktopNotificationPosted> post(DesktopNotification notification);
    // Counts changes of the service's owner; a post answered under an older count was shown by
    // a service that is gone.
    quint64 ownerEpoch() const { return m_ownerEpoch; }
    // Asks the service to remove a notification; a failure changes nothing worth reporting.
    void close(quint32 id);

Q_SIGNALS:
    void actionInvoked(quint32 id, const QString &actionKey);
    // reason: 1 expired, 2 dismissed by the user, 3 closed on request, 4 other.
    void notificationClosed(quint32 id, quint32 reason);
    // The service went away or another instance took its name: notifications shown by the
    // old one are gone with it.
    void serverChanged();

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message);
    void onNotificationClosed(uint id, uint reason, const QDBusMessage &message);

private:
    void onOwnerChanged();
    bool fromServer(const QDBusMessage &message) const;
    void noteServer(const QDBusMessage &reply, quint64 epoch);

    QDBusConnection m_connection;
    // The unique bus name of the service instance that answered last.
    QString m_serverName;
    quint64 m_ownerEpoch = 0;
    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
};

} // namespace nbd
