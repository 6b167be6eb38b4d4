#pragma once

#include <QString>
#include <QUrl>
#include <QUuid>

#include <memory>
#include <optional>
#include <vector>

namespace nbd {

class SessionModel;

// Names of the in-app notifications that the workspace menu posts and the main window receives.
namespace WorkspaceNotification {
inline constexpr auto openReview = "nbd.openWorkspaceReview";
inline constexpr auto toggleTerminal = "nbd.toggleWorkspaceTerminal";
inline constexpr auto openBrowser = "nbd.openWorkspaceBrowser";
inline constexpr auto openFiles = "nbd.openWorkspaceFiles";
inline constexpr auto openSideChat = "nbd.openWorkspaceSideChat";
} // namespace WorkspaceNotification

enum class WorkspaceTool { SessionInspector, Review, Terminal, Browser, Files, SideChat };

// A short Chinese name of a tool, for tab titles and the launcher.
QString workspaceToolTitle(WorkspaceTool tool);
QString workspaceToolSymbol(WorkspaceTool tool);

struct WorkspaceToolTab
{
    QUuid id;
    WorkspaceTool tool = WorkspaceTool::SessionInspector;
    std::optional<QUrl> browserStartURL;
    std::optional<QUrl> requestedFileURL;

    bool operator==(const WorkspaceToolTab &) const = default;
};

// The tabs of the tools panel and which one is shown (none: the launcher).
struct WorkspaceToolTabState
{
    std::vector<WorkspaceToolTab> tabs;
    std::optional<QUuid> selectedTabID;

    // With reuse and a tab of the same tool, selects the first such tab and changes nothing
    // else; otherwise appends a new tab and selects it.
    void open(WorkspaceTool tool, const QUuid &id, std::optional<QUrl> browserStartURL,
              std::optional<QUrl> requestedFileURL, bool reuseExisting);
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

// The run inspector's panels.
enum class RuntimeInspectorPanel { Runtime, Event };

// One trajectory event picked by the user, passed whole between the conversation, the main
// window and the session inspector.
struct TrajectoryEventSelection
{
    QString sessionId;
    QString eventId;

    bool operator==(const TrajectoryEventSelection &) const = default;
};

} // namespace nbd

namespace nbd {

// Where a clicked link goes: a browser tab, a file tab, or the system's own handling.
struct WorkspaceLinkDestination
{
    enum class Kind { Browser, File, System };
    Kind kind = Kind::System;
    QUrl url; // browser and file

    bool operator==(const WorkspaceLinkDestination &) const = default;
};

namespace WorkspaceLinkRouter {
// http and https open in the browser, file in the file tool, other schemes in the system;
// without a scheme, a host means a web address and a path a file (relative ones under base).
WorkspaceLinkDestination destination(const QUrl &url, const QUrl &baseDirectory);
// A file reference as the cards show it, made a link: "file://…" parsed, an absolute path a
// file URL, anything else a relative path for the receiver to resolve; nothing when blank
// or when no URL can be formed.
std::optional<QUrl> urlForFileReference(const QString &reference);
} // namespace WorkspaceLinkRouter

} // namespace nbd
