#include "Domain/HostDescription.h"
#include "Domain/Sessions.h"
#include "RecordTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace Qt::StringLiterals;

class TestSessionRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostDescription_data();
    void hostDescription();
    void hostDescriptionEquality();
    void displayTitle_data();
    void displayTitle();
    void sessionList_data();
    void sessionList();
    void sessionSummaryFields();
    void smallResults_data();
    void smallResults();
    void promptCommand();
};

void TestSessionRecords::hostDescription_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("required only") << QByteArray(R"({"version":"1.2","cwd":"/h","attachedSessions":0,"canOpenPath":true})")
                                   << true << QString();
    QTest::newRow("all") << QByteArray(
        R"({"version":"1.2","cwd":"/h","provider":"p","model":"m","attachedSessions":3.0,"canOpenPath":false,"x":1})")
                         << true << QString();
    QTest::newRow("provider null")
        << QByteArray(R"({"version":"1","cwd":"/","provider":null,"attachedSessions":1,"canOpenPath":true})") << true
        << QString();
    QTest::newRow("attachedSessions string")
        << QByteArray(R"({"version":"1","cwd":"/","attachedSessions":"3","canOpenPath":true})") << false
        << u"\"attachedSessions\""_s;
    QTest::newRow("attachedSessions fraction")
        << QByteArray(R"({"version":"1","cwd":"/","attachedSessions":2.5,"canOpenPath":true})") << false
        << u"\"attachedSessions\""_s;
    QTest::newRow("attachedSessions 2^63")
        << QByteArray(R"({"version":"1","cwd":"/","attachedSessions":9223372036854775808,"canOpenPath":true})")
        << false << u"\"attachedSessions\""_s;
    QTest::newRow("canOpenPath 0") << QByteArray(R"({"version":"1","cwd":"/","attachedSessions":1,"canOpenPath":0})")
                                   << false << u"\"canOpenPath\""_s;
    QTest::newRow("canOpenPath 1") << QByteArray(R"({"version":"1","cwd":"/","attachedSessions":1,"canOpenPath":1})")
                                   << false << u"\"canOpenPath\""_s;
    QTest::newRow("model number")
        << QByteArray(R"({"version":"1","cwd":"/","model":4,"attachedSessions":1,"canOpenPath":true})") << false
        << u"\"model\""_s;
    QTest::newRow("version missing") << QByteArray(R"({"cwd":"/","attachedSessions":1,"canOpenPath":true})") << false
                                     << u"key \"version\" not found"_s;
    QTest::newRow("cwd null") << QByteArray(R"({"version":"1","cwd":null,"attachedSessions":1,"canOpenPath":true})")
                              << false << u"key \"cwd\" not found"_s;
    QTest::newRow("not an object") << QByteArray(R"(["version"])") << false << u"object"_s;
}

void TestSessionRecords::hostDescription()
{
    NBD_CHECK_DECODE(HostDescription, d);
}

void TestSessionRecords::hostDescriptionEquality()
{
    const auto a = test::tryDecode<HostDescription>(
        R"({"version":"1.2","cwd":"/h","attachedSessions":2,"canOpenPath":true})");
    const auto b = test::tryDecode<HostDescription>(
        R"({"version":"1.2","cwd":"/h","attachedSessions":2,"canOpenPath":false})");
    const auto c = test::tryDecode<HostDescription>(
        R"({"canOpenPath":true,"attachedSessions":2.0,"cwd":"/h","version":"1.2","provider":null})");
    QVERIFY(a && b && c);
    QVERIFY(!a->provider && !a->model);
    QVERIFY(*a != *b);
    QCOMPARE(*a, *c);
    HostDescription withProvider = *a;
    withProvider.provider = u""_s;
    QVERIFY(withProvider != *a);
}

void TestSessionRecords::displayTitle_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("title");

    const auto row = [](const char *name, const char *members, const QString &title) {
        QTest::newRow(name) << (QByteArray(R"({"sessionId":"s-1","updatedAt":1,"running":false,)") + members + "}")
                            << title;
    };
    row("projected title trimmed", R"("blank":false,"projections":{"asOfSeq":1,"values":{"title":"  标题 \n"}})",
        u"标题"_s);
    row("title wins over cwd", R"("blank":false,"cwd":"/a/b","projections":{"asOfSeq":1,"values":{"title":"T"}})",
        u"T"_s);
    row("ideographic space and CR trimmed",
        "\"blank\":false,\"projections\":{\"asOfSeq\":1,\"values\":{\"title\":\"\\u3000\\r\\tx y\\u2028\"}}",
        u"x y"_s);
    row("blank title falls back to cwd",
        R"("blank":false,"cwd":"/Users/a/proj","projections":{"asOfSeq":1,"values":{"title":" \n\t "}})", u"proj"_s);
    row("empty title falls back", R"("blank":true,"cwd":"/x","projections":{"asOfSeq":1,"values":{"title":""}})",
        u"x"_s);
    row("numeric title falls back", R"("blank":false,"cwd":"/x/y","projections":{"asOfSeq":1,"values":{"title":5}})",
        u"y"_s);
    row("null title falls back", R"("blank":true,"projections":{"asOfSeq":1,"values":{"title":null}})", u"新会话"_s);
    row("cwd trailing slash", R"("blank":false,"cwd":"/Users/a/proj/")", u"proj"_s);
    row("windows cwd", R"("blank":false,"cwd":"C:\\work\\app")", u"app"_s);
    row("mixed separators", R"("blank":false,"cwd":"C:\\work/sub\\app\\/")", u"app"_s);
    row("double slashes inside", R"("blank":false,"cwd":"/a//b//")", u"b"_s);
    row("relative cwd", R"("blank":false,"cwd":"proj")", u"proj"_s);
    row("slashes only, not blank", R"("blank":false,"cwd":"///")", u"s-1"_s);
    row("backslashes only, blank", R"("blank":true,"cwd":"\\\\")", u"新会话"_s);
    row("empty cwd", R"("blank":false,"cwd":"")", u"s-1"_s);
    row("cwd null", R"("blank":true,"cwd":null)", u"新会话"_s);
    row("blank, nothing known", R"("blank":true)", u"新会话"_s);
    row("not blank, nothing known", R"("blank":false)", u"s-1"_s);
    // Only the title is trimmed of blanks: a directory named by a space is a real name.
    row("cwd component of a space", R"("blank":false,"cwd":"/a/ /")", u" "_s);
}

void TestSessionRecords::displayTitle()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, title);
    QString error;
    const auto s = test::tryDecode<SessionSummary>(text, &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(s->displayTitle(), title);
}

void TestSessionRecords::sessionList_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty") << QByteArray(R"({"items":[]})") << true << QString();
    QTest::newRow("two rows") << QByteArray(R"({"items":[
        {"sessionId":"a","updatedAt":1700000000123.5,"running":true,"blank":false},
        {"sessionId":"b","updatedAt":2,"running":false,"blank":true,"origin":"subagent","parentSessionId":"a"}]})")
                              << true << QString();
    QTest::newRow("row without blank") << QByteArray(R"({"items":[
        {"sessionId":"a","updatedAt":1,"running":true,"blank":false},
        {"sessionId":"b","updatedAt":2,"running":false}]})") << false
                                       << u"key \"blank\" not found"_s;
    QTest::newRow("updatedAt string") << QByteArray(
        R"({"items":[{"sessionId":"a","updatedAt":"2024","running":true,"blank":false}]})") << false
                                      << u"\"updatedAt\""_s;
    QTest::newRow("running null") << QByteArray(
        R"({"items":[{"sessionId":"a","updatedAt":1,"running":null,"blank":false}]})") << false
                                  << u"key \"running\" not found"_s;
    QTest::newRow("cwd number") << QByteArray(
        R"({"items":[{"sessionId":"a","updatedAt":1,"running":true,"blank":false,"cwd":7}]})") << false
                                << u"\"cwd\""_s;
    QTest::newRow("projections without values") << QByteArray(
        R"({"items":[{"sessionId":"a","updatedAt":1,"running":true,"blank":false,"projections":{"asOfSeq":1}}]})")
                                                << false << u"key \"values\" not found"_s;
    QTest::newRow("items object") << QByteArray(R"({"items":{}})") << false << u"\"items\""_s;
    QTest::newRow("items missing") << QByteArray(R"({})") << false << u"key \"items\" not found"_s;
}

void TestSessionRecords::sessionList()
{
    NBD_CHECK_DECODE(SessionListValue, list);
}

void TestSessionRecords::sessionSummaryFields()
{
    const auto list = test::tryDecode<SessionListValue>(R"({"items":[
        {"sessionId":"a","updatedAt":1700000000123.5,"running":true,"blank":false,"agentPreset":"coder",
         "cwd":"/w","parentSessionId":null,"projections":{"asOfSeq":5,"values":{"title":"T","other":[1]}}}]})");
    QVERIFY(list);
    const SessionSummary &s = list->items.at(0);
    QCOMPARE(s.id(), u"a"_s);
    QCOMPARE(s.updatedAt, 1700000000123.5);
    QVERIFY(s.running);
    QCOMPARE(s.agentPreset, std::optional<QString>(u"coder"_s));
    QVERIFY(!s.parentSessionId);
    QCOMPARE(s.projectedTitle(), std::optional<QString>(u"T"_s));
    QCOMPARE(s.projections->values.at(u"other"_s), test::json("[1]"));

    SessionSummary changed = s;
    changed.projections->asOfSeq = 6;
    QVERIFY(changed != s);
}

void TestSessionRecords::smallResults_data()
{
    QTest::addColumn<QString>("record");
    NBD_DECODE_COLUMNS();
    const auto row = [](const char *name, const char *record, const char *text, bool ok, const QString &part) {
        QTest::newRow(name) << QString::fromLatin1(record) << QByteArray(text) << ok << part;
    };
    row("search", "search", R"({"items":[{"sessionId":"a","snippet":"…x…"}],"hasMore":true})", true, {});
    row("search without hasMore", "search", R"({"items":[]})", false, u"\"hasMore\""_s);
    row("search hit without snippet", "search", R"({"items":[{"sessionId":"a"}],"hasMore":false})", false,
        u"\"snippet\""_s);
    row("create", "create", R"({"sessionId":"n"})", true, {});
    row("create with preset", "create", R"({"sessionId":"n","agentPreset":"p"})", true, {});
    row("create preset number", "create", R"({"sessionId":"n","agentPreset":1})", false, u"\"agentPreset\""_s);
    row("rename", "rename", R"({"title":"t","seq":4})", true, {});
    row("rename seq fraction", "rename", R"({"title":"t","seq":4.5})", false, u"\"seq\""_s);
    row("fork", "fork", R"({"sessionId":"f"})", true, {});
    row("fork missing", "fork", R"({"id":"f"})", false, u"\"sessionId\""_s);
    row("cancel", "cancel", R"({"accepted":false})", true, {});
    row("cancel string", "cancel", R"({"accepted":"yes"})", false, u"\"accepted\""_s);
    row("queue", "queue", R"({"accepted":true})", true, {});
    row("queue missing", "queue", R"({})", false, u"\"accepted\""_s);
    row("execute", "execute", R"({"commandId":"c","result":{"kind":"ok","text":"t","sourceEventSeq":3}})", true, {});
    row("execute seq fraction", "execute", R"({"commandId":"c","result":{"kind":"ok","sourceEventSeq":3.5}})", false,
        u"\"sourceEventSeq\""_s);
    row("execute without result", "execute", R"({"commandId":"c"})", false, u"\"result\""_s);
    row("execute result without kind", "execute", R"({"commandId":"c","result":{}})", false, u"\"kind\""_s);
}

void TestSessionRecords::smallResults()
{
    test::checkDecodeByName({
        {u"search", &test::decodes<SessionSearchValue>},
        {u"create", &test::decodes<SessionCreateValue>},
        {u"rename", &test::decodes<SessionRenameValue>},
        {u"fork", &test::decodes<SessionForkValue>},
        {u"cancel", &test::decodes<SessionCancelValue>},
        {u"queue", &test::decodes<SessionUpdateQueueValue>},
        {u"execute", &test::decodes<CommandExecutionValue>},
    });
}

void TestSessionRecords::promptCommand()
{
    const auto none = test::tryDecode<SessionPromptValue>(R"({"accepted":true})");
    const auto nullCommand = test::tryDecode<SessionPromptValue>(R"({"accepted":true,"command":null})");
    const auto command = test::tryDecode<SessionPromptValue>(R"({"accepted":false,"command":{"kind":"help","text":"x"}})");
    QVERIFY(none && nullCommand && command);
    QVERIFY(!none->command);
    QCOMPARE(*none, *nullCommand);
    QCOMPARE(command->command->kind, u"help"_s);
    QCOMPARE(command->command->text, std::optional<QString>(u"x"_s));
    QVERIFY(!test::tryDecode<SessionPromptValue>(R"({"accepted":true,"command":{"text":"x"}})"));
    QVERIFY(!test::tryDecode<SessionPromptValue>(R"({"accepted":true,"command":"help"})"));
}

QTEST_GUILESS_MAIN(TestSessionRecords)
#include "tst_sessionrecords.moc"
