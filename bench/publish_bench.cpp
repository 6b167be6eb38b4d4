// Figures of the session model: transcript publishes under a steady stream of text deltas
// into a long transcript, and the time to open a session with a very large newest page.
//
//   publish.per_s               transcript publishes per second under 5,000 deltas/s
//   publish.main_thread_p99_ms  99th percentile of the main-thread time of one publish
//   open.100k_ms                fetch, decode, fold and publish of a 100,000-event page
//   open.max_block_ms           longest main-thread event dispatch while opening
//
// The simulated host runs on its own thread, so its encoding does not count as the
// client's main-thread time.

#include "SimHost.h"
#include "SimSessions.h"
#include "Session/SessionModel.h"
#include "Wire/WireClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace nbd;
using namespace nbd::sim;
using namespace Qt::StringLiterals;

namespace {

// Times every event the main thread dispatches.
class TimingApp : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (QThread::currentThread() != thread() || m_depth > 0)
            return QCoreApplication::notify(receiver, event);
        // Classified before dispatch: the receiver may be gone after it.
        const bool publishTimer = event->type() == QEvent::Timer && receiver != driver && qobject_cast<QTimer *>(receiver);
        ++m_depth;
        QElapsedTimer t;
        t.start();
        const bool result = QCoreApplication::notify(receiver, event);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        --m_depth;
        maxBlockMs = std::max(maxBlockMs, ms);
        if (publishTimer)
            publishTimerMs.push_back(ms);
        return result;
    }

    double maxBlockMs = 0;
    std::vector<double> publishTimerMs;
    QObject *driver = nullptr;

private:
    int m_depth = 0;
};

void print(const char *name, double value)
{
    std::printf("%s: %.2f\n", name, value);
    std::fflush(stdout);
}

JSONValue numbered(JSONValue draft, qint64 seq)
{
    return JSONValue::object({{u"event"_s, draft.with(u"seq"_s, JSONValue(seq)).with(u"time"_s, JSONValue(double(seq)))}});
}

// A page of whole streamed turns: a user message, the turn's deltas, the final message.
JSONValue streamedPage(int eventCount)
{
    JSONValue::Elements events;
    events.reserve(size_t(eventCount) + 64);
    qint64 seq = 0;
    for (qint64 turn = 1; qint64(events.size()) < eventCount; ++turn) {
        events.push_back(numbered(events::userMessage(u"u"_s + QString::number(turn), u"请看一下这个文件"_s), ++seq));
        events.push_back(numbered(events::turnStart(turn), ++seq));
        events.push_back(numbered(events::stepStart(turn, 1), ++seq));
        events.push_back(numbered(events::blockStart(turn, 1, 0), ++seq));
        QString text;
        for (int i = 0; i < 40; ++i) {
            const QString piece = u"片段 word "_s + QString::number(i) + u' ';
            text += piece;
            events.push_back(numbered(events::textDelta(turn, 1, 0, piece), ++seq));
        }
        events.push_back(numbered(events::assistantMessage(turn, 1, text), ++seq));
        events.push_back(numbered(events::turnEnd(turn), ++seq));
    }
    return JSONValue::object({{u"events"_s, JSONValue::array(std::move(events))}, {u"hasMore"_s, JSONValue(false)}});
}

// A page of `rows` user messages, then an open turn whose text block is streaming.
JSONValue longTranscriptPage(int rows)
{
    JSONValue::Elements events;
    qint64 seq = 0;
    for (int i = 0; i < rows - 1; ++i)
        events.push_back(numbered(events::userMessage(u"u"_s + QString::number(i), u"消息 message "_s + QString::number(i)), ++seq));
    events.push_back(numbered(events::turnStart(1), ++seq));
    events.push_back(numbered(events::stepStart(1, 1), ++seq));
    events.push_back(numbered(events::blockStart(1, 1, 0), ++seq));
    return JSONValue::object({{u"events"_s, JSONValue::array(std::move(events))}, {u"hasMore"_s, JSONValue(false)}});
}

// Runs the model's first load to its end.
void open(SessionModel &model, const WireClient &client)
{
    QEventLoop loop;
    QObject::connect(&model, &SessionModel::historyLoadedChanged, &loop, &QEventLoop::quit);
    model.loadInitialHistory(client, std::nullopt);
    if (!model.historyLoaded())
        loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    TimingApp app(argc, argv);

    // The simulated host on its own thread.
    QThread hostThread;
    hostThread.start();
    QObject hostContext;
    hostContext.moveToThread(&hostThread);
    std::unique_ptr<SimHost> host;
    QUrl baseUrl;
    QMetaObject::invokeMethod(
        &hostContext,
        [&] {
            host = std::make_unique<SimHost>();
            host->listen(0);
            baseUrl = host->baseUrl();
            const JSONValue big = streamedPage(100000);
            const JSONValue longPage = longTranscriptPage(10000);
            host->setHandler(u"session.history"_s, [big, longPage](const LoggedRequest &request) {
                const JSONValue *id = request.payload.find(u"sessionId");
                return Reply::value(id && id->string() == u"big"_s ? big : longPage);
            });
        },
        Qt::BlockingQueuedConnection);

    WireSession session;
    const WireClient client(baseUrl, &session);

    // ---- Opening a session with a 100,000-event page ----
    {
        auto model = SessionModel::create(u"big"_s);
        app.maxBlockMs = 0;
        QElapsedTimer t;
        t.start();
        open(*model, client);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        if (model->historyEntries().size() < 100000) {
            std::fprintf(stderr, "page not loaded (%zu entries)\n", model->historyEntries().size());
            return 1;
        }
        print("open.100k_ms", ms);
        print("open.max_block_ms", app.maxBlockMs);
        print("open.items", double(model->items().size()));
    }

    // ---- 5,000 deltas per second for 10 s into a 10,000-row transcript ----
    {
        auto model = SessionModel::create(u"long"_s);
        open(*model, client);
        if (model->items().size() < 10000) {
            std::fprintf(stderr, "transcript too short (%zu rows)\n", model->items().size());
            return 1;
        }
        const qint64 firstRevision = model->transcriptRevision();
        qint64 seq = model->fold().lastSeq;
        constexpr int kRatePerSecond = 5000;
        constexpr int kSeconds = 10;
        constexpr qint64 kTotal = qint64(kRatePerSecond) * kSeconds;
        qint64 sent = 0;

        QTimer driver;
        driver.setTimerType(Qt::PreciseTimer);
        driver.setInterval(1);
        app.driver = &driver;
        app.publishTimerMs.clear();
        QEventLoop loop;
        QElapsedTimer clock;
        QObject::connect(&driver, &QTimer::timeout, &driver, [&] {
            const qint64 due = std::min(kTotal, clock.elapsed() * kRatePerSecond / 1000);
            for (; sent < due; ++sent) {
                SessionEvent e;
                e.type = u"assistant/chunk"_s;
                e.seq = ++seq;
                e.data = JSONValue::object(
                    {{u"turn"_s, JSONValue(1)},
                     {u"step"_s, JSONValue(1)},
                     {u"chunk"_s, JSONValue::object({{u"type"_s, u"text-delta"_s}, {u"index"_s, JSONValue(0)}, {u"text"_s, u"字 "_s}})}});
                model->applyLive(e, std::nullopt);
            }
            if (sent >= kTotal) {
                driver.stop();
                loop.quit();
            }
        });
        clock.start();
        driver.start();
        loop.exec();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        // Let the last window close.
        QEventLoop settle;
        QTimer::singleShot(200, &settle, &QEventLoop::quit);
        settle.exec();

        const qint64 publishes = model->transcriptRevision() - firstRevision;
        std::vector<double> times = app.publishTimerMs;
        std::sort(times.begin(), times.end());
        const double p99 = times.empty() ? 0 : times[std::min(times.size() - 1, size_t(double(times.size()) * 0.99))];
        print("publish.per_s", double(publishes) / seconds);
        print("publish.main_thread_p99_ms", p99);
        print("publish.count", double(publishes));
        print("publish.deltas_per_s", double(sent) / seconds);
    }

    QMetaObject::invokeMethod(&hostContext, [&] { host.reset(); }, Qt::BlockingQueuedConnection);
    hostThread.quit();
    hostThread.wait();
    return 0;
}
