#include "UI/Inspection/TrajectoryRowDelegate.h"

#include "UI/Inspection/TrajectoryLedgerModel.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QFontMetrics>
#include <QPainter>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

TrajectoryRowDelegate::TrajectoryRowDelegate(std::function<int()> hoveredRow, ChevronAngle chevronAngle,
                                             QObject *parent)
    : QStyledItemDelegate(parent)
    , m_hoveredRow(std::move(hoveredRow))
    , m_chevronAngle(std::move(chevronAngle))
{
}

QColor TrajectoryRowDelegate::roleColor(const TrajectoryEventSelection &event)
{
    if (event.role == u"TOOL")
        return event.isError ? Theme::systemRed() : Theme::success();
    if (event.role == u"ASSISTANT")
        return Theme::brand();
    return Theme::secondaryText();
}

std::optional<std::pair<QString, QColor>> TrajectoryRowDelegate::statusIcon(const TrajectoryEventSelection &event)
{
    if (event.isError)
        return std::pair{u"xmark.circle.fill"_s, Theme::systemRed()};
    if (event.role == u"TOOL")
        return std::pair{u"checkmark.circle.fill"_s, Theme::success()};
    if (event.title == u"思考过程")
        return std::pair{u"brain"_s, Theme::tertiaryText()};
    return std::nullopt;
}

QString TrajectoryRowDelegate::turnStatusText(const TurnStatus &status)
{
    return status.isRunning() ? u"运行中"_s : label(*status.endReason());
}

QColor TrajectoryRowDelegate::turnStatusColor(const TurnStatus &status)
{
    if (status.isRunning())
        return Theme::brand();
    return *status.endReason() == TurnEndReason::completed ? Theme::secondaryText() : Theme::systemRed();
}

QSize TrajectoryRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width(), kRowHeight};
}

void TrajectoryRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const auto *model = qobject_cast<const TrajectoryLedgerModel *>(index.model());
    const TrajectoryLedgerItem *item = model ? model->item(index.row()) : nullptr;
    if (!item)
        return;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::TextAntialiasing);
    const QRect rect = option.rect;
    if (item->isTurn()) {
        const qint64 turn = item->heading.turn;
        const auto animated = m_chevronAngle ? m_chevronAngle(turn) : std::nullopt;
        paintTurn(painter, rect, *item, animated.value_or(model->isCollapsed(turn) ? 0 : 90));
    } else {
        const bool selected = model->selectedId() && *model->selectedId() == item->event().id;
        const bool hovered = m_hoveredRow && m_hoveredRow() == index.row();
        paintEvent(painter, rect, item->event(), selected, hovered);
    }
    // The grid: the column divider and the row's bottom line.
    painter->fillRect(QRect(rect.left() + kEventColumn, rect.top(), 1, rect.height()), Theme::hairline());
    painter->fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), Theme::hairline());
    painter->restore();
}

void TrajectoryRowDelegate::paintTurn(QPainter *painter, const QRect &rect, const TrajectoryLedgerItem &item,
                                      qreal chevronAngle) const
{
    painter->fillRect(rect, Theme::sidebar());
    QColor bar = Theme::brand();
    bar.setAlphaF(0.22f);
    painter->fillRect(QRect(rect.left(), rect.top(), 2, rect.height()), bar);

    // Event column, right-aligned: chevron, then "TURN n".
    const QFont turnFont = Fonts::monospaced(11, QFont::DemiBold);
    const QString turnText = u"TURN "_s + QString::number(item.heading.turn);
    const int textWidth = Fonts::textWidth(turnFont, turnText);
    const int right = rect.left() + kEventColumn - 8;
    const int textLeft = right - textWidth;
    const QColor secondary = Theme::secondaryText();
    const QRectF chevron(textLeft - 6 - 8, rect.center().y() - 3.5, 8, 8);
    painter->save();
    painter->translate(chevron.center());
    painter->rotate(chevronAngle);
    painter->translate(-chevron.center());
    Icons::paint(painter, chevron, u"chevron.right"_s, secondary);
    painter->restore();
    painter->setFont(turnFont);
    painter->setPen(secondary);
    painter->drawText(QRect(textLeft, rect.top(), textWidth, rect.height()), Qt::AlignVCenter | Qt::AlignLeft,
                      turnText);

    // Content column: the listed count, then the status at the trailing end.
    const QRect content(rect.left() + kEventColumn + 1 + 8, rect.top(), rect.width() - kEventColumn - 1 - 16,
                        rect.height());
    painter->setFont(Fonts::system(12));
    const QString status = turnStatusText(item.heading.status);
    const int statusWidth = Fonts::textWidth(painter->font(), status);
    painter->setPen(turnStatusColor(item.heading.status));
    painter->drawText(content, Qt::AlignVCenter | Qt::AlignRight, status);
    painter->setPen(Theme::tertiaryText());
    const QString count = QString::number(item.heading.visibleCount) + u" 个事件"_s;
    const QRect countRect = content.adjusted(0, 0, -(statusWidth + 8), 0);
    painter->drawText(countRect, Qt::AlignVCenter | Qt::AlignLeft,
                      QFontMetrics(painter->font()).elidedText(count, Qt::ElideRight, countRect.width()));
}

void TrajectoryRowDelegate::paintEvent(QPainter *painter, const QRect &rect, const TrajectoryEventSelection &event,
                                       bool selected, bool hovered) const
{
    painter->fillRect(rect, selected ? Theme::selection() : hovered ? Theme::hover() : Theme::panel());
    if (selected)
        painter->fillRect(QRect(rect.left(), rect.top(), 2, rect.height()), Theme::brand());

    // Event column: the role, right-aligned.
    painter->setFont(Fonts::monospaced(11, QFont::Medium));
    painter->setPen(roleColor(event));
    const QRect roleRect(rect.left() + 4, rect.top(), kEventColumn - 8 - 4, rect.height());
    painter->drawText(roleRect, Qt::AlignVCenter | Qt::AlignRight,
                      QFontMetrics(painter->font()).elidedText(event.role, Qt::ElideRight, roleRect.width()));

    const EventContent content = eventContent(rect, event);
    if (const auto icon = statusIcon(event))
        Icons::paint(painter, content.icon, icon->first, icon->second);
    if (!content.step.isEmpty()) {
        painter->setFont(Fonts::monospaced(10));
        painter->setPen(Theme::quaternaryText());
        painter->drawText(content.stepRect, Qt::AlignVCenter | Qt::AlignLeft, content.step);
    }
    painter->setFont(content.titleFont);
    painter->setPen(Theme::primaryText());
    painter->drawText(content.titleRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, content.title);
    if (!content.summary.isEmpty()) {
        painter->setFont(content.summaryFont);
        painter->setPen(Theme::tertiaryText());
        painter->drawText(content.summaryRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, content.summary);
    }
}

TrajectoryRowDelegate::EventContent TrajectoryRowDelegate::eventContent(const QRect &rect,
                                                                        const TrajectoryEventSelection &event)
{
    // Icon slot, title, summary, then "STEP n" at the trailing end.
    EventContent out;
    int x = rect.left() + kEventColumn + 1 + 8;
    int right = rect.right() - 8;
    out.icon = QRectF(x, rect.center().y() - 5.5, 12, 12);
    x += 12 + 8;
    if (event.step) {
        out.step = u"STEP "_s + QString::number(*event.step);
        const int w = Fonts::textWidth(Fonts::monospaced(10), out.step);
        out.stepRect = QRect(right - w, rect.top(), w, rect.height());
        right -= w + 4; // at least 4 pt before the step
    }
    const bool tool = event.role == u"TOOL";
    out.titleFont = tool ? Fonts::monospaced(12, QFont::Medium) : Fonts::system(12, QFont::Medium);
    out.summaryFont = tool ? Fonts::monospaced(12) : Fonts::system(12);
    // A row is one line high: a notice's title keeps its line breaks, shown as blanks. Only
    // the start of a long text can show in it, and only that is measured.
    const QString title = ElidedLabel::oneLine(rowText(event.title));
    const QString summary = ElidedLabel::oneLine(rowText(event.summary));
    const int available = std::max(0, right - x);
    int titleWidth = std::min(Fonts::textWidth(out.titleFont, title), available);
    // A summary needs more than 8 pt beside the title and its gap, or it is left out.
    if (!summary.isEmpty() && available - available * 3 / 5 - 8 > 8) {
        // A long title leaves the summary a share of the line.
        const int summaryNatural = Fonts::textWidth(out.summaryFont, summary);
        titleWidth = std::min(titleWidth, std::max(available * 3 / 5, available - summaryNatural - 8));
    }
    out.titleRect = QRect(x, rect.top(), titleWidth, rect.height());
    out.title = QFontMetrics(out.titleFont).elidedText(title, Qt::ElideRight, titleWidth);
    x += titleWidth + 8;
    const int summaryWidth = right - x;
    if (summaryWidth > 8 && !summary.isEmpty()) {
        out.summaryRect = QRect(x, rect.top(), summaryWidth, rect.height());
        out.summary = QFontMetrics(out.summaryFont).elidedText(summary, Qt::ElideRight, summaryWidth);
    }
    return out;
}

} // namespace nbd
