#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QDateTime>
#include <QWindow>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

// With NBD_STARTUP_REPORT=1 the app prints the wall-clock time at which the main window was
// first exposed, for the start-up benchmark.
class ExposeReporter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            auto *window = static_cast<QWindow *>(watched);
            if (window->isExposed()) {
                std::printf("window_exposed_epoch_ms: %lld\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
                std::fflush(stdout);
                window->removeEventFilter(this);
            }
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication::setOrganizationName(u"Nimbrel"_s);
    QApplication::setApplicationName(u"Nimbrel Deck"_s);
    QApplication::setDesktopFileName(u"dev.nimbrel.Deck"_s);
    // No Qt::AA_ShareOpenGLContexts: it makes QApplication create a global GL context at
    // start-up (about 60 MB resident with a software renderer) for every user, while only a
    // plugin page needs a web view, and the web view runs without it.
    QApplication app(argc, argv);
    app.setFont(nbd::Fonts::body());
    // A forced appearance recolours the stock widgets too; otherwise the desktop's palette
    // stays and decides the appearance.
    if (!qgetenv("NBD_APPEARANCE").isEmpty())
        QApplication::setPalette(nbd::Theme::palette(nbd::Theme::appearance()));

    nbd::AppDelegate delegate;
    nbd::nbd_nativeApp entry(&delegate);

    delegate.applicationWillFinishLaunching();
    entry.showScenes();
    if (qEnvironmentVariableIntValue("NBD_STARTUP_REPORT") && entry.mainWindow()) {
        entry.mainWindow()->winId();
        entry.mainWindow()->windowHandle()->installEventFilter(new ExposeReporter(&app));
    }
    delegate.applicationDidFinishLaunching();

    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &delegate, [&delegate](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            delegate.applicationDidBecomeActive();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] { delegate.applicationWillTerminate(); });
    return app.exec();
}
