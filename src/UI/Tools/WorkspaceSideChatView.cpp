#include "UI/Tools/WorkspaceSideChatView.h"

#include "Domain/Graphemes.h"
#include "Domain/Trimming.h"
#include "Session/SessionModel.h"
#include "Store/Interactions.h"
#include "Store/SessionActions.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Shared/DeepDivingStatusView.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"
#include "UI/Shared/UnsentPrompt.h"
#include "UI/Tools/ToolChrome.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedLayout>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// One chat bubble: selectable plain text on a rounded fill.
class Bubble : public QLabel
{
public:
    Bubble(const SideMessage &message, QWidget *parent)
        : QLabel(message.text, parent)
        , m_user(message.role == SideMessage::Role::User)
    {
        setObjectName(u"workspace-side-chat-bubble-"_s + message.id);
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        setFont(Fonts::callout());
        setContentsMargins(10, 8, 10, 8);
        setAccessibleName(message.text);
        setAccessibleDescription(m_user ? u"我"_s : u"助手"_s);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_user ? Theme::bubble() : Theme::inset());
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
        painter.end();
        QLabel::paintEvent(event);
    }

private:
    bool m_user;
};

QLabel *secondaryLabel(const QString &text, QFont font, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Theme::secondaryText());
    label->setPalette(palette);
    return label;
}

} // namespace

std::vector<SideMessage> WorkspaceSideChatView::sideMessages(const SessionModel &session)
{
    return sideMessages(session.items(), session.pendingMessages());
}

std::vector<SideMessage> WorkspaceSideChatView::sideMessages(const std::vector<TranscriptItem> &items,
                                                             const std::vector<PendingUserMessage> &pending)
{
    std::vector<SideMessage> out;
    const std::size_t first = items.size() > kTranscriptWindow ? items.size() - kTranscriptWindow : 0;
    for (std::size_t i = first; i < items.size(); ++i) {
        const TranscriptItem &item = items[i];
        if (const auto *user = std::get_if<UserMessageItem>(&item)) {
            if (user->isPlainUser() && !user->text.isEmpty())
                out.push_back(SideMessage{user->id, SideMessage::Role::User, user->text});
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            QStringList texts;
            for (const StepItem &step : turn->steps) {
                for (const BlockItem &block : step.blocks) {
                    if (block.kind == BlockKind::text)
                        texts << block.text;
                }
            }
            const QString joined = texts.join(u'\n');
            if (!joined.isEmpty())
                out.push_back(SideMessage{transcriptItemId(item), SideMessage::Role::Assistant, Graphemes::prefix(joined, kAnswerLimit)});
        }
    }
    const std::size_t firstPending = pending.size() > kPendingWindow ? pending.size() - kPendingWindow : 0;
    for (std::size_t i = firstPending; i < pending.size(); ++i)
        out.push_back(SideMessage{u"pending-"_s + pending[i].id, SideMessage::Role::User, pending[i].text});
    if (out.size() > kBubbleLimit)
        out.erase(out.begin(), out.end() - std::ptrdiff_t(kBubbleLimit));
    return out;
}

WorkspaceSideChatView::WorkspaceSideChatView(Interactions *interactions, SessionActions *sessionActions,
                                             std::function<void()> onRetry, QWidget *parent)
    : QWidget(parent)
    , m_interactions(interactions)
    , m_sessionActions(sessionActions)
    , m_onRetry(std::move(onRetry))
    , m_states(new QStackedLayout(this))
    , m_loadingPage(new QWidget(this))
    , m_failedPage(new QWidget(this))
    , m_failedText(nullptr)
    , m_chatPage(new QWidget(this))
    , m_scroll(new QScrollArea(m_chatPage))
    , m_bubbles(new QWidget)
    , m_bubbleLayout(new QVBoxLayout(m_bubbles))
    , m_working(new DeepDivingStatusView(m_bubbles))
    , m_empty(new QWidget(m_chatPage))
    , m_inputRow(new QWidget(m_chatPage))
    , m_cardsArea(new QScrollArea(m_chatPage))
    , m_cardsColumn(new QWidget)
    , m_cardsLayout(new QVBoxLayout(m_cardsColumn))
    , m_input(new QPlainTextEdit(m_inputRow))
    , m_stop(new ChromeIconButton(u"stop.fill"_s, u"停止运行"_s, std::nullopt, [this] {
        if (m_sessionActions && m_runtime.session)
            m_sessionActions->cancelSession(m_runtime.session->sessionId());
    }, m_inputRow))
    , m_send(new ChromeIconButton(u"arrow.up"_s, u"发送"_s, Theme::sendButton(), [this] { send(); }, m_inputRow))
{
    setObjectName(u"workspace-side-chat"_s);

    // Creating.
    m_loadingPage->setObjectName(u"workspace-side-chat-loading"_s);
    auto *loading = new QVBoxLayout(m_loadingPage);
    loading->setSpacing(10);
    loading->addStretch(1);
    auto *spinner = new Spinner(14, m_loadingPage);
    spinner->setAccessibleName(u"正在加载"_s);
    loading->addWidget(spinner, 0, Qt::AlignHCenter);
    loading->addWidget(secondaryLabel(u"正在创建新会话…"_s, Fonts::callout(), m_loadingPage));
    loading->addStretch(1);
    m_states->addWidget(m_loadingPage);

    // Failed.
    m_failedPage->setObjectName(u"workspace-side-chat-failed"_s);
    auto *failed = new QVBoxLayout(m_failedPage);
    failed->setSpacing(12);
    failed->addStretch(1);
    failed->addWidget(new IconView(u"exclamationmark.bubble"_s, 22, m_failedPage), 0, Qt::AlignHCenter);
    m_failedText = new QLabel(m_failedPage);
    m_failedText->setObjectName(u"workspace-side-chat-error"_s);
    m_failedText->setTextFormat(Qt::PlainText);
    m_failedText->setFont(Fonts::system(12, QFont::Medium));
    m_failedText->setAlignment(Qt::AlignCenter);
    m_failedText->setWordWrap(true);
    failed->addWidget(m_failedText);
    auto *retry = new QPushButton(u"重试"_s, m_failedPage);
    retry->setObjectName(u"workspace-side-chat-retry"_s);
    connect(retry, &QPushButton::clicked, this, [this] {
        if (m_onRetry)
            m_onRetry();
    });
    failed->addWidget(retry, 0, Qt::AlignHCenter);
    failed->addStretch(1);
    m_states->addWidget(m_failedPage);

    // Chat.
    auto *chat = new QVBoxLayout(m_chatPage);
    chat->setContentsMargins(0, 0, 0, 0);
    chat->setSpacing(0);
    m_scroll->setObjectName(u"workspace-side-chat-list"_s);
    m_scroll->setAccessibleName(u"侧边聊天消息"_s);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setStyleSheet(u"QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"_s);
    m_bubbleLayout->setContentsMargins(12, 12, 12, 12);
    m_bubbleLayout->setSpacing(12);
    m_scroll->setWidget(m_bubbles);
    auto *listArea = new QWidget(m_chatPage);
    auto *listStack = new QStackedLayout(listArea);
    listStack->setStackingMode(QStackedLayout::StackAll);
    m_empty->setObjectName(u"workspace-side-chat-empty"_s);
    m_empty->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto *empty = new QVBoxLayout(m_empty);
    empty->setSpacing(8);
    empty->addStretch(1);
    auto *emptyIcon = new IconView(u"bubble.left.and.bubble.right"_s, 22, m_empty);
    emptyIcon->setTint(QColor(65, 118, 230));
    empty->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    empty->addWidget(secondaryLabel(u"新聊天"_s, Fonts::system(13, QFont::Medium), m_empty));
    empty->addStretch(1);
    listStack->addWidget(m_empty);
    listStack->addWidget(m_scroll);
    chat->addWidget(listArea, 1);
    chat->addWidget(new ThemeRule(&Theme::hairline, m_chatPage));

    // The host's questions and approvals for this session, in the input row's place.
    m_cardsArea->setObjectName(u"workspace-side-chat-cards"_s);
    m_cardsArea->setAccessibleName(u"待处理的请求"_s);
    m_cardsArea->setWidgetResizable(true);
    m_cardsArea->setFrameShape(QFrame::NoFrame);
    m_cardsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_cardsArea->viewport()->setAutoFillBackground(false);
    m_cardsLayout->setContentsMargins(8, 8, 8, 8);
    m_cardsLayout->setSpacing(8);
    m_cardsArea->setWidget(m_cardsColumn);
    m_cardsColumn->setAutoFillBackground(false);
    m_cardsColumn->installEventFilter(this);
    m_cardsArea->installEventFilter(this);
    m_cardsArea->hide();
    chat->addWidget(m_cardsArea);

    auto *inputRow = new QHBoxLayout(m_inputRow);
    inputRow->setContentsMargins(10, 10, 10, 10);
    inputRow->setSpacing(8);
    m_input->setObjectName(u"workspace-side-chat-input"_s);
    m_input->setAccessibleName(u"向侧边会话提问"_s);
    m_input->setPlaceholderText(u"向侧边会话提问"_s);
    m_input->setFrameShape(QFrame::NoFrame);
    m_input->setFont(Fonts::callout());
    m_input->setTabChangesFocus(true);
    m_input->setStyleSheet(u"QPlainTextEdit { background: transparent; }"_s);
    m_input->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_input->installEventFilter(this);
    inputRow->addWidget(m_input, 1);
    m_stop->setObjectName(u"workspace-side-chat-stop"_s);
    inputRow->addWidget(m_stop, 0, Qt::AlignBottom);
    m_send->setObjectName(u"workspace-side-chat-send"_s);
    inputRow->addWidget(m_send, 0, Qt::AlignBottom);
    chat->addWidget(m_inputRow);
    m_states->addWidget(m_chatPage);

    connect(m_input, &QPlainTextEdit::textChanged, this, &WorkspaceSideChatView::syncInput);
    if (interactions) {
        connect(interactions, &Interactions::pendingQuestionsChanged, this, &WorkspaceSideChatView::syncState);
        connect(interactions, &Interactions::pendingApprovalsChanged, this, &WorkspaceSideChatView::syncState);
    }
    syncInput();
    syncState();
}

void WorkspaceSideChatView::setRuntime(const WorkspaceSideChatRuntime &runtime)
{
    if (runtime == m_runtime && m_boundSession == runtime.session)
        return;
    m_runtime = runtime;
    bindSession();
    syncState();
}

void WorkspaceSideChatView::bindSession()
{
    if (m_boundSession == m_runtime.session)
        return;
    for (const auto &connection : std::as_const(m_sessionConnections))
        disconnect(connection);
    m_sessionConnections.clear();
    m_boundSession = m_runtime.session;
    if (SessionModel *session = m_boundSession.get()) {
        m_sessionConnections << connect(session, &SessionModel::transcriptRevisionChanged, this, [this] {
            rebuildBubbles();
            scrollToBottom();
        });
        m_sessionConnections << connect(session, &SessionModel::pendingMessagesChanged, this, [this] {
            rebuildBubbles();
            scrollToBottom();
        });
        m_sessionConnections << connect(session, &SessionModel::runningChanged, this, [this] {
            rebuildBubbles();
            syncInput();
        });
    }
    rebuildBubbles();
    scrollToBottom();
}

void WorkspaceSideChatView::rebuildBubbles()
{
    while (QLayoutItem *item = m_bubbleLayout->takeAt(0)) {
        if (QWidget *w = item->widget(); w && w != m_working)
            delete w;
        else if (QLayout *row = item->layout()) {
            while (QLayoutItem *inner = row->takeAt(0)) {
                delete inner->widget();
                delete inner;
            }
        }
        delete item;
    }
    const SessionModel *session = m_boundSession.get();
    const std::vector<SideMessage> messages = session ? sideMessages(*session) : std::vector<SideMessage>{};
    for (const SideMessage &message : messages) {
        auto *row = new QHBoxLayout;
        row->setSpacing(0);
        auto *bubble = new Bubble(message, m_bubbles);
        if (message.role == SideMessage::Role::User) {
            row->addSpacing(24);
            row->addStretch(1);
            row->addWidget(bubble, 0);
        } else {
            row->addWidget(bubble, 0);
            row->addStretch(1);
            row->addSpacing(24);
        }
        m_bubbleLayout->addLayout(row);
    }
    const bool running = session && session->running();
    m_working->setVisible(running);
    m_bubbleLayout->addWidget(m_working, 0, Qt::AlignLeft);
    m_bubbleLayout->addStretch(1);
    m_empty->setVisible(messages.empty() && !running);
    m_empty->setProperty("sessionId", session ? session->sessionId() : QString());
}

void WorkspaceSideChatView::scrollToBottom()
{
    // After the new rows have been laid out.
    QTimer::singleShot(0, this, [this] {
        QScrollBar *bar = m_scroll->verticalScrollBar();
        bar->setValue(bar->maximum());
    });
}

void WorkspaceSideChatView::syncInput()
{
    const bool blank = text::trimWhitespaceAndNewlines(m_input->toPlainText()).isEmpty();
    m_send->setEnabled(!blank);
    m_stop->setVisible(m_boundSession && m_boundSession->running());
    // One to five lines, then the field scrolls.
    const QFontMetrics fm(m_input->font());
    const int lines = std::clamp(int(m_input->document()->size().height()), 1, 5);
    m_input->setFixedHeight(lines * fm.lineSpacing() + 2 * int(m_input->document()->documentMargin()) + 2);
}

void WorkspaceSideChatView::syncState()
{
    if (!m_runtime.session) {
        m_failedText->setText(m_runtime.creationError.value_or(u"无法创建侧边会话"_s));
        m_states->setCurrentWidget(m_runtime.loading ? m_loadingPage : m_failedPage);
        return;
    }
    const bool waiting = syncCards();
    m_inputRow->setVisible(!waiting);
    m_states->setCurrentWidget(m_chatPage);
    syncInput();
}

bool WorkspaceSideChatView::syncCards()
{
    QList<std::pair<QString, std::function<QWidget *()>>> wanted;
    if (m_interactions && m_runtime.session) {
        const QString id = m_runtime.session->sessionId();
        Interactions *interactions = m_interactions;
        for (const PendingQuestion &q : interactions->pendingQuestions()) {
            if (q.sessionId == id)
                wanted.append({u"q:"_s + q.id,
                               [interactions, q, this] { return new QuestionCard(interactions, q, m_cardsColumn); }});
        }
        for (const PendingApproval &a : interactions->pendingApprovals()) {
            if (a.sessionId == id)
                wanted.append({u"a:"_s + a.id,
                               [interactions, a, this] { return new ApprovalCard(interactions, a, m_cardsColumn); }});
        }
    }
    while (QLayoutItem *item = m_cardsLayout->takeAt(0))
        delete item;
    // A card stays while its request is pending, so a half-answered question keeps its drafts.
    QHash<QString, QPointer<QWidget>> kept;
    for (const auto &[key, make] : std::as_const(wanted)) {
        QPointer<QWidget> card = m_cards.take(key);
        if (!card)
            card = make();
        m_cardsLayout->addWidget(card);
        card->show();
        kept.insert(key, card);
    }
    for (const QPointer<QWidget> &gone : std::as_const(m_cards)) {
        if (gone) {
            gone->hide();
            gone->deleteLater();
        }
    }
    m_cards = std::move(kept);
    m_cardsLayout->addStretch(1);
    const bool waiting = !m_cards.isEmpty();
    m_cardsArea->setVisible(waiting);
    fitCards();
    return waiting;
}

void WorkspaceSideChatView::fitCards()
{
    // As tall as the cards, up to 420; beyond that the cards scroll.
    if (m_fittingCards)
        return;
    m_fittingCards = true;
    const int width = m_cardsArea->viewport()->width();
    QLayout *layout = m_cardsColumn->layout();
    const int wanted = layout->hasHeightForWidth() && width > 0 ? layout->totalHeightForWidth(width)
                                                                : layout->totalSizeHint().height();
    m_cardsArea->setFixedHeight(std::min(kCardsMaxHeight, wanted));
    m_fittingCards = false;
}

void WorkspaceSideChatView::send()
{
    const QString typed = m_input->toPlainText();
    const QString trimmed = text::trimWhitespaceAndNewlines(typed).toString();
    if (trimmed.isEmpty())
        return;
    m_input->clear();
    if (!m_sessionActions || !m_runtime.session)
        return;
    const QString sessionId = m_runtime.session->sessionId();
    const QPointer<WorkspaceSideChatView> self(this);
    giveBackUnsentPrompt(
        m_sessionActions->sendPrompt(trimmed, sessionId), m_input, typed, [self, sessionId] {
            return self && self->m_runtime.session && self->m_runtime.session->sessionId() == sessionId;
        });
}

bool WorkspaceSideChatView::eventFilter(QObject *watched, QEvent *event)
{
    if ((watched == m_cardsColumn && event->type() == QEvent::LayoutRequest)
        || (watched == m_cardsArea && event->type() == QEvent::Resize)) {
        const bool handled = QWidget::eventFilter(watched, event);
        fitCards();
        return handled;
    }
    // Enter sends; Shift+Enter starts a new line.
    if (watched == m_input && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !(key->modifiers() & Qt::ShiftModifier)) {
            send();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void WorkspaceSideChatView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
