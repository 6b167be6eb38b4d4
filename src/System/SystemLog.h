#pragma once

#include <QLoggingCategory>

namespace nbd {

// The desktop layer's log: notifications, the hot key, the tray.
// Quiet below warnings unless QT_LOGGING_RULES turns it on ("nbd.system.info=true"); never
// given a secret or the text of a prompt.
inline const QLoggingCategory &lcSystem()
{
    static const QLoggingCategory category("nbd.system", QtWarningMsg);
    return category;
}

} // namespace nbd
