#pragma once

#include <QCoreApplication>
#include <QString>

// What the web pages answer for the engine's script dialogs (alert, confirm, prompt, leaving a
// page): the engine's own dialogs are modal to the whole window, so a page could hold it.
namespace nbd::ScriptDialogs {

// Whether a confirm is the engine's own question (with its own text) whether to leave a page
// whose "beforeunload" handler would keep the user there. Going on is what was asked for.
inline bool isLeaveQuestion(const QString &message)
{
    return message
        == QCoreApplication::translate("QWebEnginePage",
                                       "Are you sure you want to leave this page? Changes that you made may not be saved.");
}

} // namespace nbd::ScriptDialogs
