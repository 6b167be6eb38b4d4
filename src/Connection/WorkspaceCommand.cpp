#include "Connection/WorkspaceCommand.h"

#include "Connection/OneShot.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <sys/prctl.h>
#include <csignal>

#include <memory>
#include <optional>

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
        // A tool still running when the client dies goes with it.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
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

    void setEnvironment(const QProcessEnvironment &environment) { m_process.setProcessEnvironment(environment); }

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

QCoro::Task<WorkspaceCommandResult> captureWith(QString executable, QStringList arguments, QUrl directory,
                                                std::optional<QProcessEnvironment> environment)
{
    auto *run = new CaptureRun;
    std::shared_ptr<OneShot<WorkspaceCommandResult>> result = run->result;
    if (environment)
        run->setEnvironment(*environment);
    run->start(executable, arguments, directory);
    // Only the shared result is touched after this point: the run may be gone.
    WorkspaceCommandResult value = co_await *result;
    co_return value;
}

} // namespace

QCoro::Task<WorkspaceCommandResult> capture(QString executable, QStringList arguments, QUrl directory)
{
    return captureWith(executable, arguments, directory, std::nullopt);
}

QList<std::pair<QString, QString>> inertGitConfiguration(const QStringList &filterNames)
{
    QList<std::pair<QString, QString>> pairs = {
        {u"core.fsmonitor"_s, u"false"_s},
        // Not a folder, so no hook is found.
        {u"core.hooksPath"_s, u"/dev/null"_s},
        // A missing object of a partial clone is not fetched: every transport is off, and with
        // it any upload-pack or ssh command the configuration names.
        {u"protocol.allow"_s, u"never"_s},
        // Plain text: no colour codes in what is shown.
        {u"color.ui"_s, u"never"_s},
        {u"color.status"_s, u"never"_s},
        {u"color.diff"_s, u"never"_s},
    };
    for (const char *transport : {"file", "git", "ssh", "http", "https", "ext"})
        pairs.append({u"protocol."_s + QLatin1String(transport) + u".allow"_s, u"never"_s});
    // An empty command is no filter; a required one would otherwise fail the command.
    for (const QString &name : filterNames) {
        for (const char *key : {"clean", "smudge", "process"})
            pairs.append({u"filter."_s + name + u'.' + QLatin1String(key), QString()});
        pairs.append({u"filter."_s + name + u".required"_s, u"false"_s});
    }
    return pairs;
}

QStringList gitFilterNames(const QString &configNames)
{
    QStringList names;
    for (const QString &key : configNames.split(QChar(u'\0'), Qt::SkipEmptyParts)) {
        // filter.<name>.<key>: the name may hold dots itself, the key never does.
        const QString name = key.trimmed();
        const qsizetype last = name.lastIndexOf(u'.');
        if (!name.startsWith(u"filter."_s) || last <= 7)
            continue;
        const QString driver = name.mid(7, last - 7);
        if (!names.contains(driver))
            names.append(driver);
    }
    return names;
}

QCoro::Task<WorkspaceCommandResult> captureGit(QStringList arguments, QUrl directory)
{
    const QString git = gitExecutable();
    const QString path = directory.isLocalFile() ? directory.toLocalFile() : directory.path();
    const QStringList global = {u"--no-pager"_s, u"--no-optional-locks"_s, u"-C"_s, path};
    // Passed through the environment rather than -c, which cannot carry a name holding "=".
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto withConfiguration = [&environment](const QList<std::pair<QString, QString>> &pairs) {
        QProcessEnvironment result = environment;
        bool ok = false;
        int count = result.value(u"GIT_CONFIG_COUNT"_s).toInt(&ok);
        if (!ok || count < 0)
            count = 0;
        for (const auto &[key, value] : pairs) {
            result.insert(u"GIT_CONFIG_KEY_"_s + QString::number(count), key);
            result.insert(u"GIT_CONFIG_VALUE_"_s + QString::number(count), value);
            ++count;
        }
        result.insert(u"GIT_CONFIG_COUNT"_s, QString::number(count));
        return result;
    };
    // Reading the configuration starts nothing; the filter drivers it names are then turned off.
    const QStringList listArguments = global + QStringList{u"config"_s, u"--null"_s, u"--name-only"_s, u"--get-regexp"_s, u"^filter\\."_s};
    const WorkspaceCommandResult listed =
        co_await captureWith(git, listArguments, directory, withConfiguration(inertGitConfiguration({})));
    const QStringList filters = listed.status == 0 ? gitFilterNames(listed.output) : QStringList();
    WorkspaceCommandResult result =
        co_await captureWith(git, global + arguments, directory, withConfiguration(inertGitConfiguration(filters)));
    co_return result;
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
