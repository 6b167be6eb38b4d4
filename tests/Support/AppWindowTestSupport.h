#pragma once

#include "App/ContentView.h"
#include "SimHost.h"
#include "Store/AppModel.h"

#include <QSettings>
#include <QSize>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace nbd::test {

// The app's main window as start-up builds it: a store configured for the simulated host in
// external mode (its configuration file in `dir`), its window shown at `size`, then connecting.
// The caller owns both and checks QTest::currentTestFailed() afterwards.
inline void openAppWindow(const QTemporaryDir &dir, const sim::SimHost &host, QSize size,
                          std::unique_ptr<AppModel> &store, std::unique_ptr<ContentView> &window)
{
    auto settings = std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    settings->setValue(QStringLiteral("nbd.serverURL"), host.baseUrl().toString());
    settings->setValue(QStringLiteral("nbd.launchMode"), QStringLiteral("external"));
    store = std::make_unique<AppModel>(std::move(settings), false);
    window = std::make_unique<ContentView>(store.get());
    window->resize(size);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    store->connect();
}

} // namespace nbd::test
