#pragma once

#include "UI/Inspection/TrajectoryLedger.h"

#include <QAbstractListModel>
#include <QSet>

#include <optional>
#include <vector>

namespace nbd {

// The ledger's rows for a list view. New rows are applied as a difference (the unchanged
// rows at both ends stay, the rest is replaced or updated in place) so that streaming output
// keeps the view's scroll position and hover. Also carries what the rows show of the view's
// state: the selected event and the collapsed turns.
class TrajectoryLedgerModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role { ItemIdRole = Qt::UserRole + 1, IsTurnRole, SelectedRole, CollapsedRole };

    explicit TrajectoryLedgerModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    void setRows(std::vector<TrajectoryLedgerItem> rows);
    const std::vector<TrajectoryLedgerItem> &rows() const { return m_rows; }
    const TrajectoryLedgerItem *item(int row) const;
    // The row of an item id, or -1.
    int rowOf(const QString &id) const;

    void setSelectedId(std::optional<QString> id);
    const std::optional<QString> &selectedId() const { return m_selectedId; }
    void setCollapsedTurns(QSet<qint64> turns);
    bool isCollapsed(qint64 turn) const { return m_collapsedTurns.contains(turn); }

    // The text a screen reader reads for a row: what it shows and its state.
    QString accessibleText(const TrajectoryLedgerItem &item) const;

private:
    void rowChanged(int row);

    std::vector<TrajectoryLedgerItem> m_rows;
    std::optional<QString> m_selectedId;
    QSet<qint64> m_collapsedTurns;
};

} // namespace nbd
