#pragma once

#include "UI/Shared/SidebarMaterialBackground.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QHash>
#include <QPointer>
#include <QUrl>
#include <QUuid>
#include <QWidget>

#include <QCoroTask>

#include <memory>
#include <optional>

class QVariantAnimation;

namespace nbd {

class AppModel;
class CancelToken;
class ConversationView;
class ResizeHandle;
class SidebarMaterialBackground;
class SidebarRailView;
class SidebarView;
class WorkspaceTerminalDock;
class WorkspaceTerminalModel;
class WorkspaceToolsView;

// The whole content of the main window: the sidebar (or its collapsed rail), a hairline, and
// the workspace: the conversation with the tools panel on its right and the terminal dock
// below both. It owns the window's layout state, the tool tabs and the side chats; none of it
// is persisted.
class ContentView : public QWidget
{
    Q_OBJECT
public:
    static constexpr qreal kSidebarMinWidth = 264;
    static constexpr qreal kSidebarMaxWidth = 420;
    static constexpr qreal kRailWidth = 80;
    static constexpr qreal kRightMinWidth = 300;
    static constexpr qreal kRightMaxWidth = 520;
    // Where the window is narrow, the tools panel gives way to keep the conversation (its
    // header and cards) this wide, down to kRightYieldWidth; only then does the conversation.
    static constexpr int kConversationMinWidth = 400;
    static constexpr int kRightYieldWidth = 200;
    static constexpr qreal kTerminalMinHeight = 150;
    static constexpr qreal kTerminalMaxShare = 0.58;
    static constexpr int kHandleThickness = 8;

    static qreal clampedSidebarWidth(qreal wanted);
    static qreal clampedRightSidebarWidth(qreal wanted);
    // Raised to the minimum first, then lowered to the maximum: the maximum wins.
    static qreal clampedTerminalHeight(qreal wanted, qreal maximum);
    static qreal maximumTerminalHeight(qreal contentHeight) { return kTerminalMaxShare * contentHeight; }

    // settingsOpener: opens or raises the Settings window.
    explicit ContentView(AppModel *appModel, std::function<void()> settingsOpener = {}, QWidget *parent = nullptr);
    ~ContentView() override;

    // ---- Layout state ----
    bool sidebarCollapsed() const { return m_sidebarCollapsed; }
    qreal sidebarWidth() const { return m_sidebarWidth; }
    void setSidebarWidth(qreal wanted);
    qreal leftColumnWidth() const { return m_sidebarCollapsed ? kRailWidth : clampedSidebarWidth(m_sidebarWidth); }
    bool sidebarSearchVisible() const { return m_sidebarSearchVisible; }
    bool rightSidebarVisible() const { return m_rightSidebarVisible; }
    qreal rightSidebarWidth() const { return m_rightSidebarWidth; }
    void setRightSidebarWidth(qreal wanted);
    bool terminalVisible() const { return m_terminalVisible; }
    qreal terminalHeight() const { return m_terminalHeight; }
    void setTerminalHeight(qreal wanted);
    const WorkspaceToolTabState &workspaceToolTabs() const { return m_workspaceToolTabs; }
    const QHash<QUuid, WorkspaceSideChatRuntime> &sideChatRuntimes() const { return m_sideChatRuntimes; }
    const QHash<QUuid, qint64> &sideChatCreationGenerations() const { return m_sideChatCreationGenerations; }
    bool hasSideChatCreationTask(const QUuid &id) const { return m_sideChatCreationTasks.contains(id); }
    RuntimeInspectorPanel inspectorPanel() const { return m_inspectorPanel; }
    const std::optional<TrajectoryEventSelection> &selectedTrajectoryEvent() const { return m_selectedTrajectoryEvent; }
    WorkspaceTerminalModel *terminal() const { return m_terminal; }
    bool hostsClientPluginUI() const;
    // A collapse or show/hide of a column or the dock is still moving.
    bool isAnimating() const;

    // ---- Operations ----
    void expandSidebar();
    void collapseSidebar();
    void toggleRightSidebar();
    void toggleTerminal();
    void hideTerminal();
    void openWorkspaceTool(WorkspaceTool tool, std::optional<QUrl> browserStartURL = {},
                           std::optional<QUrl> requestedFileURL = {});
    void closeWorkspaceToolTab(const QUuid &id);
    void openSessionInspector(RuntimeInspectorPanel panel, std::optional<TrajectoryEventSelection> event);
    void createSideChat(const QUuid &id);
    void discardSideChat(const QUuid &id, bool removeRuntime);
    void discardAllSideChats();
    // True when the link was handled by a tool; false: leave it to the system.
    bool openWorkspaceLink(const QUrl &url);
    QUrl selectedWorkingDirectory() const;

Q_SIGNALS:
    void layoutStateChanged();
    void sideChatsChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    struct Progress;
    void relayout();
    void animate(QVariantAnimation *&animation, qreal &value, qreal target, int durationMs);
    void setSidebarCollapsed(bool collapsed);
    void setRightSidebarVisible(bool visible);
    void setTerminalVisible(bool visible);
    void refreshTools();
    void refreshOverlay();
    void selectedSessionChanged();
    void moveTerminalToWorkingDirectory();
    QCoro::Task<void> runSideChatCreation(QUuid id, qint64 generation, QString cwd, std::shared_ptr<CancelToken> cancel);

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<AppModel> m_appModel;
    std::function<void()> m_settingsOpener;

    bool m_sidebarCollapsed = false;
    qreal m_sidebarWidth = 280;
    std::optional<qreal> m_dragStartWidth;
    bool m_sidebarSearchVisible = false;
    bool m_rightSidebarVisible = false;
    qreal m_rightSidebarWidth = 360;
    std::optional<qreal> m_rightDragStartWidth;
    WorkspaceToolTabState m_workspaceToolTabs;
    QHash<QUuid, WorkspaceSideChatRuntime> m_sideChatRuntimes;
    QHash<QUuid, qint64> m_sideChatCreationGenerations;
    QHash<QUuid, std::shared_ptr<CancelToken>> m_sideChatCreationTasks;
    RuntimeInspectorPanel m_inspectorPanel = RuntimeInspectorPanel::Runtime;
    std::optional<TrajectoryEventSelection> m_selectedTrajectoryEvent;
    bool m_terminalVisible = false;
    qreal m_terminalHeight = 230;
    std::optional<qreal> m_terminalDragStartHeight;
    WorkspaceTerminalModel *m_terminal;
    std::optional<QString> m_shownSessionId;
    QString m_lastWorkingDirectory;

    // Animated fractions: 1 = collapsed rail / panel shown / dock shown.
    qreal m_sidebarProgress = 0;
    qreal m_rightProgress = 0;
    qreal m_terminalProgress = 0;
    QVariantAnimation *m_sidebarAnimation = nullptr;
    QVariantAnimation *m_rightAnimation = nullptr;
    QVariantAnimation *m_terminalAnimation = nullptr;

    SidebarMaterialBackground *m_leftBackground;
    SidebarView *m_sidebar;
    SidebarRailView *m_rail;
    QWidget *m_leftHairline;
    ConversationView *m_conversation;
    QWidget *m_rightRule;
    WorkspaceToolsView *m_tools;
    QWidget *m_terminalRule;
    WorkspaceTerminalDock *m_terminalDock = nullptr; // made when the dock is first shown
    ResizeHandle *m_sidebarHandle;
    ResizeHandle *m_rightHandle;
    ResizeHandle *m_terminalHandle;
    QPointer<QWidget> m_overlay; // the plugin overlay, from the web view library
    QUrl m_overlayBaseURL;
};

// An invisible 8 px strip that resizes a column or the dock by dragging. It reports the
// translation from where the drag began, in global coordinates, so that moving the handle with
// the layout does not disturb the drag.
class ResizeHandle : public QWidget
{
    Q_OBJECT
public:
    explicit ResizeHandle(Qt::Orientation orientation, QWidget *parent = nullptr);

Q_SIGNALS:
    void dragChanged(QPointF translation);
    void dragEnded();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    std::optional<QPointF> m_pressGlobal;
};

} // namespace nbd
