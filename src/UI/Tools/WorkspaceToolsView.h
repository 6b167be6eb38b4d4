#pragma once

#include "UI/Shared/Binding.h"
#include "UI/Tools/WorkspaceTools.h"

#include <QHash>
#include <QPointer>
#include <QUrl>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <optional>

class QHBoxLayout;

namespace nbd {

class AppModel;
class PlaceholderSurface;
class RuntimeInspectorView;

// The workspace tools panel. It shows the tab strip and the launcher; the session inspector tab
// shows the runtime inspector of the selected session. Placeholder for the other tools: it names
// the selected tool and the state of its side chat.
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

    WorkspaceToolsView(AppModel *appModel, Binding<WorkspaceToolTabState> tabState,
                       Binding<RuntimeInspectorPanel> inspectorPanel, Actions actions, QWidget *parent = nullptr);

    // The values the window hands down. The root redraws at once; the others are shown by the
    // next refresh(), so that the window can hand down several and redraw once.
    void setRootURL(const QUrl &rootURL);
    void setInspectorEvent(std::optional<TrajectoryEventSelection> event);
    void setTerminalVisible(bool visible);
    void setSideChatRuntimes(const QHash<QUuid, WorkspaceSideChatRuntime> &runtimes);
    // Re-reads the bound tab state and redraws.
    void refresh();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPointer<AppModel> m_appModel;
    Binding<WorkspaceToolTabState> m_tabState;
    Binding<RuntimeInspectorPanel> m_inspectorPanel;
    Actions m_actions;
    QUrl m_rootURL;
    std::optional<TrajectoryEventSelection> m_inspectorEvent;
    bool m_terminalVisible = false;
    QHash<QUuid, WorkspaceSideChatRuntime> m_sideChatRuntimes;
    QWidget *m_tabStrip;
    QHBoxLayout *m_tabLayout;
    QWidget *m_launcher;
    PlaceholderSurface *m_surface;
    RuntimeInspectorView *m_inspector = nullptr;
};

} // namespace nbd
