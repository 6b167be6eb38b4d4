#include "App/ContentView.h"
#include "App/MainWindow.h"
#include "Store/AppModel.h"
#include "UI/Shared/Motion.h"

#include <QAction>
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

private Q_SLOTS:
    void initTestCase() { Motion::setReduceMotion(true); }

    void init()
    {
        auto settings = std::make_unique<QSettings>(m_dir.filePath(u"settings.ini"_s), QSettings::IniFormat);
        m_store = std::make_unique<AppModel>(std::move(settings), false);
        m_window = std::make_unique<MainWindow>(m_store.get(), std::function<void()>());
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
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
        QCOMPARE(seen.size(), 6);
        QCOMPARE(seen.value(QKeySequence(Qt::CTRL | Qt::Key_N)), u"新建会话"_s);
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
        QVERIFY(!m_store->selectedSessionId().has_value());
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
