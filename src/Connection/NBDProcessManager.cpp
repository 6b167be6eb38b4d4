#include "Connection/NBDProcessManager.h"

#include "Base/LogCategories.h"
#include "Connection/CapturedCommand.h"
#include "Connection/LineBuffer.h"
#include "Connection/ProcessGroupEmptyWatch.h"
#include "Connection/ProcessGroupWatchdog.h"
#include "Domain/HostDescription.h"
#include "Domain/Trimming.h"
#include "Wire/WireClient.h"
#include "Wire/WireSession.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <pwd.h>
#include <sys/prctl.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <set>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const QString kReadyPrefix = u"nbd web: "_s;
const QString kNotFoundMessage = u"找不到 nbd 可执行文件（尝试了登录 shell PATH 与常见位置）"_s;
const QString kLaunchFailedMessage = u"内置 NBD 启动失败"_s;
const QStringList kHostArguments = {u"--profile"_s, u"web"_s, u"--port"_s, u"0"_s};

// The host runs in a process group of its own, led by it: whatever it starts (agents, tools,
// shells) is in that group unless it leaves it, and ends with it.
const char kProcessGroupProperty[] = "nbd.processGroup";

qint64 processGroup(const QProcess *process)
{
    return process ? process->property(kProcessGroupProperty).toLongLong() : 0;
}

// False for no group: a signal to group 0 would reach the client's own group.
bool signalGroup(qint64 group, int signal)
{
    return group > 0 && ::kill(-pid_t(group), signal) == 0;
}

bool groupExists(qint64 group) { return signalGroup(group, 0); }

// The host's group, or the host alone should its group be gone already (or never formed).
void signalHost(QProcess *process, int signal)
{
    if (signalGroup(processGroup(process), signal) || !process || process->state() == QProcess::NotRunning)
        return;
    if (signal == SIGKILL)
        process->kill();
    else
        process->terminate();
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString trimSpacesAndTabs(const QString &text) { return text::trimCharacters(text, u" \t").toString(); }

// Why a configured path that the lookup passed over cannot be launched, for the headline: the
// user named that file, and "not found" would send them looking for a file that is there.
QString configuredPathProblem(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() && !info.exists())
        return u"配置的 nbd 路径是失效的链接："_s + path;
    if (!info.exists())
        return u"配置的 nbd 路径不存在："_s + path;
    if (info.isDir())
        return u"配置的 nbd 路径是文件夹，不是可执行文件："_s + path;
    return u"配置的 nbd 路径不可执行："_s + path;
}

} // namespace

struct NBDProcessManager::Launch
{
    quint64 generation = 0;
    QPointer<QProcess> process;
    // Ends the wait for the ready line: an address, or nothing (exit, launch error,
    // time-out). The first of them wins.
    OneShot<std::optional<QUrl>> gate;
    LineBuffer standardOutput;
    LineBuffer standardError;
    // Examines an unfinished ready line once the output has been quiet for the grace.
    QPointer<QTimer> standardOutputGrace;
    QPointer<QTimer> readyTimer;
    QMetaObject::Connection terminationHandler;
    // Why the wait ended without an address, as the log says it.
    QString failure;
    bool ready = false; // the wait ended with an address
};

NBDProcessManager::NBDProcessManager(QObject *parent)
    : QObject(parent)
    , m_loginShell(defaultLoginShell())
    , m_fixedLocations(defaultFixedLocations())
    , m_lsofPath(defaultLsofPath())
{
}

NBDProcessManager::~NBDProcessManager()
{
    m_alive.reset();
    // Waits still pending end now; their coroutines see the manager gone and stop.
    const auto waiting = m_waiting;
    for (const auto &launch : waiting) {
        launch->gate.settle(std::nullopt);
        launch->gate.resumeWaiter();
    }
    QList<QPointer<QProcess>> processes = m_stopping;
    processes.append(m_process);
    for (const QPointer<QProcess> &process : processes)
        if (process)
            waitForStop(process);
}

QString NBDProcessManager::defaultLoginShell()
{
    const QString zsh = u"/bin/zsh"_s;
    if (isExecutableFile(zsh))
        return zsh;
    if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_shell) {
        const QString shell = QString::fromLocal8Bit(entry->pw_shell);
        static const QStringList known = {u"sh"_s, u"bash"_s, u"dash"_s, u"zsh"_s, u"ksh"_s, u"mksh"_s, u"fish"_s};
        if (QDir::isAbsolutePath(shell) && known.contains(QFileInfo(shell).fileName()) && isExecutableFile(shell))
            return shell;
    }
    return u"/bin/sh"_s;
}

QStringList NBDProcessManager::defaultFixedLocations()
{
    return {u"/usr/local/bin/nbd"_s, u"/opt/homebrew/bin/nbd"_s, QDir::homePath() + u"/.local/bin/nbd"_s};
}

QString NBDProcessManager::defaultLsofPath()
{
    for (const QString &path : {u"/usr/sbin/lsof"_s, u"/usr/bin/lsof"_s})
        if (isExecutableFile(path))
            return path;
    return QStandardPaths::findExecutable(u"lsof"_s);
}

bool NBDProcessManager::hasProcess() const { return !m_process.isNull(); }

void NBDProcessManager::setPhase(const Phase &phase)
{
    if (phase.kind != Phase::Kind::Failed || phase.message != kLaunchFailedMessage)
        m_failureCause.clear();
    if (m_phase == phase)
        return;
    m_phase = phase;
    Q_EMIT phaseChanged();
}

void NBDProcessManager::setProcess(QProcess *process)
{
    m_hostExitMessage.clear();
    if (m_process == process)
        return;
    m_process = process;
    Q_EMIT processChanged();
}

void NBDProcessManager::log(const QString &line)
{
    // Our own lines only: what the host writes to its error output may quote anything.
    qCInfo(lcConnection).noquote() << "host process:" << line.left(300);
    appendLog(line);
}

void NBDProcessManager::appendLog(const QString &line)
{
    m_logLines.append(line);
    if (m_logLines.size() > kLogLimit)
        m_logLines.remove(0, m_logLines.size() - kLogLimit);
    Q_EMIT logLinesChanged();
}

// ---- Executable lookup ------------------------------------------------------------------

QCoro::Task<std::optional<QString>> NBDProcessManager::locateExecutable(QString explicitPath)
{
    return lookUpExecutable(std::move(explicitPath), std::nullopt);
}

QString NBDProcessManager::pathFromShellOutput(const QString &output)
{
    // Chatty shell profiles print banners and greetings around the answer: the last line
    // that names an absolute path is the one `command -v` printed.
    const QStringList lines = LineBuffer::splitLines(output);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = text::trimWhitespaceAndNewlines(*it).toString();
        if (!line.isEmpty() && QDir::isAbsolutePath(line))
            return line;
    }
    return {};
}

QCoro::Task<std::optional<QString>> NBDProcessManager::lookUpExecutable(QString explicitPath,
                                                                        std::optional<quint64> launchGeneration)
{
    const std::weak_ptr<const bool> alive = m_alive;
    // A lookup on behalf of a launch that a newer start() superseded must leave the newer
    // launch's phase alone.
    auto setLookupPhase = [this, launchGeneration](const Phase &phase) {
        if (!launchGeneration || *launchGeneration == m_launchGeneration)
            setPhase(phase);
    };
    setLookupPhase(Phase::locating());

    const QString configured = trimSpacesAndTabs(explicitPath);
    if (!configured.isEmpty()) {
        if (isExecutableFile(configured)) {
            setLookupPhase(Phase::idle());
            co_return configured;
        }
        log(u"配置的 nbd 路径不可执行："_s + configured);
    }

    const QString shell = m_loginShell;
    const QStringList shellArguments = {u"-l"_s, u"-c"_s, u"command -v nbd"_s};
    const QString output =
        co_await CapturedCommand::run(shell, shellArguments, m_timing.lookupTimeoutMs, this, m_timing.toolKillDelayMs);
    if (alive.expired())
        co_return std::nullopt;
    // `command -v` names aliases and functions too: only a path to a real file counts.
    const QString found = pathFromShellOutput(output);
    if (!found.isEmpty() && isExecutableFile(found)) {
        log(u"通过登录 shell 找到 nbd："_s + found);
        setLookupPhase(Phase::idle());
        co_return found;
    }

    for (const QString &path : std::as_const(m_fixedLocations)) {
        if (isExecutableFile(path)) {
            log(u"在常见位置找到 nbd："_s + path);
            setLookupPhase(Phase::idle());
            co_return path;
        }
    }
    setLookupPhase(Phase::idle());
    co_return std::nullopt;
}

// ---- Launch -----------------------------------------------------------------------------

std::optional<QUrl> NBDProcessManager::parseURL(const QString &trimmedLine)
{
    const QString rest = trimmedLine.mid(kReadyPrefix.size());
    QString piece;
    qsizetype i = 0;
    auto isSeparator = [](QChar c) { return c == u' ' || c == u'\t' || c == u'('; };
    while (i < rest.size() && isSeparator(rest[i]))
        ++i;
    while (i < rest.size() && !isSeparator(rest[i]))
        piece.append(rest[i++]);
    if (piece.isEmpty())
        return std::nullopt;
    // Only a full web address will do: a bare "localhost:3080" or a relative path would
    // otherwise be taken for the host's address.
    const QUrl url(piece, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    if (url.scheme() != u"http"_s && url.scheme() != u"https"_s)
        return std::nullopt;
    return url;
}

void NBDProcessManager::settleGate(const std::shared_ptr<Launch> &launch, std::optional<QUrl> url)
{
    const bool ready = url.has_value();
    if (!launch->gate.settle(std::move(url)))
        return;
    launch->ready = ready;
    // The waiting start() resumes from the event loop, not from inside a process signal or
    // a timer: its caller may well stop or replace the process right away.
    QMetaObject::invokeMethod(this, [launch] { launch->gate.resumeWaiter(); }, Qt::QueuedConnection);
}

void NBDProcessManager::handleOutput(const std::shared_ptr<Launch> &launch, bool isStandardError, bool atEnd)
{
    QProcess *process = launch->process;
    QByteArray chunk;
    if (process)
        chunk = isStandardError ? process->readAllStandardError() : process->readAllStandardOutput();
    LineBuffer &buffer = isStandardError ? launch->standardError : launch->standardOutput;
    handleLines(launch, isStandardError, buffer.take(chunk, atEnd));

    // A host may print its ready line without a line break and then wait. The held text
    // is examined once nothing more arrived for the grace; every chunk restarts the wait, so
    // a line the host writes in quick pieces is still read whole. The text stays held and
    // is logged once its line is complete.
    if (isStandardError)
        return;
    QPointer<QTimer> &grace = launch->standardOutputGrace;
    if (atEnd || buffer.carried.isEmpty() || !process || launch->gate.isSettled()) {
        if (grace)
            grace->stop();
        return;
    }
    if (!grace) {
        // A child of the process: it goes when the process goes.
        grace = new QTimer(process);
        grace->setSingleShot(true);
        grace->setTimerType(Qt::PreciseTimer);
        connect(grace, &QTimer::timeout, this, [this, launch] {
            const QString trimmed = trimSpacesAndTabs(launch->standardOutput.heldLine());
            if (!trimmed.startsWith(kReadyPrefix))
                return;
            if (const std::optional<QUrl> url = parseURL(trimmed))
                settleGate(launch, url);
        });
    }
    grace->start(m_timing.readyGraceMs);
}

void NBDProcessManager::handleLines(const std::shared_ptr<Launch> &launch, bool isStandardError, const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    if (isStandardError) {
        for (const QString &line : lines)
            if (!line.isEmpty())
                appendLog(u"[stderr] "_s + line);
        return;
    }
    for (const QString &line : lines) {
        const QString trimmed = trimSpacesAndTabs(line);
        if (!trimmed.startsWith(kReadyPrefix))
            continue;
        if (const std::optional<QUrl> url = parseURL(trimmed)) {
            settleGate(launch, url);
            break;
        }
    }
    for (const QString &line : lines) {
        const QString trimmed = trimSpacesAndTabs(line);
        if (!trimmed.isEmpty())
            log(trimmed);
    }
}

void NBDProcessManager::handleTermination(const std::shared_ptr<Launch> &launch)
{
    QProcess *process = launch->process;
    if (!process)
        return;
    const QString detail = process->exitStatus() == QProcess::CrashExit
                               ? u"信号 "_s + QString::number(process->exitCode())
                               : u"退出码 "_s + QString::number(process->exitCode());
    const QString line = u"nbd 进程提前退出（"_s + detail + u"）"_s;
    log(line);
    // What the host left in its group is ended by the next stop; a group that has emptied
    // meanwhile is let go, as its number may be taken by a new group.
    const qint64 group = processGroup(process);
    const auto letGroupGo = [process, group] {
        process->setProperty(kProcessGroupProperty, 0);
        ProcessGroupWatchdog::forget(group);
    };
    if (groupExists(group))
        connect(new ProcessGroupEmptyWatch(group, process), &ProcessGroupEmptyWatch::emptied, process, letGroupGo);
    else
        letGroupGo();
    if (launch->ready && launch == m_launch) {
        m_hostExitMessage = u"内置 NBD 已退出（"_s + detail + u"）"_s;
        Q_EMIT hostExited(m_hostExitMessage);
    }
    if (!launch->gate.isSettled())
        launch->failure = line;
    settleGate(launch, std::nullopt);
}

QCoro::Task<std::optional<QUrl>> NBDProcessManager::start(QString cwd, QString explicitPath)
{
    const std::weak_ptr<const bool> alive = m_alive;
    stop();
    const quint64 generation = ++m_launchGeneration;
    setPhase(Phase::starting());

    const std::optional<QString> path = co_await lookUpExecutable(explicitPath, generation);
    if (alive.expired())
        co_return std::nullopt;
    // A newer start() took over while the lookup ran: it owns the phase, and this one
    // must not launch a host that nobody would stop.
    if (generation != m_launchGeneration)
        co_return std::nullopt;
    if (!path) {
        const QString configured = trimSpacesAndTabs(explicitPath);
        setPhase(Phase::failed(configured.isEmpty() ? kNotFoundMessage : configuredPathProblem(configured)));
        co_return std::nullopt;
    }

    auto launch = std::make_shared<Launch>();
    launch->generation = generation;
    auto *process = new QProcess(this);
    launch->process = process;
    // The path was checked against the client's own directory: QProcess would look a bare
    // name up on PATH and resolve any other relative path against the host's directory.
    process->setProgram(QFileInfo(*path).absoluteFilePath());
    process->setArguments(kHostArguments);
    process->setWorkingDirectory(cwd);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    // No host outlives the client, also when the client is killed or crashes: the watchdog
    // ends the host's whole group then, and the kernel sends the host itself SIGTERM when the
    // thread that launched it ends. A client that died before the child got here has already
    // handed it to another parent.
    ProcessGroupWatchdog::ensureRunning();
    const pid_t client = ::getpid();
    process->setChildProcessModifier([client] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != client)
            ::raise(SIGTERM);
    });

    connect(process, &QProcess::readyReadStandardOutput, this, [this, launch] { handleOutput(launch, false, false); });
    connect(process, &QProcess::readyReadStandardError, this, [this, launch] { handleOutput(launch, true, false); });
    // The unfinished last lines are handed over when the process ends, before its exit is
    // logged; this stays connected when stop() removes the termination handler.
    connect(process, &QProcess::finished, this, [this, launch] {
        handleOutput(launch, false, true);
        handleOutput(launch, true, true);
    });
    launch->terminationHandler =
        connect(process, &QProcess::finished, this, [this, launch] { handleTermination(launch); });

    process->start();
    if (process->waitForStarted(-1)) {
        process->setProperty(kProcessGroupProperty, process->processId());
        ProcessGroupWatchdog::watch(process->processId());
        m_launch = launch;
        setProcess(process);
        log(u"已启动 nbd："_s + *path + u" --profile web --port 0"_s);
    } else {
        launch->failure = u"启动 nbd 失败："_s + process->errorString();
        log(launch->failure);
        process->disconnect(this);
        process->deleteLater();
        launch->gate.settle(std::nullopt);
    }

    if (!launch->gate.isSettled()) {
        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        launch->readyTimer = timer;
        connect(timer, &QTimer::timeout, this, [this, launch, timer] {
            timer->deleteLater();
            if (launch->gate.isSettled())
                return;
            launch->failure = u"等待 nbd 就绪超时（45s）"_s;
            settleGate(launch, std::nullopt);
            log(launch->failure);
            if (launch->process)
                signalHost(launch->process, SIGTERM);
        });
        timer->start(m_timing.readyTimeoutMs);
    }

    m_waiting.push_back(launch);
    const std::optional<QUrl> url = co_await launch->gate;
    if (alive.expired())
        co_return std::nullopt;
    std::erase(m_waiting, launch);
    if (launch->readyTimer)
        launch->readyTimer->deleteLater();

    // The wait of a superseded launch ends late (often at its time-out): the newer
    // launch's phase stays as it is.
    if (generation != m_launchGeneration)
        co_return std::nullopt;
    if (url) {
        setPhase(Phase::running(*url));
        log(u"nbd 就绪："_s + url->toString());
        co_return url;
    }
    if (m_phase.kind != Phase::Kind::Failed) {
        m_failureCause = launch->failure;
        setPhase(Phase::failed(kLaunchFailedMessage));
    }
    co_return std::nullopt;
}

QString NBDProcessManager::failureDescription() const
{
    if (m_phase.kind != Phase::Kind::Failed)
        return {};
    return m_failureCause.isEmpty() ? m_phase.message : m_phase.message + u"，"_s + m_failureCause;
}

void NBDProcessManager::stop()
{
    QPointer<QProcess> process = m_process;
    if (!process) {
        setPhase(Phase::idle());
        return;
    }
    const std::shared_ptr<Launch> launch = std::exchange(m_launch, nullptr);
    setProcess(nullptr);
    // An exit caused by this stop is not an early exit and does not end a pending wait.
    if (launch)
        QObject::disconnect(launch->terminationHandler);

    const qint64 group = processGroup(process);
    if (process->state() != QProcess::NotRunning) {
        const qint64 pid = process->processId();
        signalHost(process, SIGTERM);
        m_stopping.append(process);
        connect(process, &QProcess::finished, process, &QObject::deleteLater);
        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, process, pid, group, timer] {
            timer->deleteLater();
            m_stopping.removeAll(process);
            m_stopping.removeAll(QPointer<QProcess>());
            const bool hostStayed = process && process->state() != QProcess::NotRunning;
            // What the host started goes too, also when the host itself has gone already.
            signalGroup(group, SIGKILL);
            ProcessGroupWatchdog::forget(group);
            if (hostStayed) {
                signalHost(process, SIGKILL);
                log(u"已强制结束 nbd（pid "_s + QString::number(pid) + u"）"_s);
            } else {
                log(u"nbd 已退出"_s);
            }
        });
        timer->start(m_timing.stopKillDelayMs);
    } else {
        process->deleteLater();
        // The host exited by itself earlier; what it started may still run in its group.
        if (signalGroup(group, SIGTERM)) {
            auto *timer = new QTimer(this);
            timer->setSingleShot(true);
            timer->setTimerType(Qt::PreciseTimer);
            connect(timer, &QTimer::timeout, this, [group, timer] {
                timer->deleteLater();
                signalGroup(group, SIGKILL);
                ProcessGroupWatchdog::forget(group);
            });
            timer->start(m_timing.stopKillDelayMs);
        } else {
            ProcessGroupWatchdog::forget(group);
        }
    }
    setPhase(Phase::idle());
}

bool NBDProcessManager::endGroupAndWait(QProcess *process)
{
    const qint64 group = processGroup(process);
    QDeadlineTimer grace(m_timing.stopKillDelayMs, Qt::PreciseTimer);
    bool killed = false;
    if (process->state() != QProcess::NotRunning) {
        signalHost(process, SIGTERM);
        if (!process->waitForFinished(int(std::max<qint64>(0, grace.remainingTime())))) {
            signalHost(process, SIGKILL);
            process->waitForFinished(-1);
            killed = true;
        }
    } else {
        signalGroup(group, SIGTERM);
    }
    // The rest of the group is no child of ours, so nothing can wait for it: it is looked at
    // every few milliseconds for what is left of the grace, then killed.
    while (!killed && groupExists(group) && !grace.hasExpired())
        ::usleep(10000);
    signalGroup(group, SIGKILL);
    ProcessGroupWatchdog::forget(group);
    return killed;
}

void NBDProcessManager::waitForStop(QProcess *process)
{
    process->disconnect(this);
    endGroupAndWait(process);
}

void NBDProcessManager::stopAndWait()
{
    QList<QPointer<QProcess>> processes = std::exchange(m_stopping, {});
    QPointer<QProcess> current = m_process;
    if (current) {
        if (m_launch)
            QObject::disconnect(m_launch->terminationHandler);
        m_launch.reset();
        setProcess(nullptr);
        processes.append(current);
    }
    for (const QPointer<QProcess> &process : processes) {
        if (!process)
            continue;
        const qint64 pid = process->processId();
        const bool wasRunning = process->state() != QProcess::NotRunning;
        const bool killed = endGroupAndWait(process);
        if (killed)
            log(u"已强制结束 nbd（pid "_s + QString::number(pid) + u"）"_s);
        else if (wasRunning)
            log(u"nbd 已退出"_s);
        process->disconnect(this);
        process->deleteLater();
    }
    setPhase(Phase::idle());
}

} // namespace nbd
