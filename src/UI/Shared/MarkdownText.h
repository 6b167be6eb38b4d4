#pragma once

#include "UI/Shared/CardWidgets.h"
#include "Domain/MarkdownParser.h"

#include <QAbstractButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTextDocument;

namespace nbd {

template<typename Result>
class LatestJob;
struct MarkdownChunkPlan;
class BlinkingCursor;
class LineBox;
class LongMarkdownView;
class LongTextView;

// The body size and colour of rendered Markdown; headings keep their steps above the body.
// The transcript uses the defaults; the question card's detail is smaller and secondary.
struct MarkdownStyle
{
    int baseSize = 15;
    std::function<QColor()> bodyColor; // nothing: the primary text colour
};

// Writes blocks other than code into an empty document: the application's paragraph, heading, list,
// quote and rule styles, with inline Markdown as character formats. Used by MarkdownText and
// by the benchmark.
void writeMarkdownBlocks(QTextDocument *document, const std::vector<MarkdownBlock> &blocks,
                         const MarkdownStyle &style = {});

// The text view of a run of non-code blocks; draws the quote bars and rules of its document.
// Each link of the text is also an accessible link, named by its words, that opens as a click
// on the words does.
class MarkdownDocumentView : public AutoHeightTextView
{
    Q_OBJECT
public:
    explicit MarkdownDocumentView(QWidget *parent = nullptr);
    void setBlocks(const std::vector<MarkdownBlock> &blocks, const MarkdownStyle &style = {});
    // The accessible links, in reading order.
    QList<QAbstractButton *> linkMarks() const { return m_linkMarks; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void scheduleLinkMarks();
    void placeLinkMarks();

    QList<QAbstractButton *> m_linkMarks;
    bool m_linkMarksScheduled = false;
};

// A fenced code block: header with the language and a copy button, then the code in a box
// that scrolls sideways.
class MarkdownCodeBlock : public QWidget
{
    Q_OBJECT
public:
    MarkdownCodeBlock(const QString &code, const std::optional<QString> &language, QWidget *parent = nullptr);

    QString code() const { return m_code; }
    bool copied() const { return m_copied; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void copy();
    void setCopied(bool copied);

    QString m_code;
    bool m_copied = false;
    QAbstractButton *m_copyButton = nullptr;
};

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
