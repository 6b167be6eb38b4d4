#include "Store/ConnectionSettings.h"

#include "Connection/ConnectionController.h"
#include "Connection/NBDProcessManager.h"
#include "Domain/Trimming.h"
#include "Store/SettingsFile.h"

#include <QDir>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

constexpr auto kServerURLKey = "nbd.serverURL";
constexpr auto kLaunchModeKey = "nbd.launchMode";
constexpr auto kExecutablePathKey = "nbd.executablePath";

QString settingsKey(const char *key) { return QString::fromLatin1(key); }

} // namespace

QString launchModeRawValue(LaunchMode mode)
{
    return mode == LaunchMode::External ? u"external"_s : u"embedded"_s;
}

std::optional<LaunchMode> launchModeFromRawValue(const QString &raw)
{
    if (raw == u"embedded")
        return LaunchMode::Embedded;
    if (raw == u"external")
        return LaunchMode::External;
    return std::nullopt;
}

QString launchModeLabel(LaunchMode mode)
{
    return mode == LaunchMode::External ? u"连接外部 NBD"_s : u"本地 NBD（优先附着）"_s;
}

namespace {

QCoro::Task<bool> reachesOnlyOwnProcess(QPointer<NBDProcessManager> process, QUrl url)
{
    if (!process)
        co_return false;
    // A host that has gone leaves nobody at its address: the attempt then fails as it would.
    co_return co_await process->reachesNoOtherUser(std::move(url), true);
}

} // namespace

ConnectionSettings::ConnectionSettings(std::weak_ptr<const bool> alive, SettingsFile *settings,
                                       ConnectionController *connection, NBDProcessManager *nbdProcess,
                                       QObject *parent)
    : QObject(parent)
    , m_alive(std::move(alive))
    , m_settings(settings)
    , m_connection(connection)
    , m_nbdProcess(nbdProcess)
{
    // Read straight into the fields: loading writes nothing back.
    m_serverURLString = settings->value(settingsKey(kServerURLKey), defaultServerURLString()).toString();
    m_launchMode =
        launchModeFromRawValue(settings->value(settingsKey(kLaunchModeKey)).toString()).value_or(LaunchMode::Embedded);
    m_nbdExecutablePath = settings->value(settingsKey(kExecutablePathKey), QString()).toString();

    QObject::connect(m_connection, &ConnectionController::phaseChanged, this,
                     &ConnectionSettings::followConnectionPhase);
    // Reconnecting to a host that is no more would end in a refusal that names nothing.
    QObject::connect(m_nbdProcess, &NBDProcessManager::hostExited, this, [this](const QString &message) {
        const NBDProcessManager::Phase process = m_nbdProcess->phase();
        if (process.kind == NBDProcessManager::Phase::Kind::Running && m_connection->baseURL() == process.url)
            m_connection->abandon(message);
    });
}

ConnectionSettings::~ConnectionSettings()
{
    if (m_connectionCancel)
        m_connectionCancel->cancel();
}

QString ConnectionSettings::defaultServerURLString() { return u"http://127.0.0.1:3080"_s; }

QString ConnectionSettings::invalidServerURLMessage() { return u"无效的服务器地址（可在设置中配置）"_s; }

void ConnectionSettings::setServerURLString(const QString &value)
{
    m_settings->setValue(settingsKey(kServerURLKey), value);
    if (m_serverURLString == value)
        return;
    m_serverURLString = value;
    Q_EMIT serverURLStringChanged();
}

void ConnectionSettings::setLaunchMode(LaunchMode value)
{
    m_settings->setValue(settingsKey(kLaunchModeKey), launchModeRawValue(value));
    if (m_launchMode == value)
        return;
    m_launchMode = value;
    Q_EMIT launchModeChanged();
}

void ConnectionSettings::setNbdExecutablePath(const QString &value)
{
    m_settings->setValue(settingsKey(kExecutablePathKey), value);
    if (m_nbdExecutablePath == value)
        return;
    m_nbdExecutablePath = value;
    Q_EMIT nbdExecutablePathChanged();
}

std::optional<WireClient> ConnectionSettings::wire() const { return m_connection->wire(); }

QCoro::Task<std::optional<QString>> ConnectionSettings::locateExecutable(QString explicitPath)
{
    return m_nbdProcess->locateExecutable(std::move(explicitPath));
}

bool ConnectionSettings::isSameConnection(const WireClient &startedOn, quint64 epoch) const
{
    const std::optional<WireClient> current = wire();
    return epoch == m_connectionEpoch && current && current->baseURL() == startedOn.baseURL();
}

std::optional<QUrl> ConnectionSettings::normalizedServerURL(const QString &text)
{
    QString candidate = text::trimWhitespaceAndNewlines(text).toString();
    if (candidate.isEmpty())
        return std::nullopt;
    if (!candidate.contains(u"://"))
        candidate.prepend(u"http://"_s);
    candidate = text::trimCharacters(candidate, u"/").toString();
    const QUrl url(candidate, QUrl::StrictMode);
    if (candidate.isEmpty() || !url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

QList<QUrl> ConnectionSettings::preferredURLs(const QString &serverURLString)
{
    QList<QUrl> urls;
    if (const std::optional<QUrl> configured = normalizedServerURL(serverURLString)) {
        const QString host = configured->host().toLower();
        if (host == u"localhost" || host == u"127.0.0.1" || host == u"::1")
            urls.append(*configured);
    }
    urls.append(QUrl(defaultServerURLString()));
    return urls;
}

void ConnectionSettings::connect()
{
    if (m_connectionCancel) {
        m_connectionCancel->cancel();
        m_connectionCancel.reset();
    }
    if (m_launchMode == LaunchMode::Embedded) {
        // Every attempt to a host found or launched on this machine, reconnects included, goes
        // only where the user's own process listens.
        m_connection->setAddressCheck([process = QPointer<NBDProcessManager>(m_nbdProcess)](QUrl url) {
            return reachesOnlyOwnProcess(process, std::move(url));
        });
        const CancelToken cancel;
        m_connectionCancel = cancel;
        connectEmbedded(cancel);
    } else {
        // The address the user typed is the host the user chose.
        m_connection->setAddressCheck({});
        connectExternal();
    }
}

QCoro::Task<void> ConnectionSettings::connectEmbedded(CancelToken cancel)
{
    QPointer<ConnectionSettings> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    try {
        m_connection->markConnecting();
        const QList<QUrl> preferred = preferredURLs(m_serverURLString);
        QCoro::Task<std::optional<QUrl>> lookup =
            m_hostLookup ? m_hostLookup(preferred, cancel) : m_nbdProcess->findRunningHost(preferred, cancel);
        const std::optional<QUrl> found = co_await std::move(lookup);
        if (alive.expired() || !self || cancel.isCancelled())
            co_return;
        if (found) {
            startConnection(*found);
            co_return;
        }
        const QString explicitPath = m_nbdExecutablePath;
        const std::optional<QUrl> launched = co_await m_nbdProcess->start(QDir::homePath(), explicitPath);
        if (alive.expired() || !self)
            co_return;
        if (cancel.isCancelled()) {
            // Superseded while launching: a host launched for this connect is not wanted, and
            // the fallback address must not replace the newer connect's own choice.
            if (launched)
                m_nbdProcess->stop();
            co_return;
        }
        if (launched) {
            // A host that ended right after its ready line is not connected to at all.
            if (const QString exited = m_nbdProcess->hostExitMessage(); !exited.isEmpty())
                m_connection->fail(exited);
            else
                startConnection(*launched);
            co_return;
        }
        const QString failure = m_nbdProcess->failureDescription();
        // In embedded mode the configured address is a fallback, not the user's choice of host:
        // on this machine it is taken only when the user's own process listens there.
        if (const std::optional<QUrl> fallback = normalizedServerURL(m_serverURLString)) {
            const bool mayConnect = co_await m_nbdProcess->reachesNoOtherUser(*fallback);
            if (alive.expired() || !self || cancel.isCancelled())
                co_return;
            if (!mayConnect) {
                m_connection->fail(failure);
                co_return;
            }
        }
        connectExternal(failure);
    } catch (...) {
        // The process manager reports its failures through its phase.
    }
}

void ConnectionSettings::connectExternal(const QString &launchFailure)
{
    const std::optional<QUrl> url = normalizedServerURL(m_serverURLString);
    if (!url) {
        m_connection->fail(invalidServerURLMessage());
        return;
    }
    startConnection(*url, launchFailure);
}

void ConnectionSettings::startConnection(const QUrl &url, const QString &launchFailure)
{
    ++m_connectionEpoch;
    Q_EMIT connectionStarting();
    m_connection->connectTo(url, launchFailure);
    Q_EMIT connectionStarted();
}

void ConnectionSettings::cancelConnecting()
{
    if (m_connectionCancel)
        m_connectionCancel->cancel();
    m_connectionCancel.reset();
}

void ConnectionSettings::closeConnection()
{
    ++m_connectionEpoch;
    m_connectionLost = false;
    m_connection->disconnect();
    if (m_launchMode == LaunchMode::Embedded)
        m_nbdProcess->stop();
}

void ConnectionSettings::followConnectionPhase()
{
    const ConnectionPhase::Kind kind = m_connection->phase().kind();
    if (kind == ConnectionPhase::Kind::Ready) {
        m_connectionReady = true;
        if (std::exchange(m_connectionLost, false))
            Q_EMIT connectionRestored();
        return;
    }
    const bool lost = kind == ConnectionPhase::Kind::Reconnecting || kind == ConnectionPhase::Kind::Failed;
    if (!std::exchange(m_connectionReady, false) || !lost)
        return;
    m_connectionLost = true;
    Q_EMIT connectionLost();
}

} // namespace nbd
