#pragma once

#include "UI/Shared/RuntimeInspectorPanel.h"
#include "UI/Shared/TrajectoryEventSelection.h"
#include "UI/Shared/Binding.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace nbd {

class SessionDirectory;
class SessionModel;

// The read-only side view of one session's run. The runtime panel shows the run context,
// statistics, token usage and background jobs; the event panel the detail of the event picked
// in the trajectory. A header names the panel and tells whether the session runs; an optional
// segmented picker switches panels through the window's binding.
class RuntimeInspectorView : public QWidget
{
    Q_OBJECT
public:
    RuntimeInspectorView(SessionDirectory *directory, std::shared_ptr<SessionModel> session,
                         Binding<RuntimeInspectorPanel> selectedPanel, std::optional<TrajectoryEventSelection> event,
                         bool showsPanelPicker, std::vector<RuntimeInspectorPanel> availablePanels,
                         QWidget *parent = nullptr);

    void setSession(std::shared_ptr<SessionModel> session);
    const std::shared_ptr<SessionModel> &session() const { return m_session; }
    void setEvent(std::optional<TrajectoryEventSelection> event);
    // Re-reads the bound panel and redraws.
    void refresh();

    // What the header shows.
    QString title() const;
    QString statusText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void connectSession();
    RuntimeInspectorPanel shownPanel() const;
    void refreshHeader();
    // Session changes redraw the runtime panel only; the event panel shows the picked event.
    void refreshRuntime();
    void rebuildContent();
    void buildRuntime(QVBoxLayout *column);
    void buildEvent(QVBoxLayout *column);

    QPointer<SessionDirectory> m_directory;
    std::shared_ptr<SessionModel> m_session;
    Binding<RuntimeInspectorPanel> m_selectedPanel;
    std::optional<TrajectoryEventSelection> m_event;
    bool m_showsPanelPicker;
    std::vector<RuntimeInspectorPanel> m_availablePanels;
    std::vector<QMetaObject::Connection> m_sessionConnections;
    qint64 m_shownInjections = 0;

    QLabel *m_title;
    QWidget *m_dot;
    QLabel *m_status;
    QWidget *m_picker;
    std::vector<QAbstractButton *> m_segments;
    QButtonGroup *m_segmentGroup = nullptr;
    QScrollArea *m_scroll;
};

} // namespace nbd
