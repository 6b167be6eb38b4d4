#include "FoldTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

class TestTranscriptFold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void eventFold_data();
    void eventFold();
    void turnEndReason_data();
    void turnEndReason();
    void compactionSummary_data();
    void compactionSummary();
    void duplicateRowsFollowLookupRules();
    void rowsAppendedOutsideTheFoldAreFound();
    void rowIds();
};

void TestTranscriptFold::eventFold_data()
{
    QTest::addColumn<QByteArray>("events");
    QTest::addColumn<QString>("expected");

    const QByteArray goal =
        R"({"id":"g1","revision":2,"objective":"ship","phase":"active","blockedReason":{"code":"c","message":"m"},"maxGoalRounds":3})";

    QTest::newRow("seq 0 folds") << R"([{"type":"turn/start","seq":0,"data":{"turn":1}}])"_ba
                                 << u"lastSeq 0 seen [0]\nturn 1 running"_s;
    QTest::newRow("duplicate changes nothing, not even lastSeq")
        << R"([{"type":"turn/start","seq":5,"data":{"turn":1}},
               {"type":"user/message","seq":3,"data":{"content":[{"type":"text","text":"hi"}]}},
               {"type":"user/message","seq":3,"data":{"content":[{"type":"text","text":"again"}]}},
               {"type":"turn/start","seq":5,"data":{"turn":9}}])"_ba
        << u"lastSeq 5 seen [3,5]\nturn 1 running\nuser u-3 seq 3 \"hi\""_s;
    QTest::newRow("surface replace still counts as seen")
        << R"([{"type":"user/message","seq":7,"surfaceOp":{"op":"replace"},"data":{"content":[{"type":"text","text":"x"}]}},
               {"type":"user/message","seq":7,"data":{"content":[{"type":"text","text":"y"}]}}])"_ba
        << u"lastSeq 7 seen [7]"_s;
    QTest::newRow("other surface op folds")
        << R"([{"type":"user/message","seq":2,"surfaceOp":{"op":"append"},"data":{"content":[{"type":"text","text":"x"}]}},
               {"type":"user/message","seq":3,"surfaceOp":"replace","data":{"content":[{"type":"text","text":"y"}]}}])"_ba
        << u"lastSeq 3 seen [2-3]\nuser u-2 seq 2 \"x\"\nuser u-3 seq 3 \"y\""_s;
    QTest::newRow("unknown type becomes a notice")
        << R"([{"type":"mystery/thing","seq":4,"data":1}])"_ba
        << u"lastSeq 4 seen [4]\nnotice n-4 seq 4 questionmark.diamond neutral x1 \"未知事件类型：mystery/thing\""_s;
    QTest::newRow("unknown ignorable leaves only its seq")
        << R"([{"type":"mystery/thing","seq":4,"data":{},"ignorable":true}])"_ba << u"lastSeq 4 seen [4]"_s;
    QTest::newRow("unknown ignorable false is a notice")
        << R"([{"type":"Turn/Start","seq":1,"data":{"turn":1},"ignorable":false}])"_ba
        << u"lastSeq 1 seen [1]\nnotice n-1 seq 1 questionmark.diamond neutral x1 \"未知事件类型：Turn/Start\""_s;
    QTest::newRow("bookkeeping events change nothing")
        << R"([{"type":"approval/asked","seq":1,"data":{"turn":1}},{"type":"hook/result","seq":2,"data":{}},
               {"type":"step/end","seq":3,"data":{"turn":1,"step":1}},{"type":"web/nimbrel-search-llm-request","seq":4,"data":{}}])"_ba
        << u"lastSeq 4 seen [1-4]"_s;
    QTest::newRow("turn start empties todos even for an existing turn")
        << R"([{"type":"turn/start","seq":1,"data":{"turn":2}},
               {"type":"todo/write","seq":2,"data":{"todos":[{"content":"a","status":"pending"}]}},
               {"type":"turn/start","seq":3,"data":{"turn":2}}])"_ba
        << u"lastSeq 3 seen [1-3]\nturn 2 running"_s;
    QTest::newRow("turn start without integer turn keeps todos")
        << R"([{"type":"todo/write","seq":1,"data":{"todos":[{"content":"a","status":"pending"}]}},
               {"type":"turn/start","seq":2,"data":{"turn":"2"}},{"type":"turn/start","seq":3,"data":{"turn":2.5}},
               {"type":"turn/start","seq":4,"data":[2]}])"_ba
        << u"lastSeq 4 seen [1-4]\ntodos a:pending"_s;
    QTest::newRow("step start creates turn and sorted steps")
        << R"([{"type":"step/start","seq":1,"data":{"turn":1,"step":3}},{"type":"step/start","seq":2,"data":{"turn":1,"step":1}},
               {"type":"step/start","seq":3,"data":{"turn":1,"step":2}},{"type":"step/start","seq":4,"data":{"turn":1,"step":1}},
               {"type":"step/start","seq":5,"data":{"turn":1}}])"_ba
        << u"lastSeq 5 seen [1-5]\nturn 1 running\n  step 1\n  step 2\n  step 3"_s;
    QTest::newRow("turn end for a turn never started")
        << R"([{"type":"user/message","seq":1,"data":{"content":[{"type":"text","text":"go"}]}},
               {"type":"turn/end","seq":2,"data":{"turn":4}}])"_ba
        << u"lastSeq 2 seen [1-2]\nuser u-1 seq 1 \"go\"\nturn 4 finished unknown"_s;
    QTest::newRow("turn end finishes again with the new reason")
        << R"([{"type":"turn/start","seq":1,"data":{"turn":1}},{"type":"turn/end","seq":2,"data":{"turn":1,"reason":{"kind":"completed"}}},
               {"type":"turn/end","seq":3,"data":{"turn":1,"reason":{"kind":"max-tokens"}}},
               {"type":"turn/end","seq":4,"data":{"turn":"1","reason":{"kind":"error"}}}])"_ba
        << u"lastSeq 4 seen [1-4]\nturn 1 finished maxTokens"_s;
    QTest::newRow("todo write keeps only complete elements")
        << R"([{"type":"todo/write","seq":1,"data":{"todos":[{"content":"a","status":"pending"},{"content":"b"},5,
               {"content":"c","status":"in_progress"},{"content":7,"status":"completed"}]}}])"_ba
        << u"lastSeq 1 seen [1]\ntodos a:pending,c:in_progress"_s;
    QTest::newRow("todo write without a list empties")
        << R"([{"type":"todo/write","seq":1,"data":{"todos":[{"content":"a","status":"pending"}]}},
               {"type":"todo/write","seq":2,"data":{"todos":{"content":"b","status":"pending"}}}])"_ba
        << u"lastSeq 2 seen [1-2]"_s;
    QTest::newRow("goal change sets the goal")
        << R"([{"type":"goal/change","seq":1,"data":{"kind":"goal/change","op":"set","goal":)"_ba + goal
               + R"(,"roundsStarted":2,"createdAt":1.5,"updatedAt":2.5}}])"_ba
        << u"lastSeq 1 seen [1]\ngoal g1 r2 \"ship\" active blocked=\"m\" max=3 rounds=2 created=1.5 updated=2.5"_s;
    QTest::newRow("goal change clear")
        << R"([{"type":"goal/change","seq":1,"data":{"kind":"goal/change","op":"set","goal":)"_ba + goal
               + R"(}},{"type":"goal/change","seq":2,"data":{"kind":"goal/change","op":"clear"}}])"_ba
        << u"lastSeq 2 seen [1-2]"_s;
    QTest::newRow("goal change that cannot be read keeps the goal")
        << R"([{"type":"goal/change","seq":1,"data":{"kind":"goal/change","op":"set","goal":)"_ba + goal + R"(}},
               {"type":"goal/change","seq":2,"data":{"kind":"goal/change","op":"set","goal":{"id":"g2","revision":1,"objective":"x"}}},
               {"type":"goal/change","seq":3,"data":{"kind":"goal/other","op":"clear"}},
               {"type":"goal/change","seq":4,"data":{"kind":"goal/change","op":3}},
               {"type":"goal/change","seq":5,"data":{"kind":"goal/change","op":"set","goal":{"id":"g3","revision":1.5,"objective":"x","phase":"p"}}}])"_ba
        << u"lastSeq 5 seen [1-5]\ngoal g1 r2 \"ship\" active blocked=\"m\" max=3 rounds=0 created=0 updated=0"_s;
    QTest::newRow("goal blocked reason falls back to code")
        << R"([{"type":"goal/change","seq":1,"data":{"kind":"goal/change","op":"set","roundsStarted":"2","goal":{"id":"a","revision":1,"objective":"o","phase":"blocked","blockedReason":{"code":"quota","message":4}}}}])"_ba
        << u"lastSeq 1 seen [1]\ngoal a r1 \"o\" blocked blocked=\"quota\" max=- rounds=0 created=0 updated=0"_s;
    QTest::newRow("goal blocked reason as a plain string is absent")
        << R"([{"type":"goal/change","seq":2,"data":{"kind":"goal/change","op":"set","goal":{"id":"a","revision":2,"objective":"o","phase":"blocked","blockedReason":"why","maxGoalRounds":"3"}}}])"_ba
        << u"lastSeq 2 seen [2]\ngoal a r2 \"o\" blocked blocked=- max=- rounds=0 created=0 updated=0"_s;
    QTest::newRow("title: a non-string keeps the old one")
        << R"([{"type":"session/title","seq":1,"data":{"title":"A"}},{"type":"session/title","seq":2,"data":{"title":5}},
               {"type":"session/title","seq":3,"data":{}}])"_ba
        << u"lastSeq 3 seen [1-3]\ntitle \"A\""_s;
    QTest::newRow("plan mode with a non-bool active turns plan off")
        << R"([{"type":"plan/mode","seq":1,"data":{"active":true}},{"type":"command/run","seq":2,"data":{"name":"plan","args":"off"}},
               {"type":"plan/mode","seq":3,"data":{"active":"yes"}}])"_ba
        << u"lastSeq 3 seen [1-3]"_s;
    QTest::newRow("plan request: padded off while off is not pending")
        << R"([{"type":"command/run","seq":1,"data":{"name":"plan","args":" off\n"}}])"_ba << u"lastSeq 1 seen [1]"_s;
    QTest::newRow("plan request without args while off is pending")
        << R"([{"type":"command/run","seq":1,"data":{"name":"plan","args":7}}])"_ba
        << u"lastSeq 1 seen [1]\nplan active=false pending=true"_s;
    QTest::newRow("plan request off while on is pending; other commands change nothing")
        << R"([{"type":"plan/mode","seq":1,"data":{"active":true}},{"type":"command/run","seq":2,"data":{"name":"plan","args":"\toff "}},
               {"type":"command/run","seq":3,"data":{"name":"compact","args":"on"}}])"_ba
        << u"lastSeq 3 seen [1-3]\nplan active=true pending=true"_s;
    QTest::newRow("plan request on while on clears pending")
        << R"([{"type":"plan/mode","seq":1,"data":{"active":true}},{"type":"command/run","seq":2,"data":{"name":"plan","args":"off"}},
               {"type":"command/run","seq":3,"data":{"name":"plan","args":"on"}}])"_ba
        << u"lastSeq 3 seen [1-3]\nplan active=true pending=false"_s;
    QTest::newRow("presets and descriptors set, and clear on a missing member")
        << R"([{"type":"permission/preset","seq":1,"data":{"preset":"auto"}},{"type":"sandbox/mode","seq":2,"data":{"mode":"strict"}},
               {"type":"agent-preset/selected","seq":3,"data":{"agentPreset":"coder"}},
               {"type":"subagent/descriptor","seq":4,"data":{"mode":"continuable","label":"helper"}},
               {"type":"permission/preset","seq":5,"data":{}},{"type":"subagent/descriptor","seq":6,"data":{"mode":"readonly","label":3}}])"_ba
        << u"lastSeq 6 seen [1-6]\nsandboxMode \"strict\"\nagentPreset \"coder\"\nsubagentMode \"readonly\""_s;
    QTest::newRow("compaction notice with all detail parts")
        << R"([{"type":"compaction/summary","seq":9,"data":{"range":{"start":12,"end":40},"shadowedTokenCount":5000,
               "summary":[{"type":"text","text":"short"},{"type":"image"},{"type":"text","text":"two"}]}}])"_ba
        << u"lastSeq 9 seen [9]\nnotice n-9 seq 9 scissors info x1 \"上下文压缩检查点\" detail=\"隐藏了约 28 条历史消息 · 约 5000 tokens · 摘要：short\\ntwo\""_s;
    QTest::newRow("compaction notice without detail")
        << R"([{"type":"compaction/summary","seq":9,"data":{"range":{"start":40,"end":12},"shadowedTokenCount":0,"summary":"text"}}])"_ba
        << u"lastSeq 9 seen [9]\nnotice n-9 seq 9 scissors info x1 \"上下文压缩检查点\""_s;
    QTest::newRow("compaction range with missing members counts from 0")
        << R"([{"type":"compaction/summary","seq":1,"data":{"range":{"end":3},"shadowedTokenCount":1.5}}])"_ba
        << u"lastSeq 1 seen [1]\nnotice n-1 seq 1 scissors info x1 \"上下文压缩检查点\" detail=\"隐藏了约 3 条历史消息\""_s;
    QTest::newRow("compaction range too long for 64 bits is left out")
        << R"([{"type":"compaction/summary","seq":1,"data":{"range":{"start":-9223372036854775808,"end":9000000000000000000},"shadowedTokenCount":7}}])"_ba
        << u"lastSeq 1 seen [1]\nnotice n-1 seq 1 scissors info x1 \"上下文压缩检查点\" detail=\"约 7 tokens\""_s;
}

void TestTranscriptFold::eventFold()
{
    QFETCH(QByteArray, events);
    QFETCH(QString, expected);
    QCOMPARE(dumpState(foldJson(events)), expected);
}

void TestTranscriptFold::turnEndReason_data()
{
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("label");

    const auto row = [](const char *name, const char *json, TurnEndReason r, const QString &label) {
        QTest::newRow(name) << QByteArray(json) << int(r) << label;
    };
    row("completed", R"({"kind":"completed"})", TurnEndReason::completed, u"已完成"_s);
    row("aborted", R"({"kind":"aborted"})", TurnEndReason::aborted, u"已中止"_s);
    row("blocked", R"({"kind":"blocked"})", TurnEndReason::blocked, u"受阻"_s);
    row("error", R"({"kind":"error","message":"x"})", TurnEndReason::error, u"出错"_s);
    row("max-tokens", R"({"kind":"max-tokens"})", TurnEndReason::maxTokens, u"达到 token 上限"_s);
    row("interrupted", R"({"kind":"interrupted"})", TurnEndReason::interrupted, u"已中断"_s);
    row("other word", R"({"kind":"maxTokens"})", TurnEndReason::unknown, u"未知原因"_s);
    row("kind not a string", R"({"kind":1})", TurnEndReason::unknown, u"未知原因"_s);
    row("no kind", R"({})", TurnEndReason::unknown, u"未知原因"_s);
    row("reason a string", R"("completed")", TurnEndReason::unknown, u"未知原因"_s);
    row("reason null", R"(null)", TurnEndReason::unknown, u"未知原因"_s);
    row("no reason", "", TurnEndReason::unknown, u"未知原因"_s);
}

void TestTranscriptFold::turnEndReason()
{
    QFETCH(QByteArray, reason);
    QFETCH(int, expected);
    QFETCH(QString, label);

    JSONValue data = obj({{u"turn"_s, JSONValue(3)}});
    if (!reason.isEmpty())
        data = data.with(u"reason"_s, parseJSON(reason));
    FoldState state;
    TranscriptFold::fold(makeEvent(u"turn/end"_s, 1, data), std::nullopt, state);
    QCOMPARE(state.items.size(), size_t(1));
    const auto &turn = std::get<TurnItem>(state.items[0]);
    QVERIFY(turn.status.isFinished());
    QCOMPARE(int(*turn.status.endReason()), expected);
    QCOMPARE(nbd::label(*turn.status.endReason()), label);
}

void TestTranscriptFold::compactionSummary_data()
{
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("expectedDetail");

    const QString e = u"e\u0301"_s; // one character, two UTF-16 units
    const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s; // one character, eight units
    QTest::newRow("239 characters, no ellipsis") << QString(239, u'a') << u"摘要："_s + QString(239, u'a');
    QTest::newRow("exactly 240 characters ends with an ellipsis") << QString(240, u'a') << u"摘要："_s + QString(240, u'a') + u"…"_s;
    QTest::newRow("longer summary is cut at 240") << QString(300, u'b') << u"摘要："_s + QString(240, u'b') + u"…"_s;
    QTest::newRow("combining marks count once") << e.repeated(241) << u"摘要："_s + e.repeated(240) + u"…"_s;
    QTest::newRow("joined emoji count once") << family.repeated(239) + u"xyz"_s
                                             << u"摘要："_s + family.repeated(239) + u"x…"_s;
    QTest::newRow("empty summary leaves no part") << QString() << QString();
}

void TestTranscriptFold::compactionSummary()
{
    QFETCH(QString, summary);
    QFETCH(QString, expectedDetail);

    const JSONValue data = obj({{u"summary"_s, JSONValue::array({textPart(summary)})}});
    FoldState state;
    TranscriptFold::fold(makeEvent(u"compaction/summary"_s, 2, data), std::nullopt, state);
    const auto &notice = std::get<NoticeItem>(state.items.at(0));
    QCOMPARE(notice.detail.value_or(QString()), expectedDetail);
    QCOMPARE(notice.detail.has_value(), !expectedDetail.isEmpty());
}

// When rows repeat a number (a state built elsewhere), the turn is the last row with it,
// the step and block the first with theirs.
void TestTranscriptFold::duplicateRowsFollowLookupRules()
{
    const auto block = [](qint64 index, const QString &text) {
        BlockItem b;
        b.index = index;
        b.seq = 1;
        b.text = text;
        return b;
    };
    FoldState state;
    state.items.push_back(TurnItem{1, {StepItem{1, {block(0, u"a"_s)}}}, TurnStatus::running()});
    state.items.push_back(TurnItem{1, {StepItem{1, {block(0, u"b"_s), block(0, u"c"_s)}}, StepItem{1, {block(0, u"d"_s)}}},
                                   TurnStatus::running()});
    state.items.push_back(UserMessageItem{u"u"_s, 2, u"hi"_s, {}, u"user"_s});

    TranscriptFold::fold(textDelta(10, 1, 1, 0, u"+"_s), std::nullopt, state);
    TranscriptFold::fold(turnEnd(11, 1, u"completed"_s), std::nullopt, state);
    QCOMPARE(dumpState(state), u"lastSeq 11 seen [10-11]\n"
                               "turn 1 running\n  step 1\n    text #0 seq 1 \"a\"\n"
                               "turn 1 finished completed\n  step 1\n    text #0 seq 1 \"b+\"\n    text #0 seq 1 \"c\"\n"
                               "  step 1\n    text #0 seq 1 \"d\"\n"
                               "user u seq 2 \"hi\""_s);
}

void TestTranscriptFold::rowsAppendedOutsideTheFoldAreFound()
{
    FoldState state;
    TranscriptFold::fold(textDelta(1, 1, 1, 0, u"a"_s), std::nullopt, state);
    TranscriptFold::fold(toolCall(2, 1, 1, u"c1"_s, u"read"_s, u"{}"_s), std::nullopt, state);
    // A copy grows by rows it did not fold itself.
    FoldState copy = state;
    BlockItem call;
    call.index = 0;
    call.kind = BlockKind::toolCall;
    call.seq = 3;
    call.toolCallId = u"c1"_s;
    copy.items.push_back(TurnItem{2, {StepItem{1, {call}}}, TurnStatus::running()});
    copy.items.push_back(NoticeItem{u"orphan-tool-results-3"_s, u"terminal"_s, u"x"_s, 3, {}, {}, NoticeTint::neutral, 1});

    TranscriptFold::fold(textDelta(4, 2, 1, 1, u"b"_s), std::nullopt, copy);
    TranscriptFold::fold(toolResult(5, u"c1"_s, u"out"_s), std::nullopt, copy);
    TranscriptFold::fold(toolResult(6, u"zz"_s, u"lost"_s), std::nullopt, copy);
    QCOMPARE(dumpState(copy), u"lastSeq 6 seen [1-2,4-6]\n"
                              "turn 1 running\n  step 1\n    text #0 seq 1 \"a\"\n    toolCall #1 seq 2 id=c1 name=\"read\" args=\"{}\"\n"
                              "turn 2 running\n  step 1\n    toolCall #0 seq 3 id=c1 result=\"out\"\n    text #1 seq 4 \"b\"\n"
                              "notice orphan-tool-results-3 seq 3 terminal neutral x2 \"未关联的工具输出\" detail=\"2 项 · 1 行 · 4 字符\" payload=\"lost\""_s);
    // The original is untouched by what happened to the copy.
    QCOMPARE(state.items.size(), size_t(1));
}

void TestTranscriptFold::rowIds()
{
    const FoldState state = foldJson(R"([{"type":"user/message","seq":1,"data":{"id":"m-1","content":[{"type":"text","text":"a"}]}},
        {"type":"user/message","seq":2,"data":{"content":[{"type":"text","text":"b"}]}},
        {"type":"turn/start","seq":3,"data":{"turn":12}},{"type":"odd","seq":4,"data":{}},
        {"type":"tool/result","seq":5,"data":{"message":{"content":[{"type":"tool-result","toolCallId":"x"}]}}}])");
    QStringList ids;
    for (const TranscriptItem &item : state.items)
        ids << transcriptItemId(item);
    QCOMPARE(ids, QStringList({u"m-1"_s, u"u-2"_s, u"t-12"_s, u"n-4"_s, u"orphan-tool-results-5"_s}));
}

QTEST_GUILESS_MAIN(TestTranscriptFold)
#include "tst_transcriptfold.moc"
