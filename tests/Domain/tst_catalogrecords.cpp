#include "Domain/ModelCatalogue.h"
#include "Domain/Workspaces.h"
#include "RecordTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace Qt::StringLiterals;

class TestCatalogRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sessionModels_data();
    void sessionModels();
    void sessionModelsContent();
    void workspaceList_data();
    void workspaceList();
    void workspaceResults_data();
    void workspaceResults();
    void workspaceIdentity();
};

static QByteArray modelsWith(const char *groups, const char *extra = "")
{
    return QByteArray(R"({"current":{"provider":"p","model":"org/m"},"routable":true,"failures":[],"groups":)") + groups
           + extra + "}";
}

void TestCatalogRecords::sessionModels_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("minimal") << modelsWith("[]") << true << QString();
    QTest::newRow("effort null") << QByteArray(
        R"({"current":{"provider":"p","model":"m","reasoningEffort":null},"routable":false,"groups":[],"failures":[]})")
                                 << true << QString();
    QTest::newRow("model without reasoning")
        << modelsWith(R"([{"id":"p","name":"P","models":[{"id":"m","name":"M"}]}])") << true << QString();
    QTest::newRow("empty efforts")
        << modelsWith(R"([{"id":"p","name":"P","models":[{"id":"m","name":"M","reasoning":{"efforts":[]}}]}])") << true
        << QString();
    QTest::newRow("unknown effort id and extra keys")
        << modelsWith(R"([{"id":"p","name":"P","x":1,"models":[{"id":"m","name":"M","y":[],
            "reasoning":{"efforts":[{"id":"ultra-9","name":"U","z":null}],"defaultEffort":"ultra-9"}}]}])",
                      R"(,"extra":{"a":1})")
        << true << QString();
    QTest::newRow("routable missing") << QByteArray(
        R"({"current":{"provider":"p","model":"m"},"groups":[],"failures":[]})") << false << u"\"routable\""_s;
    QTest::newRow("groups missing") << QByteArray(
        R"({"current":{"provider":"p","model":"m"},"routable":true,"failures":[]})") << false << u"\"groups\""_s;
    QTest::newRow("failures missing") << QByteArray(
        R"({"current":{"provider":"p","model":"m"},"routable":true,"groups":[]})") << false << u"\"failures\""_s;
    QTest::newRow("group without models") << modelsWith(R"([{"id":"p","name":"P"}])") << false << u"\"models\""_s;
    QTest::newRow("one bad model") << modelsWith(R"([{"id":"p","name":"P","models":[{"id":"a","name":"A"},{"id":"b"}]}])")
                                   << false << u"\"name\""_s;
    QTest::newRow("effort without name")
        << modelsWith(R"([{"id":"p","name":"P","models":[{"id":"m","name":"M","reasoning":{"efforts":[{"id":"e"}]}}]}])")
        << false << u"\"name\""_s;
    QTest::newRow("reasoning without efforts")
        << modelsWith(R"([{"id":"p","name":"P","models":[{"id":"m","name":"M","reasoning":{}}]}])") << false
        << u"\"efforts\""_s;
    QTest::newRow("failure without message") << QByteArray(
        R"({"current":{"provider":"p","model":"m"},"routable":true,"groups":[],"failures":[{"id":"p","name":"P"}]})")
                                             << false << u"\"message\""_s;
    QTest::newRow("current without model") << QByteArray(
        R"({"current":{"provider":"p"},"routable":true,"groups":[],"failures":[]})") << false << u"\"model\""_s;
    QTest::newRow("description number")
        << modelsWith(R"([{"id":"p","name":"P","models":[{"id":"m","name":"M","description":3}]}])") << false
        << u"\"description\""_s;
}

void TestCatalogRecords::sessionModels()
{
    NBD_CHECK_DECODE(SessionModelsValue, v);
}

void TestCatalogRecords::sessionModelsContent()
{
    const char *two = R"([{"id":"a","name":"A","models":[{"id":"m1","name":"M1",
        "reasoning":{"efforts":[{"id":"low","name":"低"},{"id":"high","name":"高","description":"d"}],"defaultEffort":"low"}}]},
        {"id":"b","name":"B","models":[]}])";
    const char *swapped = R"([{"id":"b","name":"B","models":[]},{"id":"a","name":"A","models":[{"id":"m1","name":"M1",
        "reasoning":{"efforts":[{"id":"low","name":"低"},{"id":"high","name":"高","description":"d"}],"defaultEffort":"low"}}]}])";
    const auto a = test::tryDecode<SessionModelsValue>(modelsWith(two));
    const auto b = test::tryDecode<SessionModelsValue>(modelsWith(swapped));
    const auto again = test::tryDecode<SessionModelsValue>(modelsWith(two));
    QVERIFY(a && b && again);
    QCOMPARE(a->groups.size(), size_t(2));
    const ModelCatalogModel &m = a->groups[0].models.at(0);
    QCOMPARE(m.reasoning->efforts.size(), size_t(2));
    QCOMPARE(m.reasoning->efforts[1].name, u"高"_s);
    QCOMPARE(m.reasoning->defaultEffort, std::optional<QString>(u"low"_s));
    QCOMPARE(a->current.model, u"org/m"_s);
    QVERIFY(!a->current.reasoningEffort);
    QVERIFY(*a != *b); // group order matters
    QCOMPARE(*a, *again);
}

static QByteArray workspace(const char *members)
{
    return QByteArray(R"({"workspaceId":"w1","path":"/p","title":"P","createdAt":"2024-01-01","updatedAt":"2024-01-02")")
           + members + "}";
}

void TestCatalogRecords::workspaceList_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty lists") << QByteArray(R"({"items":[],"archivedSessionIds":[]})") << true << QString();
    QTest::newRow("empty session ids") << "{\"items\":[" + workspace(R"(,"sessionIds":[])") + "],\"archivedSessionIds\":[\"x\"]}"
                                       << true << QString();
    QTest::newRow("extra keys") << "{\"items\":[" + workspace(R"(,"sessionIds":["a","a"],"color":"red")") + "],\"archivedSessionIds\":[]}"
                                << true << QString();
    QTest::newRow("session ids missing") << "{\"items\":[" + workspace("") + "],\"archivedSessionIds\":[]}" << false
                                         << u"key \"sessionIds\" not found"_s;
    QTest::newRow("session id number") << "{\"items\":[" + workspace(R"(,"sessionIds":["a",2])") + "],\"archivedSessionIds\":[]}"
                                       << false << u"\"sessionIds\""_s;
    QTest::newRow("createdAt number")
        << QByteArray(R"({"items":[{"workspaceId":"w","path":"/","title":"t","sessionIds":[],"createdAt":1,"updatedAt":"u"}],"archivedSessionIds":[]})")
        << false << u"\"createdAt\""_s;
    QTest::newRow("archived missing") << QByteArray(R"({"items":[]})") << false << u"\"archivedSessionIds\""_s;
    QTest::newRow("archived null element") << QByteArray(R"({"items":[],"archivedSessionIds":[null]})") << false
                                           << u"\"archivedSessionIds\""_s;
}

void TestCatalogRecords::workspaceList()
{
    NBD_CHECK_DECODE(WorkspaceListValue, v);
}

void TestCatalogRecords::workspaceResults_data()
{
    QTest::addColumn<QString>("record");
    NBD_DECODE_COLUMNS();
    const QByteArray w = workspace(R"(,"sessionIds":[])");
    QTest::newRow("create") << u"create"_s << "{\"workspace\":" + w + ",\"created\":true}" << true << QString();
    QTest::newRow("create without created") << u"create"_s << "{\"workspace\":" + w + "}" << false << u"\"created\""_s;
    QTest::newRow("create workspace null") << u"create"_s << QByteArray(R"({"workspace":null,"created":true})") << false
                                           << u"\"workspace\""_s;
    QTest::newRow("rename") << u"rename"_s << "{\"workspace\":" + w + "}" << true << QString();
    QTest::newRow("rename bad workspace") << u"rename"_s << QByteArray(R"({"workspace":{"workspaceId":"w"}})") << false
                                          << u"\"path\""_s;
    QTest::newRow("delete") << u"delete"_s << QByteArray(R"({"deleted":false})") << true << QString();
    QTest::newRow("delete number") << u"delete"_s << QByteArray(R"({"deleted":0})") << false << u"\"deleted\""_s;
    QTest::newRow("archive") << u"archive"_s << QByteArray(R"({"archivedSessionIds":["a","b"]})") << true << QString();
    QTest::newRow("archive string") << u"archive"_s << QByteArray(R"({"archivedSessionIds":"a"})") << false
                                    << u"\"archivedSessionIds\""_s;
}

void TestCatalogRecords::workspaceResults()
{
    test::checkDecodeByName({
        {u"create", &test::decodes<WorkspaceCreateValue>},
        {u"rename", &test::decodes<WorkspaceRenameValue>},
        {u"delete", &test::decodes<WorkspaceDeleteValue>},
        {u"archive", &test::decodes<WorkspaceArchiveSessionValue>},
    });
}

void TestCatalogRecords::workspaceIdentity()
{
    const auto a = test::tryDecode<WorkspaceView>(workspace(R"(,"sessionIds":["s1","s2"])"));
    const auto b = test::tryDecode<WorkspaceView>(workspace(R"(,"sessionIds":["s2","s1"])"));
    QVERIFY(a && b);
    QCOMPARE(a->id(), b->id());
    QVERIFY(*a != *b);
    QCOMPARE(a->sessionIds, (std::vector<QString>{u"s1"_s, u"s2"_s}));
    QCOMPARE(a->createdAt, u"2024-01-01"_s);
}

QTEST_GUILESS_MAIN(TestCatalogRecords)
#include "tst_catalogrecords.moc"
