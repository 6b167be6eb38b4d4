#include "UI/Composer/QuestionViews.h"

#include "Domain/BidiIsolate.h"
#include "Domain/ProtocolNames.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/SoftShadow.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kBodyMaxHeight = 320;
// A title narrower than this reads as nothing but its ellipsis.
constexpr int kTitleMinWidth = 96;
// A title that needs more room than it has beside the card's buttons keeps at least this there.
constexpr int kTitleBesideWidth = 240;

QColor systemYellow()
{
    return Theme::isDark() ? QColor(255, 214, 10) : QColor(255, 204, 0);
}

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(float(color.alphaF() * alpha));
    return color;
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Text, color);
    widget->setPalette(pal);
}

QLabel *plainLabel(QWidget *parent, const QFont &font, const QColor &color)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(true);
    setTextColor(label, color);
    return label;
}

// A soft drop shadow drawn below a rounded card, inside the widget's bottom margin.
void paintCardShadow(QPainter &painter, const QRectF &card, qreal radius, const QColor &color)
{
    paintSoftShadow(painter, card,
                    {.color = color, .opacity = 0.2, .first = 1, .last = 8, .span = 8, .offsetY = 4,
                     .grow = {0.4, 0.2, 0.4, 0.9}, .radius = radius});
    painter.setPen(Qt::NoPen);
}

QString decimal(qsizetype value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

// Options of a question made at once, and added at each "显示更多".
constexpr qsizetype kOptionsPerPage = 30;
// The longest option label shown; a longer one ends in "…".
constexpr qsizetype kOptionLabelText = 4 * kRowText;

// The free-text row: highlighted while it holds text.
class CustomAnswerRow : public QWidget
{
public:
    explicit CustomAnswerRow(QWidget *parent) : QWidget(parent) {}
    bool filled = false;

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (!filled)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::selection());
        painter.drawRoundedRect(QRectF(rect()), 10, 10);
    }
};

// The approval card's badge: a yellow shield on a faint yellow rounded square.
class ShieldBadge : public QWidget
{
public:
    explicit ShieldBadge(QWidget *parent) : QWidget(parent) { setFixedSize(30, 30); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(systemYellow(), 0.18));
        painter.drawRoundedRect(QRectF(rect()), 9, 9);
        Icons::paint(&painter, QRectF(7, 7, 16, 16), u"exclamationmark.shield.fill"_s, systemYellow());
    }
};

} // namespace

// ---- QuestionOptionRow ----

QuestionOptionRow::QuestionOptionRow(int number, const PendingQuestion::AskUserQuestion::Option &option,
                                     bool multiSelect, QWidget *parent)
    : QAbstractButton(parent)
    , m_number(number)
    , m_label(option.label)
    , m_display(optionDisplay(option.label))
    , m_description(option.description ? std::optional(rowText(*option.description)) : std::nullopt)
    , m_multiSelect(multiSelect)
{
    // The label is wrapped whole, up to what a card's worth of lines holds; the description
    // shows two lines. The answer chosen is the label as sent.
    m_display.label = rowText(m_display.label, kOptionLabelText);
    setCheckable(true);
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setText(m_display.label);
    setAccessibleName(m_display.recommended ? m_display.label + u" 推荐"_s : m_display.label);
    if (m_description)
        setAccessibleDescription(*m_description);
    // One answer of many is a radio button, one of a set to tick a check box.
    Accessibility::describe(this, multiSelect ? QAccessible::CheckBox : QAccessible::RadioButton);
}

void QuestionOptionRow::setSelected(bool selected)
{
    setChecked(selected);
    update();
}

int QuestionOptionRow::textWidth(int width) const { return std::max(40, width - 8 - 20 - 8 - 8); }

int QuestionOptionRow::heightForWidth(int width) const
{
    const int w = textWidth(width);
    const QFontMetrics labelMetrics(Fonts::system(13, QFont::Medium));
    const int tag = m_display.recommended ? QFontMetrics(Fonts::system(9, QFont::DemiBold)).horizontalAdvance(u"推荐"_s) + 16 : 0;
    int h = labelMetrics.boundingRect(QRect(0, 0, std::max(20, w - tag), 10000), Qt::TextWordWrap, m_display.label).height();
    h = std::max(h, m_display.recommended ? 17 : 0);
    if (m_description) {
        const QFontMetrics descMetrics(Fonts::system(11));
        const int full = descMetrics.boundingRect(QRect(0, 0, w, 10000), Qt::TextWordWrap, *m_description).height();
        h += 2 + std::min(full, 2 * descMetrics.lineSpacing());
    }
    return std::max(40, 8 + std::max(20, h) + 8);
}

QSize QuestionOptionRow::sizeHint() const { return {320, heightForWidth(320)}; }

void QuestionOptionRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    // The choice is told by the accent colour, whether or not the row has the focus; hover is
    // the faint grey, and the keyboard focus a ring of its own, so none passes for another.
    if (isChecked()) {
        painter.setPen(QPen(Theme::brand(), 1));
        painter.setBrush(Theme::brandSoft());
        painter.drawRoundedRect(frame, 10, 10);
    } else if (underMouse()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(Theme::hover(), 0.6));
        painter.drawRoundedRect(frame, 10, 10);
    }
    if (hasFocus()) {
        painter.setPen(QPen(withAlpha(Theme::primaryText(), 0.75), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 10, 10);
    }
    const QRectF marker(8, 8, 20, 20);
    if (m_multiSelect) {
        const QString symbol = isChecked() ? u"checkmark.square.fill"_s : u"square"_s;
        Icons::paint(&painter, marker.adjusted(2, 2, -2, -2), symbol,
                     isChecked() ? Theme::brand() : Theme::secondaryText());
    } else if (isChecked()) {
        // The chosen answer's number gives way to a tick on the accent colour.
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::brand());
        painter.drawRoundedRect(marker, 5, 5);
        Icons::paint(&painter, marker.adjusted(4, 4, -4, -4), u"checkmark"_s, Qt::white);
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::inset());
        painter.drawRoundedRect(marker, 5, 5);
        painter.setPen(Theme::secondaryText());
        painter.setFont(Fonts::system(11, QFont::Medium));
        painter.drawText(marker, Qt::AlignCenter, decimal(m_number));
    }
    const int x = 8 + 20 + 8;
    const int w = textWidth(width());
    const QFont labelFont = Fonts::system(13, QFont::Medium);
    const QFontMetrics labelMetrics(labelFont);
    const QFont tagFont = Fonts::system(9, QFont::DemiBold);
    const int tagWidth = m_display.recommended ? QFontMetrics(tagFont).horizontalAdvance(u"推荐"_s) + 10 : 0;
    const QRect labelRect =
        labelMetrics.boundingRect(QRect(x, 8, std::max(20, w - (tagWidth ? tagWidth + 6 : 0)), 10000),
                                  Qt::TextWordWrap, m_display.label);
    painter.setFont(labelFont);
    painter.setPen(Theme::primaryText());
    painter.drawText(labelRect, Qt::TextWordWrap, m_display.label);
    int y = labelRect.bottom() + 1;
    if (m_display.recommended) {
        const QRectF tag(labelRect.right() + 6, 8 + (labelMetrics.height() - 17) / 2.0, tagWidth, 17);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::brandSoft());
        painter.drawRoundedRect(tag, 5, 5);
        painter.setFont(tagFont);
        painter.setPen(Theme::brand());
        painter.drawText(tag, Qt::AlignCenter, u"推荐"_s);
        y = std::max(y, int(tag.bottom()) + 1);
    }
    if (m_description) {
        const QFont descFont = Fonts::system(11);
        const QFontMetrics descMetrics(descFont);
        painter.setFont(descFont);
        painter.setPen(Theme::tertiaryText());
        const QRect descRect(x, y + 2, w, 2 * descMetrics.lineSpacing());
        painter.save();
        painter.setClipRect(descRect);
        painter.drawText(descRect, Qt::TextWordWrap | Qt::AlignTop | Qt::AlignLeft, *m_description);
        painter.restore();
    }
}

// ---- QuestionCard ----

QuestionCard::QuestionCard(Interactions *interactions, PendingQuestion question, QWidget *parent)
    : QWidget(parent)
    , m_interactions(interactions)
{
    setObjectName(u"question-card"_s);
    // As tall as its content at the width it is given: a fixed vertical policy would hold it to
    // its size hint and cut off text that wraps in a narrow place.
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 10);
    layout->setSpacing(0);

    // Header.
    auto *header = new QHBoxLayout;
    header->setContentsMargins(20, 20, 20, 0);
    header->setSpacing(16);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(5);
    m_header = plainLabel(this, Fonts::system(11), Theme::tertiaryText());
    m_header->setObjectName(u"question-header"_s);
    m_questionText = plainLabel(this, Fonts::system(16, QFont::Medium), Theme::primaryText());
    m_questionText->setObjectName(u"question-text"_s);
    m_questionText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    titles->addWidget(m_header);
    titles->addWidget(m_questionText);
    header->addLayout(titles, 1);
    auto *close = new RoundSymbolButton(24, 11, this);
    close->setObjectName(u"question-cancel"_s);
    close->setSymbol(u"xmark"_s);
    close->setSymbolColor(Theme::tertiaryText());
    close->setHelp(u"取消问题"_s);
    header->addWidget(close, 0, Qt::AlignTop);
    layout->addLayout(header);
    connect(close, &QAbstractButton::clicked, this, [this] {
        if (m_interactions)
            m_interactions->cancelQuestion(m_flow.question());
    });

    // Body.
    m_body = new QScrollArea(this);
    m_body->setObjectName(u"question-body"_s);
    m_body->setAccessibleName(u"选项"_s);
    m_body->setFrameShape(QFrame::NoFrame);
    m_body->setWidgetResizable(true);
    m_body->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_body->viewport()->setAutoFillBackground(false);
    m_bodyContent = new QWidget;
    m_bodyContent->setAutoFillBackground(false);
    m_bodyLayout = new QVBoxLayout(m_bodyContent);
    m_bodyLayout->setContentsMargins(12, 10, 12, 0);
    m_bodyLayout->setSpacing(4);
    // The detail is Markdown, drawn as the transcript draws messages (host text never becomes
    // HTML), a size smaller and in the secondary colour.
    m_detail = new MarkdownText(QString(), false, m_bodyContent);
    m_detail->setObjectName(u"question-detail"_s);
    m_detail->setStyle({12, &Theme::secondaryText});
    m_detail->setContentsMargins(10, 0, 10, 5);
    m_bodyLayout->addWidget(m_detail);
    m_customRow = new CustomAnswerRow(m_bodyContent);
    m_customRow->setMinimumHeight(40);
    auto *custom = new QHBoxLayout(m_customRow);
    custom->setContentsMargins(8, 8, 8, 8);
    custom->setSpacing(8);
    auto *pencil = new IconView(u"square.and.pencil"_s, 12, m_customRow);
    pencil->setFixedSize(20, 20);
    custom->addWidget(pencil, 0, Qt::AlignTop);
    m_customField = new QLineEdit(m_customRow);
    m_customField->setObjectName(u"question-custom"_s);
    m_customField->setFrame(false);
    m_customField->setFont(Fonts::system(13));
    m_customField->setPlaceholderText(u"输入你的答案"_s);
    m_customField->setAccessibleName(u"输入你的答案"_s);
    QPalette fieldPalette = m_customField->palette();
    fieldPalette.setColor(QPalette::Base, Qt::transparent);
    m_customField->setPalette(fieldPalette);
    custom->addWidget(m_customField, 1);
    m_bodyLayout->addWidget(m_customRow);
    m_bodyLayout->addStretch(1);
    m_body->setWidget(m_bodyContent);
    m_body->viewport()->installEventFilter(this);
    // The card paints the surface; setWidget() turned the content's own fill on.
    m_bodyContent->setAutoFillBackground(false);
    layout->addWidget(m_body);
    connect(m_customField, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_flow.setCustom(text);
        refreshState();
    });
    connect(m_customField, &QLineEdit::returnPressed, this, [this] { apply(m_flow.continueFlow()); });

    // Footer.
    auto *footer = new QHBoxLayout;
    footer->setContentsMargins(12, 10, 10, 0);
    footer->setSpacing(10);
    auto *pager = new QHBoxLayout;
    pager->setSpacing(5);
    const QColor pagerTint = withAlpha(Theme::secondaryText(), 0.55);
    m_previous = new ChromeIconButton(u"chevron.left"_s, u"上一题"_s, pagerTint, [this] {
        m_flow.previous();
        rebuildPage();
    });
    m_previous->setObjectName(u"question-previous"_s);
    m_counter = plainLabel(this, Fonts::system(12, QFont::Medium), Theme::secondaryText());
    m_counter->setWordWrap(false);
    m_counter->setObjectName(u"question-counter"_s);
    m_next = new ChromeIconButton(u"chevron.right"_s, names::nextQuestionToolTip.toString(), pagerTint, [this] {
        m_flow.next();
        rebuildPage();
    });
    m_next->setObjectName(u"question-next"_s);
    pager->addWidget(m_previous);
    pager->addWidget(m_counter);
    pager->addWidget(m_next);
    footer->addLayout(pager);
    m_feedback = plainLabel(this, Fonts::system(10), Theme::systemRed());
    m_feedback->setWordWrap(false);
    m_feedback->setObjectName(u"question-feedback"_s);
    footer->addWidget(m_feedback);
    footer->addStretch(1);
    m_skip = new CardButton(u"跳过本题"_s, CardButton::Style::Bordered, this);
    m_skip->setObjectName(u"question-skip"_s);
    m_primary = new CardButton(u"下一题"_s, CardButton::Style::Prominent, this);
    m_primary->setObjectName(u"question-primary"_s);
    m_primary->setTint(Theme::primaryText());
    footer->addWidget(m_skip);
    footer->addWidget(m_primary);
    layout->addLayout(footer);
    connect(m_skip, &QAbstractButton::clicked, this, [this] { apply(m_flow.skip()); });
    connect(m_primary, &QAbstractButton::clicked, this, [this] { apply(m_flow.continueFlow()); });

    m_flow.setQuestion(std::move(question));
    rebuildPage();
}

void QuestionCard::setQuestion(PendingQuestion question)
{
    if (question == m_flow.question())
        return;
    m_flow.setQuestion(std::move(question));
    m_shownIndex = -1;
    rebuildPage();
}

void QuestionCard::apply(std::optional<QuestionFlow::Submission> submission)
{
    if (submission && m_interactions) {
        // The store drops the question once answered, and the card with it.
        m_interactions->answerQuestion(m_flow.question(), std::move(submission->answers));
    }
    rebuildPage();
}

void QuestionCard::rebuildPage()
{
    const PendingQuestion::AskUserQuestion *current = m_flow.current();
    const QString currentId = current ? current->id : QString();
    if (m_shownIndex == m_flow.index() && m_shownQuestionId == currentId) {
        refreshState();
        return;
    }
    m_shownIndex = m_flow.index();
    m_shownQuestionId = currentId;
    // A row's own click can lead here: rows go after the click has been delivered.
    if (m_optionList) {
        m_optionList->hide();
        m_bodyLayout->removeWidget(m_optionList);
        m_optionList->deleteLater();
        m_optionList = nullptr;
    }
    m_options.clear();
    m_header->setVisible(current && current->header);
    m_header->setText(current && current->header ? rowText(*current->header) : QString());
    m_questionText->setText(current ? rowText(current->question, kOptionLabelText) : u"没有需要回答的问题"_s);
    m_detail->setVisible(current && current->detail);
    m_detail->setContent(current && current->detail ? *current->detail : QString(), false);
    m_customRow->setVisible(current != nullptr);
    if (current) {
        // Options come a page at a time: a host may offer thousands.
        m_optionList = new PagedColumn(qsizetype(current->options.size()), kOptionsPerPage,
                                       [this](qsizetype index, QWidget *owner) { return optionRow(index, owner); },
                                       m_bodyContent);
        m_optionList->setObjectName(u"question-options"_s);
        m_optionList->rows()->setSpacing(m_bodyLayout->spacing());
        connect(m_optionList, &PagedColumn::rowsAdded, this, [this] {
            orderTabs();
            refreshState();
        });
        m_bodyLayout->insertWidget(m_bodyLayout->indexOf(m_customRow), m_optionList);
        m_optionList->show();
        m_customField->setText(m_flow.draft(*current).custom);
    } else {
        m_customField->clear();
    }
    orderTabs();
    m_body->verticalScrollBar()->setValue(0);
    refreshState();
}

QWidget *QuestionCard::optionRow(qsizetype index, QWidget *owner)
{
    const PendingQuestion::AskUserQuestion *current = m_flow.current();
    if (!current || size_t(index) >= current->options.size())
        return nullptr;
    const PendingQuestion::AskUserQuestion::Option &option = current->options[size_t(index)];
    auto *row = new QuestionOptionRow(int(index) + 1, option, current->multiSelect, owner);
    row->setObjectName(u"question-option"_s);
    const QString label = option.label;
    connect(row, &QAbstractButton::clicked, this, [this, label] {
        m_flow.choose(label);
        rebuildPage();
    });
    // A tick that did not come from a click (the accessibility action, setChecked)
    // is a choice all the same; the ticks the card sets itself agree with the flow.
    connect(row, &QAbstractButton::toggled, this, [this, label](bool checked) {
        const PendingQuestion::AskUserQuestion *shown = m_flow.current();
        if (!shown || checked == m_flow.isSelected(*shown, label))
            return;
        // A single choice is moved by choosing another one, not by clearing a tick.
        if (!checked && !shown->multiSelect) {
            refreshState();
            return;
        }
        m_flow.choose(label);
        rebuildPage();
    });
    m_options.append(row);
    return row;
}

void QuestionCard::orderTabs()
{
    // Tab follows the card from top to bottom; the options and the detail's text were made
    // after the footer.
    QList<QWidget *> order{m_body};
    for (QWidget *child : m_detail->findChildren<QWidget *>()) {
        if (child->focusPolicy() & Qt::TabFocus)
            order << child;
    }
    for (QuestionOptionRow *row : std::as_const(m_options))
        order << row;
    if (m_optionList) {
        if (QWidget *more = m_optionList->findChild<QWidget *>(u"show-more"_s))
            order << more;
    }
    order << m_customField << m_previous << m_next << m_skip << m_primary;
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void QuestionCard::refreshState()
{
    const PendingQuestion::AskUserQuestion *current = m_flow.current();
    for (QuestionOptionRow *row : std::as_const(m_options))
        row->setSelected(current && m_flow.isSelected(*current, row->label()));
    if (current) {
        const QString custom = m_flow.draft(*current).custom;
        if (m_customField->text() != custom)
            m_customField->setText(custom);
        auto *row = static_cast<CustomAnswerRow *>(m_customRow);
        row->filled = !custom.isEmpty();
        row->update();
    }
    m_counter->setVisible(!m_flow.isEmpty());
    m_counter->setText(m_flow.counterText());
    m_counter->setAccessibleName(m_flow.counterText());
    m_previous->setEnabled(m_flow.index() > 0);
    m_next->setEnabled(!m_flow.isEmpty() && !m_flow.isLastPage());
    m_feedback->setVisible(m_flow.feedback().has_value());
    m_feedback->setText(m_flow.feedback().value_or(QString()));
    m_skip->setVisible(current != nullptr);
    const bool last = m_flow.isEmpty() || m_flow.isLastPage();
    m_primary->setText(last ? u"提交"_s : u"下一题"_s);
    m_primary->setEnabled(!current || m_flow.answered(*current));
    m_primary->updateGeometry();
    fitBody();
}

void QuestionCard::fitBody()
{
    // The body grows with the page up to 320 points, then scrolls.
    const int width = std::max(100, m_body->viewport()->width());
    int height = m_bodyLayout->hasHeightForWidth() ? m_bodyLayout->heightForWidth(width) : -1;
    if (height < 0)
        height = m_bodyContent->sizeHint().height();
    m_body->setFixedHeight(std::min(kBodyMaxHeight, height));
}

bool QuestionCard::eventFilter(QObject *watched, QEvent *event)
{
    // Option rows wrap at the body's new width.
    if (watched == m_body->viewport() && event->type() == QEvent::Resize) {
        auto *resize = static_cast<QResizeEvent *>(event);
        if (resize->oldSize().width() != resize->size().width())
            fitBody();
    }
    return QWidget::eventFilter(watched, event);
}

void QuestionCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -10.5);
    paintCardShadow(painter, card, 18, Theme::softShadow());
    painter.setPen(QPen(Theme::strongHairline(), 1));
    painter.setBrush(Theme::panel());
    painter.drawRoundedRect(card, 18, 18);
}

// ---- ApprovalCard ----

QString ApprovalCard::titleText(const QString &toolName)
{
    return u"工具「"_s + text::bidiIsolated(toolName) + u"」请求执行许可"_s;
}

ApprovalCard::ApprovalCard(Interactions *interactions, PendingApproval approval, QWidget *parent)
    : QWidget(parent)
    , m_interactions(interactions)
{
    setObjectName(u"approval-card"_s);
    // As tall as its content at the width it is given: a fixed vertical policy would hold it to
    // its size hint and cut off text that wraps in a narrow place.
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14 + 10);
    layout->setSpacing(10);
    m_row = new QHBoxLayout;
    m_row->setSpacing(12);
    m_row->addWidget(new ShieldBadge(this), 0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    // One line at any width: a long tool name is cut in its middle, so the start of the name and
    // what is asked stay readable; the whole title is the tooltip and the accessible name.
    m_title = new ElidedLabel(QString(), Qt::ElideMiddle, this);
    m_title->setFont(Fonts::system(12, QFont::DemiBold));
    m_title->setColor(&Theme::primaryText);
    m_title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_title->setMinimumWidth(kTitleMinWidth);
    m_title->setObjectName(u"approval-title"_s);
    m_reason = plainLabel(this, Fonts::caption(), Theme::secondaryText());
    m_reason->setObjectName(u"approval-reason"_s);
    m_reason->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // At most three lines of the reason.
    m_reason->setMaximumHeight(3 * QFontMetrics(Fonts::caption()).lineSpacing());
    texts->addWidget(m_title);
    texts->addWidget(m_reason);
    m_row->addLayout(texts, 1);
    layout->addLayout(m_row);
    // Where the card is too narrow for the buttons beside the title, they go below it.
    m_buttonRow = new QHBoxLayout;
    m_buttonRow->setSpacing(12);
    m_buttonRow->addStretch(1);
    layout->addLayout(m_buttonRow);
    auto *reject = new CardButton(u"拒绝"_s, CardButton::Style::Bordered, this);
    reject->setObjectName(u"approval-reject"_s);
    auto *allow = new CardButton(u"允许一次"_s, CardButton::Style::Prominent, this);
    allow->setObjectName(u"approval-allow"_s);
    m_buttons = {reject, allow};
    for (QWidget *button : m_buttons)
        m_row->addWidget(button, 0, Qt::AlignVCenter);
    connect(reject, &QAbstractButton::clicked, this, [this] {
        if (m_interactions)
            m_interactions->answerApproval(m_approval, false);
    });
    connect(allow, &QAbstractButton::clicked, this, [this] {
        if (m_interactions)
            m_interactions->answerApproval(m_approval, true);
    });
    setApproval(std::move(approval));
}

void ApprovalCard::setApproval(PendingApproval approval)
{
    m_approval = std::move(approval);
    const QString title = titleText(m_approval.toolName);
    m_title->setText(title);
    m_title->setToolTip(plainToolTip(title));
    m_titleWidth = Fonts::textWidth(m_title->font(), title); // once: a host's name can be long
    placeButtons();
    m_reason->setVisible(m_approval.reason.has_value());
    m_reason->setText(m_approval.reason.value_or(QString()));
}

int ApprovalCard::buttonsWidth() const
{
    return m_buttons[0]->sizeHint().width() + 12 + m_buttons[1]->sizeHint().width();
}

QSize ApprovalCard::minimumSizeHint() const
{
    // The narrow arrangement's: the badge beside a readable title, the buttons on a row below.
    const QMargins margins = layout()->contentsMargins();
    const int width = std::max(30 + 12 + kTitleMinWidth, buttonsWidth()) + margins.left() + margins.right();
    return {width, QWidget::minimumSizeHint().height()};
}

void ApprovalCard::placeButtons()
{
    // Beside the title while it still reads there (whole, or at least kTitleBesideWidth wide),
    // else on a row of their own below, which gives the title the card's whole width.
    const QMargins margins = layout()->contentsMargins();
    const int titleRoom = width() - margins.left() - margins.right() - 30 - 12 - 12 - buttonsWidth();
    const bool beside = titleRoom >= std::min(m_titleWidth, kTitleBesideWidth);
    if (beside == m_buttonsBeside)
        return;
    m_buttonsBeside = beside;
    QBoxLayout *from = beside ? m_buttonRow : m_row;
    QBoxLayout *to = beside ? m_row : m_buttonRow;
    for (QWidget *button : m_buttons) {
        from->removeWidget(button);
        to->addWidget(button, 0, Qt::AlignVCenter);
    }
    updateGeometry();
}

void ApprovalCard::resizeEvent(QResizeEvent *event)
{
    placeButtons();
    QWidget::resizeEvent(event);
}

void ApprovalCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(0.6, 0.6, -0.6, -10.6);
    paintCardShadow(painter, card, 8, QColor(0, 0, 0, 56));
    painter.setPen(QPen(withAlpha(systemYellow(), 0.5), 1.2));
    painter.setBrush(Theme::panel());
    painter.drawRoundedRect(card, 8, 8);
}

} // namespace nbd
