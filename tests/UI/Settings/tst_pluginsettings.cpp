#include "GuiTestMain.h"
#include "SettingsTestSupport.h"
#include "UI/Settings/PluginSettingsTab.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/Spinner.h"

#include <QLabel>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::Reply;

Q_DECLARE_METATYPE(nbd::PluginTone)

namespace {

JSONValue parsed(const char *text)
{
    return parseJSON(QByteArrayView(text));
}

} // namespace

class tst_PluginSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::SettingsFixture> fixture;
    test::SettingsFixture &fx() const { return *fixture; }

    PluginSettingsTab *openPlugins(bool connect = true)
    {
        fx().open(connect);
        fx().select(SettingsSection::Plugins);
        return qobject_cast<PluginSettingsTab *>(fx().view->page());
    }

    QString text(const QString &objectName, QWidget *in = nullptr) const
    {
        QWidget *root = in ? in : fx().window.get();
        if (auto *label = root->findChild<QLabel *>(objectName))
            return label->text();
        if (auto *clamped = root->findChild<ClampedLabel *>(objectName))
            return clamped->text();
        return u"<none>"_s;
    }

    void waitForReload() const { QTRY_VERIFY(!fx().store()->plugins()->pluginInventoryLoading()); }

private Q_SLOTS:
    void init() { fixture = std::make_unique<test::SettingsFixture>(); }
    void cleanup() { fixture.reset(); }

    void hostTone_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("phase"); // empty: none
        QTest::addColumn<PluginTone>("tone");
        QTest::newRow("disabled, active") << false << u"active"_s << PluginTone::Secondary;
        QTest::newRow("disabled, failed") << false << u"failed"_s << PluginTone::Secondary;
        QTest::newRow("no phase") << true << QString() << PluginTone::Secondary;
        QTest::newRow("active") << true << u"active"_s << PluginTone::Success;
        QTest::newRow("failed") << true << u"failed"_s << PluginTone::Red;
        QTest::newRow("loading") << true << u"loading"_s << PluginTone::Warning;
        QTest::newRow("waiting") << true << u"waiting"_s << PluginTone::Warning;
        QTest::newRow("unloading") << true << u"unloading"_s << PluginTone::Warning;
        QTest::newRow("Active") << true << u"Active"_s << PluginTone::Secondary;
        QTest::newRow("unknown word") << true << u"hibernating"_s << PluginTone::Secondary;
    }

    void hostTone()
    {
        QFETCH(bool, enabled);
        QFETCH(QString, phase);
        QFETCH(PluginTone, tone);
        PluginInventoryEntry entry;
        entry.enabled = enabled;
        if (!phase.isEmpty())
            entry.fiberPhase = phase;
        QCOMPARE(hostPluginTone(entry), tone);
    }

    void dynamicTone_data()
    {
        QTest::addColumn<QString>("latest"); // empty: no latest run
        QTest::addColumn<bool>("active");
        QTest::addColumn<PluginTone>("tone");
        QTest::newRow("rejected while active") << u"rejected"_s << true << PluginTone::Red;
        QTest::newRow("failed") << u"failed"_s << false << PluginTone::Red;
        QTest::newRow("awaiting approval while active") << u"awaiting-approval"_s << true << PluginTone::Warning;
        QTest::newRow("waiting") << u"waiting"_s << false << PluginTone::Warning;
        QTest::newRow("running, active") << u"running"_s << true << PluginTone::Success;
        QTest::newRow("unknown status, active") << u"Rejected"_s << true << PluginTone::Success;
        QTest::newRow("unknown status") << u"stopped"_s << false << PluginTone::Secondary;
        QTest::newRow("active only") << QString() << true << PluginTone::Success;
        QTest::newRow("nothing") << QString() << false << PluginTone::Secondary;
    }

    void dynamicTone()
    {
        QFETCH(QString, latest);
        QFETCH(bool, active);
        QFETCH(PluginTone, tone);
        DynamicPluginInventoryRow row;
        if (!latest.isEmpty())
            row.latestRun = DynamicPluginRunAttempt{u"p"_s, latest};
        if (active)
            row.activeRun = DynamicPluginActiveRun{u"p"_s};
        QCOMPARE(dynamicPluginTone(row), tone);
    }

    // No host: both counts 0, the "none" rows, no indicator, no reload.
    void noHost()
    {
        PluginSettingsTab *page = openPlugins(false);
        QCOMPARE(text(u"settings-plugin-counts"_s), u"0 个动态定义 · 0 个 Host Fiber"_s);
        QCOMPARE(text(u"settings-plugin-empty-text"_s, fx().find(u"settings-plugin-empty-dynamic"_s)), u"没有动态 Plugin"_s);
        QCOMPARE(text(u"settings-plugin-empty-text"_s, fx().find(u"settings-plugin-empty-host"_s)), u"没有 Host Plugin"_s);
        QVERIFY(!page->loadingIndicator()->isVisible());
        test::click(fx().find(u"settings-plugin-refresh"_s));
        QCOMPARE(int(fx().harness.host.requests().size()), 0);
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // A host without the dynamic registry: its plugins show, and the registry's absence.
    void hostWithoutDynamicRegistry()
    {
        fx().harness.world.setPluginInventory(parsed(R"([
            {"entryId": "e1", "moduleName": "@acme/nbd-host-git", "enabled": true, "fiberPhase": "active"},
            {"entryId": "e2", "moduleName": "nbd-lint", "enabled": false, "fiberPhase": "failed"},
            {"entryId": "e3", "moduleName": "odd", "enabled": true, "fiberPhase": "hibernating"}])"));
        fx().harness.host.setReply(u"dynamicTalvorRunner/inventory"_s, Reply::error(u"not_found"_s, u"no runner"_s));
        openPlugins();
        waitForReload();
        QCOMPARE(text(u"settings-plugin-counts"_s), u"0 个动态定义 · 3 个 Host Fiber"_s);
        QCOMPARE(text(u"settings-plugin-empty-text"_s, fx().find(u"settings-plugin-empty-dynamic"_s)),
                 u"当前 Host 未提供动态 Plugin 注册表"_s);
        QVERIFY(!fx().find(u"settings-plugin-empty-host"_s));
        QWidget *git = fx().find(u"settings-host-plugin-e1"_s);
        QCOMPARE(text(u"settings-plugin-title"_s, git), u"\u2068git\u2069"_s);
        QCOMPARE(text(u"settings-plugin-module"_s, git), u"@acme/nbd-host-git"_s);
        QCOMPARE(git->property("tone").value<int>(), int(PluginTone::Success));
        QCOMPARE(git->findChild<ColorDot *>()->color(), pluginToneColor(PluginTone::Success));
        QWidget *lint = fx().find(u"settings-host-plugin-e2"_s);
        QCOMPARE(lint->property("tone").value<int>(), int(PluginTone::Secondary));
        const PluginInventoryEntry disabled{u"e2"_s, u"nbd-lint"_s, false, std::nullopt};
        QCOMPARE(text(u"settings-plugin-status"_s, lint), disabled.statusLabel());
        QCOMPARE(text(u"settings-plugin-status"_s, fx().find(u"settings-host-plugin-e3"_s)), u"hibernating"_s);
        auto groups = fx().window->findChildren<QWidget *>(u"settings-plugin-group-host"_s);
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups[0]->accessibleName(), u"Host Plugin 3"_s);
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // A reload that fails keeps the rows the store already has; an empty group says that the
    // host does not provide the inventory.
    void failedReloadKeepsTheRows()
    {
        fx().harness.world.setPluginInventory(parsed(R"([{"entryId": "e1", "moduleName": "m", "enabled": true}])"));
        openPlugins();
        waitForReload();
        QVERIFY(fx().find(u"settings-host-plugin-e1"_s));
        QCOMPARE(text(u"settings-plugin-empty-text"_s, fx().find(u"settings-plugin-empty-dynamic"_s)), u"没有动态 Plugin"_s);

        fx().harness.host.setReply(u"pluginInventory/list"_s, Reply::status(500));
        fx().harness.host.setReply(u"dynamicTalvorRunner/inventory"_s, Reply::status(500));
        test::click(fx().find(u"settings-plugin-refresh"_s));
        QTRY_COMPARE(fx().store()->plugins()->hostPluginInventoryAvailable(), std::optional(false));
        waitForReload();
        QVERIFY(fx().find(u"settings-host-plugin-e1"_s));
        QVERIFY(!fx().find(u"settings-plugin-empty-host"_s));
        QCOMPARE(text(u"settings-plugin-empty-text"_s, fx().find(u"settings-plugin-empty-dynamic"_s)),
                 u"当前 Host 未提供动态 Plugin 注册表"_s);

        // A host whose first answer already failed: the host group says so too.
        fixture = std::make_unique<test::SettingsFixture>();
        fx().harness.host.setReply(u"pluginInventory/list"_s, Reply::error(u"not_found"_s, u"no inventory"_s));
        openPlugins();
        waitForReload();
        QCOMPARE(text(u"settings-plugin-empty-text"_s, fx().find(u"settings-plugin-empty-host"_s)),
                 u"当前 Host 未提供 Plugin 清单"_s);
    }

    // The rows of the dynamic registry: symbol, title, badges, purpose and detail line.
    void dynamicRows()
    {
        QByteArray inventory(R"([
            {"pluginId": "bare", "agentId": "a", "packages": []},
            {"pluginId": "both", "agentId": "a", "currentPackageId": "v2",
             "packages": [{"packageId": "v1", "name": "Old", "purpose": "", "hasHostHalf": false, "hasClientHalf": false},
                          {"packageId": "v2", "name": "Dashboard", "hasHostHalf": true, "hasClientHalf": true,
                           "purpose": "PURPOSE"}],
             "activeRun": {"packageId": "v2"}, "latestRun": {"packageId": "v2", "status": "rejected"}}])");
        // A purpose far longer than two lines of the row.
        inventory.replace("PURPOSE", QByteArray("A purpose sentence that goes on and on. ").repeated(20).trimmed());
        fx().harness.world.setDynamicInventory(parseJSON(inventory));
        openPlugins();
        waitForReload();
        QWidget *bare = fx().find(u"settings-dynamic-plugin-bare"_s);
        QCOMPARE(bare->findChild<QWidget *>(u"settings-plugin-icon"_s)->property("symbolName").toString(), u"server.rack"_s);
        QCOMPARE(text(u"settings-plugin-title"_s, bare), u"\u2068bare\u2069"_s);
        QCOMPARE(bare->findChildren<QWidget *>(u"settings-plugin-half"_s).size(), 0);
        QVERIFY(!bare->findChild<QWidget *>(u"settings-plugin-purpose"_s));
        QCOMPARE(text(u"settings-plugin-detail"_s, bare), u"bare · 0 个版本"_s);

        QWidget *both = fx().find(u"settings-dynamic-plugin-both"_s);
        QCOMPARE(both->findChild<QWidget *>(u"settings-plugin-icon"_s)->property("symbolName").toString(), u"macwindow"_s);
        QCOMPARE(text(u"settings-plugin-title"_s, both), u"\u2068Dashboard\u2069"_s);
        const auto halves = both->findChildren<QWidget *>(u"settings-plugin-half"_s);
        QCOMPARE(halves.size(), 2);
        QCOMPARE(halves[0]->accessibleName(), u"Host"_s);
        QCOMPARE(halves[1]->accessibleName(), u"Client UI"_s);
        QVERIFY(halves[0]->x() < halves[1]->x());
        auto *purpose = both->findChild<ClampedLabel *>(u"settings-plugin-purpose"_s);
        QCOMPARE(purpose->shownLines(purpose->width()).size(), 2);
        QVERIFY(purpose->shownLines(purpose->width()).last().endsWith(u"…"_s));
        QCOMPARE(text(u"settings-plugin-detail"_s, both), u"both · 2 个版本 · v2"_s);
        // Rejected shows red even with a run active.
        QCOMPARE(both->property("tone").value<int>(), int(PluginTone::Red));
        QCOMPARE(text(u"settings-plugin-counts"_s), u"2 个动态定义 · 0 个 Host Fiber"_s);
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // Showing the page reloads once; leaving it does not cut the reload short, so the
    // inventories arrive and are not taken for missing ones.
    void leavingKeepsTheReload()
    {
        fx().harness.world.setPluginInventory(parsed(R"([{"entryId": "e1", "moduleName": "m", "enabled": true}])"));
        fx().harness.connected();
        QCOMPARE(fx().harness.requestCount(u"pluginInventory/list"_s), 1);
        fx().harness.host.setReply(u"pluginInventory/list"_s,
                                   Reply::value(parsed(R"({"entries": [{"entryId": "e2", "moduleName": "n", "enabled": true}]})"))
                                       .delayed(400));
        PluginSettingsTab *page = openPlugins(false);
        QCOMPARE(fx().harness.requestCount(u"pluginInventory/list"_s), 1);
        QTRY_COMPARE(fx().harness.requestCount(u"pluginInventory/list"_s), 2);
        QVERIFY(fx().store()->plugins()->pluginInventoryLoading());
        QVERIFY(page->loadingIndicator()->isVisible());
        // The rows keep the previous list while reloading.
        QVERIFY(fx().find(u"settings-host-plugin-e1"_s));

        // A second press while reloading starts nothing new.
        test::click(fx().find(u"settings-plugin-refresh"_s));
        fx().select(SettingsSection::About);
        waitForReload();
        QCOMPARE(fx().harness.requestCount(u"pluginInventory/list"_s), 2);
        QCOMPARE(fx().store()->plugins()->hostPluginInventoryAvailable(), std::optional(true));
        QCOMPARE(fx().store()->plugins()->dynamicPluginInventoryAvailable(), std::optional(true));
        QCOMPARE(fx().store()->plugins()->hostPlugins().size(), size_t(1));
        QCOMPARE(fx().store()->plugins()->hostPlugins()[0].entryId, u"e2"_s);

        // "刷新" reloads once more.
        openPlugins(false);
        waitForReload();
        const int before = fx().harness.requestCount(u"pluginInventory/list"_s);
        test::click(fx().find(u"settings-plugin-refresh"_s));
        QTRY_COMPARE(fx().harness.requestCount(u"pluginInventory/list"_s), before + 1);
        waitForReload();
        QVERIFY(fx().find(u"settings-host-plugin-e2"_s));
    }
};

NBD_GUI_TEST_MAIN(tst_PluginSettings)
#include "tst_pluginsettings.moc"
