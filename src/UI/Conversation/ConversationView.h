#pragma once

#include "UI/Tools/WorkspaceTools.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

namespace nbd {

class AppModel;
class DeepDivingStatusView;
class PlaceholderSurface;
class SessionModel;

// The conversation of the selected session. Placeholder until the conversation view is built:
// its header carries the terminal and tools toggles, its body names the selected session and
// shows the working indicator while that session runs.
class ConversationView : public QWidget
{
    Q_OBJECT
public:
    using OpenInspector = std::function<void(RuntimeInspectorPanel, std::optional<TrajectoryEventSelection>)>;

    ConversationView(AppModel *appModel, std::function<void()> onToggleRightSidebar,
                     std::function<void()> onToggleTerminal, OpenInspector onOpenInspector, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    QPointer<AppModel> m_appModel;
    std::function<void()> m_onToggleRightSidebar;
    std::function<void()> m_onToggleTerminal;
    OpenInspector m_onOpenInspector;
    PlaceholderSurface *m_surface;
    DeepDivingStatusView *m_status;
    QMetaObject::Connection m_runningConnection;
};

} // namespace nbd
