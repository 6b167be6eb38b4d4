#pragma once

#include "Domain/MarkdownParser.h"
#include "UI/Shared/MarkdownDocumentView.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <memory>
#include <utility>
#include <vector>

class QBoxLayout;

namespace nbd {

// A text this long, with a line this long or with this many lines, is parsed on the thread pool
// and shown in chunks, its long paragraphs and lists in pieces.
inline constexpr qsizetype kLongMarkdownLine = 2000;
inline constexpr qsizetype kLongMarkdownLines = 1000;
bool isLongMarkdown(const QString &text);

// Lays `blocks` out as a text short enough to be built at once: runs of non-code blocks in
// document views, each code block a widget of its own (its lines, by block, from `codeLines`
// when given).
void addMarkdownBlockWidgets(QWidget *parent, QBoxLayout *layout, const std::vector<MarkdownBlock> &blocks,
                             const MarkdownStyle &style, const std::vector<QStringList> *codeLines = nullptr);

// Characters of a block as they weigh on its height: narrow (ASCII) and wide ones, and the lines
// it is at least (one per item or hard line break).
struct MarkdownBlockWeight
{
    qsizetype narrow = 0;
    qsizetype wide = 0;
    qsizetype lines = 0;
    int level = 0; // heading level; 0: body text
    bool code = false;
};

// What height estimates read of the fonts of a style, measured once for all chunks of a text.
struct MarkdownEstimateMetrics
{
    qreal narrow = 0;
    qreal wide = 0;
    qreal bodyHeight = 0;
    int codeLineHeight = 0;
    std::array<qreal, 7> headingScale{}; // by level; 0: body text

    explicit MarkdownEstimateMetrics(const MarkdownStyle &style);
};

// The blocks of one chunk of a long text and their weights; made on the thread pool, then
// only read.
struct MarkdownChunkData
{
    std::vector<MarkdownBlock> blocks;
    std::vector<MarkdownBlockWeight> weights;
    std::vector<QStringList> codeLines; // by block: the lines of a long code block, else none
};

// A long text cut into chunks; the first `kept` are those the text showed before.
struct MarkdownChunkPlan
{
    std::vector<std::shared_ptr<const MarkdownChunkData>> chunks;
    size_t kept = 0;
};

// Pure, for the thread pool. Cuts the blocks into chunks the same way whatever follows them,
// so a text that grew at its end keeps every chunk of `current` but the last ones.
std::shared_ptr<const MarkdownChunkPlan>
planMarkdownChunks(const QString &text, const std::vector<std::shared_ptr<const MarkdownChunkData>> &current);

// The chunks of a long text, one below the other. Only chunks near what was painted have
// widgets, built as a short text's blocks are, one chunk per event-loop turn; every other chunk
// is as tall as measured when it last had a widget at this width, or as estimated from its
// characters.
class LongMarkdownView : public QWidget
{
public:
    LongMarkdownView(const MarkdownStyle &style, QWidget *parent);

    // Chunks kept by the plan keep their widgets and heights.
    void setChunks(const MarkdownChunkPlan &plan);
    std::vector<std::shared_ptr<const MarkdownChunkData>> chunks() const;
    int chunkCount() const { return int(m_slots.size()); }
    int liveCount() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *) override;

private:
    struct Slot
    {
        std::shared_ptr<const MarkdownChunkData> data;
        int height = 0;
        QWidget *live = nullptr;
    };

    static int clampedHeight(qint64 height);
    // Heights at `width` from slot `from` on: measured for chunks with widgets, estimated for
    // the others.
    void measure(int width, size_t from);
    std::pair<size_t, size_t> rangeIn(const QRect &area) const { return {chunkAt(area.top()), chunkAt(area.bottom())}; }
    size_t chunkAt(int y) const;
    void place();
    void postRealize();
    // Builds the widget of one chunk in view, then asks for the next.
    void realizeNext();
    void realize(size_t index);
    // Keeps the widgets of at most kLiveChunks chunks, those nearest the range painted last;
    // the heights they measured stay.
    void release();

    MarkdownStyle m_style;
    MarkdownEstimateMetrics m_metrics;
    std::vector<Slot> m_slots;
    std::vector<qint64> m_tops; // by chunk, and the total height last
    int m_width = -1;
    mutable int m_otherWidth = -1;
    mutable int m_otherHeight = 0;
    std::pair<size_t, size_t> m_focus{0, 0};
    quint64 m_generation = 0;
    bool m_posted = false;
};

// Room for a long text while its first parse runs: as tall as its characters make it, estimated.
class PendingMarkdown : public QWidget
{
public:
    PendingMarkdown(const QString &text, const MarkdownStyle &style, QWidget *parent);
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {0, 0}; }

private:
    std::vector<MarkdownBlockWeight> m_weights;
    MarkdownEstimateMetrics m_metrics;
};

} // namespace nbd
