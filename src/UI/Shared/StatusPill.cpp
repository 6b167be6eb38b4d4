#include "UI/Shared/StatusPill.h"

#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QPainter>

namespace nbd {

namespace {
constexpr int kPillIconSize = 8;
constexpr int kPillSpacing = 3;
constexpr int kPillPadX = 7;
constexpr int kPillPadY = 3;
} // namespace

QColor StatusPill::color(Kind kind)
{
    switch (kind) {
    case Kind::Neutral:
        return Theme::secondaryText();
    case Kind::Success:
        return Theme::success();
    case Kind::Warning:
        return Theme::warning();
    case Kind::Danger:
        return Theme::systemRed();
    case Kind::Accent:
        return Theme::brand();
    }
    return Theme::secondaryText();
}

StatusPill::StatusPill(const QString &text, Kind kind, std::optional<QString> icon, QWidget *parent)
    : QWidget(parent)
    , m_text(text)
    , m_kind(kind)
    , m_icon(std::move(icon))
{
    setFont(Fonts::system(10, QFont::DemiBold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(text);
}

void StatusPill::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void StatusPill::setKind(Kind kind)
{
    m_kind = kind;
    update();
}

QSize StatusPill::sizeHint() const
{
    const QFontMetrics fm(font());
    int w = fm.horizontalAdvance(m_text);
    if (m_icon)
        w += kPillIconSize + kPillSpacing;
    return {w + 2 * kPillPadX, fm.height() + 2 * kPillPadY};
}

void StatusPill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = color(m_kind);
    QColor fill = tint;
    fill.setAlphaF(tint.alphaF() * 0.1f);
    const QRectF r = QRectF(rect());
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);

    qreal x = kPillPadX;
    if (m_icon) {
        Icons::paint(&painter, QRectF(x, (height() - kPillIconSize) / 2.0, kPillIconSize, kPillIconSize), *m_icon, tint);
        x += kPillIconSize + kPillSpacing;
    }
    painter.setPen(tint);
    painter.setFont(font());
    painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignLeft | Qt::AlignVCenter, m_text);
}

} // namespace nbd
