#pragma once

#include "Store/ConnectionSettings.h"
#include "Store/Interactions.h"
#include "Store/SessionActions.h"
#include "Store/SessionDirectory.h"
#include "Store/SessionSelection.h"
#include "Store/StoreErrors.h"
#include "UI/Conversation/ConversationSurface.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QAbstractButton>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QPropertyAnimation;

namespace nbd {

class BottomDock;
class ChromeIconButton;
class ConversationTranscript;
class EmptyStateView;
class ErrorNotice;
class SessionHeader;
class SessionModel;
class TrajectoryView;

// The chat pane of the main window: for the selected session its header, the transcript (or
// the trajectory) and the bottom dock; the empty state when no session is shown; over either,
// the store's transient error as a banner that leaves by itself after six seconds.
class ConversationView : public QWidget
{
    Q_OBJECT
public:
    using OpenInspector = std::function<void(RuntimeInspectorPanel, std::optional<TrajectoryEventSelection>)>;
    static constexpr int kBannerDismissMs = 6000;

    // What the conversation and the views inside it read and call; any may be null.
    struct Owners
    {
        QPointer<StoreErrors> errors;
        QPointer<SessionDirectory> sessions;
        QPointer<SessionSelection> selection;
        QPointer<SessionActions> sessionActions;
        QPointer<Interactions> interactions;
        // Where a shown session's gaps and older history are read from.
        QPointer<ConnectionSettings> connectionSettings;
    };

    ConversationView(Owners owners, std::function<void()> onToggleRightSidebar,
                     std::function<void()> onToggleTerminal, OpenInspector onOpenInspector, QWidget *parent = nullptr);
    ~ConversationView() override;

    ConversationSurface selectedSurface() const { return m_surface; }
    void setSelectedSurface(ConversationSurface surface);
    // The session whose view is shown; none while the empty state shows.
    const std::shared_ptr<SessionModel> &shownSession() const { return m_session; }
    bool followsOutput() const;

    SessionHeader *header() const { return m_header; }
    ConversationTranscript *transcript() const { return m_transcript; }
    BottomDock *dock() const { return m_dock; }
    QWidget *trajectory() const;
    EmptyStateView *emptyState() const { return m_empty; }
    ErrorNotice *errorNotice() const { return m_banner; }
    const QTimer &bannerTimer() const { return m_bannerTimer; }
    void setBannerDismissDelay(int ms) { m_bannerTimer.setInterval(ms); }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();
    void showSession(std::shared_ptr<SessionModel> session);
    void updateSurface();
    void updateBanner();
    void relayout();

    Owners m_owners;
    std::function<void()> m_onToggleRightSidebar;
    std::function<void()> m_onToggleTerminal;
    OpenInspector m_onOpenInspector;
    ConversationSurface m_surface = ConversationSurface::chat;
    std::shared_ptr<SessionModel> m_session;

    ChromeIconButton *m_terminalToggle;
    ChromeIconButton *m_toolsToggle;
    EmptyStateView *m_empty;
    QWidget *m_sessionView;
    SessionHeader *m_header;
    ConversationTranscript *m_transcript;
    QPointer<TrajectoryView> m_trajectory;
    BottomDock *m_dock;
    ErrorNotice *m_banner;
    QPropertyAnimation *m_bannerAnimation;
    QString m_bannerText;
    QTimer m_bannerTimer;
};

// The pane without a session: badge, welcome, hint and "新建会话", with the panel toggles in
// the top-trailing corner.
class EmptyStateView : public QWidget
{
    Q_OBJECT
public:
    EmptyStateView(SessionDirectory *directory, QWidget *parent = nullptr);
    void adoptTrailingControls(QWidget *terminalToggle, QWidget *toolsToggle);
    QAbstractButton *newSessionButton() const { return m_newSession; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QPointer<SessionDirectory> m_directory;
    QWidget *m_corner;
    QAbstractButton *m_newSession;
};

} // namespace nbd
