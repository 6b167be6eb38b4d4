#include "UI/Shared/WebViewLibrary.h"

#include "Base/LogCategories.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QOpenGLContext>
#include <QSurfaceFormat>

// Exported by QtGui (declared in its private headers): the context every context made with
// Qt::AA_ShareOpenGLContexts shares with.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext *context);

namespace nbd::WebViewLibrary {

namespace {

constexpr auto kFileName = "libnimbrel_webview.so";

QtMessageHandler previousHandler = nullptr;

// Qt warns about any late change of the attribute, since it is read when GL contexts are
// made; here no context has been made yet, so that one warning is dropped.
void dropLateAttributeWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("AA_ShareOpenGLContexts")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

void deleteShareContext()
{
    delete QOpenGLContext::globalShareContext();
    qt_gl_set_global_share_context(nullptr);
}

// The web engine hands its frames to the widgets through GL contexts that share with one
// global context, which Qt would otherwise make at start-up for every run. It is made here,
// before the engine's library loads (the engine checks for it as it loads) and before any
// window composes a web view with GL. Where no GL is available the context stays invalid and
// the engine draws in software, as it does with the context made at start-up.
void prepareSharedGraphics()
{
    if (QOpenGLContext::globalShareContext())
        return;
    previousHandler = qInstallMessageHandler(dropLateAttributeWarning);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    qInstallMessageHandler(previousHandler);
    auto *context = new QOpenGLContext;
    context->setFormat(QSurfaceFormat::defaultFormat());
    context->create();
    qt_gl_set_global_share_context(context);
    // Post routines run last-added first: the engine's own clean-up, added when it starts,
    // runs before its share context goes.
    qAddPostRoutine(deleteShareContext);
}

QLibrary *library()
{
    static QLibrary *loaded = [] {
        prepareSharedGraphics();
        auto *result = new QLibrary;
        result->setLoadHints(QLibrary::PreventUnloadHint);
        for (const QString &path : candidates()) {
            if (!QFileInfo::exists(path))
                continue;
            result->setFileName(path);
            if (result->load())
                break;
        }
        return result;
    }();
    return loaded;
}

} // namespace

QStringList candidates()
{
    const QString installed = QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                              + QStringLiteral(NBD_WEBVIEW_RELATIVE_DIR) + QLatin1Char('/')
                                              + QLatin1String(kFileName));
    return {installed, QStringLiteral(NBD_WEBVIEW_BUILD_PATH)};
}

void *resolve(const char *symbol, const char *unavailable)
{
    QLibrary *lib = library();
    if (!lib->isLoaded()) {
        const QString reason = lib->fileName().isEmpty()
            ? QStringLiteral("%1 not found in %2").arg(QLatin1String(kFileName), candidates().join(QStringLiteral(", ")))
            : lib->errorString();
        qCWarning(lcUi, "%s: %s", unavailable, qPrintable(reason));
        return nullptr;
    }
    void *resolved = reinterpret_cast<void *>(lib->resolve(symbol));
    if (!resolved)
        qCWarning(lcUi, "%s: %s", unavailable, qPrintable(lib->errorString()));
    return resolved;
}

} // namespace nbd::WebViewLibrary
