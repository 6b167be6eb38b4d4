#pragma once

#include "Domain/Subagents.h"
#include "UI/Conversation/ConversationSurface.h"
#include "UI/Conversation/QueuedMessagesDock.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Inspection/RuntimeSummaryBar.h"
#include "UI/Inspection/SubagentReadOnlyComposer.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QVBoxLayout;

namespace nbd {

class Interactions;
class SessionActions;
class SessionModel;
class SessionSelection;

// The dock along the bottom of a session's surface, fading in over the transcript. Its slots,
// top to bottom:
//   extras  – the goal banner and the queued messages (chat only, no subagent, no takeover);
//   input   – the question and approval cards when they take the composer's place on the chat
//             surface, else the read-only composer of a subagent run, else the composer;
//   summary – the run summary, once the session has usage or stats.
// The widgets in the slots come from the composer and inspection families; each is kept while
// its identity stays.
class BottomDock : public QWidget
{
    Q_OBJECT
public:
    using OpenInspector = std::function<void(RuntimeInspectorPanel, std::optional<TrajectoryEventSelection>)>;
    enum class Input { Cards, ReadOnlyComposer, Composer };

    BottomDock(Interactions *interactions, SessionSelection *selection, SessionActions *sessionActions,
               OpenInspector onOpenInspector, QWidget *parent = nullptr);
    ~BottomDock() override;

    void setSession(std::shared_ptr<SessionModel> session);
    void setSurface(ConversationSurface surface);

    // A pending question or approval of the session takes the composer's place.
    static bool hasComposerTakeover(const Interactions &interactions, const QString &sessionId);
    static Input inputFor(const Interactions &interactions, const SessionSelection &selection,
                          const SessionModel &session, ConversationSurface surface);
    static bool showsExtras(const Interactions &interactions, const SessionSelection &selection,
                            const SessionModel &session, ConversationSurface surface);
    static bool showsGoalBanner(const SessionModel &session);
    static bool showsRunSummary(const SessionModel &session);

    Input input() const { return m_input; }
    GoalBannerView *goalBanner() const { return m_goalBanner; }
    QueuedMessagesDock *queuedDock() const { return m_queuedDock; }
    ComposerView *composer() const { return m_composer; }
    SubagentReadOnlyComposer *readOnlyComposer() const { return m_readOnly; }
    RuntimeSummaryBar *runSummary() const { return m_runSummary; }
    // The cards in the order shown: questions, then approvals.
    QList<QWidget *> cards() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    // The dock's height for its width may have changed.
    void layoutChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    void refresh();
    void refreshLayout();
    void place(QWidget *widget, int maxWidth, int sidePadding);
    template <typename Widget>
    static void drop(QPointer<Widget> &widget)
    {
        if (widget) {
            widget->hide();
            widget->deleteLater();
        }
        widget = nullptr;
    }

    QPointer<Interactions> m_interactions;
    QPointer<SessionSelection> m_selection;
    QPointer<SessionActions> m_sessionActions;
    OpenInspector m_onOpenInspector;
    std::shared_ptr<SessionModel> m_session;
    QList<QMetaObject::Connection> m_sessionConnections;
    ConversationSurface m_surface = ConversationSurface::chat;
    QVBoxLayout *m_column;
    Input m_input = Input::Composer;
    QPointer<GoalBannerView> m_goalBanner;
    QPointer<QueuedMessagesDock> m_queuedDock;
    QPointer<ComposerView> m_composer;
    QPointer<SubagentReadOnlyComposer> m_readOnly;
    std::optional<SelectedSubagent> m_readOnlyFor;
    QPointer<RuntimeSummaryBar> m_runSummary;
    QPointer<QWidget> m_cardStack;
    QHash<QString, QPointer<QWidget>> m_cards; // "q:<id>" / "a:<id>"
};

} // namespace nbd
