#include "UI/Inspection/SubagentReadOnlyComposer.h"

#include "UI/Shared/Icons.h"
#include "UI/Shared/SoftShadow.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kCardHeight = 58;
constexpr int kSideMargin = 24;
constexpr int kBottomMargin = 18;
constexpr int kShadowRadius = 14;
constexpr int kShadowOffset = 5;
// The card has no padding on top; the widget keeps only the room the shadow, spread by half
// its radius and moved down by its offset, needs above the card.
constexpr int kShadowTop = kShadowRadius / 2 - kShadowOffset;

bool isOneShot(const SelectedSubagent &selection)
{
    return selection.address.mode == u"one-shot";
}

} // namespace

SubagentReadOnlyComposer::SubagentReadOnlyComposer(SelectedSubagent selection, QWidget *parent)
    : QWidget(parent)
    , m_selection(std::move(selection))
    , m_card(new QWidget(this))
    , m_icon(new IconView(QString(), 14, m_card))
    , m_title(new QLabel(m_card))
    , m_explanation(new QLabel(m_card))
{
    setObjectName(u"subagent-read-only-composer"_s);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(kShadowTop + kCardHeight + kBottomMargin);
    m_icon->setFixedWidth(24);
    m_icon->setTint(Theme::secondaryText());
    m_title->setFont(Fonts::system(13, QFont::Medium));
    m_title->setTextFormat(Qt::PlainText);
    m_explanation->setFont(Fonts::system(11));
    m_explanation->setTextFormat(Qt::PlainText);
    QPalette p = m_explanation->palette();
    p.setColor(QPalette::WindowText, Theme::tertiaryText());
    m_explanation->setPalette(p);
    auto *row = new QHBoxLayout(m_card);
    row->setContentsMargins(15, 0, 15, 0);
    row->setSpacing(11);
    row->addWidget(m_icon, 0, Qt::AlignVCenter);
    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    column->addStretch(1);
    column->addWidget(m_title);
    column->addWidget(m_explanation);
    column->addStretch(1);
    row->addLayout(column, 1);
    refresh();
}

void SubagentReadOnlyComposer::setSelection(SelectedSubagent selection)
{
    m_selection = std::move(selection);
    refresh();
}

QString SubagentReadOnlyComposer::title() const
{
    return isOneShot(m_selection) ? u"单次子代理记录"_s : u"父会话当前不可用"_s;
}

QString SubagentReadOnlyComposer::explanation() const
{
    return isOneShot(m_selection) ? u"此执行记录只读"_s : u"恢复父会话后才能继续发送消息"_s;
}

QString SubagentReadOnlyComposer::symbolName() const
{
    return isOneShot(m_selection) ? u"doc.text.magnifyingglass"_s : u"link.badge.plus"_s;
}

void SubagentReadOnlyComposer::refresh()
{
    m_icon->setSymbolName(symbolName());
    m_title->setText(title());
    m_explanation->setText(explanation());
    setAccessibleName(title());
    setAccessibleDescription(explanation());
}

QSize SubagentReadOnlyComposer::sizeHint() const
{
    return {kMaxCardWidth + 2 * kSideMargin, kShadowTop + kCardHeight + kBottomMargin};
}

QRect SubagentReadOnlyComposer::cardRect() const
{
    const int width = std::min(kMaxCardWidth, std::max(0, this->width() - 2 * kSideMargin));
    return QRect((this->width() - width) / 2, kShadowTop, width, kCardHeight);
}

void SubagentReadOnlyComposer::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_card->setGeometry(cardRect());
}

void SubagentReadOnlyComposer::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = cardRect();
    // A soft shadow 5 pt below the card, fading over 14 pt.
    // Seven steps of 1 pt; the outermost one fades to nothing.
    paintSoftShadow(painter, card,
                    {.color = Theme::softShadow(), .opacity = 0.35, .first = 1, .last = kShadowRadius / 2 - 1,
                     .span = kShadowRadius / 2, .offsetY = kShadowOffset, .grow = {1, 1, 1, 1}, .radius = 16});
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::raised());
    painter.drawRoundedRect(card, 16, 16);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Theme::hairline(), 1));
    painter.drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), 15.5, 15.5);
}

} // namespace nbd
