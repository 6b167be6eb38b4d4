#pragma once

#include "Store/ConnectionSettings.h"
#include "Store/ConnectionStatus.h"
#include "Store/HostSettingsStore.h"
#include "Store/PluginInventory.h"
#include "Store/SessionSelection.h"

#include <QPointer>

#include <functional>

namespace nbd {

// What the settings sheet reads and changes: the connection's configuration and state, the
// host's settings and plugins, and the selected session (its skills). Guarded pointers, since
// the sheet may outlive the store in a test; any may be null.
struct SettingsOwners
{
    QPointer<ConnectionSettings> connectionSettings;
    QPointer<ConnectionStatus> connectionStatus;
    QPointer<HostSettingsStore> hostSettings;
    QPointer<PluginInventory> plugins;
    QPointer<SessionSelection> selection;
    // The store's own connect and disconnect: besides the connection they fill or empty
    // everything the host told. Empty when there is no store.
    std::function<void()> connect;
    std::function<void()> disconnect;
};

} // namespace nbd
