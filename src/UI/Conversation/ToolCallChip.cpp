#include "UI/Conversation/ToolCallChip.h"

#include "Domain/BidiIsolate.h"
#include "Domain/Trimming.h"
#include "System/HeapTrim.h"
#include "Domain/Graphemes.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// A 1 px rule in the hairline colour.
class HairlineRule : public QWidget
{
public:
    explicit HairlineRule(QWidget *parent = nullptr) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::hairline());
    }
};

void addDetailSection(QVBoxLayout *column, const QString &title, const QString &text, bool isError)
{
    auto *section = new QWidget;
    auto *stack = new QVBoxLayout(section);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(3);
    QLabel *heading = TextLabels::make(title, Fonts::system(10, QFont::Medium), Theme::tertiaryText(), TextLabels::NoOption);
    const QColor color = isError ? Theme::systemRed() : Theme::primaryText();
    QWidget *body = nullptr;
    if (LongTextView::isLong(text)) {
        body = new LongTextView(text, TextLabels::monospace(11), isError ? std::optional<QColor>(color) : std::nullopt);
    } else {
        body = TextLabels::make(text, TextLabels::monospace(11), color, TextLabels::Wrap | TextLabels::Selectable);
    }
    body->setObjectName(title == u"参数" ? u"tool-arguments"_s : u"tool-result"_s);
    stack->addWidget(heading);
    stack->addWidget(body);
    column->addWidget(section);
}

} // namespace

std::optional<JSONValue> ToolCallChip::presentation(const BlockItem &block)
{
    return shownPresentation(block.callView, block.resultView);
}

QString ToolCallChip::presentationTitle(const BlockItem &block)
{
    if (std::optional<QString> title = presentedTitle(block.callView, block.resultView))
        return *title;
    if (block.toolName)
        return *block.toolName;
    return u"tool"_s;
}

std::optional<QString> ToolCallChip::statusLabel(const BlockItem &block)
{
    if (!block.resultText)
        return u"运行中"_s;
    if (block.resultIsError)
        return u"失败"_s;
    return std::nullopt;
}

QString ToolCallChip::argumentsPreview(const QString &arguments)
{
    QString single = arguments;
    single.replace(u'\n', u' ');
    const QStringView trimmed = text::trimCharacters(single, u" \t");
    const QString rest = trimmed.toString();
    const QString cut = Graphemes::prefix(rest, kPreviewLimit);
    return cut.size() < rest.size() ? cut + u"…"_s : cut;
}

QString ToolCallChip::toolIcon(const BlockItem &block)
{
    if (const std::optional<JSONValue> shown = presentation(block)) {
        const QString card = cardKind(*shown);
        if (card == u"terminal")
            return u"terminal"_s;
        if (card == u"diff")
            return u"doc.badge.plus"_s;
        if (card == u"search")
            return u"magnifyingglass"_s;
        if (card == u"read")
            return u"doc.text"_s;
        if (card == u"web")
            return u"globe"_s;
    }
    const QString name = block.toolName.value_or(QString());
    if (name == u"bash" || name == u"shell" || name == u"exec")
        return u"terminal"_s;
    if (name == u"read" || name == u"write" || name == u"edit")
        return u"doc.text"_s;
    if (name == u"search" || name == u"grep")
        return u"magnifyingglass"_s;
    return u"wrench.and.screwdriver"_s;
}

void ToolCallChip::fillPlainDetail(QVBoxLayout *column, const QString &arguments, const std::optional<QString> &result,
                                   bool isError)
{
    const QString pretty = nbd::prettyArguments(arguments);
    if (!pretty.isEmpty())
        addDetailSection(column, u"参数"_s, pretty, false);
    if (result && !result->isEmpty()) {
        column->addWidget(new HairlineRule);
        addDetailSection(column, u"结果"_s, *result, isError);
    }
}

ToolCallChip::ToolCallChip(const BlockItem &block, bool expanded, QWidget *parent)
    : QWidget(parent)
    , m_block(block)
    , m_expanded(expanded)
    , m_column(new QVBoxLayout(this))
    , m_header(new RowHeaderButton(this))
    , m_spinner(new Spinner(11))
    , m_icon(new IconView(QString(), 11))
    , m_title(new ElidedLabel)
    , m_preview(new ElidedLabel(QString(), Qt::ElideMiddle))
    , m_status(TextLabels::make(QString(), Fonts::system(10), Theme::secondaryText(), TextLabels::NoOption))
    , m_chevron(new ChevronView(8, 180))
{
    setObjectName(u"tool-call-chip"_s);
    setAttribute(Qt::WA_Hover);
    m_column->setContentsMargins(0, 0, 0, 0);
    m_column->setSpacing(0);
    m_header->setObjectName(u"tool-call-header"_s);
    m_header->setMinimumHeight(28);
    m_header->row()->setContentsMargins(2, 0, 2, 0);
    m_header->row()->setSpacing(8);
    auto *iconBox = new QWidget;
    iconBox->setFixedWidth(13);
    auto *iconLayout = new QHBoxLayout(iconBox);
    iconLayout->setContentsMargins(0, 0, 0, 0);
    iconLayout->addWidget(m_spinner, 0, Qt::AlignCenter);
    iconLayout->addWidget(m_icon, 0, Qt::AlignCenter);
    m_header->addPassive(iconBox);
    m_title->setFont(Fonts::system(13));
    m_title->setColor(Theme::secondaryText());
    m_title->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    m_header->addPassive(m_title);
    m_preview->setFont(Fonts::system(12));
    m_preview->setColor(Theme::tertiaryText());
    m_preview->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_header->addPassive(m_preview, 1);
    m_header->row()->addSpacing(8);
    m_header->addPassive(m_status);
    m_header->addPassive(m_chevron);
    m_column->addWidget(m_header);
    connect(m_header, &QAbstractButton::clicked, this, [this] { setExpanded(!m_expanded, true); });
    refreshHeader();
    m_chevron->setOpen(m_expanded, false);
    if (m_expanded)
        rebuildDetail();
}

void ToolCallChip::setBlock(const BlockItem &block)
{
    if (block == m_block)
        return;
    m_block = block;
    refreshHeader();
    if (m_expanded)
        rebuildDetail();
}

void ToolCallChip::setExpanded(bool expanded, bool animated)
{
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    m_chevron->setOpen(expanded, animated);
    m_chevron->setOpacity(m_expanded || m_hovered ? 1.0 : 0.45);
    rebuildDetail();
    updateGeometry();
    Q_EMIT expandedChanged(expanded);
}

void ToolCallChip::refreshHeader()
{
    const bool hasResult = m_block.resultText.has_value();
    const bool failed = hasResult && m_block.resultIsError;
    m_spinner->setVisible(!hasResult);
    m_icon->setVisible(hasResult);
    m_icon->setSymbolName(failed ? u"xmark.circle.fill"_s : toolIcon(m_block));
    m_icon->setTint(failed ? Theme::systemRed() : Theme::tertiaryText());
    const QString title = text::bidiIsolated(presentationTitle(m_block));
    m_title->setText(title);
    const QString preview = argumentsPreview(m_block.arguments);
    m_preview->setText(preview);
    m_preview->setVisible(!preview.isEmpty());
    const std::optional<QString> status = statusLabel(m_block);
    m_status->setText(status.value_or(QString()));
    m_status->setVisible(status.has_value());
    TextLabels::setColor(m_status, failed ? Theme::systemRed() : Theme::secondaryText());
    m_chevron->setOpacity(m_expanded || m_hovered ? 1.0 : 0.45);
    QString name = title;
    if (!preview.isEmpty())
        name += u"，"_s + preview;
    if (status)
        name += u"，"_s + *status;
    m_header->setAccessibleName(name);
    m_header->setAccessibleDescription(m_expanded ? u"已展开"_s : u"已收起"_s);
    m_header->setDisclosure(true, m_expanded);
}

void ToolCallChip::rebuildDetail()
{
    if (!m_expanded) {
        if (m_detail) {
            m_detail->hide();
            m_detail->deleteLater();
            m_detail = nullptr;
            // A card may have held hundreds of megabytes of laid-out text.
            HeapTrim::soon();
        }
        m_detailInput.reset();
        m_header->setAccessibleDescription(u"已收起"_s);
        m_header->setDisclosure(true, false);
        return;
    }
    m_header->setAccessibleDescription(u"已展开"_s);
    m_header->setDisclosure(true, true);
    const std::optional<ToolCardInput> input =
        cardInput(m_block.callView, m_block.resultView, m_block.arguments, m_block.resultText, m_block.resultIsError);
    // A card that can show the new presentation in place keeps its own state.
    if (m_detail && input && m_detailInput) {
        if (*input == *m_detailInput)
            return;
        QWidget *card = m_detail->findChild<QWidget *>(u"tool-presentation"_s);
        if (card && BlockContent::updateToolPresentation(card, *input)) {
            m_detailInput = input;
            return;
        }
    }
    if (m_detail) {
        m_detail->hide();
        m_detail->deleteLater();
    }
    m_detail = new QWidget(this);
    m_detail->setObjectName(u"tool-call-detail"_s);
    auto *column = new QVBoxLayout(m_detail);
    column->setContentsMargins(22, 4, 2, 10);
    column->setSpacing(8);
    if (input)
        column->addWidget(BlockContent::createToolPresentation(*input, m_detail));
    else
        fillPlainDetail(column, m_block.arguments, m_block.resultText, m_block.resultIsError);
    m_detailInput = input;
    m_column->addWidget(m_detail);
    m_detail->show();
}

int ToolCallChip::heightForWidth(int width) const
{
    return m_column->hasHeightForWidth() ? m_column->totalHeightForWidth(width) : m_column->totalSizeHint().height();
}

QSize ToolCallChip::sizeHint() const { return m_column->totalSizeHint(); }

void ToolCallChip::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    m_hovered = true;
    m_chevron->setOpacity(1.0);
}

void ToolCallChip::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    m_hovered = false;
    m_chevron->setOpacity(m_expanded ? 1.0 : 0.45);
}

} // namespace nbd
