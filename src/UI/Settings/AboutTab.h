#pragma once

#include <QWidget>

namespace nbd {

// The about page: names the client and points to the protocol and source references. Static:
// it reads nothing and has no controls.
class AboutTab : public QWidget
{
    Q_OBJECT
public:
    explicit AboutTab(QWidget *parent = nullptr);
};

} // namespace nbd
