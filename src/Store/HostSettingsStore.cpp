#include "Store/HostSettingsStore.h"

#include "Connection/ConnectionController.h"
#include "Wire/WireClient.h"

using namespace Qt::StringLiterals;

namespace nbd {

HostSettingsStore::HostSettingsStore(ConnectionController *connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
{
}

QCoro::Task<std::variant<SettingsDescribeValue, QString>> HostSettingsStore::describeSettings()
{
    using Result = std::variant<SettingsDescribeValue, QString>;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return Result(u"未连接"_s);
    try {
        SettingsDescribeValue described =
            co_await client->call<SettingsDescribeValue>(u"settings.describe"_s, JSONValue::emptyObject());
        co_return Result(std::move(described));
    } catch (...) {
        co_return Result(describeError(std::current_exception()));
    }
}

QCoro::Task<std::variant<SettingsNamespaceView, QString>>
HostSettingsStore::updateSettings(QString ns, JSONValue value, std::optional<qint64> expectedRevision)
{
    using Result = std::variant<SettingsNamespaceView, QString>;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return Result(u"未连接"_s);
    JSONValue payload = JSONValue::object({{u"ns"_s, ns}, {u"patch"_s, value}});
    if (expectedRevision)
        payload = payload.with(u"expectedRevision"_s, *expectedRevision);
    try {
        SettingsNamespaceView updated = co_await client->call<SettingsNamespaceView>(u"settings.update"_s, payload);
        co_return Result(std::move(updated));
    } catch (...) {
        co_return Result(describeError(std::current_exception()));
    }
}

QCoro::Task<std::optional<CredentialView>> HostSettingsStore::describeCredential(QString name)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return std::nullopt;
    const JSONValue payload = JSONValue::object({{u"refs"_s, JSONValue::array({JSONValue(name)})}});
    try {
        const CredentialsDescribeValue described =
            co_await client->call<CredentialsDescribeValue>(u"credentials.describe"_s, payload);
        const auto found = described.credentials.find(name);
        if (found == described.credentials.end())
            co_return std::nullopt;
        co_return found->second;
    } catch (...) {
        co_return std::nullopt;
    }
}

QCoro::Task<std::optional<QString>> HostSettingsStore::setCredential(QString name, QString value)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return u"未连接"_s;
    // The secret lives in this payload only: it is neither kept nor written to any log.
    const JSONValue payload = JSONValue::object({{u"ref"_s, name}, {u"value"_s, value}});
    value.clear();
    try {
        co_await client->call(u"credentials.set"_s, payload);
    } catch (...) {
        co_return describeError(std::current_exception());
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> HostSettingsStore::unsetCredential(QString name)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return u"未连接"_s;
    const JSONValue payload = JSONValue::object({{u"ref"_s, name}});
    try {
        co_await client->call(u"credentials.unset"_s, payload);
    } catch (...) {
        co_return describeError(std::current_exception());
    }
    co_return std::nullopt;
}

QCoro::Task<std::vector<SkillEntry>> HostSettingsStore::listSkills(QString sessionId)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return std::vector<SkillEntry>();
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
    try {
        SkillListValue list = co_await client->call<SkillListValue>(u"skill.list"_s, payload);
        co_return std::move(list.skills);
    } catch (...) {
        co_return std::vector<SkillEntry>();
    }
}

} // namespace nbd
