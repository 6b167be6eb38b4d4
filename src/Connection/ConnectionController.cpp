#include "Connection/ConnectionController.h"

#include "Base/LogCategories.h"
#include "Domain/ProtocolNames.h"
#include "Wire/WireErrors.h"
#include "Wire/WireSession.h"

#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QString ConnectionPhase::label() const
{
    switch (m_kind) {
    case Kind::Disconnected: return u"未连接"_s;
    case Kind::Connecting: return u"连接中…"_s;
    case Kind::Ready: return names::connectedLabel.toString();
    case Kind::Reconnecting: return u"重连中…"_s;
    case Kind::Failed: return u"连接失败："_s + m_message;
    }
    return {};
}

ConnectionController::ConnectionController(QObject *parent) : QObject(parent), m_session(new WireSession(this)) {}

ConnectionController::~ConnectionController()
{
    m_alive.reset();
    for (EventStream *stream : {m_mux.data(), m_host.data()}) {
        if (stream) {
            stream->QObject::disconnect(this);
            stream->cancel();
        }
    }
    // A pending "host.describe" is aborted here, while every member still lives, rather
    // than when the session (a child) goes after them: the attempt resumes at once, sees
    // the controller going and ends without a phase.
    m_session->invalidate();
    m_shouldStayConnected = false;
}

QUrl ConnectionController::streamURL(const QUrl &baseURL, QStringView path)
{
    QUrl url = baseURL;
    if (url.scheme() == u"http"_s)
        url.setScheme(u"ws"_s);
    else if (url.scheme() == u"https"_s)
        url.setScheme(u"wss"_s);
    // A base ending in "/" must not give "//api/…", which the host does not serve: the
    // controller would reconnect to it forever.
    return appendingPath(url, path.toString());
}

QString ConnectionController::refusedAddressMessage(const QUrl &url)
{
    return u"其他用户的进程正在此地址监听，未连接："_s + url.toString();
}

void ConnectionController::setPhase(const ConnectionPhase &phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    qCInfo(lcConnection).noquote() << "phase:" << phase.label() << phase.message().left(300);
    Q_EMIT phaseChanged();
}

void ConnectionController::setHostDescription(std::optional<HostDescription> description)
{
    if (m_hostDescription == description)
        return;
    m_hostDescription = std::move(description);
    Q_EMIT hostDescriptionChanged();
}

void ConnectionController::setWire(std::optional<WireClient> wire)
{
    // Always announced: a new client for the same address is still a new client.
    m_wire = std::move(wire);
    Q_EMIT wireChanged();
}

void ConnectionController::setCurrentURL(std::optional<QUrl> url)
{
    if (m_currentURL == url)
        return;
    m_currentURL = std::move(url);
    Q_EMIT baseURLChanged();
}

void ConnectionController::connectTo(QUrl url, QString launchFailure)
{
    m_launchFailure = std::move(launchFailure);
    setCurrentURL(std::move(url));
    m_shouldStayConnected = true;
    // A reconnect still pending belongs to the connection this one replaces.
    cancelReconnects();
    startConnection();
}

void ConnectionController::markConnecting() { setPhase(ConnectionPhase::connecting()); }

void ConnectionController::fail(QString message) { setPhase(ConnectionPhase::failed(std::move(message))); }

void ConnectionController::abandon(QString message)
{
    m_shouldStayConnected = false;
    cancelReconnects();
    cancelStream(m_mux);
    cancelStream(m_host);
    setPhase(ConnectionPhase::failed(std::move(message)));
}

void ConnectionController::disconnect()
{
    m_shouldStayConnected = false;
    m_launchFailure.clear();
    setCurrentURL(std::nullopt);
    cancelReconnects();
    cancelStream(m_mux);
    cancelStream(m_host);
    m_mux = nullptr;
    m_host = nullptr;
    setWire(std::nullopt);
    setHostDescription(std::nullopt);
    setPhase(ConnectionPhase::disconnected());
}

void ConnectionController::startConnection()
{
    if (!m_currentURL)
        return;
    const QUrl url = *m_currentURL;
    cancelStream(m_mux);
    cancelStream(m_host);
    setPhase(ConnectionPhase::connecting());
    setWire(WireClient(url, m_session));
    const quint64 attempt = ++m_attempt;
    describe(url, *m_wire, attempt);
}

QCoro::Task<void> ConnectionController::describe(QUrl url, WireClient wire, quint64 attempt)
{
    const std::weak_ptr<const bool> alive = m_alive;
    std::optional<HostDescription> description;
    QString failure;
    if (m_addressCheck) {
        const AddressCheck check = m_addressCheck;
        const bool allowed = co_await check(url);
        if (alive.expired())
            co_return;
        if (!m_shouldStayConnected || m_currentURL != url || attempt != m_attempt)
            co_return;
        if (!allowed) {
            setPhase(ConnectionPhase::failed(refusedAddressMessage(url)));
            co_return;
        }
    }
    try {
        const JSONValue payload = JSONValue::emptyObject();
        const HostDescription answer = co_await wire.call<HostDescription>(u"host.describe"_s, payload);
        description = answer;
    } catch (const Error &error) {
        failure = error.description(); // an RpcError reads "<code>: <message>"
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    } catch (...) {
        failure = u"unknown error"_s;
    }
    if (alive.expired())
        co_return;
    // Dropped when the connection is no longer wanted, moved to another address, or a
    // later attempt has started.
    if (!m_shouldStayConnected || m_currentURL != url || attempt != m_attempt)
        co_return;
    if (!description) {
        // The fallback's refusal hides the real cause: the host that should have served.
        setPhase(ConnectionPhase::failed(m_launchFailure.isEmpty() ? failure : m_launchFailure));
        co_return;
    }
    setHostDescription(*description);
    if (openStreams(url))
        setPhase(ConnectionPhase::ready());
}

bool ConnectionController::openStreams(const QUrl &baseURL)
{
    const QUrl mux = streamURL(baseURL, u"api/events.mux");
    const QUrl host = streamURL(baseURL, u"api/events.host");
    if (!mux.isValid() || mux.isRelative() || !host.isValid() || host.isRelative()) {
        setPhase(ConnectionPhase::failed(u"invalid server URL"_s));
        return false;
    }
    cancelStream(m_mux);
    m_mux = openStream(mux);
    cancelStream(m_host);
    m_host = openStream(host);
    return true;
}

EventStream *ConnectionController::openStream(const QUrl &url)
{
    EventStream *stream = m_streamClient.frames(url, this);
    connect(stream, &EventStream::frameReceived, this,
            [this, stream](const ServerRequest &frame) { handleFrame(stream, frame); });
    connect(stream, &EventStream::ended, this,
            [this, stream](const std::optional<QString> &error) { handleStreamEnd(stream, error); });
    return stream;
}

void ConnectionController::cancelStream(QPointer<EventStream> &stream)
{
    // The handle stays: a cancelled stream ends quietly and deletes itself.
    if (stream)
        stream->cancel();
}

void ConnectionController::handleFrame(EventStream *stream, const ServerRequest &frame)
{
    if (!m_shouldStayConnected) {
        stream->cancel();
        return;
    }
    if (!m_frameHandler)
        return;
    // A copy: the handler may replace itself, or disconnect, while it runs.
    const FrameHandler handler = m_frameHandler;
    handler(frame);
}

void ConnectionController::handleStreamEnd(EventStream *stream, const std::optional<QString> &error)
{
    // Never deleted here: the stream may be inside its own frame or end signal.
    stream->QObject::disconnect(this);
    stream->deleteLater();
    // No error means cancelled by us: nothing to repair. The stream's own error is never
    // shown; the new attempt tells the user what is wrong.
    if (!error)
        return;
    if (stream != m_mux && stream != m_host)
        return;
    if (m_shouldStayConnected)
        scheduleReconnect();
}

void ConnectionController::scheduleReconnect()
{
    if (!m_shouldStayConnected)
        return;
    setPhase(ConnectionPhase::reconnecting());
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    m_reconnectTimers.append(timer);
    qCInfo(lcConnection) << "reconnecting in" << m_reconnectDelayMs << "ms";
    connect(timer, &QTimer::timeout, this, [this, timer] {
        m_reconnectTimers.removeOne(timer);
        timer->deleteLater();
        if (m_shouldStayConnected)
            startConnection();
    });
    timer->start(m_reconnectDelayMs);
}

void ConnectionController::cancelReconnects()
{
    for (QTimer *timer : std::exchange(m_reconnectTimers, {})) {
        timer->stop();
        timer->deleteLater();
    }
}

} // namespace nbd
