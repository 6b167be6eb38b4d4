#pragma once

#include "App/ContentView.h"
#include "SimHost.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Conversation/TranscriptRowViews.h"

#include <QSettings>
#include <QSize>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
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

// The main window against a simulated host with a world of its own, for tests that seed
// sessions, open the window and click through it: startHost() in init(), seed the world,
// openWindow(), stop() in cleanup().
class AppWindowHarness
{
public:
    void startHost()
    {
        host = std::make_unique<sim::SimHost>();
        QVERIFY(host->listen());
        world = std::make_unique<sim::SimWorld>(host.get());
    }

    void openWindow(QSize size) { openAppWindow(dir, *host, size, store, window); }

    // The window goes before its store, the world before the host it answers through.
    void stop()
    {
        window.reset();
        store.reset();
        world.reset();
        host.reset();
    }

    ConversationView *conversation() const { return window->findChild<ConversationView *>(); }

    // The session's row among the sidebar's recent sessions, while it is shown.
    QWidget *sessionRow(const QString &id) const
    {
        QWidget *row = window->findChild<QWidget *>(QStringLiteral("session-row-recent-") + id);
        return row && row->isVisible() ? row : nullptr;
    }

    // Waits for the session's row and clicks it `x` points in from its left edge.
    void clickSessionRow(const QString &id, int x = 20)
    {
        QWidget *row = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((row = sessionRow(id)), 20000);
        QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(x, row->height() / 2));
    }

    // The first live transcript row that passes `test`, null when none does.
    TranscriptRenderRowView *liveRowWhere(const std::function<bool(TranscriptRenderRowView *)> &test) const
    {
        for (TranscriptEntryView *view : conversation()->transcript()->list()->liveViews())
            if (auto *row = qobject_cast<TranscriptRenderRowView *>(view); row && test(row))
                return row;
        return nullptr;
    }

    QTemporaryDir dir;
    std::unique_ptr<sim::SimHost> host;
    std::unique_ptr<sim::SimWorld> world;
    std::unique_ptr<AppModel> store;
    std::unique_ptr<ContentView> window;
};

} // namespace nbd::test
