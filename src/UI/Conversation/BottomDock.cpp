#include "UI/Conversation/BottomDock.h"

#include "Session/SessionModel.h"
#include "Store/Interactions.h"
#include "Store/SessionActions.h"
#include "Store/SessionSelection.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Conversation/QueuedMessagesDock.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {
constexpr int kColumnWidth = 748;
constexpr int kSidePadding = 20;
// The composer and the goal banner keep their own width and margins.
constexpr int kOwnWidth = QWIDGETSIZE_MAX;
// The widget as wide as its maximum allows and centred in what is left. (An alignment flag
// would hold it to its size hint instead.)
QHBoxLayout *centredRow(QWidget *widget, int sidePadding)
{
    auto *row = new QHBoxLayout;
    row->setContentsMargins(sidePadding, 0, sidePadding, 0);
    row->setSpacing(0);
    row->addStretch(0);
    row->addWidget(widget, 1);
    row->addStretch(0);
    return row;
}

} // namespace

BottomDock::BottomDock(Interactions *interactions, SessionSelection *selection, SessionActions *sessionActions,
                       OpenInspector onOpenInspector, QWidget *parent)
    : QWidget(parent)
    , m_interactions(interactions)
    , m_selection(selection)
    , m_sessionActions(sessionActions)
    , m_onOpenInspector(std::move(onOpenInspector))
    , m_column(new QVBoxLayout(this))
{
    setObjectName(u"bottom-dock"_s);
    m_column->setContentsMargins(0, 36, 0, 8);
    m_column->setSpacing(6);
    if (interactions && selection) {
        connect(interactions, &Interactions::pendingQuestionsChanged, this, &BottomDock::refresh);
        connect(interactions, &Interactions::pendingApprovalsChanged, this, &BottomDock::refresh);
        connect(selection, &SessionSelection::selectedSubagentChanged, this, &BottomDock::refresh);
    }
}

BottomDock::~BottomDock()
{
    for (const auto &c : m_sessionConnections)
        disconnect(c);
}

bool BottomDock::hasComposerTakeover(const Interactions &interactions, const QString &sessionId)
{
    for (const PendingQuestion &q : interactions.pendingQuestions()) {
        if (q.sessionId == sessionId)
            return true;
    }
    for (const PendingApproval &a : interactions.pendingApprovals()) {
        if (a.sessionId == sessionId)
            return true;
    }
    return false;
}

BottomDock::Input BottomDock::inputFor(const Interactions &interactions, const SessionSelection &selection,
                                       const SessionModel &session, ConversationSurface surface)
{
    if (surface == ConversationSurface::chat && hasComposerTakeover(interactions, session.sessionId()))
        return Input::Cards;
    if (const auto &subagent = selection.selectedSubagent()) {
        if (subagent->address.mode == u"one-shot" || (!subagent->parentAvailable && !session.running()))
            return Input::ReadOnlyComposer;
    }
    return Input::Composer;
}

bool BottomDock::showsExtras(const Interactions &interactions, const SessionSelection &selection,
                             const SessionModel &session, ConversationSurface surface)
{
    return surface == ConversationSurface::chat && !selection.selectedSubagent()
        && !hasComposerTakeover(interactions, session.sessionId());
}

bool BottomDock::showsGoalBanner(const SessionModel &session)
{
    return !session.todos().empty() || (session.goal() && session.goal()->goal.phase != u"complete");
}

bool BottomDock::showsRunSummary(const SessionModel &session) { return session.stats() || session.usage(); }

void BottomDock::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session)
        return;
    for (const auto &c : m_sessionConnections)
        disconnect(c);
    m_sessionConnections.clear();
    // Every slot belongs to one session: a new session makes each afresh, except the composer,
    // which stays in place with its draft and writes to the new session.
    drop(m_goalBanner);
    if (m_queuedDock) {
        m_queuedDock->hide();
        m_queuedDock->deleteLater();
        m_queuedDock = nullptr; // else the next refresh would show the old session's dock until it goes
    }
    if (m_composer && session)
        m_composer->setSession(session);
    else
        drop(m_composer);
    drop(m_readOnly);
    m_readOnlyFor.reset();
    drop(m_runSummary);
    for (auto &card : m_cards)
        drop(card);
    m_cards.clear();
    m_session = std::move(session);
    if (m_session) {
        SessionModel *model = m_session.get();
        for (auto signal : {&SessionModel::runningChanged, &SessionModel::todosChanged, &SessionModel::goalChanged,
                            &SessionModel::pendingMessagesChanged, &SessionModel::usageChanged, &SessionModel::statsChanged})
            m_sessionConnections << connect(model, signal, this, &BottomDock::refresh);
    }
    refresh();
}

void BottomDock::setSurface(ConversationSurface surface)
{
    if (surface == m_surface)
        return;
    m_surface = surface;
    refresh();
}

QList<QWidget *> BottomDock::cards() const
{
    QList<QWidget *> shown;
    if (!m_cardStack || !m_interactions || !m_session)
        return shown;
    for (const PendingQuestion &q : m_interactions->pendingQuestions()) {
        if (q.sessionId == m_session->sessionId())
            if (QWidget *card = m_cards.value(u"q:"_s + q.id))
                shown << card;
    }
    for (const PendingApproval &a : m_interactions->pendingApprovals()) {
        if (a.sessionId == m_session->sessionId())
            if (QWidget *card = m_cards.value(u"a:"_s + a.id))
                shown << card;
    }
    return shown;
}

void BottomDock::place(QWidget *widget, int maxWidth, int sidePadding)
{
    if (!widget)
        return;
    QSizePolicy policy = widget->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Expanding);
    widget->setSizePolicy(policy);
    if (widget->maximumWidth() > maxWidth)
        widget->setMaximumWidth(maxWidth);
    m_column->addLayout(centredRow(widget, sidePadding));
    widget->show();
}

void BottomDock::refresh()
{
    // Where the keyboard is: when it is in the input and that control goes (an answered card,
    // the composer giving way to a card), hiding it would pass the focus down the chain to
    // whatever neighbour comes next, with a focus ring on it. It goes to the new input instead.
    const QPointer<QWidget> focused = QApplication::focusWidget();
    auto inside = [](const QWidget *w, const QWidget *focus) { return focus && w && (w == focus || w->isAncestorOf(focus)); };
    const bool inputHadFocus = inside(m_cardStack, focused) || inside(m_composer, focused) || inside(m_readOnly, focused);
    refreshLayout();
    if (!inputHadFocus || (focused && focused->isVisible() && focused->hasFocus()))
        return;
    QWidget *input = nullptr;
    if (m_input == Input::Cards && m_cardStack) {
        const QList<QWidget *> shown = cards();
        input = shown.isEmpty() ? m_cardStack.data() : shown.first();
    } else if (m_input == Input::Composer) {
        input = m_composer;
    } else if (m_input == Input::ReadOnlyComposer) {
        input = m_readOnly;
    }
    if (input && input->isVisible())
        input->setFocus(Qt::OtherFocusReason);
}

void BottomDock::refreshLayout()
{
    while (QLayoutItem *item = m_column->takeAt(0))
        delete item;
    if (!m_session || !m_interactions || !m_selection) {
        hide();
        return;
    }
    Interactions *interactions = m_interactions;
    SessionSelection *selection = m_selection;
    const std::shared_ptr<SessionModel> &session = m_session;

    // Extras.
    const bool extras = showsExtras(*interactions, *selection, *session, m_surface);
    if (extras && showsGoalBanner(*session)) {
        if (!m_goalBanner)
            m_goalBanner = new GoalBannerView(m_sessionActions, session, this);
        place(m_goalBanner, kOwnWidth, 0);
    } else {
        drop(m_goalBanner);
    }
    if (extras && !session->queuedMessages().empty()) {
        if (!m_queuedDock)
            m_queuedDock = new QueuedMessagesDock(m_sessionActions, session, this);
        place(m_queuedDock, 780, kSidePadding);
    } else if (m_queuedDock) {
        m_queuedDock->hide();
        m_queuedDock->deleteLater();
        m_queuedDock = nullptr;
    }

    // Input.
    m_input = inputFor(*interactions, *selection, *session, m_surface);
    if (m_input == Input::Cards) {
        if (!m_cardStack) {
            m_cardStack = new QWidget(this);
            m_cardStack->setObjectName(u"composer-takeover-cards"_s);
            auto *stack = new QVBoxLayout(m_cardStack);
            stack->setContentsMargins(0, 0, 0, 0);
            stack->setSpacing(8);
        }
        auto *stack = static_cast<QVBoxLayout *>(m_cardStack->layout());
        while (QLayoutItem *item = stack->takeAt(0))
            delete item;
        QSet<QString> live;
        auto addCard = [&](const QString &key, const std::function<QWidget *()> &make) {
            live.insert(key);
            QPointer<QWidget> &card = m_cards[key];
            if (!card)
                card = make();
            if (!card)
                return;
            card->setParent(m_cardStack);
            QSizePolicy policy = card->sizePolicy();
            policy.setHorizontalPolicy(QSizePolicy::Expanding);
            card->setSizePolicy(policy);
            card->setMaximumWidth(std::min(card->maximumWidth(), kColumnWidth));
            stack->addLayout(centredRow(card, 0));
            card->show();
        };
        for (const PendingQuestion &q : interactions->pendingQuestions()) {
            if (q.sessionId == session->sessionId())
                addCard(u"q:"_s + q.id, [&] { return new QuestionCard(interactions, q, m_cardStack); });
        }
        for (const PendingApproval &a : interactions->pendingApprovals()) {
            if (a.sessionId == session->sessionId())
                addCard(u"a:"_s + a.id, [&] { return new ApprovalCard(interactions, a, m_cardStack); });
        }
        for (auto it = m_cards.begin(); it != m_cards.end();) {
            if (!live.contains(it.key())) {
                drop(it.value());
                it = m_cards.erase(it);
            } else {
                ++it;
            }
        }
        place(m_cardStack, kOwnWidth, kSidePadding);
    } else if (m_cardStack) {
        for (auto &card : m_cards)
            drop(card);
        m_cards.clear();
        QPointer<QWidget> stack = m_cardStack;
        drop(stack);
        m_cardStack = nullptr;
    }
    if (m_input == Input::ReadOnlyComposer) {
        const SelectedSubagent subagent = *selection->selectedSubagent();
        if (m_readOnly && m_readOnlyFor != subagent)
            drop(m_readOnly);
        if (!m_readOnly) {
            m_readOnly = new SubagentReadOnlyComposer(subagent, this);
            m_readOnlyFor = subagent;
        }
        // The card keeps its own width and margins, as the composer whose place it takes.
        place(m_readOnly, kOwnWidth, 0);
    } else {
        drop(m_readOnly);
        m_readOnlyFor.reset();
    }
    // The composer keeps its draft while cards cover it for a moment.
    if (m_input == Input::Composer) {
        if (!m_composer)
            m_composer = new ComposerView(selection, m_sessionActions, session, this);
        place(m_composer, kOwnWidth, 0);
    } else if (m_composer) {
        m_composer->hide();
    }

    // Run summary.
    if (showsRunSummary(*session)) {
        if (!m_runSummary) {
            const OpenInspector open = m_onOpenInspector;
            m_runSummary = new RuntimeSummaryBar(session, [open] {
                if (open)
                    open(RuntimeInspectorPanel::Runtime, std::nullopt);
            }, this);
            m_runSummary->setObjectName(u"runtime-summary-bar"_s);
        }
        // The bar pads its own 748-pt line; its padded rectangle is all clickable.
        place(m_runSummary, kOwnWidth, 0);
    } else {
        drop(m_runSummary);
    }
    show();
    updateGeometry();
    Q_EMIT layoutChanged();
}

int BottomDock::heightForWidth(int width) const
{
    return m_column->hasHeightForWidth() ? m_column->totalHeightForWidth(width) : m_column->totalSizeHint().height();
}

QSize BottomDock::sizeHint() const { return m_column->totalSizeHint(); }

void BottomDock::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    QColor clear = Theme::canvas();
    clear.setAlphaF(0);
    gradient.setColorAt(0, clear);
    gradient.setColorAt(0.5, Theme::canvas());
    gradient.setColorAt(1, Theme::canvas());
    painter.fillRect(rect(), gradient);
}

bool BottomDock::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::LayoutRequest)
        Q_EMIT layoutChanged();
    return handled;
}

} // namespace nbd
