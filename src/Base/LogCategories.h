#pragma once

#include <QLoggingCategory>

// One log category per layer. Each is quiet below warnings unless QT_LOGGING_RULES turns it on
// ("nbd.*=true", or "nbd.wire.info=true" for one); none is ever given a secret or the text of
// a prompt.
namespace nbd {

#define NBD_LOG_CATEGORY(function, name)                                                           \
    inline const QLoggingCategory &function()                                                      \
    {                                                                                              \
        static const QLoggingCategory category(name, QtWarningMsg);                                \
        return category;                                                                           \
    }

// Event streams that end and frames that are refused.
NBD_LOG_CATEGORY(lcWire, "nbd.wire")
// Phases, reconnects, host discovery, launches and their exits.
NBD_LOG_CATEGORY(lcConnection, "nbd.connection")
// History loads, resyncs and gaps.
NBD_LOG_CATEGORY(lcSession, "nbd.session")
// Frames the router drops and failures it reports.
NBD_LOG_CATEGORY(lcStore, "nbd.store")
// Notifications, the hot key, the tray.
NBD_LOG_CATEGORY(lcSystem, "nbd.system")
// Links and paths refused on their way to the desktop.
NBD_LOG_CATEGORY(lcUi, "nbd.ui")

#undef NBD_LOG_CATEGORY

} // namespace nbd
