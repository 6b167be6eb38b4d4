#pragma once

#include "UI/Conversation/ConversationView.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"
#include "UI/Shared/SettingsOwners.h"

namespace nbd {

class AppModel;

// The owners each family takes from the store, handed over by the application; all empty
// without a store.
SettingsOwners settingsOwners(AppModel *appModel);
ConversationView::Owners conversationOwners(AppModel *appModel);
QuickAskCoordinator::Owners quickAskOwners(AppModel *appModel);

} // namespace nbd
