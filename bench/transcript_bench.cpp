// Figures of the conversation transcript over a long session, offscreen:
//
//   transcript.open_ms          showing a session of 10,000 items: rows built, the visible
//                               window measured and laid out, first paint
//   transcript.publish_p99_ms   GUI-thread time of one coalesced publish while 5,000 deltas a
//                               second stream for 10 s: the rows rebuilt and diffed, the
//                               touched row updated, the view kept at the end, and a full
//                               repaint of the visible transcript (an upper bound of what the
//                               event loop paints)
//   transcript.publish_p50_ms   the median of the same
//   transcript.publish_cpu_p50_ms, transcript.publish_cpu_p99_ms
//                               the GUI thread's own CPU time over the same span: what the
//                               publish costs however busy the machine is (a loaded machine
//                               stretches the wall-clock figures by the time the thread waits)
//   transcript.whole_publish_p50_ms, transcript.whole_publish_p99_ms
//                               the whole timer event of a publish: the session model's
//                               comparison of its items before the transcript's part included
//   transcript.publishes        publishes measured
//   transcript.live_widgets     the most row widgets alive at any time
//   transcript.rss_mb           resident memory at the end

#include "WidgetBenchSupport.h"
#include "SimSessions.h"
#include "TranscriptBenchSupport.h"
#include "Session/SessionModel.h"
#include "UI/Conversation/ConversationTranscript.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace nbd;
using namespace Qt::StringLiterals;
namespace events = nbd::sim::events;
using namespace nbd::bench;

namespace {

constexpr int kTurns = 5000; // a user message and a turn each: 10,000 items
constexpr int kDeltasPerSecond = 5000;
constexpr int kStreamSeconds = 10;
constexpr int kTickMs = 10;

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}



// Times the session model's coalescing timer: the whole of a publish on the GUI thread, the
// model's own comparison of its items included.
class TimingApp : public EventTimingApplication
{
public:
    using EventTimingApplication::EventTimingApplication;

    QObject *ticker = nullptr;
    bool published = false; // set by a publish inside the timer event
    std::vector<double> timerMs;

protected:
    bool times(QObject *receiver, QEvent *event) override
    {
        return event->type() == QEvent::Timer && receiver != ticker && qobject_cast<QTimer *>(receiver);
    }

    void timed(double ms) override
    {
        if (published)
            timerMs.push_back(ms);
        published = false;
    }
};



} // namespace

int main(int argc, char **argv)
{
    StartedApplication<TimingApp> app(argc, argv);

    auto model = SessionModel::create(u"bench"_s);
    Feeder feed(model.get());
    const QString words = u"The resolver now caches lookups; 读取配置并且测试 the value. "_s;
    for (int turn = 1; turn <= kTurns; ++turn) {
        feed.answeredTurn(turn, u"Question "_s + QString::number(turn) + u": "_s + words, words.repeated(1 + turn % 6));
    }
    const int streamingTurn = kTurns + 1;
    feed(events::turnStart(streamingTurn));
    feed(events::stepStart(streamingTurn, 1));
    feed(events::blockStart(streamingTurn, 1, 0));
    model->setRunning(true);
    while (model->isTranscriptPublishScheduled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    TranscriptWindow frame;
    auto &[window, transcript] = frame;

    // Timing hooks around the transcript's own handlers: connected before and after it.
    QElapsedTimer publishTimer;
    double publishCpuStart = 0;
    bool inPublish = false;
    QObject::connect(model.get(), &SessionModel::itemsChanged, [&] {
        publishTimer.start();
        publishCpuStart = threadCpuMs();
        inPublish = true;
    });

    QElapsedTimer open;
    open.start();
    transcript->setSession(model);
    window.repaint();
    const double openMs = msSince(open);

    std::vector<double> publishes;
    std::vector<double> publishCpu;
    int maxLive = transcript->list()->liveViewCount();
    QObject::connect(model.get(), &SessionModel::transcriptRevisionChanged, [&] {
        if (!inPublish)
            return;
        transcript->list()->viewport()->repaint();
        publishes.push_back(msSince(publishTimer));
        publishCpu.push_back(threadCpuMs() - publishCpuStart);
        app.published = true;
        inPublish = false;
        maxLive = std::max(maxLive, transcript->list()->liveViewCount());
    });

    int sent = 0;
    const int total = kDeltasPerSecond * kStreamSeconds;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    app.ticker = &ticker;
    ticker.setInterval(kTickMs);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        // Catch up to the rate the clock says, whatever the timer's jitter.
        const int due = std::min<int>(total, int(clock.elapsed() * kDeltasPerSecond / 1000));
        for (; sent < due; ++sent)
            feed(events::textDelta(streamingTurn, 1, 0, sent % 40 == 39 ? u"\n"_s : u"word "_s));
        if (sent >= total)
            ticker.stop();
    });
    ticker.start();
    while (ticker.isActive() || model->isTranscriptPublishScheduled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    std::sort(publishes.begin(), publishes.end());
    std::sort(app.timerMs.begin(), app.timerMs.end());
    std::sort(publishCpu.begin(), publishCpu.end());
    const auto pct = [](const std::vector<double> &v, double q) {
        return v.empty() ? 0.0 : v[std::min(v.size() - 1, size_t(double(v.size()) * q))];
    };
    print("transcript.open_ms", openMs);
    print("transcript.publish_p99_ms", pct(publishes, 0.99));
    print("transcript.publish_p50_ms", pct(publishes, 0.5));
    print("transcript.publish_cpu_p50_ms", pct(publishCpu, 0.5));
    print("transcript.publish_cpu_p99_ms", pct(publishCpu, 0.99));
    print("transcript.whole_publish_p50_ms", pct(app.timerMs, 0.5));
    print("transcript.whole_publish_p99_ms", pct(app.timerMs, 0.99));
    print("transcript.publishes", double(publishes.size()));
    print("transcript.live_widgets", maxLive);
    print("transcript.rss_mb", rssMb());
    return 0;
}
