#include "Domain/Settings.h"

#include "Wire/JSONDecode.h"

#include <QStringList>

#include <algorithm>
#include <span>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// An array index as a path text: decimal digits without a sign or leading zeros.
std::optional<size_t> arrayIndex(const QString &text)
{
    if (text.isEmpty() || text.size() > 15 || (text.size() > 1 && text.front() == u'0'))
        return std::nullopt;
    size_t index = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        index = index * 10 + size_t(c.unicode() - u'0');
    }
    return index;
}

const JSONValue *childAt(const JSONValue &value, const QString &text)
{
    if (value.isObject())
        return value.find(text);
    if (value.isArray()) {
        const std::optional<size_t> index = arrayIndex(text);
        return index && *index < value.elements().size() ? &value.elements()[*index] : nullptr;
    }
    return nullptr;
}

// Whether `shown` sits in `value` at `path`, or at a path like it in another element of any
// array on the way (where an edit moved it).
bool holdsAnywhereAlong(const JSONValue &value, std::span<const QString> path, const JSONValue &shown)
{
    if (path.empty())
        return value == shown;
    if (value.isArray()) {
        for (const JSONValue &element : value.elements()) {
            if (holdsAnywhereAlong(element, path.subspan(1), shown))
                return true;
        }
        return false;
    }
    const JSONValue *child = childAt(value, path.front());
    return child && holdsAnywhereAlong(*child, path.subspan(1), shown);
}

QString joinedPath(std::span<const QString> path)
{
    return QStringList(path.begin(), path.end()).join(u'.');
}

bool startsWith(std::span<const QString> path, std::span<const QString> prefix)
{
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// Builds the merge patch from the host's value to the edited one, member by member.
class PatchBuilder
{
public:
    PatchBuilder(const JSONValue &edited, const SettingsNamespaceView &loaded) : m_edited(edited)
    {
        for (const SettingsSecretView &secret : loaded.secrets) {
            if (secret.set && !secret.path.empty())
                m_stored.push_back({secret.path, settingsValueAt(loaded.value, secret.path)});
        }
    }

    // What the patch holds for the member at `path` that the host had as `before` (nothing
    // when absent) and the editor has as `after`; nothing means leave it out.
    std::optional<JSONValue> member(const JSONValue *before, const JSONValue &after, std::vector<QString> &path)
    {
        // Null is how a merge patch removes a member: send it only to remove one that was there.
        if (after.isNull())
            return before && !before->isNull() ? std::optional(after) : std::nullopt;
        if (const StoredSecret *secret = storedAt(path)) {
            if (secret->shown && before && *before == after)
                return std::nullopt;
            return after;
        }
        if (before && before->isObject() && after.isObject()) {
            JSONValue object = members(*before, after, path);
            if (object.size() == 0 && after.size() > 0)
                return std::nullopt; // it held only secrets left as they are
            return object;
        }
        if (!holdsStoredSecret(path))
            return after;
        if (before && *before == after)
            return std::nullopt;
        // A value sent whole replaces what the host stores under it: refuse when a stored
        // secret in there would become its own mask, or go without the user setting it anew.
        for (const StoredSecret &secret : m_stored) {
            if (secret.path.size() <= path.size() || !startsWith(secret.path, path))
                continue;
            const std::span<const QString> below = secret.path.subspan(path.size());
            const bool lost = secret.shown ? holdsAnywhereAlong(after, below, *secret.shown)
                                           : !settingsValueAt(m_edited, secret.path);
            if (lost && !m_refusal)
                m_refusal = refusal(path, secret.path);
        }
        return after;
    }

    JSONValue members(const JSONValue &before, const JSONValue &after, std::vector<QString> &path)
    {
        JSONValue::Members out;
        for (const JSONMember &m : after.members()) {
            path.push_back(m.key);
            std::optional<JSONValue> value = member(before.find(m.key), m.value, path);
            path.pop_back();
            if (value)
                out.emplace_back(m.key, std::move(*value));
        }
        for (const JSONMember &m : before.members()) {
            if (!after.contains(m.key))
                out.emplace_back(m.key, JSONValue());
        }
        return JSONValue::object(std::move(out));
    }

    const std::optional<QString> &refused() const { return m_refusal; }

private:
    struct StoredSecret
    {
        std::span<const QString> path;
        const JSONValue *shown; // what the host showed in its place (a mask), if anything
    };

    const StoredSecret *storedAt(std::span<const QString> path) const
    {
        for (const StoredSecret &secret : m_stored) {
            if (std::ranges::equal(secret.path, path))
                return &secret;
        }
        return nullptr;
    }

    bool holdsStoredSecret(std::span<const QString> path) const
    {
        return std::ranges::any_of(m_stored, [&](const StoredSecret &secret) {
            return secret.path.size() > path.size() && startsWith(secret.path, path);
        });
    }

    static QString refusal(std::span<const QString> changed, std::span<const QString> secret)
    {
        const QString where = changed.empty() ? u"设置值"_s : joinedPath(changed);
        return u"无法保存：%1 有改动，整体发送会覆盖已保存的密钥 %2；请在编辑器中重新填写 %2 后再保存"_s.arg(
            where, joinedPath(secret));
    }

    const JSONValue &m_edited;
    std::vector<StoredSecret> m_stored;
    std::optional<QString> m_refusal;
};

} // namespace

const JSONValue *settingsValueAt(const JSONValue &value, std::span<const QString> path)
{
    const JSONValue *at = &value;
    for (const QString &text : path) {
        at = childAt(*at, text);
        if (!at)
            return nullptr;
    }
    return at;
}

QString editorText(const JSONValue &value)
{
    return QString::fromUtf8(value.prettyPrinted());
}

QString SettingsPatch::unchangedMessage()
{
    return u"没有更改"_s;
}

std::variant<SettingsPatch, QString> SettingsPatch::fromEditorText(const QString &text,
                                                                   const SettingsNamespaceView &loaded)
{
    const std::optional<JSONValue> parsed = tryParseJSON(text.toUtf8());
    if (!parsed)
        return u"不是合法的 JSON"_s;
    if (!parsed->isObject())
        return u"值必须是 JSON 对象"_s;
    return fromEdit(*parsed, loaded);
}

std::variant<SettingsPatch, QString> SettingsPatch::fromEdit(const JSONValue &edited,
                                                             const SettingsNamespaceView &loaded)
{
    if (edited == loaded.value)
        return unchangedMessage();
    PatchBuilder builder(edited, loaded);
    std::vector<QString> path;
    const std::optional<JSONValue> patch = builder.member(&loaded.value, edited, path);
    if (builder.refused())
        return *builder.refused();
    if (!patch || (patch->size() == 0 && loaded.value.isObject()))
        return unchangedMessage();
    return SettingsPatch{*patch};
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
