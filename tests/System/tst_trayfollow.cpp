// The tray followed while the app runs, on a virtual X server with a stand-in tray
// ($NBD_TRAY_OWNER) that owns the tray selection and leaves as a panel does: by giving the
// selection up while keeping its window, by destroying its window, or by closing its connection.
// A tray that arrives after start-up gets the icon and takes the menu out of the menu bar; a
// tray that leaves while the window is hidden brings the window back, closing it then quits,
// and the tray's entries move into the window's menu bar, where a click reaches them.

#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "App/TrayMenu.h"
#include "UI/QuickAsk/QuickAskCoordinator.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

// The desktop's tray for as long as it runs.
class TrayOwner
{
public:
    // way: how leave() goes ("destroy", "close" or "release").
    bool start(const QString &way = u"destroy"_s)
    {
        m_process.start(qEnvironmentVariable("NBD_TRAY_OWNER"), QStringList{way});
        return m_process.waitForStarted(10000) && m_process.waitForReadyRead(10000)
            && m_process.readLine().trimmed() == "ready";
    }
    // The tray leaves its way; one that gave the selection up still runs with its window.
    bool leave()
    {
        m_process.write("leave\n");
        return (m_process.canReadLine() || m_process.waitForReadyRead(10000)) && m_process.readLine().trimmed() == "left";
    }
    // The tray goes away: its window is destroyed and the selection with it.
    bool stop()
    {
        m_process.closeWriteChannel();
        return m_process.waitForFinished(10000) && m_process.exitCode() == 0;
    }
    ~TrayOwner()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
};

// A menu as a person reads it, submenus in braces, separators as "—".
QStringList menuTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator())
            texts << u"—"_s;
        else if (action->menu())
            texts << action->text() + u" {"_s + menuTexts(action->menu()).join(u" | "_s) + u'}';
        else
            texts << action->text() + (action->isEnabled() ? QString() : u" (inactive)"_s);
    }
    return texts;
}

// The stand-in tray started and seen by the platform.
void startTray(TrayOwner &tray, const QString &way = u"destroy"_s)
{
    QVERIFY(tray.start(way));
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
}

QStringList menuBarTitles(const QMenuBar *bar)
{
    QStringList titles;
    for (const QAction *action : bar->actions())
        titles << action->text();
    return titles;
}

} // namespace

class TrayFollowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(!qEnvironmentVariableIsEmpty("NBD_TRAY_OWNER"), "the tray helper is built");
        QVERIFY2(!QSystemTrayIcon::isSystemTrayAvailable(), "a bare virtual X server has no tray");
    }

    void aTrayArrivingAfterStartGetsTheIcon()
    {
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.showScenes();
        QVERIFY(!entry.tray());
        QVERIFY(QApplication::quitOnLastWindowClosed());
        QPointer<TrayMenu> extra = entry.menuBarExtra();
        QVERIFY(extra);
        QMenuBar *bar = entry.mainWindow()->menuBar();
        QCOMPARE(menuBarTitles(bar), (QStringList{u"文件"_s, u"工作区"_s, u"已完成"_s}));

        TrayOwner tray;
        QVERIFY(tray.start());
        QTRY_VERIFY_WITH_TIMEOUT(entry.tray(), 10000);
        QVERIFY(entry.trayMenu());
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        QVERIFY(!extra);
        QCOMPARE(menuBarTitles(bar), (QStringList{u"文件"_s, u"工作区"_s}));

        // With the tray there, closing the window leaves the app running for the tray.
        QPointer<MainWindow> window = entry.mainWindow();
        window->close();
        QTRY_VERIFY(!window);
        QVERIFY(entry.tray());
    }

    void aTrayLeavingWhileHiddenBringsTheWindowBack_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("gives the selection up, keeps its window") << u"release"_s;
        QTest::newRow("destroys its window") << u"destroy"_s;
        QTest::newRow("closes its connection") << u"close"_s;
    }
    void aTrayLeavingWhileHiddenBringsTheWindowBack()
    {
        QFETCH(QString, way);
        TrayOwner tray;
        startTray(tray, way);
        if (QTest::currentTestFailed())
            return;
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.showScenes();
        QVERIFY(entry.tray());
        QVERIFY(!entry.menuBarExtra());
        const QStringList trayEntries = menuTexts(entry.trayMenu()->menu());
        QVERIFY(trayEntries.contains(u"快速提问"_s));

        QPointer<MainWindow> window = entry.mainWindow();
        window->close();
        QTRY_VERIFY(!window);

        QVERIFY(tray.leave());
        QTRY_VERIFY_WITH_TIMEOUT(!entry.tray(), 10000);
        QVERIFY(entry.mainWindow());
        QTRY_VERIFY(entry.mainWindow()->isVisible());
        QVERIFY(QApplication::quitOnLastWindowClosed());
        // The same entries, texts and order as the tray's menu had.
        QVERIFY(entry.menuBarExtra());
        QCOMPARE(menuTexts(entry.menuBarExtra()->menu()), trayEntries);
        QCOMPARE(entry.menuBarExtra()->menu()->title(), u"已完成"_s);

        // A tray that comes back takes over again; a visible window stays as it is.
        TrayOwner again;
        QVERIFY(again.start());
        QTRY_VERIFY_WITH_TIMEOUT(entry.tray(), 10000);
        QVERIFY(!entry.menuBarExtra());
        QVERIFY(entry.mainWindow()->isVisible());
    }

    // A tray that leaves while the window is on screen changes nothing but the menus.
    void aTrayLeavingWhileShownKeepsTheWindow()
    {
        TrayOwner tray;
        startTray(tray);
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.showScenes();
        QPointer<MainWindow> window = entry.mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(tray.stop());
        QTRY_VERIFY_WITH_TIMEOUT(!entry.tray(), 10000);
        QCOMPARE(entry.mainWindow(), window.data());
        QVERIFY(window->isVisible());
        QVERIFY(entry.menuBarExtra());
    }

    // Without a tray the menu bar reaches Quick Ask with the mouse, and Ctrl+Q still belongs to
    // the File menu's Quit alone.
    void theMenuBarReachesTheTrayEntries()
    {
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        delegate.applicationWillFinishLaunching();
        entry.showScenes();
        delegate.applicationDidFinishLaunching();
        MainWindow *window = entry.mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(delegate.quickAskCoordinator());
        QCOMPARE(nbd::test::accessibilityProblems(window), QStringList());

        QMenu *menu = entry.menuBarExtra()->menu();
        QMenuBar *bar = window->menuBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
        QTRY_VERIFY(menu->isVisible());
        QAction *quickAsk = menu->findChild<QAction *>(u"menubar-extra-quick-ask"_s);
        QVERIFY(quickAsk);
        QCOMPARE(quickAsk->text(), u"快速提问"_s);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(quickAsk).center());
        QTRY_VERIFY(delegate.quickAskCoordinator()->isPanelVisible());
        delegate.quickAskCoordinator()->dismiss();

        QAction *quitEntry = menu->findChild<QAction *>(u"menubar-extra-quit"_s);
        QVERIFY(quitEntry);
        QCOMPARE(quitEntry->shortcut(), QKeySequence(u"Ctrl+Q"_s));
        auto *quitCommand = window->findChild<QAction *>(u"quit-command"_s);
        QVERIFY(quitCommand);
        QSignalSpy fileQuit(quitCommand, &QAction::triggered);
        QSignalSpy extraQuit(quitEntry, &QAction::triggered);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(fileQuit.size(), 1);
        QCOMPARE(extraQuit.size(), 0);
        delegate.applicationWillTerminate();
    }
};

NBD_GUI_TEST_MAIN(TrayFollowTest)
#include "tst_trayfollow.moc"
