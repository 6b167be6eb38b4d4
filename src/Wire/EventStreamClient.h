#pragma once

#include "Wire/WireEnvelope.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <optional>

namespace nbd {

// One open host event stream: a WebSocket whose messages are decoded into frames and
// delivered in arrival order. It only listens (it never sends, not even a ping) and never
// reconnects. It ends exactly once: normally when cancelled, or with the transport's
// error text when the socket fails or the host closes it. After it ended no frame is
// delivered.
class EventStream : public QObject
{
    Q_OBJECT
public:
    static constexpr int kHandshakeTimeoutMs = 30000;

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
    void handleMessage(const QByteArray &bytes);
    void finish(std::optional<QString> error);

    QUrl m_url;
    QWebSocket m_socket;
    QTimer m_handshakeTimer;
    bool m_ended = false;
    bool m_handshakeTimedOut = false;
    int m_dropped = 0;
};

// Opens event streams. A plain value; it keeps no state between streams.
class EventStreamClient
{
public:
    // The caller owns the stream (a parent may be given).
    EventStream *frames(const QUrl &url, QObject *parent = nullptr) const { return new EventStream(url, parent); }
};

} // namespace nbd
