#pragma once

#include "Domain/MarkdownParser.h"
#include "UI/Shared/CardWidgets.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>

#include <functional>
#include <vector>

class QTextDocument;

namespace nbd {

// The space between two blocks of rendered Markdown.
inline constexpr int kMarkdownBlockSpacing = 7;

// The body size and colour of rendered Markdown; headings keep their steps above the body.
// The transcript uses the defaults; the question card's detail is smaller and secondary.
struct MarkdownStyle
{
    int baseSize = 15;
    std::function<QColor()> bodyColor; // nothing: the primary text colour
};

// The font of a heading of `level` over a body of `baseSize`.
QFont markdownHeadingFont(int level, int baseSize);

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

} // namespace nbd
