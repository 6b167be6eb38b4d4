#pragma once

#include "AppModelTestSupport.h"
#include "App/AppDelegate.h"
#include "App/NativeApp.h"
#include "Store/AppModel.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"

#include <QSettings>
#include <QTest>

#include <memory>

namespace nbd::test {

// The application started the way main() starts it (the user's settings pointing at a simulated
// host of its own, in external mode), attached to that host. Call QStandardPaths' test mode
// first: the settings are the user's own.
struct LaunchedApp
{
    sim::SimHost host;
    sim::SimWorld world{&host};
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<nbd_nativeApp> entry;
    bool terminated = false;

    static void useHost(const sim::SimHost &host)
    {
        QSettings settings(QStringLiteral("Nimbrel"), QStringLiteral("Nimbrel Deck"));
        settings.clear();
        settings.setValue(QStringLiteral("nbd.serverURL"), host.baseUrl().toString());
        settings.setValue(QStringLiteral("nbd.launchMode"), QStringLiteral("external"));
        settings.sync();
    }

    // Call once the world holds its sessions; the caller then checks quickAsk() and connected().
    void launch()
    {
        useHost(host);
        delegate = std::make_unique<AppDelegate>();
        entry = std::make_unique<nbd_nativeApp>(delegate.get());
        delegate->applicationWillFinishLaunching();
        entry->showScenes();
        delegate->applicationDidFinishLaunching();
    }
    // A host with one session and the app launched against it and connected.
    void launchConnectedWithOneSession()
    {
        QVERIFY(host.listen());
        world.addSession(session(QStringLiteral("s1"), 1));
        launch();
        QVERIFY(quickAsk());
        QTRY_VERIFY_WITH_TIMEOUT(connected(), 20000);
    }
    // The ordered shutdown of a quit; also run when a test ends early.
    void terminate()
    {
        if (delegate && !terminated)
            delegate->applicationWillTerminate();
        terminated = true;
    }
    ~LaunchedApp()
    {
        terminate();
        entry.reset();
        QSettings(QStringLiteral("Nimbrel"), QStringLiteral("Nimbrel Deck")).clear();
    }
    QuickAskCoordinator *quickAsk() const { return delegate->quickAskCoordinator(); }
    AppModel *store() const { return entry->appModel(); }
    bool connected() const { return store()->connection()->phase().isConnected(); }
};

} // namespace nbd::test
