#pragma once

#include <QString>

#include <optional>

namespace nbd {

// The six sections of the Settings window, in the order of its section column.
enum class SettingsSection { Connection, Host, Plugins, Credentials, Skills, About };

inline constexpr SettingsSection allSettingsSections[] = {
    SettingsSection::Connection, SettingsSection::Host,   SettingsSection::Plugins,
    SettingsSection::Credentials, SettingsSection::Skills, SettingsSection::About,
};

QString settingsSectionRawValue(SettingsSection section);
// Exactly one of the six raw values (case-sensitive, whole string), else nothing.
std::optional<SettingsSection> settingsSectionFromRawValue(const QString &raw);
QString settingsSectionTitle(SettingsSection section);
// The section's symbol name.
QString settingsSectionIcon(SettingsSection section);

} // namespace nbd
