#pragma once

#include "Base/CancelToken.h"
#include "Wire/WireClient.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>


namespace nbd {

class SettingsFile;

class ConnectionController;
class NBDProcessManager;

// Whether the client attaches to (or launches) a local host, or only connects to the
// configured address.
enum class LaunchMode { Embedded, External };

QString launchModeRawValue(LaunchMode mode);
// Exactly "embedded" or "external", case-sensitive.
std::optional<LaunchMode> launchModeFromRawValue(const QString &raw);
QString launchModeLabel(LaunchMode mode);
inline constexpr LaunchMode allLaunchModes[] = {LaunchMode::Embedded, LaunchMode::External};

// Where and how the client reaches its host: the saved configuration, the connect flow
// (attach, launch or connect to the configured address) and which connection is current.
class ConnectionSettings : public QObject
{
    Q_OBJECT
public:
    // alive: the store's token, expired once the store goes; settings: where the
    // configuration is kept.
    ConnectionSettings(std::weak_ptr<const bool> alive, SettingsFile *settings, ConnectionController *connection,
                       NBDProcessManager *nbdProcess, QObject *parent = nullptr);
    ~ConnectionSettings() override;

    static QString defaultServerURLString();
    // The configured address made a URL: trimmed, "http://" added when it has no scheme,
    // "/" removed from both ends. Nothing when it is empty or does not parse.
    static std::optional<QUrl> normalizedServerURL(const QString &text);
    // The addresses an embedded connect probes first: the configured one when it names a
    // loopback host, then the default address.
    static QList<QUrl> preferredURLs(const QString &serverURLString);
    static QString invalidServerURLMessage();

    // How an embedded connect looks for a host that is already running: the process
    // manager's search unless replaced (tests confine it to their own simulated host).
    using HostLookup = std::function<QCoro::Task<std::optional<QUrl>>(QList<QUrl> preferredURLs, CancelToken cancel)>;
    void setHostLookup(HostLookup lookup) { m_hostLookup = std::move(lookup); }

    // Configuration; each assignment is saved at once, also when the value is unchanged.
    const QString &serverURLString() const { return m_serverURLString; }
    void setServerURLString(const QString &value);
    LaunchMode launchMode() const { return m_launchMode; }
    void setLaunchMode(LaunchMode value);
    const QString &nbdExecutablePath() const { return m_nbdExecutablePath; }
    void setNbdExecutablePath(const QString &value);

    // Starts a connect by the launch mode; a connect still looking for its host is dropped.
    void connect();
    // Drops the connect still looking for its host.
    void cancelConnecting();
    // Closes the connection, and stops the host an embedded connect launched.
    void closeConnection();

    std::optional<WireClient> wire() const;
    // Where the host executable would be found: the explicit path when it is one, else a
    // search of the usual places. Empty when none is found; it never throws.
    QCoro::Task<std::optional<QString>> locateExecutable(QString explicitPath);
    // Bumped by every connection started and by every close: work started on an earlier
    // connection recognises itself as stale.
    quint64 epoch() const { return m_connectionEpoch; }
    bool isSameConnection(const WireClient &startedOn, quint64 epoch) const;

Q_SIGNALS:
    void serverURLStringChanged();
    void launchModeChanged();
    void nbdExecutablePathChanged();
    // A connection is about to be opened: emitted before the controller is told, so that
    // the lists are awaited before its first phase change is heard.
    void connectionStarting();
    // The controller has been told to connect: the lists may be read.
    void connectionStarted();
    // A connection that was ready failed.
    void connectionLost();
    // Ready again after connectionLost.
    void connectionRestored();

private:
    QCoro::Task<void> connectEmbedded(CancelToken cancel);
    // launchFailure: why an embedded connect falls back to the configured address.
    void connectExternal(const QString &launchFailure = {});
    void startConnection(const QUrl &url, const QString &launchFailure = {});
    void followConnectionPhase();

    std::weak_ptr<const bool> m_alive;
    SettingsFile *m_settings = nullptr;
    ConnectionController *m_connection = nullptr;
    NBDProcessManager *m_nbdProcess = nullptr;
    HostLookup m_hostLookup;

    QString m_serverURLString;
    LaunchMode m_launchMode = LaunchMode::Embedded;
    QString m_nbdExecutablePath;

    // The connect flow, cancelled before it is replaced.
    std::optional<CancelToken> m_connectionCancel;
    quint64 m_connectionEpoch = 0;
    bool m_connectionReady = false; // the connection's phase was ready when it last changed
    bool m_connectionLost = false;  // a ready connection failed and has not been ready since
};

} // namespace nbd
