#include "UI/Settings/SettingsSection.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QString settingsSectionRawValue(SettingsSection section)
{
    switch (section) {
    case SettingsSection::Connection: return u"connection"_s;
    case SettingsSection::Host: return u"host"_s;
    case SettingsSection::Plugins: return u"plugins"_s;
    case SettingsSection::Credentials: return u"credentials"_s;
    case SettingsSection::Skills: return u"skills"_s;
    case SettingsSection::About: return u"about"_s;
    }
    return {};
}

std::optional<SettingsSection> settingsSectionFromRawValue(const QString &raw)
{
    for (SettingsSection section : allSettingsSections) {
        if (settingsSectionRawValue(section) == raw)
            return section;
    }
    return std::nullopt;
}

QString settingsSectionTitle(SettingsSection section)
{
    switch (section) {
    case SettingsSection::Connection: return u"连接"_s;
    case SettingsSection::Host: return u"主机设置"_s;
    case SettingsSection::Plugins: return u"Plugin"_s;
    case SettingsSection::Credentials: return u"凭据"_s;
    case SettingsSection::Skills: return u"技能"_s;
    case SettingsSection::About: return u"关于"_s;
    }
    return {};
}

QString settingsSectionIcon(SettingsSection section)
{
    switch (section) {
    case SettingsSection::Connection: return u"link"_s;
    case SettingsSection::Host: return u"slider.horizontal.3"_s;
    case SettingsSection::Plugins: return u"puzzlepiece.extension"_s;
    case SettingsSection::Credentials: return u"key"_s;
    case SettingsSection::Skills: return u"wand.and.stars"_s;
    case SettingsSection::About: return u"info.circle"_s;
    }
    return {};
}

} // namespace nbd
