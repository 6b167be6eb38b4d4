#include "FoldTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

class TestProjectionFold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void projection_data();
    void projection();
};

// Each row applies a list of [key, value] pairs, in order, to a fresh state.
void TestProjectionFold::projection_data()
{
    QTest::addColumn<QByteArray>("projections");
    QTest::addColumn<QString>("expected");

    const QByteArray goal = R"({"id":"g","revision":1,"objective":"o","phase":"active"})";
    const QByteArray permissions =
        R"({"options":[{"value":"ask","name":"询问","description":"d"},{"value":"auto","name":"自动"},{"value":"x"},{"name":"y"},3],"current":"ask"})";

    QTest::newRow("unknown key is only recorded") << R"([["jobs",[1,2]]])"_ba << u"lastSeq -1 seen []\nprojectionKeys jobs"_s;
    QTest::newRow("title null clears") << R"([["title","A"],["title",null]])"_ba << u"lastSeq -1 seen []\nprojectionKeys title"_s;
    QTest::newRow("title string") << R"([["title","新标题"]])"_ba << u"lastSeq -1 seen []\nprojectionKeys title\ntitle \"新标题\""_s;
    QTest::newRow("uncachedInputTokens wins")
        << R"([["tokenUsage",{"uncachedInputTokens":10,"inputTokens":99,"outputTokens":5}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys tokenUsage\nusage in=10 out=5 cacheRead=- cacheWrite=- reasoning=-"_s;
    QTest::newRow("inputTokens when uncached is not an integer")
        << R"([["tokenUsage",{"uncachedInputTokens":"10","inputTokens":99,"outputTokens":5,"cacheReadTokens":1,"cacheWriteTokens":2,"reasoningTokens":3}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys tokenUsage\nusage in=99 out=5 cacheRead=1 cacheWrite=2 reasoning=3"_s;
    QTest::newRow("usage without outputTokens clears")
        << R"([["tokenUsage",{"inputTokens":1,"outputTokens":1}],["tokenUsage",{"uncachedInputTokens":10}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys tokenUsage"_s;
    QTest::newRow("usage not an object clears") << R"([["tokenUsage",{"inputTokens":1,"outputTokens":1}],["tokenUsage",[]]])"_ba
                                               << u"lastSeq -1 seen []\nprojectionKeys tokenUsage"_s;
    QTest::newRow("stats null gives zero counts")
        << R"([["sessionStats",{"turns":1,"ttftMs":5}],["sessionStats",null]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys sessionStats\nstats turns=0 steps=0 llm=0 tool=0 ttft=- ttftSteps=- decode=- decodeTokens=-"_s;
    QTest::newRow("stats members")
        << R"([["sessionStats",{"turns":2,"steps":7,"llmMs":1500,"toolMs":300,"ttftMs":120,"ttftSteps":7,"decodeMs":900,"decodeTokens":4000.5}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys sessionStats\nstats turns=2 steps=7 llm=1500 tool=300 ttft=120 ttftSteps=7 decode=900 decodeTokens=-"_s;
    QTest::newRow("plan active alone is not pending") << R"([["plan",{"active":true}]])"_ba
                                                      << u"lastSeq -1 seen []\nprojectionKeys plan\nplan active=true pending=false"_s;
    QTest::newRow("plan not an object turns both off")
        << R"([["plan",{"active":true,"pending":true}],["plan","on"]])"_ba << u"lastSeq -1 seen []\nprojectionKeys plan"_s;
    QTest::newRow("permissions keep only complete options")
        << R"([["permissions",)"_ba + permissions + "]]"
        << u"lastSeq -1 seen []\nprojectionKeys permissions\npermissions current=ask options=ask/询问/d,auto/自动\npermissionPreset \"ask\""_s;
    QTest::newRow("permissions without a current value keep the old state")
        << R"([["permissions",)"_ba + permissions + R"(],["permissions",{"options":[{"value":"auto","name":"自动"}]}],
               ["permissions",{"options":[],"current":7}],["permissions","x"]])"
        << u"lastSeq -1 seen []\nprojectionKeys permissions\npermissions current=ask options=ask/询问/d,auto/自动\npermissionPreset \"ask\""_s;
    QTest::newRow("permissions with a non-array options list")
        << R"([["permissions",{"options":{"value":"a","name":"b"},"current":"full"}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys permissions\npermissions current=full options=\npermissionPreset \"full\""_s;
    QTest::newRow("subagent mode without label clears the label")
        << R"([["subagent",{"mode":"continuable","label":"a"}],["subagent",{"mode":"readonly"}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys subagent\nsubagentMode \"readonly\""_s;
    QTest::newRow("subagent not an object clears both") << R"([["subagent",{"mode":"m","label":"l"}],["subagent",1]])"_ba
                                                        << u"lastSeq -1 seen []\nprojectionKeys subagent"_s;
    QTest::newRow("goal without roundsStarted")
        << R"([["goal",{"goal":)"_ba + goal + R"(,"createdAt":10,"updatedAt":"x"}]])"
        << u"lastSeq -1 seen []\nprojectionKeys goal\ngoal g r1 \"o\" active blocked=- max=- rounds=0 created=10 updated=0"_s;
    QTest::newRow("goal object without objective clears")
        << R"([["goal",{"goal":)"_ba + goal + R"(,"roundsStarted":3}],["goal",{"goal":{"id":"g","revision":1,"phase":"p"}}]])"
        << u"lastSeq -1 seen []\nprojectionKeys goal"_s;
    QTest::newRow("todos: non-array empties")
        << R"([["todos",[{"content":"a","status":"completed"},{"content":"b"}]],["todos",[{"content":"c","status":"pending"}]],["todos",null]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys todos"_s;
    QTest::newRow("todos keep complete elements")
        << R"([["todos",[{"content":"a","status":"completed"},{"content":"b"},{"content":"c","status":"in_progress"}]]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys todos\ntodos a:completed,c:in_progress"_s;
    QTest::newRow("keys accumulate")
        << R"([["title","t"],["jobs",1],["plan",{"pending":true}]])"_ba
        << u"lastSeq -1 seen []\nprojectionKeys jobs,plan,title\ntitle \"t\"\nplan active=false pending=true"_s;
}

void TestProjectionFold::projection()
{
    QFETCH(QByteArray, projections);
    QFETCH(QString, expected);

    FoldState state;
    const JSONValue list = parseJSON(projections);
    for (const JSONValue &pair : list.elements())
        TranscriptFold::applyProjection(*pair.elements()[0].string(), pair.elements()[1], state);
    QCOMPARE(dumpState(state), expected);
}

QTEST_GUILESS_MAIN(TestProjectionFold)
#include "tst_projectionfold.moc"
