#pragma once

#include "Domain/Subagents.h"
#include "UI/Conversation/TranscriptFollowState.h"
#include "UI/Conversation/TranscriptRenderRow.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

class QVariantAnimation;

namespace nbd {

class SessionActions;

// One entry of the transcript's column, in order: the load-older button, the render rows, the
// working indicator, the steering messages, the history-loading line and the bottom anchor.
struct TranscriptEntry
{
    enum class Kind { LoadOlder, Row, Status, Steering, HistoryLoading, BottomAnchor };

    Kind kind = Kind::Row;
    QString key; // the scroll target: the row's id, "deep-diving-status", "pending-<id>", …
    int topPadding = 0;
    std::optional<TranscriptRenderRow> row;
    bool showCursor = false;
    PendingUserMessage steering;
    bool loadingOlder = false;

    bool operator==(const TranscriptEntry &) const = default;
};

// The widget of one entry. It exists only while its entry is near the viewport; what must
// outlive it (whether it is open) is kept by the list under the entry's key.
class TranscriptEntryView : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual void setEntry(const TranscriptEntry &entry) = 0;
    virtual int measure(int width) const = 0;
    virtual void setExpanded(bool) {}
    // How far the content above `offset` (in the entry's coordinates) moved down since asked
    // last, as text laid out late replaced estimated heights; the list keeps what is at the
    // top of the viewport in place by it.
    virtual int takeShiftAbove(int offset)
    {
        Q_UNUSED(offset);
        return 0;
    }
    // The text a screen reader reads for the entry.
    virtual QString accessibleText() const { return accessibleName(); }

Q_SIGNALS:
    void heightMayHaveChanged();
    void expandedChanged(bool expanded);
    void loadOlderRequested();
};

// The scrolling column of the transcript, virtualised: real widgets exist only for entries
// within about one viewport above and below the visible part. Heights are cached by entry key
// (estimated until measured) and placed by prefix sums; when something above the viewport
// changes height the scroll position moves with it, so nothing on screen jumps.
class TranscriptListView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    static constexpr int kMaxColumnWidth = 748;
    static constexpr int kSidePadding = 32;
    static constexpr int kVerticalPadding = 16;

    TranscriptListView(SessionActions *sessionActions, QWidget *parent = nullptr);
    ~TranscriptListView() override;

    void setSessionId(const QString &sessionId);
    const QString &sessionId() const { return m_sessionId; }
    // Replaces the entries; only entries whose value changed are updated. Duplicate keys get
    // internal keys; the first keeps the key as its scroll target.
    void setEntries(std::vector<TranscriptEntry> entries);
    // Keeps the first `keep` entries, which the caller knows are unchanged, and replaces the
    // rest with `tail`: a publish while text streams compares and moves only the newest rows.
    void replaceEntriesFrom(size_t keep, std::vector<TranscriptEntry> tail);
    const std::vector<TranscriptEntry> &entries() const { return m_entries; }
    // The keys of live widgets the last setEntries() updated.
    const QStringList &lastTouchedKeys() const { return m_lastTouched; }

    // Extra room under the content (the bottom dock lies over it).
    void setBottomInset(int inset);
    int bottomInset() const { return m_bottomInset; }
    // While following, content changes keep the end in view.
    void setFollowing(bool following) { m_following = following; }

    void scrollToBottom(bool animated);
    // Places the entry's top at the top of the viewport.
    void scrollToKey(const QString &key);
    bool isAnimatingScroll() const;

    TranscriptFollowState::Geometry scrollGeometry() const;
    int contentHeight() const { return m_contentHeight; }
    int scrollY() const { return m_scrollY; }
    int columnWidth() const { return m_columnWidth; }

    // Live widgets, by key.
    QList<TranscriptEntryView *> liveViews() const;
    TranscriptEntryView *viewFor(const QString &key) const { return m_views.value(key); }
    int liveViewCount() const { return int(m_views.size()); }
    std::optional<QRect> entryRect(const QString &key) const; // in viewport coordinates
    bool isExpanded(const QString &key) const { return m_expanded.value(key); }
    int measuredHeightCount() const { return int(m_heights.size()); }

    // Estimated height of an entry for a column width, before its widget measured it.
    static int estimateHeight(const TranscriptEntry &entry, int width, bool expanded);

Q_SIGNALS:
    // The user started (Tracking/Interacting) or finished (Idle) scrolling, or a programmatic
    // animation runs (Animating).
    void scrollPhaseChanged(TranscriptFollowState::Phase phase);
    // After every layout: content, viewport or scroll position may have changed.
    void geometryChanged();
    void loadOlderRequested();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool viewportEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    enum class Mode { Keep, Anchor, Bottom, Key };
    struct Anchor
    {
        QString key;
        int offset = 0;
    };

    void relayout(Mode mode);
    // Following keeps the end in view, unless the user opened or closed an entry since the
    // transcript last changed.
    Mode followMode() const;
    void scheduleRelayout();
    void captureAnchor();
    void computeTops();
    int heightOf(qsizetype index) const;
    TranscriptEntryView *createView(const TranscriptEntry &entry);
    void destroyView(const QString &key);
    void userScrolled();
    void setPhase(TranscriptFollowState::Phase phase);

    QPointer<SessionActions> m_sessionActions;
    QString m_sessionId;
    std::vector<TranscriptEntry> m_entries;
    QHash<QString, qsizetype> m_index; // internal key -> position
    std::vector<qint64> m_tops;        // top of each entry's padding, in content coordinates
    mutable size_t m_topsDirtyFrom = 0; // the first entry whose top may be out of date
    QHash<QString, int> m_heights;     // measured heights for the current column width
    // The height each entry is placed with (measured, else estimated), by position; -1 when
    // not known yet. Kept for entries that did not change: a publish places every entry, and
    // an estimate reads the whole text.
    mutable std::vector<int> m_placed;
    void forgetPlacedHeight(const QString &key);
    QHash<QString, bool> m_expanded;   // per-entry view state, by key
    QHash<QString, TranscriptEntryView *> m_views;
    QStringList m_lastTouched;

    int m_columnWidth = 0;
    int m_measuredWidth = -1;
    int m_contentHeight = 0;
    int m_scrollY = 0;
    int m_bottomInset = 0;
    bool m_following = true;
    bool m_heldByUser = false;
    bool m_inLayout = false;
    bool m_relayoutQueued = false;
    std::optional<Anchor> m_anchor;
    std::optional<QString> m_scrollKey;

    TranscriptFollowState::Phase m_phase = TranscriptFollowState::Phase::Idle;
    QTimer m_idleTimer;
    QVariantAnimation *m_scrollAnimation = nullptr;
    bool m_settingScroll = false;
};

} // namespace nbd
