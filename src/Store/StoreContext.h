#pragma once

#include <memory>

class QSettings;

namespace nbd {

class ConnectionController;
class ConnectionSettings;
class Interactions;
class PluginInventory;
class SessionDirectory;
class SessionSelection;
class SettingsFile;
class StoreErrors;

// What the store's owners share: the store's configuration and connection, and one another.
// Filled by AppModel before any owner runs; every pointer lives as long as the store.
struct StoreContext
{
    // Reset first thing when the store goes away: a coroutine of any owner that resumes
    // while the store is being torn down sees it expired and touches nothing.
    std::weak_ptr<const bool> alive;
    QSettings *settings = nullptr; // read here, written through settingsFile
    SettingsFile *settingsFile = nullptr;
    ConnectionController *connection = nullptr;
    StoreErrors *errors = nullptr;
    ConnectionSettings *connectionSettings = nullptr;
    SessionDirectory *directory = nullptr;
    SessionSelection *selection = nullptr;
    Interactions *interactions = nullptr;
    PluginInventory *plugins = nullptr;
};

} // namespace nbd
