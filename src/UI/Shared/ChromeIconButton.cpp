#include "UI/Shared/ChromeIconButton.h"

#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"

#include <QEnterEvent>
#include <QPainter>

namespace nbd {

ChromeIconButton::ChromeIconButton(const QString &systemName, const QString &help, std::optional<QColor> tint,
                                   std::function<void()> action, QWidget *parent)
    : QAbstractButton(parent)
    , m_systemName(systemName)
    , m_tint(tint)
{
    setFixedSize(28, 28);
    setToolTip(plainToolTip(help));
    setAccessibleName(help);
    setAccessibleDescription(help);
    setCursor(Qt::ArrowCursor);
    // Reached with Tab, but a click leaves the focus where it was.
    setFocusPolicy(Qt::TabFocus);
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
}

void ChromeIconButton::setSymbolName(const QString &name)
{
    m_systemName = name;
    update();
}

void ChromeIconButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void ChromeIconButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void ChromeIconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_hovered) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawRoundedRect(QRectF(rect()), 7, 7);
    }
    if (hasFocus()) {
        painter.setPen(QPen(Theme::brand(), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
    }
    // A 12 px semibold symbol: drawn a little larger than the text size, like a symbol font.
    const qreal side = 15;
    QColor tint = m_tint.value_or(Theme::secondaryText());
    if (!isEnabled())
        tint.setAlphaF(tint.alphaF() * 0.35f);
    Icons::paint(&painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side), m_systemName, tint);
}

} // namespace nbd
