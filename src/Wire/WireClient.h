#pragma once

#include "Base/CancelToken.h"
#include "Wire/JSONValue.h"
#include "Wire/WireEnvelope.h"
#include "Wire/WireErrors.h"
#include "Wire/WireSession.h"

#include <QCoroTask>
#include <QPointer>
#include <QUrl>

namespace nbd {

// The outcome of one HTTP transfer, before any envelope is read.
struct Transfer
{
    enum class Outcome { Finished, Cancelled, Failed };
    Outcome outcome = Outcome::Failed;
    bool isHttp = false;
    int status = -1;
    QByteArray body;
    int errorCode = 0;     // QNetworkReply::NetworkError when Failed
    QString errorText;     // the transport's description when Failed
};

// The one HTTP client through which the client reaches the host outside the event
// streams. A plain value: copies share the session and behave identically. Every
// operation throws RpcError (the host's own error), WireTransportError (with an English
// message naming the method), CancellationError, or the encoder's/decoder's error where
// noted.
class WireClient
{
public:
    WireClient() = default;
    WireClient(QUrl baseURL, WireSession *session);

    QUrl baseURL() const { return m_baseURL; }
    WireSession *session() const { return m_session; }
    bool isValid() const { return m_session != nullptr; }

    // A remote call whose result value is decoded as T.
    template<class T>
    QCoro::Task<T> call(QString method, JSONValue payload, CancelToken cancel = {}) const;
    // A remote call whose result value is returned as it is (null when absent).
    QCoro::Task<JSONValue> call(QString method, JSONValue payload, CancelToken cancel = {}) const;
    // A remote plugin endpoint of two words ("commands/execute").
    template<class T>
    QCoro::Task<T> callRemote(QString endpoint, JSONValue arguments, CancelToken cancel = {}) const;
    // Answers a request the host pushed.
    QCoro::Task<void> respond(QString rpcId, JSONValue value, CancelToken cancel = {}) const;
    QCoro::Task<void> respondRaw(JSONValue envelope, CancelToken cancel = {}) const;
    // The session's log archive. Like every request it fails when no data moved for the
    // session's transfer idle limit; cancelling `cancel` throws CancellationError.
    QCoro::Task<QByteArray> downloadSessionLog(QString sessionId, CancelToken cancel = {}) const;

    // Throws WireTransportError "invalid Remote endpoint: …".
    QUrl remoteURL(const QString &endpoint) const;
    // The address of a remote method ("api/" + method under the base address).
    QUrl methodURL(const QString &method) const;
    QUrl exportURL(const QString &sessionId) const;

    static QString newRpcId();

    // The body of a successful reply to a remote call, with call()'s transport errors.
    // For callers that decode a large reply elsewhere (decodeReply on a worker thread).
    QCoro::Task<QByteArray> callData(QString method, JSONValue payload, CancelToken cancel = {}) const;
    // Reads a reply body as the typed call does: the host's error as it is, the value as
    // T, anything else "malformed server response for <method>". Thread-safe.
    template<class T>
    static T decodeReply(const QString &method, const QByteArray &body);

    // One transfer on the session: POST when body is given, else GET.
    QCoro::Task<Transfer> send(QUrl url, std::optional<QByteArray> body, CancelToken cancel) const;

private:
    QCoro::Task<JSONValue> remoteValue(QString endpoint, JSONValue arguments, CancelToken cancel) const;

    QUrl m_baseURL;
    QPointer<WireSession> m_session;
};

// Appends a path (which may hold "/") under the base address with exactly one "/" between.
QUrl appendingPath(const QUrl &base, const QString &path);

template<class T>
T WireClient::decodeReply(const QString &method, const QByteArray &body)
{
    try {
        auto response = TypedServerResponse<T>::fromJson(parseJSON(body));
        return response.result.valueOrThrow();
    } catch (const RpcError &) {
        throw;
    } catch (...) {
        throw WireTransportError(QStringLiteral("malformed server response for ") + method, std::current_exception());
    }
}

template<class T>
QCoro::Task<T> WireClient::call(QString method, JSONValue payload, CancelToken cancel) const
{
    const QByteArray body = co_await callData(method, std::move(payload), std::move(cancel));
    co_return decodeReply<T>(method, body);
}

template<class T>
QCoro::Task<T> WireClient::callRemote(QString endpoint, JSONValue arguments, CancelToken cancel) const
{
    const JSONValue value = co_await remoteValue(std::move(endpoint), std::move(arguments), std::move(cancel));
    co_return decodedAs<T>(value);
}

} // namespace nbd
