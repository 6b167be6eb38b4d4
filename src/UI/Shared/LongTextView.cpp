#include "UI/Shared/LongTextView.h"

#include "Domain/Graphemes.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTextLayout>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr size_t kKeptLayouts = 400;
// A source line longer than this is laid out in pieces of at most this many units, cut between
// characters: one layout of a megabyte-long line (minified data, a log without line breaks)
// would take seconds.
constexpr qsizetype kPieceLength = 4000;
constexpr qreal kUnwrappedWidth = 1e6;

int layoutHeight(const QTextLayout &layout)
{
    qreal h = 0;
    for (int i = 0; i < layout.lineCount(); ++i)
        h = std::max(h, layout.lineAt(i).y() + layout.lineAt(i).height());
    return int(std::ceil(h));
}

} // namespace

// ---- HeightTree ----

void LongTextView::HeightTree::assign(const std::vector<int> &heights)
{
    const size_t n = heights.size();
    m_tree.assign(n + 1, 0);
    m_total = 0;
    for (size_t i = 1; i <= n; ++i) {
        m_tree[i] += heights[i - 1];
        m_total += heights[i - 1];
        const size_t j = i + (i & (~i + 1));
        if (j <= n)
            m_tree[j] += m_tree[i];
    }
}

void LongTextView::HeightTree::add(qsizetype index, qint64 delta)
{
    m_total += delta;
    for (size_t i = size_t(index) + 1; i < m_tree.size(); i += i & (~i + 1))
        m_tree[i] += delta;
}

qint64 LongTextView::HeightTree::before(qsizetype index) const
{
    qint64 sum = 0;
    for (size_t i = std::min(size_t(index), m_tree.size() - 1); i > 0; i -= i & (~i + 1))
        sum += m_tree[i];
    return sum;
}

qsizetype LongTextView::HeightTree::lineAt(qint64 y) const
{
    const size_t n = m_tree.size() - 1;
    if (n == 0 || y <= 0)
        return 0;
    size_t pos = 0;
    size_t step = 1;
    while (step * 2 <= n)
        step *= 2;
    for (; step > 0; step /= 2) {
        if (pos + step <= n && m_tree[pos + step] <= y) {
            pos += step;
            y -= m_tree[pos];
        }
    }
    return qsizetype(std::min(pos, n - 1));
}

// ---- LongTextView ----

LongTextView::LongTextView(QWidget *parent) : QWidget(parent)
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setCursor(Qt::IBeamCursor);
    // Selectable text is not a control to tab through.
    setFocusPolicy(Qt::ClickFocus);
    setContextMenuPolicy(Qt::DefaultContextMenu);
}

LongTextView::LongTextView(const QString &text, const QFont &font, std::optional<QColor> color, QWidget *parent)
    : LongTextView(parent)
{
    setFont(font);
    m_color = color;
    setText(text);
}

LongTextView::~LongTextView() = default;

void LongTextView::setText(const QString &text)
{
    if (text == m_text && m_scanned)
        return;
    m_text = text;
    m_selAnchor = m_selCursor = -1;
    setAccessibleName(text.left(200));
    resetMeasures();
}

void LongTextView::setTextColor(std::optional<QColor> color)
{
    m_color = color;
    update();
}

void LongTextView::setWrapping(bool wrap)
{
    if (wrap == m_wrap)
        return;
    m_wrap = wrap;
    resetMeasures();
}

void LongTextView::resetMeasures()
{
    m_scanned = false;
    m_width = -1;
    m_scrolls = false;
    m_top = 0;
    m_layouts.clear();
    m_changes.clear();
    updateGeometry();
    update();
}

int LongTextView::wrapWidth() const { return std::max(1, width()); }

int LongTextView::scrollBarWidth() const { return style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this); }

// One pass over the text: line starts and, per line, the sum of its characters' advances
// (from a table of the advances seen, so each distinct character is measured once).
void LongTextView::scanText() const
{
    if (m_scanned)
        return;
    m_scanned = true;
    m_starts.clear();
    m_advances.clear();
    m_tall.clear();
    const QFontMetricsF fm(font());
    std::array<float, 128> ascii{};
    for (int c = 0; c < 128; ++c)
        ascii[size_t(c)] = float(fm.horizontalAdvance(QChar(c)));
    ascii[size_t(u'\t')] = ascii[size_t(u' ')] * 8;
    // Every text here is long: a flat table beats a hash lookup per character.
    std::vector<float> other(size_t(1) << 16, -1.0f);
    const float wide = float(fm.horizontalAdvance(u'中'));
    const QChar *data = m_text.constData();
    const qsizetype size = m_text.size();
    const auto add = [&](char16_t c, float &advance, bool &tall) {
        if (c < 128) {
            advance += ascii[c];
            return;
        }
        tall = true;
        if (QChar::isSurrogate(c)) {
            advance += wide / 2;
            return;
        }
        float &known = other[c];
        if (known < 0)
            known = float(fm.horizontalAdvance(QChar(c)));
        advance += known;
    };
    const auto piece = [this](qsizetype start, float advance, bool tall) {
        m_starts.push_back(start);
        m_advances.push_back(advance);
        m_tall.push_back(tall);
    };
    qsizetype start = 0;
    float advance = 0;
    bool tall = false;
    qsizetype cut = -1; // where the piece of a long line being read ends, once known
    for (qsizetype i = 0; i <= size; ++i) {
        const bool lineEnds = i == size || data[i] == u'\n';
        if (!lineEnds && cut < 0 && i - start >= kPieceLength) {
            // A long line goes on in a new piece at the last character boundary in reach.
            cut = Graphemes::pieceEnd(m_text, start, kPieceLength);
            if (cut < i) {
                // The piece ends before what was read: the shorter side is measured again.
                float head = 0;
                bool headTall = false;
                float rest = 0;
                bool restTall = false;
                if (cut - start < i - cut) {
                    for (qsizetype j = start; j < cut; ++j)
                        add(data[j].unicode(), head, headTall);
                    rest = advance - head;
                    restTall = tall;
                } else {
                    for (qsizetype j = cut; j < i; ++j)
                        add(data[j].unicode(), rest, restTall);
                    head = advance - rest;
                    headTall = tall;
                }
                piece(start, head, headTall);
                start = cut;
                advance = rest;
                tall = restTall;
                cut = -1;
            }
        }
        if (lineEnds || i == cut) {
            piece(start, advance, tall);
            start = lineEnds ? i + 1 : i;
            advance = 0;
            tall = false;
            cut = -1;
            if (lineEnds)
                continue;
        }
        add(data[i].unicode(), advance, tall);
    }
    // The heights the layout gives a line of the font's own characters, and one that holds a
    // character drawn from a fallback font.
    auto sampleHeight = [this](const QString &sample) {
        QTextLayout layout(sample, font());
        layout.beginLayout();
        QTextLine line = layout.createLine();
        layout.endLayout();
        return line.isValid() ? int(std::ceil(line.height())) : QFontMetrics(font()).height();
    };
    m_lineHeight = sampleHeight(u"X"_s);
    m_tallLineHeight = std::max(m_lineHeight, sampleHeight(u"X中"_s));
    m_widest = 0;
    for (float a : m_advances)
        m_widest = std::max(m_widest, int(std::ceil(a)));
}

int LongTextView::estimateLine(qsizetype line) const
{
    const int height = m_tall[size_t(line)] ? m_tallLineHeight : m_lineHeight;
    if (!m_wrap)
        return height;
    const qint64 rows = std::max<qint64>(1, qint64(std::ceil(double(m_advances[size_t(line)]) / std::max(1, m_width))));
    return int(std::min<qint64>(rows * height, std::numeric_limits<int>::max() / 4));
}

// `width` is the view's; a view that scrolls itself wraps its text beside its scroll bar.
void LongTextView::prepareWidth(int width) const
{
    scanText();
    const int outer = width;
    width = m_wrap ? std::max(1, width - (m_scrolls ? scrollBarWidth() : 0)) : 0;
    if (width == m_width)
        return;
    m_width = width;
    m_layouts.clear();
    m_changes.clear();
    const qsizetype n = lineCount();
    m_heights.resize(size_t(n));
    m_exact.assign(size_t(n), false);
    for (qsizetype i = 0; i < n; ++i)
        m_heights[size_t(i)] = estimateLine(i);
    m_tree.assign(m_heights);
    if (!m_scrolls && m_tree.total() > kTallest) {
        m_scrolls = true;
        prepareWidth(outer);
    }
}

QTextLayout *LongTextView::layoutOf(qsizetype line) const
{
    auto it = m_layouts.find(line);
    if (it != m_layouts.end()) {
        it->second.used = ++m_clock;
        return it->second.layout.get();
    }
    const qsizetype start = m_starts[size_t(line)];
    qsizetype end = line + 1 < lineCount() ? m_starts[size_t(line) + 1] : m_text.size();
    if (end > start && line + 1 < lineCount() && m_text[end - 1] == u'\n')
        --end; // the line break itself is not drawn; a piece of a long line ends without one
    auto layout = std::make_unique<QTextLayout>(m_text.mid(start, end - start), font());
    QTextOption option;
    option.setWrapMode(m_wrap ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    option.setTabStopDistance(QFontMetricsF(font()).horizontalAdvance(u' ') * 8);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    layout->beginLayout();
    qreal y = 0;
    for (;;) {
        QTextLine row = layout->createLine();
        if (!row.isValid())
            break;
        row.setLineWidth(m_wrap ? qreal(m_width) : kUnwrappedWidth);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout->endLayout();

    const int height = std::max(1, layoutHeight(*layout));
    int &known = m_heights[size_t(line)];
    if (!m_exact[size_t(line)]) {
        m_exact[size_t(line)] = true;
        if (height != known) {
            const qint64 bottom = m_tree.before(line + 1);
            if (!m_scrolls)
                m_changes.emplace_back(int(bottom), height - known);
            else if (bottom <= m_top)
                m_top += height - known; // what shows at the top edge stays there
            m_tree.add(line, height - known);
            known = height;
            if (!m_refinePosted) {
                m_refinePosted = true;
                auto *self = const_cast<LongTextView *>(this);
                QMetaObject::invokeMethod(self, [self] {
                    self->m_refinePosted = false;
                    if (!self->m_scrolls && self->m_tree.total() > kTallest) {
                        // Measured past what a widget can be: from now on it scrolls itself.
                        self->m_scrolls = true;
                        self->m_width = -1;
                        self->m_changes.clear();
                    }
                    self->syncScrollBar();
                    self->updateGeometry();
                    Q_EMIT self->heightsRefined();
                }, Qt::QueuedConnection);
            }
        }
    }
    if (!m_wrap && layout->lineCount() > 0)
        m_widest = std::max(m_widest, int(std::ceil(layout->lineAt(0).naturalTextWidth())));
    QTextLayout *result = layout.get();
    m_layouts.emplace(line, Layout{std::move(layout), ++m_clock});
    trimLayouts();
    return result;
}

void LongTextView::trimLayouts() const
{
    if (m_layouts.size() <= kKeptLayouts)
        return;
    std::vector<quint64> uses;
    uses.reserve(m_layouts.size());
    for (const auto &[line, layout] : m_layouts)
        uses.push_back(layout.used);
    // Keep the most recently used half.
    const auto middle = uses.begin() + qsizetype(uses.size() / 2);
    std::nth_element(uses.begin(), middle, uses.end());
    const quint64 cut = *middle;
    for (auto it = m_layouts.begin(); it != m_layouts.end();)
        it = it->second.used < cut ? m_layouts.erase(it) : std::next(it);
}

int LongTextView::heightForWidth(int width) const
{
    prepareWidth(width);
    return m_scrolls ? kScrollingHeight : int(m_tree.total());
}

QSize LongTextView::sizeHint() const
{
    const int width = m_wrap ? (this->width() > 1 ? this->width() : 400) : naturalWidth();
    return {width, heightForWidth(this->width() > 1 ? this->width() : 400)};
}

QSize LongTextView::minimumSizeHint() const { return {20, 0}; }

int LongTextView::naturalWidth() const
{
    scanText();
    return m_widest + 1;
}

std::vector<std::pair<int, int>> LongTextView::takeHeightChanges() { return std::exchange(m_changes, {}); }

void LongTextView::paintEvent(QPaintEvent *event)
{
    prepareWidth(wrapWidth());
    if (m_scrolls != (m_bar && m_bar->isVisible()))
        syncScrollBar();
    const QRect exposed = event->rect();
    const qsizetype n = lineCount();
    if (n == 0)
        return;
    const qint64 top = m_scrolls ? m_top : 0;
    const qsizetype first = m_tree.lineAt(exposed.top() + top);
    // Lay out what shows first: measured heights move the lines below them.
    qsizetype last = first;
    for (; last < n && m_tree.before(last) <= exposed.bottom() + top; ++last)
        layoutOf(last);

    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(m_color.value_or(Theme::primaryText()));
    const qsizetype selFrom = std::min(m_selAnchor, m_selCursor);
    const qsizetype selTo = std::max(m_selAnchor, m_selCursor);
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::HighlightedText));
    for (qsizetype i = first; i < last; ++i) {
        QTextLayout *layout = layoutOf(i);
        const qsizetype start = m_starts[size_t(i)];
        QList<QTextLayout::FormatRange> ranges;
        if (selFrom >= 0 && selTo > selFrom) {
            const qsizetype from = std::max(selFrom, start) - start;
            const qsizetype to = std::min(selTo, start + layout->text().size()) - start;
            if (to > from)
                ranges.append({int(from), int(to - from), selected});
        }
        layout->draw(&painter, QPointF(0, qreal(m_tree.before(i) - (m_scrolls ? m_top : 0))), ranges, exposed);
    }
}

qsizetype LongTextView::positionAt(const QPoint &point) const
{
    prepareWidth(wrapWidth());
    if (lineCount() == 0)
        return 0;
    const qint64 at = point.y() + (m_scrolls ? m_top : 0);
    if (at >= m_tree.total())
        return m_text.size();
    const qsizetype line = m_tree.lineAt(std::max<qint64>(0, at));
    QTextLayout *layout = layoutOf(line);
    const qreal y = qreal(at - m_tree.before(line));
    int cursor = 0;
    for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine row = layout->lineAt(i);
        if (y < row.y() + row.height() || i + 1 == layout->lineCount()) {
            cursor = row.xToCursor(point.x());
            break;
        }
    }
    return m_starts[size_t(line)] + cursor;
}

void LongTextView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const qsizetype at = positionAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier) || m_selAnchor < 0)
        m_selAnchor = at;
    m_selCursor = at;
    m_selecting = true;
    update();
}

void LongTextView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting)
        return QWidget::mouseMoveEvent(event);
    m_selCursor = positionAt(event->position().toPoint());
    update();
}

void LongTextView::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_selecting || event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    m_selecting = false;
    m_selCursor = positionAt(event->position().toPoint());
    update();
    if (!selectedText().isEmpty())
        copyTo(int(QClipboard::Selection));
}

void LongTextView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseDoubleClickEvent(event);
    // The word under the pointer, within its line.
    const qsizetype at = positionAt(event->position().toPoint());
    qsizetype from = at;
    qsizetype to = at;
    const auto inWord = [this](qsizetype i) { return i >= 0 && i < m_text.size() && m_text[i].isLetterOrNumber(); };
    while (inWord(from - 1))
        --from;
    while (inWord(to))
        ++to;
    m_selAnchor = from;
    m_selCursor = to;
    update();
}

QString LongTextView::selectedText() const
{
    if (m_selAnchor < 0 || m_selCursor < 0)
        return {};
    const qsizetype from = std::min(m_selAnchor, m_selCursor);
    const qsizetype to = std::max(m_selAnchor, m_selCursor);
    return m_text.mid(from, to - from);
}

void LongTextView::selectAll()
{
    m_selAnchor = 0;
    m_selCursor = m_text.size();
    update();
}

void LongTextView::copyTo(int mode) const
{
    const auto clipboardMode = QClipboard::Mode(mode);
    if (clipboardMode == QClipboard::Selection && !QApplication::clipboard()->supportsSelection())
        return;
    QApplication::clipboard()->setText(selectedText(), clipboardMode);
}

void LongTextView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        if (!selectedText().isEmpty())
            copyTo(int(QClipboard::Clipboard));
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LongTextView::contextMenuEvent(QContextMenuEvent *event)
{
    // The two entries of a selectable label's menu, in the toolkit's own words.
    QMenu menu(this);
    QAction *copy = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "&Copy"));
    copy->setEnabled(!selectedText().isEmpty());
    connect(copy, &QAction::triggered, this, [this] { copyTo(int(QClipboard::Clipboard)); });
    menu.addSeparator();
    QAction *all = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "Select All"));
    all->setEnabled(!m_text.isEmpty());
    connect(all, &QAction::triggered, this, &LongTextView::selectAll);
    menu.exec(event->globalPos());
}

void LongTextView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        resetMeasures();
}

void LongTextView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_wrap && event->size().width() != event->oldSize().width())
        update();
    syncScrollBar();
}

// The bar of a view that scrolls itself, at its right edge over the full height.
void LongTextView::syncScrollBar()
{
    prepareWidth(wrapWidth());
    if (!m_scrolls) {
        if (m_bar)
            m_bar->hide();
        return;
    }
    if (!m_bar) {
        m_bar = new QScrollBar(Qt::Vertical, this);
        m_bar->setCursor(Qt::ArrowCursor);
        connect(m_bar, &QScrollBar::valueChanged, this, [this](int value) {
            if (!m_syncingBar)
                scrollTo(qint64(value) * m_barScale);
        });
    }
    const qint64 range = std::max<qint64>(0, m_tree.total() - height());
    m_top = std::clamp<qint64>(m_top, 0, range);
    m_barScale = range / (std::numeric_limits<int>::max() / 2) + 1;
    m_syncingBar = true;
    m_bar->setRange(0, int(range / m_barScale));
    m_bar->setPageStep(std::max(1, int(height() / m_barScale)));
    m_bar->setSingleStep(std::max(1, int(3 * m_lineHeight / m_barScale)));
    m_bar->setValue(int(m_top / m_barScale));
    m_syncingBar = false;
    const int barWidth = scrollBarWidth();
    m_bar->setGeometry(width() - barWidth, 0, barWidth, height());
    m_bar->show();
}

void LongTextView::scrollTo(qint64 top)
{
    const qint64 clamped = std::clamp<qint64>(top, 0, std::max<qint64>(0, m_tree.total() - height()));
    if (clamped == m_top)
        return;
    m_top = clamped;
    if (m_bar && !m_syncingBar) {
        m_syncingBar = true;
        m_bar->setValue(int(m_top / m_barScale));
        m_syncingBar = false;
    }
    update();
}

void LongTextView::wheelEvent(QWheelEvent *event)
{
    if (!m_scrolls)
        return QWidget::wheelEvent(event);
    const int pixels = !event->pixelDelta().isNull()
        ? event->pixelDelta().y()
        : event->angleDelta().y() * QApplication::wheelScrollLines() * m_lineHeight / 120;
    const qint64 before = m_top;
    scrollTo(m_top - pixels);
    // At either end the transcript around the view scrolls on.
    if (m_top == before)
        event->ignore();
    else
        event->accept();
}

} // namespace nbd
