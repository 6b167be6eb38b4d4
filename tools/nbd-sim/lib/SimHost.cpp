#include "SimHost.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>
#include <QWebSocket>

using namespace Qt::StringLiterals;

namespace nbd::sim {

// --- Routes --------------------------------------------------------------------------------

namespace {

enum class RouteKind { Call, Endpoint, Respond, Export, MuxStream, HostStream };

// How a route's request body must look. Empty text when it is acceptable, else why not.
using BodyCheck = QString (*)(const JSONValue &body, const QString &key);

QString checkClientRequest(const JSONValue &body, const QString &key)
{
    if (!body.isObject())
        return u"body is not a JSON object"_s;
    const JSONValue *type = body.find(u"type");
    if (!type || type->string() != u"client-request"_s)
        return u"\"type\" is not \"client-request\""_s;
    const JSONValue *rpcId = body.find(u"rpcId");
    if (!rpcId || !rpcId->isString())
        return u"\"rpcId\" is missing or not a string"_s;
    const JSONValue *method = body.find(u"method");
    if (!method || !method->isString())
        return u"\"method\" is missing or not a string"_s;
    if (*method->stringPtr() != key)
        return u"\"method\" %1 does not match the path's %2"_s.arg(*method->stringPtr(), key);
    if (!body.contains(u"payload"))
        return u"\"payload\" is missing"_s;
    return {};
}

QString checkClientResponse(const JSONValue &body, const QString &)
{
    if (!body.isObject())
        return u"body is not a JSON object"_s;
    const JSONValue *rpcId = body.find(u"rpcId");
    if (!rpcId || !rpcId->isString())
        return u"\"rpcId\" is missing or not a string"_s;
    const JSONValue *result = body.find(u"result");
    if (!result || !result->isObject())
        return u"\"result\" is missing or not an object"_s;
    return {};
}

struct Route
{
    QByteArray httpMethod;
    QLatin1StringView pattern; // "*" stands for one non-empty path segment
    RouteKind kind;
    QLatin1StringView fixedKey; // the reply key, when the path does not give it
    BodyCheck checkBody;        // nullptr: the body is not read
    bool envelope;              // values and errors go out wrapped in a server-response
};

// First match wins.
const Route kRoutes[] = {
    {"GET", "/api/events.mux"_L1, RouteKind::MuxStream, {}, nullptr, false},
    {"GET", "/api/events.host"_L1, RouteKind::HostStream, {}, nullptr, false},
    {"GET", "/api/session.export"_L1, RouteKind::Export, "session.export"_L1, nullptr, false},
    {"GET", "/"_L1, RouteKind::Export, "page"_L1, nullptr, false}, // the host's own web page
    {"POST", "/api/respond"_L1, RouteKind::Respond, "respond"_L1, checkClientResponse, false},
    {"POST", "/api/*"_L1, RouteKind::Call, {}, checkClientRequest, true},
    {"POST", "/api/*/*"_L1, RouteKind::Endpoint, {}, checkClientRequest, true},
};

struct RouteMatch
{
    const Route *route = nullptr;
    QString key;
};

RouteMatch matchRoute(const QString &httpMethod, const QString &decodedPath)
{
    const QStringList segments = decodedPath.split(u'/');
    for (const Route &route : kRoutes) {
        if (httpMethod.toLatin1() != route.httpMethod)
            continue;
        const QStringList pattern = QString(route.pattern).split(u'/');
        if (pattern.size() != segments.size())
            continue;
        QStringList wild;
        bool matches = true;
        for (qsizetype i = 0; i < pattern.size() && matches; ++i) {
            if (pattern[i] == u"*"_s) {
                matches = !segments[i].isEmpty();
                wild.append(segments[i]);
            } else {
                matches = pattern[i] == segments[i];
            }
        }
        if (matches)
            return {&route, route.fixedKey.isEmpty() ? wild.join(u'/') : QString(route.fixedKey)};
    }
    return {};
}

std::optional<Stream> streamOf(RouteKind kind)
{
    switch (kind) {
    case RouteKind::MuxStream: return Stream::Mux;
    case RouteKind::HostStream: return Stream::Host;
    default: return std::nullopt;
    }
}

QString httpMethodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get: return u"GET"_s;
    case QHttpServerRequest::Method::Put: return u"PUT"_s;
    case QHttpServerRequest::Method::Delete: return u"DELETE"_s;
    case QHttpServerRequest::Method::Post: return u"POST"_s;
    case QHttpServerRequest::Method::Head: return u"HEAD"_s;
    case QHttpServerRequest::Method::Options: return u"OPTIONS"_s;
    case QHttpServerRequest::Method::Patch: return u"PATCH"_s;
    case QHttpServerRequest::Method::Connect: return u"CONNECT"_s;
    case QHttpServerRequest::Method::Trace: return u"TRACE"_s;
    default: return u"UNKNOWN"_s;
    }
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 426: return "Upgrade Required";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool statusHasBody(int status)
{
    return status >= 200 && status != 204 && status != 304;
}

bool isOpen(const QPointer<QTcpSocket> &socket)
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray httpBytes(int status, const QByteArray &contentType, const QByteArray &body)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (statusHasBody(status)) {
        if (!body.isEmpty() && !contentType.isEmpty())
            out += "Content-Type: " + contentType + "\r\n";
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    } else {
        out += "\r\n";
    }
    return out;
}

void writeHttp(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body)
{
    socket->write(httpBytes(status, contentType, body));
}

// Writes the answer in `pieces` parts, one every intervalMs: the head with the first part at
// once, the last part (pieces - 1) intervals later.
void writeHttpTrickled(QPointer<QTcpSocket> socket, QByteArray bytes, int pieces, int intervalMs)
{
    const qsizetype size = (bytes.size() + pieces - 1) / pieces;
    socket->write(bytes.left(size));
    if (bytes.size() <= size)
        return;
    QTimer::singleShot(intervalMs, socket, [socket, rest = bytes.mid(size), pieces, intervalMs] {
        if (isOpen(socket))
            writeHttpTrickled(socket, rest, std::max(pieces - 1, 1), intervalMs);
    });
}

QByteArray jsonBytes(const JSONValue &value)
{
    return value.data().value_or(QByteArray("null"));
}

QByteArray errorText(const QString &why)
{
    return jsonBytes(JSONValue::object({{u"error"_s, why}}));
}

QString freshRpcId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}

// Remembers the request target of each connection's first request as it came on the wire.
// QHttpServerRequest::url() reads a target such as "//api/events.mux" as a host and a path,
// and WebSocket clients send exactly one request per connection: the upgrade.
class TargetRecordingServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    static constexpr const char *kTarget = "nbdSimRequestTarget";

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // Connected before the HTTP server's own slot, so the bytes are still unread here.
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(socket, &QTcpSocket::readyRead, socket, [socket, connection] {
            const QByteArray head = socket->peek(8192);
            const qsizetype end = head.indexOf("\r\n");
            if (end < 0 && head.size() < 8192)
                return;
            const QList<QByteArray> parts = head.left(end).split(' ');
            if (parts.size() >= 2)
                socket->setProperty(kTarget, parts[1]);
            disconnect(*connection);
        });
        addPendingConnection(socket);
    }
};

} // namespace

// --- HTTP server ---------------------------------------------------------------------------

// QAbstractHttpServer rather than QHttpServer: the host needs the raw socket of each request
// to answer late, never, or drop the connection, which QHttpServer's router hides.
class SimHttpServer : public QAbstractHttpServer
{
public:
    explicit SimHttpServer(SimHost *host) : m_host(host) {}

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        LoggedRequest logged;
        logged.httpMethod = httpMethodName(request.method());
        logged.path = request.url().path(QUrl::FullyDecoded);
        logged.query = request.url().query(QUrl::FullyEncoded);
        for (const auto &[name, value] : request.headers()) {
            const QByteArray lower = name.toLower();
            auto it = logged.headers.find(lower);
            if (it == logged.headers.end())
                logged.headers.insert(lower, value);
            else
                *it += ", " + value;
        }
        logged.rawBody = request.body();
        const bool isUpgrade = logged.headers.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
        if (isUpgrade) {
            const QByteArray target = socket->property(TargetRecordingServer::kTarget).toByteArray();
            if (target.startsWith('/')) {
                const qsizetype q = target.indexOf('?');
                logged.path = QUrl::fromPercentEncoding(q < 0 ? target : target.left(q));
                logged.query = q < 0 ? QString() : QString::fromLatin1(target.mid(q + 1));
            }
        }
        return m_host->handleRequest(logged, socket, isUpgrade);
    }

    void missingHandler(const QHttpServerRequest &, QTcpSocket *socket) override { m_host->handleMissing(socket); }

private:
    SimHost *m_host;
};

// --- SimHost -------------------------------------------------------------------------------

struct SimHost::Script
{
    Handler handler;
    QList<Reply> queue;
};

struct SimHost::StreamSocket
{
    QWebSocket *socket = nullptr;
    Stream stream = Stream::Mux;
    bool closedByHost = false;
    bool closeFrameReceived = false;
};

SimHost::SimHost(QObject *parent)
    : QObject(parent)
    , m_http(std::make_unique<SimHttpServer>(this))
    , m_hostDescription(defaultHostDescription())
{
    // The upgrade is handed over only while something listens to this signal.
    connect(m_http.get(), &QAbstractHttpServer::newWebSocketConnection, this, &SimHost::acceptStreams);

    m_defaults.insert(u"host.describe"_s, [this](const LoggedRequest &) { return Reply::value(m_hostDescription); });
    m_defaults.insert(u"respond"_s,
                      [](const LoggedRequest &) { return Reply::value(JSONValue::object({{u"accepted"_s, true}})); });
    m_defaults.insert(u"session.export"_s, [this](const LoggedRequest &request) {
        const QString sessionId = QUrlQuery(request.query).queryItemValue(u"sessionId"_s, QUrl::FullyDecoded);
        auto it = m_exports.constFind(sessionId);
        if (it == m_exports.constEnd())
            return Reply::status(404, errorText(u"no export for session %1"_s.arg(sessionId)));
        return Reply::raw(*it).withContentType("application/zip");
    });
}

SimHost::~SimHost()
{
    // Tear down while the members still exist, with nothing left to call back into us.
    for (const auto &entry : std::as_const(m_streams)) {
        entry->socket->disconnect(this);
        delete entry->socket;
    }
    m_streams.clear();
    m_http->disconnect(this);
    if (m_tcp) {
        const auto sockets = m_tcp->findChildren<QTcpSocket *>();
        for (QTcpSocket *socket : sockets)
            socket->disconnect(this);
    }
    m_http.reset();
}

JSONValue SimHost::defaultHostDescription()
{
    return JSONValue::object({
        {u"version"_s, u"0.0.0-sim"_s},
        {u"cwd"_s, u"/tmp/nbd-sim"_s},
        {u"provider"_s, u"sim"_s},
        {u"model"_s, u"sim-model"_s},
        {u"attachedSessions"_s, 0},
        {u"canOpenPath"_s, true},
    });
}

bool SimHost::bindPort(quint16 port, bool retry)
{
    auto *tcp = new TargetRecordingServer(m_http.get());
    tcp->setProxy(QNetworkProxy::NoProxy);
    // QTcpServer sets SO_REUSEADDR on Unix, so a port whose old connections sit in TIME_WAIT
    // binds again at once; the retry only covers a port still held by a closing listener.
    bool ok = tcp->listen(QHostAddress::LocalHost, port);
    for (int attempt = 0; !ok && retry && attempt < 40; ++attempt) {
        QThread::msleep(50);
        ok = tcp->listen(QHostAddress::LocalHost, port);
    }
    if (!ok) {
        qWarning("nbd-sim: cannot listen on 127.0.0.1:%u: %s", unsigned(port), qPrintable(tcp->errorString()));
        delete tcp;
        return false;
    }
    m_http->bind(tcp);
    m_tcp = tcp;
    m_port = tcp->serverPort();
    return true;
}

bool SimHost::listen(quint16 port)
{
    if (isListening())
        stop();
    return bindPort(port, false);
}

bool SimHost::listenAgain()
{
    if (isListening())
        return true;
    if (m_port == 0)
        return false;
    return bindPort(m_port, true);
}

bool SimHost::isListening() const
{
    return m_tcp && m_tcp->isListening();
}

void SimHost::stop()
{
    QPointer<QTcpServer> tcp = m_tcp;
    m_tcp = nullptr;
    if (tcp)
        tcp->close();

    const auto streams = m_streams;
    for (const auto &entry : streams) {
        entry->closedByHost = true;
        entry->socket->abort();
    }

    QList<QPointer<QTcpSocket>> sockets = m_httpSockets;
    m_httpSockets.clear();
    if (tcp) {
        const auto children = tcp->findChildren<QTcpSocket *>();
        for (QTcpSocket *socket : children)
            sockets.append(socket);
    }
    for (const auto &socket : std::as_const(sockets)) {
        if (socket)
            socket->abort();
    }
    if (tcp)
        tcp->deleteLater();
}

QUrl SimHost::baseUrl() const
{
    QUrl url;
    url.setScheme(u"http"_s);
    url.setHost(u"127.0.0.1"_s);
    url.setPort(m_port);
    return url;
}

QString SimHost::streamPath(Stream stream)
{
    return stream == Stream::Mux ? u"/api/events.mux"_s : u"/api/events.host"_s;
}

QUrl SimHost::streamUrl(Stream stream) const
{
    QUrl url = baseUrl();
    url.setScheme(u"ws"_s);
    url.setPath(streamPath(stream));
    return url;
}

// --- scripting -----------------------------------------------------------------------------

void SimHost::setReply(const QString &method, Reply reply)
{
    setReplies(method, {std::move(reply)});
}

void SimHost::setReplies(const QString &method, QList<Reply> replies)
{
    if (replies.isEmpty()) {
        clearReply(method);
        return;
    }
    auto script = std::make_shared<Script>();
    script->queue = std::move(replies);
    m_scripts.insert(method, std::move(script));
}

void SimHost::setHandler(const QString &method, Handler handler)
{
    auto script = std::make_shared<Script>();
    script->handler = std::move(handler);
    m_scripts.insert(method, std::move(script));
}

void SimHost::clearReply(const QString &method)
{
    m_scripts.remove(method);
}

void SimHost::clearAllReplies()
{
    m_scripts.clear();
}

void SimHost::setHostDescription(JSONValue description)
{
    m_hostDescription = std::move(description);
}

void SimHost::setExport(const QString &sessionId, QByteArray zipBytes)
{
    m_exports.insert(sessionId, std::move(zipBytes));
}

QList<LoggedRequest> SimHost::requests(const QString &method) const
{
    QList<LoggedRequest> out;
    for (const LoggedRequest &request : m_requests) {
        if (request.method == method)
            out.append(request);
    }
    return out;
}

void SimHost::clearRequests()
{
    m_requests.clear();
    m_upgradeRequests.clear();
}

Reply SimHost::chooseReply(const LoggedRequest &request)
{
    // Held by value: a handler may replace its own script while it runs.
    if (std::shared_ptr<Script> script = m_scripts.value(request.method)) {
        if (script->handler) {
            try {
                return script->handler(request);
            } catch (const std::exception &e) {
                qWarning("nbd-sim: the handler of %s threw: %s", qPrintable(request.method), e.what());
                return Reply::status(500, errorText(u"handler threw: "_s + QString::fromUtf8(e.what())));
            }
        }
        Reply reply = script->queue.first();
        if (script->queue.size() > 1)
            script->queue.removeFirst();
        return reply;
    }
    if (auto it = m_defaults.constFind(request.method); it != m_defaults.constEnd())
        return (*it)(request);
    return Reply::error(u"method_not_found"_s, u"unknown method "_s + request.method);
}

// --- HTTP ----------------------------------------------------------------------------------

bool SimHost::handleRequest(const LoggedRequest &received, QTcpSocket *socket, bool isUpgrade)
{
    LoggedRequest request = received;
    const RouteMatch match = matchRoute(request.httpMethod, request.path);

    if (isUpgrade) {
        const bool isStream = match.route && streamOf(match.route->kind);
        m_upgradeRequests.append(request);
        // Returning true hands the socket to the WebSocket server; false answers 404.
        return isStream;
    }

    m_httpSockets.removeAll(nullptr);
    m_httpSockets.append(socket);

    if (!match.route) {
        writeHttp(socket, 404, "application/json", errorText(u"no route for %1 %2"_s.arg(request.httpMethod, request.path)));
        return true;
    }
    if (streamOf(match.route->kind)) {
        writeHttp(socket, 426, "application/json", errorText(u"WebSocket upgrade required"_s));
        return true;
    }

    request.method = match.key;
    QString invalid;
    if (match.route->checkBody) {
        QString parseError;
        if (auto body = tryParseJSON(request.rawBody, &parseError)) {
            request.body = *body;
            invalid = match.route->checkBody(request.body, request.method);
        } else {
            invalid = u"body is not JSON: "_s + parseError;
        }
        if (const JSONValue *rpcId = request.body.find(u"rpcId"); rpcId && rpcId->isString())
            request.rpcId = *rpcId->stringPtr();
        if (const JSONValue *payload = request.body.find(u"payload"))
            request.payload = *payload;
    }

    m_requests.append(request);
    QPointer<QTcpSocket> guard(socket);
    Q_EMIT requestReceived(request);
    if (!isOpen(guard))
        return true;

    if (!invalid.isEmpty()) {
        writeHttp(socket, 400, "application/json", errorText(invalid));
        Q_EMIT requestFinished(request);
        return true;
    }
    carryOut(chooseReply(request), request, socket, match.route->envelope);
    return true;
}

void SimHost::handleMissing(QTcpSocket *socket)
{
    if (isOpen(socket))
        writeHttp(socket, 404, "application/json", errorText(u"no WebSocket stream here"_s));
}

void SimHost::carryOut(const Reply &reply, const LoggedRequest &request, QTcpSocket *socket, bool envelope)
{
    QPointer<QTcpSocket> guard(socket);
    auto act = [reply, rpcId = request.rpcId, envelope, guard] {
        if (!isOpen(guard))
            return;
        const QByteArray contentType = reply.contentType();
        auto json = [&](const QByteArray &fallback) { return contentType.isEmpty() ? fallback : contentType; };
        switch (reply.kind()) {
        case Reply::Kind::Value: {
            const JSONValue body = envelope
                ? JSONValue::object({{u"type"_s, u"server-response"_s},
                                     {u"rpcId"_s, rpcId},
                                     {u"result"_s, JSONValue::object({{u"ok"_s, true}, {u"value"_s, reply.jsonValue()}})}})
                : reply.jsonValue();
            // Written once: a large page's encoding is most of the time its reply takes.
            const std::optional<QByteArray> bytes = body.data();
            if (!bytes) {
                writeHttp(guard, 500, "application/json", errorText(u"the scripted value holds NaN or infinity"_s));
                return;
            }
            writeHttp(guard, 200, json("application/json"), *bytes);
            return;
        }
        case Reply::Kind::Error: {
            const JSONValue error = JSONValue::object({{u"code"_s, reply.errorCode()},
                                                       {u"message"_s, reply.errorMessage()},
                                                       {u"details"_s, reply.errorDetails()}});
            const JSONValue body = JSONValue::object({{u"type"_s, u"server-response"_s},
                                                      {u"rpcId"_s, rpcId},
                                                      {u"result"_s, JSONValue::object({{u"ok"_s, false}, {u"error"_s, error}})}});
            writeHttp(guard, 200, json("application/json"), jsonBytes(body));
            return;
        }
        case Reply::Kind::Status:
            writeHttp(guard, reply.httpStatus(), json("application/json"), reply.body());
            return;
        case Reply::Kind::Raw:
            if (reply.tricklePieces() > 1)
                writeHttpTrickled(guard, httpBytes(reply.httpStatus(), json("application/octet-stream"), reply.body()),
                                  reply.tricklePieces(), reply.trickleIntervalMs());
            else
                writeHttp(guard, reply.httpStatus(), json("application/octet-stream"), reply.body());
            return;
        case Reply::Kind::Never:
            return;
        case Reply::Kind::Drop:
            guard->abort();
            return;
        }
    };

    // A drop is deferred even without a delay: the HTTP server still uses the socket after
    // handing us the request.
    const bool never = reply.kind() == Reply::Kind::Never;
    const bool later = reply.delayMs() > 0 || reply.kind() == Reply::Kind::Drop;
    auto actAndTell = [this, act, request, never, later] {
        if (later && !never)
            --m_repliesDue;
        act();
        if (!never)
            Q_EMIT requestFinished(request);
    };
    if (later) {
        if (!never)
            ++m_repliesDue;
        QTimer::singleShot(std::max(reply.delayMs(), 0), this, actAndTell);
    } else {
        actAndTell();
    }
}

// --- streams -------------------------------------------------------------------------------

void SimHost::acceptStreams()
{
    while (m_http->hasPendingWebSocketConnections()) {
        QWebSocket *socket = m_http->nextPendingWebSocketConnection().release();
        if (!socket)
            continue;
        socket->setParent(this);
        const QString path = socket->requestUrl().path();
        std::optional<Stream> stream;
        for (Stream s : {Stream::Mux, Stream::Host}) {
            if (path == streamPath(s))
                stream = s;
        }
        if (!stream) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto entry = std::make_shared<StreamSocket>();
        entry->socket = socket;
        entry->stream = *stream;
        m_streams.append(entry);

        auto count = [this] { ++m_messagesFromClients; };
        connect(socket, &QWebSocket::textMessageReceived, this, count);
        connect(socket, &QWebSocket::binaryMessageReceived, this, count);
        connect(socket, &QWebSocket::pong, this, count);
        std::weak_ptr<StreamSocket> weak = entry;
        // aboutToClose without the host closing means a close frame came from the client.
        connect(socket, &QWebSocket::aboutToClose, this, [weak] {
            if (auto e = weak.lock(); e && !e->closedByHost)
                e->closeFrameReceived = true;
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { streamSocketGone(socket); });
        Q_EMIT streamConnected(*stream);
    }
}

void SimHost::streamSocketGone(QWebSocket *socket)
{
    const auto it = std::find_if(m_streams.begin(), m_streams.end(), [socket](const auto &e) { return e->socket == socket; });
    if (it == m_streams.end())
        return; // disconnected can come twice
    const std::shared_ptr<StreamSocket> entry = *it;
    m_streams.erase(it);
    if (!entry->closedByHost)
        m_clientCloseCodes[entry->stream].append(entry->closeFrameReceived ? int(socket->closeCode()) : -1);
    socket->disconnect(this);
    socket->deleteLater();
    Q_EMIT streamDisconnected(entry->stream);
}

int SimHost::connectedCount(Stream stream) const
{
    return int(std::count_if(m_streams.begin(), m_streams.end(), [stream](const auto &e) { return e->stream == stream; }));
}

void SimHost::forEachSocket(Stream stream, const std::function<void(StreamSocket &)> &f)
{
    const auto streams = m_streams; // f may end a socket, which edits the list
    for (const auto &entry : streams) {
        if (entry->stream == stream)
            f(*entry);
    }
}

QString SimHost::pushFrame(Stream stream, const QString &method, JSONValue payload, QString rpcId)
{
    if (rpcId.isEmpty())
        rpcId = freshRpcId();
    const JSONValue frame = JSONValue::object({
        {u"type"_s, u"server-request"_s},
        {u"rpcId"_s, rpcId},
        {u"method"_s, method},
        {u"payload"_s, std::move(payload)},
    });
    pushText(stream, jsonBytes(frame));
    return rpcId;
}

void SimHost::pushText(Stream stream, const QByteArray &text)
{
    const QString message = QString::fromUtf8(text);
    forEachSocket(stream, [&](StreamSocket &e) { e.socket->sendTextMessage(message); });
}

void SimHost::pushBinary(Stream stream, const QByteArray &bytes)
{
    forEachSocket(stream, [&](StreamSocket &e) { e.socket->sendBinaryMessage(bytes); });
}

void SimHost::closeStreams(Stream stream, QWebSocketProtocol::CloseCode code)
{
    forEachSocket(stream, [&](StreamSocket &e) {
        e.closedByHost = true;
        e.socket->close(code);
    });
}

void SimHost::abortStreams(Stream stream)
{
    forEachSocket(stream, [&](StreamSocket &e) {
        e.closedByHost = true;
        e.socket->abort();
    });
}

void SimHost::clearStreamRecords()
{
    m_clientCloseCodes.clear();
    m_messagesFromClients = 0;
}

QList<int> SimHost::clientCloseCodes(Stream stream) const
{
    return m_clientCloseCodes.value(stream);
}

} // namespace nbd::sim
