#include "UI/Composer/ComposerLogic.h"

#include "Domain/Trimming.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd::composer {

bool canSend(const QString &text, const std::optional<SelectedSubagent> &subagent)
{
    if (subagent && !subagent->parentAvailable)
        return false;
    return !text::trimWhitespaceAndNewlines(text).isEmpty();
}

QString placeholder(const std::optional<SelectedSubagent> &subagent)
{
    if (subagent && !subagent->parentAvailable)
        return u"父会话当前不可用"_s;
    if (subagent)
        return u"继续此子代理"_s;
    return u"询问 Nimbrel Deck"_s;
}

bool promptFieldEnabled(const std::optional<SelectedSubagent> &subagent)
{
    return !subagent || subagent->parentAvailable;
}

int visiblePromptLines(int contentLines)
{
    return std::clamp(contentLines, kMinPromptLines, kMaxPromptLines);
}

QString modelLabel(const std::optional<SessionModelsValue> &catalog)
{
    if (!catalog)
        return u"模型"_s;
    const QString &model = catalog->current.model;
    return model.mid(model.lastIndexOf(u'/') + 1);
}

bool isCurrentModel(const SessionModelsValue &catalog, const ModelProviderGroup &group, const ModelCatalogModel &model)
{
    return model.id == catalog.current.model && group.id == catalog.current.provider;
}

RunModeButton runModeButton(bool planActive, bool planPending)
{
    const QString icon = planActive ? u"map"_s : u"terminal"_s;
    if (planPending)
        return {icon, u"切换中"_s};
    return {icon, planActive ? u"计划"_s : u"Agent"_s};
}

std::optional<QString> planCommand(RunMode chosen, bool planActive)
{
    if (chosen == RunMode::Agent && planActive)
        return u"/plan off"_s;
    if (chosen == RunMode::Plan && !planActive)
        return u"/plan"_s;
    return std::nullopt;
}

QString runModeItemIcon(RunMode item, bool planActive)
{
    const bool inForce = (item == RunMode::Plan) == planActive;
    return inForce ? u"checkmark"_s : u"circle"_s;
}

bool isFullAccessPreset(const QString &value)
{
    return value == u"danger-full-access" || value == u"full-access";
}

QString permissionLabel(const QString &value, const QString &fallback)
{
    if (value == u"workspace-write")
        return u"工作区写入"_s;
    if (value == u"read-only")
        return u"只读"_s;
    if (isFullAccessPreset(value))
        return u"完全访问"_s;
    return fallback;
}

QString permissionIcon(const QString &value)
{
    if (value == u"read-only")
        return u"lock"_s;
    if (isFullAccessPreset(value))
        return u"exclamationmark.shield"_s;
    return u"pencil.and.outline"_s;
}

std::vector<PermissionOption> visiblePermissionOptions(const PermissionState &state)
{
    std::vector<PermissionOption> visible;
    for (const PermissionOption &option : state.options) {
        if (option.value != customPermissionValue)
            visible.push_back(option);
    }
    return visible;
}

QString permissionMenuLabel(const PermissionState &state, const std::optional<QString> &pendingValue)
{
    if (pendingValue)
        return u"切换中"_s;
    for (const PermissionOption &option : state.options) {
        if (option.value == state.currentValue)
            return permissionLabel(option.value, option.name);
    }
    return permissionLabel(state.currentValue, state.currentValue);
}

QString shownPermissionValue(const PermissionState &state, const std::optional<QString> &pendingValue)
{
    return pendingValue.value_or(state.currentValue);
}

std::vector<PermissionMenuItem> permissionMenuItems(const PermissionState &state,
                                                    const std::optional<QString> &pendingValue)
{
    const QString shown = shownPermissionValue(state, pendingValue);
    std::vector<PermissionMenuItem> items;
    for (const PermissionOption &option : visiblePermissionOptions(state)) {
        PermissionMenuItem item;
        item.option = option;
        item.title = permissionLabel(option.value, option.name);
        item.icon = option.value == shown ? u"checkmark"_s : permissionIcon(option.value);
        item.enabled = option.value != state.currentValue && !pendingValue;
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace nbd::composer
