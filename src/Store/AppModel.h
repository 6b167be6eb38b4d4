#pragma once

#include "Connection/ConnectionController.h"
#include "Connection/NBDProcessManager.h"
#include "Store/ConnectionSettings.h"
#include "Store/ConnectionStatus.h"
#include "Store/HostSettingsStore.h"
#include "Store/Interactions.h"
#include "Store/PluginInventory.h"
#include "Store/SessionActions.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "Store/SettingsFile.h"
#include "Store/StoreErrors.h"
#include "Wire/WireEnvelope.h"

#include <QObject>
#include <QSettings>

#include <memory>

namespace nbd {

// The application's one store: it owns the configuration, the connection and the focused
// owners of everything derived from the host, wires them together and routes the host's
// frames to them. Main thread only; views read the owners' fields and call their actions,
// and each field group has its own change signal on its owner, emitted on a real change only.
class AppModel : public QObject
{
    Q_OBJECT
public:
    // settings: the configuration store (null: the application's own); connectOnLaunch:
    // start connecting at once.
    explicit AppModel(std::unique_ptr<QSettings> settings = {}, bool connectOnLaunch = true,
                      QObject *parent = nullptr);
    ~AppModel() override;

    ConnectionController *connection() const { return m_connection; }
    NBDProcessManager *nbdProcess() const { return m_nbdProcess; }
    QSettings *settings() const { return m_settings.get(); }

    StoreErrors *errors() const { return m_errors; }
    ConnectionSettings *connectionSettings() const { return m_connectionSettings; }
    SessionDirectory *sessions() const { return m_directory; }
    SessionSelection *selection() const { return m_selection; }
    SessionActions *sessionActions() const { return m_sessionActions; }
    Interactions *interactions() const { return m_interactions; }
    PluginInventory *plugins() const { return m_plugins; }
    HostSettingsStore *hostSettings() const { return m_hostSettings; }
    // The connection as views show it.
    ConnectionStatus *connectionStatus() const { return m_connectionStatus; }

    // Connects by the launch mode, dropping a connect still looking for its host.
    void connect();
    // Closes the connection and empties everything the host told: lists, open sessions,
    // what it waits for, its inventories and the selection.
    void disconnect();

    void route(const ServerRequest &frame);

private:
    void followConnectionLost();
    void followConnectionPhase();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    std::unique_ptr<QSettings> m_settings;
    ConnectionController *m_connection = nullptr;
    NBDProcessManager *m_nbdProcess = nullptr;
    // The owners, in the order they are built: each takes only owners built before it.
    StoreErrors *m_errors = nullptr;
    // Every write of the configuration goes through it, so that a failed save is said.
    std::unique_ptr<SettingsFile> m_settingsFile;
    ConnectionSettings *m_connectionSettings = nullptr;
    PluginInventory *m_plugins = nullptr;
    SessionDirectory *m_directory = nullptr;
    SessionSelection *m_selection = nullptr;
    Interactions *m_interactions = nullptr;
    SessionActions *m_sessionActions = nullptr;
    HostSettingsStore *m_hostSettings = nullptr;
    ConnectionStatus *m_connectionStatus = nullptr;
};

} // namespace nbd
