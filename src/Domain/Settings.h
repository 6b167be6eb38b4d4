#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <map>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace nbd {

// A secret slot inside a namespace's value.
struct SettingsSecretView
{
    std::vector<QString> path; // key path inside the value, shown joined with "."
    bool set = false;

    static SettingsSecretView fromJson(const JSONValue &value);
    bool operator==(const SettingsSecretView &) const = default;
};

// One settings namespace; also the answer to "settings.update".
struct SettingsNamespaceView
{
    QString ns;
    JSONValue schema; // key required; null is a value
    JSONValue value;  // key required; null is a value
    std::optional<JSONValue> base;
    std::optional<JSONValue> user;
    QString applies; // "live" when a change applies at once
    std::vector<SettingsSecretView> secrets;
    qint64 revision = 0;

    static SettingsNamespaceView fromJson(const JSONValue &value);
    const QString &id() const { return ns; }

    bool operator==(const SettingsNamespaceView &) const = default;
};

// The settings editor's text of a value: pretty-printed JSON with sorted keys.
QString editorText(const JSONValue &value);

// The value at a secret slot's path: each text of the path is a member name of an object, or
// the index of an element of an array ("0", "12"); nothing when the path leads nowhere.
const JSONValue *settingsValueAt(const JSONValue &value, std::span<const QString> path);

// What "保存" sends for one namespace, read from its editor: a merge patch against the value
// the host gave. Members left out stay as the host stores them and null removes one, so a
// secret the host only ever showed masked is kept by leaving it out; everything else the
// editor holds is sent, so the patch carries the edited object whole but for those secrets.
struct SettingsPatch
{
    JSONValue value; // a JSON object

    // The editor's text as it is sent, or the message shown under the editor: any JSON text
    // is read, a bare scalar or array included, so that valid JSON of the wrong shape is told
    // apart from text that is not JSON at all.
    static std::variant<SettingsPatch, QString> fromEditorText(const QString &text, const SettingsNamespaceView &loaded);
    // The patch that turns the host's value into the edited object while every set secret
    // the editor still holds as the host gave it (its mask) stays as stored; or why nothing
    // is sent: unchangedMessage() when the edit is the host's value, or a refusal when a
    // changed array would replace a stored secret by its mask.
    static std::variant<SettingsPatch, QString> fromEdit(const JSONValue &edited, const SettingsNamespaceView &loaded);
    static QString unchangedMessage();

    bool operator==(const SettingsPatch &) const = default;
};

// "settings.describe"
struct SettingsDescribeValue
{
    bool writable = false;
    bool hasDocument = false;
    std::vector<SettingsNamespaceView> namespaces;

    static SettingsDescribeValue fromJson(const JSONValue &value);
    bool operator==(const SettingsDescribeValue &) const = default;
};

// The state of one credential.
struct CredentialView
{
    bool configured = false;
    std::optional<QString> source;
    bool writable = false;

    static CredentialView fromJson(const JSONValue &value);
    bool operator==(const CredentialView &) const = default;
};

// "credentials.describe": the state of each asked-for credential, by name.
struct CredentialsDescribeValue
{
    std::map<QString, CredentialView, std::less<>> credentials;

    static CredentialsDescribeValue fromJson(const JSONValue &value);
    bool operator==(const CredentialsDescribeValue &) const = default;
};

// One skill available to a session.
struct SkillEntry
{
    QString name;
    QString description;
    std::optional<QString> whenToUse;
    bool modelInvocable = false;

    static SkillEntry fromJson(const JSONValue &value);
    const QString &id() const { return name; }

    bool operator==(const SkillEntry &) const = default;
};

// "skill.list"
struct SkillListValue
{
    std::vector<SkillEntry> skills;

    static SkillListValue fromJson(const JSONValue &value);
    bool operator==(const SkillListValue &) const = default;
};

} // namespace nbd
