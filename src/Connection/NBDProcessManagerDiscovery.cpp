// Finding a host that already runs: the listening sockets of the user's processes, each
// asked whether it is an nbd host.
#include "Connection/NBDProcessManager.h"

#include "Connection/CapturedCommand.h"
#include "Connection/LineBuffer.h"
#include "Domain/HostDescription.h"
#include "Domain/WorkPool.h"
#include "Wire/WireClient.h"
#include "Wire/WireSession.h"

#include <QCoroFuture>
#include <QFile>
#include <QSet>
#include <QtConcurrent/QtConcurrentRun>

#include <unistd.h>

#include <algorithm>
#include <iterator>
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
    const std::set<int> ownPorts = co_await QtConcurrent::run(workPool(), readOwnPorts);
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
