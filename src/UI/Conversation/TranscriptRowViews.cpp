#include "UI/Conversation/TranscriptRowViews.h"

#include "Domain/BidiIsolate.h"
#include "Store/SessionActions.h"

#include "UI/Conversation/BlockContent.h"
#include "UI/Conversation/BlockView.h"
#include "UI/Shared/CardWidgets.h"
#include "UI/Shared/DeepDivingStatusView.h"
#include "UI/Shared/LongTextView.h"
#include "Domain/MarkdownParser.h"
#include "UI/Conversation/MessageRows.h"
#include "UI/Conversation/NoticeRow.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Shared/LatestJob.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

// ---- TranscriptRenderRowView ----

TranscriptRenderRowView::TranscriptRenderRowView(SessionActions *sessionActions, const QString &sessionId,
                                                 const TranscriptEntry &entry, bool expanded, QWidget *parent)
    : TranscriptEntryView(parent)
    , m_sessionActions(sessionActions)
    , m_sessionId(sessionId)
    , m_row(*entry.row)
    , m_showCursor(entry.showCursor)
    , m_nameJob(std::make_unique<LatestJob<SpokenText>>(this))
{
    setObjectName(u"transcript-row"_s);
    setProperty("rowId", m_row.id);
    build(expanded);
}

TranscriptRenderRowView::~TranscriptRenderRowView() = default;

TranscriptRenderRowView::ContentKind TranscriptRenderRowView::kindFor(const TranscriptRenderRow &row, bool showCursor)
{
    if (row.user())
        return ContentKind::User;
    if (row.notice())
        return ContentKind::Notice;
    if (row.block()->kind == BlockKind::text)
        return showCursor ? ContentKind::StreamingText : ContentKind::FinalText;
    return ContentKind::Block;
}

QString TranscriptRenderRowView::rowText(const TranscriptRenderRow &row)
{
    if (const UserMessageItem *user = row.user())
        return user->text;
    if (const NoticeItem *notice = row.notice())
        return notice->detail ? notice->text + u"，"_s + *notice->detail : notice->text;
    const BlockItem *block = row.block();
    switch (block->kind) {
    case BlockKind::text:
        // What the row shows, not its source: a screen reader reads no asterisks, pipes or
        // link destinations.
        return MarkdownParser::plainText(block->text);
    case BlockKind::toolCall: {
        QString name = text::bidiIsolated(ToolCallChip::presentationTitle(*block));
        if (const std::optional<QString> status = ToolCallChip::statusLabel(*block))
            name += u"，"_s + *status;
        return name;
    }
    case BlockKind::reasoning:
        break;
    }
    return block->text;
}

QString TranscriptRenderRowView::accessibleText() const { return accessibleName(); }

void TranscriptRenderRowView::build(bool expanded)
{
    if (m_content) {
        m_content->hide();
        m_content->deleteLater();
        m_content = nullptr;
    }
    m_kind = kindFor(m_row, m_showCursor);
    switch (m_kind) {
    case ContentKind::User: {
        auto *bubble = new UserBubble(m_sessionActions, m_sessionId, *m_row.user(), this);
        connect(bubble, &UserBubble::heightMayHaveChanged, this, &TranscriptEntryView::heightMayHaveChanged);
        m_content = bubble;
        break;
    }
    case ContentKind::StreamingText:
        m_content = new StreamingText(m_row.block()->text, this);
        break;
    case ContentKind::FinalText:
        m_content = BlockContent::createFinalText(m_row.block()->text, this);
        break;
    case ContentKind::Block: {
        auto *view = new BlockView(*m_row.block(), expanded, this);
        connect(view, &BlockView::expandedChanged, this, &TranscriptEntryView::expandedChanged);
        m_content = view;
        break;
    }
    case ContentKind::Notice: {
        auto *notice = new NoticeRow(*m_row.notice(), expanded, NoticeRow::kPayloadPreviewLimit, this);
        connect(notice, &NoticeRow::expandedChanged, this, &TranscriptEntryView::expandedChanged);
        m_content = notice;
        break;
    }
    }
    updateAccessibleText();
    m_content->setGeometry(rect());
    m_content->show();
}

// Screen readers hear the text as it stands at each publish, not at each delta. The words of a
// long text are found on the thread pool; until they come the row keeps the words it had.
void TranscriptRenderRowView::updateAccessibleText()
{
    const BlockItem *block = m_row.block();
    if (block && block->kind == BlockKind::text && LongTextView::isLong(block->text)) {
        m_nameJob->start(
            [text = block->text, prefix = m_spokenPrefix]() mutable {
                QString words = MarkdownParser::plainText(text, prefix);
                return SpokenText{std::move(words), std::move(prefix)};
            },
            [this](const SpokenText &spoken) {
                // Only a text still streaming grows on from there; a finished one lets go of it.
                m_spokenPrefix = m_showCursor ? spoken.prefix : MarkdownParser::PlainTextPrefix{};
                if (spoken.words != accessibleName())
                    setAccessibleName(spoken.words);
            });
        return;
    }
    m_nameJob->cancel();
    m_spokenPrefix = {};
    const QString text = rowText(m_row);
    if (text != accessibleName())
        setAccessibleName(text);
}

void TranscriptRenderRowView::setEntry(const TranscriptEntry &entry)
{
    if (!entry.row)
        return;
    const TranscriptRenderRow &row = *entry.row;
    if (row == m_row && entry.showCursor == m_showCursor)
        return;
    const ContentKind kind = kindFor(row, entry.showCursor);
    m_row = row;
    m_showCursor = entry.showCursor;
    setProperty("rowId", m_row.id);
    if (kind != m_kind) {
        build(false);
        return;
    }
    switch (kind) {
    case ContentKind::User:
        static_cast<UserBubble *>(m_content)->setMessage(m_sessionId, *row.user());
        break;
    case ContentKind::StreamingText:
        static_cast<StreamingText *>(m_content)->setText(row.block()->text);
        break;
    case ContentKind::FinalText:
        if (!BlockContent::updateFinalText(m_content, row.block()->text)) {
            build(false);
            return;
        }
        break;
    case ContentKind::Block:
        static_cast<BlockView *>(m_content)->setBlock(*row.block());
        break;
    case ContentKind::Notice:
        static_cast<NoticeRow *>(m_content)->setNotice(*row.notice());
        break;
    }
    updateAccessibleText();
}

int TranscriptRenderRowView::measure(int width) const { return heightForWidthOf(m_content, width); }

void TranscriptRenderRowView::setExpanded(bool expanded)
{
    if (auto *block = qobject_cast<BlockView *>(m_content))
        block->setExpanded(expanded);
    else if (auto *notice = qobject_cast<NoticeRow *>(m_content))
        notice->setExpanded(expanded);
}

bool TranscriptRenderRowView::event(QEvent *event)
{
    // Content that changed its height on its own (a card rebuilt when a result arrived, a
    // widget shown late) asks for a layout; the list then measures the row again.
    if (event->type() == QEvent::LayoutRequest && m_content && width() > 0
        && (measure(width()) != height() || hasLongTextChanges()))
        Q_EMIT heightMayHaveChanged();
    return TranscriptEntryView::event(event);
}

bool TranscriptRenderRowView::hasLongTextChanges() const
{
    const QList<LongTextView *> texts = findChildren<LongTextView *>();
    return std::any_of(texts.begin(), texts.end(), [](const LongTextView *text) { return text->hasHeightChanges(); });
}

int TranscriptRenderRowView::takeShiftAbove(int offset)
{
    int shift = 0;
    for (LongTextView *text : findChildren<LongTextView *>()) {
        const int top = text->mapTo(this, QPoint()).y();
        for (const auto &[bottom, grown] : text->takeHeightChanges()) {
            if (top + bottom <= offset)
                shift += grown;
        }
    }
    return shift;
}

void TranscriptRenderRowView::resizeEvent(QResizeEvent *event)
{
    TranscriptEntryView::resizeEvent(event);
    if (m_content)
        m_content->setGeometry(rect());
}

// ---- LoadOlderView ----

LoadOlderView::LoadOlderView(const TranscriptEntry &entry, QWidget *parent)
    : TranscriptEntryView(parent)
    , m_button(new QPushButton(this))
    , m_spinner(new Spinner(14, m_button))
{
    setObjectName(u"load-older"_s);
    m_button->setObjectName(u"load-older-button"_s);
    m_button->setFlat(true);
    m_button->setFont(Fonts::system(11, QFont::Medium));
    m_button->setCursor(Qt::PointingHandCursor);
    connect(m_button, &QPushButton::clicked, this, &TranscriptEntryView::loadOlderRequested);
    m_loading = !entry.loadingOlder;
    setEntry(entry);
}

void LoadOlderView::setEntry(const TranscriptEntry &entry)
{
    if (entry.loadingOlder == m_loading)
        return;
    m_loading = entry.loadingOlder;
    // Room for the spinner before the text while loading.
    m_button->setText(m_loading ? u"     加载中…"_s : idleLabel());
    m_button->setAccessibleName(m_loading ? u"加载中…"_s : idleLabel());
    m_button->setEnabled(!m_loading);
    m_spinner->setVisible(m_loading);
    resizeEvent(nullptr);
}

int LoadOlderView::measure(int) const { return m_button->sizeHint().height() + 16; }

void LoadOlderView::resizeEvent(QResizeEvent *)
{
    const QSize hint = m_button->sizeHint();
    const int w = std::min(width(), std::max(hint.width() + 24, 160));
    m_button->setGeometry((width() - w) / 2, 0, w, hint.height());
    const int textWidth = m_button->fontMetrics().horizontalAdvance(u"加载中…"_s);
    const QSize s = m_spinner->sizeHint();
    m_spinner->setGeometry((w - textWidth) / 2 - s.width() / 2 - 4, (hint.height() - s.height()) / 2, s.width(), s.height());
}

namespace {

class StatusEntryView : public TranscriptEntryView
{
public:
    explicit StatusEntryView(QWidget *parent) : TranscriptEntryView(parent), m_status(new DeepDivingStatusView(this))
    {
        setObjectName(u"deep-diving-status-row"_s);
        m_status->setObjectName(u"deep-diving-status"_s);
    }
    void setEntry(const TranscriptEntry &) override {}
    int measure(int) const override { return DeepDivingStatusView::kLineHeight; }

protected:
    void resizeEvent(QResizeEvent *) override { m_status->setGeometry(0, 0, m_status->sizeHint().width(), height()); }

private:
    DeepDivingStatusView *m_status;
};

class SteeringEntryView : public TranscriptEntryView
{
public:
    SteeringEntryView(const TranscriptEntry &entry, QWidget *parent)
        : TranscriptEntryView(parent), m_bubble(new PendingSteeringBubble(entry.steering, this))
    {
        setObjectName(u"pending-steering"_s);
        setAccessibleName(entry.steering.text);
    }
    void setEntry(const TranscriptEntry &entry) override
    {
        m_bubble->setMessage(entry.steering);
        setAccessibleName(entry.steering.text);
    }
    int measure(int width) const override { return m_bubble->heightForWidth(width); }

protected:
    void resizeEvent(QResizeEvent *) override { m_bubble->setGeometry(rect()); }

private:
    PendingSteeringBubble *m_bubble;
};

// "加载历史…" with a spinner, centred, with 16 above and below.
class HistoryLoadingView : public TranscriptEntryView
{
public:
    explicit HistoryLoadingView(QWidget *parent)
        : TranscriptEntryView(parent)
        , m_spinner(new Spinner(14, this))
        , m_label(TextLabels::make(u"加载历史…"_s, Fonts::caption(), Theme::tertiaryText(), TextLabels::NoOption, this))
    {
        setObjectName(u"history-loading"_s);
    }
    void setEntry(const TranscriptEntry &) override {}
    int measure(int) const override { return std::max(m_label->sizeHint().height(), 14) + 32; }

protected:
    void resizeEvent(QResizeEvent *) override
    {
        const QSize label = m_label->sizeHint();
        const QSize spin = m_spinner->sizeHint();
        const int total = spin.width() + 8 + label.width();
        const int x = (width() - total) / 2;
        const int mid = height() / 2;
        m_spinner->setGeometry(x, mid - spin.height() / 2, spin.width(), spin.height());
        m_label->setGeometry(x + spin.width() + 8, mid - label.height() / 2, label.width(), label.height());
    }

private:
    Spinner *m_spinner;
    QLabel *m_label;
};

} // namespace

TranscriptEntryView *createTranscriptEntryView(const TranscriptEntry &entry, SessionActions *sessionActions,
                                               const QString &sessionId, bool expanded, QWidget *parent)
{
    switch (entry.kind) {
    case TranscriptEntry::Kind::LoadOlder:
        return new LoadOlderView(entry, parent);
    case TranscriptEntry::Kind::Row:
        return new TranscriptRenderRowView(sessionActions, sessionId, entry, expanded, parent);
    case TranscriptEntry::Kind::Status:
        return new StatusEntryView(parent);
    case TranscriptEntry::Kind::Steering:
        return new SteeringEntryView(entry, parent);
    case TranscriptEntry::Kind::HistoryLoading:
        return new HistoryLoadingView(parent);
    case TranscriptEntry::Kind::BottomAnchor:
        return nullptr;
    }
    return nullptr;
}

} // namespace nbd
