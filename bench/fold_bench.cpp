// Live folding throughput and the size of the folded state, over a realistic mixed session
// log (text and reasoning deltas, tool calls and results, block ends, final messages, user
// messages, notices). Prints "name: value" lines.

#include "../tests/Support/SessionGenerator.h"
#include "Session/TranscriptFold.h"

#include <QCoreApplication>
#include <QTextStream>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>

using namespace nbd;
using namespace nbd::test;

namespace {

size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Folds the first `count` events into a fresh state; returns the seconds it took.
double foldOnce(const std::vector<GeneratedEvent> &events, size_t count, FoldState &state)
{
    state = FoldState();
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; ++i)
        TranscriptFold::fold(events[i].event, events[i].view, state);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double bestOf(int runs, const std::vector<GeneratedEvent> &events, size_t count, FoldState &state)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, foldOnce(events, count, state));
    return best;
}

// The text the state holds, as the events carried it: UTF-16 units and UTF-8 bytes.
struct TextSize
{
    qint64 utf16Bytes = 0;
    qint64 utf8Bytes = 0;

    void add(const QString &text)
    {
        utf16Bytes += 2 * text.size();
        utf8Bytes += text.toUtf8().size();
    }
    void add(const std::optional<QString> &text)
    {
        if (text)
            add(*text);
    }
};

TextSize heldText(const FoldState &state)
{
    TextSize size;
    for (const TranscriptItem &item : state.items) {
        if (const auto *user = std::get_if<UserMessageItem>(&item)) {
            size.add(user->text);
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            for (const StepItem &step : turn->steps) {
                for (const BlockItem &block : step.blocks) {
                    size.add(block.text);
                    size.add(block.arguments);
                    size.add(block.resultText);
                }
            }
        } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
            size.add(notice->detail);
            size.add(notice->payload);
        }
    }
    return size;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    const size_t heapBefore = heapInUse();
    std::vector<GeneratedEvent> events = SessionGenerator(2024).generate(1000000);

    // Best of several runs, the sizes interleaved, so that other load on the machine skews
    // none of them alone.
    FoldState state;
    double t10k = 1e300;
    double t100k = 1e300;
    double t1m = 1e300;
    for (int round = 0; round < 3; ++round) {
        t10k = std::min(t10k, bestOf(10, events, 10000, state));
        t100k = std::min(t100k, bestOf(3, events, 100000, state));
        t1m = std::min(t1m, foldOnce(events, 1000000, state));
    }

    out << "fold.events_per_s_10k: " << qint64(10000 / t10k) << '\n';
    out << "fold.events_per_s_100k: " << qint64(100000 / t100k) << '\n';
    out << "fold.events_per_s_1m: " << qint64(1000000 / t1m) << '\n';
    out << "fold.linearity: " << QString::number(t1m / (10 * t100k), 'f', 3) << '\n';

    // With the events gone, what stays on the heap is the state (and the strings it shares).
    events.clear();
    events.shrink_to_fit();
    const double stateBytes = double(heapInUse() - heapBefore);
    const TextSize text = heldText(state);
    out << "fold.memory_ratio: " << QString::number(stateBytes / double(text.utf16Bytes), 'f', 3) << '\n';
    out << "fold.memory_ratio_utf8: " << QString::number(stateBytes / double(text.utf8Bytes), 'f', 3) << '\n';
    out << "fold.state_mb: " << QString::number(stateBytes / 1e6, 'f', 1) << '\n';
    out << "fold.rows_1m: " << state.items.size() << '\n';

    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    out << "fold.peak_rss_mb: " << QString::number(double(usage.ru_maxrss) / 1024.0, 'f', 1) << '\n';
    return 0;
}
