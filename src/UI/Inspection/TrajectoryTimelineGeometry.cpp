#include "UI/Inspection/TrajectoryTimelineGeometry.h"

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

TrajectoryTimelineGeometry TrajectoryTimelineGeometry::make(double width, double labelWidth, qsizetype entries)
{
    TrajectoryTimelineGeometry g;
    g.labelWidth = labelWidth;
    if (entries <= 0)
        return g;
    g.slot = std::max(width - labelWidth, 1.0) / double(entries);
    g.gap = std::min(0.12 * g.slot, 1.0);
    g.mark = std::max(std::min(g.slot - g.gap, 9.0), 2.0);
    g.inset = std::max((g.slot - g.mark) / 2, 0.0);
    return g;
}

QRectF TrajectoryTimelineGeometry::markRect(qsizetype index, qint64 lane) const
{
    return QRectF(slotX(index) + inset, kLaneStep * double(lane) + 7, mark, kMarkHeight);
}

std::optional<qsizetype> TrajectoryTimelineGeometry::indexAt(double x, double width, double labelWidth,
                                                             qsizetype entries)
{
    if (entries <= 0 || std::isnan(x) || x < labelWidth)
        return std::nullopt;
    double f = (x - labelWidth) / std::max(width - labelWidth, 1.0);
    if (std::isnan(f))
        return std::nullopt;
    f = std::clamp(f, 0.0, 0.999999);
    return qsizetype(double(entries) * f);
}

double TrajectoryTimelineGeometry::opacity(bool selected, bool hovered, bool searching, bool matching)
{
    if (selected || hovered)
        return 1.0;
    if (searching && !matching)
        return 0.14;
    return 0.78;
}

std::vector<qsizetype> TrajectoryTimelineGeometry::turnLines(const std::vector<TrajectoryTimelineEntry> &entries)
{
    std::vector<qsizetype> lines;
    std::optional<qint64> previous;
    for (qsizetype i = 0; i < qsizetype(entries.size()); ++i) {
        const auto &turn = entries[size_t(i)].turn();
        if (!turn)
            continue;
        if (previous && *previous != *turn)
            lines.push_back(i);
        previous = turn;
    }
    return lines;
}

QString TrajectoryTimelineGeometry::tooltip(const std::vector<TrajectoryTimelineEntry> &entries,
                                            std::optional<qsizetype> hovered)
{
    if (hovered && *hovered >= 0 && *hovered < qsizetype(entries.size()))
        return entries[size_t(*hovered)].title();
    return u"拖动日志前的轨迹总览"_s;
}

} // namespace nbd
