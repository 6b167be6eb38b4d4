#pragma once

// Every decode-only record of the host protocol.
#include "Domain/HostDescription.h"
#include "Domain/ModelCatalogue.h"
#include "Domain/Plugins.h"
#include "Domain/ProtocolNames.h"
#include "Domain/SessionEvents.h"
#include "Domain/Sessions.h"
#include "Domain/Settings.h"
#include "Domain/Subagents.h"
#include "Domain/Workspaces.h"
