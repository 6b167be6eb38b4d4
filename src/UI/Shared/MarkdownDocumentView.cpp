#include "UI/Shared/MarkdownDocumentView.h"

#include "Domain/MarkdownInline.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/Theme.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kBaseSize = 15;
constexpr int kQuoteIndent = 2 + 3 + 8; // padding, bar, gap
constexpr int kQuoteProperty = QTextFormat::UserProperty + 1;
constexpr int kRuleProperty = QTextFormat::UserProperty + 2;


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

// Headings keep their steps above the body size whatever that size is.
QFont markdownHeadingFont(int level, int baseSize)
{
    const int shift = baseSize - kBaseSize;
    switch (level) {
    case 1: return Fonts::system(22 + shift, QFont::Bold);
    case 2: return Fonts::system(19 + shift, QFont::DemiBold);
    case 3: return Fonts::system(16 + shift, QFont::DemiBold);
    default: return Fonts::system(15 + shift, QFont::Medium);
    }
}

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
        const int after = lastBlock ? 0 : kMarkdownBlockSpacing;
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
            format.setTopMargin(first ? padding : kMarkdownBlockSpacing + padding);
            const QTextCharFormat heading = charFormat(markdownHeadingFont(block.level, baseSize), bodyColor);
            startBlock(format, heading);
            insertInline(cursor, block.text, heading);
            break;
        }
        case MarkdownBlock::Kind::List: {
            const QFontMetrics fm(Fonts::system(baseSize));
            // The widest marker, its digits as zeros (the widest digit in most fonts).
            const QString widest = block.ordered ? QString(QString::number(block.firstNumber + qsizetype(block.items.size()) - 1).size(), u'0') + u'.' : u"•"_s;
            const int indent = fm.horizontalAdvance(widest) + 6;
            QTextCharFormat marker = charFormat(Fonts::system(baseSize), Theme::tertiaryText());
            for (size_t i = 0; i < block.items.size(); ++i) {
                QTextBlockFormat item;
                item.setLeftMargin(indent);
                item.setTextIndent(-indent);
                item.setTabPositions({QTextOption::Tab(indent, QTextOption::LeftTab)});
                item.setBottomMargin(i + 1 == block.items.size() ? after : 3);
                startBlock(item, body);
                cursor.insertText((block.ordered ? QString::number(block.firstNumber + qsizetype(i)) + u'.' : u"•"_s) + u'\t', marker);
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

} // namespace nbd
