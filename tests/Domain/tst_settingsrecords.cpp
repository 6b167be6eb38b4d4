#include "Domain/Settings.h"
#include "RecordTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace Qt::StringLiterals;

class TestSettingsRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settingsNamespace_data();
    void settingsNamespace();
    void namespaceLayers();
    void settingsDescribe_data();
    void settingsDescribe();
    void credentials_data();
    void credentials();
    void skills_data();
    void skills();
};

static QByteArray ns(const char *members)
{
    return QByteArray(R"({"ns":"agent","applies":"live","secrets":[],)") + members + "}";
}

void TestSettingsRecords::settingsNamespace_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("full") << ns(R"("schema":{"type":"object"},"value":{"b":1,"a":[true]},"base":{"b":0},"user":{"b":1},"revision":12)")
                          << true << QString();
    QTest::newRow("base null, user missing") << ns(R"("schema":{},"value":{},"base":null,"revision":1)") << true
                                             << QString();
    QTest::newRow("schema null") << ns(R"("schema":null,"value":3,"revision":1)") << true << QString();
    QTest::newRow("scalar value") << ns(R"("schema":true,"value":"text","revision":-4)") << true << QString();
    QTest::newRow("integral revision") << ns(R"("schema":{},"value":{},"revision":7.0)") << true << QString();
    QTest::newRow("schema missing") << ns(R"("value":{},"revision":1)") << false << u"key \"schema\" not found"_s;
    QTest::newRow("value missing") << ns(R"("schema":{},"revision":1)") << false << u"key \"value\" not found"_s;
    QTest::newRow("revision fraction") << ns(R"("schema":{},"value":{},"revision":1.5)") << false << u"\"revision\""_s;
    QTest::newRow("revision string") << ns(R"("schema":{},"value":{},"revision":"1")") << false << u"\"revision\""_s;
    QTest::newRow("revision missing") << ns(R"("schema":{},"value":{})") << false << u"\"revision\""_s;
    QTest::newRow("applies number") << QByteArray(R"({"ns":"a","applies":1,"secrets":[],"schema":{},"value":{},"revision":1})")
                                    << false << u"\"applies\""_s;
    QTest::newRow("secret path number") << QByteArray(
        R"({"ns":"a","applies":"x","secrets":[{"path":["a",1],"set":true}],"schema":{},"value":{},"revision":1})")
                                        << false << u"\"path\""_s;
    QTest::newRow("secret without set") << QByteArray(
        R"({"ns":"a","applies":"x","secrets":[{"path":[]}],"schema":{},"value":{},"revision":1})") << false
                                        << u"\"set\""_s;
}

void TestSettingsRecords::settingsNamespace()
{
    NBD_CHECK_DECODE(SettingsNamespaceView, v);
}

void TestSettingsRecords::namespaceLayers()
{
    const auto a = test::tryDecode<SettingsNamespaceView>(
        ns(R"("schema":null,"value":{"z":1,"a":{"y":2,"b":3}},"base":null,"revision":3)"));
    QVERIFY(a);
    QVERIFY(a->schema.isNull());
    QVERIFY(!a->base);
    QVERIFY(!a->user);
    QCOMPARE(a->id(), u"agent"_s);
    QCOMPARE(a->revision, 3);
    // The editor starts from the value written with sorted keys.
    QCOMPARE(a->value.prettyPrinted().indexOf("\"a\"") < a->value.prettyPrinted().indexOf("\"z\""), true);

    const auto b = test::tryDecode<SettingsNamespaceView>(ns(R"("schema":null,"value":{"a":{"b":3,"y":2},"z":1},"user":null,"revision":3)"));
    QVERIFY(b);
    QCOMPARE(*a, *b);

    const auto withBase = test::tryDecode<SettingsNamespaceView>(ns(R"("schema":null,"value":{"a":{"b":3,"y":2},"z":1},"base":{},"revision":3)"));
    QVERIFY(withBase);
    QVERIFY(*withBase != *a);

    const auto secrets = test::tryDecode<SettingsNamespaceView>(QByteArray(
        R"({"ns":"a","applies":"restart","secrets":[{"path":[],"set":false},{"path":["llm","key"],"set":true}],"schema":{},"value":{},"revision":1})"));
    QVERIFY(secrets);
    QCOMPARE(secrets->secrets.size(), size_t(2));
    QVERIFY(secrets->secrets[0].path.empty());
    QCOMPARE(secrets->secrets[1].path, (std::vector<QString>{u"llm"_s, u"key"_s}));
}

void TestSettingsRecords::settingsDescribe_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty") << QByteArray(R"({"writable":true,"hasDocument":false,"namespaces":[]})") << true << QString();
    QTest::newRow("one namespace") << "{\"writable\":false,\"hasDocument\":true,\"namespaces\":["
                                          + ns(R"("schema":{},"value":{},"revision":1)") + "]}"
                                   << true << QString();
    QTest::newRow("bad namespace fails all") << "{\"writable\":false,\"hasDocument\":true,\"namespaces\":["
                                                    + ns(R"("schema":{},"value":{},"revision":1)") + ","
                                                    + ns(R"("value":{},"revision":1)") + "]}"
                                             << false << u"\"schema\""_s;
    QTest::newRow("writable missing") << QByteArray(R"({"hasDocument":false,"namespaces":[]})") << false
                                      << u"\"writable\""_s;
    QTest::newRow("hasDocument string") << QByteArray(R"({"writable":true,"hasDocument":"no","namespaces":[]})")
                                        << false << u"\"hasDocument\""_s;
}

void TestSettingsRecords::settingsDescribe()
{
    NBD_CHECK_DECODE(SettingsDescribeValue, v);
}

void TestSettingsRecords::credentials_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty object") << QByteArray(R"({"credentials":{}})") << true << QString();
    QTest::newRow("two") << QByteArray(R"({"credentials":{"openai":{"configured":true,"source":"env","writable":false},
        "other":{"configured":false,"source":null,"writable":true,"x":1}}})") << true << QString();
    QTest::newRow("credentials array") << QByteArray(R"({"credentials":[]})") << false << u"\"credentials\""_s;
    QTest::newRow("credentials missing") << QByteArray(R"({})") << false << u"\"credentials\""_s;
    QTest::newRow("entry without writable") << QByteArray(R"({"credentials":{"k":{"configured":true}}})") << false
                                            << u"\"writable\""_s;
    QTest::newRow("entry null") << QByteArray(R"({"credentials":{"k":null}})") << false << u"\"k\""_s;
    QTest::newRow("source number") << QByteArray(R"({"credentials":{"k":{"configured":true,"writable":true,"source":1}}})")
                                   << false << u"\"source\""_s;
}

void TestSettingsRecords::credentials()
{
    NBD_CHECK_DECODE(CredentialsDescribeValue, v);
    if (v && text.contains("openai")) {
        const CredentialView &c = v->credentials.at(u"openai"_s);
        QVERIFY(c.configured);
        QCOMPARE(c.source, std::optional<QString>(u"env"_s));
        QVERIFY(!c.writable);
        QVERIFY(!v->credentials.at(u"other"_s).source);
        QVERIFY(v->credentials.find(u"missing"_s) == v->credentials.end());
    }
}

void TestSettingsRecords::skills_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty") << QByteArray(R"({"skills":[]})") << true << QString();
    QTest::newRow("without whenToUse") << QByteArray(
        R"({"skills":[{"name":"pdf","description":"读 PDF","modelInvocable":true},
                      {"name":"x","description":"d","whenToUse":"总是","modelInvocable":false}]})") << true << QString();
    QTest::newRow("modelInvocable missing fails list") << QByteArray(
        R"({"skills":[{"name":"pdf","description":"d","modelInvocable":true},{"name":"x","description":"d"}]})") << false
                                                      << u"key \"modelInvocable\" not found"_s;
    QTest::newRow("whenToUse number") << QByteArray(
        R"({"skills":[{"name":"x","description":"d","whenToUse":1,"modelInvocable":true}]})") << false
                                      << u"\"whenToUse\""_s;
}

void TestSettingsRecords::skills()
{
    NBD_CHECK_DECODE(SkillListValue, v);
    if (v && !v->skills.empty()) {
        QVERIFY(!v->skills[0].whenToUse);
        QCOMPARE(v->skills[1].whenToUse, std::optional<QString>(u"总是"_s));
        QCOMPARE(v->skills[0].id(), u"pdf"_s);
    }
}

QTEST_GUILESS_MAIN(TestSettingsRecords)
#include "tst_settingsrecords.moc"
