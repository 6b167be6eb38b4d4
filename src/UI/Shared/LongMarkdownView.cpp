#include "UI/Shared/LongMarkdownView.h"

#include "Domain/Graphemes.h"
#include "Domain/ToolPresentationModel.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/LongTextView.h"
#include "UI/Shared/MarkdownCodeBlock.h"
#include "UI/Shared/Theme.h"

#include <QBoxLayout>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

bool isLongMarkdown(const QString &text)
{
    if (LongTextView::isLong(text))
        return true;
    // A line too long to lay out at once is cut into pieces, and thousands of list items or
    // rules into runs, only on the way to chunks.
    qsizetype lineStart = 0;
    qsizetype lines = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (text[i] == u'\n') {
            lineStart = i + 1;
            if (++lines > kLongMarkdownLines)
                return true;
        } else if (i - lineStart >= kLongMarkdownLine) {
            return true;
        }
    }
    return false;
}

void addMarkdownBlockWidgets(QWidget *parent, QBoxLayout *layout, const std::vector<MarkdownBlock> &blocks,
                             const MarkdownStyle &style, const std::vector<QStringList> *codeLines)
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
    for (size_t i = 0; i < blocks.size(); ++i) {
        const MarkdownBlock &block = blocks[i];
        if (block.kind == MarkdownBlock::Kind::Code) {
            flush();
            if (codeLines && i < codeLines->size() && !(*codeLines)[i].isEmpty())
                add(new MarkdownCodeBlock(block.text, (*codeLines)[i], block.language, parent));
            else
                add(new MarkdownCodeBlock(block.text, block.language, parent));
        } else {
            run.push_back(block);
        }
    }
    flush();
}

namespace {

// A long text is cut into chunks of about this many characters, or fewer where they hold this
// many code blocks: laying one chunk out is what a scroll into it costs at once.
constexpr qsizetype kChunkLength = 3000;
constexpr int kChunkCodeBlocks = 6;
// And at most this many blocks (a thousand rules are no characters, but a thousand blocks).
constexpr size_t kChunkBlocks = 64;
// A paragraph, heading or quote longer than this is cut into pieces this long at most, a
// list into runs of this many items: one unbroken megabyte-long line is one block, and its
// layout would stall the window for seconds.
constexpr qsizetype kPieceLength = kLongMarkdownLine;
constexpr size_t kListItems = 64;
// Chunks laid out and kept as widgets at most; the farthest from what was painted last go.
constexpr size_t kLiveChunks = 24;

void addWeight(MarkdownBlockWeight &weight, QStringView text)
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

MarkdownBlockWeight weigh(const MarkdownBlock &block)
{
    MarkdownBlockWeight weight;
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
MarkdownBlockWeight sampledWeight(const QString &text)
{
    constexpr qsizetype kSample = 4096;
    MarkdownBlockWeight weight;
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

} // namespace

MarkdownEstimateMetrics::MarkdownEstimateMetrics(const MarkdownStyle &style)
{
    const QFontMetricsF body(Fonts::system(style.baseSize));
    narrow = body.horizontalAdvance(u'x');
    wide = body.horizontalAdvance(u'中');
    bodyHeight = body.height();
    codeLineHeight = QFontMetrics(Fonts::monospaced(12)).height();
    headingScale[0] = 1.0;
    for (int level = 1; level <= 6; ++level)
        headingScale[size_t(level)] = markdownHeadingFont(level, style.baseSize).pixelSize() / qreal(style.baseSize);
}

namespace {

// The height of blocks of these weights at `width`, estimated from their characters' advances.
int estimateHeight(const std::vector<MarkdownBlockWeight> &weights, const MarkdownEstimateMetrics &metrics, int width)
{
    const qreal available = std::max(40, width);
    qreal height = 0;
    for (size_t i = 0; i < weights.size(); ++i) {
        const MarkdownBlockWeight &w = weights[i];
        if (i + 1 < weights.size())
            height += kMarkdownBlockSpacing;
        if (w.code) {
            // Header, divider, padding and border around the lines, which scroll in a box of
            // their own when there are too many to show at once.
            const qreal lines = qreal(w.lines) * metrics.codeLineHeight;
            const bool scrolls = w.lines > LineBox::kMostRowsShown || lines > LongTextView::kTallest;
            height += 2 + 28 + 1 + 24 + (scrolls ? LongTextView::kScrollingHeight : lines);
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

// One piece of a block as a chunk holds it; a piece that the next one continues (a long
// paragraph cut in two) ends its chunk, so no document holds a cut inside its text and a
// selection copies the words as written.
struct BlockPiece
{
    MarkdownBlock block;
    bool continued = false;
};

// Where the piece of `text` from `from` ends: at most kPieceLength units on, after the last
// line break or blank in the piece's last quarter when there is one, else at a character
// boundary. The line break at a cut is not kept: the cut breaks the line there itself.
std::pair<qsizetype, qsizetype> textPiece(QStringView text, qsizetype from)
{
    const qsizetype end = Graphemes::pieceEnd(text, from, kPieceLength);
    if (end == text.size())
        return {end, end};
    const qsizetype floor = end - kPieceLength / 4;
    for (qsizetype i = end; i > floor && i > from + 1; --i) {
        if (text[i - 1] == u'\n')
            return {i - 1, i};
    }
    for (qsizetype i = end; i > floor && i > from + 1; --i) {
        if (text[i - 1] == u' ' || text[i - 1] == u'\t')
            return {i, i};
    }
    return {end, end};
}

// `text` in pieces, each made a block by `make`.
template <typename Make>
void addTextPieces(std::vector<BlockPiece> &out, const QString &text, Make &&make)
{
    if (text.size() <= kPieceLength) {
        out.push_back({make(text), false});
        return;
    }
    for (qsizetype from = 0; from < text.size();) {
        const auto [end, next] = textPiece(text, from);
        out.push_back({make(text.mid(from, end - from)), next < text.size()});
        from = next;
    }
}

// A block cut where laying it out at once would take long: text longer than kPieceLength in
// pieces, a list in runs of items (an item that long goes on as plain paragraphs).
void addPieces(std::vector<BlockPiece> &out, MarkdownBlock &&block)
{
    switch (block.kind) {
    case MarkdownBlock::Kind::Paragraph:
        addTextPieces(out, block.text, [](QString text) { return MarkdownBlock::paragraph(std::move(text)); });
        return;
    case MarkdownBlock::Kind::Heading:
        addTextPieces(out, block.text, [level = block.level](QString text) { return MarkdownBlock::heading(level, std::move(text)); });
        return;
    case MarkdownBlock::Kind::Quote:
        addTextPieces(out, block.text, [](QString text) { return MarkdownBlock::quote(std::move(text)); });
        return;
    case MarkdownBlock::Kind::List: {
        if (blockLength(block) <= kPieceLength && block.items.size() <= kListItems) {
            out.push_back({std::move(block), false});
            return;
        }
        MarkdownBlock run = MarkdownBlock::list({}, block.ordered);
        run.firstNumber = block.firstNumber;
        qsizetype length = 0;
        const auto flush = [&](bool continued) {
            if (run.items.empty())
                return;
            const qsizetype next = run.firstNumber + qsizetype(run.items.size());
            out.push_back({std::move(run), continued});
            run = MarkdownBlock::list({}, block.ordered);
            run.firstNumber = next;
            length = 0;
        };
        for (size_t i = 0; i < block.items.size(); ++i) {
            MarkdownBlock::ListItem &item = block.items[i];
            if (!run.items.empty() && (length + item.text.size() > kPieceLength || run.items.size() >= kListItems))
                flush(false);
            if (item.text.size() <= kPieceLength) {
                length += item.text.size();
                run.items.push_back(std::move(item));
                continue;
            }
            const QString text = std::move(item.text);
            const auto [end, next] = textPiece(text, 0);
            run.items.push_back({text.left(end), {}});
            flush(true);
            std::vector<BlockPiece> rest;
            addTextPieces(rest, text.mid(next), [](QString piece) { return MarkdownBlock::paragraph(std::move(piece)); });
            // The item's last piece continues into the list's next item only in numbering.
            rest.back().continued = false;
            for (BlockPiece &piece : rest)
                out.push_back(std::move(piece));
        }
        flush(false);
        return;
    }
    case MarkdownBlock::Kind::Code:
    case MarkdownBlock::Kind::Rule:
        out.push_back({std::move(block), false});
        return;
    }
}

} // namespace

std::shared_ptr<const MarkdownChunkPlan>
planMarkdownChunks(const QString &text, const std::vector<std::shared_ptr<const MarkdownChunkData>> &current)
{
    std::vector<std::vector<MarkdownBlock>> groups;
    std::vector<MarkdownBlock> group;
    qsizetype length = 0;
    int codeBlocks = 0;
    std::vector<BlockPiece> pieces;
    for (MarkdownBlock &parsed : MarkdownParser::parse(text)) {
        pieces.clear();
        addPieces(pieces, std::move(parsed));
        for (BlockPiece &piece : pieces) {
            length += blockLength(piece.block);
            codeBlocks += piece.block.kind == MarkdownBlock::Kind::Code ? 1 : 0;
            group.push_back(std::move(piece.block));
            if (length >= kChunkLength || codeBlocks >= kChunkCodeBlocks || group.size() >= kChunkBlocks
                || piece.continued) {
                groups.push_back(std::move(group));
                group.clear();
                length = 0;
                codeBlocks = 0;
            }
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
        data->codeLines.resize(data->blocks.size());
        for (size_t b = 0; b < data->blocks.size(); ++b) {
            const MarkdownBlock &block = data->blocks[b];
            data->weights.push_back(weigh(block));
            // Only a long block is cut here, so that a short one holds its text once.
            if (block.kind == MarkdownBlock::Kind::Code && block.text.size() > LineBox::kFilledAway)
                data->codeLines[b] = splitLines(block.text);
        }
        plan->chunks.push_back(std::move(data));
    }
    return plan;
}

LongMarkdownView::LongMarkdownView(const MarkdownStyle &style, QWidget *parent)
    : QWidget(parent), m_style(style), m_metrics(style)
{
    setObjectName(u"markdown-long"_s);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void LongMarkdownView::setChunks(const MarkdownChunkPlan &plan)
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

std::vector<std::shared_ptr<const MarkdownChunkData>> LongMarkdownView::chunks() const
{
    std::vector<std::shared_ptr<const MarkdownChunkData>> out;
    out.reserve(m_slots.size());
    for (const Slot &slot : m_slots)
        out.push_back(slot.data);
    return out;
}

int LongMarkdownView::liveCount() const
{
    return int(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot &slot) { return slot.live != nullptr; }));
}

int LongMarkdownView::heightForWidth(int width) const
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

QSize LongMarkdownView::sizeHint() const
{
    const int width = this->width() > 0 ? this->width() : 600;
    return {width, heightForWidth(width)};
}

void LongMarkdownView::paintEvent(QPaintEvent *event)
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

void LongMarkdownView::resizeEvent(QResizeEvent *)
{
    if (width() != m_width)
        measure(width(), 0);
    place();
}

int LongMarkdownView::clampedHeight(qint64 height) { return int(std::min<qint64>(height, QWIDGETSIZE_MAX)); }

void LongMarkdownView::measure(int width, size_t from)
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

size_t LongMarkdownView::chunkAt(int y) const
{
    const auto it = std::upper_bound(m_tops.begin(), m_tops.end(), qint64(y));
    const size_t index = it == m_tops.begin() ? 0 : size_t(it - m_tops.begin()) - 1;
    return std::min(index, m_slots.size() - 1);
}

void LongMarkdownView::place()
{
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (QWidget *live = m_slots[i].live)
            live->setGeometry(0, int(m_tops[i]), width(), m_slots[i].height);
    }
}

void LongMarkdownView::postRealize()
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

void LongMarkdownView::realizeNext()
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

void LongMarkdownView::realize(size_t index)
{
    Slot &slot = m_slots[index];
    auto *content = new QWidget(this);
    content->setObjectName(u"markdown-chunk"_s);
    content->setProperty("chunkIndex", qulonglong(index));
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kMarkdownBlockSpacing);
    addMarkdownBlockWidgets(content, layout, slot.data->blocks, m_style, &slot.data->codeLines);
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

void LongMarkdownView::release()
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

PendingMarkdown::PendingMarkdown(const QString &text, const MarkdownStyle &style, QWidget *parent)
    : QWidget(parent), m_weights{sampledWeight(text)}, m_metrics(style)
{
    setObjectName(u"markdown-pending"_s);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int PendingMarkdown::heightForWidth(int width) const { return estimateHeight(m_weights, m_metrics, width); }

QSize PendingMarkdown::sizeHint() const
{
    const int width = this->width() > 0 ? this->width() : 600;
    return {width, heightForWidth(width)};
}

} // namespace nbd
