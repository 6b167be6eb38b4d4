#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "App/ContentView.h"
#include "App/MainWindow.h"
#include "Store/AppModel.h"
#include "UI/Sidebar/SidebarView.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QLineEdit>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class tst_MainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<AppModel> m_store;
    std::unique_ptr<MainWindow> m_window;
    int m_settingsOpened = 0;
    int m_quits = 0;

    void showWindow(AppModel *store)
    {
        m_window = std::make_unique<MainWindow>(
            store, [this] { ++m_settingsOpened; }, nullptr, [this] { ++m_quits; });
        m_window->resize(1280, 820);
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    // Lets the window's collapse and show/hide animations finish.
    bool settle() const
    {
        ContentView *content = m_window->content();
        return QTest::qWaitFor([content] { return !content->isAnimating(); }, 5000);
    }

    QAbstractButton *button(const QString &name) const
    {
        return m_window->findChild<QAbstractButton *>(name);
    }

private Q_SLOTS:
    void init()
    {
        m_settingsOpened = 0;
        m_quits = 0;
        auto settings = std::make_unique<QSettings>(m_dir.filePath(u"settings.ini"_s), QSettings::IniFormat);
        m_store = std::make_unique<AppModel>(std::move(settings), false);
        showWindow(m_store.get());
    }

    void cleanup()
    {
        m_window.reset();
        m_store.reset();
    }

    void identityAndMinimumSize()
    {
        QCOMPARE(m_window->objectName(), u"main"_s);
        QCOMPARE(m_window->windowTitle(), u"Nimbrel Deck"_s);
        m_window->resize(400, 300);
        QVERIFY(m_window->width() >= 1080);
        QVERIFY(m_window->height() >= 680);
    }

    void oneActionPerShortcut()
    {
        QHash<QKeySequence, QString> seen;
        const auto actions = m_window->findChildren<QAction *>();
        for (QAction *action : actions) {
            if (action->shortcut().isEmpty())
                continue;
            QVERIFY2(!seen.contains(action->shortcut()), qPrintable(action->shortcut().toString()));
            seen.insert(action->shortcut(), action->text());
        }
        QCOMPARE(seen.size(), 8);
        QCOMPARE(seen.value(QKeySequence(Qt::CTRL | Qt::Key_N)), u"新建会话"_s);
        QCOMPARE(seen.value(QKeySequence(Qt::CTRL | Qt::Key_Q)), u"退出"_s);
        QCOMPARE(seen.value(QKeySequence(Qt::CTRL | Qt::Key_Comma)), u"设置…"_s);
    }

    // Settings and Quit sit in the first menu, Quit last; their shortcuts reach them.
    void quitAndSettingsInTheFirstMenu()
    {
        const QList<QAction *> menus = m_window->menuBar()->actions();
        QVERIFY(!menus.isEmpty());
        QList<QAction *> items = menus.first()->menu()->actions();
        items.removeIf([](QAction *a) { return a->isSeparator(); });
        QCOMPARE(items.last()->objectName(), u"quit-command"_s);
        QVERIFY(std::any_of(items.begin(), items.end(), [](QAction *a) { return a->objectName() == u"settings-command"_s; }));

        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
        QCOMPARE(m_settingsOpened, 1);
        QCOMPARE(m_quits, 0);
        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QCOMPARE(m_quits, 1);
    }

    // The restart of the launched host sits in the first menu while the client launches one,
    // and starts a connect like the Settings button does.
    void restartCommandFollowsTheLaunchMode()
    {
        QList<QAction *> items = m_window->menuBar()->actions().first()->menu()->actions();
        const auto restart = std::find_if(items.begin(), items.end(),
                                          [](QAction *a) { return a->objectName() == u"restart-host-command"_s; });
        QVERIFY(restart != items.end());
        QCOMPARE((*restart)->text(), u"重启内置 NBD"_s);
        ConnectionSettings *connection = m_store->connectionSettings();
        connection->setLaunchMode(LaunchMode::External);
        QVERIFY(!(*restart)->isVisible());
        connection->setLaunchMode(LaunchMode::Embedded);
        QVERIFY((*restart)->isVisible());

        // No host of this machine is attached to, and none is found to launch.
        connection->setHostLookup([](QList<QUrl>, CancelToken) -> QCoro::Task<std::optional<QUrl>> { co_return std::nullopt; });
        connection->setNbdExecutablePath(m_dir.filePath(u"missing-nbd"_s));
        (*restart)->trigger();
        QCOMPARE(m_store->connection()->phase().kind(), ConnectionPhase::Kind::Connecting);
    }

    // Every animated part of the window, toggled several times in a row with motion on, by
    // the keyboard and by clicks, letting each animation end and cutting others short.
    void animatedPanelsToggleRepeatedly()
    {
        ContentView *content = m_window->content();
        const QKeySequence terminal(Qt::CTRL | Qt::Key_QuoteLeft);
        for (int i = 0; i < 4; ++i) {
            QTest::keySequence(m_window.get(), terminal);
            QVERIFY(content->isAnimating());
            QVERIFY(settle());
        }
        for (int i = 0; i < 3; ++i)
            QTest::keySequence(m_window.get(), terminal);
        QVERIFY(settle());
        QVERIFY(content->terminalVisible());

        QAbstractButton *tools = button(u"workspace-tools-toggle"_s);
        QVERIFY(tools);
        for (int i = 0; i < 4; ++i) {
            QTest::mouseClick(tools, Qt::LeftButton);
            QVERIFY(content->isAnimating());
            QVERIFY(settle());
        }
        QVERIFY(!content->rightSidebarVisible());
        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_T));
        QVERIFY(settle());
        QVERIFY(content->rightSidebarVisible());

        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(button(u"sidebar-collapse"_s), Qt::LeftButton);
            QVERIFY(content->sidebarCollapsed());
            QVERIFY(settle());
            QTest::mouseClick(button(u"rail-expand"_s), Qt::LeftButton, {}, QPoint(18, 18));
            QVERIFY(!content->sidebarCollapsed());
            QVERIFY(settle());
        }
        QCOMPARE(m_window->findChild<QWidget *>(u"conversation"_s)->x(), 281);
    }

    // "展开并搜索" on the rail opens the sidebar with the search field ready for typing.
    void railSearchFocusesTheField()
    {
        ContentView *content = m_window->content();
        content->collapseSidebar();
        QVERIFY(settle());
        QTest::mouseClick(button(u"rail-search"_s), Qt::LeftButton, {}, QPoint(18, 18));
        QVERIFY(content->sidebarSearchVisible());
        auto *field = m_window->findChild<QLineEdit *>(u"sidebar-search-field"_s);
        QVERIFY(field);
        QTRY_COMPARE(QApplication::focusWidget(), field);
        QTest::keyClicks(QApplication::focusWidget(), u"ab"_s);
        QCOMPARE(content->findChild<SidebarView *>()->searchText(), u"ab"_s);
    }

    // The window as a screen reader sees it, with the sidebar listing sessions of a host.
    void accessibleWithAPopulatedSidebar()
    {
        m_window.reset();
        test::StoreHarness h;
        auto session = [](QString id, double t, QString title, bool running) {
            auto s = test::session(id, t);
            s.title = title;
            s.running = running;
            return s;
        };
        h.world.addSession(session(u"a"_s, 1000, u"Alpha & <more>"_s, false));
        h.world.addSession(session(u"b"_s, 3000, u"Beta"_s, true));
        h.world.addSession(session(u"c"_s, 2000, u"Gamma"_s, false));
        h.world.addWorkspace({u"w1"_s, u"/src/one"_s, u"One"_s, {u"a"_s, u"b"_s}});
        AppModel *store = h.connected();
        showWindow(store);
        store->selection()->selectSession(u"b"_s);
        auto *sidebar = m_window->findChild<SidebarView *>();
        QTRY_COMPARE(sidebar->list()->rows().size(), size_t(5)); // header, two rows, "最近", one row
        QTRY_VERIFY(sidebar->list()->rows()[1].session() && sidebar->list()->rows()[1].session()->isSelected);

        const QStringList problems = test::accessibilityProblems(m_window.get());
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

        // Rows tell their title and state; pressing one through accessibility selects it.
        QWidget *beta = m_window->findChild<QWidget *>(u"session-row-w1-b"_s);
        QVERIFY(beta);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(beta);
        QCOMPARE(iface->text(QAccessible::Name), u"Beta"_s);
        QCOMPARE(iface->role(), QAccessible::ListItem);
        QVERIFY(iface->state().selected);
        QVERIFY(iface->state().busy);
        QWidget *alpha = m_window->findChild<QWidget *>(u"session-row-w1-a"_s);
        QAccessibleInterface *alphaIface = QAccessible::queryAccessibleInterface(alpha);
        QCOMPARE(alphaIface->text(QAccessible::Name), u"Alpha & <more>"_s);
        QVERIFY(!alphaIface->state().selected);
        QVERIFY(alphaIface->actionInterface());
        alphaIface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(store->selection()->selectedSessionId(), std::optional<QString>(u"a"_s));

        QWidget *header = m_window->findChild<QWidget *>(u"workspace-header-w1"_s);
        QAccessibleInterface *headerIface = QAccessible::queryAccessibleInterface(header);
        QCOMPARE(headerIface->text(QAccessible::Name), u"One"_s);
        QVERIFY(headerIface->state().expanded);
        headerIface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_VERIFY(!sidebar->collapsedWorkspaceIds().isEmpty());
        QVERIFY(QAccessible::queryAccessibleInterface(m_window->findChild<QWidget *>(u"workspace-header-w1"_s))
                    ->state()
                    .collapsed);

        for (const QString &name : {u"sidebar-new-session-button"_s, u"sidebar-settings-button"_s,
                                    u"sidebar-product-title"_s, u"sidebar-collapse"_s}) {
            QWidget *control = m_window->findChild<QWidget *>(name);
            QVERIFY2(control, qPrintable(name));
            QVERIFY2(!QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(), qPrintable(name));
        }
        m_window.reset();
    }

    void shortcutsTriggerTheirCommands_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<int>("tool"); // -1: the terminal dock
        QTest::newRow("review") << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G) << int(WorkspaceTool::Review);
        QTest::newRow("terminal") << QKeySequence(Qt::CTRL | Qt::Key_QuoteLeft) << -1;
        QTest::newRow("browser") << QKeySequence(Qt::CTRL | Qt::Key_T) << int(WorkspaceTool::Browser);
        QTest::newRow("files") << QKeySequence(Qt::CTRL | Qt::Key_P) << int(WorkspaceTool::Files);
        QTest::newRow("side chat") << QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S) << int(WorkspaceTool::SideChat);
    }

    void shortcutsTriggerTheirCommands()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(int, tool);
        ContentView *content = m_window->content();
        QTest::keySequence(m_window.get(), keys);
        if (tool < 0) {
            QVERIFY(content->terminalVisible());
            QVERIFY(content->workspaceToolTabs().tabs.empty());
            QTest::keySequence(m_window.get(), keys);
            QVERIFY(!content->terminalVisible());
            return;
        }
        QCOMPARE(content->workspaceToolTabs().tabs.size(), size_t(1));
        QCOMPARE(int(content->workspaceToolTabs().tabs[0].tool), tool);
        QVERIFY(content->rightSidebarVisible());
        QVERIFY(!content->terminalVisible());
    }

    void newSessionWithoutHostChangesNoLayout()
    {
        ContentView *content = m_window->content();
        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_N));
        QVERIFY(content->workspaceToolTabs().tabs.empty());
        QVERIFY(!m_store->selection()->selectedSessionId().has_value());
    }
};

NBD_GUI_TEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
