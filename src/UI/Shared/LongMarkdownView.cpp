#include "UI/Shared/LongMarkdownView.h"

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

bool isLongMarkdown(const QString &text) { return LongTextView::isLong(text); }

void addMarkdownBlockWidgets(QWidget *parent, QBoxLayout *layout, const std::vector<MarkdownBlock> &blocks,
                             const MarkdownStyle &style)
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

namespace {

// A long text is cut into chunks of about this many characters, or fewer where they hold this
// many code blocks: laying one chunk out is what a scroll into it costs at once.
constexpr qsizetype kChunkLength = 3000;
constexpr int kChunkCodeBlocks = 6;
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

std::shared_ptr<const MarkdownChunkPlan>
planMarkdownChunks(const QString &text, const std::vector<std::shared_ptr<const MarkdownChunkData>> &current)
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
    addMarkdownBlockWidgets(content, layout, slot.data->blocks, m_style);
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
