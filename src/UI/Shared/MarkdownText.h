#pragma once

#include "UI/Shared/MarkdownDocumentView.h"

#include <QString>
#include <QWidget>

#include <memory>

namespace nbd {

template<typename Result>
class LatestJob;
struct MarkdownChunkPlan;
class LongMarkdownView;
class LongTextView;

// Markdown text as the transcript shows it. While `showCursor` is set the text is shown as
// written with the blinking cursor under it; otherwise it is parsed into blocks and drawn.
// A long text is parsed on the thread pool and drawn in chunks of blocks, each laid out only while
// it is near what is visible (until then its height is estimated from its characters); a long
// text streaming in is shown by a view that lays out only its visible lines.
class MarkdownText : public QWidget
{
    Q_OBJECT
public:
    MarkdownText(const QString &text, bool showCursor, QWidget *parent = nullptr);
    ~MarkdownText() override;

    // Does nothing when both are unchanged.
    void setContent(const QString &text, bool showCursor);
    QString text() const { return m_text; }
    bool showCursor() const { return m_showCursor; }
    void setStyle(const MarkdownStyle &style);
    // Chunks of a long text, and how many of them are laid out now, as widgets named
    // "markdown-chunk" with their index as property "chunkIndex" (0 and 0 for short text).
    int chunkCount() const;
    int laidOutChunkCount() const;
    // The parse of a long text is under way; what it finds is shown when it ends, unless the
    // text changed since.
    bool isParsing() const;

private:
    using Plan = std::shared_ptr<const MarkdownChunkPlan>;

    void rebuild();
    void parseLong();
    void showChunks(const MarkdownChunkPlan &plan);
    void clearFrom(int index);

    MarkdownStyle m_style;
    QString m_text;
    bool m_showCursor = false;
    bool m_built = false;
    bool m_chunked = false;
    AutoHeightTextView *m_raw = nullptr; // streaming form
    LongTextView *m_longRaw = nullptr;   // streaming form of a long text
    LongMarkdownView *m_long = nullptr;  // finished form of a long text
    std::unique_ptr<LatestJob<Plan>> m_parse;
};

} // namespace nbd
