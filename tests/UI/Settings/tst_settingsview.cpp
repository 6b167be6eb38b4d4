#include "GuiTestMain.h"
#include "SettingsTestSupport.h"
#include "UI/Settings/ConnectionSettingsTab.h"
#include "UI/Settings/HostSettingsTab.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Settings/SkillsTab.h"
#include "UI/Shared/Theme.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::Reply;

Q_DECLARE_METATYPE(std::optional<nbd::SettingsSection>)

class tst_SettingsView : public QObject
{
    Q_OBJECT

    // A world with something to show on every page.
    static void populate(sim::SimWorld &world)
    {
        world.addSession(test::session(u"s1"_s, 1000));
        world.addSettingsNamespace(u"agent"_s, JSONValue::emptyObject(), JSONValue::object({{u"b"_s, 1}}));
        world.setCredential(u"API_KEY"_s, u"keychain"_s);
        world.setSkills(u"s1"_s, JSONValue::array({JSONValue::object({{u"name"_s, u"review"_s},
                                                                      {u"description"_s, u"Reviews."_s},
                                                                      {u"modelInvocable"_s, true}})}));
        world.setPluginInventory(JSONValue::array({JSONValue::object(
            {{u"entryId"_s, u"e1"_s}, {u"moduleName"_s, u"nbd-git"_s}, {u"enabled"_s, true}})}));
        world.setDynamicInventory(JSONValue::array({JSONValue::object(
            {{u"pluginId"_s, u"p1"_s}, {u"agentId"_s, u"a"_s}, {u"packages"_s, JSONValue::array({})}})}));
    }

private Q_SLOTS:
    void rawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<std::optional<SettingsSection>>("section");
        QTest::newRow("connection") << u"connection"_s << std::optional(SettingsSection::Connection);
        QTest::newRow("host") << u"host"_s << std::optional(SettingsSection::Host);
        QTest::newRow("plugins") << u"plugins"_s << std::optional(SettingsSection::Plugins);
        QTest::newRow("credentials") << u"credentials"_s << std::optional(SettingsSection::Credentials);
        QTest::newRow("skills") << u"skills"_s << std::optional(SettingsSection::Skills);
        QTest::newRow("about") << u"about"_s << std::optional(SettingsSection::About);
        QTest::newRow("capitalised") << u"Connection"_s << std::optional<SettingsSection>();
        QTest::newRow("trailing blank") << u"connection "_s << std::optional<SettingsSection>();
        QTest::newRow("empty") << QString() << std::optional<SettingsSection>();
        QTest::newRow("title") << u"连接"_s << std::optional<SettingsSection>();
    }

    void rawValues()
    {
        QFETCH(QString, raw);
        QFETCH(std::optional<SettingsSection>, section);
        QCOMPARE(settingsSectionFromRawValue(raw), section);
        if (section)
            QCOMPARE(settingsSectionRawValue(*section), raw);
    }

    // A fresh window: fixed size, the connection page, its row highlighted, its title above.
    void freshWindowStartsAtConnection()
    {
        test::SettingsFixture f;
        SettingsView *view = f.open(false);
        QCOMPARE(view->size(), QSize(920, 640));
        QCOMPARE(view->minimumSize(), view->maximumSize());
        QCOMPARE(view->selection(), SettingsSection::Connection);
        QVERIFY(f.row(SettingsSection::Connection)->isChecked());
        for (SettingsSection s : allSettingsSections) {
            if (s != SettingsSection::Connection)
                QVERIFY(!f.row(s)->isChecked());
        }
        QCOMPARE(f.find<QLabel>(u"settings-title"_s)->text(), u"连接"_s);
        QVERIFY(qobject_cast<ConnectionSettingsTab *>(view->page()));
        QCOMPARE(f.find(u"settings-section-column"_s)->width(), 188);
        QVERIFY(test::accessibilityProblems(f.window.get()).isEmpty());
    }

    // Every row, clicked in its empty right-hand part, selects its section and shows its
    // page under its title; every page passes the accessibility walk with content in it.
    void everySectionByClick()
    {
        test::SettingsFixture f;
        populate(f.harness.world);
        f.harness.connected();
        f.store()->selection()->selectSession(u"s1"_s);
        f.open(false);
        const QStringList pages = {u"settings-connection"_s,  u"settings-host"_s,   u"settings-plugins"_s,
                                   u"settings-credentials"_s, u"settings-skills"_s, u"settings-about"_s};
        const QStringList titles = {u"连接"_s, u"主机设置"_s, u"Plugin"_s, u"凭据"_s, u"技能"_s, u"关于"_s};
        int i = 0;
        for (SettingsSection s : allSettingsSections) {
            f.select(s);
            QCOMPARE(f.view->page()->objectName(), pages[i]);
            QCOMPARE(f.find<QLabel>(u"settings-title"_s)->text(), titles[i]);
            QCOMPARE(settingsSectionTitle(s), titles[i]);
            QVERIFY(f.row(s)->isChecked());
            // Let the page's loading finish so its content is walked too.
            if (s == SettingsSection::Host)
                QTRY_VERIFY(f.find(u"settings-namespace-agent"_s));
            if (s == SettingsSection::Skills)
                QTRY_VERIFY(f.find(u"settings-skill-review"_s));
            if (s == SettingsSection::Plugins)
                QTRY_VERIFY(!f.store()->plugins()->pluginInventoryLoading());
            const QStringList problems = test::accessibilityProblems(f.window.get());
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
            ++i;
        }
        QCOMPARE(f.view->findChildren<QWidget *>(u"settings-host"_s).size(), 0);
    }

    // Tab reaches the section rows; Space selects the focused one.
    void keyboardSelectsSections()
    {
        test::SettingsFixture f;
        f.open(false);
        QAbstractButton *about = f.row(SettingsSection::About);
        QVERIFY(about->focusPolicy() & Qt::TabFocus);
        about->setFocus(Qt::TabFocusReason);
        QTest::keyClick(about, Qt::Key_Space);
        QCOMPARE(f.view->selection(), SettingsSection::About);
        QCOMPARE(f.view->page()->objectName(), u"settings-about"_s);
    }

    // The rows are the tabs of a tab list. However a row gets checked (its accessibility
    // action, Return, a tick set in code) the page switches as for a click, and only the
    // selected tab says it is selected; the selected row cannot be unticked.
    void sectionRowsAreTabs()
    {
        test::SettingsFixture f;
        f.open(false);
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(f.find(u"settings-section-list"_s));
        QVERIFY(list);
        QCOMPARE(list->role(), QAccessible::PageTabList);
        auto tab = [&](SettingsSection s) { return QAccessible::queryAccessibleInterface(f.row(s)); };
        auto selectedTabs = [&] {
            QStringList out;
            for (SettingsSection s : allSettingsSections) {
                if (tab(s)->state().selected)
                    out << settingsSectionRawValue(s);
            }
            return out;
        };
        for (SettingsSection s : allSettingsSections) {
            QCOMPARE(tab(s)->role(), QAccessible::PageTab);
            QVERIFY(tab(s)->state().selectable);
            QCOMPARE(tab(s)->text(QAccessible::Name), settingsSectionTitle(s));
        }
        QCOMPARE(selectedTabs(), QStringList{u"connection"_s});

        QAccessibleInterface *host = tab(SettingsSection::Host);
        QVERIFY(host->actionInterface());
        host->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(f.view->selection(), SettingsSection::Host);
        QCOMPARE(f.view->page()->objectName(), u"settings-host"_s);
        QCOMPARE(f.find<QLabel>(u"settings-title"_s)->text(), u"主机设置"_s);
        QCOMPARE(selectedTabs(), QStringList{u"host"_s});
        QVERIFY(!f.row(SettingsSection::Connection)->isChecked());

        QAbstractButton *about = f.row(SettingsSection::About);
        about->setFocus(Qt::TabFocusReason);
        QTest::keyClick(about, Qt::Key_Return);
        QCOMPARE(f.view->selection(), SettingsSection::About);
        QCOMPARE(f.view->page()->objectName(), u"settings-about"_s);
        QTest::keyClick(f.row(SettingsSection::About), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(f.view->selection(), SettingsSection::About);

        f.row(SettingsSection::Skills)->setChecked(true);
        QCOMPARE(f.view->selection(), SettingsSection::Skills);
        QCOMPARE(f.view->page()->objectName(), u"settings-skills"_s);
        QCOMPARE(selectedTabs(), QStringList{u"skills"_s});
        QVERIFY(!about->isChecked());

        QPointer<QWidget> page = f.view->page();
        f.row(SettingsSection::Skills)->setChecked(false);
        f.row(SettingsSection::Skills)->toggle();
        QVERIFY(f.row(SettingsSection::Skills)->isChecked());
        QCOMPARE(f.view->selection(), SettingsSection::Skills);
        QCOMPARE(f.view->page(), page.data());
    }

    // Every control of the column and the header does by its accessibility action what its
    // click does.
    void actionsDoWhatClicksDo()
    {
        test::SettingsFixture f;
        f.harness.makeStore();
        test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            f.open(false);
            return f.window.get();
        };
        check.state = [&] {
            return settingsSectionRawValue(f.view->selection()) + u' ' + f.view->page()->objectName() + u' '
                + f.find<QLabel>(u"settings-title"_s)->text() + (f.window->isVisible() ? u" shown"_s : u" closed"_s);
        };
        // The pages have tests of their own.
        check.skip = [&](QAccessibleInterface *iface) {
            auto *widget = qobject_cast<QWidget *>(iface->object());
            return !widget || f.view->page()->isAncestorOf(widget);
        };
        const test::ActionParityReport report = test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // Six tabs and the close button; a click on each tab but the selected one and on the
        // close button changes something.
        QCOMPARE(report.controls.size(), 7);
        QCOMPARE(report.changed, 6);
    }

    // Leaving a page ends its state: unsaved editor text is gone and the page loads again.
    void returningStartsAfresh()
    {
        test::SettingsFixture f;
        f.harness.world.addSettingsNamespace(u"agent"_s, JSONValue::emptyObject(), JSONValue::object({{u"b"_s, 1}}));
        f.open();
        f.select(SettingsSection::Host);
        QTRY_VERIFY(f.find(u"settings-namespace-agent"_s));
        auto *editor = f.find<QPlainTextEdit>(u"settings-namespace-editor"_s);
        editor->setFocus();
        QTest::keyClicks(editor, u"unsaved"_s);
        QVERIFY(editor->toPlainText().contains(u"unsaved"_s));
        QCOMPARE(f.harness.requestCount(u"settings.describe"_s), 1);

        f.select(SettingsSection::About);
        f.select(SettingsSection::Host);
        QTRY_VERIFY(f.find(u"settings-namespace-agent"_s));
        QCOMPARE(f.harness.requestCount(u"settings.describe"_s), 2);
        auto *again = f.find<QPlainTextEdit>(u"settings-namespace-editor"_s);
        QVERIFY(!again->toPlainText().contains(u"unsaved"_s));

        // Pressing the selected row keeps the page.
        QWidget *page = f.view->page();
        f.select(SettingsSection::Host);
        QCOMPARE(f.view->page(), page);
    }

    // An answer for a page that went away is dropped; the page shown is not touched.
    void lateAnswersForAPageThatWentAway()
    {
        test::SettingsFixture f;
        f.harness.world.addSettingsNamespace(u"agent"_s, JSONValue::emptyObject(), JSONValue::object({{u"b"_s, 1}}));
        f.open();
        f.harness.host.setReply(u"settings.describe"_s,
                                Reply::value(JSONValue::object({{u"writable"_s, true},
                                                                {u"hasDocument"_s, true},
                                                                {u"namespaces"_s, JSONValue::array({})}}))
                                    .delayed(300));
        QSignalSpy written(&f.harness.host, &sim::SimHost::requestFinished);
        f.select(SettingsSection::Host);
        QTRY_COMPARE(f.harness.requestCount(u"settings.describe"_s), 1);
        f.select(SettingsSection::About);
        QTRY_COMPARE_WITH_TIMEOUT(test::answered(written, u"settings.describe"_s).size(), 1, 10000);
        f.harness.methodsThroughBarrier(); // the late answer has reached the store
        QCOMPARE(f.view->page()->objectName(), u"settings-about"_s);
        QVERIFY(!f.find(u"settings-host-empty"_s));
    }

    // The footer follows the connection: the success dot only while connected.
    void footerFollowsThePhase()
    {
        test::SettingsFixture f;
        f.open(false);
        auto *dot = f.find<ColorDot>(u"settings-connection-dot"_s);
        auto *label = f.find<QLabel>(u"settings-connection-label"_s);
        QCOMPARE(label->text(), u"未连接"_s);
        QCOMPARE(dot->color(), Theme::secondaryText());

        f.store()->connect();
        f.harness.waitForStreams();
        QCOMPARE(label->text(), u"已连接"_s);
        QCOMPARE(dot->color(), Theme::success());

        f.store()->disconnect();
        QCOMPARE(label->text(), u"未连接"_s);
        QCOMPARE(dot->color(), Theme::secondaryText());

        f.store()->connectionSettings()->setServerURLString(u"http://"_s);
        f.store()->connect();
        QTRY_VERIFY(label->text().startsWith(u"连接失败："_s));
        QCOMPARE(dot->color(), Theme::secondaryText());
    }

    // The close button closes the window the view is in: a sheet reports itself finished.
    void closeButtonDismisses()
    {
        test::StoreHarness harness;
        harness.makeStore();
        QWidget main;
        main.show();
        auto *sheet = new QDialog(&main);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->setWindowModality(Qt::WindowModal);
        auto *layout = new QVBoxLayout(sheet);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        layout->addWidget(new SettingsView(settingsOwners(harness.store.get()), sheet));
        bool finished = false;
        connect(sheet, &QDialog::finished, this, [&] { finished = true; });
        sheet->open();
        QVERIFY(QTest::qWaitForWindowExposed(sheet));
        QCOMPARE(sheet->size(), QSize(920, 640));
        QPointer<QDialog> guard = sheet;
        auto *close = sheet->findChild<QAbstractButton *>(u"settings-close-button"_s);
        QCOMPARE(close->accessibleName(), u"关闭设置"_s);
        test::click(close);
        QVERIFY(finished);
        QTRY_VERIFY(guard.isNull());
    }

    // Two Settings views on one store keep their own selections.
    void twoWindowsTwoSelections()
    {
        test::SettingsFixture a;
        a.open(false);
        SettingsView other(settingsOwners(a.store()));
        other.show();
        a.select(SettingsSection::About);
        QCOMPARE(other.selection(), SettingsSection::Connection);
        auto *row = other.findChild<QAbstractButton *>(u"settings-section-skills"_s);
        QTest::mouseClick(row, Qt::LeftButton);
        QCOMPARE(other.selection(), SettingsSection::Skills);
        QCOMPARE(a.view->selection(), SettingsSection::About);
    }
};

NBD_GUI_TEST_MAIN(tst_SettingsView)
#include "tst_settingsview.moc"
