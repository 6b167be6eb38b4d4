#pragma once

#include <QLoggingCategory>

namespace nbd {

// The store's log: frames the router drops and failures it reports.
// Quiet below warnings unless QT_LOGGING_RULES turns it on ("nbd.store.info=true"); never
// given a secret or the text of a prompt.
inline const QLoggingCategory &lcStore()
{
    static const QLoggingCategory category("nbd.store", QtWarningMsg);
    return category;
}

} // namespace nbd
