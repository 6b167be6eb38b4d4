#include "FoldTestSupport.h"
#include "SessionGenerator.h"

#include <QTest>

#include <thread>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

class TestHistoryFold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void historyFold_data();
    void historyFold();
    void skippedChunksAreDroppedWhenTheyArriveLive();
    void cancelledBeforeStartFoldsNothing();
    void cancellationStopsAtAnEntryBoundary();
    void splitIntoHistoryAndLiveFoldsAlike_data();
    void splitIntoHistoryAndLiveFoldsAlike();
};

// A history page as a JSON array of {"event", "view"} entries; "time" may be left out.
static std::vector<HistoryEntry> entries(QByteArrayView json)
{
    std::vector<HistoryEntry> out;
    const JSONValue list = parseJSON(json);
    for (const JSONValue &element : list.elements()) {
        JSONValue entry = element;
        const JSONValue event = *entry.find(u"event");
        if (!event.contains(u"time"))
            entry = entry.with(u"event"_s, event.with(u"time"_s, JSONValue(0.0)));
        out.push_back(HistoryEntry::fromJson(entry));
    }
    return out;
}

static QByteArray delta(int seq, int step, int index, const char *text)
{
    return R"({"event":{"type":"assistant/chunk","seq":)" + QByteArray::number(seq) + R"(,"data":{"turn":1,"step":)"
           + QByteArray::number(step) + R"(,"chunk":{"type":"text-delta","index":)" + QByteArray::number(index)
           + R"(,"text":")" + text + R"("}}}})";
}

static QByteArray usageChunk(int seq)
{
    return R"({"event":{"type":"assistant/chunk","seq":)" + QByteArray::number(seq)
           + R"(,"data":{"turn":1,"step":2,"chunk":{"type":"usage","index":0,"usage":{"inputTokens":7,"outputTokens":8}}}}})";
}

static QByteArray message(int seq, const char *extra)
{
    return R"({"event":{"type":"assistant/message","seq":)" + QByteArray::number(seq) + extra
           + R"(,"data":{"turn":1,"step":2,"message":{"content":[{"type":"text","text":"final"}]}}}})";
}

void TestHistoryFold::historyFold_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("expected");

    const QByteArray chunks = delta(5, 2, 0, "a") + "," + delta(6, 2, 0, "b") + "," + usageChunk(7);
    QTest::newRow("message without sources covers its whole step")
        << "["_ba + chunks + "," + message(8, "") + "]"
        << u"lastSeq 8 seen [5-8]\nturn 1 running\n  step 2\n    text #0 seq 8 \"final\""_s;
    QTest::newRow("message with sources covers only those")
        << "["_ba + chunks + "," + message(8, R"(,"sourceEventSeqs":[5,6])") + "]"
        << u"lastSeq 8 seen [5-8]\nturn 1 running\n  step 2\n    text #0 seq 5 \"final\"\nusage in=7 out=8 cacheRead=- cacheWrite=- reasoning=-"_s;
    QTest::newRow("empty sources cover the whole step")
        << "["_ba + chunks + "," + message(8, R"(,"sourceEventSeqs":[])") + "]"
        << u"lastSeq 8 seen [5-8]\nturn 1 running\n  step 2\n    text #0 seq 8 \"final\""_s;
    QTest::newRow("a surface-replacing message covers nothing")
        << "["_ba + chunks + "," + message(8, R"(,"surfaceOp":{"op":"replace"})") + "]"
        << u"lastSeq 8 seen [5-8]\nturn 1 running\n  step 2\n    text #0 seq 5 \"ab\"\nusage in=7 out=8 cacheRead=- cacheWrite=- reasoning=-"_s;
    QTest::newRow("chunks of other steps are folded")
        << "["_ba + delta(4, 1, 0, "x") + "," + delta(5, 2, 0, "a") + "," + message(8, "") + "]"
        << u"lastSeq 8 seen [4-5,8]\nturn 1 running\n  step 1\n    text #0 seq 4 \"x\"\n  step 2\n    text #0 seq 8 \"final\""_s;
    QTest::newRow("entries out of order fold in sequence order")
        << R"([{"event":{"type":"user/message","seq":9,"data":{"content":[{"type":"text","text":"later"}]}}},
               {"event":{"type":"user/message","seq":3,"data":{"content":[{"type":"text","text":"earlier"}]}}}])"_ba
        << u"lastSeq 9 seen [3,9]\nuser u-3 seq 3 \"earlier\"\nuser u-9 seq 9 \"later\""_s;
    QTest::newRow("equal numbers keep their given order")
        << R"([{"event":{"type":"user/message","seq":5,"data":{"content":[{"type":"text","text":"first"}]}}},
               {"event":{"type":"user/message","seq":4,"data":{"content":[{"type":"text","text":"x"}]}}},
               {"event":{"type":"user/message","seq":5,"data":{"content":[{"type":"text","text":"second"}]}}}])"_ba
        << u"lastSeq 5 seen [4-5]\nuser u-4 seq 4 \"x\"\nuser u-5 seq 5 \"first\""_s;
    QTest::newRow("tool views reach the blocks")
        << R"([{"event":{"type":"tool/call","seq":1,"data":{"turn":1,"step":1,"callId":"c1"}},"view":{"for":"c1","view":{"title":"Read"}}},
               {"event":{"type":"tool/result","seq":2,"data":{"message":{"content":[{"type":"tool-result","toolCallId":"c1"}]}}},
                "view":{"for":"c1","view":{"view":{"lines":2}}}}])"_ba
        << u"lastSeq 2 seen [1-2]\nturn 1 running\n  step 1\n    toolCall #0 seq 1 id=c1 result=\"\" callView={\"title\":\"Read\"} resultView={\"lines\":2}"_s;
}

void TestHistoryFold::historyFold()
{
    QFETCH(QByteArray, page);
    QFETCH(QString, expected);
    FoldState state;
    TranscriptFold::foldHistory(entries(page), state);
    QCOMPARE(dumpState(state), expected);
}

void TestHistoryFold::skippedChunksAreDroppedWhenTheyArriveLive()
{
    FoldState state;
    TranscriptFold::foldHistory(entries("["_ba + delta(5, 2, 0, "a") + "," + message(8, "") + "]"), state);
    const FoldState before = state;
    TranscriptFold::fold(textDelta(5, 1, 2, 0, u"again"_s), std::nullopt, state);
    QVERIFY(state == before);
    TranscriptFold::fold(textDelta(9, 1, 2, 0, u"+"_s), std::nullopt, state);
    QCOMPARE(std::get<TurnItem>(state.items.at(0)).steps.at(0).blocks.at(0).text, u"final+"_s);
}

void TestHistoryFold::cancelledBeforeStartFoldsNothing()
{
    const std::atomic<bool> cancelled{true};
    FoldState state;
    TranscriptFold::foldHistory(entries("["_ba + delta(5, 2, 0, "a") + "," + message(8, "") + "]"), state, &cancelled);
    QVERIFY(state == FoldState());
}

// Whenever the flag is seen, the state holds exactly the entries folded before that point:
// with consecutive numbers folded in order, the seen numbers are one run from 1.
void TestHistoryFold::cancellationStopsAtAnEntryBoundary()
{
    std::vector<HistoryEntry> page;
    for (const GeneratedEvent &e : SessionGenerator(7, {4, 20, 10}).generate(40000))
        page.push_back(e.historyEntry());

    std::atomic<bool> cancelled{false};
    FoldState state;
    std::thread worker([&] { TranscriptFold::foldHistory(page, state, &cancelled); });
    cancelled = true;
    worker.join();

    QVERIFY(state.seenSeqs.runCount() <= 1);
    QCOMPARE(state.seenSeqs.count(), qMax<qint64>(state.lastSeq, 0));
    if (!state.seenSeqs.isEmpty())
        QVERIFY(state.seenSeqs.contains(1));
}

void TestHistoryFold::splitIntoHistoryAndLiveFoldsAlike_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<int>("overlap");
    for (quint64 seed = 1; seed <= 5; ++seed) {
        const int overlap = int(seed % 4);
        QTest::addRow("seed %llu, live repeats %d", seed, overlap) << seed << overlap;
    }
}

void TestHistoryFold::splitIntoHistoryAndLiveFoldsAlike()
{
    QFETCH(quint64, seed);
    QFETCH(int, overlap);

    const std::vector<GeneratedEvent> log = SessionGenerator(seed, {4, 20, 10}).generate(600);
    std::vector<HistoryEntry> all;
    for (const GeneratedEvent &e : log)
        all.push_back(e.historyEntry());
    FoldState whole;
    TranscriptFold::foldHistory(all, whole);
    QVERIFY(whole.items.size() >= 15);

    for (size_t split = 0; split <= log.size(); ++split) {
        FoldState state;
        TranscriptFold::foldHistory(std::vector<HistoryEntry>(all.begin(), all.begin() + qsizetype(split)), state);
        // The live stream may repeat the last events the page already held.
        for (size_t i = split >= size_t(overlap) ? split - size_t(overlap) : 0; i < log.size(); ++i)
            TranscriptFold::fold(log[i].event, log[i].view, state);
        if (!(state == whole)) {
            QCOMPARE(dumpState(state), dumpState(whole));
            QFAIL(qPrintable(u"states differ beyond their dumps at split %1"_s.arg(split)));
        }
    }
}

QTEST_GUILESS_MAIN(TestHistoryFold)
#include "tst_historyfold.moc"
