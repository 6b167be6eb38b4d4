// Memory of a session that streams for a long time: the session model is fed live events
// exactly as the store feeds it (JSON text of a frame, parsed and decoded, then applyLive),
// 100,000 text deltas of about 9 characters in 500 steps, each step finished by its final
// assistant message; then an older page is loaded, which folds everything again.
//
//   stream.retained_bytes_per_delta  heap bytes the process holds after the stream, above
//                                    what it held before, per delta
//   stream.rss_bytes_per_delta       growth of the resident set over the stream, per delta
//                                    (freed heap returned to the system first)
//   stream.text_bytes_per_delta      the streamed text itself in UTF-16, per delta, for scale
//   stream.feed_us_per_delta         main-thread time of one delta's decode and admission
//   stream.refold_ms_100k            loading the older page afterwards: fetch, fold of the
//                                    history and every kept live event, publish

#include "SimHost.h"
#include "TranscriptBenchSupport.h"
#include "SimSessions.h"
#include "Session/SessionModel.h"
#include "Wire/WireClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace nbd;
using namespace nbd::sim;
using namespace Qt::StringLiterals;
using nbd::bench::heapBytes;
using nbd::bench::print;
using nbd::bench::residentBytes;

namespace {

constexpr int kTurns = 50;
constexpr int kStepsPerTurn = 10;
constexpr int kDeltasPerStep = 200;
constexpr qint64 kDeltas = qint64(kTurns) * kStepsPerTurn * kDeltasPerStep;
const QString kSession = u"s1"_s;

template<class T>
void run(QCoro::Task<T> task)
{
    QEventLoop loop;
    bool done = false;
    auto wait = [](QCoro::Task<T> t, bool *flag, QEventLoop *l) -> QCoro::Task<void> {
        co_await std::move(t);
        *flag = true;
        l->quit();
    };
    wait(std::move(task), &done, &loop);
    if (!done)
        loop.exec();
}

// A live frame's event as the host writes it.
QByteArray frame(qint64 seq, const QByteArray &type, const QByteArray &data, const QByteArray &extra = {})
{
    return "{\"type\":\"" + type + "\",\"seq\":" + QByteArray::number(seq) + ",\"time\":" + QByteArray::number(seq)
         + ".5,\"data\":" + data + extra + '}';
}

QByteArray turnStep(qint64 turn, qint64 step)
{
    return "\"turn\":" + QByteArray::number(turn) + ",\"step\":" + QByteArray::number(step);
}

// About 9 characters, varied so that no two deltas share their text.
QByteArray deltaText(qint64 n)
{
    static const char *const words[] = {"the ", "file ", "value ", "checks ", "returns ", "a ", "path ", "now "};
    return QByteArray(words[n % 8]) + QByteArray::number(n % 1000) + ' ';
}

class Feeder
{
public:
    explicit Feeder(SessionModel &model, qint64 firstSeq) : m_model(model), m_seq(firstSeq) {}

    void feed(const QByteArray &type, const QByteArray &data, const QByteArray &extra = {})
    {
        const JSONValue value = parseJSON(frame(++m_seq, type, data, extra));
        m_model.applyLive(SessionEvent::fromLiveValue(value), std::nullopt);
    }
    qint64 seq() const { return m_seq; }

private:
    SessionModel &m_model;
    qint64 m_seq;
};

void stream(Feeder &feeder, double *feedNs)
{
    QElapsedTimer clock;
    qint64 delta = 0;
    for (qint64 turn = 1; turn <= kTurns; ++turn) {
        feeder.feed("turn/start", "{\"turn\":" + QByteArray::number(turn) + '}');
        for (qint64 step = 1; step <= kStepsPerTurn; ++step) {
            const QByteArray ts = turnStep(turn, step);
            feeder.feed("step/start", '{' + ts + '}');
            feeder.feed("assistant/chunk", '{' + ts + ",\"chunk\":{\"type\":\"block-start\",\"index\":0}}");
            QByteArray text;
            QByteArray sources;
            clock.start();
            for (int i = 0; i < kDeltasPerStep; ++i) {
                const QByteArray piece = deltaText(++delta);
                text += piece;
                feeder.feed("assistant/chunk", '{' + ts + ",\"chunk\":{\"type\":\"text-delta\",\"index\":0,\"text\":\"" + piece + "\"}}");
                sources += (sources.isEmpty() ? "" : ",") + QByteArray::number(feeder.seq());
            }
            *feedNs += double(clock.nsecsElapsed());
            const QByteArray block = "{\"type\":\"text\",\"text\":\"" + text + "\"}";
            feeder.feed("assistant/chunk", '{' + ts + ",\"chunk\":{\"type\":\"block-end\",\"index\":0,\"block\":" + block + "}}");
            sources += ',' + QByteArray::number(feeder.seq());
            feeder.feed("assistant/message",
                        '{' + ts + ",\"message\":{\"content\":[" + block + "]},\"usage\":{\"inputTokens\":1200,\"outputTokens\":"
                            + QByteArray::number(kDeltasPerStep) + "}}",
                        ",\"sourceEventSeqs\":[" + sources + ']');
            feeder.feed("step/end", '{' + ts + '}');
            // The coalesced publishes run as they do in the app.
            QCoreApplication::processEvents();
        }
        feeder.feed("turn/end", "{\"turn\":" + QByteArray::number(turn) + ",\"reason\":{\"kind\":\"completed\"}}");
    }
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    SimHost host;
    if (!host.listen(0)) {
        std::fprintf(stderr, "the simulated host cannot listen\n");
        return 1;
    }
    SimSessions sessions(host);
    for (int i = 1; i <= 40; ++i)
        sessions.append(kSession, JSONValue::object({{u"type"_s, u"user/message"_s},
                                                     {u"data"_s, JSONValue::object({{u"id"_s, u"u"_s + QString::number(i)},
                                                                                   {u"content"_s, JSONValue::array({JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, u"请看 message"_s}})})}})}}));
    WireSession wire;
    const WireClient client(host.baseUrl(), &wire);

    auto model = SessionModel::create(kSession);
    run(model->loadInitialHistory(client, std::nullopt));
    if (!model->historyLoaded() || !model->hasMoreHistory()) {
        std::fprintf(stderr, "the first page did not load\n");
        return 1;
    }

    // A short stream first, so that one-time allocations (caches, pools) are not counted.
    Feeder feeder(*model, model->fold().lastSeq);
    {
        for (int i = 0; i < 50; ++i)
            feeder.feed("session/title-llm-request", "{}");
    }
    ::malloc_trim(0);
    const double heapBefore = heapBytes();
    const double rssBefore = residentBytes();

    double feedNs = 0;
    stream(feeder, &feedNs);

    ::malloc_trim(0);
    const double heapAfter = heapBytes();
    const double rssAfter = residentBytes();
    print("stream.retained_bytes_per_delta", (heapAfter - heapBefore) / double(kDeltas));
    print("stream.rss_bytes_per_delta", (rssAfter - rssBefore) / double(kDeltas));
    print("stream.text_bytes_per_delta", 2.0 * double(deltaText(1).size()));
    print("stream.feed_us_per_delta", feedNs / double(kDeltas) / 1000.0);

    const std::vector<TranscriptItem> streamed = model->items();
    QElapsedTimer clock;
    clock.start();
    run(model->loadOlder(client));
    print("stream.refold_ms_100k", double(clock.nsecsElapsed()) / 1e6);

    // The older page adds its rows in front; everything streamed must be as it was.
    const std::vector<TranscriptItem> &after = model->items();
    if (model->historyEntries().size() != 40 || after.size() != streamed.size() + 20
        || !std::equal(streamed.begin(), streamed.end(), after.end() - qsizetype(streamed.size()))) {
        std::fprintf(stderr, "the refold changed the streamed rows (%zu rows before, %zu after)\n", streamed.size(),
                     after.size());
        return 1;
    }
    return 0;
}
