#pragma once

#include "UI/Inspection/TrajectoryLedger.h"

#include <QColor>
#include <QFont>
#include <QStyledItemDelegate>

namespace nbd {

// Paints the ledger's rows on the table grid: 30-pt rows, a 122-pt event column, a 1-pt
// divider and the content column. Turn rows show the chevron, "TURN n", the listed event
// count and the turn's status; event rows the role, a status icon, title, summary and step.
class TrajectoryRowDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int kRowHeight = 30;
    static constexpr int kEventColumn = 122;

    // `hoveredRow` tells which row the pointer is over (-1: none); `chevronAngle` the angle of a
    // turn's chevron while its toggle animates (none: at rest, 0° collapsed, 90° expanded).
    using ChevronAngle = std::function<std::optional<qreal>(qint64 turn)>;
    TrajectoryRowDelegate(std::function<int()> hoveredRow, ChevronAngle chevronAngle, QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // The colours and symbol the rows use, by the event's role, error flag and title.
    static QColor roleColor(const TrajectoryEventSelection &event);
    // The status icon's symbol and colour; no symbol: the 12-pt slot stays empty.
    static std::optional<std::pair<QString, QColor>> statusIcon(const TrajectoryEventSelection &event);
    static QString turnStatusText(const TurnStatus &status);
    static QColor turnStatusColor(const TurnStatus &status);

    // Where an event row's content column puts its parts, and the texts as cut to fit.
    struct EventContent
    {
        QRectF icon;
        QFont titleFont;
        QString title;
        QRect titleRect;
        QFont summaryFont;
        QString summary; // empty: no room, or none
        QRect summaryRect;
        QString step; // empty: the event has no step
        QRect stepRect;
    };
    static EventContent eventContent(const QRect &rect, const TrajectoryEventSelection &event);

private:
    void paintTurn(QPainter *painter, const QRect &rect, const TrajectoryLedgerItem &item, qreal chevronAngle) const;
    void paintEvent(QPainter *painter, const QRect &rect, const TrajectoryEventSelection &event, bool selected,
                    bool hovered) const;

    std::function<int()> m_hoveredRow;
    ChevronAngle m_chevronAngle;
};

} // namespace nbd
