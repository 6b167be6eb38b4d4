#include "App/AppDelegate.h"
#include "App/ExposeReporter.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "App/UnresponsiveInstanceDialog.h"
#include "System/SingleInstance.h"
#include "UI/Shared/AppStartup.h"

#include <QApplication>
#include <QWindow>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char **argv)
{
    const nbd::ActivationToken launchToken = nbd::ActivationToken::fromEnvironment();
    nbd::prepareApplication();
    QApplication app(argc, argv);
    // One client per session: a second launch hands over to the running one and ends here.
    nbd::SingleInstance instance(QDBusConnection::sessionBus(), qEnvironmentVariable("XDG_RUNTIME_DIR"));
    switch (instance.claimOrHandOver(launchToken)) {
    case nbd::SingleInstance::Outcome::HandedOver:
        return 0;
    case nbd::SingleInstance::Outcome::HandOverFailed:
        std::fprintf(stderr, "Nimbrel Deck is already running but did not answer: %s\n",
                     qUtf8Printable(instance.lastError()));
        // Launched from a menu there is no terminal to read that line: say it on screen.
        nbd::finishApplicationSetup(app);
        nbd::unresponsiveInstanceDialog()->exec();
        return 1;
    case nbd::SingleInstance::Outcome::Primary:
        break;
    }
    nbd::finishApplicationSetup(app);

    nbd::AppDelegate delegate;
    nbd::nbd_nativeApp entry(&delegate);
    QObject::connect(&instance, &nbd::SingleInstance::activationRequested, &entry,
                     [&entry](const nbd::ActivationToken &token) { entry.activateFromLaunch(token); });

    delegate.applicationWillFinishLaunching();
    entry.showScenes();
    if (qEnvironmentVariableIntValue("NBD_STARTUP_REPORT") && entry.mainWindow()) {
        entry.mainWindow()->winId();
        entry.mainWindow()->windowHandle()->installEventFilter(new nbd::ExposeReporter(&app));
    }
    delegate.applicationDidFinishLaunching();

    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &delegate, [&delegate](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            delegate.applicationDidBecomeActive();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] { delegate.applicationWillTerminate(); });
    return app.exec();
}
