#pragma once

#include "UI/Inspection/TrajectoryLedger.h"

#include <QListView>
#include <QSet>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QStackedLayout;
class QVariantAnimation;

namespace nbd {

class SessionModel;
class TrajectoryLedgerModel;
class TrajectoryTimelineOverview;
class LedgerToggle;

// The list of the ledger's rows: it tracks the row under the pointer and turns a click or
// Return/Space on a row into its action.
class TrajectoryLedgerList : public QListView
{
    Q_OBJECT
public:
    static constexpr int kEndSpace = 8;

    explicit TrajectoryLedgerList(QWidget *parent = nullptr);
    int hoveredRow() const { return m_hoveredRow; }

Q_SIGNALS:
    void rowActivated(int row);

public Q_SLOTS:
    void doItemsLayout() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;

private:
    void setHoveredRow(int row);
    // The row under the pointer again, after the rows moved beneath a still pointer.
    void rehover();
    int m_hoveredRow = -1;
    std::optional<QPoint> m_pointer; // in the viewport, while it is over the list
    int m_pressedRow = -1;
};

// The trajectory surface of a session: a toolbar (collapse toggles and search), the overview
// strip, the table header and the ledger. It owns the search, the collapse state and the
// selection, and hands every picked event to `onSelect`. It only reads the session.
class TrajectoryView : public QWidget
{
    Q_OBJECT
public:
    using Select = std::function<void(const TrajectoryEventSelection &)>;
    static constexpr int kSearchSettleMs = 160;

    TrajectoryView(std::shared_ptr<SessionModel> session, Select onSelect, QWidget *parent = nullptr);
    ~TrajectoryView() override;

    const std::shared_ptr<SessionModel> &session() const { return m_session; }
    QString searchText() const;
    const QString &searchQuery() const { return m_searchQuery; }
    const QSet<qint64> &collapsedTurns() const { return m_collapsedTurns; }
    bool collapseCalls() const { return m_collapseCalls; }
    const std::optional<QString> &selectedEventId() const { return m_selectedEventId; }
    TrajectoryLedgerModel *ledgerModel() const { return m_model; }
    TrajectoryLedgerList *ledgerList() const { return m_list; }
    TrajectoryTimelineOverview *timeline() const { return m_timeline; }
    bool isSearchSettling() const { return m_settle.isActive(); }

    // The selection rule of rows and strip marks: record the id, then tell the caller.
    void select(const TrajectoryEventSelection &event);
    // Collapses or expands one turn; its chevron turns over 0.12 s.
    void toggleTurn(qint64 turn);
    // The angle of a turn's chevron while its toggle animates; none at rest.
    std::optional<qreal> chevronAngle(qint64 turn) const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void rebuildIndex();
    void refreshLedger();
    void refreshToolbar();
    void refreshState();
    void settleSearch();
    void activateRow(int row);
    void scrollToSelection();

    std::shared_ptr<SessionModel> m_session;
    Select m_onSelect;
    QString m_searchQuery;
    QSet<qint64> m_collapsedTurns;
    bool m_collapseCalls = false;
    std::optional<QString> m_selectedEventId;
    TrajectoryLedgerIndex m_index;

    QTimer m_settle;
    LedgerToggle *m_turnToggle;
    LedgerToggle *m_callToggle;
    QLineEdit *m_search;
    TrajectoryTimelineOverview *m_timeline;
    QStackedLayout *m_stack;
    QWidget *m_empty;
    QLabel *m_emptyTitle;
    QLabel *m_emptyDescription;
    QWidget *m_ledgerPane;
    QWidget *m_loadingRow;
    TrajectoryLedgerList *m_list;
    TrajectoryLedgerModel *m_model;
    QVariantAnimation *m_scrollAnimation;
    QVariantAnimation *m_chevronAnimation;
    qint64 m_chevronTurn = 0;
};

} // namespace nbd
