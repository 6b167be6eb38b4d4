#include "Connection/NBDProcessManager.h"

#include "Domain/HostDescription.h"
#include "Domain/Trimming.h"
#include "Connection/CapturedCommand.h"
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

// A host that never ends a line must not grow the carried text without bound.
constexpr qsizetype kMaxCarriedLine = 64 * 1024;

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

bool isNewline(QChar c)
{
    switch (c.unicode()) {
    case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x85: case 0x2028: case 0x2029: return true;
    default: return false;
    }
}

// Splits at every newline character (CR LF counts once), keeping empty pieces. A text that
// ends with a newline has no piece after it.
QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype begin = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isNewline(text[i]))
            continue;
        lines.append(text.mid(begin, i - begin));
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        begin = i + 1;
    }
    if (begin < text.size())
        lines.append(text.mid(begin));
    return lines;
}

// The length of the part of bytes that ends with its last newline (0 when there is none).
// Working on bytes keeps a multi-byte character split between two reads intact.
qsizetype completeLength(const QByteArray &bytes)
{
    for (qsizetype i = bytes.size() - 1; i >= 0; --i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x0A && b <= 0x0D)
            return i + 1;
        if (b == 0x85 && i >= 1 && static_cast<unsigned char>(bytes[i - 1]) == 0xC2)
            return i + 1;
        if ((b == 0xA8 || b == 0xA9) && i >= 2 && static_cast<unsigned char>(bytes[i - 1]) == 0x80
            && static_cast<unsigned char>(bytes[i - 2]) == 0xE2)
            return i + 1;
    }
    return 0;
}

QString trimSpacesAndTabs(const QString &text) { return text::trimCharacters(text, u" \t").toString(); }

} // namespace

// The output of one stream of the host, cut into whole lines. The unfinished end of a read
// is carried over to the next one, so that a line the host wrote in two pieces (or a pipe
// read that splits it) still counts as one line.
struct LineBuffer
{
    QByteArray carried;

    QStringList take(const QByteArray &chunk, bool atEnd)
    {
        carried += chunk;
        qsizetype length = completeLength(carried);
        if (atEnd || (length == 0 && carried.size() > kMaxCarriedLine))
            length = carried.size();
        if (length == 0)
            return {};
        const QString text = QString::fromUtf8(carried.constData(), length);
        carried.remove(0, length);
        return splitLines(text);
    }

    // The held unfinished line, up to its last whole character (a multi-byte character
    // cut by the read is left out). It stays held: the rest of the line may still come.
    QString heldLine() const
    {
        qsizetype length = carried.size();
        // Step back over an unfinished UTF-8 sequence at the end.
        qsizetype lead = length - 1;
        while (lead >= 0 && lead > length - 4 && (static_cast<unsigned char>(carried[lead]) & 0xC0) == 0x80)
            --lead;
        if (lead >= 0) {
            const auto b = static_cast<unsigned char>(carried[lead]);
            const qsizetype need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (lead + need > length)
                length = lead;
        }
        return QString::fromUtf8(carried.constData(), length);
    }
};

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
};

struct NBDProcessManager::ListenerPass
{
    int remaining = 0;
    std::optional<QUrl> winner;
    CancelToken cancel; // cancels every probe still running
    OneShot<std::optional<QUrl>> done;
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
    if (m_process == process)
        return;
    m_process = process;
    Q_EMIT processChanged();
}

void NBDProcessManager::log(const QString &line)
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
    const QStringList lines = splitLines(output);
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
    if (!launch->gate.settle(std::move(url)))
        return;
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
                log(u"[stderr] "_s + line);
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
        setPhase(Phase::failed(kNotFoundMessage));
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
    // No host outlives the client, also when the client is killed or crashes: the kernel
    // sends the host SIGTERM when the thread that launched it ends. A client that died before
    // the child got here has already handed it to another parent.
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
            });
            timer->start(m_timing.stopKillDelayMs);
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

// ---- Running-host discovery -------------------------------------------------------------

std::optional<QUrl> NBDProcessManager::normalizedBaseURL(const QUrl &url)
{
    if (!url.isValid())
        return std::nullopt;
    if (url.scheme() != u"http"_s && url.scheme() != u"https"_s)
        return std::nullopt;
    if (url.host().isEmpty())
        return std::nullopt;
    const QUrl base = url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (!base.isValid())
        return std::nullopt;
    return base;
}

QList<QUrl> NBDProcessManager::listenerURLs(const QString &lsofOutput)
{
    static const QStringList hostCommands = {u"node"_s, u"nbd"_s, u"bun"_s, u"deno"_s};
    std::set<int> ports;
    for (const QString &line : splitLines(lsofOutput)) {
        QStringList columns;
        QString column;
        for (const QChar c : line) {
            if (c.isSpace()) {
                if (!column.isEmpty())
                    columns.append(std::exchange(column, {}));
            } else {
                column.append(c);
            }
        }
        if (!column.isEmpty())
            columns.append(column);
        if (columns.isEmpty())
            continue;

        const QString command = columns.first().toLower();
        if (std::none_of(hostCommands.begin(), hostCommands.end(),
                         [&command](const QString &prefix) { return command.startsWith(prefix); }))
            continue;
        const qsizetype tcp = columns.indexOf(u"TCP"_s);
        if (tcp < 0 || tcp + 1 >= columns.size())
            continue;
        const QString &address = columns.at(tcp + 1);
        const qsizetype colon = address.lastIndexOf(u':');
        if (colon < 0)
            continue;
        const QString portText = address.mid(colon + 1);
        // A decimal number with an optional sign, nothing else.
        const QStringView digits = portText.startsWith(u'+') || portText.startsWith(u'-') ? QStringView(portText).mid(1)
                                                                                         : QStringView(portText);
        if (digits.isEmpty() || std::any_of(digits.begin(), digits.end(), [](QChar c) { return c < u'0' || c > u'9'; }))
            continue;
        bool ok = false;
        const qlonglong port = portText.toLongLong(&ok, 10);
        if (!ok || port < 1 || port > 65535)
            continue;
        ports.insert(int(port));
    }
    QList<QUrl> urls;
    for (const int port : ports) {
        const QUrl url(u"http://127.0.0.1:"_s + QString::number(port), QUrl::StrictMode);
        if (url.isValid())
            urls.append(url);
    }
    return urls;
}

std::set<int> NBDProcessManager::listeningPortsOwnedBy(const QList<QByteArray> &socketTables, uint uid)
{
    constexpr int kListen = 0x0A;
    std::set<int> own;
    std::set<int> foreign;
    for (const QByteArray &table : socketTables) {
        // "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...";
        // the first line names the columns and fails the checks below.
        for (const QByteArray &line : table.split('\n')) {
            const QList<QByteArray> columns = line.simplified().split(' ');
            if (columns.size() < 8)
                continue;
            bool ok = false;
            if (columns.at(3).toInt(&ok, 16) != kListen || !ok)
                continue;
            const QByteArray &local = columns.at(1);
            const qsizetype colon = local.lastIndexOf(':');
            if (colon < 0)
                continue;
            const int port = local.mid(colon + 1).toInt(&ok, 16);
            if (!ok || port < 1 || port > 65535)
                continue;
            const qulonglong owner = columns.at(7).toULongLong(&ok, 10);
            if (!ok)
                continue;
            (owner == uid ? own : foreign).insert(port);
        }
    }
    std::set<int> ports;
    std::set_difference(own.begin(), own.end(), foreign.begin(), foreign.end(), std::inserter(ports, ports.end()));
    return ports;
}

QCoro::Task<bool> NBDProcessManager::isNBDHost(QUrl baseURL, CancelToken cancel)
{
    // Each probe has a session of its own, so probes share no connection with each other
    // or with the live connection. It is a child of the manager: if the manager goes away
    // the session aborts the call, and the probe ends without touching the manager.
    QPointer<WireSession> session = new WireSession(this);
    session->setRequestTimeout(m_timing.probeRequestTimeoutMs);
    session->setResourceTimeout(m_timing.probeResourceTimeoutMs);
    const WireClient client(baseURL, session);
    const JSONValue payload = JSONValue::emptyObject();
    bool isHost = false;
    try {
        const HostDescription description = co_await client.call<HostDescription>(u"host.describe"_s, payload, cancel);
        isHost = !description.version.isEmpty() && !description.cwd.isEmpty();
    } catch (...) {
        isHost = false;
    }
    if (session)
        session->deleteLater();
    co_return isHost;
}

QCoro::Task<void> NBDProcessManager::probeListener(std::shared_ptr<ListenerPass> pass, QUrl url)
{
    bool isHost = false;
    try {
        isHost = co_await isNBDHost(url, pass->cancel);
    } catch (...) {
        isHost = false;
    }
    if (isHost && !pass->winner) {
        pass->winner = url;
        pass->cancel.cancel();
    }
    if (--pass->remaining == 0)
        pass->done.resolve(pass->winner);
}

QCoro::Task<std::optional<QUrl>> NBDProcessManager::listenerPass(QList<QUrl> urls, CancelToken cancel)
{
    if (urls.isEmpty())
        co_return std::nullopt;
    auto pass = std::make_shared<ListenerPass>();
    pass->remaining = int(urls.size());
    const CancelToken passCancel = pass->cancel;
    if (cancel.isCancelled())
        passCancel.cancel();
    const QMetaObject::Connection relay =
        connect(cancel.notifier(), &CancelState::cancelRequested, passCancel.notifier(), [passCancel] { passCancel.cancel(); });
    // Every probe is started before any result is awaited.
    for (const QUrl &url : std::as_const(urls))
        probeListener(pass, url);
    // Ends when every probe has ended, the losers cancelled once a host answered.
    const std::optional<QUrl> winner = co_await pass->done;
    QObject::disconnect(relay);
    co_return winner;
}

QCoro::Task<std::optional<QUrl>> NBDProcessManager::findRunningHost(QList<QUrl> preferredURLs, CancelToken cancel)
{
    const std::weak_ptr<const bool> alive = m_alive;
    setPhase(Phase::probing());
    QSet<QString> seen;

    QList<QUrl> preferred;
    for (const QUrl &url : std::as_const(preferredURLs)) {
        const std::optional<QUrl> base = normalizedBaseURL(url);
        if (!base)
            continue;
        const QString key = base->toString(QUrl::FullyEncoded);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        preferred.append(*base);
    }

    for (const QUrl &url : std::as_const(preferred)) {
        const bool isHost = co_await isNBDHost(url, cancel);
        if (alive.expired())
            co_return std::nullopt;
        if (!isHost)
            continue;
        if (cancel.isCancelled()) {
            setPhase(Phase::idle());
            co_return std::nullopt;
        }
        setPhase(Phase::attached(url));
        log(u"已附着运行中的 NBD："_s + url.toString());
        co_return url;
    }
    if (cancel.isCancelled()) {
        setPhase(Phase::idle());
        co_return std::nullopt;
    }

    const QString lsof = m_lsofPath;
    const QStringList lsofArguments = {u"-nP"_s, u"-iTCP"_s, u"-sTCP:LISTEN"_s};
    const QString output =
        co_await CapturedCommand::run(lsof, lsofArguments, m_timing.lsofTimeoutMs, this, m_timing.toolKillDelayMs);
    if (alive.expired())
        co_return std::nullopt;

    // On a shared machine a process of another user can listen too, and would then receive
    // this user's prompts and credentials: only the user's own listeners are probed.
    // Read on the pool: the tables of a busy machine run to megabytes.
    const auto readOwnPorts = [] {
        QList<QByteArray> tables;
        for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            QFile file(QString::fromLatin1(path));
            if (file.open(QIODevice::ReadOnly))
                tables.append(file.readAll());
        }
        return listeningPortsOwnedBy(tables, uint(::geteuid()));
    };
    const std::set<int> ownPorts = co_await QtConcurrent::run(readOwnPorts);
    if (alive.expired())
        co_return std::nullopt;

    QList<QUrl> listeners;
    for (const QUrl &url : listenerURLs(output)) {
        if (!ownPorts.contains(url.port()))
            continue;
        const QString key = url.toString(QUrl::FullyEncoded);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        listeners.append(url);
    }

    const std::optional<QUrl> found = co_await listenerPass(listeners, cancel);
    if (alive.expired())
        co_return std::nullopt;
    if (!found) {
        setPhase(Phase::idle());
        log(u"未发现可附着的 NBD Host"_s);
        co_return std::nullopt;
    }
    if (cancel.isCancelled()) {
        setPhase(Phase::idle());
        co_return std::nullopt;
    }
    setPhase(Phase::attached(*found));
    log(u"已发现并附着运行中的 NBD："_s + found->toString());
    co_return found;
}

} // namespace nbd
