#pragma once

#include "Wire/WireEnvelope.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace nbd {

// One open host event stream: a WebSocket whose messages are decoded into frames and
// delivered in arrival order. It only listens (it never sends, not even a ping) and never
// reconnects. It ends exactly once: normally when cancelled, or with the transport's
// error text when the socket fails or the host closes it. After it ended no frame is
// delivered.
//
// Messages are decoded off the main thread, one stream's messages one after another, and the
// frames come back to the stream's thread in arrival order. An end of the socket is reported
// after the frames of every message that arrived before it; a cancel ends the stream at once
// and drops what is still being decoded.
class EventStream : public QObject
{
    Q_OBJECT
public:
    static constexpr int kHandshakeTimeoutMs = 30000;
    // Frames are handed on for at most this long in one event-loop turn.
    static constexpr int kDeliveryBudgetMs = 8;

    // Starts connecting at once.
    explicit EventStream(const QUrl &url, QObject *parent = nullptr);
    ~EventStream() override;

    QUrl url() const { return m_url; }
    bool hasEnded() const { return m_ended; }

    // Ends the stream without an error and closes the socket with 1001 (going away).
    void cancel();

    // Frames dropped because they did not decode (diagnostics and tests only).
    int droppedMessages() const { return m_dropped; }

Q_SIGNALS:
    void frameReceived(const nbd::ServerRequest &frame);
    // error is empty for a normal end (cancelled).
    void ended(const std::optional<QString> &error);

private:
    struct DecodeLane;
    // Decoded messages: a frame, or nothing for one that did not decode.
    using Decoded = std::vector<std::optional<ServerRequest>>;

    void handleMessage(QString text, QByteArray bytes);
    void deliver(Decoded frames);
    void drainReady();
    // The socket ended: reported once every message before it is delivered.
    void finish(std::optional<QString> error);
    void end(std::optional<QString> error);

    QUrl m_url;
    QWebSocket m_socket;
    QTimer m_handshakeTimer;
    bool m_ended = false;
    bool m_handshakeTimedOut = false;
    int m_dropped = 0;
    std::shared_ptr<DecodeLane> m_lane;
    // Messages handed to the lane whose frames have not come back yet.
    qint64 m_inFlight = 0;
    std::optional<std::optional<QString>> m_pendingEnd;
    // Decoded frames not handed on yet, and whether a drain of them is under way.
    std::deque<std::optional<ServerRequest>> m_ready;
    bool m_draining = false;
};

// Opens event streams. A plain value; it keeps no state between streams.
class EventStreamClient
{
public:
    // The caller owns the stream (a parent may be given).
    EventStream *frames(const QUrl &url, QObject *parent = nullptr) const { return new EventStream(url, parent); }
};

} // namespace nbd
