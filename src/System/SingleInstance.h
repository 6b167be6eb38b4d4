#pragma once

#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace nbd {

// What the desktop gave a launch so that the window it brings up may take the focus: the X11
// startup id (DESKTOP_STARTUP_ID) or the Wayland activation token (XDG_ACTIVATION_TOKEN).
struct ActivationToken
{
    QString startupId;
    QString activationToken;

    // Read before the application connects to the display: Qt takes the startup id out of the
    // environment there.
    static ActivationToken fromEnvironment();
    // Tokens are short printable ASCII; anything else another process sends is dropped.
    static QString sanitized(const QString &value);

    bool operator==(const ActivationToken &) const = default;
};

// One client per user session. The first launch owns the name dev.nimbrel.Deck on the session
// bus and answers org.freedesktop.Application.Activate at /dev/nimbrel/Deck; where there is no
// session bus, it listens on the local socket dev.nimbrel.Deck in XDG_RUNTIME_DIR instead. A
// later launch hands its token to that instance and exits.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    enum class Outcome {
        // This process is the one instance (or no way to find another exists): it goes on.
        Primary,
        // The running instance took the launch over: this process exits with status 0.
        HandedOver,
        // Another instance holds the name but did not answer (see lastError()).
        HandOverFailed,
    };

    static QString serviceName();
    static QString objectPath();

    // How long a later launch waits, in all, for the running instance to take it over: a
    // frozen instance must not keep the user waiting for long before being told.
    static constexpr int kAnswerTimeoutMs = 3000;

    // bus: the session bus (not connected: the local socket); runtimeDirectory: where the
    // socket lives (empty: no socket either). answerTimeoutMs bounds the whole wait for the
    // running instance's answer.
    SingleInstance(QDBusConnection bus, QString runtimeDirectory, QObject *parent = nullptr,
                   int answerTimeoutMs = kAnswerTimeoutMs);
    ~SingleInstance() override;

    // Blocking, once at start-up, before the event loop runs.
    Outcome claimOrHandOver(const ActivationToken &token);
    bool isPrimary() const { return m_primary; }
    // The socket's path (empty when the bus serves or there is no runtime directory).
    QString socketPath() const;
    const QString &lastError() const { return m_lastError; }

Q_SIGNALS:
    // A later launch asked for the main window, with the token it was given.
    void activationRequested(const nbd::ActivationToken &token);

private:
    friend class ApplicationAdaptor;

    enum class Attempt { Claimed, Taken, Failed };
    Attempt claimOnBus();
    bool handOverOnBus(const ActivationToken &token, const QDeadlineTimer &deadline);
    Outcome claimOrHandOverOnSocket(const ActivationToken &token, const QDeadlineTimer &deadline);
    bool handOverOnSocket(QLocalSocket &socket, const ActivationToken &token, const QDeadlineTimer &deadline);
    void serve(QLocalSocket *socket);

    QDBusConnection m_bus;
    QString m_runtimeDirectory;
    int m_answerTimeoutMs;
    bool m_primary = false;
    bool m_objectRegistered = false;
    QLocalServer *m_server = nullptr;
    QString m_lastError;
};

} // namespace nbd

Q_DECLARE_METATYPE(nbd::ActivationToken)
