#include "Store/WorkspaceTerminalModel.h"

#include "Connection/NBDProcessManager.h"
#include "Connection/ProcessGroupEmptyWatch.h"
#include "Connection/ProcessGroupWatchdog.h"
#include "Domain/Trimming.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QCoreApplication>
#include <QTimer>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Removes "." and ".." components; never climbs above the root.
QString standardizedPath(const QString &path)
{
    QString clean = QDir::cleanPath(path);
    while (clean.startsWith(u"/.."_s) && (clean.size() == 3 || clean.at(3) == u'/'))
        clean = clean.size() == 3 ? u"/"_s : clean.mid(3);
    return clean;
}

bool isDirectory(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

QString loginName()
{
    if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_name && *entry->pw_name)
        return QString::fromLocal8Bit(entry->pw_name);
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? u"user"_s : user;
}

QString lastComponent(const QUrl &directory)
{
    const QString path = directory.isLocalFile() ? directory.toLocalFile() : directory.path();
    const QString clean = QDir::cleanPath(path);
    if (clean == u"/"_s)
        return clean;
    return QFileInfo(clean).fileName();
}

// How many leading bytes of `bytes` end on a character boundary: a trailing lead byte whose
// continuation bytes have not all arrived yet is held back for the next read.
qsizetype completePrefixLength(const QByteArray &bytes)
{
    const qsizetype n = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= n; ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(n - back));
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for its lead
        int needed = 0;
        if ((byte & 0xE0) == 0xC0)
            needed = 2;
        else if ((byte & 0xF0) == 0xE0)
            needed = 3;
        else if ((byte & 0xF8) == 0xF0)
            needed = 4;
        return needed > back ? n - back : n;
    }
    return n;
}

// Set once the application began to quit.
bool s_quitting = false;

bool groupHasProcesses(qint64 group) { return group > 0 && ::kill(-pid_t(group), 0) == 0; }

void killGroup(qint64 group)
{
    ::kill(-pid_t(group), SIGKILL);
    ProcessGroupWatchdog::forget(group);
}

// Asks the group to end and kills it after the grace; at once when the application quits, as no
// timer fires any more then.
void endGroup(qint64 group)
{
    if (group <= 0)
        return;
    ::kill(-pid_t(group), SIGTERM);
    QCoreApplication *app = QCoreApplication::instance();
    if (s_quitting || !app) {
        killGroup(group);
        return;
    }
    auto *timer = new QTimer(app);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    auto done = std::make_shared<bool>(false);
    const auto kill = [group, timer, done] {
        if (std::exchange(*done, true))
            return;
        killGroup(group);
        timer->deleteLater();
    };
    QObject::connect(timer, &QTimer::timeout, timer, kill);
    QObject::connect(app, &QCoreApplication::aboutToQuit, timer, kill);
    timer->start(WorkspaceTerminalModel::kKillGraceMs);
}

} // namespace

WorkspaceTerminalModel::WorkspaceTerminalModel(const QUrl &directory, QObject *parent)
    : QObject(parent)
    , m_currentDirectoryURL(directory)
    , m_shell(NBDProcessManager::defaultLoginShell())
{
    static const bool watchingQuit = [] {
        if (QCoreApplication *app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, [] { s_quitting = true; });
        return true;
    }();
    Q_UNUSED(watchingQuit);
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &WorkspaceTerminalModel::killAllGroups);
    m_interruptGrace = new QTimer(this);
    m_interruptGrace->setSingleShot(true);
    m_interruptGrace->setTimerType(Qt::PreciseTimer);
    m_interruptGrace->setInterval(kInterruptGraceMs);
    connect(m_interruptGrace, &QTimer::timeout, this, &WorkspaceTerminalModel::terminateRunningGroup);
}

WorkspaceTerminalModel::~WorkspaceTerminalModel()
{
    for (ProcessGroupEmptyWatch *leftover : std::exchange(m_leftovers, {}))
        endGroup(leftover->group());
    if (!m_process)
        return;
    QProcess *process = std::exchange(m_process, nullptr);
    const qint64 group = std::exchange(m_group, 0);
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        delete process;
        // The shell has ended, but not what it left in its group.
        if (groupHasProcesses(group))
            endGroup(group);
        else
            ProcessGroupWatchdog::forget(group);
        return;
    }
    // Destroying a running QProcess kills and waits for it on this thread: the process object
    // is let go instead and deletes itself once the group has ended; its pipe is drained
    // meanwhile so that a writer blocked on a full pipe sees the end signal.
    process->setParent(nullptr);
    QObject::connect(process, &QProcess::readyReadStandardOutput, process, [process] { process->readAllStandardOutput(); });
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    endGroup(group);
}

void WorkspaceTerminalModel::killAllGroups()
{
    for (ProcessGroupEmptyWatch *leftover : std::exchange(m_leftovers, {})) {
        killGroup(leftover->group());
        delete leftover;
    }
    if (m_group > 0) {
        ::kill(-pid_t(m_group), SIGTERM);
        killGroup(m_group);
    }
}

QList<qint64> WorkspaceTerminalModel::leftoverGroups() const
{
    QList<qint64> groups;
    for (const ProcessGroupEmptyWatch *leftover : m_leftovers)
        groups.append(leftover->group());
    return groups;
}

void WorkspaceTerminalModel::keepLeftoverGroup(qint64 group)
{
    auto *leftover = new ProcessGroupEmptyWatch(group, this);
    m_leftovers.append(leftover);
    connect(leftover, &ProcessGroupEmptyWatch::emptied, this, [this, leftover] { dropLeftover(leftover); });
}

void WorkspaceTerminalModel::dropLeftover(ProcessGroupEmptyWatch *leftover)
{
    // An empty group's number may be taken by a new group: it is never signalled again.
    m_leftovers.removeOne(leftover);
    ProcessGroupWatchdog::forget(leftover->group());
    leftover->deleteLater();
}

void WorkspaceTerminalModel::pruneLeftoverGroups()
{
    // For groups whose processes the kernel could not watch.
    const QList<ProcessGroupEmptyWatch *> leftovers = m_leftovers;
    for (ProcessGroupEmptyWatch *leftover : leftovers)
        if (!groupHasProcesses(leftover->group()))
            dropLeftover(leftover);
}

QString WorkspaceTerminalModel::userAndHost()
{
    QString host = QSysInfo::machineHostName();
    if (host.isEmpty())
        host = u"localhost"_s;
    return loginName() + u'@' + host;
}

QString WorkspaceTerminalModel::prompt() const
{
    return userAndHost() + u' ' + lastComponent(m_currentDirectoryURL) + u" %"_s;
}

void WorkspaceTerminalModel::bumpRevision()
{
    ++m_revision;
    Q_EMIT revisionChanged(m_revision);
}

void WorkspaceTerminalModel::append(const QString &text, TerminalRecord::Kind kind)
{
    if (text.isEmpty())
        return;
    constexpr qsizetype maxUnits = kMaxTextBytes / qsizetype(sizeof(QChar));
    QString kept = text;
    if (kept.size() > maxUnits) {
        qsizetype cut = kept.size() - maxUnits;
        if (kept.at(cut).isLowSurrogate())
            ++cut; // never start on the second half of a pair
        kept = kept.mid(cut);
    }
    m_textBytes += kept.size() * qsizetype(sizeof(QChar));
    m_records.append(TerminalRecord{QUuid::createUuid(), kind, std::move(kept)});
    ++m_appendedCount;
    while (m_records.size() > kMaxRecords || m_textBytes > kMaxTextBytes) {
        m_textBytes -= m_records.first().text.size() * qsizetype(sizeof(QChar));
        m_records.removeFirst();
    }
    Q_EMIT recordsChanged();
    bumpRevision();
}

void WorkspaceTerminalModel::setRunning(bool running)
{
    if (m_isRunning == running)
        return;
    m_isRunning = running;
    Q_EMIT runningChanged(running);
}

void WorkspaceTerminalModel::useDirectory(const QUrl &directory)
{
    if (m_isRunning || !directory.isLocalFile())
        return;
    const QString path = standardizedPath(directory.toLocalFile());
    if (!isDirectory(path))
        return;
    m_currentDirectoryURL = QUrl::fromLocalFile(path);
    Q_EMIT currentDirectoryChanged(m_currentDirectoryURL);
    bumpRevision();
}

void WorkspaceTerminalModel::clear()
{
    m_textBytes = 0;
    if (!m_records.isEmpty()) {
        m_records.clear();
        Q_EMIT recordsChanged();
    }
    Q_EMIT cleared();
    bumpRevision();
}

void WorkspaceTerminalModel::interrupt()
{
    if (!m_process || m_group <= 0)
        return;
    // A command that ignores the interrupt, or drains for longer than the user waits, is
    // terminated: by the second press, or by itself once the grace has passed.
    if (std::exchange(m_interrupted, true)) {
        terminateRunningGroup();
        return;
    }
    // The shell leads its own process group: the signal reaches every command it started.
    ::kill(-pid_t(m_group), SIGINT);
    m_interruptGrace->start();
}

void WorkspaceTerminalModel::terminateRunningGroup()
{
    m_interruptGrace->stop();
    if (m_process && m_group > 0)
        endGroup(m_group);
}

std::optional<QString> WorkspaceTerminalModel::cdTarget(const QString &line)
{
    if (line == u"cd"_s)
        return u"~"_s;
    if (!line.startsWith(u"cd "_s) || line.contains(u"&&"_s) || line.contains(u';'))
        return std::nullopt;
    QString rest = line.mid(3);
    qsizetype start = 0;
    qsizetype end = rest.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (start < end && blank(rest.at(start)))
        ++start;
    while (end > start && blank(rest.at(end - 1)))
        --end;
    return rest.mid(start, end - start);
}

void WorkspaceTerminalModel::changeDirectory(const QString &argument)
{
    QString path = argument;
    if (path.size() >= 2
        && ((path.startsWith(u'"') && path.endsWith(u'"')) || (path.startsWith(u'\'') && path.endsWith(u'\''))))
        path = path.mid(1, path.size() - 2);
    else if (path == u"\""_s || path == u"'"_s)
        path.clear(); // a lone quote both starts and ends the argument
    if (path == u"~"_s)
        path = QDir::homePath();
    else if (path.startsWith(u"~/"_s))
        path = QDir::homePath() + u'/' + path.mid(2);

    const QString current = m_currentDirectoryURL.isLocalFile() ? m_currentDirectoryURL.toLocalFile() : m_currentDirectoryURL.path();
    const QString target = standardizedPath(path.startsWith(u'/') ? path : (path.isEmpty() ? current : current + u'/' + path));
    if (isDirectory(target)) {
        m_currentDirectoryURL = QUrl::fromLocalFile(target);
        Q_EMIT currentDirectoryChanged(m_currentDirectoryURL);
    } else {
        append(u"cd: no such directory: "_s + argument + u'\n', TerminalRecord::Kind::Error);
    }
    bumpRevision();
}

void WorkspaceTerminalModel::execute(const QString &line)
{
    const QString command = text::trimWhitespaceAndNewlines(line).toString();
    if (command.isEmpty() || m_isRunning)
        return;
    append(prompt() + u' ' + command, TerminalRecord::Kind::Command);
    if (const auto target = cdTarget(command)) {
        changeDirectory(*target);
        return;
    }

    auto *process = new QProcess(this);
    process->setProgram(m_shell);
    process->setArguments({u"-l"_s, u"-c"_s, command});
    process->setWorkingDirectory(m_currentDirectoryURL.isLocalFile() ? m_currentDirectoryURL.toLocalFile()
                                                                    : m_currentDirectoryURL.path());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // Its own process group, so that an interrupt reaches the shell and everything it started;
    // with the interrupt signal's default action even when this app was started ignoring it
    // (an ignored signal stays ignored across exec, and a shell cannot undo that).
    process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGQUIT, SIG_DFL);
    });
    pruneLeftoverGroups();
    ProcessGroupWatchdog::ensureRunning();
    m_pendingBytes.clear();
    m_process = process;
    m_interrupted = false;
    setRunning(true);

    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        if (process == m_process)
            readOutput();
    });
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus) {
        if (process == m_process)
            finish(exitCode);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || process != m_process)
            return;
        m_process = nullptr;
        ProcessGroupWatchdog::forget(std::exchange(m_group, 0));
        process->deleteLater();
        append(process->errorString() + u'\n', TerminalRecord::Kind::Error);
        setRunning(false);
    });
    process->start();
    if (process == m_process && process->processId() > 0) {
        m_group = process->processId();
        // Also here, so that the group exists before the watchdog can be asked to end it; the
        // child does the same before it runs the shell, whichever comes first.
        ::setpgid(pid_t(m_group), pid_t(m_group));
        ProcessGroupWatchdog::watch(m_group);
    }
}

QString WorkspaceTerminalModel::decodeChunk(const QByteArray &bytes, bool final)
{
    QByteArray data = m_pendingBytes + bytes;
    m_pendingBytes.clear();
    if (!final) {
        qsizetype complete = completePrefixLength(data);
        // A carriage return waits too: with a line feed after it, the two end one line.
        if (complete > 0 && data.at(complete - 1) == '\r')
            --complete;
        m_pendingBytes = data.mid(complete);
        data.truncate(complete);
    }
    return QString::fromUtf8(data);
}

void WorkspaceTerminalModel::readOutput()
{
    const QByteArray bytes = m_process->readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    append(decodeChunk(bytes, false), TerminalRecord::Kind::Output);
}

void WorkspaceTerminalModel::finish(int status)
{
    QProcess *process = m_process;
    append(decodeChunk(process->readAllStandardOutput(), true), TerminalRecord::Kind::Output);
    if (status != 0)
        append(u"进程退出，状态码 "_s + QString::number(status) + u'\n', TerminalRecord::Kind::Error);
    m_process = nullptr;
    process->deleteLater();
    m_interruptGrace->stop();
    // A background job of the command lives on in its group: the group is kept until empty.
    const qint64 group = std::exchange(m_group, 0);
    if (groupHasProcesses(group))
        keepLeftoverGroup(group);
    else
        ProcessGroupWatchdog::forget(group);
    setRunning(false);
    bumpRevision();
}

} // namespace nbd
