// Figures of the trajectory's ledger over a 10,000-item transcript folded from a generated
// session log (user messages, turns with text, reasoning and tool calls, notices).
//
//   ledger.items                    transcript items the figures are taken over
//   ledger.rows                     ledger rows with an empty search
//   ledger.build_ms_10k             the ledger model built from the transcript: the index (with
//                                   the strip's entries), the rows and a fresh list model filled
//                                   with them (median of 5)
//   ledger.prepare_ms_10k           the search keys of a fresh index made on the thread pool, as
//                                   the view starts them once the rows are there: wall time until
//                                   all are made, on other threads than the main one (median of 5)
//   ledger.first_search_ms_10k      the first search over a fresh index whose keys were made
//                                   ahead, for the ledger and the strip (median of 5)
//   ledger.first_search_unprepared_ms_10k  the same when the search comes before the keys are
//                                   asked for: it makes them all itself (median of 5)
//   ledger.search_ms_10k            a settled search over the built index, applied to the model
//                                   as a difference (median over 5 queries)
//   ledger.strip_search_ms_10k      then the strip's marks matched against the same query
//   *_cpu_ms_10k                    the same, in processor time of the thread
//   ledger.stream_update_ms_10k     one streamed change of the last turn applied to a full model
//                                   (median of 5)
//   ledger.search_stream_update_ms_10k  the same change while a search is shown: the rebuilt
//                                   index (its keys started on the pool, as the view does)
//                                   searched for the ledger and the strip (median of 5)

#include "../tests/Support/SessionGenerator.h"
#include "Session/TranscriptFold.h"
#include "UI/Inspection/TrajectoryLedger.h"
#include "UI/Inspection/TrajectoryLedgerModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <ctime>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

namespace {

constexpr size_t kItems = 10000;
constexpr int kRuns = 5;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timed(const std::function<void()> &work)
{
    QElapsedTimer t;
    t.start();
    work();
    return double(t.nsecsElapsed()) / 1e6;
}

// Processor time of this thread, for machines shared with other work.
double cpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

void print(const char *name, double value)
{
    std::printf("%s: %.2f\n", name, value);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    FoldState state;
    SessionGenerator generator(2024);
    while (state.items.size() < kItems) {
        for (const GeneratedEvent &e : generator.generate(2000))
            TranscriptFold::fold(e.event, e.view, state);
    }
    std::vector<TranscriptItem> items(state.items.begin(), state.items.begin() + qsizetype(kItems));
    std::printf("ledger.items: %zu\n", items.size());

    std::vector<double> build;
    std::vector<double> buildCpu;
    qsizetype rows = 0;
    for (int i = 0; i < kRuns; ++i) {
        const double cpu = cpuMs();
        build.push_back(timed([&] {
            const TrajectoryLedgerIndex index(items, false);
            TrajectoryLedgerModel model;
            model.setRows(index.ledger(QString(), {}));
            rows = model.rowCount();
        }));
        buildCpu.push_back(cpuMs() - cpu);
    }
    std::printf("ledger.rows: %lld\n", qint64(rows));
    print("ledger.build_ms_10k", median(build));
    print("ledger.build_cpu_ms_10k", median(buildCpu));

    std::vector<double> prepare;
    std::vector<double> first;
    std::vector<double> unprepared;
    for (int i = 0; i < kRuns; ++i) {
        const TrajectoryLedgerIndex index(items, false);
        prepare.push_back(timed([&] {
            index.prepareSearch();
            while (!index.isSearchPrepared())
                QThread::usleep(200);
        }));
        first.push_back(timed([&] {
            (void)index.ledger(u"error"_s, {});
            (void)index.timelineMatching(u"error"_s);
        }));
        const TrajectoryLedgerIndex cold(items, false);
        unprepared.push_back(timed([&] {
            (void)cold.ledger(u"error"_s, {});
            (void)cold.timelineMatching(u"error"_s);
        }));
    }
    print("ledger.prepare_ms_10k", median(prepare));
    print("ledger.first_search_ms_10k", median(first));
    print("ledger.first_search_unprepared_ms_10k", median(unprepared));

    const TrajectoryLedgerIndex index(items, false);
    (void)index.ledger(u"warm"_s, {});
    std::vector<double> search;
    const QStringList queries{u"read"_s, u"完成"_s, u"tool"_s, u"xyz-no-hit"_s, u"step"_s};
    std::vector<double> searchCpu;
    std::vector<double> strip;
    for (const QString &query : queries) {
        TrajectoryLedgerModel model;
        model.setRows(index.ledger(QString(), {}));
        const double cpu = cpuMs();
        search.push_back(timed([&] { model.setRows(index.ledger(query, {})); }));
        searchCpu.push_back(cpuMs() - cpu);
        strip.push_back(timed([&] { (void)index.timelineMatching(query); }));
    }
    print("ledger.search_ms_10k", median(search));
    print("ledger.search_cpu_ms_10k", median(searchCpu));
    print("ledger.strip_search_ms_10k", median(strip));

    auto streamed = [&items] {
        std::vector<TranscriptItem> changed = items;
        for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
            if (auto *turn = std::get_if<TurnItem>(&*it); turn && !turn->steps.empty() && !turn->steps.back().blocks.empty()) {
                turn->steps.back().blocks.back().text += u" more"_s;
                break;
            }
        }
        return changed;
    };
    std::vector<double> stream;
    for (int i = 0; i < kRuns; ++i) {
        TrajectoryLedgerModel model;
        model.setRows(index.ledger(QString(), {}));
        const std::vector<TranscriptItem> changed = streamed();
        stream.push_back(timed([&] {
            const TrajectoryLedgerIndex next(changed, false, &index);
            model.setRows(next.ledger(QString(), {}));
        }));
    }
    print("ledger.stream_update_ms_10k", median(stream));

    std::vector<double> searchStream;
    for (int i = 0; i < kRuns; ++i) {
        const QString query = queries[size_t(i) % queries.size()];
        const TrajectoryLedgerIndex searched(items, false);
        TrajectoryLedgerModel model;
        model.setRows(searched.ledger(query, {}));
        (void)searched.timelineMatching(query);
        const std::vector<TranscriptItem> changed = streamed();
        searchStream.push_back(timed([&] {
            const TrajectoryLedgerIndex next(changed, false, &searched);
            next.prepareSearch();
            model.setRows(next.ledger(query, {}));
            (void)next.timelineMatching(query);
        }));
    }
    print("ledger.search_stream_update_ms_10k", median(searchStream));
    return 0;
}
