// Decoding a large history page end to end: JSON bytes → JSONValue → SessionHistoryValue.
#include "HistoryDocGen.h"

#include "Domain/SessionEvents.h"
#include "Wire/JSONValue.h"

#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace nbd;

int main(int argc, char **argv)
{
    int events = 60000;
    int rounds = 5;
    if (argc > 1)
        events = std::max(1, atoi(argv[1]));
    if (argc > 2)
        rounds = std::max(1, atoi(argv[2]));

    bench::HistoryDocGen gen;
    const QByteArray doc = gen.page(events);

    using Clock = std::chrono::steady_clock;
    double best = 1e30;
    double bestParse = 1e30;
    size_t decoded = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        const JSONValue value = parseJSON(doc);
        const auto t1 = Clock::now();
        const SessionHistoryValue page = SessionHistoryValue::fromJson(value);
        const auto t2 = Clock::now();
        decoded = page.events.size();
        best = std::min(best, std::chrono::duration<double>(t2 - t0).count());
        bestParse = std::min(bestParse, std::chrono::duration<double>(t1 - t0).count());
    }
    if (decoded != size_t(events)) {
        std::fprintf(stderr, "decoded %zu of %d events\n", decoded, events);
        return 1;
    }

    const double mb = double(doc.size()) / 1e6;
    QTextStream out(stdout);
    out << "history.doc_mb: " << QString::number(mb, 'f', 1) << '\n';
    out << "history.parse_mbps: " << qint64(mb / bestParse) << '\n';
    out << "history.decode_mbps: " << qint64(mb / best) << '\n';
    out << "history.decode_events_per_s: " << qint64(double(events) / best) << '\n';
    return 0;
}
