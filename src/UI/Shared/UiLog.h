#pragma once

#include <QLoggingCategory>

namespace nbd {

// The views' log: links and paths refused on their way to the desktop.
// Quiet below warnings unless QT_LOGGING_RULES turns it on ("nbd.ui.info=true"); never
// given a secret or the text of a prompt.
inline const QLoggingCategory &lcUi()
{
    static const QLoggingCategory category("nbd.ui", QtWarningMsg);
    return category;
}

} // namespace nbd
