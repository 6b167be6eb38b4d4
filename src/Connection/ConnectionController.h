#pragma once

#include "Domain/HostDescription.h"
#include "Wire/EventStreamClient.h"
#include "Wire/WireClient.h"
#include "Wire/WireEnvelope.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace nbd {

class WireSession;

// The state of the connection as the user interface shows it.
class ConnectionPhase
{
public:
    enum class Kind { Disconnected, Connecting, Ready, Reconnecting, Failed };

    ConnectionPhase() = default;
    static ConnectionPhase disconnected() { return ConnectionPhase(Kind::Disconnected); }
    static ConnectionPhase connecting() { return ConnectionPhase(Kind::Connecting); }
    static ConnectionPhase ready() { return ConnectionPhase(Kind::Ready); }
    static ConnectionPhase reconnecting() { return ConnectionPhase(Kind::Reconnecting); }
    static ConnectionPhase failed(QString message) { return ConnectionPhase(Kind::Failed, std::move(message)); }

    Kind kind() const { return m_kind; }
    // The failure's message; empty for the other cases.
    const QString &message() const { return m_message; }
    QString label() const;
    bool isConnected() const { return m_kind == Kind::Ready; }

    bool operator==(const ConnectionPhase &) const = default;

private:
    explicit ConnectionPhase(Kind kind, QString message = {}) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind = Kind::Disconnected;
    QString m_message;
};

// The client's live connection to one host base address: checks the host with
// "host.describe", keeps its description and a wire client for the address, keeps the two
// event streams open and hands every frame to the installed frame handler, and reconnects
// after a fixed pause when a stream ends while the connection is wanted. Main thread only.
class ConnectionController : public QObject
{
    Q_OBJECT
public:
    using FrameHandler = std::function<void(const ServerRequest &)>;

    static constexpr int kReconnectDelayMs = 1500;

    explicit ConnectionController(QObject *parent = nullptr);
    ~ConnectionController() override;

    ConnectionPhase phase() const { return m_phase; }
    // Of the last accepted "host.describe".
    const std::optional<HostDescription> &hostDescription() const { return m_hostDescription; }
    // The client for the current address, replaced at every attempt; every remote call of
    // the store and the session models goes through it.
    const std::optional<WireClient> &wire() const { return m_wire; }
    // The address the controller is meant to be connected to: set by connectTo() before
    // the host answered, cleared by disconnect().
    const std::optional<QUrl> &baseURL() const { return m_currentURL; }

    // Called on the main thread for each frame, one at a time; frames arriving while none is
    // set are dropped. The handler may call disconnect() or connectTo().
    void setFrameHandler(FrameHandler handler) { m_frameHandler = std::move(handler); }

    // launchFailure: why the address is a fallback (an embedded host that did not start);
    // while set, a failed check of the address reports it instead of its own refusal.
    void connectTo(QUrl url, QString launchFailure = {});
    // The store is looking for or launching a host and has no address yet.
    void markConnecting();
    void fail(QString message);
    // The host at the address has gone for good (the launched host exited): the phase fails
    // with the message and no reconnect is tried; the address and wire client stay, so that
    // views still show what was there until the next connect or disconnect.
    void abandon(QString message);
    // Drops the connection: no step still under way applies a result or reconnects.
    // (Hides QObject::disconnect(); that one is reached through QObject:: explicitly.)
    void disconnect();

    // Asked before every "host.describe", the first and each reconnect: false fails the
    // attempt with the address named and tries no more. The store sets it for hosts it found
    // on this machine, whose port another user's process may have taken since.
    using AddressCheck = std::function<QCoro::Task<bool>(QUrl url)>;
    void setAddressCheck(AddressCheck check) { m_addressCheck = std::move(check); }
    // The failure of an attempt whose address the check refused.
    static QString refusedAddressMessage(const QUrl &url);

    void setReconnectDelay(int ms) { m_reconnectDelayMs = ms; }
    int reconnectDelay() const { return m_reconnectDelayMs; }

    // The event stream address for a base address: "http" becomes "ws", "https" "wss", and
    // the path is joined to the base's with exactly one "/".
    static QUrl streamURL(const QUrl &baseURL, QStringView path);

Q_SIGNALS:
    void phaseChanged();
    void hostDescriptionChanged();
    void wireChanged();
    void baseURLChanged();

private:
    void setPhase(const ConnectionPhase &phase);
    void setHostDescription(std::optional<HostDescription> description);
    void setWire(std::optional<WireClient> wire);
    void setCurrentURL(std::optional<QUrl> url);

    void startConnection();
    QCoro::Task<void> describe(QUrl url, WireClient wire, quint64 attempt);
    bool openStreams(const QUrl &baseURL);
    EventStream *openStream(const QUrl &url);
    void cancelStream(QPointer<EventStream> &stream);
    void handleFrame(EventStream *stream, const ServerRequest &frame);
    void handleStreamEnd(EventStream *stream, const std::optional<QString> &error);
    void scheduleReconnect();
    void cancelReconnects();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    ConnectionPhase m_phase;
    std::optional<HostDescription> m_hostDescription;
    FrameHandler m_frameHandler;
    AddressCheck m_addressCheck;
    EventStreamClient m_streamClient;
    WireSession *m_session = nullptr; // shared by every wire client of this controller
    std::optional<WireClient> m_wire;
    std::optional<QUrl> m_currentURL;
    QPointer<EventStream> m_mux;
    QPointer<EventStream> m_host;
    bool m_shouldStayConnected = false;
    QString m_launchFailure;
    // Only the latest attempt's "host.describe" may set the phase: two reconnects after one
    // drop overlap, and an earlier one may answer last.
    quint64 m_attempt = 0;
    QList<QTimer *> m_reconnectTimers;
    int m_reconnectDelayMs = kReconnectDelayMs;
};

} // namespace nbd
