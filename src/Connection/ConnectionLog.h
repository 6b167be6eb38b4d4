#pragma once

#include <QLoggingCategory>

namespace nbd {

// The connection's log: phases, reconnects, host discovery, launches and their exits.
// Quiet below warnings unless QT_LOGGING_RULES turns it on ("nbd.connection.info=true"); never
// given a secret or the text of a prompt.
inline const QLoggingCategory &lcConnection()
{
    static const QLoggingCategory category("nbd.connection", QtWarningMsg);
    return category;
}

} // namespace nbd
