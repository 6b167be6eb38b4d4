#include "Domain/Plugins.h"
#include "Domain/ProtocolNames.h"
#include "RecordTestSupport.h"
#include "Wire/JSONDecode.h"

#include <QTest>

using namespace nbd;
using namespace Qt::StringLiterals;

class TestPluginRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void shortName_data();
    void shortName();
    void entryStatusLabel_data();
    void entryStatusLabel();
    void selectedPackage_data();
    void selectedPackage();
    void rowStatusLabel_data();
    void rowStatusLabel();
    void decoding_data();
    void decoding();
};

void TestPluginRecords::shortName_data()
{
    QTest::addColumn<QString>("moduleName");
    QTest::addColumn<QString>("shortName");
    QTest::newRow("scoped talvor-plugin") << u"@scope/talvor-plugin-x"_s << u"x"_s;
    QTest::newRow("scoped plain") << u"@scope/tool"_s << u"tool"_s;
    QTest::newRow("scoped, second slash kept") << u"@a/b/nbd-c"_s << u"b/nbd-c"_s;
    QTest::newRow("at sign without slash") << u"@talvor-plugin-x"_s << u"@talvor-plugin-x"_s;
    QTest::newRow("one prefix only") << u"talvor:talvor-plugin-x"_s << u"talvor-plugin-x"_s;
    QTest::newRow("nbd-host whole") << u"nbd-host-files"_s << u"files"_s;
    QTest::newRow("nbd-client whole") << u"nbd-client-ui"_s << u"ui"_s;
    QTest::newRow("nbd- alone") << u"nbd-"_s << QString();
    QTest::newRow("nbd-hostile") << u"nbd-hostile"_s << u"hostile"_s;
    QTest::newRow("no prefix") << u"files"_s << u"files"_s;
    QTest::newRow("prefix not at start") << u"x-nbd-y"_s << u"x-nbd-y"_s;
    QTest::newRow("case differs") << u"NBD-x"_s << u"NBD-x"_s;
    QTest::newRow("scope then talvor:") << u"@s/talvor:nbd-x"_s << u"nbd-x"_s;
    QTest::newRow("empty") << QString() << QString();
}

void TestPluginRecords::shortName()
{
    QFETCH(QString, moduleName);
    QFETCH(QString, shortName);
    PluginInventoryEntry e{u"id"_s, moduleName, true, std::nullopt};
    QCOMPARE(e.shortName(), shortName);
}

void TestPluginRecords::entryStatusLabel_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("phase"); // "<none>" for absent
    QTest::addColumn<QString>("label");
    const QString none = u"<none>"_s;
    QTest::newRow("disabled though active") << false << u"active"_s << names::pluginDisabledLabel.toString();
    QTest::newRow("disabled no phase") << false << none << names::pluginDisabledLabel.toString();
    QTest::newRow("enabled no phase") << true << none << names::pluginEnabledLabel.toString();
    QTest::newRow("active") << true << u"active"_s << u"运行中"_s;
    QTest::newRow("loading") << true << u"loading"_s << u"加载中"_s;
    QTest::newRow("waiting") << true << names::fiberWaiting.toString() << u"等待依赖"_s;
    QTest::newRow("failed") << true << u"failed"_s << u"失败"_s;
    QTest::newRow("unloading") << true << u"unloading"_s << names::pluginUnloadingLabel.toString();
    QTest::newRow("unknown word as sent") << true << u"Hibernating"_s << u"Hibernating"_s;
    QTest::newRow("case differs") << true << u"Active"_s << u"Active"_s;
    QTest::newRow("empty phase") << true << QString() << QString();
}

void TestPluginRecords::entryStatusLabel()
{
    QFETCH(bool, enabled);
    QFETCH(QString, phase);
    QFETCH(QString, label);
    PluginInventoryEntry e{u"id"_s, u"m"_s, enabled,
                           phase == u"<none>" ? std::nullopt : std::optional<QString>(phase.isNull() ? u""_s : phase)};
    QCOMPARE(e.statusLabel(), label);
}

static DynamicPluginInventoryRow row(const char *text)
{
    const auto r = test::tryDecode<DynamicPluginInventoryRow>(
        QByteArray(R"({"pluginId":"pl","agentId":"ag",)") + text + "}");
    if (!r)
        qFatal("row does not decode: %s", text);
    return *r;
}

void TestPluginRecords::selectedPackage_data()
{
    QTest::addColumn<QByteArray>("members");
    QTest::addColumn<QString>("selected"); // empty: none
    const char *p123 = R"("packages":[{"packageId":"p1","name":"1","purpose":"","hasHostHalf":true,"hasClientHalf":false},
        {"packageId":"p2","name":"2","purpose":"","hasHostHalf":false,"hasClientHalf":true},
        {"packageId":"p3","name":"3","purpose":"","hasHostHalf":false,"hasClientHalf":false}])";
    const auto add = [&](const char *name, const char *rest, const char *selected) {
        QTest::newRow(name) << (QByteArray(p123) + rest) << QString::fromLatin1(selected);
    };
    add("no id: last package", "", "p3");
    add("current", R"(,"currentPackageId":"p1")", "p1");
    add("next before current", R"(,"currentPackageId":"p1","nextPackageId":"p2")", "p2");
    add("active run first", R"(,"nextPackageId":"p1","activeRun":{"packageId":"p2"})", "p2");
    add("active run unknown: last, not next", R"(,"nextPackageId":"p1","activeRun":{"packageId":"zz"})", "p3");
    add("latest run last resort", R"(,"latestRun":{"packageId":"p1","status":"failed"})", "p1");
    add("current before latest run", R"(,"currentPackageId":"p2","latestRun":{"packageId":"p1","status":"s"})", "p2");
    add("null ids are absent", R"(,"currentPackageId":null,"nextPackageId":null,"activeRun":null,"latestRun":{"packageId":"p2","status":"s"})",
        "p2");
    QTest::newRow("empty packages") << QByteArray(R"("packages":[],"currentPackageId":"p1")") << QString();
    QTest::newRow("duplicate ids: first") << QByteArray(
        R"("packages":[{"packageId":"d","name":"first","purpose":"","hasHostHalf":true,"hasClientHalf":true},
                       {"packageId":"d","name":"second","purpose":"","hasHostHalf":true,"hasClientHalf":true},
                       {"packageId":"e","name":"third","purpose":"","hasHostHalf":true,"hasClientHalf":true}],"currentPackageId":"d")")
                                          << u"d/first"_s;
}

void TestPluginRecords::selectedPackage()
{
    QFETCH(QByteArray, members);
    QFETCH(QString, selected);
    const auto r = row(members.constData());
    const auto p = r.selectedPackage();
    if (selected.isEmpty()) {
        QVERIFY(!p);
        return;
    }
    QVERIFY(p);
    if (selected.contains(u'/'))
        QCOMPARE(p->packageId + u'/' + p->name, selected);
    else
        QCOMPARE(p->packageId, selected);
}

void TestPluginRecords::rowStatusLabel_data()
{
    QTest::addColumn<QByteArray>("members");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("running");
    const auto add = [](const char *name, const char *rest, const QString &label, bool running) {
        QTest::newRow(name) << (QByteArray(R"("packages":[])") + rest) << label << running;
    };
    const auto latest = [&](const char *name, const QString &status, const QString &label, bool running = false) {
        QTest::newRow(name) << (QByteArray(R"("packages":[],"latestRun":{"packageId":"p","status":")") + status.toUtf8()
                                + "\"}")
                            << label << running;
    };
    add("never run", "", names::runNotStartedLabel.toString(), false);
    add("active beats failed", R"(,"activeRun":{"packageId":"p"},"latestRun":{"packageId":"p","status":"failed"})",
        u"运行中"_s, true);
    latest("running", u"running"_s, u"运行中"_s, true);
    latest("awaiting approval", u"awaiting-approval"_s, u"等待批准"_s);
    latest("starting host", u"starting-host"_s, u"启动中"_s);
    latest("client pending", u"client-pending"_s, u"启动中"_s);
    latest("waiting", names::runWaiting.toString(), names::runWaitingLabel.toString());
    latest("failed", u"failed"_s, u"失败"_s);
    latest("rejected", u"rejected"_s, names::runRejectedLabel.toString());
    latest("cancelled", u"cancelled"_s, names::runCancelledLabel.toString());
    latest("stopped", u"stopped"_s, names::runStoppedLabel.toString());
    latest("unknown as sent", u"exploded"_s, u"exploded"_s);
    latest("case differs", u"Running"_s, u"Running"_s);
}

void TestPluginRecords::rowStatusLabel()
{
    QFETCH(QByteArray, members);
    QFETCH(QString, label);
    QFETCH(bool, running);
    const auto r = row(members.constData());
    QCOMPARE(r.statusLabel(), label);
    QCOMPARE(r.isRunning(), running);
}

void TestPluginRecords::decoding_data()
{
    QTest::addColumn<QString>("record");
    NBD_DECODE_COLUMNS();
    const auto add = [](const char *name, const char *record, const char *text, bool ok, const QString &part) {
        QTest::newRow(name) << QString::fromLatin1(record) << QByteArray(text) << ok << part;
    };
    add("snapshot", "snapshot", R"({"entries":[{"entryId":"e","moduleName":"m","enabled":true,"fiberPhase":null,"x":1}]})",
        true, {});
    add("snapshot bad entry", "snapshot",
        R"({"entries":[{"entryId":"e","moduleName":"m","enabled":true},{"entryId":"f","moduleName":"m"}]})", false,
        u"\"enabled\""_s);
    add("enabled as number", "snapshot", R"({"entries":[{"entryId":"e","moduleName":"m","enabled":1}]})", false,
        u"\"enabled\""_s);
    add("phase number", "snapshot", R"({"entries":[{"entryId":"e","moduleName":"m","enabled":true,"fiberPhase":2}]})",
        false, u"\"fiberPhase\""_s);
    add("rows", "rows", R"([{"pluginId":"a","agentId":"g","packages":[]},
        {"pluginId":"b","agentId":"g","packages":[{"packageId":"p","name":"n","purpose":"u","hasHostHalf":false,"hasClientHalf":true}],
         "latestRun":{"packageId":"p","status":"failed"}}])", true, {});
    add("latest run without status", "rows", R"([{"pluginId":"a","agentId":"g","packages":[],"latestRun":{"packageId":"p"}}])",
        false, u"\"status\""_s);
    add("active run without package", "rows", R"([{"pluginId":"a","agentId":"g","packages":[],"activeRun":{}}])", false,
        u"\"packageId\""_s);
    add("package without client half", "rows",
        R"([{"pluginId":"a","agentId":"g","packages":[{"packageId":"p","name":"n","purpose":"u","hasHostHalf":false}]}])",
        false, u"\"hasClientHalf\""_s);
    add("rows not an array", "rows", R"({"pluginId":"a"})", false, u"array"_s);
    add("row without agent", "rows", R"([{"pluginId":"a","packages":[]}])", false, u"\"agentId\""_s);
}

void TestPluginRecords::decoding()
{
    QFETCH(QString, record);
    QFETCH(QByteArray, text);
    QFETCH(bool, decodes);
    QFETCH(QString, errorPart);
    QString error;
    bool ok = true;
    try {
        if (record == u"snapshot")
            PluginInventorySnapshot::fromJson(parseJSON(text));
        else
            json::decode<std::vector<DynamicPluginInventoryRow>>(parseJSON(text));
    } catch (const DecodingError &e) {
        ok = false;
        error = e.description();
    }
    QCOMPARE(ok, decodes);
    if (!decodes)
        QVERIFY2(error.contains(errorPart), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestPluginRecords)
#include "tst_pluginrecords.moc"
