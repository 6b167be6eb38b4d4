// Parser and writer throughput of JSONValue on a history-like document, against
// QJsonDocument plus conversion, and the memory the parsed value holds.
#include "HistoryDocGen.h"
#include "Wire/JSONValue.h"
#include "Wire/WireEnvelope.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <vector>

using namespace nbd;

namespace {

JSONValue fromQt(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined: return JSONValue();
    case QJsonValue::Bool: return JSONValue(v.toBool());
    case QJsonValue::Double: return JSONValue(v.toDouble());
    case QJsonValue::String: return JSONValue(v.toString());
    case QJsonValue::Array: {
        const QJsonArray a = v.toArray();
        JSONValue::Elements out;
        out.reserve(size_t(a.size()));
        for (const auto &e : a)
            out.push_back(fromQt(e));
        return JSONValue::array(std::move(out));
    }
    case QJsonValue::Object: {
        const QJsonObject o = v.toObject();
        JSONValue::Members out;
        out.reserve(size_t(o.size()));
        for (auto it = o.begin(); it != o.end(); ++it)
            out.emplace_back(it.key(), fromQt(it.value()));
        return JSONValue::object(std::move(out));
    }
    }
    return JSONValue();
}

template<class F>
double bestSeconds(int runs, F &&f)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        best = std::min(best, double(t.nsecsElapsed()) / 1e9);
    }
    return best;
}

size_t heapInUse()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

void print(const char *name, double value, int decimals = 1)
{
    std::printf("%s: %.*f\n", name, decimals, value);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    bench::HistoryDocGen gen;
    const QByteArray doc = gen.page(60000);
    const double mb = double(doc.size()) / (1024.0 * 1024.0);
    std::printf("json.doc_mb: %.1f\n", mb);

    JSONValue parsed;
    double parseS = 1e9;
    for (int i = 0; i < 5; ++i) {
        parsed = JSONValue(); // freeing the previous value is not part of parsing
        QElapsedTimer t;
        t.start();
        parsed = parseJSON(doc);
        parseS = std::min(parseS, double(t.nsecsElapsed()) / 1e9);
    }
    const double qtS = bestSeconds(3, [&] {
        const QJsonDocument d = QJsonDocument::fromJson(doc);
        JSONValue v = fromQt(d.object());
        if (v.size() == 0)
            std::abort();
    });
    QByteArray written;
    const double writeS = bestSeconds(5, [&] { written = *parsed.data(); });
    if (parseJSON(written) != parsed) {
        std::fprintf(stderr, "writer round trip differs\n");
        return 1;
    }

    // Memory held by one parsed value (fresh parse, measured by the allocator).
    parsed = JSONValue();
    malloc_trim(0);
    const size_t before = heapInUse();
    JSONValue held = parseJSON(doc);
    const size_t after = heapInUse();
    const double memoryRatio = double(after - before) / double(doc.size());

    // Decoding one event-stream frame of up to 64 KiB on the receiving thread.
    std::vector<double> frameMs;
    for (int i = 0; i < 2000; ++i) {
        const int textScale = 50 + (i * 7919) % 9000; // frames from ~0.5 KiB to ~64 KiB
        QByteArray frame = QByteArray(R"({"type":"server-request","rpcId":"r","method":"session/event","payload":{"events":[)");
        int k = 0;
        do {
            QByteArray event = gen.event(i * 100 + k + 1);
            if (k > 0 && frame.size() + event.size() > std::min(textScale * 7, 64 * 1024 - 16))
                break;
            if (k++ > 0)
                frame += ',';
            frame += event;
        } while (true);
        frame += "]}}";
        QElapsedTimer t;
        t.start();
        const ServerRequest r = ServerRequest::fromJson(parseJSON(frame));
        frameMs.push_back(double(t.nsecsElapsed()) / 1e6);
        if (r.method.isEmpty())
            std::abort();
    }
    std::sort(frameMs.begin(), frameMs.end());

    print("json.parse_mbps", mb / parseS);
    print("json.qjsondocument_mbps", mb / qtS);
    print("json.parse_ratio", qtS / parseS, 2);
    print("json.write_mbps", double(written.size()) / (1024.0 * 1024.0) / writeS);
    print("json.memory_ratio", memoryRatio, 2);
    print("stream.frame_decode_p99_ms", frameMs[size_t(double(frameMs.size()) * 0.99)], 3);
    return held.isObject() ? 0 : 1;
}
