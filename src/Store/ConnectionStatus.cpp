#include "Store/ConnectionStatus.h"

#include "Store/ConnectionSettings.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QString connectionTitle(const std::optional<HostDescription> &description)
{
    return description ? u"NBD "_s + description->version : u"Nimbrel Deck"_s;
}

QString connectionDetail(const ConnectionPhase &phase, const NBDProcessManager::Phase &process, LaunchMode mode)
{
    if (phase.kind() != ConnectionPhase::Kind::Ready)
        return phase.label();
    switch (process.kind) {
    case NBDProcessManager::Phase::Kind::Attached: return u"已附着本地 Host"_s;
    case NBDProcessManager::Phase::Kind::Running: return u"内置 Host"_s;
    default: return mode == LaunchMode::External ? u"外部 Host"_s : u"本地 Host"_s;
    }
}

ConnectionStatus::ConnectionStatus(ConnectionController *connection, NBDProcessManager *nbdProcess,
                                   ConnectionSettings *settings, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_nbdProcess(nbdProcess)
    , m_settings(settings)
{
    if (connection && nbdProcess && settings) {
        connect(connection, &ConnectionController::phaseChanged, this, &ConnectionStatus::refresh);
        connect(connection, &ConnectionController::hostDescriptionChanged, this, &ConnectionStatus::refresh);
        connect(nbdProcess, &NBDProcessManager::phaseChanged, this, &ConnectionStatus::refresh);
        connect(connection, &ConnectionController::phaseChanged, this, &ConnectionStatus::phaseChanged);
        connect(connection, &ConnectionController::hostDescriptionChanged, this,
                &ConnectionStatus::hostDescriptionChanged);
        connect(nbdProcess, &NBDProcessManager::logLinesChanged, this, &ConnectionStatus::hostLogChanged);
        connect(settings, &ConnectionSettings::launchModeChanged, this, &ConnectionStatus::refresh);
    }
    refresh();
}

std::optional<HostDescription> ConnectionStatus::hostDescription() const
{
    return m_connection ? m_connection->hostDescription() : std::nullopt;
}

QStringList ConnectionStatus::hostLogLines() const { return m_nbdProcess ? m_nbdProcess->logLines() : QStringList(); }

void ConnectionStatus::refresh()
{
    ConnectionPhase phase;
    QString title = connectionTitle(std::nullopt);
    QString detail = phase.label();
    if (m_connection && m_nbdProcess && m_settings) {
        phase = m_connection->phase();
        title = connectionTitle(m_connection->hostDescription());
        detail = connectionDetail(phase, m_nbdProcess->phase(), m_settings->launchMode());
    }
    if (phase == m_phase && title == m_title && detail == m_detail)
        return;
    m_phase = std::move(phase);
    m_title = std::move(title);
    m_detail = std::move(detail);
    Q_EMIT changed();
}

} // namespace nbd
