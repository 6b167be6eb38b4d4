#pragma once

#include <QColor>
#include <QPlainTextEdit>
#include <QStringList>

class QMimeData;
class QTextDocument;

#include <functional>
#include <optional>
#include <vector>

namespace nbd {

// A box of text lines in a monospaced font: terminal output, the two halves of a diff, the
// lines of a file excerpt or of a search hit. However many lines there are, it is one widget
// whose text view lays out and paints only what is visible. Lines can be selected and copied;
// optional per-line colours and backgrounds and a column of numbers in front of the lines.
// A line longer than kPieceLength is shown in rows of that many characters (laying out a
// megabyte-long line at once would take seconds); it is copied as the one line it is.
class LineBox : public QPlainTextEdit
{
    Q_OBJECT
public:
    struct LineColors
    {
        QColor text;
        QColor background; // invalid: none
    };

    // Past this many characters the lines' document is filled on a worker thread (filling one
    // of megabytes takes longer than a frame); the box keeps its height meanwhile and shows the
    // lines once the document is in place.
    static constexpr qsizetype kFilledAway = 20000;
    // The longest row: a box shows about a hundred characters across, and a row is laid out
    // whole when any of it shows.
    static constexpr qsizetype kPieceLength = 1000;

    explicit LineBox(int fontPixelSize, QWidget *parent = nullptr);
    ~LineBox() override;

    void setLines(const QStringList &lines);
    QStringList lines() const { return m_lines; }
    // Colours of a line by its index; nothing: the box's text colour.
    void setLineColors(std::function<std::optional<LineColors>(int line)> colors);
    // Numbers shown in front of the lines, right-aligned in a column `width` wide followed by
    // `spacing`, in the tertiary text colour.
    void setNumbers(std::vector<qint64> numbers, int width, int spacing);
    // More rows than this (or rows taller than LongTextView::kTallest) are not shown at once:
    // the editor lays out every row it shows whenever it is resized.
    static constexpr qsizetype kMostRowsShown = 5000;
    // Height follows the lines within these bounds (no maximum: every line shown, unless there
    // are more than kMostRowsShown rows: then the box is LongTextView::kScrollingHeight tall
    // and scrolls them itself).
    void setHeightBounds(int minimum, std::optional<int> maximum);
    // Space around the lines (inside the box's background, outside the number column).
    void setPadding(QMargins padding);
    // Each line in a row at least this tall, its text centred in it (0: the font's line height).
    void setMinimumRowHeight(int height);
    // Text colour and background of the whole box (nothing: the theme's primary text, none).
    void setBoxColors(std::optional<QColor> text, std::optional<QColor> background, int radius = 0);

    int contentHeight() const;
    // The box is shorter than its lines and scrolls them.
    bool scrollsItself() const;
    // The lines are in the document shown (false while a long document is filled away).
    bool isFilled() const { return !m_filling; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    const std::vector<qint64> &numbers() const { return m_numbers; }
    // The line a row of the document shows (a long line takes several rows).
    int lineOfBlock(int block) const;
    // The selected text as the lines hold it: rows of one long line join without a break.
    QString selectedLinesText() const;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    QMimeData *createMimeDataFromSelection() const override;

private:
    class Gutter;
    class RowLayout;
    friend class Gutter;

    void applyColors();
    void colorVisibleBlocks(const QRect &exposed);
    void recolor();
    void placeRows();
    void applyMargins();
    void applyHeightRule();
    bool isTooLong() const;
    void paintGutter(QPaintEvent *event);
    void paintRowBackgrounds(QPaintEvent *event);
    int lineHeight(const QString &sample = QStringLiteral("X")) const;
    int rowHeight(const QString &sample = QStringLiteral("X")) const;
    void measureLines();
    void showFilled(QTextDocument *document);
    void releaseDocument();

    QStringList m_lines;
    // The first row of each line, when some line takes several rows (empty: one row a line).
    std::vector<int> m_lineBlocks;
    qsizetype m_rowCount = 0;
    qint64 m_extraHeight = 0; // what lines drawn partly in a fallback font add
    std::function<std::optional<LineColors>(int)> m_lineColors;
    std::vector<qint64> m_numbers;
    int m_numberWidth = 0;
    int m_numberSpacing = 0;
    int m_minimumHeight = 0;
    std::optional<int> m_maximumHeight;
    std::optional<QColor> m_textColor;
    std::optional<QColor> m_background;
    int m_radius = 0;
    QMargins m_padding;
    Gutter *m_gutter = nullptr;
    // Rows whose block state holds this were coloured with the current colours.
    int m_colorGeneration = 0;
    RowLayout *m_rows = nullptr;
    bool m_filling = false;
    quint64 m_fill = 0; // which fill the shown lines wait for
    bool m_ownsLongDocument = false;
};

} // namespace nbd
