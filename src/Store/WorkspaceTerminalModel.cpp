#include "Store/WorkspaceTerminalModel.h"

#include "Connection/NBDProcessManager.h"
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
}

WorkspaceTerminalModel::~WorkspaceTerminalModel()
{
    if (!m_process)
        return;
    QProcess *process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    const qint64 pid = process->processId();
    if (pid <= 0 || process->state() == QProcess::NotRunning) {
        delete process;
        return;
    }
    // Destroying a running QProcess kills and waits for it on this thread: the process object
    // is let go instead and deletes itself once the group has ended; its pipe is drained
    // meanwhile so that a writer blocked on a full pipe sees the end signal.
    process->setParent(nullptr);
    QObject::connect(process, &QProcess::readyReadStandardOutput, process, [process] { process->readAllStandardOutput(); });
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    ::kill(-pid_t(pid), SIGTERM);
    // Once the application quits no timer fires any more: the group is killed then at once.
    if (s_quitting || !QCoreApplication::instance()) {
        ::kill(-pid_t(pid), SIGKILL);
        return;
    }
    QTimer::singleShot(kKillGraceMs, process, [pid] { ::kill(-pid_t(pid), SIGKILL); });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, process,
                     [pid] { ::kill(-pid_t(pid), SIGKILL); });
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
    if (!m_process)
        return;
    const qint64 pid = m_process->processId();
    // The shell leads its own process group: the signal reaches every command it started.
    if (pid > 0)
        ::kill(-pid_t(pid), SIGINT);
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
    m_pendingBytes.clear();
    m_process = process;
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
        process->deleteLater();
        append(process->errorString() + u'\n', TerminalRecord::Kind::Error);
        setRunning(false);
    });
    process->start();
}

QString WorkspaceTerminalModel::decodeChunk(const QByteArray &bytes, bool final)
{
    QByteArray data = m_pendingBytes + bytes;
    m_pendingBytes.clear();
    if (!final) {
        const qsizetype complete = completePrefixLength(data);
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
    setRunning(false);
    bumpRevision();
}

} // namespace nbd
