#include "App/ContentView.h"
#include "Store/AppModel.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/Motion.h"
#include "UI/Sidebar/SidebarRailView.h"
#include "UI/Shared/Theme.h"
#include "Store/WorkspaceTerminalModel.h"
#include "UI/Tools/WorkspaceTerminalDock.h"

#include <QDesktopServices>
#include <QDir>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QVariantAnimation>
#include <QtTest>

#include "DesktopLinkRecorder.h"
#include "GuiTestMain.h"

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

QWidget *child(QWidget *root, const QString &name)
{
    auto *w = root->findChild<QWidget *>(name);
    if (!w)
        qWarning("no widget named %s", qPrintable(name));
    return w;
}

// Presses on the handle's centre, moves by `delta` in global coordinates, and releases.
void drag(QWidget *handle, QPoint delta)
{
    const QPointF local(handle->width() / 2.0, handle->height() / 2.0);
    const QPointF global = handle->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(handle, &press);
    for (int step = 1; step <= 4; ++step) {
        const QPointF g = global + QPointF(delta) * step / 4.0;
        QMouseEvent move(QEvent::MouseMove, handle->mapFromGlobal(g), g, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(handle, &move);
    }
    const QPointF end = global + QPointF(delta);
    QMouseEvent release(QEvent::MouseButtonRelease, handle->mapFromGlobal(end), end, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(handle, &release);
}

// Lets the running collapse or show/hide animations of the window finish.
bool settle(ContentView *view)
{
    return QTest::qWaitFor([view] { return !view->isAnimating(); }, 5000);
}

// Until a running animation of the window has moved past its first frame: a toggle then lands
// half-way through.
bool underWay(ContentView *view)
{
    return QTest::qWaitFor(
        [view] {
            for (const QVariantAnimation *animation : view->findChildren<QVariantAnimation *>()) {
                if (animation->state() == QAbstractAnimation::Running && animation->currentTime() > 0)
                    return true;
            }
            return false;
        },
        5000);
}

} // namespace

class tst_ContentView : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<AppModel> m_store;
    std::unique_ptr<ContentView> m_view;

    ContentView *makeView(QSize size = {1280, 820})
    {
        m_view = std::make_unique<ContentView>(m_store.get());
        m_view->resize(size);
        m_view->show();
        if (!QTest::qWaitForWindowExposed(m_view.get()))
            qWarning("window not exposed");
        return m_view.get();
    }

private Q_SLOTS:
    void init()
    {
        auto settings = std::make_unique<QSettings>(m_dir.filePath(u"settings.ini"_s), QSettings::IniFormat);
        m_store = std::make_unique<AppModel>(std::move(settings), false);
    }

    void cleanup()
    {
        m_view.reset();
        m_store.reset();
    }

    void sidebarWidthIsClamped_data()
    {
        QTest::addColumn<qreal>("wanted");
        QTest::addColumn<int>("shown");
        QTest::newRow("default") << 280.0 << 280;
        QTest::newRow("below minimum") << 100.0 << 264;
        QTest::newRow("at minimum") << 264.0 << 264;
        QTest::newRow("at maximum") << 420.0 << 420;
        QTest::newRow("above maximum") << 900.0 << 420;
        QTest::newRow("negative") << -50.0 << 264;
    }

    void sidebarWidthIsClamped()
    {
        QFETCH(qreal, wanted);
        QFETCH(int, shown);
        ContentView *view = makeView();
        view->setSidebarWidth(wanted);
        QCOMPARE(view->sidebarWidth(), wanted); // the wanted width is kept as it is
        QCOMPARE(view->leftColumnWidth(), qreal(shown));
        QCOMPARE(child(view, u"sidebar"_s)->width(), shown);
        QWidget *handle = child(view, u"sidebar-resize-handle"_s);
        QVERIFY(handle->isVisible());
        QCOMPARE(handle->geometry(), QRect(shown - 4, 0, 8, view->height()));
        // The conversation starts after the column and its 1 px hairline.
        QCOMPARE(child(view, u"conversation"_s)->x(), shown + 1);
    }

    void collapsedSidebarIsARailWithoutHandle()
    {
        ContentView *view = makeView();
        view->setSidebarWidth(400);
        view->collapseSidebar();
        QVERIFY(view->sidebarCollapsed());
        QVERIFY(settle(view));
        QCOMPARE(view->leftColumnWidth(), 80.0);
        QVERIFY(!child(view, u"sidebar-resize-handle"_s)->isVisible());
        QVERIFY(child(view, u"sidebar-rail"_s)->isVisible());
        QVERIFY(!child(view, u"sidebar"_s)->isVisible());
        QCOMPARE(child(view, u"conversation"_s)->x(), 81);

        // The rail's search expands the sidebar straight into its search.
        QTest::mouseClick(static_cast<QAbstractButton *>(child(view, u"rail-search"_s)), Qt::LeftButton);
        QVERIFY(!view->sidebarCollapsed());
        QVERIFY(view->sidebarSearchVisible());
        QCOMPARE(view->leftColumnWidth(), 400.0);
        QVERIFY(settle(view));
        QCOMPARE(child(view, u"conversation"_s)->x(), 401);
    }

    void railLogoTurnsIntoTheExpandIcon()
    {
        ContentView *view = makeView();
        view->collapseSidebar();
        auto *logo = qobject_cast<RailLogoButton *>(child(view, u"rail-expand"_s));
        QVERIFY(logo);
        QCOMPARE(logo->property("symbolName").toString(), u"app-icon"_s);
        QEnterEvent enter(QPointF(18, 18), QPointF(18, 18), logo->mapToGlobal(QPointF(18, 18)));
        QCoreApplication::sendEvent(logo, &enter);
        QCOMPARE(logo->property("symbolName").toString(), u"sidebar.left"_s);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(logo, &leave);
        QCOMPARE(logo->property("symbolName").toString(), u"app-icon"_s);
        QTest::mouseClick(logo, Qt::LeftButton, {}, QPoint(18, 18));
        QVERIFY(!view->sidebarCollapsed());
    }

    // The rail's round buttons fill their circle under the pointer; the Settings link is a bare
    // symbol that never does. All draw their symbol in the primary foreground colour.
    void railButtonsUnderThePointer_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("fills");
        QTest::newRow("new session") << u"rail-new-session"_s << true;
        QTest::newRow("search") << u"rail-search"_s << true;
        QTest::newRow("settings") << u"rail-settings"_s << false;
    }

    void railButtonsUnderThePointer()
    {
        QFETCH(QString, name);
        QFETCH(bool, fills);
        Theme::setAppearanceOverride(Theme::Appearance::Light);
        ContentView *view = makeView();
        view->collapseSidebar();
        QVERIFY(settle(view));
        QWidget *button = child(view, name);
        QVERIFY(button && button->isVisible());
        const QRect area(button->mapTo(view, QPoint(0, 0)), button->size());
        const QImage before = view->grab(area).toImage();
        QEnterEvent enter(QPointF(18, 18), QPointF(18, 18), button->mapToGlobal(QPointF(18, 18)));
        QCoreApplication::sendEvent(button, &enter);
        const QImage after = view->grab(area).toImage();
        Theme::setAppearanceOverride(std::nullopt);

        // Inside the circle, clear of the symbol.
        const QPoint probe(18 * before.width() / 36, 5 * before.height() / 36);
        QCOMPARE(before.pixelColor(probe).rgb(), Theme::sidebar().rgb());
        QCOMPARE(after.pixelColor(probe) != before.pixelColor(probe), fills);
        int darkest = 255;
        for (int y = 0; y < before.height(); ++y)
            for (int x = 0; x < before.width(); ++x)
                darkest = std::min(darkest, before.pixelColor(x, y).lightness());
        QVERIFY2(darkest < 90, qPrintable(QString::number(darkest)));
    }

    // Each animated state toggled many times in a row: after a finished animation, and again
    // while one is still moving. The window ends where the last toggle sent it.
    void animatedTogglesRepeat_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("sidebar") << u"sidebar"_s;
        QTest::newRow("tools panel") << u"tools"_s;
        QTest::newRow("terminal dock") << u"terminal"_s;
    }

    void animatedTogglesRepeat()
    {
        QFETCH(QString, state);
        ContentView *view = makeView();
        const auto toggle = [&] {
            if (state == u"sidebar"_s)
                view->sidebarCollapsed() ? view->expandSidebar() : view->collapseSidebar();
            else if (state == u"tools"_s)
                view->toggleRightSidebar();
            else
                view->toggleTerminal();
        };
        for (int i = 0; i < 4; ++i) {
            toggle();
            QVERIFY(view->isAnimating()); // the animated path runs
            QVERIFY(settle(view));
        }
        for (int i = 0; i < 5; ++i) {
            toggle();
            QVERIFY(underWay(view));
        }
        QVERIFY(settle(view));
        // Five quick toggles after four settled ones: the state is flipped.
        QWidget *conversation = child(view, u"conversation"_s);
        if (state == u"sidebar"_s) {
            QVERIFY(view->sidebarCollapsed());
            QCOMPARE(conversation->x(), 81);
        } else if (state == u"tools"_s) {
            QVERIFY(view->rightSidebarVisible());
            QCOMPARE(child(view, u"workspace-tools"_s)->width(), 360);
            QCOMPARE(conversation->width(), view->width() - 281 - 361);
        } else {
            QVERIFY(view->terminalVisible());
            QCOMPARE(child(view, u"workspace-terminal"_s)->height(), 230);
            QCOMPARE(conversation->height(), view->height() - 231);
        }
    }

    void dragsStopAtTheLimits_data()
    {
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<qreal>("sidebar");
        QTest::addColumn<qreal>("panel");
        QTest::newRow("sidebar wider") << u"sidebar-resize-handle"_s << QPoint(60, 0) << 340.0 << 360.0;
        QTest::newRow("sidebar far right") << u"sidebar-resize-handle"_s << QPoint(2000, 0) << 420.0 << 360.0;
        QTest::newRow("sidebar far left") << u"sidebar-resize-handle"_s << QPoint(-2000, 0) << 264.0 << 360.0;
        QTest::newRow("panel left widens") << u"workspace-tools-resize-handle"_s << QPoint(-40, 0) << 280.0 << 400.0;
        QTest::newRow("panel far left") << u"workspace-tools-resize-handle"_s << QPoint(-2000, 0) << 280.0 << 520.0;
        QTest::newRow("panel far right") << u"workspace-tools-resize-handle"_s << QPoint(2000, 0) << 280.0 << 300.0;
    }

    void dragsStopAtTheLimits()
    {
        QFETCH(QString, handle);
        QFETCH(QPoint, delta);
        QFETCH(qreal, sidebar);
        QFETCH(qreal, panel);
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::Review);
        QVERIFY(settle(view));
        drag(child(view, handle), delta);
        QCOMPARE(view->sidebarWidth(), sidebar);
        QCOMPARE(view->rightSidebarWidth(), panel);
        QWidget *tools = child(view, u"workspace-tools"_s);
        QCOMPARE(tools->width(), int(panel));
        QCOMPARE(tools->geometry().right(), view->width() - 1);
        // The panel's handle starts on the 1 px rule left of the panel and leaves the
        // conversation's edge alone.
        const QRect h = child(view, u"workspace-tools-resize-handle"_s)->geometry();
        QCOMPARE(h.width(), 8);
        QCOMPARE(h.left(), tools->x() - 1);
        QVERIFY(!h.intersects(child(view, u"conversation"_s)->geometry()));
        QCOMPARE(child(view, u"sidebar-resize-handle"_s)->x(), int(sidebar) - 4);
    }

    void terminalHeightIsClamped_data()
    {
        QTest::addColumn<int>("contentHeight");
        QTest::addColumn<qreal>("wanted");
        QTest::addColumn<int>("shown");
        QTest::newRow("default") << 820 << 230.0 << 230;
        QTest::newRow("below minimum") << 820 << 90.0 << 150;
        QTest::newRow("above 0.58") << 820 << 700.0 << 476;
        QTest::newRow("maximum wins over minimum") << 200 << 230.0 << 116;
        QTest::newRow("maximum wins over a small wish") << 200 << 90.0 << 116;
    }

    void terminalHeightIsClamped()
    {
        QFETCH(int, contentHeight);
        QFETCH(qreal, wanted);
        QFETCH(int, shown);
        ContentView *view = makeView({1280, contentHeight});
        view->setTerminalHeight(wanted);
        view->toggleTerminal();
        QVERIFY(view->terminalVisible());
        QVERIFY(settle(view));
        QWidget *dock = child(view, u"workspace-terminal"_s);
        QVERIFY(dock->isVisible());
        QCOMPARE(dock->height(), shown);
        QCOMPARE(dock->geometry().bottom(), contentHeight - 1);
        // The conversation ends at the dock's 1 px rule.
        QCOMPARE(child(view, u"conversation"_s)->height(), contentHeight - shown - 1);
        QCOMPARE(ContentView::clampedTerminalHeight(wanted, 0.58 * contentHeight), std::min(std::max(wanted, 150.0), 0.58 * contentHeight));
    }

    void terminalDragUpHeightensTheDock()
    {
        ContentView *view = makeView({1280, 820});
        view->toggleTerminal();
        QVERIFY(settle(view));
        drag(child(view, u"terminal-resize-handle"_s), QPoint(0, -50));
        QCOMPARE(view->terminalHeight(), 280.0);
        drag(child(view, u"terminal-resize-handle"_s), QPoint(0, -5000));
        QCOMPARE(view->terminalHeight(), 0.58 * 820);
        drag(child(view, u"terminal-resize-handle"_s), QPoint(0, 5000));
        QCOMPARE(view->terminalHeight(), 150.0);
        QCOMPARE(child(view, u"workspace-terminal"_s)->height(), 150);
    }

    // The dock is made the first time it opens. What the terminal printed before is in it, and
    // the resize strip on its top edge still takes the pointer: it stays above the dock.
    void terminalDockMadeOnFirstOpenShowsEarlierOutput()
    {
        ContentView *view = makeView({1280, 820});
        QCOMPARE(view->findChild<QWidget *>(u"workspace-terminal"_s), nullptr);
        WorkspaceTerminalModel *terminal = view->terminal();
        // The shell works out the number: the command line itself does not hold the output.
        terminal->execute(u"echo early-$((40 + 2))"_s);
        const auto printed = [terminal] {
            for (const TerminalRecord &record : terminal->records()) {
                if (record.text.contains(u"early-42"_s))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY(printed() && !terminal->isRunning());

        view->toggleTerminal();
        QVERIFY(settle(view));
        auto *dock = qobject_cast<WorkspaceTerminalDock *>(child(view, u"workspace-terminal"_s));
        QVERIFY(dock && dock->isVisible());
        auto *output = dock->findChild<QPlainTextEdit *>(u"workspace-terminal-output"_s);
        QVERIFY(output);
        QTRY_VERIFY(output->toPlainText().contains(u"early-42"_s));

        // The strip's lower rows lie over the dock's top edge.
        QWidget *handle = child(view, u"terminal-resize-handle"_s);
        const QPoint overDock = handle->mapTo(view, QPoint(handle->width() / 2, handle->height() - 1));
        QVERIFY(dock->geometry().contains(overDock));
        QCOMPARE(view->childAt(overDock), handle);
        // Closed and opened again: the same dock.
        view->toggleTerminal();
        QVERIFY(settle(view));
        view->toggleTerminal();
        QVERIFY(settle(view));
        QCOMPARE(child(view, u"workspace-terminal"_s), dock);
        QCOMPARE(view->findChildren<WorkspaceTerminalDock *>().size(), 1);
    }

    void toolTabsReuseOnlyInspectorAndReview()
    {
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::Review);
        view->openWorkspaceTool(WorkspaceTool::Browser);
        view->openWorkspaceTool(WorkspaceTool::Review);
        const auto &tabs = view->workspaceToolTabs();
        QCOMPARE(tabs.tabs.size(), size_t(2));
        QCOMPARE(tabs.selectedTabID, tabs.tabs[0].id);
        view->openWorkspaceTool(WorkspaceTool::Browser);
        QCOMPARE(view->workspaceToolTabs().tabs.size(), size_t(3));
        QCOMPARE(view->workspaceToolTabs().selectedTabID, view->workspaceToolTabs().tabs[2].id);
        // Without a connection the browser tab has no start address.
        QVERIFY(!view->workspaceToolTabs().tabs[2].browserStartURL.has_value());
        TrajectoryEventSelection selection;
        selection.id = u"e"_s;
        view->openSessionInspector(RuntimeInspectorPanel::Event, selection);
        view->openSessionInspector(RuntimeInspectorPanel::Runtime, std::nullopt);
        QCOMPARE(view->workspaceToolTabs().tabs.size(), size_t(4));
        QCOMPARE(view->inspectorPanel(), RuntimeInspectorPanel::Runtime);
        QVERIFY(!view->selectedTrajectoryEvent().has_value());
        QVERIFY(view->rightSidebarVisible());
    }

    void terminalToolTogglesTheDockOnly()
    {
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::Files);
        const WorkspaceToolTabState before = view->workspaceToolTabs();
        view->toggleRightSidebar(); // hide the panel
        view->openWorkspaceTool(WorkspaceTool::Terminal);
        QVERIFY(view->terminalVisible());
        QVERIFY(!view->rightSidebarVisible());
        QCOMPARE(view->workspaceToolTabs(), before);
        view->openWorkspaceTool(WorkspaceTool::Terminal);
        QVERIFY(!view->terminalVisible());
    }

    void hidingThePanelKeepsTabsAndReopensOnTheLauncher()
    {
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::Review);
        QWidget *tools = child(view, u"workspace-tools"_s);
        view->toggleRightSidebar();
        QVERIFY(!view->rightSidebarVisible());
        QVERIFY(settle(view));
        QVERIFY(!tools->isVisible());
        QCOMPARE(view->findChild<QWidget *>(u"workspace-tools"_s), tools); // not removed
        QCOMPARE(view->workspaceToolTabs().tabs.size(), size_t(1));
        QTest::mouseClick(static_cast<QAbstractButton *>(child(view, u"workspace-tools-toggle"_s)), Qt::LeftButton);
        QVERIFY(view->rightSidebarVisible());
        QVERIFY(settle(view));
        QVERIFY(tools->isVisible());
        QCOMPARE(view->workspaceToolTabs().tabs.size(), size_t(1));
        QVERIFY(!view->workspaceToolTabs().selectedTabID.has_value());
    }

    void closingATabSelectsANeighbour()
    {
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::Browser);
        view->openWorkspaceTool(WorkspaceTool::Files);
        view->openWorkspaceTool(WorkspaceTool::Browser);
        const auto tabs = view->workspaceToolTabs().tabs;
        view->workspaceToolTabs();
        view->closeWorkspaceToolTab(tabs[2].id);
        QCOMPARE(view->workspaceToolTabs().selectedTabID, tabs[1].id);
        view->closeWorkspaceToolTab(QUuid::createUuid()); // unknown: nothing changes
        QCOMPARE(view->workspaceToolTabs().tabs.size(), size_t(2));
        view->closeWorkspaceToolTab(tabs[0].id); // not selected: the selection stays
        QCOMPARE(view->workspaceToolTabs().selectedTabID, tabs[1].id);
    }

    void sideChatWithoutHostFailsAndIsReleasedOnClose()
    {
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::SideChat);
        const QUuid id = view->workspaceToolTabs().tabs.back().id;
        // Starting discards whatever came before (one step), then counts the new creation.
        QCOMPARE(view->sideChatCreationGenerations().value(id), 2);
        QTRY_COMPARE(view->sideChatRuntimes().value(id).creationError, std::optional<QString>(u"无法创建新的侧边会话"_s));
        QVERIFY(!view->sideChatRuntimes().value(id).loading);
        QVERIFY(!view->sideChatRuntimes().value(id).session);
        QVERIFY(!view->hasSideChatCreationTask(id));

        // Retry discards (one generation) and starts again (another).
        view->createSideChat(id);
        QCOMPARE(view->sideChatCreationGenerations().value(id), 4);
        QTRY_VERIFY(!view->sideChatRuntimes().value(id).loading);

        view->closeWorkspaceToolTab(id);
        QVERIFY(!view->sideChatRuntimes().contains(id));
        QVERIFY(!view->sideChatCreationGenerations().contains(id));
        QVERIFY(!view->hasSideChatCreationTask(id));
    }

    void sideChatIsOnlyForSideChatTabs()
    {
        ContentView *view = makeView();
        view->openWorkspaceTool(WorkspaceTool::Review);
        const QUuid review = view->workspaceToolTabs().tabs.back().id;
        view->createSideChat(review);
        view->createSideChat(QUuid::createUuid());
        QVERIFY(view->sideChatRuntimes().isEmpty());
        QVERIFY(view->sideChatCreationGenerations().isEmpty());
    }

    void workingDirectoryFallsBackToHome()
    {
        ContentView *view = makeView();
        QCOMPARE(view->selectedWorkingDirectory(), QUrl::fromLocalFile(QDir::homePath()));
        QCOMPARE(view->terminal()->currentDirectoryURL().toLocalFile(), QDir::homePath());
    }

    void linksGoToTheRightTool_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("handled");
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("address");
        const QString home = QDir::homePath();
        QTest::newRow("web page") << u"https://example.com/a?b=1"_s << true << int(WorkspaceTool::Browser)
                                  << u"https://example.com/a?b=1"_s;
        QTest::newRow("upper-case scheme") << u"HTTP://example.com"_s << true << int(WorkspaceTool::Browser)
                                           << u"http://example.com"_s;
        QTest::newRow("absolute file") << u"file:///etc/../etc/hosts"_s << true << int(WorkspaceTool::Files)
                                       << u"file:///etc/hosts"_s;
        QTest::newRow("bare path") << u"/tmp/x.txt"_s << true << int(WorkspaceTool::Files) << u"file:///tmp/x.txt"_s;
        QTest::newRow("relative path") << u"src/main.cpp"_s << true << int(WorkspaceTool::Files)
                                       << QUrl::fromLocalFile(home + u"/src/main.cpp"_s).toString();
        QTest::newRow("host without scheme") << u"//example.org/page"_s << true << int(WorkspaceTool::Browser)
                                             << u"https://example.org/page"_s;
        QTest::newRow("mail") << u"mailto:a@example.com"_s << false << -1 << QString();
        QTest::newRow("empty") << QString() << false << -1 << QString();
    }

    // A view inside the window opens links through the window's action; what the window
    // leaves alone goes to the desktop.
    void linksFromViewsGoThroughTheWindow()
    {
        ContentView *view = makeView();
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"mailto"_s, &desktop, "open");
        QDesktopServices::setUrlHandler(u"https"_s, &desktop, "open");
        QWidget *inside = view->findChild<QWidget *>();
        QVERIFY(inside);
        LinkOpener::open(inside, QUrl(u"https://example.com/docs"_s));
        QVERIFY(view->rightSidebarVisible());
        QVERIFY(desktop.opened.isEmpty());
        LinkOpener::open(inside, QUrl(u"mailto:a@example.com"_s));
        QCOMPARE(desktop.opened, QList<QUrl>{QUrl(u"mailto:a@example.com"_s)});
        // Outside any window that installed an action, every link goes to the desktop.
        QWidget stray;
        LinkOpener::open(&stray, QUrl(u"https://example.com/"_s));
        QCOMPARE(desktop.opened.size(), 2);
        QDesktopServices::unsetUrlHandler(u"mailto"_s);
        QDesktopServices::unsetUrlHandler(u"https"_s);
    }

    void linksGoToTheRightTool()
    {
        QFETCH(QString, link);
        QFETCH(bool, handled);
        QFETCH(int, tool);
        QFETCH(QString, address);
        ContentView *view = makeView();
        QCOMPARE(view->openWorkspaceLink(QUrl(link)), handled);
        if (!handled) {
            QVERIFY(view->workspaceToolTabs().tabs.empty());
            QVERIFY(!view->rightSidebarVisible());
            return;
        }
        QVERIFY(view->rightSidebarVisible());
        const WorkspaceToolTab &tab = view->workspaceToolTabs().tabs.back();
        QCOMPARE(int(tab.tool), tool);
        const std::optional<QUrl> url = tab.tool == WorkspaceTool::Browser ? tab.browserStartURL : tab.requestedFileURL;
        QVERIFY(url.has_value());
        QCOMPARE(url->toString(), address);
    }
};

NBD_GUI_TEST_MAIN(tst_ContentView)
#include "tst_contentview.moc"
