#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// The desktop's notification service (org.freedesktop.Notifications) as tests need it, on its
// own bus connection: records every call, can hold its answers to Notify back, fail them, or
// leave out capabilities.
class FakeNotificationServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    static QString serviceName() { return QStringLiteral("org.freedesktop.Notifications"); }
    static QString objectPath() { return QStringLiteral("/org/freedesktop/Notifications"); }

    struct Posted
    {
        uint id = 0;
        QString appName;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
    };

    FakeNotificationServer()
        : m_name(QStringLiteral("fake-notifications-") + QString::number(++s_count))
        , m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_name))
    {
    }
    ~FakeNotificationServer() override
    {
        unregister();
        QDBusConnection::disconnectFromBus(m_name);
    }

    bool registerOnBus()
    {
        return m_bus.registerObject(objectPath(), this, QDBusConnection::ExportScriptableSlots)
            && m_bus.registerService(serviceName());
    }
    void unregister()
    {
        m_bus.unregisterService(serviceName());
        m_bus.unregisterObject(objectPath());
    }

    void emitSignal(const QString &member, const QVariantList &arguments)
    {
        QDBusMessage signal = QDBusMessage::createSignal(objectPath(), serviceName(), member);
        signal.setArguments(arguments);
        m_bus.send(signal);
    }
    void invoke(uint id, const QString &key) { emitSignal(QStringLiteral("ActionInvoked"), {id, key}); }
    void closed(uint id, uint reason) { emitSignal(QStringLiteral("NotificationClosed"), {id, reason}); }

    void releaseHeld()
    {
        for (const auto &[message, id] : std::as_const(m_held))
            m_bus.send(message.createReply(QVariant::fromValue(id)));
        m_held.clear();
    }
    int heldCount() const { return int(m_held.size()); }

    QStringList capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    bool holdReplies = false;
    QString failWith;
    // Real services confirm a requested close with NotificationClosed (reason 3).
    bool confirmClose = true;
    QList<Posted> posted;
    QList<uint> closedIds;
    int capabilityReads = 0;

public Q_SLOTS:
    Q_SCRIPTABLE QStringList GetCapabilities()
    {
        ++capabilityReads;
        return capabilities;
    }

    Q_SCRIPTABLE uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                             const QString &body, const QStringList &actions, const QVariantMap &hints, int timeout)
    {
        Q_UNUSED(replacesId);
        if (!failWith.isEmpty()) {
            sendErrorReply(QDBusError::Failed, failWith);
            return 0;
        }
        const uint id = ++m_nextId;
        posted.append({id, appName, appIcon, summary, body, actions, hints, timeout});
        if (holdReplies) {
            setDelayedReply(true);
            m_held.append({message(), id});
            return 0;
        }
        return id;
    }

    Q_SCRIPTABLE void CloseNotification(uint id)
    {
        closedIds.append(id);
        if (confirmClose)
            closed(id, 3);
    }

private:
    static inline int s_count = 0;
    QString m_name;
    QDBusConnection m_bus;
    uint m_nextId = 100;
    QList<std::pair<QDBusMessage, uint>> m_held;
};

