#include "UI/Shared/ComposerControls.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"

#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kCompactHeight = 28;
constexpr int kCompactSymbol = 13;
constexpr int kCompactGap = 5;
constexpr int kChevronSize = 9;

QFont compactFont() { return Fonts::system(12, QFont::Medium); }

} // namespace

// ---- CompactMenuButton ----

CompactMenuButton::CompactMenuButton(const QString &toolTip, int horizontalPadding, QWidget *parent)
    : QAbstractButton(parent)
    , m_menu(new QMenu(this))
    , m_padding(horizontalPadding)
{
    setToolTip(plainToolTip(toolTip));
    setFont(compactFont());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, &CompactMenuButton::openMenu);
}

void CompactMenuButton::setFace(const QString &symbol, const QString &text)
{
    if (symbol == m_symbol && text == this->text())
        return;
    m_symbol = symbol;
    setText(text);
    setAccessibleName(text);
    updateGeometry();
    update();
}

void CompactMenuButton::openMenu()
{
    // popup() rather than exec(): the menu is filled in aboutToShow and the event loop keeps
    // running while it is open.
    m_menu->popup(mapToGlobal(QPoint(0, height() + 2)));
    // The row sits at the foot of the window: the menu opens upwards, over the transcript,
    // when the window has room for it there, rather than hanging past the window's lower edge.
    const int above = mapToGlobal(QPoint(0, -2)).y() - m_menu->height();
    if (m_menu->isVisible() && above >= window()->mapToGlobal(QPoint(0, 0)).y())
        m_menu->move(m_menu->x(), above);
}

QSize CompactMenuButton::sizeHint() const
{
    const QFontMetrics fm(font());
    int w = 2 * m_padding + fm.horizontalAdvance(text()) + kCompactGap + kChevronSize;
    if (!m_symbol.isEmpty())
        w += kCompactSymbol + kCompactGap;
    return {w, kCompactHeight};
}

QSize CompactMenuButton::minimumSizeHint() const { return sizeHint(); }

void CompactMenuButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CompactMenuButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CompactMenuButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        painter.setOpacity(0.5);
    if ((m_hovered || hasFocus()) && isEnabled()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawRoundedRect(QRectF(rect()).adjusted(0, 2, 0, -2), 7, 7);
    }
    const QColor secondary = Theme::secondaryText();
    qreal x = m_padding;
    if (!m_symbol.isEmpty()) {
        Icons::paint(&painter, QRectF(x, (height() - kCompactSymbol) / 2.0, kCompactSymbol, kCompactSymbol), m_symbol,
                     secondary);
        x += kCompactSymbol + kCompactGap;
    }
    const QFontMetrics fm(font());
    const int textWidth = fm.horizontalAdvance(text());
    painter.setFont(font());
    painter.setPen(secondary);
    painter.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
    x += textWidth + kCompactGap;
    Icons::paint(&painter, QRectF(x, (height() - kChevronSize) / 2.0, kChevronSize, kChevronSize), u"chevron.down"_s,
                 Theme::tertiaryText());
}

// ---- RoundSymbolButton ----

RoundSymbolButton::RoundSymbolButton(int diameter, int symbolSize, QWidget *parent)
    : QAbstractButton(parent)
    , m_diameter(diameter)
    , m_symbolSize(symbolSize)
{
    setFixedSize(diameter, diameter);
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void RoundSymbolButton::setSymbol(const QString &symbol)
{
    m_symbol = symbol;
    update();
}

void RoundSymbolButton::setHelp(const QString &help)
{
    setToolTip(plainToolTip(help));
    setAccessibleName(help);
}

void RoundSymbolButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange)
        update();
    QAbstractButton::changeEvent(event);
}

void RoundSymbolButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        painter.setOpacity(m_disabledOpacity);
    const QRectF circle = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_fill) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(*m_fill);
        painter.drawEllipse(circle);
    } else if ((underMouse() || hasFocus()) && isEnabled()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawEllipse(circle);
    }
    const qreal s = m_symbolSize;
    Icons::paint(&painter, QRectF((width() - s) / 2.0, (height() - s) / 2.0, s, s), m_symbol,
                 m_symbolColor.value_or(Theme::secondaryText()));
}

// ---- CardButton ----

CardButton::CardButton(const QString &text, Style style, QWidget *parent)
    : QPushButton(text, parent)
    , m_style(style)
{
    setFont(Fonts::system(12, style == Style::Prominent ? QFont::DemiBold : QFont::Normal));
    setCursor(Qt::PointingHandCursor);
    setAutoDefault(false);
}

QSize CardButton::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text()) + 24, std::max(26, fm.height() + 10)};
}

void CardButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        painter.setOpacity(0.45);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor textColor = Theme::primaryText();
    if (m_style == Style::Prominent) {
        QColor fill = m_tint.value_or(Theme::brand());
        if (isDown())
            fill = fill.darker(115);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(r, 6, 6);
        // White on the brand; the window colour on a primary-coloured fill.
        textColor = fill.lightnessF() > 0.6 ? Theme::canvas() : QColor(Qt::white);
    } else {
        painter.setPen(QPen(Theme::strongHairline(), 1));
        painter.setBrush(isDown() ? Theme::selection() : Theme::raised());
        painter.drawRoundedRect(r, 6, 6);
    }
    if (hasFocus()) {
        painter.setPen(QPen(Theme::brand(), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(r.adjusted(1, 1, -1, -1), 5, 5);
    }
    painter.setPen(textColor);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());
}

// ---- CenteredColumn ----

CenteredColumn::CenteredColumn(QWidget *child, int maxWidth, int margin, QWidget *parent)
    : QWidget(parent)
    , m_child(child)
    , m_maxWidth(maxWidth)
    , m_margin(margin)
{
    child->setParent(this);
    child->installEventFilter(this);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int CenteredColumn::childWidth(int width) const
{
    return std::max(0, std::min(m_maxWidth, width - 2 * m_margin));
}

int CenteredColumn::heightForWidth(int width) const
{
    if (m_child->isHidden())
        return 0;
    const int w = childWidth(width);
    if (m_child->hasHeightForWidth())
        return m_child->heightForWidth(w);
    return m_child->sizeHint().height();
}

QSize CenteredColumn::sizeHint() const
{
    const int w = std::min(m_maxWidth, std::max(m_child->sizeHint().width(), 0)) + 2 * m_margin;
    return {w, heightForWidth(w)};
}

QSize CenteredColumn::minimumSizeHint() const
{
    return {2 * m_margin + m_child->minimumSizeHint().width(), 0};
}

void CenteredColumn::resizeEvent(QResizeEvent *event)
{
    const int w = childWidth(event->size().width());
    m_child->setGeometry((event->size().width() - w) / 2, 0, w, event->size().height());
    QWidget::resizeEvent(event);
}

bool CenteredColumn::event(QEvent *event)
{
    if (event->type() == QEvent::LayoutRequest) {
        updateGeometry();
        const int w = childWidth(width());
        m_child->setGeometry((width() - w) / 2, 0, w, height());
    }
    return QWidget::event(event);
}

bool CenteredColumn::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_child && (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Show
                               || event->type() == QEvent::Hide))
        updateGeometry();
    return QWidget::eventFilter(watched, event);
}

} // namespace nbd
