#include "Wire/WireClient.h"

#include "Wire/DecodePool.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

namespace nbd {

namespace {

const QString kCancelledText = QStringLiteral("cancelled");
const QString kTimedOutText = QStringLiteral("The request timed out.");

} // namespace

QUrl appendingPath(const QUrl &base, const QString &path)
{
    QUrl url = base;
    QString basePath = url.path();
    while (basePath.endsWith(u'/'))
        basePath.chop(1);
    url.setPath(basePath + u'/' + path);
    return url;
}

WireClient::WireClient(QUrl baseURL, WireSession *session) : m_baseURL(std::move(baseURL)), m_session(session) {}

QString WireClient::newRpcId() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower(); }

QUrl WireClient::methodURL(const QString &method) const
{
    return appendingPath(m_baseURL, QStringLiteral("api/") + method);
}

QUrl WireClient::remoteURL(const QString &endpoint) const
{
    const QStringList pieces = endpoint.split(u'/', Qt::KeepEmptyParts);
    if (pieces.size() != 2 || pieces[0].isEmpty() || pieces[1].isEmpty())
        throw WireTransportError(QStringLiteral("invalid Remote endpoint: ") + endpoint);
    return appendingPath(m_baseURL, QStringLiteral("api/") + pieces[0] + u'/' + pieces[1]);
}

QUrl WireClient::exportURL(const QString &sessionId) const
{
    QUrl url = appendingPath(m_baseURL, QStringLiteral("api/session.export"));
    // Encode every reserved character of the id: "+" must not turn into a blank, and
    // "&", "=", "#" must not start another query item or a fragment.
    const QByteArray encoded = QUrl::toPercentEncoding(sessionId);
    url.setQuery(QStringLiteral("sessionId=") + QString::fromLatin1(encoded), QUrl::StrictMode);
    return url;
}

QCoro::Task<Transfer> WireClient::send(QUrl url, std::optional<QByteArray> body, CancelToken cancel) const
{
    Transfer result;
    if (cancel.isCancelled()) {
        result.outcome = Transfer::Outcome::Cancelled;
        co_return result;
    }
    QPointer<WireSession> session = m_session;
    if (!session) {
        result.outcome = Transfer::Outcome::Cancelled;
        co_return result;
    }

    QNetworkRequest request(url);
    QNetworkReply *reply = nullptr;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        reply = session->manager()->post(request, *body);
    } else {
        reply = session->manager()->get(request);
    }

    // Time-outs are our own timers so that a time-out is never mistaken for a
    // cancellation (Qt reports both as "Operation canceled").
    bool timedOut = false;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setTimerType(Qt::PreciseTimer);
    // Measured as inactivity for every request, the log download included: a large
    // archive that keeps arriving is not cut, a silent host is.
    int idleMs = session->transferIdleTimeout();
    if (session->requestTimeout() > 0)
        idleMs = idleMs > 0 ? std::min(idleMs, session->requestTimeout()) : session->requestTimeout();
    QTimer whole;
    whole.setSingleShot(true);
    whole.setTimerType(Qt::PreciseTimer);
    auto expire = [&timedOut, reply] {
        timedOut = true;
        reply->abort();
    };
    QObject::connect(&idle, &QTimer::timeout, reply, expire);
    QObject::connect(&whole, &QTimer::timeout, reply, expire);
    if (idleMs > 0) {
        idle.start(idleMs);
        auto restart = [&idle, idleMs] { idle.start(idleMs); };
        QObject::connect(reply, &QNetworkReply::downloadProgress, &idle, restart);
        QObject::connect(reply, &QNetworkReply::uploadProgress, &idle, restart);
    }
    if (session->resourceTimeout() > 0)
        whole.start(session->resourceTimeout());
    QObject::connect(cancel.notifier(), &CancelState::cancelRequested, reply, &QNetworkReply::abort);

    co_await reply;

    idle.stop();
    whole.stop();
    const auto error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (error == QNetworkReply::NoError || (status.isValid() && error >= QNetworkReply::ContentAccessDenied)) {
        // An HTTP error status is not a transfer failure: the caller checks the status.
        result.outcome = Transfer::Outcome::Finished;
        result.isHttp = status.isValid();
        result.status = status.isValid() ? status.toInt() : -1;
        result.body = reply->readAll();
    } else if (timedOut) {
        result.outcome = Transfer::Outcome::Failed;
        result.errorCode = QNetworkReply::TimeoutError;
        result.errorText = kTimedOutText;
    } else if (error == QNetworkReply::OperationCanceledError) {
        result.outcome = Transfer::Outcome::Cancelled;
    } else {
        result.outcome = Transfer::Outcome::Failed;
        result.errorCode = int(error);
        result.errorText = reply->errorString();
    }
    reply->deleteLater();
    co_return result;
}

QCoro::Task<QByteArray> WireClient::callData(QString method, JSONValue payload, CancelToken cancel) const
{
    ClientRequest request{newRpcId(), method, std::move(payload)};
    const QByteArray body = encodeJSON(request.toJson()); // throws before anything is sent
    const Transfer t = co_await send(methodURL(method), body, cancel);
    switch (t.outcome) {
    case Transfer::Outcome::Cancelled: throw CancellationError();
    case Transfer::Outcome::Failed: {
        auto underlying = std::make_exception_ptr(NetworkError(t.errorCode, t.errorText));
        throw WireTransportError(QStringLiteral("network error calling %1: %2").arg(method, t.errorText), underlying);
    }
    case Transfer::Outcome::Finished: break;
    }
    if (!t.isHttp)
        throw WireTransportError(QStringLiteral("not an HTTP response for ") + method);
    if (t.status != 200)
        throw WireTransportError(QStringLiteral("%1 failed with HTTP %2").arg(method).arg(t.status));
    co_return t.body;
}

QCoro::Task<void> WireClient::offThread(std::function<void()> work)
{
    co_await QtConcurrent::run(decodePool(), std::move(work));
}

QCoro::Task<JSONValue> WireClient::call(QString method, JSONValue payload, CancelToken cancel) const
{
    const QByteArray body = co_await callData(method, std::move(payload), cancel);
    auto decode = [method](const QByteArray &bytes) {
        ServerResponse response;
        try {
            response = ServerResponse::fromJson(parseJSON(bytes));
        } catch (...) {
            throw WireTransportError(QStringLiteral("malformed server response for ") + method, std::current_exception());
        }
        return response.result.valueOrThrow();
    };
    co_return co_await decodeBody<JSONValue>(body, std::move(decode), std::move(cancel));
}

QCoro::Task<JSONValue> WireClient::remoteValue(QString endpoint, JSONValue arguments, CancelToken cancel) const
{
    const QUrl url = remoteURL(endpoint);
    JSONValue payload = JSONValue::object({{QStringLiteral("args"), std::move(arguments)}});
    ClientRequest request{newRpcId(), endpoint, std::move(payload)};
    const QByteArray body = encodeJSON(request.toJson());
    const Transfer t = co_await send(url, body, cancel);
    if (t.outcome != Transfer::Outcome::Finished) {
        const QString text = t.outcome == Transfer::Outcome::Cancelled ? kCancelledText : t.errorText;
        auto underlying = t.outcome == Transfer::Outcome::Cancelled
                              ? std::make_exception_ptr(CancellationError())
                              : std::make_exception_ptr(NetworkError(t.errorCode, t.errorText));
        throw WireTransportError(QStringLiteral("network error calling Remote %1: %2").arg(endpoint, text), underlying);
    }
    if (!t.isHttp)
        throw WireTransportError(QStringLiteral("not an HTTP response for Remote ") + endpoint);
    if (t.status != 200)
        throw WireTransportError(QStringLiteral("Remote %1 failed with HTTP %2").arg(endpoint).arg(t.status));
    auto decode = [](const QByteArray &bytes) {
        const ServerResponse response = ServerResponse::fromJson(parseJSON(bytes)); // decoder's error as is
        return response.result.valueOrThrow();
    };
    co_return co_await decodeBody<JSONValue>(t.body, std::move(decode), std::move(cancel));
}

QCoro::Task<void> WireClient::respond(QString rpcId, JSONValue value, CancelToken cancel) const
{
    ClientResponse response{std::move(rpcId), std::move(value)};
    co_await respondRaw(response.toJson(), std::move(cancel));
}

QCoro::Task<void> WireClient::respondRaw(JSONValue envelope, CancelToken cancel) const
{
    // A value that cannot be written fails here, before anything is sent: an empty
    // answer would otherwise reach the host as if the user had said nothing.
    const QByteArray body = encodeJSON(envelope);
    const Transfer t = co_await send(appendingPath(m_baseURL, QStringLiteral("api/respond")), body, cancel);
    if (t.outcome == Transfer::Outcome::Cancelled)
        throw CancellationError();
    if (t.outcome == Transfer::Outcome::Failed)
        throw NetworkError(t.errorCode, t.errorText);
    if (!t.isHttp || t.status != 200)
        throw WireTransportError(QStringLiteral("respond failed with HTTP %1").arg(t.isHttp ? t.status : -1));
    const JSONValue reply = parseJSON(t.body);
    if (!reply.isObject())
        throw DecodingError(QStringLiteral("expected the answer's reply to be an object"));
    if (const JSONValue *accepted = reply.find(u"accepted"); accepted && accepted->boolean() == false) {
        const JSONValue *reason = reply.find(u"reason");
        throw RespondRejectedError(reason && reason->isString() ? std::optional(*reason->stringPtr()) : std::nullopt);
    }
    co_return;
}

QCoro::Task<QByteArray> WireClient::downloadSessionLog(QString sessionId, CancelToken cancel) const
{
    const QUrl url = exportURL(sessionId);
    if (!url.isValid())
        throw WireTransportError(QStringLiteral("invalid export URL"));
    const Transfer t = co_await send(url, std::nullopt, cancel);
    if (t.outcome == Transfer::Outcome::Cancelled)
        throw CancellationError();
    if (t.outcome == Transfer::Outcome::Failed)
        throw NetworkError(t.errorCode, t.errorText);
    if (!t.isHttp || t.status != 200)
        throw WireTransportError(QStringLiteral("session.export failed with HTTP %1").arg(t.isHttp ? t.status : -1));
    co_return t.body;
}

} // namespace nbd
