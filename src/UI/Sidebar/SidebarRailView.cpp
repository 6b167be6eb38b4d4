#include "UI/Sidebar/SidebarRailView.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"

#include <QEnterEvent>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {
bool insideCircle(const QWidget *w, const QPoint &pos)
{
    const QPointF c(w->width() / 2.0, w->height() / 2.0);
    const qreal r = qMin(w->width(), w->height()) / 2.0;
    const QPointF d = QPointF(pos) - c;
    return d.x() * d.x() + d.y() * d.y() <= r * r;
}
} // namespace

RailButton::RailButton(const QString &accessibleName, QWidget *parent) : QAbstractButton(parent)
{
    setFixedSize(36, 36);
    setAccessibleName(accessibleName);
    setFocusPolicy(Qt::NoFocus);
}

void RailButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void RailButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

bool RailButton::hitButton(const QPoint &pos) const { return insideCircle(this, pos); }

RailIconButton::RailIconButton(const QString &icon, const QString &help, std::function<void()> action, QWidget *parent,
                               HoverFill hoverFill)
    : RailButton(help, parent)
    , m_icon(icon)
    , m_hoverFill(hoverFill)
{
    setToolTip(plainToolTip(help));
    if (action)
        connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] { action(); });
}

void RailIconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isHovered() && m_hoverFill == HoverFill::Circle) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::hover());
        painter.drawEllipse(QRectF(rect()));
    }
    // Plain buttons draw their symbol in the primary foreground colour.
    const qreal side = 18;
    Icons::paint(&painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side), m_icon,
                 Theme::primaryText());
}

RailLogoButton::RailLogoButton(QWidget *parent) : RailButton(u"展开侧栏"_s, parent) { setToolTip(u"展开侧栏"_s); }

QString RailLogoButton::symbolName() const { return isHovered() ? u"sidebar.left"_s : u"app-icon"_s; }

void RailLogoButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isHovered()) {
        const qreal side = 19;
        Icons::paint(&painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side), u"sidebar.left"_s,
                     Theme::primaryText());
    } else {
        const int side = 24;
        painter.drawPixmap((width() - side) / 2, (height() - side) / 2, Icons::appPixmap(side, devicePixelRatioF()));
    }
}

SidebarRailView::SidebarRailView(SessionDirectory *directory, std::function<void()> onExpand, std::function<void()> onSearch,
                                 std::function<void()> openSettings, QWidget *parent)
    : QWidget(parent)
    , m_directory(directory)
    , m_onExpand(std::move(onExpand))
    , m_onSearch(std::move(onSearch))
    , m_openSettings(std::move(openSettings))
{
    setObjectName(u"sidebar-rail"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 10);
    layout->setSpacing(12);

    auto *logo = new RailLogoButton(this);
    logo->setObjectName(u"rail-expand"_s);
    connect(logo, &QAbstractButton::clicked, this, [this] {
        if (m_onExpand)
            m_onExpand();
    });
    auto *newSession = new RailIconButton(u"square.and.pencil"_s, u"新建会话"_s, [this] {
        startCreateSession(m_directory);
    }, this);
    newSession->setObjectName(u"rail-new-session"_s);
    auto *search = new RailIconButton(u"magnifyingglass"_s, u"展开并搜索"_s, [this] {
        if (m_onSearch)
            m_onSearch();
    }, this);
    search->setObjectName(u"rail-search"_s);
    auto *settings = new RailIconButton(u"gearshape"_s, u"设置"_s, [this] {
        if (m_openSettings)
            m_openSettings();
    }, this, RailIconButton::HoverFill::None);
    settings->setObjectName(u"rail-settings"_s);

    layout->addWidget(logo, 0, Qt::AlignHCenter);
    layout->addWidget(newSession, 0, Qt::AlignHCenter);
    layout->addWidget(search, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    layout->addWidget(settings, 0, Qt::AlignHCenter);
}

} // namespace nbd
