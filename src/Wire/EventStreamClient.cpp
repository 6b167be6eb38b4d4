#include "Wire/EventStreamClient.h"

#include <QNetworkProxy>
#include <QNetworkRequest>

namespace nbd {

EventStream::EventStream(const QUrl &url, QObject *parent) : QObject(parent), m_url(url)
{
    m_socket.setProxy(QNetworkProxy::NoProxy);
    connect(&m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &text) { handleMessage(text.toUtf8()); });
    connect(&m_socket, &QWebSocket::binaryMessageReceived, this, &EventStream::handleMessage);
    connect(&m_socket, &QWebSocket::connected, this, [this] { m_handshakeTimer.stop(); });
    // Qt may report an error twice, and after disconnected(): the first report ends it.
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, [this](QAbstractSocket::SocketError) {
        finish(m_handshakeTimedOut ? QStringLiteral("The request timed out.") : m_socket.errorString());
    });
    connect(&m_socket, &QWebSocket::disconnected, this, [this] {
        QString reason = m_socket.closeReason();
        if (m_handshakeTimedOut)
            reason = QStringLiteral("The request timed out.");
        else if (reason.isEmpty())
            reason = m_socket.error() != QAbstractSocket::UnknownSocketError
                         ? m_socket.errorString()
                         : QStringLiteral("The socket was closed by the host (code %1).").arg(int(m_socket.closeCode()));
        finish(reason);
    });

    // The limit covers the opening handshake only; an open stream may stay quiet forever.
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        m_handshakeTimedOut = true;
        m_socket.abort();
        finish(QStringLiteral("The request timed out."));
    });
    m_handshakeTimer.start(kHandshakeTimeoutMs);

    QNetworkRequest request(url);
    m_socket.open(request);
}

EventStream::~EventStream()
{
    m_ended = true; // no signal from a half-destroyed object
    m_socket.disconnect(this);
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close(QWebSocketProtocol::CloseCodeGoingAway);
}

void EventStream::cancel() { finish(std::nullopt); }

void EventStream::handleMessage(const QByteArray &bytes)
{
    if (m_ended || bytes.isEmpty())
        return;
    try {
        const ServerRequest frame = ServerRequest::fromJson(parseJSON(bytes));
        Q_EMIT frameReceived(frame);
    } catch (const Error &) {
        ++m_dropped; // not a frame: skipped, the stream goes on
    }
}

void EventStream::finish(std::optional<QString> error)
{
    if (m_ended)
        return;
    m_ended = true;
    m_handshakeTimer.stop();
    // A socket that failed is already closed by the transport; closing it again only
    // trips over its released descriptor.
    if (!error && m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close(QWebSocketProtocol::CloseCodeGoingAway);
    Q_EMIT ended(error);
}

} // namespace nbd
