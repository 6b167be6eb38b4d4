#include "UI/Shared/PlaceholderSupport.h"

#include "UI/Shared/Theme.h"

#include <QPainter>

namespace nbd {

PlaceholderSurface::PlaceholderSurface(const QString &caption, Fill fill, QWidget *parent)
    : QWidget(parent)
    , m_caption(caption)
    , m_fill(fill)
{
    setAccessibleDescription(caption);
}

void PlaceholderSurface::setDetail(const QString &detail)
{
    if (m_detail == detail)
        return;
    m_detail = detail;
    update();
}

void PlaceholderSurface::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_fill == Fill::Canvas)
        painter.fillRect(rect(), Theme::canvas());
    else if (m_fill == Fill::Sidebar)
        painter.fillRect(rect(), Theme::sidebar());
    const QRect area = rect().adjusted(12, 0, -12, 0);
    if (area.width() <= 0)
        return;
    painter.setFont(Fonts::callout());
    painter.setPen(Theme::tertiaryText());
    const QFontMetrics fm(painter.font());
    QString text = m_caption;
    if (!m_detail.isEmpty())
        text += QLatin1Char('\n') + m_detail;
    const QRect bounds = fm.boundingRect(area, Qt::AlignCenter | Qt::TextWordWrap, text);
    painter.drawText(QRect(area.left(), (height() - bounds.height()) / 2, area.width(), bounds.height()),
                     Qt::AlignCenter | Qt::TextWordWrap, text);
}

} // namespace nbd
