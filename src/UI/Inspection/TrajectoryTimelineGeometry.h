#pragma once

#include "UI/Inspection/TrajectoryLedger.h"

#include <QRectF>
#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// Where the overview strip puts its marks, and what the pointer over it stands for. Pure:
// the strip paints and hit-tests with these.
struct TrajectoryTimelineGeometry
{
    static constexpr double kHeight = 50;
    static constexpr double kLaneStep = 14;
    static constexpr double kMarkHeight = 8;

    double labelWidth = 44;
    double slot = 0;  // width of one entry's column
    double gap = 0;   // space kept between neighbouring marks
    double mark = 0;  // mark width, 2 to 9
    double inset = 0; // the mark's offset inside its slot

    // For n entries (n > 0) over a strip `width` wide.
    static TrajectoryTimelineGeometry make(double width, double labelWidth, qsizetype entries);

    // The slot's left edge and the mark's rectangle of entry i in a lane.
    double slotX(qsizetype index) const { return labelWidth + double(index) * slot; }
    QRectF markRect(qsizetype index, qint64 lane) const;
    // The vertical centre of lane k's label.
    static double labelCentreY(qsizetype lane) { return kLaneStep * double(lane) + 11; }

    // The entry whose slot holds x, or none (no entries, the gutter, not a number). A position
    // at or beyond the right edge stands for the last entry.
    static std::optional<qsizetype> indexAt(double x, double width, double labelWidth, qsizetype entries);

    // 1 for the selected or hovered mark; 0.14 for a mark the search does not match; else 0.78.
    static double opacity(bool selected, bool hovered, bool searching, bool matching);
    // The entries in front of which a turn line is drawn: those with a turn number that differs
    // from the last turn number seen before them. Entries without a turn change nothing.
    static std::vector<qsizetype> turnLines(const std::vector<TrajectoryTimelineEntry> &entries);
    // The hovered entry's title, or the strip's own hint when none (or a stale index) is hovered.
    static QString tooltip(const std::vector<TrajectoryTimelineEntry> &entries, std::optional<qsizetype> hovered);
};

} // namespace nbd
