#include "Wire/EventStreamClient.h"

#include "Base/LogCategories.h"
#include "Wire/DecodePool.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QThreadPool>

#include <deque>

namespace nbd {

namespace {

std::optional<ServerRequest> decodeFrame(const QByteArray &bytes)
{
    try {
        return ServerRequest::fromJson(parseJSON(bytes));
    } catch (const Error &error) {
        // Not a frame: skipped, the stream goes on. The reason names what was wrong, never
        // the frame's text.
        qCInfo(lcWire).noquote() << "refused a frame:" << error.description().left(300);
        return std::nullopt;
    } catch (const std::exception &error) {
        qCInfo(lcWire) << "refused a frame:" << error.what();
        return std::nullopt;
    }
}

} // namespace

// The messages of one stream on their way to a decoding thread. At most one job drains a
// lane at a time, so its frames are decoded and posted back in arrival order; the stream
// clears `target` (under the lock) before it goes, after which nothing is posted.
struct EventStream::DecodeLane
{
    struct Message
    {
        QString text;
        QByteArray bytes;
    };

    QMutex mutex;
    std::deque<Message> queue;
    bool draining = false;
    EventStream *target = nullptr;

    static void drain(const std::shared_ptr<DecodeLane> &lane)
    {
        for (;;) {
            std::deque<Message> batch;
            {
                QMutexLocker lock(&lane->mutex);
                if (lane->queue.empty() || !lane->target) {
                    lane->queue.clear();
                    lane->draining = false;
                    return;
                }
                batch.swap(lane->queue);
            }
            Decoded frames;
            frames.reserve(batch.size());
            for (Message &message : batch)
                frames.push_back(decodeFrame(message.text.isNull() ? message.bytes : message.text.toUtf8()));
            batch.clear();
            QMutexLocker lock(&lane->mutex);
            if (EventStream *target = lane->target) {
                QMetaObject::invokeMethod(
                    target, [target, frames = std::move(frames)]() mutable { target->deliver(std::move(frames)); },
                    Qt::QueuedConnection);
            }
        }
    }
};

EventStream::EventStream(const QUrl &url, QObject *parent)
    : QObject(parent)
    , m_url(url)
    , m_lane(std::make_shared<DecodeLane>())
{
    m_lane->target = this;
    m_socket.setProxy(QNetworkProxy::NoProxy);
    connect(&m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &text) { handleMessage(text, QByteArray()); });
    connect(&m_socket, &QWebSocket::binaryMessageReceived, this,
            [this](const QByteArray &bytes) { handleMessage(QString(), bytes); });
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
        end(QStringLiteral("The request timed out."));
    });
    m_handshakeTimer.start(kHandshakeTimeoutMs);

    QNetworkRequest request(url);
    m_socket.open(request);
}

EventStream::~EventStream()
{
    m_ended = true; // no signal from a half-destroyed object
    {
        QMutexLocker lock(&m_lane->mutex);
        m_lane->target = nullptr;
        m_lane->queue.clear();
    }
    m_socket.disconnect(this);
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close(QWebSocketProtocol::CloseCodeGoingAway);
}

void EventStream::cancel() { end(std::nullopt); }

void EventStream::handleMessage(QString text, QByteArray bytes)
{
    if (m_ended || m_pendingEnd || (text.isEmpty() && bytes.isEmpty()))
        return;
    ++m_inFlight;
    QMutexLocker lock(&m_lane->mutex);
    m_lane->queue.push_back(DecodeLane::Message{std::move(text), std::move(bytes)});
    if (m_lane->draining)
        return;
    m_lane->draining = true;
    decodePool()->start([lane = m_lane] { DecodeLane::drain(lane); });
}

void EventStream::deliver(Decoded frames)
{
    for (std::optional<ServerRequest> &frame : frames)
        m_ready.push_back(std::move(frame));
    if (!m_draining)
        drainReady();
}

// Frames go out in arrival order, for about a frame's time per event-loop turn: a burst of a
// hundred thousand is handed on over many turns, with input and paints between them.
void EventStream::drainReady()
{
    const QPointer<EventStream> self(this);
    QElapsedTimer budget;
    budget.start();
    m_draining = true;
    while (!m_ready.empty()) {
        if (m_ended) {
            m_ready.clear();
            break;
        }
        if (budget.elapsed() >= kDeliveryBudgetMs) {
            QMetaObject::invokeMethod(this, &EventStream::drainReady, Qt::QueuedConnection);
            return; // still draining: frames that come meanwhile queue behind these
        }
        std::optional<ServerRequest> frame = std::move(m_ready.front());
        m_ready.pop_front();
        --m_inFlight;
        if (!frame) {
            ++m_dropped;
            continue;
        }
        Q_EMIT frameReceived(*frame);
        if (!self)
            return; // a receiver deleted the stream
    }
    m_draining = false;
    if (!m_ended && m_inFlight == 0 && m_pendingEnd)
        end(*m_pendingEnd);
}

void EventStream::finish(std::optional<QString> error)
{
    if (m_ended || m_pendingEnd)
        return;
    if (m_inFlight > 0) {
        m_handshakeTimer.stop();
        m_pendingEnd.emplace(std::move(error));
        return;
    }
    end(std::move(error));
}

void EventStream::end(std::optional<QString> error)
{
    if (m_ended)
        return;
    m_ended = true;
    qCInfo(lcWire).noquote() << "stream" << m_url.path() << "ended:"
                             << (error ? error->left(300) : QStringLiteral("closed by the client"))
                             << QStringLiteral("(%1 frames refused)").arg(m_dropped);
    m_handshakeTimer.stop();
    {
        QMutexLocker lock(&m_lane->mutex);
        m_lane->queue.clear();
    }
    // A socket that failed is already closed by the transport; closing it again only
    // trips over its released descriptor.
    if (!error && m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.close(QWebSocketProtocol::CloseCodeGoingAway);
    Q_EMIT ended(error);
}

} // namespace nbd
