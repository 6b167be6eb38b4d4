#pragma once

#include "UI/Inspection/TrajectoryLedger.h"

#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

namespace nbd {

// The 50-pt strip over the ledger: the whole run as three lanes of marks (input, model,
// tools), a line where the turn changes, the hovered mark's title as tooltip. A click picks
// the mark's event. Everything is painted in one pass, whatever the number of entries.
class TrajectoryTimelineOverview : public QWidget
{
    Q_OBJECT
public:
    using Select = std::function<void(const TrajectoryEventSelection &)>;

    TrajectoryTimelineOverview(Select onSelect, QWidget *parent = nullptr);

    // The entries with the settled search query and, per entry, whether it matches that query
    // (the trajectory's index answers it from the fields it already keeps for the ledger).
    void setEntries(std::vector<TrajectoryTimelineEntry> entries, std::vector<bool> matching, const QString &query);
    const std::vector<TrajectoryTimelineEntry> &entries() const { return m_entries; }
    void setSelectedEventId(std::optional<QString> id);
    void setSearch(const QString &query, std::vector<bool> matching);
    // The hovered entry; the trajectory keeps it across changes of the entries, so it may point
    // past their end until the pointer moves.
    std::optional<qsizetype> hoveredIndex() const { return m_hoveredIndex; }
    void setHoveredIndex(std::optional<qsizetype> index);

    static constexpr double kLabelWidth = 44;
    static const QStringList &laneLabels();

    QSize sizeHint() const override { return {544, 50}; }
    QSize minimumSizeHint() const override { return {120, 50}; }

Q_SIGNALS:
    void hoveredIndexChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void refreshToolTip();
    // What a click on a mark does: hands its event to the caller.
    void pick(qsizetype index);

    Select m_onSelect;
    std::vector<TrajectoryTimelineEntry> m_entries;
    std::optional<QString> m_selectedId;
    QString m_query;
    std::vector<bool> m_matching; // per entry, while searching
    std::optional<qsizetype> m_hoveredIndex;
};

} // namespace nbd
