#include "Connection/CapturedCommand.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <sys/prctl.h>
#include <csignal>

namespace nbd {

CapturedCommand::CapturedCommand(QObject *owner) : QObject(owner)
{
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setInputChannelMode(QProcess::ForwardedInputChannel);
    // A lookup still running when the client dies goes with it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_timeout.setSingleShot(true);
    m_timeout.setTimerType(Qt::PreciseTimer);
    m_kill.setSingleShot(true);
    m_kill.setTimerType(Qt::PreciseTimer);
    // Drained while the tool runs, so that a chatty tool never blocks on a full pipe.
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] { m_output += m_process.readAllStandardOutput(); });
    connect(&m_process, &QProcess::finished, this, [this] { finish(); });
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        m_process.terminate();
        m_kill.start();
    });
    connect(&m_kill, &QTimer::timeout, this, [this] { m_process.kill(); });
}

CapturedCommand::~CapturedCommand()
{
    // The owner is going away: a tool still running is killed now (QProcess would do so
    // too, but without handing over the output), and the waiting caller is released.
    m_process.disconnect(this);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(1000);
    }
    m_output += m_process.readAllStandardOutput();
    m_result->resolve(QString::fromUtf8(m_output));
}

void CapturedCommand::launch(const QString &launchPath, const QStringList &arguments, int timeoutMs, int killDelayMs)
{
    // A file path, never a name to look up: QProcess would search PATH for a bare name.
    m_process.setProgram(launchPath.isEmpty() ? launchPath : QFileInfo(launchPath).absoluteFilePath());
    m_process.setArguments(arguments);
    m_kill.setInterval(std::max(0, killDelayMs));
    m_timeout.start(std::max(0, timeoutMs));
    m_process.start();
    if (!m_process.waitForStarted(-1)) {
        m_timeout.stop();
        m_result->resolve(QString());
        deleteLater();
    }
}

void CapturedCommand::finish()
{
    m_timeout.stop();
    m_kill.stop();
    m_output += m_process.readAllStandardOutput();
    // The caller resumes from the event loop, not from inside the process's signal: it may
    // well destroy this command's owner.
    std::shared_ptr<OneShot<QString>> result = m_result;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [result, text = QString::fromUtf8(m_output)] { result->resolve(text); },
        Qt::QueuedConnection);
    deleteLater();
}

QCoro::Task<QString> CapturedCommand::run(QString launchPath, QStringList arguments, int timeoutMs, QObject *owner,
                                          int killDelayMs)
{
    auto *command = new CapturedCommand(owner);
    std::shared_ptr<OneShot<QString>> result = command->m_result;
    command->launch(launchPath, arguments, timeoutMs, killDelayMs);
    // Only the shared result is touched after this point: the command may be gone.
    const QString text = co_await *result;
    co_return text;
}

} // namespace nbd
