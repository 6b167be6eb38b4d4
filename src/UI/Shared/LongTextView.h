#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

class QScrollBar;
class QTextLayout;

namespace nbd {

// Read-only, selectable plain text of any length, as tall as all of it at the width it gets.
// Only the lines near what is visible are laid out (a few hundred layouts are kept); every other
// line has a height estimated from the advances of its characters, replaced by the measured one
// once the line is laid out. Positions are kept in a sum tree, so finding the line at a point
// and changing one line's height cost a logarithm of the line count, however long the text.
class LongTextView : public QWidget
{
    Q_OBJECT
public:
    // Texts longer than this (in UTF-16 units) are shown by this view rather than by a label
    // or a text document, whose layout of all of the text at once would stall the window.
    static constexpr qsizetype kLongText = 20000;
    static bool isLong(const QString &text) { return text.size() > kLongText; }
    // No widget can be taller than a few million pixels: a text taller than kTallest keeps
    // kScrollingHeight and scrolls itself, with a scroll bar of its own.
    static constexpr int kTallest = QWIDGETSIZE_MAX / 2;
    static constexpr int kScrollingHeight = 600;

    explicit LongTextView(QWidget *parent = nullptr);
    // `text` in `font` and `color` (nothing: the theme's primary text colour).
    LongTextView(const QString &text, const QFont &font, std::optional<QColor> color, QWidget *parent = nullptr);
    ~LongTextView() override;

    void setText(const QString &text);
    const QString &text() const { return m_text; }
    // Nothing: the theme's primary text colour, read when drawn.
    void setTextColor(std::optional<QColor> color);
    // Without wrapping every source line is one line, as wide as it is (see naturalWidth()).
    void setWrapping(bool wrap);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The widest line as far as known (estimated for lines never laid out); for unwrapped text.
    int naturalWidth() const;

    qsizetype lineCount() const
    {
        scanText();
        return qsizetype(m_starts.size());
    }
    // The text is taller than kTallest: the view scrolls it itself.
    bool scrollsItself() const
    {
        prepareWidth(width() > 1 ? width() : 400);
        return m_scrolls;
    }
    // Lines whose layout is kept right now.
    qsizetype laidOutLineCount() const { return qsizetype(m_layouts.size()); }
    QString selectedText() const;
    void selectAll();
    // Where the content moved since asked last: each entry is the bottom (in this view's
    // coordinates, before the change) of a line whose measured height replaced its estimate,
    // and by how much it grew. A scroll area keeps what is under its top edge in place with it.
    std::vector<std::pair<int, int>> takeHeightChanges();
    bool hasHeightChanges() const { return !m_changes.empty(); }

Q_SIGNALS:
    // A line's measured height replaced its estimate: the view's height changed.
    void heightsRefined();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    // Sums of line heights: the top of a line and the line at a height in O(log n).
    class HeightTree
    {
    public:
        void assign(const std::vector<int> &heights);
        void add(qsizetype index, qint64 delta);
        qint64 before(qsizetype index) const; // the sum of the heights of lines [0, index)
        qsizetype lineAt(qint64 y) const;     // the line whose extent holds y (clamped)
        qint64 total() const { return m_total; }

    private:
        std::vector<qint64> m_tree;
        qint64 m_total = 0;
    };

    struct Layout
    {
        std::unique_ptr<QTextLayout> layout;
        quint64 used = 0;
    };

    void scanText() const;
    void prepareWidth(int width) const;
    int estimateLine(qsizetype line) const;
    QTextLayout *layoutOf(qsizetype line) const;
    void trimLayouts() const;
    qsizetype positionAt(const QPoint &point) const;
    void copyTo(int mode) const;
    void resetMeasures();
    int wrapWidth() const;
    int scrollBarWidth() const;
    void syncScrollBar();
    void scrollTo(qint64 top);

    QString m_text;
    std::optional<QColor> m_color;
    bool m_wrap = true;

    // Per source line: where it starts, the sum of its characters' advances, whether it holds
    // characters drawn in a fallback font (taller lines), and its height at the measured width.
    mutable std::vector<qsizetype> m_starts;
    mutable std::vector<float> m_advances;
    mutable std::vector<bool> m_tall;
    mutable bool m_scanned = false;
    mutable std::vector<int> m_heights;
    mutable std::vector<bool> m_exact;
    mutable HeightTree m_tree;
    mutable int m_width = -1;
    mutable int m_lineHeight = 0;
    mutable int m_tallLineHeight = 0;
    mutable int m_widest = 0;
    mutable std::unordered_map<qsizetype, Layout> m_layouts;
    mutable quint64 m_clock = 0;
    mutable std::vector<std::pair<int, int>> m_changes;
    mutable bool m_refinePosted = false;
    // Scrolling itself: the text's pixel shown at the view's top edge, and the bar that moves
    // it (in steps of m_barScale pixels when the text is taller than the bar's range).
    mutable bool m_scrolls = false;
    mutable qint64 m_top = 0;
    QScrollBar *m_bar = nullptr;
    qint64 m_barScale = 1;
    bool m_syncingBar = false;

    qsizetype m_selAnchor = -1;
    qsizetype m_selCursor = -1;
    bool m_selecting = false;
};

} // namespace nbd
