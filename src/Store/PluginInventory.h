#pragma once

#include "Domain/Models.h"
#include "Wire/JSONValue.h"

#include <QCoroTask>
#include <QObject>

#include <memory>
#include <optional>
#include <vector>

namespace nbd {

class ConnectionController;
class ConnectionSettings;

// The host's plugin inventories: its installed plugins and the dynamic runner's packages,
// each with whether the host offers that inventory at all.
class PluginInventory : public QObject
{
    Q_OBJECT
public:
    // alive: the store's token, expired once the store goes.
    PluginInventory(std::weak_ptr<const bool> alive, ConnectionController *connection,
                    const ConnectionSettings *connectionSettings, QObject *parent = nullptr);

    const std::vector<PluginInventoryEntry> &hostPlugins() const { return m_hostPlugins; }
    const std::vector<DynamicPluginInventoryRow> &dynamicPlugins() const { return m_dynamicPlugins; }
    bool pluginInventoryLoading() const { return m_pluginInventoryLoading; }
    std::optional<bool> hostPluginInventoryAvailable() const { return m_hostPluginInventoryAvailable; }
    std::optional<bool> dynamicPluginInventoryAvailable() const { return m_dynamicPluginInventoryAvailable; }

    QCoro::Task<void> refreshPluginInventories();
    // A host event about a plugin's life cycle reads the inventories anew.
    void routeRemoteEvent(const JSONValue &payload);
    // A closed connection offers no inventory.
    void clear();

Q_SIGNALS:
    void hostPluginsChanged();
    void dynamicPluginsChanged();
    void pluginInventoryLoadingChanged();
    void hostPluginInventoryAvailableChanged();
    void dynamicPluginInventoryAvailableChanged();

private:
    void setHostPlugins(std::vector<PluginInventoryEntry> value);
    void setDynamicPlugins(std::vector<DynamicPluginInventoryRow> value);
    void setPluginInventoryLoading(bool value);
    void setHostPluginInventoryAvailable(std::optional<bool> value);
    void setDynamicPluginInventoryAvailable(std::optional<bool> value);

    std::weak_ptr<const bool> m_alive;
    ConnectionController *m_connection = nullptr;
    const ConnectionSettings *m_connectionSettings = nullptr;
    std::vector<PluginInventoryEntry> m_hostPlugins;
    std::vector<DynamicPluginInventoryRow> m_dynamicPlugins;
    bool m_pluginInventoryLoading = false;
    std::optional<bool> m_hostPluginInventoryAvailable;
    std::optional<bool> m_dynamicPluginInventoryAvailable;
    // The refresh that set pluginInventoryLoading and has to clear it (0: none).
    quint64 m_pluginRefreshTicketsIssued = 0;
    quint64 m_pluginRefreshOwner = 0;
};

} // namespace nbd
