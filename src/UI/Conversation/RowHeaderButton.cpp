#include "UI/Conversation/RowHeaderButton.h"

#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QVariantAnimation>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

RowHeaderButton::RowHeaderButton(QWidget *parent)
    : QAbstractButton(parent)
    , m_row(new QHBoxLayout(this))
{
    m_row->setContentsMargins(0, 0, 0, 0);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::ArrowCursor);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void RowHeaderButton::addPassive(QWidget *child, int stretch, Qt::Alignment alignment)
{
    child->setAttribute(Qt::WA_TransparentForMouseEvents);
    child->setFocusPolicy(Qt::NoFocus);
    m_row->addWidget(child, stretch, alignment);
}

void RowHeaderButton::setDisclosure(bool expandable, bool expanded)
{
    Accessibility::describe(this, QAccessible::Button, {.expandable = expandable, .expanded = expanded});
}

QSize RowHeaderButton::sizeHint() const { return m_row->sizeHint(); }
QSize RowHeaderButton::minimumSizeHint() const { return m_row->minimumSize(); }
bool RowHeaderButton::hasHeightForWidth() const { return m_row->hasHeightForWidth(); }
int RowHeaderButton::heightForWidth(int width) const
{
    return m_row->hasHeightForWidth() ? m_row->totalHeightForWidth(width) : sizeHint().height();
}

void RowHeaderButton::paintEvent(QPaintEvent *)
{
    if (!hasFocus() || focusPolicy() == Qt::NoFocus)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor ring = Theme::brand();
    ring.setAlphaF(0.5);
    painter.setPen(QPen(ring, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 5, 5);
}

// ---- ChevronView ----

ChevronView::ChevronView(int pointSize, int durationMs, QWidget *parent)
    : QWidget(parent)
    , m_pointSize(pointSize)
    , m_durationMs(durationMs)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString ChevronView::symbolName() const { return u"chevron.right"_s; }

QSize ChevronView::sizeHint() const { return {m_pointSize + 4, m_pointSize + 4}; }

void ChevronView::setTint(const QColor &tint)
{
    m_tint = tint;
    update();
}

void ChevronView::setOpacity(qreal opacity)
{
    if (qFuzzyCompare(opacity, m_opacity))
        return;
    m_opacity = opacity;
    update();
}

void ChevronView::setOpen(bool open, bool animated)
{
    if (open == m_open && !(m_animation && m_animation->state() == QAbstractAnimation::Running))
        return;
    m_open = open;
    const qreal target = open ? 90 : 0;
    if (!animated || Motion::reduceMotion() || !isVisible()) {
        if (m_animation)
            m_animation->stop();
        m_rotation = target;
        update();
        return;
    }
    if (!m_animation) {
        m_animation = new QVariantAnimation(this);
        m_animation->setEasingCurve(QEasingCurve::OutCubic);
        connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
            m_rotation = v.toReal();
            update();
        });
    }
    m_animation->stop();
    m_animation->setDuration(m_durationMs);
    m_animation->setStartValue(m_rotation);
    m_animation->setEndValue(target);
    m_animation->start();
}

void ChevronView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_opacity);
    const QPointF centre = QRectF(rect()).center();
    painter.translate(centre);
    painter.rotate(m_rotation);
    const qreal side = m_pointSize + 2;
    // Bold: the stroked symbol drawn twice, a hair apart.
    const QColor tint = m_tint.isValid() ? m_tint : Theme::quaternaryText();
    Icons::paint(&painter, QRectF(-side / 2, -side / 2, side, side), symbolName(), tint);
}

// ---- SymbolButton ----

SymbolButton::SymbolButton(const QString &symbol, const QString &help, QSize frame, int symbolSize, QWidget *parent)
    : QAbstractButton(parent)
    , m_symbol(symbol)
    , m_frame(frame)
    , m_symbolSize(symbolSize)
{
    setFixedSize(frame);
    setFocusPolicy(Qt::StrongFocus);
    setHelp(help);
}

void SymbolButton::setSymbolName(const QString &symbol)
{
    m_symbol = symbol;
    update();
}

void SymbolButton::setHelp(const QString &help)
{
    setToolTip(plainToolTip(help));
    setAccessibleName(help);
    setAccessibleDescription(help);
}

void SymbolButton::setTint(const QColor &tint)
{
    m_tint = tint;
    update();
}

void SymbolButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if ((m_hovered && isEnabled()) || hasFocus()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 5, 5);
    }
    QColor tint = m_tint.isValid() ? m_tint : Theme::secondaryText();
    if (!isEnabled())
        tint.setAlphaF(tint.alphaF() * 0.42);
    const QRectF box((width() - m_symbolSize) / 2.0, (height() - m_symbolSize) / 2.0, m_symbolSize, m_symbolSize);
    Icons::paint(&painter, box, m_symbol, tint);
}

void SymbolButton::enterEvent(QEnterEvent *event)
{
    QAbstractButton::enterEvent(event);
    m_hovered = true;
    update();
}

void SymbolButton::leaveEvent(QEvent *event)
{
    QAbstractButton::leaveEvent(event);
    m_hovered = false;
    update();
}

} // namespace nbd
