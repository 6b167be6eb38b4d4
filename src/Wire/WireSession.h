#pragma once

#include <QNetworkAccessManager>
#include <QObject>

namespace nbd {

// The transport that carries a client's requests (one per connection, or an ephemeral
// one for probing). Proxies are never used: the host is local. Destroying the session
// aborts its requests still in flight, so every waiting operation resumes with an error
// instead of hanging forever.
class WireSession : public QObject
{
    Q_OBJECT
public:
    explicit WireSession(QObject *parent = nullptr);
    ~WireSession() override;

    QNetworkAccessManager *manager() { return &m_manager; }

    // Each request's own limit: the longest it may go without receiving or sending data
    // (60 s; tests shorten it). A long transfer that keeps moving is never cut.
    static constexpr int kDefaultTransferIdleTimeoutMs = 60000;
    void setTransferIdleTimeout(int ms) { m_transferIdleTimeoutMs = ms; }
    int transferIdleTimeout() const { return m_transferIdleTimeoutMs; }

    // Extra limits of this session on top of each request's own time-out, in
    // milliseconds (0 = none): the longest pause without data, and the whole transfer.
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    void setResourceTimeout(int ms) { m_resourceTimeoutMs = ms; }
    int requestTimeout() const { return m_requestTimeoutMs; }
    int resourceTimeout() const { return m_resourceTimeoutMs; }

    // Aborts every request in flight.
    void invalidate();

private:
    QNetworkAccessManager m_manager;
    int m_transferIdleTimeoutMs = kDefaultTransferIdleTimeoutMs;
    int m_requestTimeoutMs = 0;
    int m_resourceTimeoutMs = 0;
};

} // namespace nbd
