#pragma once

#include "UI/Shared/ViewSlots.h"

namespace nbd {

// The views each family places in another's, made by the families that own them. main() and
// the GUI tests install them right after the application's start-up.
ViewSlots appViewSlots();

} // namespace nbd
