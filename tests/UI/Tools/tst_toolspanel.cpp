// The tools panel in the main window: every tool from its menu shortcut, the launcher, the tab
// bar and the new-tool menu, driven by keys and clicks.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "RenderedWidget.h"

#include "App/ContentView.h"
#include "App/MainWindow.h"
#include "Store/AppModel.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Tools/ToolChrome.h"
#include "UI/Tools/WorkspaceBrowserView.h"
#include "UI/Tools/WorkspaceFileBrowserView.h"
#include "UI/Tools/WorkspaceReviewView.h"
#include "UI/Tools/WorkspaceSideChatView.h"
#include "UI/Tools/WorkspaceTerminalDock.h"
#include "UI/Tools/WorkspaceToolsView.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class ToolsPanelTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<AppModel> m_store;
    std::unique_ptr<MainWindow> m_window;

    ContentView *content() { return m_window->content(); }
    WorkspaceToolsView *panel() { return m_window->findChild<WorkspaceToolsView *>(u"workspace-tools"_s); }
    QWidget *selectedView()
    {
        const auto &tabs = content()->workspaceToolTabs();
        return tabs.selectedTabID ? panel()->toolView(*tabs.selectedTabID) : nullptr;
    }
    QWidget *chip(const QUuid &id)
    {
        return panel()->findChild<QWidget *>(u"workspace-tab-"_s + id.toString(QUuid::WithoutBraces));
    }
    void verifyAccessible()
    {
        QStringList problems = nbd::test::accessibilityProblems(panel());
        if (auto *dock = m_window->findChild<QWidget *>(u"workspace-terminal"_s))
            problems += nbd::test::accessibilityProblems(dock);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
    }

private Q_SLOTS:
    void init()
    {
        auto settings = std::make_unique<QSettings>(m_dir.filePath(u"settings.ini"_s), QSettings::IniFormat);
        m_store = std::make_unique<AppModel>(std::move(settings), false);
        m_window = std::make_unique<MainWindow>(m_store.get(), std::function<void()>());
        m_window->resize(1280, 800);
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    void cleanup()
    {
        m_window.reset();
        m_store.reset();
    }

    // The tabs as text: each tab's tool, the shown one marked; the launcher when none is.
    QString tabsState()
    {
        const WorkspaceToolTabState &tabs = content()->workspaceToolTabs();
        QStringList out;
        for (const WorkspaceToolTab &tab : tabs.tabs)
            out << (tabs.selectedTabID == tab.id ? u"*"_s : QString()) + tab.title();
        return (tabs.selectedTabID ? QString() : u"launcher "_s) + out.join(u',') + (panel()->isVisible() ? u" shown"_s : u" hidden"_s)
            + (content()->terminalVisible() ? u" terminal"_s : QString());
    }

    // The panel's chrome (tab chips, back, new tool, the launcher's rows) does by its
    // accessibility action what its click does, from the launcher and from an open tab. The
    // tools' own content is checked by their tests.
    void actionsDoWhatClicksDo_data()
    {
        QTest::addColumn<bool>("launcher");
        QTest::newRow("launcher") << true;
        QTest::newRow("a tab") << false;
    }

    void actionsDoWhatClicksDo()
    {
        QFETCH(bool, launcher);
        nbd::test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            cleanup();
            init();
            QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_P));
            QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
            (void)QTest::qWaitFor([&] { return panel()->isVisible() && selectedView() && selectedView()->isVisible(); });
            if (launcher) {
                QTest::mouseClick(panel()->findChild<QWidget *>(u"workspace-tool-back"_s), Qt::LeftButton);
                (void)QTest::qWaitFor([&] { return !selectedView(); });
            }
            QCoreApplication::processEvents();
            return m_window.get();
        };
        check.state = [&] { return tabsState(); };
        check.skip = [&](QAccessibleInterface *iface) {
            auto *widget = qobject_cast<QWidget *>(iface->object());
            QWidget *shown = selectedView();
            return !widget || !panel()->isAncestorOf(widget) || (shown && (shown == widget || shown->isAncestorOf(widget)));
        };
        const nbd::test::ActionParityReport report = nbd::test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QVERIFY2(report.controls.size() >= 3, qPrintable(report.controls.join(u'\n')));
        QVERIFY2(report.changed >= 2, qPrintable(report.controls.join(u'\n')));
    }

    void everyToolOpensFromItsShortcut()
    {
        QVERIFY(panel()->isHidden());
        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
        QTRY_VERIFY(panel()->isVisible());
        QVERIFY(qobject_cast<WorkspaceReviewView *>(selectedView()));
        QTRY_VERIFY(selectedView()->isVisible());

        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_P));
        QVERIFY(qobject_cast<WorkspaceFileBrowserView *>(selectedView()));
        QCOMPARE(qobject_cast<WorkspaceFileBrowserView *>(selectedView())->rootURL(), content()->selectedWorkingDirectory());

        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_T));
        QVERIFY(qobject_cast<WorkspaceBrowserView *>(selectedView()));

        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));
        auto *chat = qobject_cast<WorkspaceSideChatView *>(selectedView());
        QVERIFY(chat);
        // Offline the detached session cannot be created: the failure shows with a retry.
        QTRY_VERIFY(chat->findChild<QLabel *>(u"workspace-side-chat-error"_s)->isVisible());
        QCOMPARE(chat->findChild<QLabel *>(u"workspace-side-chat-error"_s)->text(), u"无法创建新的侧边会话"_s);

        QTest::keySequence(m_window.get(), QKeySequence(Qt::CTRL | Qt::Key_QuoteLeft));
        auto *dock = m_window->findChild<WorkspaceTerminalDock *>(u"workspace-terminal"_s);
        QTRY_VERIFY(dock->isVisible());
        QCOMPARE(content()->workspaceToolTabs().tabs.size(), size_t(4));
        QTRY_VERIFY(dock->height() > 100);
        verifyAccessible();
    }

    // The same tools from the menu bar's 工作区 menu, opened and picked with the mouse.
    void everyToolOpensFromTheWorkspaceMenu()
    {
        QMenuBar *bar = m_window->menuBar();
        QAction *workspace = nullptr;
        for (QAction *action : bar->actions()) {
            if (action->text() == u"工作区"_s)
                workspace = action;
        }
        QVERIFY(workspace && workspace->menu());
        auto pick = [&](const QString &objectName) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(workspace).center());
            QMenu *menu = nullptr;
            QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
            QVERIFY(QTest::qWaitForWindowExposed(menu));
            QAction *command = menu->findChild<QAction *>(objectName);
            if (!command) {
                for (QAction *action : menu->actions()) {
                    if (action->objectName() == objectName)
                        command = action;
                }
            }
            QVERIFY2(command, qPrintable(objectName));
            QVERIFY(!command->text().isEmpty());
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(command).center());
            QTRY_VERIFY(!QApplication::activePopupWidget());
        };

        pick(u"workspace-review-command"_s);
        QTRY_VERIFY(panel()->isVisible());
        QVERIFY(qobject_cast<WorkspaceReviewView *>(selectedView()));
        pick(u"workspace-files-command"_s);
        QVERIFY(qobject_cast<WorkspaceFileBrowserView *>(selectedView()));
        pick(u"workspace-browser-command"_s);
        QVERIFY(qobject_cast<WorkspaceBrowserView *>(selectedView()));
        pick(u"workspace-side-chat-command"_s);
        QVERIFY(qobject_cast<WorkspaceSideChatView *>(selectedView()));
        pick(u"workspace-terminal-command"_s);
        QTRY_VERIFY(m_window->findChild<WorkspaceTerminalDock *>(u"workspace-terminal"_s)
                    && m_window->findChild<WorkspaceTerminalDock *>(u"workspace-terminal"_s)->isVisible());
        // The terminal has no tab; the review picked again re-selects its tab.
        QCOMPARE(content()->workspaceToolTabs().tabs.size(), size_t(4));
        pick(u"workspace-review-command"_s);
        QVERIFY(qobject_cast<WorkspaceReviewView *>(selectedView()));
        QCOMPARE(content()->workspaceToolTabs().tabs.size(), size_t(4));
    }

    void launcherBackButtonAndNewToolMenu()
    {
        content()->toggleRightSidebar();
        QTRY_VERIFY(panel()->isVisible());
        // No tabs: the launcher alone, no tab bar.
        auto *backButton = panel()->findChild<ChromeIconButton *>(u"workspace-tool-back"_s);
        QVERIFY(!backButton->isVisible());
        auto *reviewRow = panel()->findChild<QAbstractButton *>(u"workspace-tool-review"_s);
        // The panel slides open: the rows are clickable once it has its width.
        QTRY_VERIFY(reviewRow->isVisible() && reviewRow->width() > 200);
        verifyAccessible();
        QTest::mouseClick(reviewRow, Qt::LeftButton);
        QCOMPARE(content()->workspaceToolTabs().tabs.size(), size_t(1));
        const QUuid review = content()->workspaceToolTabs().tabs[0].id;
        QVERIFY(chip(review));

        // Back to the launcher: the tabs stay and the review row re-selects the open review.
        QTest::mouseClick(backButton, Qt::LeftButton);
        QVERIFY(!content()->workspaceToolTabs().selectedTabID);
        QTRY_VERIFY(reviewRow->isVisible());
        QTest::mouseClick(reviewRow, Qt::LeftButton);
        QCOMPARE(content()->workspaceToolTabs().tabs.size(), size_t(1));
        QCOMPARE(content()->workspaceToolTabs().selectedTabID, review);

        // The terminal row toggles the dock and opens no tab; its help text follows the dock.
        QTest::mouseClick(backButton, Qt::LeftButton);
        auto *terminalRow = panel()->findChild<QAbstractButton *>(u"workspace-tool-terminal"_s);
        QCOMPARE(terminalRow->accessibleDescription(), u"打开终端"_s);
        QTest::mouseClick(terminalRow, Qt::LeftButton);
        QVERIFY(content()->terminalVisible());
        QCOMPARE(terminalRow->accessibleDescription(), u"隐藏终端"_s);
        QCOMPARE(content()->workspaceToolTabs().tabs.size(), size_t(1));

        // The new-tool menu adds files tabs.
        auto *menuButton = panel()->findChild<QToolButton *>(u"workspace-new-tool-tab"_s);
        QMenu *menu = menuButton->menu();
        QCOMPARE(menu->actions().size(), 5);
        QTimer::singleShot(0, this, [menu] {
            menu->findChild<QAction *>(u"workspace-new-tool-files"_s);
            const auto actions = menu->actions();
            for (QAction *a : actions)
                if (a->objectName() == u"workspace-new-tool-files"_s)
                    menu->setActiveAction(a);
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QTest::mouseClick(menuButton, Qt::LeftButton);
        QTRY_COMPARE(content()->workspaceToolTabs().tabs.size(), size_t(2));
        QCOMPARE(content()->workspaceToolTabs().tabs[1].tool, WorkspaceTool::Files);
    }

    void closingTabsMovesTheSelection()
    {
        content()->openWorkspaceTool(WorkspaceTool::Files);
        content()->openWorkspaceTool(WorkspaceTool::Review);
        content()->openWorkspaceTool(WorkspaceTool::Files);
        const auto tabs = content()->workspaceToolTabs().tabs;
        QTRY_VERIFY(chip(tabs[1].id) && chip(tabs[1].id)->isVisible());
        // Select the middle tab by its title, close it by its close button.
        QTest::mouseClick(chip(tabs[1].id)->findChild<QAbstractButton *>(u"workspace-tab-select"_s), Qt::LeftButton);
        QCOMPARE(content()->workspaceToolTabs().selectedTabID, tabs[1].id);
        QTRY_VERIFY(qobject_cast<WorkspaceReviewView *>(selectedView()));
        auto *close = chip(tabs[1].id)->findChild<ChromeIconButton *>(u"workspace-tab-close"_s);
        QCOMPARE(close->accessibleName(), u"关闭审阅"_s);
        QTest::mouseClick(close, Qt::LeftButton);
        QCOMPARE(content()->workspaceToolTabs().selectedTabID, tabs[2].id);
        QVERIFY(!panel()->toolView(tabs[1].id));
        // The last one, then the only one.
        QTRY_VERIFY(chip(tabs[2].id) && chip(tabs[2].id)->isVisible());
        QTest::mouseClick(chip(tabs[2].id)->findChild<ChromeIconButton *>(u"workspace-tab-close"_s), Qt::LeftButton);
        QCOMPARE(content()->workspaceToolTabs().selectedTabID, tabs[0].id);
        QTRY_VERIFY(chip(tabs[0].id) && chip(tabs[0].id)->isVisible());
        QTest::mouseClick(chip(tabs[0].id)->findChild<ChromeIconButton *>(u"workspace-tab-close"_s), Qt::LeftButton);
        QVERIFY(!content()->workspaceToolTabs().selectedTabID);
        QTRY_VERIFY(panel()->findChild<QAbstractButton *>(u"workspace-tool-review"_s)->isVisible());
    }

    void inspectorWithoutASessionSaysSo()
    {
        content()->openSessionInspector(RuntimeInspectorPanel::Runtime, std::nullopt);
        auto *placeholder = selectedView()->findChild<ContentUnavailableView *>();
        QVERIFY(placeholder);
        QCOMPARE(placeholder->title(), u"未选择会话"_s);
        QCOMPARE(placeholder->description(), u"选择一个会话后查看运行信息"_s);
    }

    // A long title is cut with "…" in the narrow tab; the full title stays the tab's tooltip and
    // accessible name, and the painted text never runs past the tab.
    void longTabTitlesAreElided()
    {
        const QString name = u"a-very-long-file-name-that-cannot-fit-into-one-tab-中文名字.md"_s;
        QVERIFY(content()->openWorkspaceLink(QUrl(name)));
        const QUuid id = content()->workspaceToolTabs().tabs.back().id;
        QTRY_VERIFY(chip(id) && chip(id)->isVisible());
        auto *select = chip(id)->findChild<QAbstractButton *>(u"workspace-tab-select"_s);
        QCOMPARE(select->accessibleName(), name);
        QVERIFY(select->toolTip().contains(name));
        QVERIFY(select->width() < QFontMetrics(select->font()).horizontalAdvance(name));

        // What is painted: render the button and compare with the title elided to the space
        // beside the icon, and with the unelided title.
        const QString elided = QFontMetrics(select->font()).elidedText(name, Qt::ElideRight, select->width() - 26);
        QVERIFY(elided.endsWith(u"…"_s));
        QVERIFY(elided.size() > 1);
        const QImage shown = test::rendered(select);
        QImage expected(select->size(), QImage::Format_ARGB32_Premultiplied);
        expected.fill(Qt::transparent);
        {
            QPainter painter(&expected);
            painter.setFont(select->font());
            painter.setPen(select->palette().color(QPalette::Text));
            painter.drawText(QRectF(26, 0, select->width() - 26, select->height()), Qt::AlignLeft | Qt::AlignVCenter, elided);
        }
        // The glyphs of the elided text cover the same columns as what the button painted.
        auto lastInkColumn = [](const QImage &image, int from) {
            for (int x = image.width() - 1; x >= from; --x)
                for (int y = 0; y < image.height(); ++y)
                    if (qAlpha(image.pixel(x, y)) > 60)
                        return x;
            return -1;
        };
        const int shownEnd = lastInkColumn(shown, 26);
        QVERIFY(shownEnd > 26);
        QVERIFY(shownEnd < select->width());
        QVERIFY(std::abs(shownEnd - lastInkColumn(expected, 26)) <= 2);
        verifyAccessible();
    }

    void linksRouteToTheTools()
    {
        QVERIFY(content()->openWorkspaceLink(QUrl(u"//example.com/docs"_s)));
        const auto &tabs = content()->workspaceToolTabs().tabs;
        QCOMPARE(tabs.back().browserStartURL, QUrl(u"https://example.com/docs"_s));
        QVERIFY(content()->openWorkspaceLink(QUrl(u"notes.md#intro"_s)));
        QCOMPARE(content()->workspaceToolTabs().tabs.back().requestedFileURL->toLocalFile(),
                 QDir::cleanPath(content()->selectedWorkingDirectory().toLocalFile() + u"/notes.md"_s));
        QVERIFY(!content()->openWorkspaceLink(QUrl(u"mailto:a@b.c"_s)));
    }
};

NBD_GUI_TEST_MAIN(ToolsPanelTest)
#include "tst_toolspanel.moc"
