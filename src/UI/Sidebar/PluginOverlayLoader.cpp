#include "UI/Sidebar/PluginOverlayLoader.h"

#include "UI/Shared/WebViewLibrary.h"

#include <QWidget>

namespace nbd {

QWidget *createPluginOverlay(const QUrl &baseURL, QWidget *parent)
{
    using Factory = QWidget *(*)(const QUrl &, QWidget *);
    static const auto factory
        = reinterpret_cast<Factory>(WebViewLibrary::resolve("nbd_create_plugin_overlay", "Plugin overlay unavailable"));
    return factory ? factory(baseURL, parent) : nullptr;
}

} // namespace nbd
