#include "Store/PluginInventory.h"

#include "Connection/ConnectionController.h"
#include "Domain/PayloadMembers.h"
#include "Store/ConnectionSettings.h"
#include "Store/FieldAssign.h"

#include <QPointer>
#include <QSet>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace nbd {

PluginInventory::PluginInventory(std::weak_ptr<const bool> alive, ConnectionController *connection,
                                 const ConnectionSettings *connectionSettings, QObject *parent)
    : QObject(parent)
    , m_alive(std::move(alive))
    , m_connection(connection)
    , m_connectionSettings(connectionSettings)
{
}

void PluginInventory::setHostPlugins(std::vector<PluginInventoryEntry> value)
{
    if (assignChanged(m_hostPlugins, std::move(value)))
        Q_EMIT hostPluginsChanged();
}

void PluginInventory::setDynamicPlugins(std::vector<DynamicPluginInventoryRow> value)
{
    if (assignChanged(m_dynamicPlugins, std::move(value)))
        Q_EMIT dynamicPluginsChanged();
}

void PluginInventory::setPluginInventoryLoading(bool value)
{
    if (assignChanged(m_pluginInventoryLoading, value))
        Q_EMIT pluginInventoryLoadingChanged();
}

void PluginInventory::setHostPluginInventoryAvailable(std::optional<bool> value)
{
    if (assignChanged(m_hostPluginInventoryAvailable, std::move(value)))
        Q_EMIT hostPluginInventoryAvailableChanged();
}

void PluginInventory::setDynamicPluginInventoryAvailable(std::optional<bool> value)
{
    if (assignChanged(m_dynamicPluginInventoryAvailable, std::move(value)))
        Q_EMIT dynamicPluginInventoryAvailableChanged();
}

void PluginInventory::clear()
{
    setHostPlugins({});
    setDynamicPlugins({});
    m_pluginRefreshOwner = 0;
    setPluginInventoryLoading(false);
    setHostPluginInventoryAvailable(std::nullopt);
    setDynamicPluginInventoryAvailable(std::nullopt);
}

QCoro::Task<void> PluginInventory::refreshPluginInventories()
{
    QPointer<PluginInventory> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client || m_pluginInventoryLoading)
        co_return;
    const quint64 epoch = m_connectionSettings->epoch();
    const quint64 ticket = ++m_pluginRefreshTicketsIssued;
    m_pluginRefreshOwner = ticket;
    setPluginInventoryLoading(true);
    // The inventories of a connection that has since been dropped or replaced are not shown.
    // The loading flag is released only by the refresh that still holds it: a disconnect has
    // reset it and the next connection's refresh may own it by now, but a connection
    // replaced without a disconnect leaves it to this refresh, which must not keep it set.
    const auto stale = [&] {
        if (alive.expired() || !self)
            return true;
        if (epoch == m_connectionSettings->epoch())
            return false;
        if (m_pluginRefreshOwner == ticket) {
            m_pluginRefreshOwner = 0;
            setPluginInventoryLoading(false);
        }
        return true;
    };

    std::optional<PluginInventorySnapshot> snapshot;
    try {
        snapshot = co_await client->callRemote<PluginInventorySnapshot>(u"pluginInventory/list"_s,
                                                                         JSONValue::emptyObject());
    } catch (...) {
    }
    if (stale())
        co_return;
    if (snapshot) {
        setHostPlugins(std::move(snapshot->entries));
        setHostPluginInventoryAvailable(true);
    } else {
        setHostPluginInventoryAvailable(false);
    }

    std::optional<std::vector<DynamicPluginInventoryRow>> rows;
    try {
        rows = co_await client->callRemote<std::vector<DynamicPluginInventoryRow>>(u"dynamicTalvorRunner/inventory"_s,
                                                                                    JSONValue::emptyObject());
    } catch (...) {
    }
    if (stale())
        co_return;
    if (rows) {
        setDynamicPlugins(std::move(*rows));
        setDynamicPluginInventoryAvailable(true);
    } else {
        setDynamicPluginInventoryAvailable(false);
    }
    m_pluginRefreshOwner = 0;
    setPluginInventoryLoading(false);
}

void PluginInventory::routeRemoteEvent(const JSONValue &payload)
{
    const std::optional<QString> event = payload::stringMember(payload, u"event");
    if (!event)
        return;
    static const QSet<QString> pluginLifecycleEvents = {
        u"talvor/request-run"_s,
        u"talvor/request-run-resolved"_s,
        u"talvor/dynamic-package"_s,
        u"talvor/dynamic-retract"_s,
    };
    // One event-loop turn later, so that routing a frame never re-enters itself.
    if (pluginLifecycleEvents.contains(*event))
        QTimer::singleShot(0, this, [this] { refreshPluginInventories(); });
}

} // namespace nbd
