#include "UI/Conversation/BlockView.h"

#include "System/HeapTrim.h"
#include "UI/Conversation/BlockContent.h"
#include "Domain/Graphemes.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Shared/CardWidgets.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QEvent>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// The reasoning text with the thin rule along its leading edge.
class RuledBox : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(QRect(5, 0, 1, height()), Theme::strongHairline());
    }
};

} // namespace

// ---- ReasoningBlock ----

ReasoningBlock::ReasoningBlock(const QString &text, bool expanded, QWidget *parent)
    : QWidget(parent)
    , m_text(text)
    , m_column(new QVBoxLayout(this))
    , m_header(new RowHeaderButton(this))
    , m_spinner(new Spinner(11))
    , m_brain(new IconView(u"brain"_s, 11))
    , m_title(TextLabels::make(QString(), Fonts::system(10, QFont::Medium), Theme::secondaryText(), TextLabels::NoOption))
    , m_length(TextLabels::make(QString(), Fonts::system(9), Theme::quaternaryText(), TextLabels::NoOption))
    , m_chevron(new ChevronView(8, 180))
    , m_bodyBox(new RuledBox(this))
    , m_body(TextLabels::make(QString(), TextLabels::monospace(12), Theme::secondaryText(),
                              TextLabels::Wrap | TextLabels::Selectable))
{
    setObjectName(u"reasoning-block"_s);
    m_column->setContentsMargins(0, 0, 0, 0);
    m_column->setSpacing(0);
    m_header->setObjectName(u"reasoning-header"_s);
    m_header->row()->setContentsMargins(0, 5, 0, 5);
    m_header->row()->setSpacing(7);
    auto *iconBox = new QWidget;
    iconBox->setFixedWidth(13);
    auto *iconLayout = new QHBoxLayout(iconBox);
    iconLayout->setContentsMargins(0, 0, 0, 0);
    iconLayout->addWidget(m_spinner, 0, Qt::AlignCenter);
    iconLayout->addWidget(m_brain, 0, Qt::AlignCenter);
    m_brain->setTint(Theme::tertiaryText());
    m_header->addPassive(iconBox);
    m_header->addPassive(m_title);
    m_header->addPassive(m_length);
    m_header->row()->addStretch(1);
    m_header->addPassive(m_chevron);
    m_column->addWidget(m_header);

    auto *bodyLayout = new QVBoxLayout(m_bodyBox);
    bodyLayout->setContentsMargins(19, 6, 0, 8);
    bodyLayout->addWidget(m_body);
    m_body->setObjectName(u"reasoning-text"_s);
    m_column->addWidget(m_bodyBox);
    connect(m_header, &QAbstractButton::clicked, this, [this] {
        if (!isStreaming())
            setExpanded(!m_expanded, true);
    });
    m_expanded = expanded && !text.isEmpty();
    m_chevron->setOpen(m_expanded, false);
    refresh();
}

QString ReasoningBlock::titleText() const { return isStreaming() ? u"正在思考"_s : finishedTitle(); }

QString ReasoningBlock::lengthText() const
{
    return isStreaming() ? QString() : Graphemes::formattedCount(Graphemes::count(m_text)) + u" 字符"_s;
}

void ReasoningBlock::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    if (isStreaming() && m_expanded) {
        m_expanded = false;
        m_chevron->setOpen(false, false);
    }
    refresh();
}

void ReasoningBlock::setExpanded(bool expanded, bool animated)
{
    if (isStreaming())
        expanded = false;
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    m_chevron->setOpen(expanded, animated);
    refresh();
    Q_EMIT expandedChanged(expanded);
}

void ReasoningBlock::refresh()
{
    const bool streaming = isStreaming();
    m_spinner->setVisible(streaming);
    m_brain->setVisible(!streaming);
    m_title->setText(titleText());
    m_length->setText(lengthText());
    m_length->setVisible(!streaming);
    m_chevron->setVisible(!streaming);
    m_bodyBox->setVisible(m_expanded);
    if (m_expanded) {
        // A long text is drawn by a view that lays out only what shows; the label keeps the rest.
        const bool isLong = LongTextView::isLong(m_text);
        if (isLong && !m_longBody) {
            m_longBody = new LongTextView(m_text, TextLabels::monospace(12), Theme::secondaryText(), m_bodyBox);
            m_longBody->setObjectName(u"reasoning-text"_s);
            m_bodyBox->layout()->addWidget(m_longBody);
        }
        if (m_longBody) {
            m_longBody->setVisible(isLong);
            if (isLong)
                m_longBody->setText(m_text);
        }
        m_body->setVisible(!isLong);
        if (!isLong && m_body->text() != m_text)
            m_body->setText(m_text);
    } else {
        // Collapsed, the text is laid out nowhere: it is laid out again from the block when
        // the body opens.
        if (m_longBody) {
            m_longBody->hide();
            m_longBody->deleteLater();
            m_longBody = nullptr;
            HeapTrim::soon();
        }
        if (!m_body->text().isEmpty())
            m_body->clear();
    }
    QString name = titleText();
    if (!streaming)
        name += u"，"_s + lengthText();
    m_header->setAccessibleName(name);
    m_header->setAccessibleDescription(streaming ? QString() : (m_expanded ? u"已展开"_s : u"已收起"_s));
    m_header->setDisclosure(!streaming, m_expanded);
    updateGeometry();
}

int ReasoningBlock::heightForWidth(int width) const
{
    return m_column->hasHeightForWidth() ? m_column->totalHeightForWidth(width) : m_column->totalSizeHint().height();
}

QSize ReasoningBlock::sizeHint() const { return m_column->totalSizeHint(); }

// ---- BlockView ----

BlockView::BlockView(const BlockItem &block, bool expanded, QWidget *parent)
    : QWidget(parent)
    , m_block(block)
{
    setObjectName(u"block-view"_s);
    build(expanded);
}

void BlockView::build(bool expanded)
{
    if (m_content) {
        m_content->hide();
        m_content->deleteLater();
    }
    switch (m_block.kind) {
    case BlockKind::text:
        m_content = BlockContent::createFinalText(m_block.text, this);
        break;
    case BlockKind::reasoning: {
        auto *reasoning = new ReasoningBlock(m_block.text, expanded, this);
        connect(reasoning, &ReasoningBlock::expandedChanged, this, &BlockView::expandedChanged);
        m_content = reasoning;
        break;
    }
    case BlockKind::toolCall: {
        auto *chip = new ToolCallChip(m_block, expanded, this);
        connect(chip, &ToolCallChip::expandedChanged, this, &BlockView::expandedChanged);
        m_content = chip;
        break;
    }
    }
    m_content->setGeometry(rect());
    m_content->show();
}

void BlockView::setBlock(const BlockItem &block)
{
    if (block == m_block)
        return;
    const BlockKind oldKind = m_block.kind;
    m_block = block;
    if (oldKind != block.kind) {
        build(false);
        return;
    }
    switch (block.kind) {
    case BlockKind::text:
        if (!BlockContent::updateFinalText(m_content, block.text))
            build(false);
        break;
    case BlockKind::reasoning:
        static_cast<ReasoningBlock *>(m_content)->setText(block.text);
        break;
    case BlockKind::toolCall:
        static_cast<ToolCallChip *>(m_content)->setBlock(block);
        break;
    }
    updateGeometry();
}

bool BlockView::isExpanded() const
{
    if (auto *reasoning = qobject_cast<ReasoningBlock *>(m_content))
        return reasoning->isExpanded();
    if (auto *chip = qobject_cast<ToolCallChip *>(m_content))
        return chip->isExpanded();
    return false;
}

void BlockView::setExpanded(bool expanded)
{
    if (auto *reasoning = qobject_cast<ReasoningBlock *>(m_content))
        reasoning->setExpanded(expanded);
    else if (auto *chip = qobject_cast<ToolCallChip *>(m_content))
        chip->setExpanded(expanded);
}

int BlockView::heightForWidth(int width) const { return heightForWidthOf(m_content, width); }

QSize BlockView::sizeHint() const { return m_content ? m_content->sizeHint() : QSize(); }

bool BlockView::event(QEvent *event)
{
    // The content is placed by hand, not by a layout: a change of its size hint (a card
    // redrawn, a chip opened) reaches the row only if passed on.
    if (event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QWidget::event(event);
}

void BlockView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_content)
        m_content->setGeometry(rect());
}

} // namespace nbd
