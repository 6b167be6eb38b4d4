// Finding a host that already runs: the preferred addresses and the listening sockets of
// likely host processes, each asked whether it is an nbd host once the kernel's socket tables
// show that only the user's own process listens there.
#include "Connection/NBDProcessManager.h"

#include "Base/WorkPool.h"
#include "Connection/CapturedCommand.h"
#include "Connection/LineBuffer.h"
#include "Domain/HostDescription.h"
#include "Wire/WireClient.h"
#include "Wire/WireSession.h"

#include <QCoroFuture>
#include <QFile>
#include <QNetworkInterface>
#include <QtEndian>
#include <QSet>
#include <QtConcurrent/QtConcurrentRun>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

struct NBDProcessManager::ListenerPass
{
    int remaining = 0;
    std::optional<QUrl> winner;
    CancelToken cancel; // cancels every probe still running
    OneShot<std::optional<QUrl>> done;
};

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
    for (const QString &line : LineBuffer::splitLines(lsofOutput)) {
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

namespace {

// Hexadecimal digits only: no sign, no "0x", no blanks.
std::optional<quint32> strictHex(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 8)
        return std::nullopt;
    quint32 value = 0;
    for (const char c : text) {
        quint32 digit = 0;
        if (c >= '0' && c <= '9')
            digit = quint32(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = quint32(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = quint32(c - 'A' + 10);
        else
            return std::nullopt;
        value = value << 4 | digit;
    }
    return value;
}

std::optional<uint> strictDecimal(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    quint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + quint64(c - '0');
    }
    if (value > std::numeric_limits<uint>::max())
        return std::nullopt;
    return uint(value);
}

QHostAddress withoutIPv4Mapping(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    if (std::all_of(bytes.c, bytes.c + 10, [](quint8 b) { return b == 0; }) && bytes.c[10] == 0xff && bytes.c[11] == 0xff)
        return QHostAddress(qFromBigEndian<quint32>(bytes.c + 12));
    return address;
}

// The kernel prints an address as 32-bit words in the machine's own byte order, each the
// word that holds four bytes of the address in network order.
std::optional<QHostAddress> tableAddress(QByteArrayView hex)
{
    if (hex.size() != 8 && hex.size() != 32)
        return std::nullopt;
    quint8 bytes[16] = {};
    for (qsizetype word = 0; word < hex.size() / 8; ++word) {
        const std::optional<quint32> value = strictHex(hex.sliced(word * 8, 8));
        if (!value)
            return std::nullopt;
        std::memcpy(bytes + word * 4, &*value, 4);
    }
    if (hex.size() == 8)
        return QHostAddress(qFromBigEndian<quint32>(bytes));
    // ::ffff:a.b.c.d is an IPv6 socket that takes IPv4 connections for a.b.c.d.
    return withoutIPv4Mapping(QHostAddress(bytes));
}

bool isWildcard(const QHostAddress &address)
{
    return address == QHostAddress(QHostAddress::AnyIPv4) || address == QHostAddress(QHostAddress::AnyIPv6);
}

// A dual-stack wildcard socket takes connections of both families; an IPv4 wildcard socket
// only IPv4 ones.
bool takesConnectionsFor(const QHostAddress &bound, const QHostAddress &target)
{
    if (bound == target || bound == QHostAddress(QHostAddress::AnyIPv6))
        return true;
    return bound == QHostAddress(QHostAddress::AnyIPv4) && target.protocol() == QAbstractSocket::IPv4Protocol;
}

bool isThisMachine(const QHostAddress &address)
{
    return address.isLoopback() || isWildcard(address) || QNetworkInterface::allAddresses().contains(address);
}

QList<NBDProcessManager::ListeningSocket> readListeningSockets()
{
    QList<QByteArray> tables;
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly))
            tables.append(file.readAll());
    }
    return NBDProcessManager::listeningSockets(tables);
}

} // namespace

QList<NBDProcessManager::ListeningSocket> NBDProcessManager::listeningSockets(const QList<QByteArray> &socketTables)
{
    constexpr quint32 kListen = 0x0A;
    QList<ListeningSocket> sockets;
    for (const QByteArray &table : socketTables) {
        // "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...";
        // the first line names the columns and fails the checks below.
        for (const QByteArray &line : table.split('\n')) {
            const QList<QByteArray> columns = line.simplified().split(' ');
            if (columns.size() < 8)
                continue;
            if (strictHex(columns.at(3)) != kListen)
                continue;
            const QByteArray &local = columns.at(1);
            const qsizetype colon = local.indexOf(':');
            if (colon < 0)
                continue;
            const std::optional<QHostAddress> address = tableAddress(QByteArrayView(local).first(colon));
            const QByteArrayView portText = QByteArrayView(local).sliced(colon + 1);
            // Port 0 is no port: it reads as a malformed line.
            const quint32 port = portText.size() == 4 ? strictHex(portText).value_or(0) : 0;
            const std::optional<uint> uid = strictDecimal(columns.at(7));
            if (!address || port == 0 || !uid)
                continue;
            sockets.append({*address, quint16(port), *uid});
        }
    }
    return sockets;
}

QList<QHostAddress> NBDProcessManager::connectableAddresses(const QString &host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    const QHostAddress literal(host);
    if (literal.isNull())
        return {};
    return {withoutIPv4Mapping(literal)};
}

NBDProcessManager::ListenerOwner NBDProcessManager::listenerOwner(const QList<ListeningSocket> &sockets,
                                                                  const QList<QHostAddress> &addresses, quint16 port,
                                                                  uint uid)
{
    ListenerOwner owner = ListenerOwner::None;
    for (const QHostAddress &address : addresses) {
        // Connecting to a wildcard address reaches whatever listens on the port.
        const QHostAddress target = withoutIPv4Mapping(address);
        for (const ListeningSocket &socket : sockets) {
            if (socket.port != port)
                continue;
            if (!isWildcard(target) && !takesConnectionsFor(socket.address, target))
                continue;
            if (socket.uid != uid)
                return ListenerOwner::Foreign;
            owner = ListenerOwner::Own;
        }
    }
    return owner;
}

NBDProcessManager::ListenerOwner NBDProcessManager::ownerAt(const QUrl &url, const QList<ListeningSocket> &sockets)
{
    const int port = url.port(url.scheme() == u"https"_s ? 443 : 80);
    const QList<QHostAddress> addresses = connectableAddresses(url.host());
    if (addresses.isEmpty()) {
        log(u"已跳过无法确认归属的地址："_s + url.toString());
        return ListenerOwner::Foreign;
    }
    const ListenerOwner owner = listenerOwner(sockets, addresses, quint16(port), uint(::getuid()));
    if (owner == ListenerOwner::Foreign)
        log(u"已跳过其他用户的监听："_s + url.toString());
    return owner;
}

bool NBDProcessManager::isOwnListener(const QUrl &url, const QList<ListeningSocket> &sockets)
{
    // Nothing listening is nothing to ask: a request there would reach nobody, or whoever
    // started listening since.
    return ownerAt(url, sockets) == ListenerOwner::Own;
}

QCoro::Task<bool> NBDProcessManager::reachesNoOtherUser(QUrl url, bool nobodyListening)
{
    const std::weak_ptr<const bool> alive = m_alive;
    // Names other than "localhost" are not resolved here (it would block); the addresses an
    // embedded connect falls back to are written as literals or "localhost".
    const QList<QHostAddress> addresses = connectableAddresses(url.host());
    if (std::none_of(addresses.begin(), addresses.end(), [](const QHostAddress &a) { return isThisMachine(a); }))
        co_return true;
    const QList<ListeningSocket> sockets = co_await QtConcurrent::run(workPool(), readListeningSockets);
    if (alive.expired())
        co_return false;
    const ListenerOwner owner = ownerAt(url, sockets);
    co_return owner == ListenerOwner::Own || (nobodyListening && owner == ListenerOwner::None);
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
        // Read again for each address: a probe can take seconds, and listeners come and go.
        const QList<ListeningSocket> sockets = co_await QtConcurrent::run(workPool(), readListeningSockets);
        if (alive.expired())
            co_return std::nullopt;
        if (!isOwnListener(url, sockets))
            continue;
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

    // Read on the pool: the tables of a busy machine run to megabytes.
    const QList<ListeningSocket> sockets = co_await QtConcurrent::run(workPool(), readListeningSockets);
    if (alive.expired())
        co_return std::nullopt;

    QList<QUrl> listeners;
    for (const QUrl &url : listenerURLs(output)) {
        const QString key = url.toString(QUrl::FullyEncoded);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        if (isOwnListener(url, sockets))
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
