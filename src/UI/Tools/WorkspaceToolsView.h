#pragma once

#include "UI/Shared/Binding.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QHash>
#include <QPointer>
#include <QUrl>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <optional>

class QHBoxLayout;
class QStackedLayout;
class QToolButton;
class QVBoxLayout;

namespace nbd {

class ChromeIconButton;
class Interactions;
class LauncherView;
class SessionActions;
class SessionDirectory;
class SessionSelection;

// The workspace tools panel: the launcher of the tools while no tab is open or none is
// selected, else a tab bar over the open tabs' tools. Every open tab's view stays alive while
// another is shown, so each keeps its own state until its tab closes.
class WorkspaceToolsView : public QWidget
{
    Q_OBJECT
public:
    struct Actions
    {
        std::function<void()> onToggleTerminal;
        std::function<void(WorkspaceTool)> onOpenTool;
        std::function<void(QUuid)> onCloseTab;
        std::function<void(QUuid)> onRetrySideChat;
    };

    // selection and directory feed the run inspector; interactions and sessionActions the side
    // chats.
    WorkspaceToolsView(SessionSelection *selection, SessionDirectory *directory, Interactions *interactions,
                       SessionActions *sessionActions, Binding<WorkspaceToolTabState> tabState,
                       Binding<RuntimeInspectorPanel> inspectorPanel, Actions actions, QWidget *parent = nullptr);

    // The values the window hands down. The root redraws at once; the others are shown by the
    // next refresh(), so that the window can hand down several and redraw once.
    void setRootURL(const QUrl &rootURL);
    QUrl rootURL() const { return m_rootURL; }
    void setInspectorEvent(std::optional<TrajectoryEventSelection> event);
    void setTerminalVisible(bool visible);
    void setSideChatRuntimes(const QHash<QUuid, WorkspaceSideChatRuntime> &runtimes);
    // Re-reads the bound tab state and redraws.
    void refresh();

    // The view of an open tab (nothing for an unknown id).
    QWidget *toolView(const QUuid &id) const { return m_views.value(id); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void chooseTool(WorkspaceTool tool);
    void changeTabState(const std::function<void(WorkspaceToolTabState &)> &change);
    QWidget *createToolView(const WorkspaceToolTab &tab);
    void updateToolView(const WorkspaceToolTab &tab, QWidget *view);
    void rebuildTabBar(const WorkspaceToolTabState &state);

    QPointer<SessionSelection> m_selection;
    QPointer<SessionDirectory> m_directory;
    QPointer<Interactions> m_interactions;
    QPointer<SessionActions> m_sessionActions;
    Binding<WorkspaceToolTabState> m_tabState;
    Binding<RuntimeInspectorPanel> m_inspectorPanel;
    Actions m_actions;
    QUrl m_rootURL;
    std::optional<TrajectoryEventSelection> m_inspectorEvent;
    bool m_terminalVisible = false;
    QHash<QUuid, WorkspaceSideChatRuntime> m_sideChatRuntimes;
    QHash<QUuid, QWidget *> m_views;

    QWidget *m_topSpacer;
    QWidget *m_tabBar;
    QHBoxLayout *m_tabRow;
    QWidget *m_tabRule;
    QStackedLayout *m_stack;
    LauncherView *m_launcher;
};

} // namespace nbd
