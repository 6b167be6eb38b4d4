#pragma once

#include <QProcess>
#include <QStringList>

namespace nbd::test {

// Runs xdotool with `arguments` on the test's display; true when it ran and succeeded.
inline bool xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace nbd::test
