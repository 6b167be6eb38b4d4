#include "UI/Tools/WorkspaceWebPage.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QLibrary>
#include <QWidget>

namespace nbd {

namespace {

using Factory = WorkspaceWebPage *(*)(QWidget *);

Factory loadFactory()
{
    static Factory factory = []() -> Factory {
        // Beside the application first (an installed layout), else where the build put it.
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/libnimbrel_webview.so");
        QLibrary library(QFileInfo::exists(beside) ? beside : QStringLiteral(NBD_WEBVIEW_LIBRARY));
        library.setLoadHints(QLibrary::PreventUnloadHint);
        auto resolved = reinterpret_cast<Factory>(library.resolve("nbd_create_workspace_web_page"));
        if (!resolved)
            qWarning("Workspace browser unavailable: %s", qPrintable(library.errorString()));
        return resolved;
    }();
    return factory;
}

} // namespace

WorkspaceWebPage *createWorkspaceWebPage(QWidget *parent)
{
    // The web engine shares the GL context made at start-up, or makes one itself; where no GL
    // context can be made at all (no display, an X server without GLX) it would crash on its
    // first page, so the tab says the browser is unavailable instead.
    if (!QOpenGLContext::globalShareContext()) {
        static const bool canCreate = [] {
            if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
                return false;
            QOpenGLContext probe;
            return probe.create();
        }();
        if (!canCreate) {
            qWarning("Workspace browser unavailable: no OpenGL context can be created");
            return nullptr;
        }
    }
    const Factory factory = loadFactory();
    return factory ? factory(parent) : nullptr;
}

} // namespace nbd
