#pragma once

#include "Base/CancelToken.h"
#include "Wire/JSONValue.h"
#include "Wire/WireEnvelope.h"
#include "Wire/WireErrors.h"
#include "Wire/WireSession.h"

#include <QCoroTask>
#include <QPointer>
#include <QUrl>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

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

    // Reply bodies longer than this are decoded on the wire's decoding threads: parsing tens of
    // megabytes would stall the window for a second.
    static constexpr qsizetype kDecodedHere = 128 * 1024;
    // `decode(body)` here for a short body, else on a decoding thread, with its result or
    // exception back on the caller's thread. Thrown as CancellationError when `cancel` was
    // cancelled meanwhile.
    template<class T, class Decode>
    static QCoro::Task<T> decodeBody(QByteArray body, Decode decode, CancelToken cancel);

    // One transfer on the session: POST when body is given, else GET.
    QCoro::Task<Transfer> send(QUrl url, std::optional<QByteArray> body, CancelToken cancel) const;

private:
    // Runs `work` on a decoding thread; resumes on the caller's thread when it is done.
    static QCoro::Task<void> offThread(std::function<void()> work);
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

template<class T, class Decode>
QCoro::Task<T> WireClient::decodeBody(QByteArray body, Decode decode, CancelToken cancel)
{
    if (body.size() <= kDecodedHere)
        co_return decode(body);
    struct Outcome
    {
        std::optional<T> value;
        std::exception_ptr error;
    };
    const auto outcome = std::make_shared<Outcome>();
    // Made before the co_await: g++ 12 miscompiles a lambda's init-captures inside one.
    std::function<void()> work = [outcome, body = std::move(body), decode = std::move(decode)] {
        try {
            outcome->value.emplace(decode(body));
        } catch (...) {
            outcome->error = std::current_exception();
        }
    };
    co_await offThread(std::move(work));
    if (cancel.isCancelled())
        throw CancellationError();
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    co_return std::move(*outcome->value);
}

template<class T>
QCoro::Task<T> WireClient::call(QString method, JSONValue payload, CancelToken cancel) const
{
    const QByteArray body = co_await callData(method, std::move(payload), cancel);
    auto decode = [method](const QByteArray &bytes) { return decodeReply<T>(method, bytes); };
    co_return co_await decodeBody<T>(body, std::move(decode), std::move(cancel));
}

template<class T>
QCoro::Task<T> WireClient::callRemote(QString endpoint, JSONValue arguments, CancelToken cancel) const
{
    const JSONValue value = co_await remoteValue(std::move(endpoint), std::move(arguments), std::move(cancel));
    co_return decodedAs<T>(value);
}

} // namespace nbd
