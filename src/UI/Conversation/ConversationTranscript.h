#pragma once

#include "UI/Conversation/TranscriptFollowState.h"
#include "UI/Conversation/TranscriptListView.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

namespace nbd {

class SessionActions;
class SessionSelection;
class SessionModel;
class BackToLatestButton;

// The scrolling middle of the conversation: the session's transcript in the host's event
// order, the working indicator and the steering messages, following new output while the user
// stays at the end, with a round button back to the latest output when they scrolled away.
class ConversationTranscript : public QWidget
{
    Q_OBJECT
public:
    // connection: where older history is read from; both may be null (nothing loads then).
    ConversationTranscript(SessionActions *sessionActions, SessionSelection *selection,
                           QWidget *parent = nullptr);
    ~ConversationTranscript() override;

    // A new session builds afresh: the scroll position resets and following is re-armed.
    void setSession(std::shared_ptr<SessionModel> session);
    SessionModel *session() const { return m_session.get(); }

    void setBottomInset(int inset);
    bool followsOutput() const { return m_follow.following(); }
    TranscriptListView *list() const { return m_list; }
    QWidget *backToLatestButton() const;

    // The entries of the session as they stand, without touching any widget.
    static std::vector<TranscriptEntry> entriesFor(const SessionModel &session);

    // Starts loading the page before the oldest loaded entry; afterwards the row that was
    // first stays at the top.
    void loadOlder();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void rebuild();
    // The entries from the row `fromRow` on; with the head, the entries before the rows too.
    static std::vector<TranscriptEntry> entriesOf(const SessionModel &session, const std::vector<TranscriptRenderRow> &rows,
                                                  size_t fromRow, bool withHead);
    void apply(TranscriptFollowState::Scroll scroll);
    void updateBackButton();
    void placeBackButton();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<SessionSelection> m_selection;
    std::shared_ptr<SessionModel> m_session;
    QList<QMetaObject::Connection> m_connections;
    TranscriptListView *m_list;
    BackToLatestButton *m_back;
    TranscriptFollowState m_follow;
    TranscriptRowCache m_rows;
    std::optional<quint64> m_rowsRevision;
    struct Head
    {
        bool loadOlder = false;
        bool loadingOlder = false;
        bool running = false;
        bool operator==(const Head &) const = default;
    };
    std::optional<Head> m_head; // as the list's entries were last made
    qsizetype m_steeringCount = 0;
    bool m_running = false;
};

} // namespace nbd
