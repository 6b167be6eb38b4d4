#include "UI/Conversation/QueuedMessagesDock.h"

#include "Domain/Trimming.h"
#include "Session/SessionModel.h"
#include "Store/SessionActions.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kMaxListHeight = 180;

SymbolButton *queueButton(const QString &symbol, const QString &help, bool disabled, QWidget *parent)
{
    auto *button = new SymbolButton(symbol, help, QSize(26, 26), 12, parent);
    button->setEnabled(!disabled);
    return button;
}

IconView *leadIcon(const QString &symbol)
{
    auto *icon = new IconView(symbol, 11);
    icon->setTint(Theme::tertiaryText());
    icon->setFixedWidth(14);
    return icon;
}

// Rows of the list made at once, and added at each "显示更多".
constexpr qsizetype kRowsPerPage = 30;

// A label cut after two lines.
class TwoLineLabel : public QLabel
{
public:
    using QLabel::QLabel;
    int heightForWidth(int width) const override
    {
        return std::min(QLabel::heightForWidth(width), 2 * fontMetrics().lineSpacing());
    }
};

} // namespace

QueuedMessagesDock::QueuedMessagesDock(SessionActions *sessionActions, std::shared_ptr<SessionModel> session, QWidget *parent)
    : QWidget(parent)
    , m_sessionActions(sessionActions)
    , m_session(std::move(session))
    , m_column(new QVBoxLayout(this))
{
    setObjectName(u"queued-messages-dock"_s);
    setMaximumWidth(780);
    m_column->setContentsMargins(16, 0, 16, 0);
    m_column->setSpacing(0);
    if (m_session) {
        m_count = qsizetype(m_session->queuedMessages().size());
        m_connections << connect(m_session.get(), &SessionModel::pendingMessagesChanged, this,
                                 &QueuedMessagesDock::queueChanged);
        m_connections << connect(m_session.get(), &SessionModel::runningChanged, this, &QueuedMessagesDock::rebuild);
    }
    rebuild();
}

QueuedMessagesDock::~QueuedMessagesDock()
{
    for (const auto &c : m_connections)
        disconnect(c);
}

QString QueuedMessagesDock::trimmedDraft() const { return text::trimWhitespaceAndNewlines(m_draft).toString(); }

QString QueuedMessagesDock::headerText(qsizetype count) { return QString::number(count) + u" 条排队消息"_s; }

void QueuedMessagesDock::queueChanged()
{
    const qsizetype count = m_session ? qsizetype(m_session->queuedMessages().size()) : 0;
    const qsizetype old = m_count;
    m_count = count;
    if (count == 0) {
        m_collapsed = true;
        m_editingId.reset();
        m_draft.clear();
    } else if (old == 0) {
        m_collapsed = true;
    }
    rebuild();
}

void QueuedMessagesDock::save(const QString &messageId)
{
    const QString text = trimmedDraft();
    if (text.isEmpty())
        return;
    if (m_sessionActions)
        m_sessionActions->editQueuedMessage(messageId, text);
    m_editingId.reset();
    rebuild();
}

void QueuedMessagesDock::startEditing(const PendingUserMessage &message)
{
    m_editingId = message.id;
    m_draft = message.text;
    rebuild();
    if (m_editor) {
        m_editor->setFocus();
        m_editor->moveCursor(QTextCursor::End);
    }
}

void QueuedMessagesDock::rebuild()
{
    if (m_body) {
        m_body->hide();
        m_body->deleteLater();
    }
    m_editor = nullptr;
    m_saveButton = nullptr;
    m_body = new QWidget(this);
    auto *stack = new QVBoxLayout(m_body);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    const std::vector<PendingUserMessage> messages =
        m_session ? m_session->queuedMessages() : std::vector<PendingUserMessage>();
    const qsizetype count = qsizetype(messages.size());

    if (count >= 2) {
        auto *header = new RowHeaderButton(m_body);
        header->setObjectName(u"queued-messages-header"_s);
        header->setFixedHeight(28);
        header->row()->setContentsMargins(2, 0, 2, 0);
        header->row()->setSpacing(8);
        auto *tray = new IconView(u"tray.full"_s, 11);
        tray->setTint(Theme::secondaryText());
        header->addPassive(tray);
        header->addPassive(TextLabels::make(headerText(count), Fonts::system(12), Theme::secondaryText(), TextLabels::NoOption));
        header->row()->addStretch(1);
        auto *chevron = new IconView(m_collapsed ? u"chevron.up"_s : u"chevron.down"_s, 9);
        chevron->setObjectName(u"queued-messages-chevron"_s);
        chevron->setTint(Theme::secondaryText());
        header->addPassive(chevron);
        const QString help = m_collapsed ? u"展开排队消息"_s : u"收起排队消息"_s;
        header->setToolTip(help);
        header->setAccessibleName(headerText(count));
        header->setAccessibleDescription(help);
        header->setDisclosure(true, !m_collapsed);
        connect(header, &QAbstractButton::clicked, this, [this] {
            m_collapsed = !m_collapsed;
            rebuild();
        });
        stack->addWidget(header);
    }

    const bool listShown = count == 1 || !m_collapsed || m_editingId.has_value();
    if (count == 1) {
        stack->addWidget(queueRow(messages.front(), true));
    } else if (count >= 2 && listShown) {
        auto *scroll = new QScrollArea(m_body);
        scroll->setObjectName(u"queued-messages-list"_s);
        scroll->setAccessibleName(u"排队消息"_s);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidgetResizable(true);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->viewport()->setAutoFillBackground(false);
        auto *list = new QWidget;
        list->setAutoFillBackground(false);
        auto *rows = new QVBoxLayout(list);
        rows->setContentsMargins(0, 0, 0, 0);
        rows->setSpacing(0);
        // Rows come a page at a time from the queue as it was when the dock was rebuilt (every
        // change to the queue rebuilds it).
        auto *paged = new PagedColumn(count, kRowsPerPage,
                                      [this, messages](qsizetype index, QWidget *owner) -> QWidget * {
                                          QWidget *row = queueRow(messages[size_t(index)], false);
                                          row->setParent(owner);
                                          return row;
                                      },
                                      list);
        paged->rows()->setSpacing(2);
        // The message being edited is always among the rows made.
        if (m_editingId) {
            const auto editing = std::find_if(messages.begin(), messages.end(),
                                              [this](const PendingUserMessage &m) { return m.id == *m_editingId; });
            while (editing != messages.end() && paged->shown() <= qsizetype(editing - messages.begin()))
                paged->showMore();
        }
        rows->addWidget(paged);
        scroll->setWidget(list);
        const int natural = list->sizeHint().height();
        scroll->setFixedHeight(std::min(natural, kMaxListHeight));
        stack->addWidget(scroll);
    }
    m_column->addWidget(m_body);
    m_body->show();
    setVisible(count > 0);
    updateGeometry();
}

QWidget *QueuedMessagesDock::queueRow(const PendingUserMessage &message, bool showsLeadIcon)
{
    auto *row = new QWidget;
    row->setObjectName(u"queued-message"_s);
    row->setProperty("messageId", message.id);
    auto *line = new QHBoxLayout(row);
    line->setSpacing(8);
    const bool editing = m_editingId && *m_editingId == message.id;
    if (!editing) {
        line->setContentsMargins(2, 0, 2, 0);
        row->setMinimumHeight(34);
        if (showsLeadIcon)
            line->addWidget(leadIcon(u"tray.full"_s));
        auto *text = new TwoLineLabel;
        text->setTextFormat(Qt::PlainText);
        // Two lines show: the rest of a long message is never laid out.
        text->setText(rowText(message.text));
        text->setWordWrap(true);
        text->setFont(Fonts::system(12));
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        TextLabels::setColor(text, Theme::secondaryText());
        text->setObjectName(u"queued-message-text"_s);
        text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        line->addWidget(text, 1);
        auto *edit = queueButton(u"pencil"_s, u"编辑等待消息"_s, false, row);
        edit->setObjectName(u"queued-edit"_s);
        auto *remove = queueButton(u"trash"_s, u"移除等待消息"_s, false, row);
        remove->setObjectName(u"queued-remove"_s);
        const bool running = m_session && m_session->running();
        auto *steer = queueButton(u"arrow.turn.up.right"_s, running ? u"插话发送"_s : u"仅运行中可插话发送"_s, !running, row);
        steer->setObjectName(u"queued-steer"_s);
        line->addWidget(edit);
        line->addWidget(remove);
        line->addWidget(steer);
        connect(edit, &QAbstractButton::clicked, this, [this, message] { startEditing(message); });
        const QString id = message.id;
        connect(remove, &QAbstractButton::clicked, this, [this, id] {
            if (m_sessionActions)
                m_sessionActions->removeQueuedMessage(id);
        });
        connect(steer, &QAbstractButton::clicked, this, [this, id] {
            if (m_sessionActions)
                m_sessionActions->steerQueuedMessage(id);
        });
        return row;
    }

    line->setContentsMargins(2, 7, 2, 7);
    if (showsLeadIcon)
        line->addWidget(leadIcon(u"pencil"_s));
    m_editor = new QPlainTextEdit(row);
    m_editor->setObjectName(u"queued-edit-field"_s);
    m_editor->setPlaceholderText(u"编辑等待消息"_s);
    m_editor->setAccessibleName(u"编辑等待消息"_s);
    m_editor->setFont(Fonts::system(12));
    m_editor->setFrameShape(QFrame::NoFrame);
    m_editor->setTabChangesFocus(true);
    m_editor->setPlainText(m_draft);
    m_editor->installEventFilter(this);
    line->addWidget(m_editor, 1);
    auto *cancel = queueButton(u"xmark"_s, u"取消编辑"_s, false, row);
    cancel->setObjectName(u"queued-cancel-edit"_s);
    m_saveButton = queueButton(u"checkmark"_s, u"保存修改"_s, trimmedDraft().isEmpty(), row);
    m_saveButton->setObjectName(u"queued-save-edit"_s);
    line->addWidget(cancel);
    line->addWidget(m_saveButton);
    connect(cancel, &QAbstractButton::clicked, this, [this] {
        m_editingId.reset();
        rebuild();
    });
    const QString id = message.id;
    connect(m_saveButton, &QAbstractButton::clicked, this, [this, id] { save(id); });
    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_editor)
            return;
        m_draft = m_editor->toPlainText();
        if (m_saveButton)
            m_saveButton->setEnabled(!trimmedDraft().isEmpty());
        fitEditor();
    });
    fitEditor();
    return row;
}

// From one to four lines, growing with the draft.
void QueuedMessagesDock::fitEditor()
{
    if (!m_editor)
        return;
    const int lineHeight = m_editor->fontMetrics().lineSpacing();
    int lines = 0;
    for (QTextBlock block = m_editor->document()->begin(); block.isValid(); block = block.next())
        lines += std::max(1, block.layout() ? block.layout()->lineCount() : 1);
    lines = std::clamp(lines, 1, 4);
    const int frame = int(m_editor->document()->documentMargin() * 2) + 2;
    const int h = lines * lineHeight + frame;
    if (m_editor->height() != h) {
        m_editor->setFixedHeight(h);
        updateGeometry();
    }
}

bool QueuedMessagesDock::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_editor && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !(key->modifiers() & Qt::ShiftModifier)) {
            if (m_editingId)
                save(*m_editingId);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace nbd
