#include "Domain/Settings.h"

#include "Wire/JSONDecode.h"

#include <QHash>
#include <QStringList>

#include <algorithm>
#include <map>
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

QString joinedPath(std::span<const QString> path)
{
    return QStringList(path.begin(), path.end()).join(u'.');
}

bool startsWith(std::span<const QString> path, std::span<const QString> prefix)
{
    return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// A stored secret's mask as it may turn up in an edited value: its member name (none for an
// array element) and the value the host showed.
using MaskSighting = std::pair<QString, JSONValue>;

// Builds the merge patch from the host's value to the edited one, member by member.
class PatchBuilder
{
public:
    PatchBuilder(const JSONValue &edited, const SettingsNamespaceView &loaded)
        : m_edited(edited)
        , m_loaded(loaded.value)
    {
        for (const SettingsSecretView &secret : loaded.secrets) {
            if (secret.set && !secret.path.empty())
                m_stored.emplace(secret.path, settingsValueAt(loaded.value, secret.path));
        }
    }

    // What the patch holds for the member at `path` that the host had as `before` (nothing
    // when absent) and the editor has as `after`; nothing means leave it out.
    std::optional<JSONValue> member(const JSONValue *before, const JSONValue &after, std::vector<QString> &path)
    {
        // Null is how a merge patch removes a member: send it only to remove one that was there.
        if (after.isNull())
            return before && !before->isNull() ? std::optional(after) : std::nullopt;
        const auto stored = m_stored.find(path);
        if (stored != m_stored.end()) {
            if (stored->second && before && *before == after)
                return std::nullopt;
            return after;
        }
        if (before && before->isObject() && after.isObject()) {
            JSONValue object = members(*before, after, path);
            if (object.size() == 0 && after.size() > 0)
                return std::nullopt; // it held only secrets left as they are
            return object;
        }
        const auto [first, last] = storedBelow(path);
        if (first == last)
            return after;
        if (before && *before == after)
            return std::nullopt;
        if (!m_refusal)
            refuseIfLosing(first, last, after, path);
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
    // Stored secrets by path (what the host showed in their place, if anything), in path
    // order so that those under one member lie side by side.
    using Stored = std::map<std::vector<QString>, const JSONValue *>;

    std::pair<Stored::const_iterator, Stored::const_iterator> storedBelow(const std::vector<QString> &path) const
    {
        auto first = m_stored.upper_bound(path);
        auto last = first;
        while (last != m_stored.end() && startsWith(last->first, path))
            ++last;
        return {first, last};
    }

    // A value sent whole replaces what the host stores under it: refuse when a stored secret
    // in there would become its own mask (wherever the edit moved it), or go without the
    // user setting it anew.
    void refuseIfLosing(Stored::const_iterator first, Stored::const_iterator last, const JSONValue &after,
                        std::span<const QString> path)
    {
        QHash<MaskSighting, std::span<const QString>> masks;
        for (auto it = first; it != last; ++it) {
            const std::vector<QString> &secret = it->first;
            if (!it->second) {
                if (!settingsValueAt(m_edited, secret)) {
                    m_refusal = refusal(path, secret);
                    return;
                }
                continue;
            }
            const JSONValue *holder = settingsValueAt(m_loaded, std::span(secret).first(secret.size() - 1));
            masks.insert({holder && holder->isArray() ? QString() : secret.back(), *it->second}, secret);
        }
        if (const std::span<const QString> *secret = sighted(after, masks))
            m_refusal = refusal(path, *secret);
    }

    static const std::span<const QString> *sighted(const JSONValue &value,
                                                   const QHash<MaskSighting, std::span<const QString>> &masks)
    {
        if (value.isObject()) {
            for (const JSONMember &m : value.members()) {
                const auto found = masks.constFind({m.key, m.value});
                if (found != masks.constEnd())
                    return &*found;
                if (const std::span<const QString> *secret = sighted(m.value, masks))
                    return secret;
            }
        } else if (value.isArray()) {
            for (const JSONValue &element : value.elements()) {
                const auto found = masks.constFind({QString(), element});
                if (found != masks.constEnd())
                    return &*found;
                if (const std::span<const QString> *secret = sighted(element, masks))
                    return secret;
            }
        }
        return nullptr;
    }

    static QString refusal(std::span<const QString> changed, std::span<const QString> secret)
    {
        const QString where = changed.empty() ? u"设置值"_s : joinedPath(changed);
        return u"无法保存：%1 有改动，整体发送会覆盖已保存的密钥 %2；请在编辑器中重新填写 %2 后再保存"_s.arg(
            where, joinedPath(secret));
    }

    const JSONValue &m_edited;
    const JSONValue &m_loaded;
    Stored m_stored;
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
