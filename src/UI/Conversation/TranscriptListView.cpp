#include "UI/Conversation/TranscriptListView.h"

#include "UI/Conversation/TranscriptRowViews.h"

#include "Store/SessionActions.h"
#include "System/HeapTrim.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/Theme.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kAnchorHeight = 12;
constexpr int kIdleAfterMs = 180;
constexpr int kMaxMeasurePasses = 4;

int estimatedTextHeight(const QString &text, int width, double charWidth, int lineHeight)
{
    if (text.isEmpty())
        return 0;
    const int perLine = std::max(1, int(width / charWidth));
    qsizetype lines = 0;
    qsizetype run = 0;
    for (QChar c : text) {
        if (c == u'\n') {
            lines += std::max<qsizetype>(1, (run + perLine - 1) / perLine);
            run = 0;
        } else {
            run += c.unicode() >= 0x2E80 ? 2 : 1; // wide characters take about two cells
        }
    }
    lines += std::max<qsizetype>(1, (run + perLine - 1) / perLine);
    return int(std::min<qsizetype>(lines, 200000)) * lineHeight;
}

} // namespace

TranscriptListView::TranscriptListView(SessionActions *sessionActions, QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_sessionActions(sessionActions)
{
    setObjectName(u"transcript"_s);
    setAccessibleName(u"对话记录"_s);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    // A scroll area's viewport fills with its Base colour, which is the raised surfaces' colour
    // (in dark also the user's bubbles): the transcript lies on the canvas.
    QPalette palette = viewport()->palette();
    palette.setColor(QPalette::Window, Theme::canvas());
    palette.setColor(QPalette::Base, Theme::canvas());
    viewport()->setPalette(palette);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(40);

    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(kIdleAfterMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] { setPhase(TranscriptFollowState::Phase::Idle); });
    connect(verticalScrollBar(), &QScrollBar::sliderPressed, this, [this] {
        if (m_scrollAnimation)
            m_scrollAnimation->stop();
        m_idleTimer.stop();
        setPhase(TranscriptFollowState::Phase::Tracking);
    });
    connect(verticalScrollBar(), &QScrollBar::sliderReleased, this,
            [this] { setPhase(TranscriptFollowState::Phase::Idle); });
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this](int action) {
        if (action != QAbstractSlider::SliderMove && !verticalScrollBar()->isSliderDown())
            userScrolled();
    });
}

TranscriptListView::~TranscriptListView() = default;

void TranscriptListView::setSessionId(const QString &sessionId)
{
    if (sessionId == m_sessionId)
        return;
    m_sessionId = sessionId;
    // Another session: nothing of the old one's widgets or view state carries over.
    for (const QString &key : m_views.keys())
        destroyView(key);
    m_entries.clear();
    m_placed.clear();
    m_topsDirtyFrom = 0;
    m_index.clear();
    m_tops.clear();
    m_heights.clear();
    m_expanded.clear();
    m_heldByUser = false;
    m_anchor.reset();
    m_scrollKey.reset();
    m_scrollY = 0;
}

void TranscriptListView::setEntries(std::vector<TranscriptEntry> entries) { replaceEntriesFrom(0, std::move(entries)); }

void TranscriptListView::replaceEntriesFrom(size_t keep, std::vector<TranscriptEntry> tail)
{
    captureAnchor();
    m_heldByUser = false;
    keep = std::min(keep, m_entries.size());
    const size_t count = keep + tail.size();
    // Duplicate keys: later ones get internal keys, so the first stays the scroll target.
    // While text streams the keys stand where they stood, and the index is kept.
    bool sameKeys = count == m_entries.size();
    for (size_t i = 0; sameKeys && i < tail.size(); ++i)
        sameKeys = tail[i].key == m_entries[keep + i].key;
    // The keys of the new tail; the kept entries keep theirs (looked up in the index, which
    // is changed in place below rather than copied: a publish appends a few rows to thousands).
    QHash<QString, qsizetype> index;
    const auto kept = [this, keep](const QString &key) {
        auto it = m_index.constFind(key);
        return it != m_index.constEnd() && size_t(*it) < keep;
    };
    const auto taken = [&](const QString &key) { return index.contains(key) || kept(key); };
    if (!sameKeys) {
        index.reserve(qsizetype(tail.size()));
        for (size_t i = 0; i < tail.size(); ++i) {
            TranscriptEntry &entry = tail[i];
            if (taken(entry.key)) {
                int n = 1;
                QString internal;
                do {
                    internal = entry.key + u'\x1f' + QString::number(n++);
                } while (taken(internal));
                entry.key = internal;
            }
            index.insert(entry.key, qsizetype(keep + i));
        }
    }

    m_lastTouched.clear();
    const bool samePositions = count == m_entries.size();
    std::vector<int> estimates(tail.size(), -1);
    for (size_t t = 0; t < tail.size(); ++t) {
        const TranscriptEntry &entry = tail[t];
        const size_t i = keep + t;
        const TranscriptEntry *old = nullptr;
        if (samePositions && m_entries[i].key == entry.key) {
            old = &m_entries[i];
        } else if (auto it = m_index.constFind(entry.key); it != m_index.constEnd()) {
            old = &m_entries[size_t(*it)];
        }
        if (old && *old == entry) {
            const size_t at = size_t(old - m_entries.data());
            if (at < m_placed.size())
                estimates[t] = m_placed[at];
            continue;
        }
        m_heights.remove(entry.key);
        if (TranscriptEntryView *view = m_views.value(entry.key)) {
            if (old && old->kind == entry.kind) {
                view->setEntry(entry);
                m_lastTouched.append(entry.key);
                // The live widget is measured again at the layout; until then the row stands
                // at its last height, which spares estimating from the whole text.
                if (const size_t at = size_t(old - m_entries.data()); at < m_placed.size())
                    estimates[t] = m_placed[at];
            } else {
                destroyView(entry.key);
            }
        }
    }
    const auto stays = [&](const QString &key) { return sameKeys ? m_index.contains(key) : taken(key); };
    // Widgets of entries that are gone.
    for (const QString &key : m_views.keys()) {
        if (!stays(key))
            destroyView(key);
    }
    if (m_heights.size() > qsizetype(count) * 2) {
        QHash<QString, int> measured;
        for (auto it = m_heights.constBegin(); it != m_heights.constEnd(); ++it) {
            if (stays(it.key()))
                measured.insert(it.key(), it.value());
        }
        m_heights = std::move(measured);
    }
    if (!sameKeys) {
        // The replaced entries give their keys up; the tail's take their places.
        for (size_t i = keep; i < m_entries.size(); ++i) {
            if (auto it = m_index.constFind(m_entries[i].key); it != m_index.constEnd() && size_t(*it) == i)
                m_index.erase(it);
        }
        for (auto it = index.constBegin(); it != index.constEnd(); ++it)
            m_index.insert(it.key(), it.value());
    }
    m_entries.resize(keep);
    m_entries.insert(m_entries.end(), std::make_move_iterator(tail.begin()), std::make_move_iterator(tail.end()));
    m_placed.resize(count, -1);
    std::copy(estimates.begin(), estimates.end(), m_placed.begin() + qsizetype(keep));
    m_topsDirtyFrom = std::min(m_topsDirtyFrom, keep);
    relayout(followMode());
}

void TranscriptListView::setBottomInset(int inset)
{
    if (inset == m_bottomInset)
        return;
    captureAnchor();
    m_bottomInset = inset;
    relayout(followMode());
}

int TranscriptListView::estimateHeight(const TranscriptEntry &entry, int width, bool expanded)
{
    switch (entry.kind) {
    case TranscriptEntry::Kind::LoadOlder:
        return 44;
    case TranscriptEntry::Kind::Status:
        return 26;
    case TranscriptEntry::Kind::HistoryLoading:
        return 48;
    case TranscriptEntry::Kind::BottomAnchor:
        return kAnchorHeight;
    case TranscriptEntry::Kind::Steering:
        return estimatedTextHeight(entry.steering.text, std::max(40, width - 136), 7, 16) + 20;
    case TranscriptEntry::Kind::Row:
        break;
    }
    const TranscriptRenderRow &row = *entry.row;
    if (const UserMessageItem *user = row.user()) {
        int h = user->text.isEmpty() ? 0 : estimatedTextHeight(user->text, std::min(525, width - 108) - 32, 8.5, 21) + 20;
        if (!user->images.empty())
            h += 160 + (h ? 8 : 0);
        return h;
    }
    if (row.notice())
        return expanded ? 280 : 34;
    const BlockItem &block = *row.block();
    switch (block.kind) {
    case BlockKind::text:
        return estimatedTextHeight(block.text, width, 7.5, 20) + (entry.showCursor ? 24 : 0);
    case BlockKind::reasoning:
        return 26 + (expanded ? estimatedTextHeight(block.text, width - 19, 7.2, 16) + 14 : 0);
    case BlockKind::toolCall:
        return 28 + (expanded ? 120 : 0);
    }
    return 30;
}

int TranscriptListView::heightOf(qsizetype index) const
{
    const TranscriptEntry &entry = m_entries[size_t(index)];
    if (m_placed.size() != m_entries.size()) {
        m_placed.assign(m_entries.size(), -1);
        m_topsDirtyFrom = 0;
    }
    int &placed = m_placed[size_t(index)];
    if (placed >= 0)
        return placed;
    auto it = m_heights.constFind(entry.key);
    placed = it != m_heights.constEnd() ? *it : estimateHeight(entry, m_columnWidth, m_expanded.value(entry.key));
    return placed;
}

void TranscriptListView::forgetPlacedHeight(const QString &key)
{
    m_heights.remove(key);
    if (auto at = m_index.constFind(key); at != m_index.constEnd() && size_t(*at) < m_placed.size()) {
        m_placed[size_t(*at)] = -1;
        m_topsDirtyFrom = std::min(m_topsDirtyFrom, size_t(*at));
    }
}

void TranscriptListView::computeTops()
{
    // Only the tops from the first entry whose place or height changed are summed again.
    const size_t count = m_entries.size();
    size_t from = std::min(m_topsDirtyFrom, count);
    if (m_tops.size() != count + 1) {
        from = std::min(from, m_tops.empty() ? size_t(0) : m_tops.size() - 1);
        m_tops.resize(count + 1);
    }
    qint64 y = from == 0 ? qint64(kVerticalPadding) : m_tops[from];
    for (size_t i = from; i < count; ++i) {
        m_tops[i] = y;
        y += m_entries[i].topPadding + heightOf(qsizetype(i));
    }
    m_tops[count] = y;
    m_topsDirtyFrom = count;
    m_contentHeight = int(std::min<qint64>(y + kVerticalPadding + m_bottomInset, std::numeric_limits<int>::max() / 2));
}

void TranscriptListView::captureAnchor()
{
    if (m_anchor || m_entries.empty() || m_tops.size() != m_entries.size() + 1)
        return;
    // The first entry whose bottom is below the viewport's top edge.
    auto it = std::upper_bound(m_tops.begin() + 1, m_tops.end(), qint64(m_scrollY));
    const size_t i = std::min(size_t(it - m_tops.begin()) - 1, m_entries.size() - 1);
    m_anchor = Anchor{m_entries[i].key, int(m_scrollY - m_tops[i])};
}

void TranscriptListView::relayout(Mode mode)
{
    if (m_inLayout) {
        scheduleRelayout();
        return;
    }
    m_inLayout = true;
    const int vw = viewport()->width();
    const int vh = viewport()->height();
    m_columnWidth = std::max(1, std::min(kMaxColumnWidth, vw - 2 * kSidePadding));
    if (m_columnWidth != m_measuredWidth) {
        m_heights.clear();
        m_placed.assign(m_entries.size(), -1);
        m_topsDirtyFrom = 0;
        m_measuredWidth = m_columnWidth;
    }
    std::optional<Anchor> anchor = std::move(m_anchor);
    m_anchor.reset();
    std::optional<QString> scrollKey = std::move(m_scrollKey);
    m_scrollKey.reset();
    if (mode == Mode::Key && !scrollKey)
        mode = Mode::Keep;
    if (mode == Mode::Anchor && !anchor)
        mode = Mode::Keep;

    int y = m_scrollY;
    qsizetype first = 0;
    qsizetype last = -1;
    for (int pass = 0; pass < kMaxMeasurePasses; ++pass) {
        computeTops();
        const int maxY = std::max(0, m_contentHeight - vh);
        switch (mode) {
        case Mode::Keep:
            y = m_scrollY;
            break;
        case Mode::Bottom:
            y = maxY;
            break;
        case Mode::Anchor:
            if (auto it = m_index.constFind(anchor->key); it != m_index.constEnd())
                y = int(m_tops[size_t(*it)] + anchor->offset);
            break;
        case Mode::Key:
            if (auto it = m_index.constFind(*scrollKey); it != m_index.constEnd())
                y = int(m_tops[size_t(*it)] + m_entries[size_t(*it)].topPadding);
            break;
        }
        y = std::clamp(y, 0, maxY);

        // About one viewport of overscan each way.
        const qint64 windowTop = qint64(y) - vh;
        const qint64 windowBottom = qint64(y) + 2 * qint64(vh);
        first = qsizetype(std::upper_bound(m_tops.begin() + 1, m_tops.end(), windowTop) - m_tops.begin()) - 1;
        first = std::max<qsizetype>(0, first);
        last = qsizetype(std::lower_bound(m_tops.begin(), m_tops.end() - 1, windowBottom) - m_tops.begin()) - 1;
        last = std::min<qsizetype>(last, qsizetype(m_entries.size()) - 1);

        bool changed = false;
        for (qsizetype i = first; i <= last; ++i) {
            const TranscriptEntry &entry = m_entries[size_t(i)];
            // An entry measured before keeps its height, but its widget went when it left the
            // window: coming back into it, it gets a new one.
            TranscriptEntryView *view = m_views.value(entry.key);
            if (!view && entry.kind != TranscriptEntry::Kind::BottomAnchor)
                view = createView(entry);
            if (m_heights.contains(entry.key))
                continue;
            const int estimate = heightOf(i);
            const int measured = view ? std::max(0, view->measure(m_columnWidth)) : kAnchorHeight;
            m_heights.insert(entry.key, measured);
            if (size_t(i) < m_placed.size() && m_placed[size_t(i)] != measured) {
                m_placed[size_t(i)] = measured;
                m_topsDirtyFrom = std::min(m_topsDirtyFrom, size_t(i));
            }
            changed = changed || measured != estimate;
        }
        if (!changed)
            break;
    }

    // Widgets far from the viewport go, and the memory of their laid-out text with them;
    // those near it are placed.
    for (auto it = m_views.begin(); it != m_views.end();) {
        const qsizetype i = m_index.value(it.key(), -1);
        if (i < first || i > last) {
            TranscriptEntryView *view = it.value();
            it = m_views.erase(it);
            view->hide();
            view->deleteLater();
            HeapTrim::soon();
        } else {
            ++it;
        }
    }
    const int x = (vw - m_columnWidth) / 2;
    for (qsizetype i = first; i <= last; ++i) {
        const TranscriptEntry &entry = m_entries[size_t(i)];
        TranscriptEntryView *view = m_views.value(entry.key);
        if (!view)
            continue;
        const int top = int(m_tops[size_t(i)] + entry.topPadding - y);
        view->setGeometry(x, top, m_columnWidth, heightOf(i));
        if (!view->isVisible())
            view->show();
    }

    m_scrollY = y;
    m_settingScroll = true;
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, std::max(0, m_contentHeight - vh));
    bar->setPageStep(vh);
    bar->setValue(y);
    m_settingScroll = false;
    m_inLayout = false;
    Q_EMIT geometryChanged();
}

void TranscriptListView::scheduleRelayout()
{
    if (m_relayoutQueued)
        return;
    m_relayoutQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_relayoutQueued = false;
        relayout(followMode());
    }, Qt::QueuedConnection);
}

TranscriptEntryView *TranscriptListView::createView(const TranscriptEntry &entry)
{
    const bool expanded = m_expanded.value(entry.key);
    TranscriptEntryView *view = createTranscriptEntryView(entry, m_sessionActions, m_sessionId, expanded, viewport());
    if (!view)
        return nullptr;
    const QString key = entry.key;
    connect(view, &TranscriptEntryView::expandedChanged, this, [this, key](bool expanded) {
        if (expanded)
            m_expanded.insert(key, true);
        else
            m_expanded.remove(key);
        captureAnchor();
        forgetPlacedHeight(key);
        // Until the transcript changes, what follows from the user's click (text laid out late,
        // a scroll bar coming or going) keeps what is on screen where it is, also while following.
        m_heldByUser = true;
        relayout(Mode::Anchor);
    });
    connect(view, &TranscriptEntryView::heightMayHaveChanged, this, [this, key] {
        captureAnchor();
        if (TranscriptEntryView *changed = m_views.value(key)) {
            const bool anchored = m_anchor && m_anchor->key == key;
            const int shift = changed->takeShiftAbove(anchored ? m_anchor->offset : 0);
            if (anchored)
                m_anchor->offset += shift;
        }
        forgetPlacedHeight(key);
        if (m_inLayout)
            scheduleRelayout();
        else
            relayout(followMode());
    });
    connect(view, &TranscriptEntryView::loadOlderRequested, this, &TranscriptListView::loadOlderRequested);
    m_views.insert(key, view);
    view->resize(m_columnWidth, view->height());
    return view;
}

void TranscriptListView::destroyView(const QString &key)
{
    if (TranscriptEntryView *view = m_views.take(key)) {
        view->hide();
        view->deleteLater();
        HeapTrim::soon();
    }
}

QList<TranscriptEntryView *> TranscriptListView::liveViews() const { return m_views.values(); }

std::optional<QRect> TranscriptListView::entryRect(const QString &key) const
{
    auto it = m_index.constFind(key);
    if (it == m_index.constEnd() || m_tops.size() != m_entries.size() + 1)
        return std::nullopt;
    const size_t i = size_t(*it);
    const int top = int(m_tops[i] + m_entries[i].topPadding - m_scrollY);
    return QRect((viewport()->width() - m_columnWidth) / 2, top, m_columnWidth, heightOf(qsizetype(i)));
}

TranscriptFollowState::Geometry TranscriptListView::scrollGeometry() const
{
    TranscriptFollowState::Geometry g;
    g.contentHeight = m_contentHeight;
    g.containerHeight = viewport()->height();
    g.visibleMaxY = m_scrollY + viewport()->height();
    return g;
}

void TranscriptListView::scrollToBottom(bool animated)
{
    m_heldByUser = false;
    if (m_scrollAnimation)
        m_scrollAnimation->stop();
    if (!animated || Motion::reduceMotion() || !isVisible()) {
        relayout(Mode::Bottom);
        return;
    }
    if (!m_scrollAnimation) {
        m_scrollAnimation = new QVariantAnimation(this);
        m_scrollAnimation->setDuration(150);
        m_scrollAnimation->setEasingCurve(QEasingCurve::OutCubic);
        m_scrollAnimation->setStartValue(0.0);
        m_scrollAnimation->setEndValue(1.0);
        connect(m_scrollAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
            const int start = m_scrollAnimation->property("startY").toInt();
            const int target = std::max(0, m_contentHeight - viewport()->height());
            const int y = start + int(std::lround((target - start) * value.toReal()));
            m_scrollY = y;
            relayout(Mode::Keep);
        });
        connect(m_scrollAnimation, &QVariantAnimation::finished, this, [this] {
            relayout(Mode::Bottom);
            setPhase(TranscriptFollowState::Phase::Idle);
        });
    }
    m_scrollAnimation->setProperty("startY", m_scrollY);
    setPhase(TranscriptFollowState::Phase::Animating);
    m_scrollAnimation->start();
}

bool TranscriptListView::isAnimatingScroll() const
{
    return m_scrollAnimation && m_scrollAnimation->state() == QAbstractAnimation::Running;
}

void TranscriptListView::scrollToKey(const QString &key)
{
    m_scrollKey = key;
    relayout(Mode::Key);
}

void TranscriptListView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    captureAnchor();
    relayout(followMode());
}

TranscriptListView::Mode TranscriptListView::followMode() const
{
    return m_following && !m_heldByUser ? Mode::Bottom : Mode::Anchor;
}

void TranscriptListView::scrollContentsBy(int, int)
{
    if (m_settingScroll || m_inLayout)
        return;
    m_scrollY = verticalScrollBar()->value();
    relayout(Mode::Keep);
}

bool TranscriptListView::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::Wheel) {
        if (m_scrollAnimation)
            m_scrollAnimation->stop();
        userScrolled();
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void TranscriptListView::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
        userScrolled();
        break;
    default:
        break;
    }
    switch (event->key()) {
    case Qt::Key_Home:
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        return;
    case Qt::Key_End:
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TranscriptListView::userScrolled()
{
    setPhase(TranscriptFollowState::Phase::Interacting);
    m_idleTimer.start();
}

void TranscriptListView::setPhase(TranscriptFollowState::Phase phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    Q_EMIT scrollPhaseChanged(phase);
}

} // namespace nbd
