#pragma once

#include <QLoggingCategory>

namespace nbd {

// The session models' log: history loads, resyncs and gaps.
// Quiet below warnings unless QT_LOGGING_RULES turns it on ("nbd.session.info=true"); never
// given a secret or the text of a prompt.
inline const QLoggingCategory &lcSession()
{
    static const QLoggingCategory category("nbd.session", QtWarningMsg);
    return category;
}

} // namespace nbd
