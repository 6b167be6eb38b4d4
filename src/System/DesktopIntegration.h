#pragma once

// The desktop services the application shell starts: approval notifications here, Quick Ask in
// UI/QuickAsk/QuickAskCoordinator.h.
#include "System/ApprovalNotificationCoordinator.h"
