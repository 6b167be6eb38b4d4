#include "UI/Inspection/TrajectoryTimelineOverview.h"

#include "UI/Inspection/TrajectoryTimelineGeometry.h"
#include "UI/Inspection/InspectorMetrics.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Theme.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

QColor laneColor(const TrajectoryTimelineEntry &entry)
{
    if (entry.isError())
        return Theme::systemRed();
    switch (entry.lane) {
    case 0: return Theme::brand();
    case 1: return QColor::fromRgbF(0.66f, 0.34f, 0.52f);
    default: return Theme::warning();
    }
}

} // namespace

TrajectoryTimelineOverview::TrajectoryTimelineOverview(Select onSelect, QWidget *parent)
    : QWidget(parent)
    , m_onSelect(std::move(onSelect))
{
    setObjectName(u"trajectory-timeline"_s);
    setAccessibleName(u"轨迹时间线"_s);
    setMouseTracking(true);
    setFixedHeight(int(TrajectoryTimelineGeometry::kHeight));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    refreshToolTip();

    // Each mark reads as its event's title in its lane and picks the event as a click does.
    Accessibility::Rows rows;
    rows.count = [this] { return int(m_entries.size()); };
    rows.name = [this](int i) { return m_entries[size_t(i)].title(); };
    rows.description = [this](int i) {
        const qint64 lane = m_entries[size_t(i)].lane;
        return lane >= 0 && lane < laneLabels().size() ? laneLabels()[lane] : QString();
    };
    rows.rect = [this](int i) {
        const auto g = TrajectoryTimelineGeometry::make(width(), kLabelWidth, qsizetype(m_entries.size()));
        return g.markRect(i, m_entries[size_t(i)].lane).toAlignedRect();
    };
    rows.state = [this](int i) {
        Accessibility::RowState state;
        state.selectable = true;
        state.selected = m_selectedId && m_entries[size_t(i)].idEquals(*m_selectedId);
        return state;
    };
    rows.rowAt = [this](QPoint point) {
        const auto i = TrajectoryTimelineGeometry::indexAt(point.x(), width(), kLabelWidth, qsizetype(m_entries.size()));
        return i ? int(*i) : -1;
    };
    rows.activate = [this](int i) { pick(i); };
    Accessibility::describeRows(this, QAccessible::List, std::move(rows));
}

void TrajectoryTimelineOverview::pick(qsizetype index)
{
    if (index >= 0 && index < qsizetype(m_entries.size()) && m_onSelect)
        m_onSelect(m_entries[size_t(index)].event());
}

const QStringList &TrajectoryTimelineOverview::laneLabels()
{
    static const QStringList labels{u"Input"_s, u"Model"_s, u"Tools"_s};
    return labels;
}

void TrajectoryTimelineOverview::setEntries(std::vector<TrajectoryTimelineEntry> entries, std::vector<bool> matching,
                                            const QString &query)
{
    m_entries = std::move(entries);
    setSearch(query, std::move(matching));
    refreshToolTip();
    update();
}

void TrajectoryTimelineOverview::setSelectedEventId(std::optional<QString> id)
{
    if (id == m_selectedId)
        return;
    m_selectedId = std::move(id);
    update();
}

void TrajectoryTimelineOverview::setSearch(const QString &query, std::vector<bool> matching)
{
    m_query = query;
    m_matching.clear();
    // An answer that does not cover every entry fades none of them.
    if (!m_query.isEmpty() && matching.size() == m_entries.size())
        m_matching = std::move(matching);
    update();
}

void TrajectoryTimelineOverview::setHoveredIndex(std::optional<qsizetype> index)
{
    if (index == m_hoveredIndex)
        return;
    m_hoveredIndex = index;
    refreshToolTip();
    update();
    Q_EMIT hoveredIndexChanged();
}

void TrajectoryTimelineOverview::refreshToolTip()
{
    setToolTip(shownAsPlainText(TrajectoryTimelineGeometry::tooltip(m_entries, m_hoveredIndex)));
}

void TrajectoryTimelineOverview::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double w = width();
    const double h = height();
    painter.fillRect(rect(), Theme::inset());

    painter.setFont(Fonts::system(9));
    painter.setPen(Theme::secondaryText());
    const QStringList &labels = laneLabels();
    for (qsizetype i = 0; i < labels.size(); ++i) {
        const double cy = TrajectoryTimelineGeometry::labelCentreY(i);
        painter.drawText(QRectF(0, cy - 7, kLabelWidth - 4, 14), Qt::AlignRight | Qt::AlignVCenter, labels[i]);
    }
    const QColor strong = Theme::strongHairline();
    auto verticalLine = [&](double x) { painter.fillRect(QRectF(x, 0, 1, h), strong); };
    verticalLine(kLabelWidth);

    if (m_entries.empty()) {
        painter.setFont(Fonts::system(10));
        painter.setPen(Theme::secondaryText());
        const double cx = kLabelWidth + (w - kLabelWidth) / 2;
        painter.drawText(QRectF(cx - 200, 25 - 10, 400, 20), Qt::AlignCenter, u"暂无轨迹数据"_s);
    } else {
        const qsizetype n = qsizetype(m_entries.size());
        const auto g = TrajectoryTimelineGeometry::make(w, kLabelWidth, n);
        const bool searching = !m_query.isEmpty();
        std::optional<qint64> previousTurn;
        painter.setPen(Qt::NoPen);
        for (qsizetype i = 0; i < n; ++i) {
            const TrajectoryTimelineEntry &entry = m_entries[size_t(i)];
            const double x = g.slotX(i);
            // The marks' events are not made whole to draw them.
            if (const std::optional<qint64> turn = entry.turn()) {
                if (previousTurn && *previousTurn != *turn)
                    verticalLine(x);
                previousTurn = turn;
            }
            const bool selected = m_selectedId && entry.idEquals(*m_selectedId);
            const bool hovered = m_hoveredIndex && *m_hoveredIndex == i;
            const bool matching = !searching || m_matching.empty() || m_matching[size_t(i)];
            QColor color = laneColor(entry);
            color.setAlphaF(float(color.alphaF() * TrajectoryTimelineGeometry::opacity(selected, hovered, searching, matching)));
            const QRectF mark = g.markRect(i, entry.lane);
            painter.setBrush(color);
            painter.drawRoundedRect(mark, 1, 1);
            if (selected || hovered) {
                QColor outline = selected ? Theme::brand() : Theme::primaryText();
                if (!selected)
                    outline.setAlphaF(outline.alphaF() * 0.45f); // of the primary colour as it is
                painter.setBrush(Qt::NoBrush);
                painter.setPen(QPen(outline, 1));
                painter.drawRoundedRect(mark.adjusted(-1.5, -1.5, 1.5, 1.5), 2, 2);
                painter.setPen(Qt::NoPen);
            }
        }
    }
    painter.fillRect(QRectF(0, h - 1, w, 1), strong);
}

void TrajectoryTimelineOverview::mouseMoveEvent(QMouseEvent *event)
{
    setHoveredIndex(TrajectoryTimelineGeometry::indexAt(event->position().x(), width(), kLabelWidth,
                                                        qsizetype(m_entries.size())));
    QWidget::mouseMoveEvent(event);
}

void TrajectoryTimelineOverview::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        const auto i = TrajectoryTimelineGeometry::indexAt(event->position().x(), width(), kLabelWidth,
                                                           qsizetype(m_entries.size()));
        if (i)
            pick(*i);
    }
    QWidget::mouseReleaseEvent(event);
}

void TrajectoryTimelineOverview::leaveEvent(QEvent *event)
{
    setHoveredIndex(std::nullopt);
    QWidget::leaveEvent(event);
}

} // namespace nbd
