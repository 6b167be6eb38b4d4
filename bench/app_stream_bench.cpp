// Memory of the whole application while an agent streams: the app as main() starts it (the
// store, the main window with its sidebar and conversation, the tray and Quick Ask), attached
// to the simulated host, with the streaming session open in the window. The host, on its own
// thread, pushes 200 turns of one step each: 100 text deltas of about 9 characters at
// 2,000 deltas a second, then the block's end and the step's final assistant message, which
// names the deltas it covers.
//
//   stream.app_bytes_per_delta      heap bytes the process holds after the stream, above what
//                                   it held after two warm-up turns, per delta
//   stream.app_rss_bytes_per_delta  growth of the resident set over the same, per delta
//                                   (freed heap returned to the system first)
//   stream.app_text_bytes_per_delta the streamed text itself in UTF-16, per delta, for scale
//   stream.app_rows                 transcript rows at the end
//
// Run it with a session bus (dbus-run-session), as on a desktop: without one, the first D-Bus
// use tries to start a bus.

#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "Session/SessionModel.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/AppStartup.h"
#include "TranscriptBenchSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

using namespace nbd;
using namespace Qt::StringLiterals;
using nbd::bench::heapBytes;
using nbd::bench::print;
using nbd::bench::residentBytes;
namespace events = nbd::sim::events;

namespace {

constexpr int kWarmUpTurns = 2;
constexpr int kTurns = 200;
constexpr int kDeltasPerTurn = 100;
constexpr int kDeltasPerSecond = 2000;
constexpr qint64 kDeltas = qint64(kTurns) * kDeltasPerTurn;
const QString kSession = u"stream"_s;

// Runs the event loop until `done` holds; false when it does not within `ms`.
bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// About 9 characters, varied so that no two deltas share their text.
QString deltaText(qint64 n)
{
    static const char16_t *const words[] = {u"the ", u"file ", u"value ", u"checks ", u"returns ", u"a ", u"path ", u"now "};
    return QString::fromUtf16(words[n % 8]) + QString::number(n % 1000) + u' ';
}

JSONValue turnStepDraft(const QString &type, qint64 turn, qint64 step)
{
    return events::draft(type, JSONValue::object({{u"turn"_s, JSONValue(turn)}, {u"step"_s, JSONValue(step)}}));
}

// The events of one streamed turn, numbered from `seq` on, in the host's order.
class TurnScript
{
public:
    TurnScript(qint64 turn, qint64 firstDelta, qint64 *seq)
    {
        add(events::turnStart(turn), seq);
        add(events::stepStart(turn, 1), seq);
        add(events::blockStart(turn, 1, 0), seq);
        QString text;
        JSONValue::Elements sources;
        for (int i = 0; i < kDeltasPerTurn; ++i) {
            const QString piece = deltaText(firstDelta + i);
            text += piece;
            add(events::textDelta(turn, 1, 0, piece), seq);
            sources.emplace_back(*seq);
        }
        add(events::blockEndText(turn, 1, 0, text), seq);
        sources.emplace_back(*seq);
        add(events::assistantMessage(turn, 1, text).with(u"sourceEventSeqs"_s, JSONValue::array(std::move(sources))), seq);
        add(turnStepDraft(u"step/end"_s, turn, 1), seq);
        add(events::turnEnd(turn), seq);
    }
    const std::vector<JSONValue> &events() const { return m_events; }
    // Text deltas are pushed at the streaming rate; the events between them as they come.
    static bool isDelta(const JSONValue &event)
    {
        const JSONValue *data = event.find(u"data");
        const JSONValue *chunk = data ? data->find(u"chunk") : nullptr;
        const JSONValue *type = chunk ? chunk->find(u"type") : nullptr;
        return type && type->isString() && type->string() == u"text-delta"_s;
    }

private:
    void add(JSONValue draft, qint64 *seq)
    {
        ++*seq;
        m_events.push_back(draft.with(u"seq"_s, JSONValue(*seq)).with(u"time"_s, JSONValue(double(*seq) * 1000)));
    }
    std::vector<JSONValue> m_events;
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A private home: the app's settings name the simulated host; nothing of the user's is read.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(u"config"_s)));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(u"data"_s)));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath(u"cache"_s)));
    nbd::prepareApplication();
    QApplication app(argc, argv);

    // The simulated host on its own thread, so that its work is not the app's main-thread time.
    QThread hostThread;
    hostThread.start();
    QObject hostContext;
    hostContext.moveToThread(&hostThread);
    std::unique_ptr<sim::SimHost> host;
    std::unique_ptr<sim::SimWorld> world;
    QUrl baseUrl;
    QMetaObject::invokeMethod(
        &hostContext,
        [&] {
            host = std::make_unique<sim::SimHost>();
            if (!host->listen(0))
                return;
            baseUrl = host->baseUrl();
            world = std::make_unique<sim::SimWorld>(host.get());
            sim::SimWorld::Session session;
            session.id = kSession;
            session.updatedAt = 1000;
            session.running = true;
            session.cwd = u"/srv/project"_s;
            world->addSession(session);
            world->appendEvent(kSession, events::userMessage(u"u1"_s, u"请看一下这个文件"_s));
        },
        Qt::BlockingQueuedConnection);
    if (baseUrl.isEmpty()) {
        std::fprintf(stderr, "the simulated host cannot listen\n");
        return 1;
    }

    {
        QSettings settings(u"Nimbrel"_s, u"Nimbrel Deck"_s);
        settings.setValue(u"nbd.serverURL"_s, baseUrl.toString());
        settings.setValue(u"nbd.launchMode"_s, u"external"_s);
    }
    nbd::finishApplicationSetup(app);

    // As main() does, without the single-instance hand-over.
    AppDelegate delegate;
    nbd_nativeApp entry(&delegate);
    delegate.applicationWillFinishLaunching();
    entry.showScenes();
    delegate.applicationDidFinishLaunching();
    AppModel *store = entry.appModel();
    if (!entry.mainWindow() || !store) {
        std::fprintf(stderr, "no main window\n");
        return 1;
    }

    std::shared_ptr<SessionModel> model;
    const bool listed = waitUntil([&] {
        return std::any_of(store->sessions()->sessions().begin(), store->sessions()->sessions().end(),
                           [](const SessionSummary &s) { return s.sessionId == kSession; });
    }, 30000);
    if (listed)
        store->selection()->selectSession(kSession);
    auto *conversation = entry.mainWindow()->findChild<ConversationView *>();
    const bool opened = listed && conversation && waitUntil([&] {
        model = store->selection()->sessionModel(kSession);
        return model && model->historyLoaded() && conversation->shownSession() == model;
    }, 30000);
    if (!opened) {
        std::fprintf(stderr, "the session did not open\n");
        return 1;
    }

    qint64 seq = 1; // the user message
    qint64 delta = 0;
    // Pushes turns [first, end) at the streaming rate and waits until the session took them in.
    const auto stream = [&](int first, int end) {
        std::vector<JSONValue> queue;
        for (int turn = first; turn < end; ++turn) {
            TurnScript script(turn, delta, &seq);
            delta += kDeltasPerTurn;
            queue.insert(queue.end(), script.events().begin(), script.events().end());
        }
        size_t next = 0;
        qint64 deltasSent = 0;
        QElapsedTimer clock;
        clock.start();
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 due = clock.elapsed() * kDeltasPerSecond / 1000;
            std::vector<JSONValue> batch;
            while (next < queue.size() && (deltasSent < due || !TurnScript::isDelta(queue[next]))) {
                if (TurnScript::isDelta(queue[next]))
                    ++deltasSent;
                batch.push_back(std::move(queue[next++]));
            }
            if (!batch.empty()) {
                QMetaObject::invokeMethod(&hostContext, [&world, batch = std::move(batch)] {
                    for (const JSONValue &event : batch)
                        world->logs().pushEvent(kSession, event);
                });
            }
            if (next == queue.size())
                ticker.stop();
        });
        ticker.start();
        const qint64 last = seq;
        const bool took = waitUntil([&] { return !ticker.isActive() && model->fold().lastSeq == last
                                                 && !model->isTranscriptPublishScheduled(); }, 600000);
        // Widgets and replies that were let go are deleted on a later turn of the loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        return took;
    };

    if (!stream(1, 1 + kWarmUpTurns)) {
        std::fprintf(stderr, "the warm-up turns did not arrive\n");
        return 1;
    }
    const size_t rowsBefore = model->items().size();
    ::malloc_trim(0);
    const double heapBefore = heapBytes();
    const double rssBefore = residentBytes();

    if (!stream(1 + kWarmUpTurns, 1 + kWarmUpTurns + kTurns)) {
        std::fprintf(stderr, "the turns did not arrive (last seq %lld)\n", static_cast<long long>(model->fold().lastSeq));
        return 1;
    }
    ::malloc_trim(0);
    const double heapAfter = heapBytes();
    const double rssAfter = residentBytes();
    if (model->items().size() < rowsBefore + kTurns) {
        std::fprintf(stderr, "the turns are not all shown (%zu items)\n", model->items().size());
        return 1;
    }

    print("stream.app_bytes_per_delta", (heapAfter - heapBefore) / double(kDeltas));
    print("stream.app_rss_bytes_per_delta", (rssAfter - rssBefore) / double(kDeltas));
    print("stream.app_text_bytes_per_delta", 2.0 * double(deltaText(1).size()));
    print("stream.app_rows", double(conversation->transcript()->list()->entries().size()));

    QMetaObject::invokeMethod(&hostContext, [&] {
        world.reset();
        host.reset();
    }, Qt::BlockingQueuedConnection);
    hostThread.quit();
    hostThread.wait();
    return 0;
}
