#include "UI/Settings/SettingsSection.h"

#include "UI/Shared/EnumTable.h"

namespace nbd {

namespace {

struct SectionTexts
{
    SettingsSection value;
    QStringView raw;
    QStringView title;
    QStringView icon; // a symbol name
};

constexpr SectionTexts sectionTexts[] = {
    {SettingsSection::Connection, u"connection", u"连接", u"link"},
    {SettingsSection::Host, u"host", u"主机设置", u"slider.horizontal.3"},
    {SettingsSection::Plugins, u"plugins", u"Plugin", u"puzzlepiece.extension"},
    {SettingsSection::Credentials, u"credentials", u"凭据", u"key"},
    {SettingsSection::Skills, u"skills", u"技能", u"wand.and.stars"},
    {SettingsSection::About, u"about", u"关于", u"info.circle"},
};
static_assert(listsEnumInOrder(sectionTexts, SettingsSection::About));

} // namespace

QString settingsSectionRawValue(SettingsSection section)
{
    return enumText(sectionTexts, section, &SectionTexts::raw);
}

std::optional<SettingsSection> settingsSectionFromRawValue(const QString &raw)
{
    return enumFromText(sectionTexts, &SectionTexts::raw, raw);
}

QString settingsSectionTitle(SettingsSection section)
{
    return enumText(sectionTexts, section, &SectionTexts::title);
}

QString settingsSectionIcon(SettingsSection section)
{
    return enumText(sectionTexts, section, &SectionTexts::icon);
}

} // namespace nbd
