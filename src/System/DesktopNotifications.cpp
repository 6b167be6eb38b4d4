#include "System/DesktopNotifications.h"

#include "Base/LogCategories.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <QCoroDBus>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const QString service = u"org.freedesktop.Notifications"_s;
const QString path = u"/org/freedesktop/Notifications"_s;
const QString interface = u"org.freedesktop.Notifications"_s;

QString errorText(const QDBusMessage &reply)
{
    if (!reply.errorMessage().isEmpty())
        return reply.errorMessage();
    if (!reply.errorName().isEmpty())
        return reply.errorName();
    return u"no reply from the notification service"_s;
}

} // namespace

DesktopNotificationCenter::DesktopNotificationCenter(QDBusConnection connection, QObject *parent)
    : QObject(parent)
    , m_connection(std::move(connection))
{
    if (!m_connection.isConnected())
        return;
    // No service name: naming it would make QtDBus look its owner up with a blocking call.
    // The sender is checked in the slots instead.
    m_connection.connect(QString(), path, interface, u"ActionInvoked"_s, this,
                         SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    m_connection.connect(QString(), path, interface, u"NotificationClosed"_s, this,
                         SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
    auto *watcher = new QDBusServiceWatcher(service, m_connection, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &DesktopNotificationCenter::onOwnerChanged);
}

DesktopNotificationCenter::~DesktopNotificationCenter()
{
    m_alive.reset();
    if (m_connection.isConnected()) {
        m_connection.disconnect(QString(), path, interface, u"ActionInvoked"_s, this,
                                SLOT(onActionInvoked(uint, QString, QDBusMessage)));
        m_connection.disconnect(QString(), path, interface, u"NotificationClosed"_s, this,
                                SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
    }
}

QCoro::Task<DesktopNotificationServer> DesktopNotificationCenter::readServer()
{
    DesktopNotificationServer server;
    if (!m_connection.isConnected()) {
        server.error = u"no session bus"_s;
        co_return server;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, u"GetCapabilities"_s);
    const QDBusPendingCall pending = m_connection.asyncCall(call);
    const std::weak_ptr<const bool> alive = m_alive;
    const quint64 epoch = m_ownerEpoch;
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        server.error = errorText(reply);
        co_return server;
    }
    const QVariant first = reply.arguments().value(0);
    if (first.metaType() != QMetaType::fromType<QStringList>()) {
        server.error = u"malformed capabilities from the notification service"_s;
        co_return server;
    }
    server.present = true;
    server.capabilities = first.toStringList();
    if (!alive.expired())
        noteServer(reply, epoch);
    co_return server;
}

QCoro::Task<DesktopNotificationPosted> DesktopNotificationCenter::post(DesktopNotification notification)
{
    DesktopNotificationPosted posted;
    if (!m_connection.isConnected()) {
        posted.error = u"no session bus"_s;
        co_return posted;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, u"Notify"_s);
    call << notification.appName << quint32(0) << notification.appIcon << notification.summary << notification.body
         << notification.actions << notification.hints << qint32(notification.expireTimeout);
    const QDBusPendingCall pending = m_connection.asyncCall(call);
    const std::weak_ptr<const bool> alive = m_alive;
    const quint64 epoch = m_ownerEpoch;
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        posted.error = errorText(reply);
        qCInfo(lcSystem).noquote() << "notification not posted:" << posted.error.left(300);
        co_return posted;
    }
    const QVariant first = reply.arguments().value(0);
    if (first.metaType() != QMetaType::fromType<uint>()) {
        posted.error = u"malformed reply from the notification service"_s;
        co_return posted;
    }
    posted.id = first.toUInt();
    if (!alive.expired())
        noteServer(reply, epoch);
    co_return posted;
}

void DesktopNotificationCenter::close(quint32 id)
{
    if (!m_connection.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, u"CloseNotification"_s);
    call << id;
    // Nobody waits for the answer: a notification that is already gone is no failure.
    m_connection.asyncCall(call);
}

void DesktopNotificationCenter::onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message)
{
    if (fromServer(message))
        Q_EMIT actionInvoked(id, actionKey);
}

void DesktopNotificationCenter::onNotificationClosed(uint id, uint reason, const QDBusMessage &message)
{
    if (fromServer(message))
        Q_EMIT notificationClosed(id, reason);
}

void DesktopNotificationCenter::onOwnerChanged()
{
    // Until the new owner answers a call, nothing it sends is taken.
    ++m_ownerEpoch;
    m_serverName.clear();
    Q_EMIT serverChanged();
}

bool DesktopNotificationCenter::fromServer(const QDBusMessage &message) const
{
    return !m_serverName.isEmpty() && message.service() == m_serverName;
}

void DesktopNotificationCenter::noteServer(const QDBusMessage &reply, quint64 epoch)
{
    // An answer from an owner that has since gone must not make its signals count again.
    if (epoch == m_ownerEpoch && !reply.service().isEmpty())
        m_serverName = reply.service();
}

} // namespace nbd
