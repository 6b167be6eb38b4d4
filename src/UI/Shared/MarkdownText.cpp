#include "UI/Shared/MarkdownText.h"

#include "UI/Conversation/BlockView.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/LongTextView.h"
#include "Domain/MarkdownInline.h"
#include "Domain/ToolPresentationModel.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/LatestJob.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/Theme.h"

#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QPaintEvent>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

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

namespace {

// An invisible stand-in laid over the words of one link. The text view's own accessible
// interface has no links in it; this gives each one a place in the tree. The mouse passes
// through to the words, and the keyboard reaches links inside the text view itself.
class LinkMark : public QAbstractButton
{
public:
    LinkMark(const QString &words, QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(u"markdown-link"_s);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setText(words);
        setAccessibleName(words);
        Accessibility::describe(this, QAccessible::Link);
    }

protected:
    void paintEvent(QPaintEvent *) override {}
};

} // namespace

MarkdownDocumentView::MarkdownDocumentView(QWidget *parent) : AutoHeightTextView(parent)
{
    setObjectName(u"markdown-blocks"_s);
    // Laid out again at a new width, the links move with their words.
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            &MarkdownDocumentView::scheduleLinkMarks);
}

void MarkdownDocumentView::setBlocks(const std::vector<MarkdownBlock> &blocks, const MarkdownStyle &style)
{
    document()->setUndoRedoEnabled(false);
    showWritten([blocks, style](QTextDocument *document) { writeMarkdownBlocks(document, blocks, style); });
    // The words themselves reach a screen reader through the text interface (and the row's
    // name); a name made of them would pass host text that looks like markup on as a label.
    setAccessibleName(u"文本"_s);
    scheduleLinkMarks();
}

void MarkdownDocumentView::resizeEvent(QResizeEvent *event)
{
    AutoHeightTextView::resizeEvent(event);
    scheduleLinkMarks();
}

// Once per event-loop turn: a layout reports its size several times while it runs.
void MarkdownDocumentView::scheduleLinkMarks()
{
    if (m_linkMarksScheduled)
        return;
    m_linkMarksScheduled = true;
    QMetaObject::invokeMethod(this, [this] {
        m_linkMarksScheduled = false;
        placeLinkMarks();
    }, Qt::QueuedConnection);
}

void MarkdownDocumentView::placeLinkMarks()
{
    qDeleteAll(m_linkMarks);
    m_linkMarks.clear();
    const QPoint scrolled(horizontalScrollBar()->value(), verticalScrollBar()->value());
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        const QTextLayout *lines = block.layout();
        if (!lines || lines->lineCount() == 0)
            continue;
        // One mark for each run of text with the same destination, over its first line.
        QString href;
        QString words;
        int start = -1;
        int end = -1;
        auto flush = [&] {
            if (start >= 0 && !words.trimmed().isEmpty()) {
                const int from = start - block.position();
                const int to = end - block.position();
                const QTextLine line = lines->lineForTextPosition(from);
                if (line.isValid()) {
                    const qreal left = line.cursorToX(from);
                    const QTextLine last = lines->lineForTextPosition(to);
                    const qreal right = last.isValid() && last.lineNumber() == line.lineNumber()
                        ? line.cursorToX(to)
                        : line.x() + line.naturalTextWidth();
                    QRectF box(left, line.y(), std::max<qreal>(1, right - left), line.height());
                    box.translate(lines->position());
                    auto *mark = new LinkMark(words, viewport());
                    const QUrl url(href);
                    connect(mark, &QAbstractButton::clicked, this, [this, url] { LinkOpener::open(this, url); });
                    mark->setGeometry(box.toAlignedRect().translated(-scrolled));
                    mark->show();
                    m_linkMarks << mark;
                }
            }
            href.clear();
            words.clear();
            start = end = -1;
        };
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            const QTextCharFormat format = fragment.charFormat();
            const QString anchor = format.isAnchor() ? format.anchorHref() : QString();
            if (start >= 0 && (anchor != href || fragment.position() != end))
                flush();
            if (anchor.isEmpty())
                continue;
            if (start < 0) {
                start = fragment.position();
                href = anchor;
            }
            words += fragment.text();
            end = fragment.position() + fragment.length();
        }
        flush();
    }
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

// ---- LongMarkdownView ----

namespace {

// A long text is cut into chunks of about this many characters, or fewer where they hold this
// many code blocks: laying one chunk out is what a scroll into it costs at once.
constexpr qsizetype kChunkLength = 3000;
constexpr int kChunkCodeBlocks = 6;
// Chunks laid out and kept as widgets at most; the farthest from what was painted last go.
constexpr size_t kLiveChunks = 24;

bool isLongMarkdown(const QString &text) { return LongTextView::isLong(text); }

// Characters of a block as they weigh on its height: narrow (ASCII) and wide ones, and the lines
// it is at least (one per item or hard line break).
struct BlockWeight
{
    qsizetype narrow = 0;
    qsizetype wide = 0;
    qsizetype lines = 0;
    int level = 0; // heading level; 0: body text
    bool code = false;
};

void addWeight(BlockWeight &weight, QStringView text)
{
    ++weight.lines;
    for (const QChar c : text) {
        if (c == u'\n')
            ++weight.lines;
        else if (c.unicode() < 128)
            ++weight.narrow;
        else if (!c.isLowSurrogate())
            ++weight.wide;
    }
}

BlockWeight weigh(const MarkdownBlock &block)
{
    BlockWeight weight;
    weight.level = block.kind == MarkdownBlock::Kind::Heading ? block.level : 0;
    weight.code = block.kind == MarkdownBlock::Kind::Code;
    if (block.kind == MarkdownBlock::Kind::List) {
        for (const MarkdownBlock::ListItem &item : block.items)
            addWeight(weight, item.text);
    } else {
        addWeight(weight, block.text);
    }
    return weight;
}

// The weight of a whole text not parsed yet, from a sample of its start: costs the same
// whatever its length.
BlockWeight sampledWeight(const QString &text)
{
    constexpr qsizetype kSample = 4096;
    BlockWeight weight;
    const QStringView sample = QStringView(text).left(kSample);
    addWeight(weight, sample);
    if (sample.size() < text.size()) {
        const double scale = double(text.size()) / double(sample.size());
        weight.narrow = qsizetype(double(weight.narrow) * scale);
        weight.wide = qsizetype(double(weight.wide) * scale);
        weight.lines = qsizetype(double(weight.lines) * scale);
    }
    return weight;
}

// What height estimates read of the fonts of a style, measured once for all chunks of a text.
struct EstimateMetrics
{
    qreal narrow = 0;
    qreal wide = 0;
    qreal bodyHeight = 0;
    int codeLineHeight = 0;
    std::array<qreal, 7> headingScale{}; // by level; 0: body text

    explicit EstimateMetrics(const MarkdownStyle &style)
    {
        const QFontMetricsF body(Fonts::system(style.baseSize));
        narrow = body.horizontalAdvance(u'x');
        wide = body.horizontalAdvance(u'中');
        bodyHeight = body.height();
        codeLineHeight = QFontMetrics(Fonts::monospaced(12)).height();
        headingScale[0] = 1.0;
        for (int level = 1; level <= 6; ++level)
            headingScale[size_t(level)] = headingFont(level, style.baseSize).pixelSize() / qreal(style.baseSize);
    }
};

// The height of blocks of these weights at `width`, estimated from their characters' advances.
int estimateHeight(const std::vector<BlockWeight> &weights, const EstimateMetrics &metrics, int width)
{
    const qreal available = std::max(40, width);
    qreal height = 0;
    for (size_t i = 0; i < weights.size(); ++i) {
        const BlockWeight &w = weights[i];
        if (i + 1 < weights.size())
            height += kBlockSpacing;
        if (w.code) {
            // Header, divider, padding and border around the lines.
            height += 2 + 28 + 1 + 24 + qreal(w.lines) * metrics.codeLineHeight;
            continue;
        }
        const qreal scale = metrics.headingScale[size_t(std::clamp(w.level, 0, 6))];
        const qreal advance = (qreal(w.narrow) * metrics.narrow + qreal(w.wide) * metrics.wide) * scale;
        const qreal lines = std::max<qreal>(qreal(w.lines), std::ceil(advance / available));
        height += lines * (metrics.bodyHeight * scale + 3);
    }
    return int(std::ceil(height));
}

qsizetype blockLength(const MarkdownBlock &block)
{
    qsizetype length = block.text.size();
    for (const MarkdownBlock::ListItem &item : block.items)
        length += item.text.size();
    return length;
}

} // namespace

// The blocks of one chunk of a long text and their weights; made on the thread pool, then
// only read.
struct MarkdownChunkData
{
    std::vector<MarkdownBlock> blocks;
    std::vector<BlockWeight> weights;
};

// A long text cut into chunks; the first `kept` are those the text showed before.
struct MarkdownChunkPlan
{
    std::vector<std::shared_ptr<const MarkdownChunkData>> chunks;
    size_t kept = 0;
};

namespace {

// Pure, for the thread pool. Cuts the blocks into chunks the same way whatever follows them,
// so a text that grew at its end keeps every chunk of `current` but the last ones.
std::shared_ptr<const MarkdownChunkPlan> planChunks(const QString &text,
                                                    const std::vector<std::shared_ptr<const MarkdownChunkData>> &current)
{
    std::vector<std::vector<MarkdownBlock>> groups;
    std::vector<MarkdownBlock> group;
    qsizetype length = 0;
    int codeBlocks = 0;
    for (MarkdownBlock &block : MarkdownParser::parse(text)) {
        length += blockLength(block);
        codeBlocks += block.kind == MarkdownBlock::Kind::Code ? 1 : 0;
        group.push_back(std::move(block));
        if (length >= kChunkLength || codeBlocks >= kChunkCodeBlocks) {
            groups.push_back(std::move(group));
            group.clear();
            length = 0;
            codeBlocks = 0;
        }
    }
    if (!group.empty())
        groups.push_back(std::move(group));

    auto plan = std::make_shared<MarkdownChunkPlan>();
    plan->chunks.reserve(groups.size());
    while (plan->kept < current.size() && plan->kept < groups.size() && current[plan->kept]->blocks == groups[plan->kept]) {
        plan->chunks.push_back(current[plan->kept]);
        ++plan->kept;
    }
    for (size_t i = plan->kept; i < groups.size(); ++i) {
        auto data = std::make_shared<MarkdownChunkData>();
        data->blocks = std::move(groups[i]);
        data->weights.reserve(data->blocks.size());
        for (const MarkdownBlock &block : data->blocks)
            data->weights.push_back(weigh(block));
        plan->chunks.push_back(std::move(data));
    }
    return plan;
}

} // namespace

// The chunks of a long text, one below the other. Only chunks near what was painted have
// widgets, built as a short text's blocks are, one chunk per event-loop turn; every other chunk
// is as tall as measured when it last had a widget at this width, or as estimated from its
// characters.
class LongMarkdownView : public QWidget
{
public:
    LongMarkdownView(const MarkdownStyle &style, QWidget *parent)
        : QWidget(parent), m_style(style), m_metrics(style)
    {
        setObjectName(u"markdown-long"_s);
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    // Chunks kept by the plan keep their widgets and heights.
    void setChunks(const MarkdownChunkPlan &plan)
    {
        size_t kept = 0;
        while (kept < plan.kept && kept < m_slots.size() && m_slots[kept].data == plan.chunks[kept])
            ++kept;
        while (m_slots.size() > kept) {
            delete m_slots.back().live;
            m_slots.pop_back();
        }
        for (size_t i = kept; i < plan.chunks.size(); ++i) {
            Slot slot;
            slot.data = plan.chunks[i];
            m_slots.push_back(std::move(slot));
        }
        ++m_generation;
        if (m_width >= 0)
            measure(m_width, kept);
        place();
        updateGeometry();
        update();
    }

    std::vector<std::shared_ptr<const MarkdownChunkData>> chunks() const
    {
        std::vector<std::shared_ptr<const MarkdownChunkData>> out;
        out.reserve(m_slots.size());
        for (const Slot &slot : m_slots)
            out.push_back(slot.data);
        return out;
    }
    int chunkCount() const { return int(m_slots.size()); }
    int liveCount() const
    {
        return int(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot &slot) { return slot.live != nullptr; }));
    }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        if (width != m_width && (m_width < 0 || width == this->width()))
            const_cast<LongMarkdownView *>(this)->measure(width, 0);
        if (width == m_width)
            return clampedHeight(m_tops.empty() ? 0 : m_tops.back());
        // Another width than the one the chunks are placed at (a layout trying sizes): counted
        // apart, the placement stays.
        if (width != m_otherWidth) {
            qint64 total = 0;
            for (const Slot &slot : m_slots)
                total += slot.live ? heightForWidthOf(slot.live, width) : estimateHeight(slot.data->weights, m_metrics, width);
            m_otherWidth = width;
            m_otherHeight = clampedHeight(total);
        }
        return m_otherHeight;
    }
    QSize sizeHint() const override
    {
        const int width = this->width() > 0 ? this->width() : 600;
        return {width, heightForWidth(width)};
    }
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        // Widgets for the chunks in view, built after this paint (a paint must not change
        // geometry). A paint may cover only part of what is visible.
        if (m_slots.empty() || m_tops.size() != m_slots.size() + 1)
            return;
        m_focus = rangeIn(event->rect().united(visibleRegion().boundingRect()));
        for (size_t i = m_focus.first; i <= m_focus.second; ++i) {
            if (!m_slots[i].live) {
                postRealize();
                return;
            }
        }
    }
    void resizeEvent(QResizeEvent *) override
    {
        if (width() != m_width)
            measure(width(), 0);
        place();
    }

private:
    struct Slot
    {
        std::shared_ptr<const MarkdownChunkData> data;
        int height = 0;
        QWidget *live = nullptr;
    };

    static int clampedHeight(qint64 height) { return int(std::min<qint64>(height, QWIDGETSIZE_MAX)); }

    // Heights at `width` from slot `from` on: measured for chunks with widgets, estimated for
    // the others.
    void measure(int width, size_t from)
    {
        m_otherWidth = -1;
        if (width != m_width)
            from = 0;
        m_width = width;
        for (size_t i = from; i < m_slots.size(); ++i) {
            Slot &slot = m_slots[i];
            slot.height = slot.live ? heightForWidthOf(slot.live, width) : estimateHeight(slot.data->weights, m_metrics, width);
        }
        m_tops.resize(m_slots.size() + 1);
        m_tops[0] = 0;
        for (size_t i = 0; i < m_slots.size(); ++i)
            m_tops[i + 1] = m_tops[i] + m_slots[i].height;
    }

    std::pair<size_t, size_t> rangeIn(const QRect &area) const { return {chunkAt(area.top()), chunkAt(area.bottom())}; }

    size_t chunkAt(int y) const
    {
        const auto it = std::upper_bound(m_tops.begin(), m_tops.end(), qint64(y));
        const size_t index = it == m_tops.begin() ? 0 : size_t(it - m_tops.begin()) - 1;
        return std::min(index, m_slots.size() - 1);
    }

    void place()
    {
        for (size_t i = 0; i < m_slots.size(); ++i) {
            if (QWidget *live = m_slots[i].live)
                live->setGeometry(0, int(m_tops[i]), width(), m_slots[i].height);
        }
    }

    void postRealize()
    {
        if (m_posted)
            return;
        m_posted = true;
        QTimer::singleShot(0, this, [this, generation = m_generation] {
            m_posted = false;
            if (generation == m_generation)
                realizeNext();
        });
    }

    // Builds the widget of one chunk in view, then asks for the next.
    void realizeNext()
    {
        const QRect visible = visibleRegion().boundingRect();
        if (!visible.isEmpty())
            m_focus = rangeIn(visible);
        const auto [first, last] = m_focus;
        for (size_t i = first; i <= last && i < m_slots.size(); ++i) {
            if (m_slots[i].live)
                continue;
            realize(i);
            if (i < last)
                postRealize();
            return;
        }
    }

    void realize(size_t index)
    {
        Slot &slot = m_slots[index];
        auto *content = new QWidget(this);
        content->setObjectName(u"markdown-chunk"_s);
        content->setProperty("chunkIndex", qulonglong(index));
        auto *layout = new QVBoxLayout(content);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(kBlockSpacing);
        addBlockWidgets(content, layout, slot.data->blocks, m_style);
        slot.live = content;
        m_otherWidth = -1;
        release();
        const int height = heightForWidthOf(content, m_width);
        const bool grown = height != slot.height;
        slot.height = height;
        if (grown) {
            for (size_t i = index; i < m_slots.size(); ++i)
                m_tops[i + 1] = m_tops[i] + m_slots[i].height;
        }
        place();
        content->show();
        if (grown)
            updateGeometry();
    }

    // Keeps the widgets of at most kLiveChunks chunks, those nearest the range painted last;
    // the heights they measured stay.
    void release()
    {
        std::vector<size_t> live;
        for (size_t i = 0; i < m_slots.size(); ++i) {
            if (m_slots[i].live)
                live.push_back(i);
        }
        if (live.size() <= kLiveChunks)
            return;
        const auto [first, last] = m_focus;
        const auto distance = [first = first, last = last](size_t i) { return i < first ? first - i : (i > last ? i - last : 0); };
        std::sort(live.begin(), live.end(), [&](size_t a, size_t b) { return distance(a) < distance(b); });
        for (size_t k = kLiveChunks; k < live.size(); ++k) {
            Slot &slot = m_slots[live[k]];
            slot.live->hide();
            slot.live->deleteLater();
            slot.live = nullptr;
        }
    }

    MarkdownStyle m_style;
    EstimateMetrics m_metrics;
    std::vector<Slot> m_slots;
    std::vector<qint64> m_tops; // by chunk, and the total height last
    int m_width = -1;
    mutable int m_otherWidth = -1;
    mutable int m_otherHeight = 0;
    std::pair<size_t, size_t> m_focus{0, 0};
    quint64 m_generation = 0;
    bool m_posted = false;
};

namespace {

// Room for a long text while its first parse runs: as tall as its characters make it, estimated.
class PendingMarkdown : public QWidget
{
public:
    PendingMarkdown(const QString &text, const MarkdownStyle &style, QWidget *parent)
        : QWidget(parent), m_weights{sampledWeight(text)}, m_metrics(style)
    {
        setObjectName(u"markdown-pending"_s);
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return estimateHeight(m_weights, m_metrics, width); }
    QSize sizeHint() const override
    {
        const int width = this->width() > 0 ? this->width() : 600;
        return {width, heightForWidth(width)};
    }
    QSize minimumSizeHint() const override { return {0, 0}; }

private:
    std::vector<BlockWeight> m_weights;
    EstimateMetrics m_metrics;
};

} // namespace

// ---- MarkdownText ----

MarkdownText::MarkdownText(const QString &text, bool showCursor, QWidget *parent)
    : QWidget(parent), m_text(text), m_showCursor(showCursor), m_parse(std::make_unique<LatestJob<Plan>>(this))
{
    setObjectName(u"markdown-text"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    rebuild();
}

MarkdownText::~MarkdownText() = default;

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

bool MarkdownText::isParsing() const { return m_parse->isBusy(); }

void MarkdownText::clearFrom(int index)
{
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    // Each widget taken out of an active layout would lay the others out again.
    layout->setEnabled(false);
    while (layout->count() > index) {
        QLayoutItem *item = layout->takeAt(layout->count() - 1);
        if (item->widget() == m_long)
            m_long = nullptr;
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
    // A parse under way is for a text no longer shown.
    m_parse->cancel();
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
    if (chunked) {
        parseLong();
        return;
    }
    addBlockWidgets(this, layout, MarkdownParser::parse(m_text), m_style);
}

// A long text is parsed and cut into chunks on the thread pool; until the result comes, the
// chunks of the text shown before stay, or, for a text shown first, room as tall as it is
// estimated to be.
void MarkdownText::parseLong()
{
    auto *layout = static_cast<QVBoxLayout *>(this->layout());
    std::vector<std::shared_ptr<const MarkdownChunkData>> current;
    if (m_long)
        current = m_long->chunks();
    else if (layout->count() == 0) {
        auto *pending = new PendingMarkdown(m_text, m_style, this);
        layout->addWidget(pending);
        pending->show();
    }
    m_parse->start([text = m_text, current = std::move(current)] { return planChunks(text, current); },
                   [this](Plan plan) { showChunks(*plan); });
}

void MarkdownText::showChunks(const MarkdownChunkPlan &plan)
{
    if (!m_long) {
        clearFrom(0);
        m_long = new LongMarkdownView(m_style, this);
        layout()->addWidget(m_long);
        m_long->show();
    }
    m_long->setChunks(plan);
}

int MarkdownText::chunkCount() const { return m_long ? m_long->chunkCount() : 0; }

int MarkdownText::laidOutChunkCount() const { return m_long ? m_long->liveCount() : 0; }

} // namespace nbd
