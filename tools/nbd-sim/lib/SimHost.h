#pragma once

#include "Wire/JSONValue.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWebSocketProtocol>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QWebSocket;

namespace nbd::sim {

Q_NAMESPACE

// The host's two WebSocket event streams.
enum class Stream { Mux, Host };
Q_ENUM_NS(Stream)

// One request as the host received it.
struct LoggedRequest
{
    QString httpMethod; // "GET", "POST", …
    QString path;       // percent-decoded: "/api/session.list"
    QString query;      // encoded query, without "?"
    QString method;     // the reply key: "session.list", "commands/execute", "respond", "session.export"
    QString rpcId;      // the body's "rpcId" when it has one
    JSONValue body;     // the parsed body; null when there was none or it did not parse
    JSONValue payload;  // the body's "payload" (calls and endpoint calls)
    QHash<QByteArray, QByteArray> headers; // lower-cased names; repeated headers joined with ", "
    QByteArray rawBody;
};

// What the host does with one request. Values and errors of remote calls and endpoint calls
// are wrapped in a server-response envelope carrying the request's rpcId; for "respond" and
// "session.export" a value is written as bare JSON.
class Reply
{
public:
    enum class Kind { Value, Error, Status, Raw, Never, Drop };

    Reply() = default; // a null value

    static Reply value(JSONValue value);
    static Reply error(QString code, QString message, JSONValue details = {});
    // An HTTP status with an optional body (sent as JSON when not empty).
    static Reply status(int httpStatus, QByteArray body = {});
    // Exact body bytes.
    static Reply raw(QByteArray body, int status = 200);
    // Accept the request and never answer; the connection stays open.
    static Reply never();
    // Close the TCP connection without answering.
    static Reply drop();

    // The same reply, carried out after ms milliseconds.
    Reply delayed(int ms) const;
    // The same reply with another Content-Type header.
    Reply withContentType(QByteArray contentType) const;
    // A raw reply written in `pieces` parts, intervalMs apart (a slow but steady transfer).
    Reply trickled(int pieces, int intervalMs) const;

    Kind kind() const { return m_kind; }
    int delayMs() const { return m_delayMs; }
    int httpStatus() const { return m_status; }
    const JSONValue &jsonValue() const { return m_value; }
    const QString &errorCode() const { return m_code; }
    const QString &errorMessage() const { return m_message; }
    const JSONValue &errorDetails() const { return m_details; }
    const QByteArray &body() const { return m_body; }
    const QByteArray &contentType() const { return m_contentType; }
    int tricklePieces() const { return m_tricklePieces; }
    int trickleIntervalMs() const { return m_trickleIntervalMs; }

private:
    Kind m_kind = Kind::Value;
    JSONValue m_value;
    QString m_code;
    QString m_message;
    JSONValue m_details;
    int m_status = 200;
    QByteArray m_body;
    QByteArray m_contentType;
    int m_delayMs = 0;
    int m_tricklePieces = 1;
    int m_trickleIntervalMs = 0;
};

class SimHttpServer;

// A simulated `nbd` host: a real HTTP + WebSocket server on 127.0.0.1, scripted per method.
// Lives on the thread that created it; every call and signal is on that thread. A stream is
// counted (and streamConnected emitted) before the client sees its upgrade answered.
// Do not destroy the host from a slot connected to its own signals.
class SimHost : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<Reply(const LoggedRequest &)>;

    explicit SimHost(QObject *parent = nullptr);
    ~SimHost() override;

    // Listens on 127.0.0.1 (port 0: any free port). False when the port cannot be bound.
    bool listen(quint16 port = 0);
    // Listens again on the port of the last listen(), after stop(); while the port is busy it
    // tries again for up to 2 s (blocking).
    bool listenAgain();
    // Closes the listening socket and drops every HTTP and WebSocket connection abruptly.
    void stop();
    bool isListening() const;
    quint16 port() const { return m_port; }
    QUrl baseUrl() const;                 // "http://127.0.0.1:<port>"
    QUrl streamUrl(Stream stream) const;  // "ws://127.0.0.1:<port>/api/events.mux" or ".host"
    static QString streamPath(Stream stream);

    // Scripted replies per method key. Each setter replaces what the key had before. A handler
    // that throws answers HTTP 500.
    void setReply(const QString &method, Reply reply);
    // Consumed in order; the last one sticks.
    void setReplies(const QString &method, QList<Reply> replies);
    void setHandler(const QString &method, Handler handler);
    // Back to the built-in behaviour for the key.
    void clearReply(const QString &method);
    void clearAllReplies();

    void setHostDescription(JSONValue description);
    JSONValue hostDescription() const { return m_hostDescription; }
    static JSONValue defaultHostDescription();
    // The archive that "GET /api/session.export?sessionId=<id>" answers with.
    void setExport(const QString &sessionId, QByteArray zipBytes);

    // HTTP requests other than WebSocket upgrades, in arrival order.
    QList<LoggedRequest> requests() const { return m_requests; }
    QList<LoggedRequest> requests(const QString &method) const;
    // WebSocket upgrade requests (accepted or not), in arrival order.
    QList<LoggedRequest> upgradeRequests() const { return m_upgradeRequests; }
    void clearRequests();
    // Logged requests whose scripted answer is still to be carried out (a delayed reply not
    // yet due). One that never comes is not counted: the host has nothing more to do for it.
    int repliesDue() const { return m_repliesDue; }

    int connectedCount(Stream stream) const;
    // Sends {"type":"server-request","rpcId":…,"method":…,"payload":…} to every socket of the
    // stream; an empty rpcId becomes a fresh lower-case UUID. Returns the rpcId used.
    QString pushFrame(Stream stream, const QString &method, JSONValue payload, QString rpcId = {});
    void pushText(Stream stream, const QByteArray &text);
    void pushBinary(Stream stream, const QByteArray &bytes);
    void closeStreams(Stream stream, QWebSocketProtocol::CloseCode code = QWebSocketProtocol::CloseCodeNormal);
    void abortStreams(Stream stream);

    // The close code of each stream socket that the client closed, in order; -1 when it went
    // away without a close frame. Sockets the host closed or dropped are not listed.
    QList<int> clientCloseCodes(Stream stream) const;
    // Text, binary and pong messages that clients sent on any stream. A client's ping is not
    // counted: QWebSocket answers it internally and reports nothing.
    int messagesFromClients() const { return m_messagesFromClients; }
    // Forgets the close codes and the message count.
    void clearStreamRecords();

Q_SIGNALS:
    // Emitted after logging and before the reply is chosen.
    void requestReceived(const nbd::sim::LoggedRequest &request);
    // Emitted once the host is done with a logged request, also a delayed one: its reply
    // handed to the socket (or the socket dropped as scripted), or the client found gone
    // when the reply was due. A reply that never comes emits nothing.
    void requestFinished(const nbd::sim::LoggedRequest &request);
    void streamConnected(nbd::sim::Stream stream);
    void streamDisconnected(nbd::sim::Stream stream);

private:
    friend class SimHttpServer;
    struct Script;
    struct StreamSocket;

    bool bindPort(quint16 port, bool retry);
    bool handleRequest(const LoggedRequest &request, QTcpSocket *socket, bool isUpgrade);
    void handleMissing(QTcpSocket *socket);
    Reply chooseReply(const LoggedRequest &request);
    void carryOut(const Reply &reply, const LoggedRequest &request, QTcpSocket *socket, bool envelope);
    void acceptStreams();
    void forEachSocket(Stream stream, const std::function<void(StreamSocket &)> &f);
    void streamSocketGone(QWebSocket *socket);

    std::unique_ptr<SimHttpServer> m_http;
    QPointer<QTcpServer> m_tcp;
    QList<QPointer<QTcpSocket>> m_httpSockets;
    quint16 m_port = 0;

    QHash<QString, std::shared_ptr<Script>> m_scripts;
    QHash<QString, Handler> m_defaults;
    JSONValue m_hostDescription;
    QHash<QString, QByteArray> m_exports;

    QList<LoggedRequest> m_requests;
    QList<LoggedRequest> m_upgradeRequests;
    int m_repliesDue = 0;

    QList<std::shared_ptr<StreamSocket>> m_streams;
    QHash<Stream, QList<int>> m_clientCloseCodes;
    int m_messagesFromClients = 0;
};

} // namespace nbd::sim

Q_DECLARE_METATYPE(nbd::sim::LoggedRequest)
Q_DECLARE_METATYPE(nbd::sim::Reply)
