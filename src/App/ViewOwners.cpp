#include "App/ViewOwners.h"

#include "Store/AppModel.h"

namespace nbd {

SettingsOwners settingsOwners(AppModel *appModel)
{
    SettingsOwners owners;
    if (!appModel)
        return owners;
    owners.connectionSettings = appModel->connectionSettings();
    owners.connectionStatus = appModel->connectionStatus();
    owners.hostSettings = appModel->hostSettings();
    owners.plugins = appModel->plugins();
    owners.selection = appModel->selection();
    const QPointer<AppModel> store(appModel);
    owners.connect = [store] {
        if (store)
            store->connect();
    };
    owners.disconnect = [store] {
        if (store)
            store->disconnect();
    };
    return owners;
}

ConversationView::Owners conversationOwners(AppModel *appModel)
{
    ConversationView::Owners owners;
    if (!appModel)
        return owners;
    owners.errors = appModel->errors();
    owners.sessions = appModel->sessions();
    owners.selection = appModel->selection();
    owners.sessionActions = appModel->sessionActions();
    owners.interactions = appModel->interactions();
    owners.connectionSettings = appModel->connectionSettings();
    return owners;
}

QuickAskCoordinator::Owners quickAskOwners(AppModel *appModel)
{
    QuickAskCoordinator::Owners owners;
    if (!appModel)
        return owners;
    owners.connectionStatus = appModel->connectionStatus();
    owners.sessions = appModel->sessions();
    owners.selection = appModel->selection();
    owners.sessionActions = appModel->sessionActions();
    owners.errors = appModel->errors();
    return owners;
}

} // namespace nbd
