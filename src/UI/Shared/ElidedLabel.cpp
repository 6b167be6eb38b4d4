#include "UI/Shared/ElidedLabel.h"

#include "UI/Shared/Theme.h"

#include <QEvent>
#include <QPainter>

namespace nbd {

ElidedLabel::ElidedLabel(const QString &text, Qt::TextElideMode mode, QWidget *parent)
    : QWidget(parent)
    , m_text(text)
    , m_mode(mode)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(text);
}

void ElidedLabel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void ElidedLabel::setColor(const QColor &color)
{
    setColor([color] { return color; });
}

void ElidedLabel::setColor(std::function<QColor()> color)
{
    m_color = std::move(color);
    update();
}

QString ElidedLabel::singleLine() const
{
    QString single = m_text;
    single.replace(u'\n', u' ');
    return single;
}

QString ElidedLabel::shownText() const { return fontMetrics().elidedText(singleLine(), m_mode, width()); }

QSize ElidedLabel::sizeHint() const { return {fontMetrics().horizontalAdvance(singleLine()) + 1, fontMetrics().height()}; }

QSize ElidedLabel::minimumSizeHint() const
{
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) * 2, fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(m_color ? m_color() : Theme::secondaryText());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

void ElidedLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}

} // namespace nbd
