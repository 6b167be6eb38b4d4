#include "UI/Conversation/ConversationTranscript.h"

#include "Session/SessionModel.h"
#include "Store/SessionSelection.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/SoftShadow.h"
#include "UI/Shared/Theme.h"

#include <QAbstractButton>
#include <QCoroTask>
#include <QCoroTimer>
#include <QPainter>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

// The round "back to latest" button floating over the transcript's bottom edge.
class BackToLatestButton : public QAbstractButton
{
public:
    explicit BackToLatestButton(QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(u"scroll-to-latest"_s);
        const QString help = u"回到最新消息"_s;
        setToolTip(plainToolTip(help));
        setAccessibleName(help);
        setAccessibleDescription(help);
        setCursor(Qt::PointingHandCursor);
        // Repainted as the pointer comes and goes: the face follows underMouse().
        setAttribute(Qt::WA_Hover);
        setFixedSize(30 + 2 * kShadow, 30 + 2 * kShadow);
    }
    static constexpr int kShadow = 8;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF circle(kShadow, kShadow, 30, 30);
        paintSoftShadow(painter, circle,
                        {.color = Theme::softShadow(), .opacity = 0.3, .first = 0, .last = 4, .span = 5, .offsetY = 3,
                         .grow = {1.5, 1.5, 1.5, 1.5}, .ellipse = true});
        painter.setBrush(Theme::raised());
        painter.setPen(QPen(Theme::hairline(), 1));
        painter.drawEllipse(circle.adjusted(0.5, 0.5, -0.5, -0.5));
        Icons::paint(&painter, QRectF(circle.center() - QPointF(6.5, 6.5), QSizeF(13, 13)), u"arrow.down"_s,
                     underMouse() ? Theme::primaryText() : Theme::secondaryText());
    }
};

ConversationTranscript::ConversationTranscript(SessionActions *sessionActions, SessionSelection *selection,
                                               QWidget *parent)
    : QWidget(parent)
    , m_selection(selection)
    , m_list(new TranscriptListView(sessionActions, this))
    , m_back(new BackToLatestButton(this))
{
    setObjectName(u"conversation-transcript"_s);
    m_back->hide();
    connect(m_back, &QAbstractButton::clicked, this, [this] { apply(m_follow.backToLatestPressed()); });
    connect(m_list, &TranscriptListView::scrollPhaseChanged, this, [this](TranscriptFollowState::Phase phase) {
        m_follow.phaseChanged(phase, m_list->scrollGeometry());
        m_list->setFollowing(m_follow.following());
        updateBackButton();
    });
    connect(m_list, &TranscriptListView::geometryChanged, this, [this] {
        m_follow.geometryChanged(m_list->scrollGeometry());
        m_list->setFollowing(m_follow.following());
        updateBackButton();
    });
    connect(m_list, &TranscriptListView::loadOlderRequested, this, &ConversationTranscript::loadOlder);
}

ConversationTranscript::~ConversationTranscript()
{
    m_alive.reset();
    for (const auto &c : m_connections)
        disconnect(c);
}

QWidget *ConversationTranscript::backToLatestButton() const { return m_back; }

void ConversationTranscript::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session)
        return;
    for (const auto &c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_session = std::move(session);
    m_list->setSessionId(m_session ? m_session->sessionId() : QString());
    m_rows.clear();
    m_rowsRevision.reset();
    m_head.reset();
    if (!m_session) {
        m_list->setEntries({});
        return;
    }
    SessionModel *model = m_session.get();
    m_steeringCount = qsizetype(model->steeringMessages().size());
    m_running = model->running();
    for (auto signal : {&SessionModel::itemsChanged, &SessionModel::hasMoreHistoryChanged,
                        &SessionModel::isLoadingOlderChanged, &SessionModel::isLoadingHistoryChanged})
        m_connections << connect(model, signal, this, &ConversationTranscript::rebuild);
    m_connections << connect(model, &SessionModel::transcriptRevisionChanged, this,
                             [this] { apply(m_follow.transcriptRevisionChanged()); });
    m_connections << connect(model, &SessionModel::pendingMessagesChanged, this, [this] {
        rebuild();
        const qsizetype count = qsizetype(m_session->steeringMessages().size());
        if (count != m_steeringCount) {
            m_steeringCount = count;
            apply(m_follow.steeringCountChanged());
        }
    });
    m_connections << connect(model, &SessionModel::runningChanged, this, [this] {
        rebuild();
        const bool running = m_session->running();
        if (running != m_running) {
            m_running = running;
            apply(m_follow.runningChanged(running));
        }
    });
    // The scroll view appears: follow, and start at the end.
    m_list->setFollowing(true);
    rebuild();
    apply(m_follow.appeared(m_list->scrollGeometry()));
    m_list->setFollowing(m_follow.following());
    updateBackButton();
}

std::vector<TranscriptEntry> ConversationTranscript::entriesFor(const SessionModel &session)
{
    return entriesOf(session, TranscriptRenderRow::make(session.items()), 0, true);
}

std::vector<TranscriptEntry> ConversationTranscript::entriesOf(const SessionModel &session,
                                                               const std::vector<TranscriptRenderRow> &rows, size_t fromRow,
                                                               bool withHead)
{
    const std::vector<PendingUserMessage> steering = session.steeringMessages();
    std::vector<TranscriptEntry> entries;
    entries.reserve(rows.size() - std::min(fromRow, rows.size()) + steering.size() + 4);
    if (withHead && session.hasMoreHistory()) {
        TranscriptEntry e;
        e.kind = TranscriptEntry::Kind::LoadOlder;
        e.key = u"load-older"_s;
        e.loadingOlder = session.isLoadingOlder();
        entries.push_back(std::move(e));
    }
    const bool running = session.running();
    for (size_t i = fromRow; i < rows.size(); ++i) {
        const TranscriptRenderRow &row = rows[i];
        TranscriptEntry e;
        e.kind = TranscriptEntry::Kind::Row;
        e.key = row.id;
        e.topPadding = row.leadingSpacing;
        e.showCursor = running && row.isStreamingEndpoint;
        e.row = row;
        entries.push_back(std::move(e));
    }
    if (running) {
        TranscriptEntry e;
        e.kind = TranscriptEntry::Kind::Status;
        e.key = u"deep-diving-status"_s;
        e.topPadding = 16;
        entries.push_back(std::move(e));
    }
    for (const PendingUserMessage &message : steering) {
        TranscriptEntry e;
        e.kind = TranscriptEntry::Kind::Steering;
        e.key = u"pending-"_s + message.id;
        e.topPadding = 16;
        e.steering = message;
        entries.push_back(std::move(e));
    }
    if (session.isLoadingHistory()) {
        TranscriptEntry e;
        e.kind = TranscriptEntry::Kind::HistoryLoading;
        e.key = u"history-loading"_s;
        e.topPadding = 16;
        entries.push_back(std::move(e));
    }
    TranscriptEntry anchor;
    anchor.kind = TranscriptEntry::Kind::BottomAnchor;
    anchor.key = u"bottom-anchor"_s;
    anchor.topPadding = 16;
    entries.push_back(std::move(anchor));
    return entries;
}

void ConversationTranscript::rebuild()
{
    if (!m_session)
        return;
    const SessionModel &session = *m_session;
    m_list->setFollowing(m_follow.following());
    // Items before the first one the latest change touched are as they were when the rows
    // were last made, if no change came in between.
    size_t unchangedItems = 0;
    if (m_rowsRevision && session.itemsRevision() == *m_rowsRevision)
        unchangedItems = session.items().size();
    else if (m_rowsRevision && session.itemsRevision() == *m_rowsRevision + 1)
        unchangedItems = session.itemsChangedFrom();
    const size_t firstRow = m_rows.update(session.items(), unchangedItems);
    m_rowsRevision = session.itemsRevision();

    // The entries before the rows, and each row's cursor, depend on these.
    const Head head{session.hasMoreHistory(), session.isLoadingOlder(), session.running()};
    if (m_head == head) {
        const size_t keep = (head.loadOlder ? 1 : 0) + firstRow;
        m_list->replaceEntriesFrom(keep, entriesOf(session, m_rows.rows(), firstRow, false));
    } else {
        m_list->setEntries(entriesOf(session, m_rows.rows(), 0, true));
        m_head = head;
    }
}

void ConversationTranscript::apply(TranscriptFollowState::Scroll scroll)
{
    m_list->setFollowing(m_follow.following());
    switch (scroll) {
    case TranscriptFollowState::Scroll::None:
        break;
    case TranscriptFollowState::Scroll::Jump:
        m_list->scrollToBottom(false);
        break;
    case TranscriptFollowState::Scroll::Animated:
        m_list->scrollToBottom(true);
        break;
    }
    updateBackButton();
}

void ConversationTranscript::setBottomInset(int inset)
{
    m_list->setBottomInset(inset);
    placeBackButton();
}

void ConversationTranscript::updateBackButton()
{
    const bool show = !m_follow.following();
    if (show != m_back->isVisible())
        m_back->setVisible(show);
    if (show)
        m_back->raise();
}

void ConversationTranscript::placeBackButton()
{
    const int x = (width() - m_back->width()) / 2;
    const int y = height() - m_list->bottomInset() - 12 - 30 - BackToLatestButton::kShadow;
    m_back->move(x, y);
}

void ConversationTranscript::resizeEvent(QResizeEvent *)
{
    m_list->setGeometry(rect());
    placeBackButton();
}

namespace {

QCoro::Task<void> runLoadOlder(std::weak_ptr<const bool> alive, QPointer<ConversationTranscript> view,
                               QPointer<SessionSelection> selection, std::shared_ptr<SessionModel> session,
                               std::optional<QString> firstRowId)
{
    co_await selection->loadOlderHistory(session->sessionId());
    if (!firstRowId)
        co_return;
    // One turn of the event loop so the prepended rows are laid out first.
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(0);
    co_await timer;
    if (alive.expired() || !view || view->session() != session.get())
        co_return;
    view->list()->scrollToKey(*firstRowId);
}

} // namespace

void ConversationTranscript::loadOlder()
{
    if (!m_session)
        return;
    std::optional<QString> firstRowId;
    for (const TranscriptEntry &entry : m_list->entries()) {
        if (entry.kind == TranscriptEntry::Kind::Row) {
            firstRowId = entry.key;
            break;
        }
    }
    if (!m_selection)
        return;
    runLoadOlder(m_alive, QPointer<ConversationTranscript>(this), m_selection, m_session, std::move(firstRowId));
}

} // namespace nbd
