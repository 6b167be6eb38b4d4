#include "Connection/WorkspaceCommand.h"

#include "Connection/OneShot.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace nbd::WorkspaceCommand {

namespace {

// One run: owns its process until the process has ended (or failed to start), then hands the
// result over from the event loop and deletes itself.
class CaptureRun : public QObject
{
public:
    CaptureRun()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setInputChannelMode(QProcess::ForwardedInputChannel);
        // Drained while the tool runs, so that a chatty tool never blocks on a full pipe.
        connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] { m_output += m_process.readAllStandardOutput(); });
        connect(&m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus) {
            m_output += m_process.readAllStandardOutput();
            deliver(WorkspaceCommandResult{QString::fromUtf8(m_output), exitCode});
        });
        connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                deliver(WorkspaceCommandResult{m_process.errorString(), -1});
        });
    }

    void start(const QString &executable, const QStringList &arguments, const QUrl &directory)
    {
        // A file path, never a name to look up: QProcess would search PATH for a bare name.
        m_process.setProgram(executable.isEmpty() ? executable : QFileInfo(executable).absoluteFilePath());
        m_process.setArguments(arguments);
        m_process.setWorkingDirectory(directory.isLocalFile() ? directory.toLocalFile() : directory.path());
        m_process.start();
    }

    std::shared_ptr<OneShot<WorkspaceCommandResult>> result = std::make_shared<OneShot<WorkspaceCommandResult>>();

private:
    void deliver(WorkspaceCommandResult value)
    {
        if (m_delivered)
            return;
        m_delivered = true;
        // The caller resumes from the event loop, not from inside the process's signal.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [shot = result, value = std::move(value)] { shot->resolve(value); },
            Qt::QueuedConnection);
        deleteLater();
    }

    QProcess m_process;
    QByteArray m_output;
    bool m_delivered = false;
};

} // namespace

QCoro::Task<WorkspaceCommandResult> capture(QString executable, QStringList arguments, QUrl directory)
{
    auto *run = new CaptureRun;
    std::shared_ptr<OneShot<WorkspaceCommandResult>> result = run->result;
    run->start(executable, arguments, directory);
    // Only the shared result is touched after this point: the run may be gone.
    WorkspaceCommandResult value = co_await *result;
    co_return value;
}

QString gitExecutable()
{
    const QString fixed = u"/usr/bin/git"_s;
    const QFileInfo info(fixed);
    if (info.isFile() && info.isExecutable())
        return fixed;
    const QString found = QStandardPaths::findExecutable(u"git"_s);
    return found.isEmpty() ? fixed : found;
}

} // namespace nbd::WorkspaceCommand
