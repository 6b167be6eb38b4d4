#include "Domain/Settings.h"

#include "Wire/JSONDecode.h"

namespace nbd {

SettingsSecretView SettingsSecretView::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SettingsSecretView s;
    s.path = json::field<std::vector<QString>>(value, u"path");
    s.set = json::boolean(value, u"set");
    return s;
}

SettingsNamespaceView SettingsNamespaceView::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SettingsNamespaceView n;
    n.ns = json::string(value, u"ns");
    n.schema = json::member(value, u"schema");
    n.value = json::member(value, u"value");
    n.base = json::optValue(value, u"base");
    n.user = json::optValue(value, u"user");
    n.applies = json::string(value, u"applies");
    n.secrets = json::field<std::vector<SettingsSecretView>>(value, u"secrets");
    n.revision = json::integer(value, u"revision");
    return n;
}

SettingsDescribeValue SettingsDescribeValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SettingsDescribeValue d;
    d.writable = json::boolean(value, u"writable");
    d.hasDocument = json::boolean(value, u"hasDocument");
    d.namespaces = json::field<std::vector<SettingsNamespaceView>>(value, u"namespaces");
    return d;
}

CredentialView CredentialView::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    CredentialView c;
    c.configured = json::boolean(value, u"configured");
    c.source = json::optString(value, u"source");
    c.writable = json::boolean(value, u"writable");
    return c;
}

CredentialsDescribeValue CredentialsDescribeValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::field<std::map<QString, CredentialView, std::less<>>>(value, u"credentials")};
}

SkillEntry SkillEntry::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SkillEntry s;
    s.name = json::string(value, u"name");
    s.description = json::string(value, u"description");
    s.whenToUse = json::optString(value, u"whenToUse");
    s.modelInvocable = json::boolean(value, u"modelInvocable");
    return s;
}

SkillListValue SkillListValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::field<std::vector<SkillEntry>>(value, u"skills")};
}

} // namespace nbd
