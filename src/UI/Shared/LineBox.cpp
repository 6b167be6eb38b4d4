#include "UI/Shared/LineBox.h"

#include "Base/WorkPool.h"
#include "Domain/Graphemes.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/Theme.h"

#include <QHash>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextDocumentLayout>
#include <QPointer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

class LineBox::Gutter : public QWidget
{
public:
    explicit Gutter(LineBox *box) : QWidget(box), m_box(box) { setAttribute(Qt::WA_TransparentForMouseEvents); }

protected:
    void paintEvent(QPaintEvent *event) override { m_box->paintGutter(event); }

private:
    LineBox *m_box;
};

// The plain editor's layout, with each line in a row at least `rowHeight` tall and its text
// centred in the row. The editor asks the layout for every block's rectangle before it paints,
// hit-tests or scrolls, so the lines are moved down there, after the plain layout placed them
// at the top of their block.
class LineBox::RowLayout : public QPlainTextDocumentLayout
{
public:
    explicit RowLayout(QTextDocument *document) : QPlainTextDocumentLayout(document) {}

    int rowHeight() const { return m_rowHeight; }
    void setRowHeight(int height)
    {
        m_rowHeight = height;
        // The editor sizes its scroll range again on this signal.
        Q_EMIT documentSizeChanged(documentSize());
        requestUpdate();
    }

    QRectF blockBoundingRect(const QTextBlock &block) const override
    {
        QRectF rect = QPlainTextDocumentLayout::blockBoundingRect(block);
        QTextLayout *layout = block.layout();
        if (m_rowHeight <= 0 || !block.isVisible() || !layout || layout->lineCount() == 0)
            return rect;
        qreal textHeight = 0;
        for (int i = 0; i < layout->lineCount(); ++i)
            textHeight += layout->lineAt(i).height();
        const qreal top = std::floor(std::max<qreal>(0, (m_rowHeight - textHeight) / 2));
        if (layout->lineAt(0).y() != top) {
            qreal y = top;
            for (int i = 0; i < layout->lineCount(); ++i) {
                QTextLine line = layout->lineAt(i);
                line.setPosition(QPointF(line.x(), y));
                y += line.height();
            }
            rect = QPlainTextDocumentLayout::blockBoundingRect(block);
        }
        rect.setHeight(std::max<qreal>(rect.height(), m_rowHeight));
        return rect;
    }

private:
    int m_rowHeight = 0;
};

LineBox::LineBox(int fontPixelSize, QWidget *parent) : QPlainTextEdit(parent)
{
    auto *rows = new QTextDocument(this);
    m_rows = new RowLayout(rows);
    rows->setDocumentLayout(m_rows);
    setDocument(rows);
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFrameShape(QFrame::NoFrame);
    setFont(Fonts::monospaced(fontPixelSize));
    setTabStopDistance(QFontMetricsF(font()).horizontalAdvance(u' ') * 8);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    document()->setDocumentMargin(0);
    connect(horizontalScrollBar(), &QScrollBar::rangeChanged, this, [this] { updateGeometry(); });
    applyColors();
}

namespace {

// `document` has no thread; its blocks are freed on the pool.
void deleteOnPool(QTextDocument *document)
{
    (void)QtConcurrent::run(workPool(), [document] { delete document; });
}

// Calls `piece(from, length)` for each row `line` takes: the whole line, or pieces of at most
// kPieceLength units, cut between characters.
template <typename Piece>
void forEachPiece(const QString &line, Piece &&piece)
{
    constexpr qsizetype kPiece = LineBox::kPieceLength;
    if (line.size() <= kPiece) {
        piece(qsizetype(0), line.size());
        return;
    }
    for (qsizetype from = 0; from < line.size();) {
        const qsizetype end = Graphemes::pieceEnd(line, from, kPiece);
        piece(from, end - from);
        from = end;
    }
}

} // namespace

LineBox::~LineBox() { releaseDocument(); }

// Which rows the lines take: one each, or one per piece of a long line.
void LineBox::placeRows()
{
    m_lineBlocks.clear();
    m_rowCount = std::max<qsizetype>(1, m_lines.size());
    const bool pieces = std::any_of(m_lines.cbegin(), m_lines.cend(),
                                    [](const QString &line) { return line.size() > kPieceLength; });
    if (!pieces)
        return;
    m_lineBlocks.reserve(size_t(m_lines.size()));
    qsizetype block = 0;
    for (const QString &line : std::as_const(m_lines)) {
        m_lineBlocks.push_back(int(block));
        forEachPiece(line, [&](qsizetype, qsizetype) { ++block; });
    }
    m_rowCount = block;
}

namespace {

// The document's text: the lines, one block each, or a block per piece of a long line.
QString joinRows(const QStringList &lines, bool pieces)
{
    if (!pieces)
        return lines.join(u'\n');
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 1 + line.size() / LineBox::kPieceLength;
    QString text;
    text.reserve(size);
    bool first = true;
    for (const QString &line : lines) {
        forEachPiece(line, [&](qsizetype from, qsizetype length) {
            if (!first)
                text += u'\n';
            first = false;
            text += QStringView(line).mid(from, length);
        });
    }
    return text;
}

qsizetype totalLength(const QStringList &lines)
{
    qsizetype size = std::max<qsizetype>(0, lines.size() - 1);
    for (const QString &line : lines)
        size += line.size();
    return size;
}

} // namespace

int LineBox::lineOfBlock(int block) const
{
    if (m_lineBlocks.empty())
        return block;
    return int(std::upper_bound(m_lineBlocks.cbegin(), m_lineBlocks.cend(), block) - m_lineBlocks.cbegin()) - 1;
}

void LineBox::setLines(const QStringList &lines)
{
    m_lines = lines;
    const quint64 fill = ++m_fill;
    placeRows();
    const bool pieces = !m_lineBlocks.empty();
    if (totalLength(lines) <= kFilledAway) {
        m_filling = false;
        if (m_ownsLongDocument)
            showFilled(nullptr);
        setPlainText(joinRows(lines, pieces));
    } else {
        // Filled on the pool: a document without a thread of its own can be handed over.
        m_filling = true;
        const QFont font = this->font();
        QPointer<LineBox> self(this);
        QThread *home = thread();
        QtConcurrent::run(workPool(), [lines, pieces, font] {
            auto *document = new QTextDocument;
            document->setDocumentMargin(0);
            document->setDefaultFont(font);
            document->setPlainText(joinRows(lines, pieces));
            // The editor that takes the document gives each row a layout object first thing:
            // a hundred thousand of them are made here, off the window's thread.
            for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
                (void)block.layout();
            document->moveToThread(nullptr);
            return document;
        }).then(home, [self, fill](QTextDocument *document) {
            if (!self || self->m_fill != fill) {
                deleteOnPool(document);
                return;
            }
            self->showFilled(document);
        });
    }
    measureLines();
    applyHeightRule();
}

// Puts a document filled away in place (nothing: a fresh empty one), laid out in rows as tall
// as the ones before.
void LineBox::showFilled(QTextDocument *document)
{
    const int rowHeight = m_rows->rowHeight();
    releaseDocument();
    const bool filled = document != nullptr;
    if (filled)
        document->moveToThread(thread());
    else
        document = new QTextDocument;
    document->setParent(this);
    document->setDocumentMargin(0);
    document->setDefaultFont(font());
    m_rows = new RowLayout(document);
    document->setDocumentLayout(m_rows);
    m_rows->setRowHeight(rowHeight);
    setDocument(document);
    m_ownsLongDocument = filled;
    if (filled)
        m_filling = false;
    applyColors();
    viewport()->update();
}

// A long document of ours is taken out of the editor and deleted on the pool: freeing
// megabytes of text blocks takes longer than a frame.
void LineBox::releaseDocument()
{
    if (!m_ownsLongDocument)
        return;
    m_ownsLongDocument = false;
    QTextDocument *old = document();
    // The editor holds an empty document of its own until the next one is put in place.
    setDocument(nullptr);
    m_rows = nullptr;
    old->setParent(nullptr);
    old->moveToThread(nullptr);
    deleteOnPool(old);
}

namespace {

// The characters of `piece` the box's font may lack (all but ASCII), each once, after an "X":
// laid out, the sample takes the fonts the piece takes, and so its height, at a fraction of
// the cost of laying out the piece. `seen` is all clear before and after.
QString fallbackSample(QStringView piece, std::bitset<65536> &seen)
{
    constexpr qsizetype kSampleLength = 64;
    QString sample(u'X');
    for (qsizetype i = 0; i < piece.size() && sample.size() < kSampleLength; ++i) {
        const QChar c = piece[i];
        if (c.unicode() < 0x80)
            continue;
        if (c.isHighSurrogate() && i + 1 < piece.size()) {
            sample += c; // a pair stays whole
            sample += piece[++i];
            continue;
        }
        if (seen.test(c.unicode()))
            continue;
        seen.set(c.unicode());
        sample += c;
    }
    for (QChar c : std::as_const(sample))
        seen.reset(c.unicode());
    return sample;
}

} // namespace

// A line with characters the box's font lacks is drawn partly in a fallback font (Chinese in a
// Latin monospaced font, say), whose lines can be taller: such rows are measured, so none is
// cut off at the bottom. Past a number of them, the tallest seen stands in.
void LineBox::measureLines()
{
    constexpr int kMeasuredLines = 1000;
    const int base = rowHeight();
    int measured = 0;
    int tallest = base;
    m_extraHeight = 0;
    std::bitset<65536> seen;
    QHash<QString, int> heights;
    for (const QString &line : std::as_const(m_lines)) {
        forEachPiece(line, [&](qsizetype from, qsizetype length) {
            const QStringView piece = QStringView(line).mid(from, length);
            if (std::all_of(piece.cbegin(), piece.cend(), [](QChar c) { return c.unicode() < 0x80; }))
                return;
            int height = tallest;
            if (measured < kMeasuredLines) {
                ++measured;
                const QString sample = fallbackSample(piece, seen);
                auto known = heights.constFind(sample);
                if (known == heights.constEnd())
                    known = heights.insert(sample, rowHeight(sample));
                height = *known;
                tallest = std::max(tallest, height);
            }
            m_extraHeight += std::max(0, height - base);
        });
    }
}

void LineBox::setLineColors(std::function<std::optional<LineColors>(int)> colors)
{
    m_lineColors = std::move(colors);
    recolor();
}

void LineBox::setNumbers(std::vector<qint64> numbers, int width, int spacing)
{
    m_numbers = std::move(numbers);
    m_numberWidth = width;
    m_numberSpacing = spacing;
    if (!m_gutter) {
        m_gutter = new Gutter(this);
        connect(this, &QPlainTextEdit::updateRequest, m_gutter, [this] { m_gutter->update(); });
    }
    applyMargins();
    m_gutter->show();
    m_gutter->update();
}

void LineBox::setHeightBounds(int minimum, std::optional<int> maximum)
{
    m_minimumHeight = minimum;
    m_maximumHeight = maximum;
    applyHeightRule();
}

bool LineBox::scrollsItself() const
{
    return m_maximumHeight ? contentHeight() > *m_maximumHeight : isTooLong();
}

bool LineBox::isTooLong() const
{
    return m_rowCount > kMostRowsShown || contentHeight() > LongTextView::kTallest;
}

// No widget can be taller than a few million pixels, and the editor lays out every row it
// shows at once: lines taller than either allows scroll in a box of their own, so what follows
// the box still has a place and showing it costs the rows in view.
void LineBox::applyHeightRule()
{
    const bool scrolls = m_maximumHeight || isTooLong();
    const Qt::ScrollBarPolicy policy = scrolls ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
    if (verticalScrollBarPolicy() != policy)
        setVerticalScrollBarPolicy(policy);
    updateGeometry();
}

void LineBox::setPadding(QMargins padding)
{
    m_padding = padding;
    applyMargins();
}

void LineBox::setMinimumRowHeight(int height)
{
    if (height == m_rows->rowHeight())
        return;
    m_rows->setRowHeight(height);
    measureLines();
    applyHeightRule();
    viewport()->update();
}

void LineBox::applyMargins()
{
    const int gutter = m_gutter ? m_numberWidth + m_numberSpacing : 0;
    setViewportMargins(m_padding.left() + gutter, m_padding.top(), m_padding.right(), m_padding.bottom());
    if (m_gutter)
        m_gutter->setGeometry(contentsRect().left() + m_padding.left(), contentsRect().top() + m_padding.top(), gutter,
                              viewport()->height());
    updateGeometry();
}

void LineBox::setBoxColors(std::optional<QColor> text, std::optional<QColor> background, int radius)
{
    m_textColor = text;
    m_background = background;
    m_radius = radius;
    applyColors();
    update();
}

// The height the editor gives one line, which can be a pixel more than the font's rounded
// height: laid out once, the way the editor lays out its lines.
int LineBox::lineHeight(const QString &sample) const
{
    QTextLayout layout(sample, font());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    return line.isValid() ? int(std::ceil(line.height())) : QFontMetrics(font()).height();
}

int LineBox::rowHeight(const QString &sample) const
{
    return std::max(m_rows->rowHeight(), lineHeight(sample));
}

int LineBox::contentHeight() const
{
    // The editor shows its scroll bar unless the lines fit with a pixel to spare.
    const qint64 height = m_rowCount * qint64(rowHeight()) + m_extraHeight;
    return int(std::min<qint64>(height, std::numeric_limits<int>::max() / 2)) + m_padding.top() + m_padding.bottom() + 1;
}

QSize LineBox::sizeHint() const
{
    int height = contentHeight();
    if (horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff && horizontalScrollBar()->maximum() > 0)
        height += horizontalScrollBar()->sizeHint().height();
    height = std::max(height, m_minimumHeight);
    if (m_maximumHeight)
        height = std::min(height, *m_maximumHeight);
    else if (isTooLong())
        height = LongTextView::kScrollingHeight;
    return {200, height};
}

QSize LineBox::minimumSizeHint() const
{
    return {40, sizeHint().height()};
}

void LineBox::applyColors()
{
    QPalette p = palette();
    p.setColor(QPalette::Text, m_textColor.value_or(Theme::primaryText()));
    p.setColor(QPalette::Base, Qt::transparent);
    p.setColor(QPalette::Window, Qt::transparent);
    setPalette(p);
}

void LineBox::changeEvent(QEvent *event)
{
    QPlainTextEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        measureLines();
        applyHeightRule();
    }
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::StyleChange) {
        applyColors();
        // The line colours come from the theme too.
        if (m_lineColors)
            recolor();
    }
}

// Rows take the current line colours when they are next painted.
void LineBox::recolor()
{
    m_colorGeneration = m_colorGeneration == std::numeric_limits<int>::max() ? 0 : m_colorGeneration + 1;
    viewport()->update();
}

// Gives the rows about to be painted the text colour of their line, each once per colour
// generation: colouring every row of a huge diff up front would lay out every row.
void LineBox::colorVisibleBlocks(const QRect &exposed)
{
    if (!m_lineColors)
        return;
    const QPointF offset = contentOffset();
    for (QTextBlock block = firstVisibleBlock(); block.isValid(); block = block.next()) {
        if (block.userState() != m_colorGeneration) {
            block.setUserState(m_colorGeneration);
            QList<QTextLayout::FormatRange> ranges;
            const std::optional<LineColors> colors = m_lineColors(lineOfBlock(block.blockNumber()));
            if (colors && colors->text.isValid() && block.length() > 1) {
                QTextCharFormat format;
                format.setForeground(colors->text);
                ranges.append({0, block.length() - 1, format});
            }
            if (!ranges.isEmpty() || !block.layout()->formats().isEmpty()) {
                block.layout()->setFormats(ranges);
                // Lays the row out again with its colour, as a syntax highlighter does.
                document()->markContentsDirty(block.position(), block.length());
            }
        }
        if (blockBoundingGeometry(block).translated(offset).top() > exposed.bottom())
            break;
    }
}

QString LineBox::selectedLinesText() const
{
    const QTextCursor cursor = textCursor();
    const int from = cursor.selectionStart();
    const int to = cursor.selectionEnd();
    QString text;
    for (QTextBlock block = document()->findBlock(from); block.isValid() && block.position() <= to; block = block.next()) {
        const int start = std::max(from, block.position()) - block.position();
        const int end = std::min(to, block.position() + block.length() - 1) - block.position();
        text += QStringView(block.text()).mid(start, std::max(0, end - start));
        const QTextBlock next = block.next();
        if (!next.isValid() || next.position() > to)
            break;
        if (lineOfBlock(next.blockNumber()) != lineOfBlock(block.blockNumber()))
            text += u'\n';
    }
    return text;
}

QMimeData *LineBox::createMimeDataFromSelection() const
{
    if (m_lineBlocks.empty())
        return QPlainTextEdit::createMimeDataFromSelection();
    auto *data = new QMimeData;
    data->setText(selectedLinesText());
    return data;
}

void LineBox::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    if (m_gutter) {
        m_gutter->setGeometry(contentsRect().left() + m_padding.left(), viewport()->y(), m_numberWidth + m_numberSpacing,
                              viewport()->height());
    }
}

bool LineBox::event(QEvent *event)
{
    // The box's own paint, under the transparent viewport: row backgrounds run through the
    // padding and the number column too, edge to edge.
    if (event->type() == QEvent::Paint && m_lineColors)
        paintRowBackgrounds(static_cast<QPaintEvent *>(event));
    return QPlainTextEdit::event(event);
}

void LineBox::paintRowBackgrounds(QPaintEvent *event)
{
    QPainter painter(this);
    const QRect lines = viewport()->geometry();
    // From the box's left edge to the end of the right padding (a scroll bar stays clear).
    const int left = contentsRect().left();
    const int width = lines.right() + 1 + m_padding.right() - left;
    painter.setClipRect(QRect(left, lines.top(), width, lines.height()).intersected(event->rect()));
    const QPointF offset = contentOffset() + QPointF(0, lines.top());
    for (QTextBlock block = firstVisibleBlock(); block.isValid(); block = block.next()) {
        const QRectF r = blockBoundingGeometry(block).translated(offset);
        if (r.top() > lines.bottom())
            break;
        const std::optional<LineColors> colors = m_lineColors(lineOfBlock(block.blockNumber()));
        if (colors && colors->background.isValid())
            painter.fillRect(QRectF(left, r.top(), width, r.height()), colors->background);
    }
}

void LineBox::paintEvent(QPaintEvent *event)
{
    colorVisibleBlocks(event->rect());
    if (m_background && !m_radius) {
        QPainter painter(viewport());
        painter.fillRect(event->rect(), *m_background);
    }
    QPlainTextEdit::paintEvent(event);
}

void LineBox::paintGutter(QPaintEvent *event)
{
    QPainter painter(m_gutter);
    painter.setFont(font());
    painter.setPen(Theme::tertiaryText());
    const QPointF offset = contentOffset();
    for (QTextBlock block = firstVisibleBlock(); block.isValid(); block = block.next()) {
        const QRectF r = blockBoundingGeometry(block).translated(offset);
        if (r.top() > event->rect().bottom())
            break;
        const int index = lineOfBlock(block.blockNumber());
        if (index >= int(m_numbers.size()))
            break;
        // The further rows of a long line go without a number.
        if (!m_lineBlocks.empty() && m_lineBlocks[size_t(index)] != block.blockNumber())
            continue;
        painter.drawText(QRectF(0, r.top(), m_numberWidth, r.height()), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(m_numbers[size_t(index)]));
    }
}

} // namespace nbd
