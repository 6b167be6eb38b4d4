#pragma once

#include "UI/Shared/RuntimeInspectorPanel.h"
#include "UI/Shared/TrajectoryEventSelection.h"

#include <QString>
#include <QUrl>
#include <QUuid>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace nbd {

class SessionModel;

// The closed set of workspace tools, in their declaration order.
enum class WorkspaceTool { SessionInspector, Review, Terminal, Browser, Files, SideChat };

// "sessionInspector", "review", …: the tool's identity.
QString workspaceToolRawValue(WorkspaceTool tool);
// Exactly one of the six raw values (case-sensitive); anything else names no tool.
std::optional<WorkspaceTool> workspaceToolFromRawValue(const QString &raw);
// The tool's display name: tab title, launcher row and menu item.
QString workspaceToolLabel(WorkspaceTool tool);
// The symbol name of the tool's icon.
QString workspaceToolIcon(WorkspaceTool tool);
// The shortcut of the tool's menu command as the menu shows it ("Ctrl+T"); none for the
// session inspector. A display hint only: the menu registers the shortcut.
std::optional<QString> workspaceToolShortcut(WorkspaceTool tool);
// The tools of the launcher and of the new-tool menu, in that order.
inline constexpr std::array<WorkspaceTool, 5> workspaceLauncherTools = {
    WorkspaceTool::Review, WorkspaceTool::Terminal, WorkspaceTool::Browser, WorkspaceTool::Files, WorkspaceTool::SideChat};

struct WorkspaceToolTab
{
    QUuid id;
    WorkspaceTool tool = WorkspaceTool::SessionInspector;
    std::optional<QUrl> browserStartURL;
    std::optional<QUrl> requestedFileURL;

    // A files tab: the requested file's name; a browser tab: the start address's host; else
    // (and without those) the tool's label.
    QString title() const;

    bool operator==(const WorkspaceToolTab &) const = default;
};

// The tabs of the tools panel and which one is shown (none: the launcher). The selection is
// always none or the id of an open tab.
struct WorkspaceToolTabState
{
    std::vector<WorkspaceToolTab> tabs;
    std::optional<QUuid> selectedTabID;

    // With reuse and a tab of the same tool, selects the first such tab and changes nothing
    // else; otherwise appends a new tab and selects it. Returns the selected tab's id.
    QUuid open(WorkspaceTool tool, const QUuid &id, std::optional<QUrl> browserStartURL,
               std::optional<QUrl> requestedFileURL, bool reuseExisting);
    // Selects the tab; an unknown id changes nothing.
    void select(const QUuid &id);
    // Removes the tab and returns it; when it was selected, the tab now at its place (or the
    // last one) becomes selected.
    std::optional<WorkspaceToolTab> close(const QUuid &id);
    void showLauncher() { selectedTabID.reset(); }
    const WorkspaceToolTab *find(const QUuid &id) const;

    bool operator==(const WorkspaceToolTabState &) const = default;
};

// The state of one side-chat tab: its detached session once created, whether a creation is
// under way, and the last creation failure.
struct WorkspaceSideChatRuntime
{
    std::shared_ptr<SessionModel> session;
    bool loading = false;
    std::optional<QString> creationError;

    bool operator==(const WorkspaceSideChatRuntime &) const = default;
};

// Where a clicked link goes: a browser tab, a file tab, or the system's own handling.
struct WorkspaceLinkDestination
{
    enum class Kind { Browser, File, System };
    Kind kind = Kind::System;
    QUrl url; // browser and file

    bool operator==(const WorkspaceLinkDestination &) const = default;
};

namespace WorkspaceLinkRouter {
// A file reference of a tool presentation (an absolute path, a path relative to the
// workspace, a file:// address) as a URL the window can route; nothing for a blank one.
std::optional<QUrl> urlForFileReference(const QString &reference);
// http and https open in the browser, file in the file tool, other schemes in the system;
// without a scheme, a host means a web address and a path a file (relative ones under base).
WorkspaceLinkDestination destination(const QUrl &url, const QUrl &baseDirectory);
} // namespace WorkspaceLinkRouter

} // namespace nbd
