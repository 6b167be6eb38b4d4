#include "UI/Shared/SidebarMaterialBackground.h"

#include "UI/Shared/Theme.h"

#include <QPainter>

namespace nbd {

SidebarMaterialBackground::SidebarMaterialBackground(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SidebarMaterialBackground::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::sidebar());
}

} // namespace nbd
