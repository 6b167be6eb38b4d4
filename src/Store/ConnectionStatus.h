#pragma once

#include "Connection/ConnectionController.h"
#include "Connection/NBDProcessManager.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

namespace nbd {

class ConnectionSettings;
enum class LaunchMode;

// "NBD <version>" once a host described itself, else the product name.
QString connectionTitle(const std::optional<HostDescription> &description);
// The phase's label until the connection is ready; then where the host came from.
QString connectionDetail(const ConnectionPhase &phase, const NBDProcessManager::Phase &process, LaunchMode mode);

// The connection as the window shows it, gathered from the controller, the host process and
// the launch mode, so that views follow one owner instead of the connection layer itself.
// changed() is emitted only when the phase or one of the texts really changed.
class ConnectionStatus : public QObject
{
    Q_OBJECT
public:
    // Shows a disconnected client unless all three are given.
    ConnectionStatus(ConnectionController *connection, NBDProcessManager *nbdProcess, ConnectionSettings *settings,
                     QObject *parent = nullptr);

    const ConnectionPhase &phase() const { return m_phase; }
    bool isReady() const { return m_phase.kind() == ConnectionPhase::Kind::Ready; }
    const QString &title() const { return m_title; }
    const QString &detail() const { return m_detail; }
    // What the host said of itself, once connected.
    std::optional<HostDescription> hostDescription() const;
    // The output of the host this client launched, newest last.
    QStringList hostLogLines() const;

Q_SIGNALS:
    void changed();
    // Passed on from the connection layer as they come, for views that show more than the
    // summary above.
    void phaseChanged();
    void hostDescriptionChanged();
    void hostLogChanged();

private:
    void refresh();

    QPointer<ConnectionController> m_connection;
    QPointer<NBDProcessManager> m_nbdProcess;
    QPointer<ConnectionSettings> m_settings;
    ConnectionPhase m_phase;
    QString m_title;
    QString m_detail;
};

} // namespace nbd
