#pragma once

#include "Connection/OneShot.h"

#include <QCoroTask>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace nbd {

// Runs a short command-line tool and captures what it writes to standard output. Standard
// error is discarded; the exit status is not reported. Used for the executable lookup
// through the login shell and for listing listening sockets.
class CapturedCommand : public QObject
{
    Q_OBJECT
public:
    // How long a tool that was asked to terminate at its time-out may take before it is
    // killed, so that a tool ignoring SIGTERM cannot keep the caller waiting.
    static constexpr int kKillDelayMs = 2000;

    // Starts launchPath (used as it is: no search path) with the arguments and returns its
    // standard output, decoded as UTF-8 with every ill-formed sequence replaced by U+FFFD
    // and not trimmed. timeoutMs after the launch the tool is sent SIGTERM once; if it is
    // still running killDelayMs later it is killed. A tool that cannot be started yields the
    // empty text at once. The running command is a child of owner: destroying owner kills
    // the tool and ends the wait with what it had printed.
    static QCoro::Task<QString> run(QString launchPath, QStringList arguments, int timeoutMs, QObject *owner,
                                    int killDelayMs = kKillDelayMs);

    ~CapturedCommand() override;

private:
    explicit CapturedCommand(QObject *owner);
    void launch(const QString &launchPath, const QStringList &arguments, int timeoutMs, int killDelayMs);
    void finish();

    QProcess m_process;
    QTimer m_timeout;
    QTimer m_kill;
    QByteArray m_output;
    std::shared_ptr<OneShot<QString>> m_result = std::make_shared<OneShot<QString>>();
};

} // namespace nbd
