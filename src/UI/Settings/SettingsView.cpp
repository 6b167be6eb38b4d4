#include "UI/Settings/SettingsView.h"

#include "UI/Shared/PlaceholderSupport.h"

#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

SettingsView::SettingsView(AppModel *appModel, QWidget *parent)
    : QWidget(parent)
    , m_appModel(appModel)
{
    setObjectName(u"settings"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new PlaceholderSurface(u"设置（占位）"_s, PlaceholderSurface::Fill::Canvas, this));
}

} // namespace nbd
