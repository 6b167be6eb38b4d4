#pragma once

#include "Session/Transcript.h"
#include "UI/Shared/WorkspaceTools.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QScrollArea;
class QStackedLayout;
class QVBoxLayout;

namespace nbd {

class ChromeIconButton;
class DeepDivingStatusView;
class Interactions;
class SessionActions;
class SessionModel;

// One bubble of the side chat, built afresh from the session on every redraw.
struct SideMessage
{
    enum class Role { User, Assistant };
    QString id;
    Role role = Role::User;
    QString text;

    bool operator==(const SideMessage &) const = default;
};

// A small second conversation beside the main one, on a detached session of its own: the
// user's messages and the agent's text answers as bubbles, the working indicator while the
// agent runs, and an input row with send and stop. Before the session exists it shows that it
// is being created, or why that failed with a retry.
class WorkspaceSideChatView : public QWidget
{
    Q_OBJECT
public:
    static constexpr std::size_t kTranscriptWindow = 20;
    static constexpr std::size_t kPendingWindow = 5;
    static constexpr std::size_t kBubbleLimit = 20;
    static constexpr qsizetype kAnswerLimit = 4000;
    static constexpr int kCardsMaxHeight = 420;

    WorkspaceSideChatView(Interactions *interactions, SessionActions *sessionActions, std::function<void()> onRetry,
                          QWidget *parent = nullptr);

    void setRuntime(const WorkspaceSideChatRuntime &runtime);
    // The bubbles to show for a session, in display order: from the last 20 transcript items
    // the user's own non-empty messages and the agents' text answers (cut to 4,000
    // characters), then the last 5 pending messages; at most the last 20 in all.
    static std::vector<SideMessage> sideMessages(const SessionModel &session);
    static std::vector<SideMessage> sideMessages(const std::vector<TranscriptItem> &items,
                                                 const std::vector<PendingUserMessage> &pending);
    // Sends the trimmed input text to the session and empties the field; a blank text is not
    // sent and stays.
    void send();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void bindSession();
    void rebuildBubbles();
    void syncInput();
    void syncState();
    void scrollToBottom();
    // Shows the session's pending questions, then its approvals, as cards in the input row's
    // place; true when there is at least one.
    bool syncCards();
    void fitCards();

    QPointer<Interactions> m_interactions;
    QPointer<SessionActions> m_sessionActions;
    std::function<void()> m_onRetry;
    WorkspaceSideChatRuntime m_runtime;
    std::shared_ptr<SessionModel> m_boundSession;
    QList<QMetaObject::Connection> m_sessionConnections;

    QStackedLayout *m_states;
    QWidget *m_loadingPage;
    QWidget *m_failedPage;
    QLabel *m_failedText;
    QWidget *m_chatPage;
    QScrollArea *m_scroll;
    QWidget *m_bubbles;
    QVBoxLayout *m_bubbleLayout;
    DeepDivingStatusView *m_working;
    QWidget *m_empty;
    QWidget *m_inputRow;
    QScrollArea *m_cardsArea;
    QWidget *m_cardsColumn;
    QVBoxLayout *m_cardsLayout;
    QHash<QString, QPointer<QWidget>> m_cards; // "q:<request id>" / "a:<request id>"
    bool m_fittingCards = false;
    QPlainTextEdit *m_input;
    ChromeIconButton *m_stop;
    ChromeIconButton *m_send;
};

} // namespace nbd
