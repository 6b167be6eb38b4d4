#pragma once

#include "Base/CancelToken.h"
#include "Connection/OneShot.h"

#include <QCoroTask>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

class QProcess;
class QTimer;

namespace nbd {

// The local `nbd` host as an operating-system process: finds the executable, launches it
// in web mode and learns its base address from its ready line, finds a host that is
// already running, keeps the last 300 lines of output and progress, and stops the host.
// Confined to the main thread. Its operations never throw: failures become the `failed`
// phase with a short Chinese message, the details go to the log.
class NBDProcessManager : public QObject
{
    Q_OBJECT
public:
    struct Phase
    {
        enum class Kind { Attached, Running, Failed, Idle, Probing, Locating, Starting };

        static Phase attached(QUrl url) { return {Kind::Attached, std::move(url), {}}; }
        static Phase running(QUrl url) { return {Kind::Running, std::move(url), {}}; }
        static Phase failed(QString message) { return {Kind::Failed, {}, std::move(message)}; }
        static Phase idle() { return {Kind::Idle, {}, {}}; }
        static Phase probing() { return {Kind::Probing, {}, {}}; }
        static Phase locating() { return {Kind::Locating, {}, {}}; }
        static Phase starting() { return {Kind::Starting, {}, {}}; }

        Kind kind = Kind::Idle;
        QUrl url;        // attached, running
        QString message; // failed

        bool operator==(const Phase &) const = default;
    };

    // Every delay and limit, in milliseconds; tests shorten them.
    struct Timing
    {
        int readyTimeoutMs = 45000;      // launch until the ready line
        int readyGraceMs = 100;          // quiet output until an unfinished line is read
        int stopKillDelayMs = 2000;      // SIGTERM until SIGKILL when stopping the host
        int lookupTimeoutMs = 10000;     // the login shell's `command -v nbd`
        int lsofTimeoutMs = 3000;        // listing the listening sockets
        int toolKillDelayMs = 2000;      // a tool's SIGTERM until its SIGKILL
        int probeRequestTimeoutMs = 1500;
        int probeResourceTimeoutMs = 2000;
    };

    static constexpr int kLogLimit = 300;

    explicit NBDProcessManager(QObject *parent = nullptr);
    // Stops a host still running (SIGTERM, up to 2 s, then SIGKILL) and kills tools still
    // running, so that no child outlives the manager.
    ~NBDProcessManager() override;

    Phase phase() const { return m_phase; }
    // While the phase is failed: its message, followed by what made the launch fail when the
    // log names it (the early exit, the launch error, the time-out). Empty otherwise.
    QString failureDescription() const;
    QStringList logLines() const { return m_logLines; }
    // Whether a launched host is held (from its launch until the next stop(), also after
    // it exited).
    bool hasProcess() const;
    // What hostExited() said of the launched host, until the next stop(); empty while it runs.
    QString hostExitMessage() const { return m_hostExitMessage; }

    // Stops a host launched earlier, looks up the executable and launches it with
    // "--profile web --port 0" in cwd; returns the base address from its ready line, or
    // nothing (the phase then says why; when no executable is found and a path is configured,
    // it names that path and what is wrong with it). A launch superseded by a newer start()
    // returns nothing and leaves the newer launch's phase alone.
    QCoro::Task<std::optional<QUrl>> start(QString cwd, QString explicitPath);
    // Asks the launched host to terminate and returns at once; a host still running after
    // the kill delay is killed.
    void stop();
    // For the application's quit path, where no event loop runs any more: SIGTERM, wait up
    // to the kill delay, then SIGKILL, for the launched host and every host still stopping.
    void stopAndWait();
    // The configured path (trimmed of spaces and tabs), else the login shell's
    // `command -v nbd`, else the fixed locations. Leaves the phase idle. Nothing when none
    // is found; never throws.
    QCoro::Task<std::optional<QString>> locateExecutable(QString explicitPath);
    // The path that a login shell's `command -v nbd` printed: the last non-empty line that
    // is an absolute path, trimmed; empty when there is none.
    static QString pathFromShellOutput(const QString &output);
    // The preferred addresses reduced to their base and probed one at a time, then the
    // listening ports of likely host processes probed all at once; the first host found.
    // An address is probed only while the listener there is the user's own: on a shared
    // machine another user's process would receive this user's prompts and credentials.
    // A cancelled token makes it return nothing with the phase idle.
    QCoro::Task<std::optional<QUrl>> findRunningHost(QList<QUrl> preferredURLs, CancelToken cancel = {});

    // Whether a connection to `url` reaches no other user's process: true for an address off
    // this machine (the user's own choice of a remote host); for an address of this machine,
    // only when the kernel's socket tables show a listener there and every one is the user's
    // own. A listener of another user is logged.
    // nobodyListening: the answer when nothing listens there (a request then reaches nobody).
    QCoro::Task<bool> reachesNoOtherUser(QUrl url, bool nobodyListening = false);

    // One loopback address per listening port of a likely host process in `lsof -nP -iTCP
    // -sTCP:LISTEN` output, in ascending port order.
    static QList<QUrl> listenerURLs(const QString &lsofOutput);
    // A listening TCP socket of the kernel's socket tables.
    struct ListeningSocket
    {
        QHostAddress address; // an IPv4-mapped IPv6 address as its IPv4 address
        quint16 port = 0;
        uint uid = 0;

        bool operator==(const ListeningSocket &) const = default;
    };
    // The listening sockets in the text of /proc/net/tcp and /proc/net/tcp6; lines that do not
    // read as one (the header, other states, garbage, truncated lines) are skipped.
    static QList<ListeningSocket> listeningSockets(const QList<QByteArray> &socketTables);
    // The addresses a connection to `host` may reach: an address literal, or both loopback
    // addresses for "localhost". Empty for any other name.
    static QList<QHostAddress> connectableAddresses(const QString &host);
    enum class ListenerOwner { None, Own, Foreign };
    Q_ENUM(ListenerOwner)
    // Who would take a connection to `port` on any of `addresses`: Own when at least one
    // socket would and every socket that might (bound to the address itself or to the
    // wildcard address) belongs to `uid`; Foreign when one belongs to another user; None when
    // no socket listens there.
    static ListenerOwner listenerOwner(const QList<ListeningSocket> &sockets, const QList<QHostAddress> &addresses,
                                       quint16 port, uint uid);

    // Platform choices, replaceable for tests.
    void setTiming(const Timing &timing) { m_timing = timing; }
    Timing timing() const { return m_timing; }
    void setLoginShell(const QString &path) { m_loginShell = path; }
    QString loginShell() const { return m_loginShell; }
    void setFixedLocations(const QStringList &paths) { m_fixedLocations = paths; }
    QStringList fixedLocations() const { return m_fixedLocations; }
    void setLsofPath(const QString &path) { m_lsofPath = path; }
    QString lsofPath() const { return m_lsofPath; }

    // /bin/zsh when present, else the user's login shell when it is a known Bourne-like
    // shell or fish, else /bin/sh.
    static QString defaultLoginShell();
    // /usr/local/bin/nbd, /opt/homebrew/bin/nbd, then ~/.local/bin/nbd.
    static QStringList defaultFixedLocations();
    // The first of /usr/sbin/lsof, /usr/bin/lsof and lsof on PATH; empty when none.
    static QString defaultLsofPath();

Q_SIGNALS:
    void phaseChanged();
    void logLinesChanged();
    void processChanged();
    // The launched host ended by itself after its ready line: "内置 NBD 已退出（" and its exit
    // status or signal, "）". Not emitted for a host that stop() ended.
    void hostExited(const QString &message);

private:
    struct Launch;
    struct ListenerPass;

    void setPhase(const Phase &phase);
    // launchGeneration: the launch it looks up for; its phase changes are dropped once a
    // newer launch has begun. None for a lookup of its own.
    QCoro::Task<std::optional<QString>> lookUpExecutable(QString explicitPath, std::optional<quint64> launchGeneration);
    void setProcess(QProcess *process);
    void log(const QString &line);
    void appendLog(const QString &line);
    void handleOutput(const std::shared_ptr<Launch> &launch, bool isStandardError, bool atEnd);
    void handleLines(const std::shared_ptr<Launch> &launch, bool isStandardError, const QStringList &lines);
    void handleTermination(const std::shared_ptr<Launch> &launch);
    void settleGate(const std::shared_ptr<Launch> &launch, std::optional<QUrl> url);
    void waitForStop(QProcess *process);
    // SIGTERM to the host's process group, up to the kill delay for the group to end, then
    // SIGKILL to what is left; true when the host itself had to be killed.
    bool endGroupAndWait(QProcess *process);

    static std::optional<QUrl> parseURL(const QString &trimmedLine);
    static std::optional<QUrl> normalizedBaseURL(const QUrl &url);
    QCoro::Task<bool> isNBDHost(QUrl baseURL, CancelToken cancel);
    // Whether discovery may send anything to `url`: only a listener of the user's own takes
    // it. A listener of another user is logged.
    bool isOwnListener(const QUrl &url, const QList<ListeningSocket> &sockets);
    ListenerOwner ownerAt(const QUrl &url, const QList<ListeningSocket> &sockets);
    QCoro::Task<std::optional<QUrl>> listenerPass(QList<QUrl> urls, CancelToken cancel);
    QCoro::Task<void> probeListener(std::shared_ptr<ListenerPass> pass, QUrl url);

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    Phase m_phase;
    QStringList m_logLines;
    QPointer<QProcess> m_process;
    std::shared_ptr<Launch> m_launch;                 // the launch that m_process belongs to
    std::vector<std::shared_ptr<Launch>> m_waiting;   // launches whose start() still waits
    QList<QPointer<QProcess>> m_stopping;             // hosts asked to terminate, not yet gone
    quint64 m_launchGeneration = 0;
    QString m_failureCause; // of the failed phase, when a launch set it
    QString m_hostExitMessage;

    Timing m_timing;
    QString m_loginShell;
    QStringList m_fixedLocations;
    QString m_lsofPath;
};

} // namespace nbd
