#include "Domain/Settings.h"

#include "Wire/JSONDecode.h"

#include <span>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const JSONValue *valueAt(const JSONValue &value, std::span<const QString> path)
{
    const JSONValue *at = &value;
    for (const QString &key : path) {
        at = at->isObject() ? at->find(key) : nullptr;
        if (!at)
            return nullptr;
    }
    return at;
}

JSONValue withoutPath(const JSONValue &value, std::span<const QString> path)
{
    if (path.empty() || !value.isObject())
        return value;
    JSONValue::Members members;
    for (const JSONMember &member : value.members()) {
        if (member.key != path.front())
            members.emplace_back(member.key, member.value);
        else if (path.size() > 1)
            members.emplace_back(member.key, withoutPath(member.value, path.subspan(1)));
    }
    return JSONValue::object(std::move(members));
}

} // namespace

QString editorText(const JSONValue &value)
{
    return QString::fromUtf8(value.prettyPrinted());
}

std::variant<SettingsPatch, QString> SettingsPatch::fromEditorText(const QString &text,
                                                                   const SettingsNamespaceView &loaded)
{
    const std::optional<JSONValue> parsed = tryParseJSON(text.toUtf8());
    if (!parsed)
        return u"不是合法的 JSON"_s;
    if (!parsed->isObject())
        return u"值必须是 JSON 对象"_s;
    return SettingsPatch{withoutUnchangedSecrets(*parsed, loaded)};
}

JSONValue SettingsPatch::withoutUnchangedSecrets(const JSONValue &edited, const SettingsNamespaceView &loaded)
{
    JSONValue result = edited;
    for (const SettingsSecretView &secret : loaded.secrets) {
        if (secret.path.empty())
            continue;
        const JSONValue *before = valueAt(loaded.value, secret.path);
        const JSONValue *now = valueAt(result, secret.path);
        if (before && now && *before == *now)
            result = withoutPath(result, secret.path);
    }
    return result;
}

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
