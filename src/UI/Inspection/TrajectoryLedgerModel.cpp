#include "UI/Inspection/TrajectoryLedgerModel.h"

#include "Session/Transcript.h"

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

QString statusText(const TurnStatus &status)
{
    if (status.isRunning())
        return u"运行中"_s;
    return label(*status.endReason());
}

} // namespace

TrajectoryLedgerModel::TrajectoryLedgerModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int TrajectoryLedgerModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

const TrajectoryLedgerItem *TrajectoryLedgerModel::item(int row) const
{
    return row >= 0 && row < int(m_rows.size()) ? &m_rows[size_t(row)] : nullptr;
}

int TrajectoryLedgerModel::rowOf(const QString &id) const
{
    for (int i = 0; i < int(m_rows.size()); ++i) {
        if (m_rows[size_t(i)].idEquals(id))
            return i;
    }
    return -1;
}

QString TrajectoryLedgerModel::accessibleText(const TrajectoryLedgerItem &item) const
{
    if (item.isTurn()) {
        QString text = u"TURN "_s + QString::number(item.heading.turn) + u"，"_s
            + QString::number(item.heading.visibleCount) + u" 个事件，"_s + statusText(item.heading.status);
        if (m_collapsedTurns.contains(item.heading.turn))
            text += u"，已折叠"_s;
        return text;
    }
    const TrajectoryEventSelection &e = item.event();
    QString text = e.role + u' ' + e.title;
    if (!e.summary.isEmpty())
        text += u"，"_s + e.summary;
    if (e.step)
        text += u"，STEP "_s + QString::number(*e.step);
    if (e.isError)
        text += u"，失败"_s;
    if (m_selectedId && *m_selectedId == e.id)
        text += u"，已选中"_s;
    return text;
}

QVariant TrajectoryLedgerModel::data(const QModelIndex &index, int role) const
{
    const TrajectoryLedgerItem *row = index.isValid() ? item(index.row()) : nullptr;
    if (!row)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return accessibleText(*row);
    case ItemIdRole:
        return row->id();
    case IsTurnRole:
        return row->isTurn();
    case SelectedRole:
        return !row->isTurn() && m_selectedId && row->idEquals(*m_selectedId);
    case CollapsedRole:
        return row->isTurn() && m_collapsedTurns.contains(row->heading.turn);
    default:
        return {};
    }
}

void TrajectoryLedgerModel::rowChanged(int row)
{
    if (row >= 0 && row < int(m_rows.size()))
        Q_EMIT dataChanged(index(row), index(row));
}

void TrajectoryLedgerModel::setRows(std::vector<TrajectoryLedgerItem> rows)
{
    const qsizetype oldCount = qsizetype(m_rows.size());
    const qsizetype newCount = qsizetype(rows.size());
    qsizetype prefix = 0;
    while (prefix < oldCount && prefix < newCount && m_rows[size_t(prefix)].sameItem(rows[size_t(prefix)]))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < oldCount - prefix && suffix < newCount - prefix
           && m_rows[size_t(oldCount - 1 - suffix)].sameItem(rows[size_t(newCount - 1 - suffix)]))
        ++suffix;

    // Rows kept at both ends whose content changed (a streamed text, a finished turn).
    qsizetype firstChanged = -1;
    qsizetype lastChanged = -1;
    auto noteChange = [&](qsizetype newRow) {
        if (firstChanged < 0)
            firstChanged = newRow;
        lastChanged = newRow;
    };
    for (qsizetype i = 0; i < prefix; ++i) {
        if (!(m_rows[size_t(i)] == rows[size_t(i)]))
            noteChange(i);
    }

    const qsizetype oldMiddle = oldCount - prefix - suffix;
    const qsizetype newMiddle = newCount - prefix - suffix;
    if (oldMiddle > 0) {
        beginRemoveRows({}, int(prefix), int(prefix + oldMiddle - 1));
        m_rows.erase(m_rows.begin() + prefix, m_rows.begin() + prefix + oldMiddle);
        endRemoveRows();
    }
    if (newMiddle > 0) {
        beginInsertRows({}, int(prefix), int(prefix + newMiddle - 1));
        m_rows.insert(m_rows.begin() + prefix, std::make_move_iterator(rows.begin() + prefix),
                      std::make_move_iterator(rows.begin() + prefix + newMiddle));
        endInsertRows();
    }
    for (qsizetype i = 0; i < suffix; ++i) {
        const size_t at = size_t(newCount - suffix + i);
        if (!(m_rows[at] == rows[at]))
            noteChange(qsizetype(at));
    }
    // The kept rows take their new content; only the changed span is announced.
    for (qsizetype i = 0; i < prefix; ++i)
        m_rows[size_t(i)] = std::move(rows[size_t(i)]);
    for (qsizetype i = newCount - suffix; i < newCount; ++i)
        m_rows[size_t(i)] = std::move(rows[size_t(i)]);
    if (firstChanged >= 0)
        Q_EMIT dataChanged(index(int(firstChanged)), index(int(lastChanged)));
}

void TrajectoryLedgerModel::setSelectedId(std::optional<QString> id)
{
    if (id == m_selectedId)
        return;
    const int before = m_selectedId ? rowOf(*m_selectedId) : -1;
    m_selectedId = std::move(id);
    const int after = m_selectedId ? rowOf(*m_selectedId) : -1;
    rowChanged(before);
    rowChanged(after);
}

void TrajectoryLedgerModel::setCollapsedTurns(QSet<qint64> turns)
{
    if (turns == m_collapsedTurns)
        return;
    m_collapsedTurns = std::move(turns);
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0), index(int(m_rows.size()) - 1), {CollapsedRole, Qt::DisplayRole});
}

} // namespace nbd
