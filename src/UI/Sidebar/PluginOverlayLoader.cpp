#include "UI/Sidebar/PluginOverlayLoader.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QWidget>

namespace nbd {

namespace {

using Factory = QWidget *(*)(const QUrl &, QWidget *);

Factory loadFactory()
{
    static Factory factory = [] () -> Factory {
        // Beside the application first (an installed layout), else where the build put it.
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/libnimbrel_webview.so");
        QLibrary library(QFileInfo::exists(beside) ? beside : QStringLiteral(NBD_WEBVIEW_LIBRARY));
        library.setLoadHints(QLibrary::PreventUnloadHint);
        auto resolved = reinterpret_cast<Factory>(library.resolve("nbd_create_plugin_overlay"));
        if (!resolved)
            qWarning("Plugin overlay unavailable: %s", qPrintable(library.errorString()));
        return resolved;
    }();
    return factory;
}

} // namespace

QWidget *createPluginOverlay(const QUrl &baseURL, QWidget *parent)
{
    const Factory factory = loadFactory();
    return factory ? factory(baseURL, parent) : nullptr;
}

} // namespace nbd
