#pragma once

#include <QWidget>

namespace nbd {

// The opaque sidebar-coloured background behind the left column (the translucent material of
// other desktops, made an opaque theme colour).
class SidebarMaterialBackground : public QWidget
{
    Q_OBJECT
public:
    explicit SidebarMaterialBackground(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace nbd
