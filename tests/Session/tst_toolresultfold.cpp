#include "FoldTestSupport.h"

#include <QLocale>
#include <QTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

class TestToolResultFold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void toolFold_data();
    void toolFold();
    void orphanCountsMatchAFreshCount_data();
    void orphanCountsMatchAFreshCount();
    void resultSearchSpansTheTranscript();
    void newCallIndexSaturatesAtTheLargestIndex();
};

void TestToolResultFold::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

static QByteArray result(int seq, const char *callId, const char *text, bool isError = false, const char *view = nullptr)
{
    QByteArray r = R"({"type":"tool/result","seq":)" + QByteArray::number(seq)
                   + R"(,"data":{"message":{"content":[{"type":"tool-result","toolCallId":")" + callId + R"(","isError":)"
                   + (isError ? "true" : "false") + R"(,"content":[{"type":"text","text":")" + text + R"("}]}]}})";
    if (view)
        r += R"(,"view":)" + QByteArray(view);
    return r + '}';
}

void TestToolResultFold::toolFold_data()
{
    QTest::addColumn<QByteArray>("events");
    QTest::addColumn<QString>("expected");

    QTest::newRow("malformed calls change nothing")
        << R"([{"type":"tool/call","seq":1,"data":{"turn":1,"step":1,"callId":5}},{"type":"tool/call","seq":2,"data":{"turn":"1","step":1,"callId":"c"}},
               {"type":"tool/call","seq":3,"data":{"turn":1,"callId":"c"}}])"_ba
        << u"lastSeq 3 seen [1-3]"_s;
    QTest::newRow("call for a new turn creates the row, the step and block 0")
        << R"([{"type":"tool/call","seq":4,"data":{"turn":3,"step":2,"callId":"c1","name":"read","arguments":"{}"},"view":{"view":{"title":"Read"}}}])"_ba
        << u"lastSeq 4 seen [4]\nturn 3 running\n  step 2\n    toolCall #0 seq 4 id=c1 name=\"read\" args=\"{}\" callView={\"title\":\"Read\"}"_s;
    QTest::newRow("call matching a streamed block updates it in place")
        << R"([{"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":3,"text":"t"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":3,"id":"c1","argumentsDelta":"{a"}}},
               {"type":"tool/call","seq":5,"data":{"turn":1,"step":1,"callId":"c1","name":"grep","arguments":7},"view":[1]},
               {"type":"tool/call","seq":6,"data":{"turn":1,"step":1,"callId":"c1","arguments":"{b}"}}])"_ba
        << u"lastSeq 6 seen [2-3,5-6]\nturn 1 running\n  step 1\n    toolCall #3 seq 2 \"t\" id=c1 name=\"grep\" args=\"{b}\" callView=[1]"_s;
    QTest::newRow("new call after indices 0, 1, 4 takes 5")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":4,"text":"c"}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":0,"text":"a"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":1,"text":"b"}}},
               {"type":"tool/call","seq":4,"data":{"turn":1,"step":1,"callId":"c9"}}])"_ba
        << u"lastSeq 4 seen [1-4]\nturn 1 running\n  step 1\n    text #0 seq 2 \"a\"\n    text #1 seq 3 \"b\"\n    text #4 seq 1 \"c\"\n"
           "    toolCall #5 seq 4 id=c9"_s;
    QTest::newRow("same id in another step gets its own block; the result reaches the latest")
        << R"([{"type":"tool/call","seq":1,"data":{"turn":1,"step":1,"callId":"c1"}},{"type":"tool/call","seq":2,"data":{"turn":1,"step":2,"callId":"c1"}},)"_ba
               + result(3, "c1", "out") + "]"
        << u"lastSeq 3 seen [1-3]\nturn 1 running\n  step 1\n    toolCall #0 seq 1 id=c1\n  step 2\n    toolCall #0 seq 2 id=c1 result=\"out\""_s;
    QTest::newRow("call view kept without a presentation; result view cleared")
        << R"([{"type":"tool/call","seq":1,"data":{"turn":1,"step":1,"callId":"c1"},"view":{"k":1}},)"_ba
               + result(2, "c1", "a", false, R"({"view":{"r":1}})") + ","
               + R"({"type":"tool/call","seq":3,"data":{"turn":1,"step":1,"callId":"c1","name":"n"}},)" + result(4, "c1", "", true)
               + "]"
        << u"lastSeq 4 seen [1-4]\nturn 1 running\n  step 1\n    toolCall #0 seq 1 id=c1 name=\"n\" result=\"\" error callView={\"k\":1}"_s;
    QTest::newRow("result parts without a string id or of another type change nothing")
        << R"([{"type":"tool/call","seq":1,"data":{"turn":1,"step":1,"callId":"c1"}},
               {"type":"tool/result","seq":2,"data":{"message":{"content":[{"type":"tool-result","toolCallId":1},{"type":"text","toolCallId":"c1"},7]}}},
               {"type":"tool/result","seq":3,"data":{"message":{"content":{}}}},{"type":"tool/result","seq":4,"data":{"content":[]}}])"_ba
        << u"lastSeq 4 seen [1-4]\nturn 1 running\n  step 1\n    toolCall #0 seq 1 id=c1"_s;
    QTest::newRow("result before its call is collected; the call comes without it")
        << "["_ba + result(5, "c1", "a\\nb") + R"(,{"type":"tool/call","seq":6,"data":{"turn":1,"step":1,"callId":"c1"}}])"
        << u"lastSeq 6 seen [5-6]\nnotice orphan-tool-results-5 seq 5 terminal neutral x1 \"未关联的工具输出\" detail=\"2 行 · 3 字符\" payload=\"a\\nb\"\n"
           "turn 1 running\n  step 1\n    toolCall #0 seq 6 id=c1"_s;
    QTest::newRow("orphan with empty text has no payload")
        << "["_ba + result(5, "c1", "") + "]"
        << u"lastSeq 5 seen [5]\nnotice orphan-tool-results-5 seq 5 terminal neutral x1 \"未关联的工具输出\" detail=\"无文本\""_s;
    QTest::newRow("orphans merge into one sticky notice")
        << "["_ba + result(5, "c1", "one") + R"(,{"type":"turn/start","seq":6,"data":{"turn":2}},)" + result(7, "c2", "two") + "]"
        << u"lastSeq 7 seen [5-7]\nnotice orphan-tool-results-5 seq 5 terminal neutral x2 \"未关联的工具输出\" "
           "detail=\"2 项 · 4 行 · 19 字符\" payload=\"one\\n\\n--- c2 ---\\ntwo\"\nturn 2 running"_s;
    QTest::newRow("second empty orphan on a notice without payload")
        << "["_ba + result(5, "c1", "") + "," + result(6, "c2", "") + "]"
        << u"lastSeq 6 seen [5-6]\nnotice orphan-tool-results-5 seq 5 terminal neutral x2 \"未关联的工具输出\" detail=\"2 项\""_s;
    QTest::newRow("empty payload is replaced by the next text, without a header")
        << "["_ba + result(5, "c1", "") + "," + result(6, "c2", "x") + "," + result(7, "c3", "") + "]"
        << u"lastSeq 7 seen [5-7]\nnotice orphan-tool-results-5 seq 5 terminal neutral x3 \"未关联的工具输出\" detail=\"3 项 · 1 行 · 1 字符\" payload=\"x\""_s;
    QTest::newRow("an error turns the notice to danger for good")
        << "["_ba + result(5, "c1", "a") + "," + result(6, "c2", "b", true) + "," + result(7, "c3", "c") + "]"
        << u"lastSeq 7 seen [5-7]\nnotice orphan-tool-results-5 seq 5 xmark.octagon danger x3 \"未关联的工具结果\" "
           "detail=\"3 项 · 7 行 · 29 字符\" payload=\"a\\n\\n--- c2 ---\\nb\\n\\n--- c3 ---\\nc\""_s;
}

void TestToolResultFold::toolFold()
{
    QFETCH(QByteArray, events);
    QFETCH(QString, expected);
    QCOMPARE(dumpState(foldJson(events)), expected);
}

// The notice's counts are kept as results arrive; they must equal a count of the whole payload.
void TestToolResultFold::orphanCountsMatchAFreshCount_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("lastDetail");

    QTest::newRow("carriage return before the separator")
        << QStringList{u"a\r"_s, u"b"_s} << u"2 项 · 4 行 · 15 字符"_s;
    QTest::newRow("grapheme clusters and CRLF inside") << QStringList{u"e\u0301\r\n"_s, u"\U0001F469\u200D\U0001F4BB"_s, u"x"_s}
                                                       << u"3 项 · 8 行 · 30 字符"_s;
    QTest::newRow("grouped character count") << QStringList{QString(12000, u'a'), QString(), QString(300, u'b')}
                                             << u"3 项 · 4 行 · 12,313 字符"_s;
}

void TestToolResultFold::orphanCountsMatchAFreshCount()
{
    QFETCH(QStringList, texts);
    QFETCH(QString, lastDetail);

    FoldState state;
    qint64 seq = 0;
    for (const QString &text : texts) {
        ++seq;
        TranscriptFold::fold(toolResult(seq, u"c"_s + QString::number(seq), text), std::nullopt, state);
    }
    const auto &notice = std::get<NoticeItem>(state.items.at(0));
    QCOMPARE(notice.detail.value_or(QString()), lastDetail);

    // The same payload measured from scratch in a state that never saw it grow.
    FoldState fresh;
    TranscriptFold::fold(toolResult(1, u"c"_s, *notice.payload), std::nullopt, fresh);
    const QString freshDetail = *std::get<NoticeItem>(fresh.items.at(0)).detail;
    QCOMPARE(lastDetail.section(u" · "_s, 1), freshDetail);
}

void TestToolResultFold::resultSearchSpansTheTranscript()
{
    FoldState state;
    TranscriptFold::fold(toolCall(1, 1, 1, u"c1"_s, u"a"_s, u"{}"_s), std::nullopt, state);
    TranscriptFold::fold(toolCall(2, 1, 2, u"c2"_s, u"b"_s, u"{}"_s), std::nullopt, state);
    for (qint64 turn = 2; turn < 50; ++turn) {
        TranscriptFold::fold(userMessage(turn * 10, u"next"_s), std::nullopt, state);
        TranscriptFold::fold(toolCall(turn * 10 + 1, turn, 1, u"t"_s + QString::number(turn), u"x"_s, u"{}"_s), std::nullopt, state);
    }
    // A block-end moves call c2's id elsewhere: the old id must not be found any more.
    TranscriptFold::fold(blockEnd(600, 1, 2, 0, toolCallBlock(u"c3"_s, u"b"_s, u"{}"_s)), std::nullopt, state);
    TranscriptFold::fold(toolResult(601, u"c1"_s, u"first"_s), std::nullopt, state);
    TranscriptFold::fold(toolResult(602, u"c2"_s, u"gone"_s), std::nullopt, state);
    TranscriptFold::fold(toolResult(603, u"c3"_s, u"moved"_s), std::nullopt, state);

    const auto &turn1 = std::get<TurnItem>(state.items.at(0));
    QCOMPARE(turn1.steps.at(0).blocks.at(0).resultText, std::optional<QString>(u"first"_s));
    QCOMPARE(turn1.steps.at(1).blocks.at(0).resultText, std::optional<QString>(u"moved"_s));
    const auto &notice = std::get<NoticeItem>(state.items.back());
    QCOMPARE(notice.payload, std::optional<QString>(u"gone"_s));
}

void TestToolResultFold::newCallIndexSaturatesAtTheLargestIndex()
{
    FoldState state;
    BlockItem top;
    top.index = std::numeric_limits<qint64>::max();
    top.seq = 1;
    state.items.push_back(TurnItem{1, {StepItem{1, {top}}}, TurnStatus::running()});
    TranscriptFold::fold(toolCall(2, 1, 1, u"c1"_s, u"n"_s, u"{}"_s), std::nullopt, state);
    QCOMPARE(dumpState(state), u"lastSeq 2 seen [2]\nturn 1 running\n  step 1\n    text #9223372036854775807 seq 1\n"
                               "    toolCall #9223372036854775807 seq 2 id=c1 name=\"n\" args=\"{}\""_s);
}

QTEST_GUILESS_MAIN(TestToolResultFold)
#include "tst_toolresultfold.moc"
