#pragma once

#include <QLoggingCategory>

namespace nbd {

// The wire layer's log: event streams that end and frames that are refused.
// Quiet below warnings unless QT_LOGGING_RULES turns it on ("nbd.wire.info=true"); never
// given a secret or the text of a prompt.
inline const QLoggingCategory &lcWire()
{
    static const QLoggingCategory category("nbd.wire", QtWarningMsg);
    return category;
}

} // namespace nbd
