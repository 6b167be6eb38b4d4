// The subagent catalogue button and its menu over the simulated host's subagent lists, and the
// read-only card that takes the composer's place for a subagent run.

#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "InspectionTestSupport.h"
#include "ShownText.h"

#include "Session/SessionModel.h"
#include "UI/Inspection/SubagentCatalogView.h"
#include "UI/Inspection/SubagentReadOnlyComposer.h"
#include "UI/Shared/StoreActions.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QBoxLayout>
#include <QtTest>

#include <functional>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::Literals::StringLiterals;

namespace {

sim::SimWorld::SubagentEntry entry(const QString &id, std::optional<QString> mode = u"continuable"_s,
                                   std::optional<bool> hasChildren = {}, std::optional<QString> activity = {},
                                   std::optional<QString> label = {})
{
    sim::SimWorld::SubagentEntry e;
    e.id = id;
    e.mode = std::move(mode);
    e.hasChildren = hasChildren;
    e.activity = std::move(activity);
    e.label = std::move(label);
    return e;
}

// A menu item's text as the menu draws it: "&&" shows one "&", a lone "&" marks the mnemonic.
QString shownMenuText(const QString &text)
{
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&') {
            if (i + 1 < text.size() && text[i + 1] == u'&')
                shown += text[++i];
            continue;
        }
        shown += text[i];
    }
    return shown;
}

QStringList menuTexts(QMenu *menu)
{
    QStringList texts;
    for (QAction *a : menu->actions())
        texts << (a->isSeparator() ? u"—"_s : shownMenuText(a->text()) + (a->isEnabled() ? QString() : u" (disabled)"_s));
    return texts;
}

// Opens the button's menu with a click, runs `inMenu` on the open menu, and waits for the
// menu to close (inMenu clicks an item or presses Escape).
void withOpenMenu(QToolButton *button, const std::function<void(QMenu *)> &inMenu)
{
    bool ran = false;
    QTimer::singleShot(0, button, [&] {
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        inMenu(menu);
        ran = true;
        if (menu->isVisible())
            QTest::keyClick(menu, Qt::Key_Escape);
    });
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(ran);
    QTRY_VERIFY(!QApplication::activePopupWidget());
}

void clickItem(QMenu *menu, const QString &startsWith)
{
    for (QAction *a : menu->actions()) {
        if (a->text().startsWith(startsWith)) {
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
            return;
        }
    }
    QFAIL(qPrintable(u"no menu item "_s + startsWith));
}

} // namespace

class TestSubagentViews : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void catalogListsTheTreeAndSelects()
    {
        StoreHarness h;
        h.world.addSession(session(u"root"_s, 2));
        h.world.setSubagents(u"root"_s, {entry(u"alpha-0001-aaaa"_s, u"continuable"_s, true, u"running"_s, u"alpha"_s),
                                        entry(u"beta-0002-bbbb"_s, u"one-shot"_s),
                                        entry(u"broken-0003"_s, std::nullopt)});
        h.world.setSubagents(u"alpha-0001-aaaa"_s, {entry(u"gamma-0004"_s, u"one-shot"_s, {}, {}, u"R&D\tgamma"_s)}, false);
        AppModel *store = h.connected();
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentsByParent().contains(u"alpha-0001-aaaa"_s)
                                     && store->sessions()->subagentCatalogLoading().isEmpty(),
                                 20000);

        QWidget window;
        auto *layout = new QHBoxLayout(&window);
        auto *catalog = new SubagentCatalogView(store->sessions(), store->selection(), u"root"_s);
        layout->addWidget(catalog);
        window.resize(300, 60);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QVERIFY(catalog->isVisible());
        QCOMPARE(catalog->text(), u"3"_s); // alpha, beta and gamma; not the broken one
        QCOMPARE(catalog->accessibleName(), u"子代理，共 3 个"_s);
        QVERIFY(shownToolTip(catalog->toolTip()).contains(u"3 个子代理，1 个运行中"_s));

        withOpenMenu(catalog, [&](QMenu *menu) {
            QCOMPARE(menuTexts(menu), (QStringList{u"\u2068alpha\u2069  ·  持续  ·  运行中"_s, u"  \u2068R&D gamma\u2069  ·  单次  ·  空闲"_s,
                                                   u"子代理 beta-000  ·  单次  ·  空闲"_s,
                                                   u"子代理 broken-0  ·  暂时不可用 (disabled)"_s, u"—"_s,
                                                   u"刷新子代理"_s}));
            QCOMPARE(menu->actions()[0]->property("symbolName").toString(), u"circle.fill"_s);
            QCOMPARE(menu->actions()[1]->property("symbolName").toString(), u"doc.text.magnifyingglass"_s);
            QCOMPARE(menu->actions()[3]->property("symbolName").toString(), u"exclamationmark.triangle"_s);
            // The second level is selected with its own parent and that list's availability.
            clickItem(menu, u"  \u2068R&&D gamma"_s);
        });
        QVERIFY(store->selection()->selectedSubagent());
        QCOMPARE(store->selection()->selectedSubagent()->address.parentSessionId, u"alpha-0001-aaaa"_s);
        QCOMPARE(store->selection()->selectedSubagent()->address.childSessionId, u"gamma-0004"_s);
        QCOMPARE(store->selection()->selectedSubagent()->address.mode, u"one-shot"_s);
        QCOMPARE(store->selection()->selectedSubagent()->parentAvailable, false);

        // The refresh item reloads the tree from the root.
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentCatalogLoading().isEmpty(), 20000);
        h.host.clearRequests();
        h.world.setSubagents(u"root"_s, {entry(u"alpha-0001-aaaa"_s, u"continuable"_s, false)});
        withOpenMenu(catalog, [&](QMenu *menu) { clickItem(menu, u"刷新子代理"_s); });
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"subagent.list"_s) >= 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(catalog->text(), u"1"_s, 20000);
        QCOMPARE(shownToolTip(catalog->toolTip()).contains(u"1 个子代理"_s), true);
        QVERIFY(!shownToolTip(catalog->toolTip()).contains(u"运行中"_s));
        { const QStringList problems = accessibilityProblems(&window); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void catalogVisibility()
    {
        StoreHarness h;
        h.world.addSession(session(u"lonely"_s, 3));
        h.world.addSession(session(u"diag"_s, 2));
        h.world.setSubagents(u"diag"_s, {entry(u"bad"_s, std::nullopt)});
        AppModel *store = h.connected();
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentCatalogLoading().isEmpty(), 20000);

        QWidget window;
        auto *layout = new QHBoxLayout(&window);
        auto *catalog = new SubagentCatalogView(store->sessions(), store->selection(), u"lonely"_s);
        layout->addWidget(catalog);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // No list, not loading: nothing drawn.
        QVERIFY(!catalog->isVisible());
        // Only diagnostic entries: still nothing, although there are rows.
        store->selection()->selectSession(u"diag"_s);
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentsByParent().contains(u"diag"_s)
                                     && store->sessions()->subagentCatalogLoading().isEmpty(),
                                 20000);
        catalog->setRootSessionId(u"diag"_s);
        QCOMPARE(catalog->rows().size(), size_t(1));
        QVERIFY(!catalog->isVisible());

        // While the root's list loads the button shows, with 0 and the loading text.
        h.world.setSubagents(u"lonely"_s, {entry(u"kid"_s)});
        catalog->setRootSessionId(u"lonely"_s);
        bool sawLoading = false;
        auto conn = connect(store->sessions(), &SessionDirectory::subagentCatalogLoadingChanged, this, [&] {
            if (store->sessions()->subagentCatalogLoading().contains(u"lonely"_s) && catalog->isVisible()
                && catalog->text() == u"0"_s && shownToolTip(catalog->toolTip()).contains(u"0 个子代理"_s))
                sawLoading = true;
        });
        startStoreTaskForTest(store);
        QTRY_VERIFY_WITH_TIMEOUT(sawLoading, 20000);
        disconnect(conn);
        QTRY_COMPARE_WITH_TIMEOUT(catalog->text(), u"1"_s, 20000);
        QVERIFY(catalog->isVisible());
        { const QStringList problems = accessibilityProblems(&window); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

    void readOnlyCard()
    {
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *card = new SubagentReadOnlyComposer(
            SelectedSubagent{SubagentAddress{u"p"_s, u"c"_s, u"one-shot"_s}, u"run"_s, true});
        layout->addWidget(card);
        window.resize(900, 120);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QStringList texts;
        for (auto *label : card->findChildren<QLabel *>())
            texts << label->text();
        QCOMPARE(texts, (QStringList{u"单次子代理记录"_s, u"此执行记录只读"_s}));
        QCOMPARE(card->symbolName(), u"doc.text.magnifyingglass"_s);
        // Centred, at most 772 wide, 58 high with 18 below it and nothing above it but the
        // shadow's spill.
        const auto labels = card->findChildren<QLabel *>();
        QVERIFY(labels[0]->parentWidget()->width() <= SubagentReadOnlyComposer::kMaxCardWidth);
        const QRect body = labels[0]->parentWidget()->geometry();
        QCOMPARE(body.height(), 58);
        QCOMPARE(card->height() - body.bottom() - 1, 18);
        QVERIFY(body.top() <= 2);

        card->setSelection(SelectedSubagent{SubagentAddress{u"p"_s, u"c"_s, u"continuable"_s}, u"run"_s, false});
        texts.clear();
        for (auto *label : card->findChildren<QLabel *>())
            texts << label->text();
        QCOMPARE(texts, (QStringList{u"父会话当前不可用"_s, u"恢复父会话后才能继续发送消息"_s}));
        QCOMPARE(card->symbolName(), u"link.badge.plus"_s);
        card->setSelection(SelectedSubagent{SubagentAddress{u"p"_s, u"c"_s, u"One-Shot"_s}, u"run"_s, false});
        QCOMPARE(card->title(), u"父会话当前不可用"_s);
        { const QStringList problems = accessibilityProblems(&window); QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s))); }
    }

private:
    static void startStoreTaskForTest(AppModel *store);
};

void TestSubagentViews::startStoreTaskForTest(AppModel *store)
{
    // What the catalogue's own refresh item starts, here without opening the menu.
    startStoreTask(store->sessions()->refreshSubagentTree(u"lonely"_s, 0));
}

NBD_GUI_TEST_MAIN(TestSubagentViews)
#include "tst_subagentviews.moc"
