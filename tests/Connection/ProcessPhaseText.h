#pragma once

#include "Connection/NBDProcessManager.h"

#include <QtGlobal>

namespace nbd {

// How QCOMPARE prints a process manager phase: its kind, then its address and message if any.
inline char *toString(const NBDProcessManager::Phase &phase)
{
    static const char *const names[] = {"attached", "running", "failed", "idle", "probing", "locating", "starting"};
    QString text = QString::fromLatin1(names[int(phase.kind)]);
    if (!phase.url.isEmpty())
        text += u'(' + phase.url.toString() + u')';
    if (!phase.message.isEmpty())
        text += u'(' + phase.message + u')';
    return qstrdup(text.toUtf8().constData());
}

} // namespace nbd
