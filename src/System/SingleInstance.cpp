#include "System/SingleInstance.h"

#include "Domain/ProtocolNames.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <algorithm>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr auto startupIdKey = "desktop-startup-id";
constexpr auto activationTokenKey = "activation-token";
// A request on the socket is a few short lines; more than this is not one of ours.
constexpr qint64 maxRequestBytes = 4096;
constexpr int maxTokenLength = 512;

QVariantMap platformData(const ActivationToken &token)
{
    QVariantMap data;
    if (!token.startupId.isEmpty())
        data.insert(QString::fromLatin1(startupIdKey), token.startupId);
    if (!token.activationToken.isEmpty())
        data.insert(QString::fromLatin1(activationTokenKey), token.activationToken);
    return data;
}

ActivationToken tokenFromPlatformData(const QVariantMap &data)
{
    ActivationToken token;
    token.startupId = ActivationToken::sanitized(data.value(QString::fromLatin1(startupIdKey)).toString());
    token.activationToken = ActivationToken::sanitized(data.value(QString::fromLatin1(activationTokenKey)).toString());
    return token;
}

// "key=value" lines closed by an empty line; the socket's whole request.
QByteArray socketRequest(const ActivationToken &token)
{
    QByteArray request;
    const QVariantMap data = platformData(token);
    for (auto it = data.cbegin(); it != data.cend(); ++it)
        request += it.key().toLatin1() + '=' + it.value().toString().toLatin1() + '\n';
    return request + '\n';
}

// What is left of the launch's wait, for one blocking step; at least 1 ms, since 0 would not
// wait at all where a step is already done.
int remainingMs(const QDeadlineTimer &deadline)
{
    return int(std::clamp<qint64>(deadline.remainingTime(), 1, std::numeric_limits<int>::max()));
}

std::optional<ActivationToken> parseSocketRequest(const QByteArray &buffer)
{
    const qsizetype end = buffer.startsWith('\n') ? 0 : buffer.indexOf("\n\n");
    if (end < 0)
        return std::nullopt;
    QVariantMap data;
    for (const QByteArray &line : buffer.left(end).split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            data.insert(QString::fromLatin1(line.left(equals)), QString::fromLatin1(line.mid(equals + 1)));
    }
    return tokenFromPlatformData(data);
}

} // namespace

ActivationToken ActivationToken::fromEnvironment()
{
    ActivationToken token;
    token.startupId = sanitized(qEnvironmentVariable("DESKTOP_STARTUP_ID"));
    token.activationToken = sanitized(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"));
    return token;
}

QString ActivationToken::sanitized(const QString &value)
{
    if (value.size() > maxTokenLength)
        return {};
    for (const QChar c : value) {
        if (c.unicode() < 0x21 && c != u' ')
            return {};
        if (c.unicode() > 0x7e)
            return {};
    }
    return value;
}

// org.freedesktop.Application as the first instance serves it on the bus.
class ApplicationAdaptor : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(SingleInstance *owner)
        : QObject(owner)
        , m_owner(owner)
    {
    }

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(const QVariantMap &platformData)
    {
        Q_EMIT m_owner->activationRequested(tokenFromPlatformData(platformData));
    }

private:
    SingleInstance *m_owner;
};

QString SingleInstance::serviceName() { return names::applicationIdentifier.toString(); }

QString SingleInstance::objectPath()
{
    return u'/' + names::applicationIdentifier.toString().replace(u'.', u'/');
}

SingleInstance::SingleInstance(QDBusConnection bus, QString runtimeDirectory, QObject *parent, int answerTimeoutMs)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_runtimeDirectory(std::move(runtimeDirectory))
    , m_answerTimeoutMs(answerTimeoutMs)
{
}

SingleInstance::~SingleInstance()
{
    if (m_primary && m_bus.isConnected() && !m_server)
        m_bus.unregisterService(serviceName());
    if (m_objectRegistered)
        m_bus.unregisterObject(objectPath());
    // Closing the server removes its socket file, so the next launch starts fresh.
    if (m_server)
        m_server->close();
}

QString SingleInstance::socketPath() const
{
    if (m_runtimeDirectory.isEmpty())
        return {};
    return QDir(m_runtimeDirectory).filePath(serviceName());
}

SingleInstance::Outcome SingleInstance::claimOrHandOver(const ActivationToken &token)
{
    // One bound for every wait below together, however many steps the hand-over takes.
    const QDeadlineTimer deadline(m_answerTimeoutMs, Qt::PreciseTimer);
    if (!m_bus.isConnected())
        return claimOrHandOverOnSocket(token, deadline);
    // The owner may quit between our look and our call: then the name is free for us.
    for (int round = 0; round < 2; ++round) {
        switch (claimOnBus()) {
        case Attempt::Claimed:
            return Outcome::Primary;
        case Attempt::Failed:
            // The bus would not say: run rather than refuse to start.
            return Outcome::Primary;
        case Attempt::Taken:
            if (handOverOnBus(token, deadline))
                return Outcome::HandedOver;
            if (deadline.hasExpired())
                return Outcome::HandOverFailed;
            if (m_bus.interface()->isServiceRegistered(serviceName()).value())
                return Outcome::HandOverFailed;
            break;
        }
    }
    return Outcome::HandOverFailed;
}

SingleInstance::Attempt SingleInstance::claimOnBus()
{
    // The object is in place before the name is visible, so a launch that finds the name can
    // call it at once.
    if (!m_objectRegistered) {
        auto *adaptor = new ApplicationAdaptor(this);
        m_objectRegistered = m_bus.registerObject(objectPath(), adaptor, QDBusConnection::ExportScriptableSlots);
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = m_bus.interface()->registerService(
        serviceName(), QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        m_lastError = reply.error().message();
        return Attempt::Failed;
    }
    if (reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_primary = true;
        return Attempt::Claimed;
    }
    return Attempt::Taken;
}

bool SingleInstance::handOverOnBus(const ActivationToken &token, const QDeadlineTimer &deadline)
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName(), objectPath(),
                                                       u"org.freedesktop.Application"_s, u"Activate"_s);
    call.setArguments({platformData(token)});
    const QDBusMessage answer = m_bus.call(call, QDBus::Block, remainingMs(deadline));
    if (answer.type() == QDBusMessage::ReplyMessage)
        return true;
    m_lastError = answer.errorMessage();
    return false;
}

SingleInstance::Outcome SingleInstance::claimOrHandOverOnSocket(const ActivationToken &token,
                                                                const QDeadlineTimer &deadline)
{
    const QString path = socketPath();
    if (path.isEmpty())
        return Outcome::Primary; // nowhere to meet another instance
    // Two launches at once must not both find the socket missing and both listen.
    QLockFile lock(path + u".lock"_s);
    if (!lock.tryLock(remainingMs(deadline))) {
        m_lastError = u"the instance lock file %1 stays taken"_s.arg(lock.fileName());
        return Outcome::HandOverFailed;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (socket.waitForConnected(remainingMs(deadline)))
        return handOverOnSocket(socket, token, deadline) ? Outcome::HandedOver : Outcome::HandOverFailed;
    // A socket file nobody listens on is left from an instance that died.
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        m_lastError = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return Outcome::Primary;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            serve(socket);
    });
    m_primary = true;
    return Outcome::Primary;
}

bool SingleInstance::handOverOnSocket(QLocalSocket &socket, const ActivationToken &token,
                                      const QDeadlineTimer &deadline)
{
    socket.write(socketRequest(token));
    if (socket.bytesToWrite() > 0 && !socket.waitForBytesWritten(remainingMs(deadline))) {
        m_lastError = socket.errorString();
        return false;
    }
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < 16) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(remainingMs(deadline))) {
            m_lastError = u"the running instance did not answer"_s;
            return false;
        }
        answer += socket.readAll();
    }
    return answer.startsWith("ok\n");
}

void SingleInstance::serve(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
        if (buffer.size() > maxRequestBytes) {
            socket->abort();
            return;
        }
        const std::optional<ActivationToken> token = parseSocketRequest(buffer);
        if (!token) {
            socket->setProperty("request", buffer);
            return;
        }
        socket->write("ok\n");
        socket->disconnectFromServer();
        Q_EMIT activationRequested(*token);
    });
}

} // namespace nbd

#include "SingleInstance.moc"
