#include "FoldTestSupport.h"
#include "SessionGenerator.h"
#include "Session/RetainedLiveEntries.h"

#include <QTest>

#include <cmath>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

namespace {

std::vector<qint64> seqsOf(const std::vector<HistoryEntry> &entries)
{
    std::vector<qint64> out;
    for (const HistoryEntry &e : entries)
        out.push_back(e.event.seq);
    return out;
}

std::vector<qint64> membersOf(const SeqSet &set)
{
    std::vector<qint64> out;
    set.forEachRun([&out](SeqSet::Run run) {
        for (qint64 seq = run.first; seq <= run.last; ++seq)
            out.push_back(seq);
    });
    return out;
}

// Short JSON for one event of turn 1: a text delta of a step, or a final message.
QByteArray delta(qint64 seq, qint64 step)
{
    return "{\"type\":\"assistant/chunk\",\"seq\":" + QByteArray::number(seq) + ",\"data\":{\"turn\":1,\"step\":"
         + QByteArray::number(step) + ",\"chunk\":{\"type\":\"text-delta\",\"index\":0,\"text\":\"x\"}}}";
}

QByteArray message(qint64 seq, qint64 step, const QByteArray &extra = {})
{
    return "{\"type\":\"assistant/message\",\"seq\":" + QByteArray::number(seq) + ",\"data\":{\"turn\":1,\"step\":"
         + QByteArray::number(step) + ",\"message\":{\"content\":[{\"type\":\"text\",\"text\":\"final\"}]}}" + extra + '}';
}

} // namespace

class TestRetainedLiveEntries : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void coveredChunksAreNotKept_data();
    void coveredChunksAreNotKept();
    void keptEventsReadBackExactly();
    void eventWithoutJsonFormIsKeptDecoded();
    void keptEventsFoldLikeTheWholeStream_data();
    void keptEventsFoldLikeTheWholeStream();
};

void TestRetainedLiveEntries::coveredChunksAreNotKept_data()
{
    QTest::addColumn<QByteArray>("events");
    QTest::addColumn<std::vector<qint64>>("kept");
    QTest::addColumn<std::vector<qint64>>("dropped");

    QTest::newRow("a message covers its step's chunks")
        << "[" + delta(5, 2) + "," + delta(6, 2) + "," + delta(7, 2) + "," + message(8, 2) + "]"
        << std::vector<qint64>{8} << std::vector<qint64>{5, 6, 7};
    QTest::newRow("a message with sources covers only those")
        << "[" + delta(5, 2) + "," + delta(6, 2) + "," + delta(7, 2) + "," + message(8, 2, ",\"sourceEventSeqs\":[6,5]") + "]"
        << std::vector<qint64>{7, 8} << std::vector<qint64>{5, 6};
    QTest::newRow("empty sources cover the step")
        << "[" + delta(5, 2) + "," + message(8, 2, ",\"sourceEventSeqs\":[]") + "]" << std::vector<qint64>{8}
        << std::vector<qint64>{5};
    QTest::newRow("a message that replaces a surface covers nothing")
        << "[" + delta(5, 2) + "," + message(8, 2, ",\"surfaceOp\":{\"op\":\"replace\"}") + "]"
        << std::vector<qint64>{5, 8} << std::vector<qint64>{};
    QTest::newRow("other steps keep their chunks")
        << "[" + delta(5, 1) + "," + delta(6, 2) + "," + message(7, 2) + "," + delta(8, 1) + "]"
        << std::vector<qint64>{5, 7, 8} << std::vector<qint64>{6};
    QTest::newRow("a chunk arriving after its message is not kept")
        << "[" + message(5, 1) + "," + delta(6, 1) + "," + delta(7, 2) + "]" << std::vector<qint64>{5, 7}
        << std::vector<qint64>{6};
    QTest::newRow("a chunk named by an earlier message's sources")
        << "[" + message(5, 1, ",\"sourceEventSeqs\":[9]") + "," + delta(9, 3) + "]" << std::vector<qint64>{5}
        << std::vector<qint64>{9};
    QTest::newRow("a chunk without an integer step is always kept")
        << QByteArray(R"([{"type":"assistant/chunk","seq":5,"data":{"turn":1,"step":"2","chunk":{"type":"text-delta","index":0,"text":"x"}}},)")
               + message(6, 2, ",\"sourceEventSeqs\":[5]") + "]"
        << std::vector<qint64>{5, 6} << std::vector<qint64>{};
    QTest::newRow("kept events between chunks close up in order")
        << "[" + delta(3, 2) + R"(,{"type":"step/start","seq":4,"data":{"turn":1,"step":2}},)" + delta(5, 2)
               + R"(,{"type":"tool/call","seq":6,"data":{"turn":1,"step":2,"callId":"c"}},)" + delta(7, 3) + ","
               + message(8, 2) + "," + delta(9, 3) + "," + message(10, 3) + "]"
        << std::vector<qint64>{4, 6, 8, 10} << std::vector<qint64>{3, 5, 7, 9};
}

void TestRetainedLiveEntries::coveredChunksAreNotKept()
{
    QFETCH(QByteArray, events);
    QFETCH(std::vector<qint64>, kept);
    QFETCH(std::vector<qint64>, dropped);

    RetainedLiveEntries live;
    for (const SessionEvent &event : eventsFromJson(events))
        live.append(event, std::nullopt);
    QCOMPARE(seqsOf(live.entries()), kept);
    QCOMPARE(live.size(), kept.size());
    QCOMPARE(membersOf(live.droppedSeqs()), dropped);

    live.clear();
    QVERIFY(live.empty());
    QVERIFY(live.droppedSeqs().isEmpty());
    // Nothing covers anything after clearing.
    for (const SessionEvent &event : eventsFromJson("[" + delta(5, 2) + "]"))
        live.append(event, std::nullopt);
    QCOMPARE(live.size(), size_t(1));
}

// A kept event reads back as the very event and tool view that were admitted.
void TestRetainedLiveEntries::keptEventsReadBackExactly()
{
    std::vector<HistoryEntry> admitted;
    auto add = [&admitted](SessionEvent event, std::optional<ToolEventView> view = std::nullopt) {
        admitted.push_back(HistoryEntry{std::move(event), std::move(view)});
    };
    const QString lone = u"a"_s + QChar(0xD800) + u"b"_s + QChar(0xDC00);
    SessionEvent title = makeEvent(u"session/title"_s, 1, obj({{u"title"_s, lone + u"\n\"你好\" 😀 \u0001"_s}}));
    title.time = 1765432109.123456;
    add(title);
    SessionEvent ignorable = makeEvent(u"future/event"_s, 2, JSONValue());
    ignorable.ignorable = false;
    ignorable.time = -0.25;
    add(ignorable);
    SessionEvent replaced = makeEvent(u"assistant/message"_s, 3, obj({{u"turn"_s, JSONValue(1)}, {u"step"_s, JSONValue(1)}}));
    replaced.surfaceOp = obj({{u"op"_s, u"replace"_s}});
    replaced.sourceEventSeqs = std::vector<qint64>();
    add(replaced);
    SessionEvent numbers = makeEvent(u"tool/result"_s, 4,
                                     obj({{u"n"_s, JSONValue::array({JSONValue(0.1), JSONValue(1e300), JSONValue(-7),
                                                                     JSONValue(9007199254740991.0), JSONValue(5e-324)})},
                                          {u"nested"_s, obj({{u""_s, JSONValue()}, {u"b"_s, JSONValue(true)}})}}));
    add(numbers, ToolEventView{u"call-1"_s, obj({{u"lines"_s, JSONValue(3)}})});
    add(makeEvent(u"tool/result"_s, 5, JSONValue(u"bare text"_s)), ToolEventView{QString(), JSONValue()});
    SessionEvent sourced = makeEvent(u"assistant/message"_s, 6, obj({{u"turn"_s, JSONValue(2)}, {u"step"_s, JSONValue(1)}}));
    sourced.sourceEventSeqs = std::vector<qint64>{-3, 0, 4503599627370496};
    add(sourced);

    RetainedLiveEntries live;
    for (const HistoryEntry &entry : admitted)
        live.append(entry.event, entry.view);
    QCOMPARE(live.size(), admitted.size());
    for (const RetainedLiveEntries::Record &record : live.records()) {
        QVERIFY(!record.json.isEmpty());
        QVERIFY(!record.decoded);
    }
    const std::vector<HistoryEntry> read = live.entries();
    QCOMPARE(read.size(), admitted.size());
    for (size_t i = 0; i < read.size(); ++i) {
        QCOMPARE(read[i].event.type, admitted[i].event.type);
        QCOMPARE(read[i].event.seq, admitted[i].event.seq);
        QCOMPARE(read[i].event.time, admitted[i].event.time);
        QCOMPARE(read[i].event.sourceEventSeqs, admitted[i].event.sourceEventSeqs);
        QCOMPARE(read[i].event.ignorable, admitted[i].event.ignorable);
        QCOMPARE(read[i].event.surfaceOp, admitted[i].event.surfaceOp);
        QVERIFY2(read[i].event.data == admitted[i].event.data, qPrintable(QString::number(i)));
        QVERIFY(read[i] == admitted[i]);
    }
    QCOMPARE(*read[0].event.data.find(u"title")->string(), *title.data.find(u"title")->string());
}

void TestRetainedLiveEntries::eventWithoutJsonFormIsKeptDecoded()
{
    RetainedLiveEntries live;
    const SessionEvent odd = makeEvent(u"mystery/event"_s, 4, obj({{u"x"_s, JSONValue(std::nan(""))}}));
    live.append(odd, std::nullopt);
    SessionEvent far = makeEvent(u"session/title"_s, qint64(1) << 60, obj({{u"title"_s, u"t"_s}}));
    live.append(far, std::nullopt);
    QCOMPARE(live.size(), size_t(2));
    QVERIFY(live.records()[0].decoded);
    QVERIFY(live.records()[1].decoded);
    const std::vector<HistoryEntry> read = live.entries();
    QCOMPARE(read[0].event.type, u"mystery/event"_s);
    QVERIFY(std::isnan(*read[0].event.data.find(u"x")->number()));
    QCOMPARE(read[1].event.seq, qint64(1) << 60);
}

// Folding what is kept, with the left-out chunks recorded as seen, gives exactly what folding
// the whole stream as history gives.
void TestRetainedLiveEntries::keptEventsFoldLikeTheWholeStream_data()
{
    QTest::addColumn<quint64>("seed");
    for (quint64 seed = 11; seed <= 16; ++seed)
        QTest::addRow("seed %llu", seed) << seed;
}

void TestRetainedLiveEntries::keptEventsFoldLikeTheWholeStream()
{
    QFETCH(quint64, seed);
    const std::vector<GeneratedEvent> log = SessionGenerator(seed).generate(3000);
    std::vector<HistoryEntry> all;
    RetainedLiveEntries live;
    qint64 chunks = 0;
    for (const GeneratedEvent &e : log) {
        all.push_back(e.historyEntry());
        live.append(all.back().event, all.back().view);
        chunks += e.event.type == u"assistant/chunk" ? 1 : 0;
    }
    FoldState whole;
    TranscriptFold::foldHistory(all, whole);

    FoldState kept;
    TranscriptFold::foldHistory(live.entries(), kept);
    kept.seenSeqs.insert(live.droppedSeqs());
    kept.lastSeq = std::max(kept.lastSeq, live.droppedSeqs().last().value_or(-1));
    if (!(kept == whole)) {
        QCOMPARE(dumpState(kept), dumpState(whole));
        QFAIL("states differ beyond their dumps");
    }
    // Nearly every chunk is covered by its step's final message.
    QVERIFY2(live.droppedSeqs().count() > chunks * 9 / 10, qPrintable(QString::number(live.droppedSeqs().count())));
    QCOMPARE(qint64(live.size()) + live.droppedSeqs().count(), qint64(log.size()));
}

QTEST_GUILESS_MAIN(TestRetainedLiveEntries)
#include "tst_retainedliveentries.moc"
