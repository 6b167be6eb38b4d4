#include "UI/Conversation/MarkdownText.h"

#include "UI/Conversation/LineBox.h"
#include "UI/Conversation/LongTextView.h"
#include "UI/Conversation/MarkdownInline.h"
#include "Domain/ToolPresentationModel.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kBaseSize = 15;
constexpr int kBlockSpacing = 7;
constexpr int kQuoteIndent = 2 + 3 + 8; // padding, bar, gap
constexpr int kQuoteProperty = QTextFormat::UserProperty + 1;
constexpr int kRuleProperty = QTextFormat::UserProperty + 2;

// Headings keep their steps above the body size whatever that size is.
QFont headingFont(int level, int baseSize)
{
    const int shift = baseSize - kBaseSize;
    switch (level) {
    case 1: return Fonts::system(22 + shift, QFont::Bold);
    case 2: return Fonts::system(19 + shift, QFont::DemiBold);
    case 3: return Fonts::system(16 + shift, QFont::DemiBold);
    default: return Fonts::system(15 + shift, QFont::Medium);
    }
}

QString displayed(QString text)
{
    text.replace(u"\r\n"_s, u"\n"_s);
    text.remove(u'\r');
    text.replace(u'\n', QChar::LineSeparator);
    return text;
}

void insertInline(QTextCursor &cursor, const QString &text, const QTextCharFormat &base)
{
    const InlineText parsed = MarkdownInline::parse(text);
    for (const InlineRun &run : parsed.runs) {
        QTextCharFormat format = base;
        if (run.style & InlineRun::Emphasis)
            format.setFontItalic(true);
        if (run.style & InlineRun::Strong)
            format.setFontWeight(QFont::Bold);
        if (run.style & InlineRun::Strike)
            format.setFontStrikeOut(true);
        if (run.style & InlineRun::Code) {
            const QFont mono = Fonts::monospaced(std::max(10, base.font().pixelSize() - 2));
            format.setFontFamilies(mono.families());
            format.setFontFixedPitch(true);
            QColor background = Theme::primaryText();
            background.setAlphaF(0.07f);
            format.setBackground(background);
        }
        if (run.link >= 0) {
            format.setAnchor(true);
            format.setAnchorHref(parsed.links[run.link]);
            format.setForeground(Theme::brand());
            format.setToolTip(parsed.links[run.link].toHtmlEscaped());
        }
        cursor.insertText(displayed(run.text), format);
    }
}

QTextCharFormat charFormat(const QFont &font, const QColor &color)
{
    QTextCharFormat format;
    format.setFont(font, QTextCharFormat::FontPropertiesAll);
    format.setForeground(color);
    return format;
}

} // namespace

void writeMarkdownBlocks(QTextDocument *document, const std::vector<MarkdownBlock> &blocks, const MarkdownStyle &style)
{
    const int baseSize = style.baseSize;
    const QColor bodyColor = style.bodyColor ? style.bodyColor() : Theme::primaryText();
    document->setDocumentMargin(0);
    document->setDefaultFont(Fonts::system(baseSize));
    QTextCursor cursor(document);
    const QTextCharFormat body = charFormat(Fonts::system(baseSize), bodyColor);
    bool first = true;
    auto startBlock = [&](QTextBlockFormat format, const QTextCharFormat &chars) {
        format.setLineHeight(3, QTextBlockFormat::LineDistanceHeight);
        if (first) {
            cursor.setBlockFormat(format);
            cursor.setBlockCharFormat(chars);
            first = false;
        } else {
            cursor.insertBlock(format, chars);
        }
    };
    for (size_t b = 0; b < blocks.size(); ++b) {
        const MarkdownBlock &block = blocks[b];
        const bool lastBlock = b + 1 == blocks.size();
        const int after = lastBlock ? 0 : kBlockSpacing;
        QTextBlockFormat format;
        format.setBottomMargin(after);
        switch (block.kind) {
        case MarkdownBlock::Kind::Paragraph:
            startBlock(format, body);
            insertInline(cursor, block.text, body);
            break;
        case MarkdownBlock::Kind::Heading: {
            const int padding = block.level <= 2 ? 6 : 2;
            // Block margins collapse: the padding goes on top of the spacing before it.
            format.setTopMargin(first ? padding : kBlockSpacing + padding);
            const QTextCharFormat heading = charFormat(headingFont(block.level, baseSize), bodyColor);
            startBlock(format, heading);
            insertInline(cursor, block.text, heading);
            break;
        }
        case MarkdownBlock::Kind::List: {
            const QFontMetrics fm(Fonts::system(baseSize));
            // The widest marker, its digits as zeros (the widest digit in most fonts).
            const QString widest = block.ordered ? QString(QString::number(block.items.size()).size(), u'0') + u'.' : u"•"_s;
            const int indent = fm.horizontalAdvance(widest) + 6;
            QTextCharFormat marker = charFormat(Fonts::system(baseSize), Theme::tertiaryText());
            for (size_t i = 0; i < block.items.size(); ++i) {
                QTextBlockFormat item;
                item.setLeftMargin(indent);
                item.setTextIndent(-indent);
                item.setTabPositions({QTextOption::Tab(indent, QTextOption::LeftTab)});
                item.setBottomMargin(i + 1 == block.items.size() ? after : 3);
                startBlock(item, body);
                cursor.insertText((block.ordered ? QString::number(i + 1) + u'.' : u"•"_s) + u'\t', marker);
                insertInline(cursor, block.items[i].text, body);
            }
            break;
        }
        case MarkdownBlock::Kind::Quote: {
            format.setLeftMargin(kQuoteIndent);
            format.setProperty(kQuoteProperty, true);
            QTextCharFormat quote = charFormat(Fonts::system(baseSize), Theme::secondaryText());
            quote.setFontItalic(true);
            startBlock(format, quote);
            insertInline(cursor, block.text, quote);
            break;
        }
        case MarkdownBlock::Kind::Rule: {
            format.setProperty(kRuleProperty, true);
            format.setTopMargin(2);
            format.setBottomMargin(after + 2);
            // A short empty line; the rule is drawn through its middle.
            startBlock(format, charFormat(Fonts::system(4), Theme::primaryText()));
            break;
        }
        case MarkdownBlock::Kind::Code:
            // Code blocks are widgets of their own; callers split them out.
            startBlock(format, body);
            insertInline(cursor, block.text, body);
            break;
        }
    }
}

// ---- MarkdownDocumentView ----

MarkdownDocumentView::MarkdownDocumentView(QWidget *parent) : AutoHeightTextView(parent)
{
    setObjectName(u"markdown-blocks"_s);
}

void MarkdownDocumentView::setBlocks(const std::vector<MarkdownBlock> &blocks, const MarkdownStyle &style)
{
    document()->setUndoRedoEnabled(false);
    showWritten([blocks, style](QTextDocument *document) { writeMarkdownBlocks(document, blocks, style); });
    // The words themselves reach a screen reader through the text interface (and the row's
    // name); a name made of them would pass host text that looks like markup on as a label.
    setAccessibleName(u"文本"_s);
}

void MarkdownDocumentView::paintEvent(QPaintEvent *event)
{
    AutoHeightTextView::paintEvent(event);
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF scroll(0, 0);
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat format = block.blockFormat();
        const bool quote = format.boolProperty(kQuoteProperty);
        const bool rule = format.boolProperty(kRuleProperty);
        if (!quote && !rule)
            continue;
        const QTextLayout *layout = block.layout();
        if (!layout || layout->lineCount() == 0)
            continue;
        QRectF lines = layout->boundingRect();
        lines.translate(layout->position());
        if (rule) {
            const qreal y = std::round(lines.center().y()) + 0.5;
            painter.setPen(QPen(Theme::strongHairline(), 1));
            painter.drawLine(QPointF(0, y), QPointF(viewport()->width(), y));
            continue;
        }
        QColor bar = Theme::brand();
        bar.setAlphaF(0.4f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(bar);
        painter.drawRoundedRect(QRectF(2, lines.top(), 3, lines.height()), 1.5, 1.5);
    }
}

// ---- MarkdownCodeBlock ----

namespace {

class CopyButton : public QAbstractButton
{
public:
    explicit CopyButton(QWidget *parent) : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        // Repainted as the pointer comes and goes: the face follows underMouse().
        setAttribute(Qt::WA_Hover);
        setFocusPolicy(Qt::StrongFocus);
        setFont(Fonts::system(10));
        setCopied(false);
    }

    void setCopied(bool copied)
    {
        m_copied = copied;
        setText(copied ? u"已复制"_s : u"复制"_s);
        setAccessibleName(text());
        updateGeometry();
        update();
    }

    QSize sizeHint() const override
    {
        const QFontMetrics fm(font());
        return {12 + 4 + fm.horizontalAdvance(text()) + 4, std::max(16, fm.height() + 2)};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = m_copied ? QColor(52, 199, 89) : (underMouse() ? Theme::primaryText() : Theme::secondaryText());
        const qreal top = (height() - 11) / 2.0;
        Icons::paint(&painter, QRectF(2, top, 11, 11), m_copied ? u"checkmark"_s : u"doc.on.doc"_s, color);
        painter.setPen(color);
        painter.setFont(font());
        painter.drawText(QRect(17, 0, width() - 17, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
        if (hasFocus()) {
            painter.setPen(QPen(Theme::brand(), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        }
    }

private:
    bool m_copied = false;
};

class Divider : public QWidget
{
public:
    explicit Divider(QWidget *parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), Theme::strongHairline()); }
};

} // namespace

MarkdownCodeBlock::MarkdownCodeBlock(const QString &code, const std::optional<QString> &language, QWidget *parent)
    : QWidget(parent), m_code(code)
{
    setObjectName(u"markdown-code-block"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    auto *h = new QHBoxLayout(header);
    h->setContentsMargins(11, 6, 11, 6);
    h->setSpacing(6);
    auto *icon = new IconView(u"chevron.left.forwardslash.chevron.right"_s, 10, header);
    icon->setTint(Theme::tertiaryText());
    h->addWidget(icon);
    auto *name = new QLabel(language.value_or(u"code"_s), header);
    name->setObjectName(u"markdown-code-language"_s);
    name->setTextFormat(Qt::PlainText);
    name->setFont(Fonts::system(10, QFont::Medium));
    QPalette p = name->palette();
    p.setColor(QPalette::WindowText, Theme::secondaryText());
    name->setPalette(p);
    h->addWidget(name);
    h->addStretch();
    auto *copy = new CopyButton(header);
    copy->setObjectName(u"markdown-code-copy"_s);
    connect(copy, &QAbstractButton::clicked, this, &MarkdownCodeBlock::copy);
    m_copyButton = copy;
    h->addWidget(copy);
    layout->addWidget(header);
    layout->addWidget(new Divider(this));

    auto *text = new LineBox(12, this);
    text->setObjectName(u"markdown-code-text"_s);
    text->setAccessibleName(language.value_or(u"code"_s));
    text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text->setPadding(QMargins(12, 12, 12, 12));
    text->setLines(splitLines(code));
    text->setHeightBounds(0, std::nullopt);
    layout->addWidget(text);
}

void MarkdownCodeBlock::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = Theme::primaryText();
    fill.setAlphaF(0.045f);
    painter.setBrush(fill);
    painter.setPen(QPen(Theme::strongHairline(), 1));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
}

void MarkdownCodeBlock::copy()
{
    QGuiApplication::clipboard()->setText(m_code);
    setCopied(true);
    // Each click resets its own label 1.2 s later; a later click does not extend an earlier one.
    QTimer::singleShot(1200, Qt::PreciseTimer, this, [this] { setCopied(false); });
}

void MarkdownCodeBlock::setCopied(bool copied)
{
    m_copied = copied;
    static_cast<CopyButton *>(m_copyButton)->setCopied(copied);
}

namespace {

// Lays `blocks` out as a text short enough to be built at once: runs of non-code blocks in
// document views, each code block a widget of its own.
void addBlockWidgets(QWidget *parent, QBoxLayout *layout, const std::vector<MarkdownBlock> &blocks, const MarkdownStyle &style)
{
    std::vector<MarkdownBlock> run;
    auto add = [&](QWidget *widget) {
        layout->addWidget(widget);
        widget->show();
    };
    auto flush = [&] {
        if (run.empty())
            return;
        auto *view = new MarkdownDocumentView(parent);
        view->setBlocks(run, style);
        add(view);
        run.clear();
    };
    for (const MarkdownBlock &block : blocks) {
        if (block.kind == MarkdownBlock::Kind::Code) {
            flush();
            add(new MarkdownCodeBlock(block.text, block.language, parent));
        } else {
            run.push_back(block);
        }
    }
    flush();
}

} // namespace

// ---- MarkdownChunk ----

namespace {

// Past this many characters of non-code blocks a run is cut into chunks of about this size.
constexpr qsizetype kChunkLength = 12000;

bool isLongMarkdown(const QString &text) { return LongTextView::isLong(text); }

// Characters of a block as they weigh on its height: narrow (ASCII) and wide ones, and the lines
// it is at least (one per item or hard line break).
struct BlockWeight
{
    qsizetype narrow = 0;
    qsizetype wide = 0;
    int lines = 0;
    int level = 0; // heading level; 0: body text
};

BlockWeight weigh(const MarkdownBlock &block)
{
    BlockWeight weight;
    weight.level = block.kind == MarkdownBlock::Kind::Heading ? block.level : 0;
    auto add = [&weight](const QString &text) {
        ++weight.lines;
        for (const QChar c : text) {
            if (c == u'\n')
                ++weight.lines;
            else if (c.unicode() < 128)
                ++weight.narrow;
            else if (!c.isLowSurrogate())
                ++weight.wide;
        }
    };
    if (block.kind == MarkdownBlock::Kind::List) {
        for (const MarkdownBlock::ListItem &item : block.items)
            add(item.text);
    } else {
        add(block.text);
    }
    return weight;
}

qsizetype blockLength(const MarkdownBlock &block)
{
    qsizetype length = block.text.size();
    for (const MarkdownBlock::ListItem &item : block.items)
        length += item.text.size();
    return length;
}

} // namespace

// A run of non-code blocks of a long text. Until it is first painted it is as tall as its
// characters make it at its width, estimated; then its blocks are written into a document view
// of its own and the measured height replaces the estimate. Only chunks near what is visible
// are ever laid out.
class MarkdownChunk : public QWidget
{
public:
    MarkdownChunk(std::vector<MarkdownBlock> blocks, const MarkdownStyle &style, QWidget *parent)
        : QWidget(parent), m_blocks(std::move(blocks)), m_style(style)
    {
        setObjectName(u"markdown-chunk"_s);
        m_weights.reserve(m_blocks.size());
        for (const MarkdownBlock &block : m_blocks)
            m_weights.push_back(weigh(block));
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }

    bool isRealized() const { return m_content != nullptr; }
    const std::vector<MarkdownBlock> &blocks() const { return m_blocks; }

    // Built as a short text is: runs of non-code blocks in document views, code blocks apart.
    void realize()
    {
        if (m_content)
            return;
        m_content = new QWidget(this);
        auto *layout = new QVBoxLayout(m_content);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(kBlockSpacing);
        addBlockWidgets(m_content, layout, m_blocks, m_style);
        m_content->setGeometry(rect());
        m_content->show();
        updateGeometry();
    }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        if (!m_content)
            return estimate(width);
        return m_content->hasHeightForWidth() ? m_content->heightForWidth(width) : m_content->sizeHint().height();
    }
    QSize sizeHint() const override
    {
        const int width = this->width() > 0 ? this->width() : 600;
        return {width, heightForWidth(width)};
    }
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        // Laid out after this paint, not in it: a paint must not change geometry.
        if (!m_content && !m_posted) {
            m_posted = true;
            QTimer::singleShot(0, this, [this] { realize(); });
        }
    }
    void resizeEvent(QResizeEvent *) override
    {
        if (m_content)
            m_content->setGeometry(rect());
    }

private:
    int estimate(int width) const
    {
        const QFontMetricsF body(Fonts::system(m_style.baseSize));
        const qreal narrow = body.horizontalAdvance(u'x');
        const qreal wide = body.horizontalAdvance(u'中');
        const qreal available = std::max(40, width);
        qreal height = 0;
        for (size_t i = 0; i < m_weights.size(); ++i) {
            const BlockWeight &w = m_weights[i];
            if (i + 1 < m_weights.size())
                height += kBlockSpacing;
            if (m_blocks[i].kind == MarkdownBlock::Kind::Code) {
                // Header, divider, padding and border around the lines.
                const QFontMetrics mono(Fonts::monospaced(12));
                height += 2 + 28 + 1 + 24 + w.lines * mono.height();
                continue;
            }
            const qreal scale = w.level > 0 ? headingFont(w.level, m_style.baseSize).pixelSize() / qreal(m_style.baseSize) : 1.0;
            const qreal advance = (w.narrow * narrow + w.wide * wide) * scale;
            const qreal lines = std::max<qreal>(w.lines, std::ceil(advance / available));
            height += lines * (body.height() * scale + 3);
        }
        return int(std::ceil(height));
    }

    std::vector<MarkdownBlock> m_blocks;
    std::vector<BlockWeight> m_weights;
    MarkdownStyle m_style;
    QWidget *m_content = nullptr;
    bool m_posted = false;
};

// ---- MarkdownText ----

MarkdownText::MarkdownText(const QString &text, bool showCursor, QWidget *parent)
    : QWidget(parent), m_text(text), m_showCursor(showCursor)
{
    setObjectName(u"markdown-text"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    rebuild();
}

void MarkdownText::setContent(const QString &text, bool showCursor)
{
    if (m_built && text == m_text && showCursor == m_showCursor)
        return;
    const bool stillStreaming = m_showCursor && showCursor && (m_raw || m_longRaw);
    m_text = text;
    m_showCursor = showCursor;
    if (stillStreaming && m_longRaw) {
        // A long text streams into a view that lays out only the lines near what is visible.
        m_longRaw->setText(m_text);
        return;
    }
    if (stillStreaming && !isLongMarkdown(m_text)) {
        // Streaming: only the raw text changes, no parse and no new widgets.
        m_raw->setPlain(m_text, Fonts::system(m_style.baseSize));
        return;
    }
    rebuild();
}

void MarkdownText::setStyle(const MarkdownStyle &style)
{
    m_style = style;
    // Chunks laid out in the former style are not kept.
    m_chunked = false;
    if (m_built)
        rebuild();
}

void MarkdownText::clearFrom(int index)
{
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    // Each widget taken out of an active layout would lay the others out again.
    layout->setEnabled(false);
    while (layout->count() > index) {
        QLayoutItem *item = layout->takeAt(layout->count() - 1);
        delete item->widget();
        delete item;
    }
    layout->setEnabled(true);
}

void MarkdownText::rebuild()
{
    m_built = true;
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    const bool chunked = !m_showCursor && isLongMarkdown(m_text);
    if (!chunked || !m_chunked)
        clearFrom(0);
    m_chunked = chunked;
    m_raw = nullptr;
    m_longRaw = nullptr;
    if (m_showCursor) {
        layout->setSpacing(4);
        QWidget *raw = nullptr;
        if (isLongMarkdown(m_text)) {
            m_longRaw = new LongTextView(m_text, Fonts::system(m_style.baseSize), std::nullopt, this);
            raw = m_longRaw;
        } else {
            m_raw = new AutoHeightTextView(this);
            m_raw->setPlain(m_text, Fonts::system(m_style.baseSize));
            if (m_text.isEmpty())
                m_raw->setAccessibleName(u"正在输出"_s);
            raw = m_raw;
        }
        raw->setObjectName(u"markdown-raw"_s);
        layout->addWidget(raw);
        auto *cursor = new BlinkingCursor(this);
        layout->addWidget(cursor, 0, Qt::AlignLeft);
        raw->show();
        cursor->show();
        return;
    }
    layout->setSpacing(kBlockSpacing);
    std::vector<MarkdownBlock> blocks = MarkdownParser::parse(m_text);
    if (chunked) {
        rebuildChunks(std::move(blocks));
        return;
    }
    addBlockWidgets(this, layout, blocks, m_style);
}

// Cuts the blocks into chunks the same way whatever follows them, so a text that grew at its
// end keeps every chunk but the last ones: those are replaced, the others stay as laid out.
void MarkdownText::rebuildChunks(std::vector<MarkdownBlock> blocks)
{
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    std::vector<std::vector<MarkdownBlock>> groups;
    std::vector<MarkdownBlock> group;
    qsizetype length = 0;
    for (MarkdownBlock &block : blocks) {
        length += blockLength(block);
        group.push_back(std::move(block));
        if (length >= kChunkLength) {
            groups.push_back(std::move(group));
            group.clear();
            length = 0;
        }
    }
    if (!group.empty())
        groups.push_back(std::move(group));

    int kept = 0;
    while (kept < layout->count() && size_t(kept) < groups.size()) {
        auto *chunk = dynamic_cast<MarkdownChunk *>(layout->itemAt(kept)->widget());
        if (!chunk || chunk->blocks() != groups[size_t(kept)])
            break;
        ++kept;
    }
    clearFrom(kept);
    // Each widget shown into an active layout would lay all of them out again.
    layout->setEnabled(false);
    for (size_t i = size_t(kept); i < groups.size(); ++i) {
        auto *chunk = new MarkdownChunk(std::move(groups[i]), m_style, this);
        layout->addWidget(chunk);
        chunk->show();
    }
    layout->setEnabled(true);
    layout->invalidate();
}

namespace {

// The chunk widgets of a long text (the class has no meta-object of its own to cast by).
std::vector<const MarkdownChunk *> chunksOf(const QObject *text)
{
    std::vector<const MarkdownChunk *> chunks;
    for (const QObject *child : text->children()) {
        if (const auto *chunk = dynamic_cast<const MarkdownChunk *>(child))
            chunks.push_back(chunk);
    }
    return chunks;
}

} // namespace

int MarkdownText::chunkCount() const { return int(chunksOf(this).size()); }

int MarkdownText::laidOutChunkCount() const
{
    const std::vector<const MarkdownChunk *> chunks = chunksOf(this);
    return int(std::count_if(chunks.begin(), chunks.end(), [](const MarkdownChunk *chunk) { return chunk->isRealized(); }));
}

} // namespace nbd
