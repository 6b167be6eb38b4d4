// Round trip of one prompt through the store against the simulated host on loopback: from
// the store's send to the host's echo of the user message folded into the session's
// transcript and published to its readers.
//
//   prompt.rtt_median_ms  median over 200 prompts
//   prompt.rtt_p99_ms     99th percentile over 200 prompts
//
// Each prompt waits for the previous run to end, so that it is echoed at once instead of
// queueing behind it.

#include "SimHost.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "Session/SessionModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPrompts = 200;

// Spins the event loop until the condition holds; false after the limit.
bool spinUntil(const std::function<bool()> &condition, int limitMs = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

qsizetype userMessages(const SessionModel &model)
{
    return std::count_if(model.items().begin(), model.items().end(),
                         [](const TranscriptItem &item) { return std::holds_alternative<UserMessageItem>(item); });
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    sim::SimHost host;
    if (!dir.isValid() || !host.listen()) {
        std::fprintf(stderr, "prompt_bench: no simulated host\n");
        return 1;
    }
    sim::SimWorld world(&host);
    sim::SimWorld::Session session;
    session.id = u"bench"_s;
    session.updatedAt = 1;
    world.addSession(session);
    world.setModels(session.id, sim::SimWorld::modelCatalogue(u"p"_s, u"m"_s));
    world.setSubagents(session.id, {});
    world.setScript(sim::SimWorld::textScript(u"ok"_s));

    auto settings = std::make_unique<QSettings>(dir.filePath(u"bench.ini"_s), QSettings::IniFormat);
    settings->setValue(u"nbd.serverURL"_s, host.baseUrl().toString());
    settings->setValue(u"nbd.launchMode"_s, u"external"_s);
    AppModel store(std::move(settings), false);
    store.connect();
    if (!spinUntil([&] { return store.connection()->phase().isConnected(); })) {
        std::fprintf(stderr, "prompt_bench: not connected\n");
        return 1;
    }
    store.selection()->selectSession(session.id);
    std::shared_ptr<SessionModel> model = store.selection()->sessionModel(session.id);
    if (!spinUntil([&] { return model && model->historyLoaded(); })) {
        std::fprintf(stderr, "prompt_bench: history not loaded\n");
        return 1;
    }

    std::vector<double> rtts;
    rtts.reserve(kPrompts);
    for (int i = 0; i < kPrompts; ++i) {
        const qsizetype before = userMessages(*model);
        QElapsedTimer t;
        t.start();
        store.sessionActions()->sendPrompt(u"prompt %1"_s.arg(i));
        if (!spinUntil([&] { return userMessages(*model) > before; })) {
            std::fprintf(stderr, "prompt_bench: prompt %d was not echoed\n", i);
            return 1;
        }
        rtts.push_back(double(t.nsecsElapsed()) / 1e6);
        if (!spinUntil([&] { return !world.isRunActive(session.id) && !model->running(); })) {
            std::fprintf(stderr, "prompt_bench: run %d did not end\n", i);
            return 1;
        }
    }
    if (store.errors()->transientError())
        std::fprintf(stderr, "prompt_bench: %s\n", qPrintable(*store.errors()->transientError()));

    std::printf("prompt.rtt_median_ms: %.3f\n", percentile(rtts, 0.5));
    std::printf("prompt.rtt_p99_ms: %.3f\n", percentile(rtts, 0.99));
    return 0;
}
