#pragma once

#include "Domain/Models.h"
#include "Wire/JSONValue.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace nbd {

class ConnectionController;

// The host's own settings, credentials and skills, read and changed on request. Holds no
// state: each call answers with what the host said, or why it could not ask.
class HostSettingsStore : public QObject
{
    Q_OBJECT
public:
    explicit HostSettingsStore(ConnectionController *connection, QObject *parent = nullptr);

    // The host's settings, or why they could not be read ("未连接" without a connection, else
    // the failure's description).
    QCoro::Task<std::variant<SettingsDescribeValue, QString>> describeSettings();
    // The namespace as the host stored it, or why it did not ("未连接", the host's error).
    QCoro::Task<std::variant<SettingsNamespaceView, QString>> updateSettings(QString ns, JSONValue value,
                                                                             std::optional<qint64> expectedRevision);
    QCoro::Task<std::optional<CredentialView>> describeCredential(QString name);
    // Nothing on success, else the error's description.
    QCoro::Task<std::optional<QString>> setCredential(QString name, QString value);
    QCoro::Task<std::optional<QString>> unsetCredential(QString name);
    // Empty when the list cannot be read: the tab then shows no skills.
    QCoro::Task<std::vector<SkillEntry>> listSkills(QString sessionId);

private:
    ConnectionController *m_connection = nullptr;
};

} // namespace nbd
