#pragma once

#include "Domain/ModelCatalogue.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Subagents.h"
#include "Session/Transcript.h"

#include <QString>

#include <optional>
#include <vector>

// What the composer's controls show and send, apart from the widgets that draw them.
namespace nbd::composer {

// ---- Prompt field and action button ----

// Whether the text may be sent: never while a subagent run is shown whose parent cannot take
// prompts; otherwise when the text holds something besides blanks and line breaks.
bool canSend(const QString &text, const std::optional<SelectedSubagent> &subagent);
QString placeholder(const std::optional<SelectedSubagent> &subagent);
// The prompt field takes no input while the shown subagent's parent is unavailable.
bool promptFieldEnabled(const std::optional<SelectedSubagent> &subagent);

enum class ActionButtonMode { Send, Stop };
inline ActionButtonMode actionButtonMode(bool running) { return running ? ActionButtonMode::Stop : ActionButtonMode::Send; }
inline constexpr QStringView sendToolTip = names::sendButtonToolTip;
inline constexpr QStringView stopToolTip = u"停止运行";

// The prompt field grows from one line to fourteen, then scrolls.
inline constexpr int kMinPromptLines = 1;
inline constexpr int kMaxPromptLines = 14;
int visiblePromptLines(int contentLines);

// ---- Model picker ----

// "模型" without a catalogue, else the current model id after its last "/".
QString modelLabel(const std::optional<SessionModelsValue> &catalog);
bool isCurrentModel(const SessionModelsValue &catalog, const ModelProviderGroup &group, const ModelCatalogModel &model);

// ---- Run-mode menu ----

struct RunModeButton
{
    QString icon;
    QString text;
    bool operator==(const RunModeButton &) const = default;
};
RunModeButton runModeButton(bool planActive, bool planPending);

enum class RunMode { Agent, Plan };
// The command a choice sends, read against the plan state at the moment it is chosen;
// nothing when the chosen mode is already in force.
std::optional<QString> planCommand(RunMode chosen, bool planActive);
// "checkmark" for the mode in force, "circle" for the other.
QString runModeItemIcon(RunMode item, bool planActive);

// ---- Permission presets ----

inline constexpr QStringView customPermissionValue = u"custom";
bool isFullAccessPreset(const QString &value);
QString permissionLabel(const QString &value, const QString &fallback);
QString permissionIcon(const QString &value);
// The options offered in the menu: every one but "custom".
std::vector<PermissionOption> visiblePermissionOptions(const PermissionState &state);
// The text on the menu's button.
QString permissionMenuLabel(const PermissionState &state, const std::optional<QString> &pendingValue);
// The value the button's icon and the checkmark follow: the pending one while set.
QString shownPermissionValue(const PermissionState &state, const std::optional<QString> &pendingValue);

struct PermissionMenuItem
{
    PermissionOption option;
    QString title;
    QString icon;
    bool enabled = true;
    bool operator==(const PermissionMenuItem &) const = default;
};
std::vector<PermissionMenuItem> permissionMenuItems(const PermissionState &state,
                                                    const std::optional<QString> &pendingValue);

} // namespace nbd::composer
