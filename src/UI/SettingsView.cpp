#include "UI/SettingsView.h"

#include "UI/PlaceholderSupport.h"
#include "UI/Theme.h"

#include <QPainter>
#include <QUrl>
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

PluginOverlayHost::PluginOverlayHost(const QUrl &baseURL, QWidget *parent)
    : QWidget(parent)
    , m_baseURL(baseURL)
{
    setObjectName(u"plugin-overlay"_s);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
}

void PluginOverlayHost::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setFont(Fonts::caption());
    painter.setPen(Theme::tertiaryText());
    painter.drawText(rect().adjusted(0, 0, -12, -8), Qt::AlignRight | Qt::AlignBottom, u"插件界面（占位）"_s);
}

} // namespace nbd
