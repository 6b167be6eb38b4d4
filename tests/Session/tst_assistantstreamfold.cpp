#include "FoldTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

class TestAssistantStreamFold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void streamFold_data();
    void streamFold();
    void contentReaders_data();
    void contentReaders();
    void manyDeltasConcatenate();
};

void TestAssistantStreamFold::streamFold_data()
{
    QTest::addColumn<QByteArray>("events");
    QTest::addColumn<QString>("expected");

    QTest::newRow("chunk without integer index is ignored whatever its type")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","text":"a"}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"usage","index":"0","usage":{}}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"block-start","index":0.5}}},
               {"type":"assistant/chunk","seq":4,"data":{"turn":1,"step":"1","chunk":{"type":"text-delta","index":0,"text":"a"}}},
               {"type":"assistant/chunk","seq":5,"data":{"turn":1,"step":1,"chunk":{}}},
               {"type":"assistant/chunk","seq":6,"data":{"turn":1,"step":1,"chunk":{"type":3,"index":0}}},
               {"type":"assistant/chunk","seq":7,"data":{}}])"_ba
        << u"lastSeq 7 seen [1-7]"_s;
    QTest::newRow("delta for an unknown turn appends a running turn")
        << R"([{"type":"user/message","seq":1,"data":{"content":[{"type":"text","text":"q"}]}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":7,"step":1,"chunk":{"type":"text-delta","index":0,"text":"hel"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":7,"step":1,"chunk":{"type":"text-delta","index":0,"text":"lo"}}}])"_ba
        << u"lastSeq 3 seen [1-3]\nuser u-1 seq 1 \"q\"\nturn 7 running\n  step 1\n    text #0 seq 2 \"hello\""_s;
    QTest::newRow("deltas 2 then 0 order the blocks 0, 2; seq keeps the first")
        << R"([{"type":"assistant/chunk","seq":5,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":2,"text":"b"}}},
               {"type":"assistant/chunk","seq":6,"data":{"turn":1,"step":1,"chunk":{"type":"reasoning-delta","index":0,"text":"a"}}},
               {"type":"assistant/chunk","seq":8,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":2,"text":"c"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"finish","index":2}}},
               {"type":"assistant/chunk","seq":4,"data":{"turn":1,"step":1,"chunk":{"type":"reasoning-delta","index":0,"text":"z"}}}])"_ba
        << u"lastSeq 8 seen [3-6,8]\nturn 1 running\n  step 1\n    reasoning #0 seq 4 \"az\"\n    text #2 seq 5 \"bc\""_s;
    QTest::newRow("delta of another kind appends; text without a string changes nothing")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":0,"text":"t"}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"reasoning-delta","index":0,"text":"r"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"reasoning-delta","index":1,"text":4}}}])"_ba
        << u"lastSeq 3 seen [1-3]\nturn 1 running\n  step 1\n    text #0 seq 1 \"tr\""_s;
    QTest::newRow("block start kinds; a second start keeps the kind")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"block-start","index":3,"kind":"tool-call"}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"block-start","index":1,"kind":"reasoning"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"block-start","index":2,"kind":"image"}}},
               {"type":"assistant/chunk","seq":4,"data":{"turn":1,"step":1,"chunk":{"type":"block-start","index":0}}},
               {"type":"assistant/chunk","seq":5,"data":{"turn":1,"step":1,"chunk":{"type":"block-start","index":3,"kind":"reasoning"}}}])"_ba
        << u"lastSeq 5 seen [1-5]\nturn 1 running\n  step 1\n    text #0 seq 4\n    reasoning #1 seq 2\n    text #2 seq 3\n    toolCall #3 seq 1"_s;
    QTest::newRow("tool call deltas fill the block")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":0,"id":"c1","name":"read"}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":0,"argumentsDelta":"{\"p\":"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":0,"id":5,"name":null,"argumentsDelta":"1}"}}}])"_ba
        << u"lastSeq 3 seen [1-3]\nturn 1 running\n  step 1\n    toolCall #0 seq 1 id=c1 name=\"read\" args=\"{\"p\":1}\""_s;
    QTest::newRow("block end without a block changes nothing")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"block-end","index":0,"block":{"type":"text","text":"x"}}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":0,"text":"a"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":2,"chunk":{"type":"block-end","index":0,"block":{"type":"text","text":"x"}}}},
               {"type":"assistant/chunk","seq":4,"data":{"turn":1,"step":1,"chunk":{"type":"block-end","index":0,"block":{"type":"image"}}}}])"_ba
        << u"lastSeq 4 seen [1-4]\nturn 1 running\n  step 1\n    text #0 seq 2 \"a\""_s;
    QTest::newRow("block end replaces the block and keeps the smaller seq")
        << R"([{"type":"assistant/chunk","seq":4,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":0,"id":"c1","argumentsDelta":"{"}}},
               {"type":"tool/call","seq":5,"data":{"turn":1,"step":1,"callId":"c1"},"view":{"view":{"card":"call"}}},
               {"type":"tool/result","seq":6,"data":{"message":{"content":[{"type":"tool-result","toolCallId":"c1","content":[{"type":"text","text":"ok"}]}]}},"view":{"r":1}},
               {"type":"assistant/chunk","seq":9,"data":{"turn":1,"step":1,"chunk":{"type":"block-end","index":0,"block":{"type":"tool-call","index":4,"id":"c2","name":"write","arguments":"{}"}}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"block-end","index":4,"block":{"type":"text","text":"T"}}}}])"_ba
        << u"lastSeq 9 seen [2,4-6,9]\nturn 1 running\n  step 1\n    text #4 seq 2 \"T\""_s;
    QTest::newRow("usage chunk sets the usage, creating no row")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"usage","index":0,"usage":{"inputTokens":10,"outputTokens":5,"cacheReadTokens":2,"reasoningTokens":1}}}}])"_ba
        << u"lastSeq 1 seen [1]\nusage in=10 out=5 cacheRead=2 cacheWrite=- reasoning=1"_s;
    QTest::newRow("usage chunk with a malformed usage clears it")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"usage","index":0,"usage":{"inputTokens":10,"outputTokens":5}}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"usage","index":0,"usage":{"inputTokens":10}}}}])"_ba
        << u"lastSeq 2 seen [1-2]"_s;
    QTest::newRow("message with a malformed usage keeps it; a valid one replaces it")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"usage","index":0,"usage":{"inputTokens":10,"outputTokens":5}}}},
               {"type":"assistant/message","seq":2,"data":{"turn":1,"step":1,"message":{"content":[]},"usage":{"inputTokens":1.5,"outputTokens":5}}},
               {"type":"assistant/message","seq":3,"data":{"turn":1,"step":2,"message":{"content":[]},"usage":{}}}])"_ba
        << u"lastSeq 3 seen [1-3]\nturn 1 running\n  step 1\n  step 2\nusage in=10 out=5 cacheRead=- cacheWrite=- reasoning=-"_s;
    QTest::newRow("message of an unknown step creates it with its blocks")
        << R"([{"type":"assistant/message","seq":4,"data":{"turn":2,"step":3,"message":{"content":[{"type":"text","text":"x"}]},
               "usage":{"inputTokens":3,"outputTokens":4,"cacheWriteTokens":1}}}])"_ba
        << u"lastSeq 4 seen [4]\nturn 2 running\n  step 3\n    text #0 seq 4 \"x\"\nusage in=3 out=4 cacheRead=- cacheWrite=1 reasoning=-"_s;
    QTest::newRow("message replaces streamed blocks, keeping repeated calls' results")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":0,"text":"draft"}}},
               {"type":"assistant/chunk","seq":2,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":1,"id":"c1","name":"read"}}},
               {"type":"assistant/chunk","seq":3,"data":{"turn":1,"step":1,"chunk":{"type":"tool-call-delta","index":2,"id":"c2","name":"ls"}}},
               {"type":"tool/call","seq":4,"data":{"turn":1,"step":1,"callId":"c1"},"view":{"card":1}},
               {"type":"tool/result","seq":5,"data":{"message":{"content":[{"type":"tool-result","toolCallId":"c1","isError":true,"content":[{"type":"text","text":"no"}]}]}},"view":{"view":{"card":2}}},
               {"type":"assistant/message","seq":8,"sourceEventSeqs":[12,9,15],"data":{"turn":1,"step":1,"message":{"content":[
                   {"type":"text","text":"final"},7,{"type":"tool-call","id":"c1","name":"read2","arguments":"{}"},{"type":"reasoning","text":"why","index":9}]}}}])"_ba
        << u"lastSeq 8 seen [1-5,8]\nturn 1 running\n  step 1\n    text #0 seq 9 \"final\"\n"
           "    toolCall #2 seq 2 id=c1 name=\"read2\" args=\"{}\" result=\"no\" error callView={\"card\":1} resultView={\"card\":2}\n"
           "    reasoning #9 seq 9 \"why\""_s;
    QTest::newRow("message with empty or absent sourceEventSeqs takes its own seq")
        << R"([{"type":"assistant/message","seq":8,"sourceEventSeqs":[],"data":{"turn":1,"step":1,"message":{"content":[{"type":"text","text":"a"}]}}},
               {"type":"assistant/message","seq":9,"data":{"turn":1,"step":2,"message":{"content":[{"type":"text","text":"b"}]}}}])"_ba
        << u"lastSeq 9 seen [8-9]\nturn 1 running\n  step 1\n    text #0 seq 8 \"a\"\n  step 2\n    text #0 seq 9 \"b\""_s;
    QTest::newRow("message with empty content empties the step")
        << R"([{"type":"assistant/chunk","seq":1,"data":{"turn":1,"step":1,"chunk":{"type":"text-delta","index":0,"text":"draft"}}},
               {"type":"assistant/message","seq":2,"data":{"turn":1,"step":1,"message":{"content":[]}}}])"_ba
        << u"lastSeq 2 seen [1-2]\nturn 1 running\n  step 1"_s;
    QTest::newRow("malformed message changes nothing")
        << R"([{"type":"assistant/message","seq":1,"data":{"turn":1,"step":1,"message":{"content":{}},"usage":{"inputTokens":1,"outputTokens":1}}},
               {"type":"assistant/message","seq":2,"data":{"turn":1,"message":{"content":[]}}},
               {"type":"assistant/message","seq":3,"data":{"turn":1,"step":1,"message":[]}}])"_ba
        << u"lastSeq 3 seen [1-3]"_s;
    QTest::newRow("tool-result content block")
        << R"([{"type":"assistant/message","seq":1,"data":{"turn":1,"step":1,"message":{"content":[
               {"type":"tool-result","toolCallId":"c9","isError":"yes"},{"type":"tool-result","content":[{"type":"text","text":"r"}],"isError":true},
               {"type":"tool-call","arguments":5}]}}}])"_ba
        << u"lastSeq 1 seen [1]\nturn 1 running\n  step 1\n    toolCall #0 seq 1 id=c9 name=\"\" result=\"\"\n"
           "    toolCall #1 seq 1 name=\"\" result=\"r\" error\n    toolCall #2 seq 1"_s;
    QTest::newRow("user message: ids, source kind, images")
        << R"([{"type":"user/message","seq":3,"data":{"id":"m1","source":{"kind":"agent"},"content":[
                 {"type":"image","attachment":{"attachmentId":"a1","mediaType":"image/png","bytes":10,"width":2.5,"name":"x.png"}},
                 {"type":"image","attachment":{"attachmentId":"a2"}}]}},
               {"type":"user/message","seq":4,"data":{"id":4,"source":{"kind":1},"content":[{"type":"text","text":"a"},{"type":"text","text":""},{"type":"text","text":"b"}]}},
               {"type":"user/message","seq":5,"data":{"content":[{"type":"text","text":""},{"type":"image"}]}},
               {"type":"user/message","seq":6,"data":{"content":"hi"}}])"_ba
        << u"lastSeq 6 seen [3-6]\nuser m1 seq 3 \"\" source=agent image(a1 image/png 10B 0x0 x.png)\nuser u-4 seq 4 \"a\\n\\nb\""_s;
}

void TestAssistantStreamFold::streamFold()
{
    QFETCH(QByteArray, events);
    QFETCH(QString, expected);
    QCOMPARE(dumpState(foldJson(events)), expected);
}

void TestAssistantStreamFold::contentReaders_data()
{
    QTest::addColumn<QByteArray>("parts");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("images");

    QTest::newRow("text, image, text") << R"([{"type":"text","text":"a"},{"type":"image","attachment":{"attachmentId":"i","mediaType":"m"}},{"type":"text","text":"b"}])"_ba
                                       << u"a\nb"_s << 1;
    QTest::newRow("empty") << "[]"_ba << QString() << 0;
    QTest::newRow("garbage elements") << R"([1,"text",null,{"type":"text"},{"text":"x"},{"type":"TEXT","text":"y"}])"_ba << QString() << 0;
    QTest::newRow("empty texts still join") << R"([{"type":"text","text":""},{"type":"text","text":""}])"_ba << u"\n"_s << 0;
}

void TestAssistantStreamFold::contentReaders()
{
    QFETCH(QByteArray, parts);
    QFETCH(QString, text);
    QFETCH(int, images);
    const JSONValue list = parseJSON(parts);
    QCOMPARE(TranscriptFold::extractText(list.elements()), text);
    QCOMPARE(int(TranscriptFold::extractImages(list.elements()).size()), images);
}

void TestAssistantStreamFold::manyDeltasConcatenate()
{
    FoldState state;
    QString expected;
    qint64 seq = 0;
    for (int i = 0; i < 5000; ++i) {
        const QString piece = QString::number(i) + u' ';
        expected += piece;
        TranscriptFold::fold(textDelta(++seq, 1, 1, 0, piece), std::nullopt, state);
        if (i % 1000 == 0)
            TranscriptFold::fold(userMessage(++seq, u"queued"_s), std::nullopt, state);
    }
    const auto &turn = std::get<TurnItem>(state.items.at(0));
    QCOMPARE(turn.steps.at(0).blocks.size(), size_t(1));
    QCOMPARE(turn.steps.at(0).blocks.at(0).text, expected);
    QCOMPARE(turn.steps.at(0).blocks.at(0).seq, qint64(1));
    QCOMPARE(state.items.size(), size_t(6));
}

QTEST_GUILESS_MAIN(TestAssistantStreamFold)
#include "tst_assistantstreamfold.moc"
