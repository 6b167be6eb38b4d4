#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "Store/AppModel.h"
#include "System/DesktopIntegration.h"

#include <QStandardPaths>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class tst_AppEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QApplication::setOrganizationName(u"Nimbrel"_s);
        QApplication::setApplicationName(u"Nimbrel Deck"_s);
    }

    void startSequenceHandsTheStoreToTheDelegate()
    {
        AppDelegate delegate;
        QVERIFY(!delegate.appModel);
        nbd_nativeApp entry(&delegate, false);
        QCOMPARE(delegate.appModel, entry.appModel());
        QCOMPARE(delegate.approvalNotificationCoordinator, entry.approvalNotificationCoordinator());
        QVERIFY(!delegate.quickAskCoordinator());

        entry.openQuickAsk(); // before launching has finished: nothing happens

        delegate.applicationWillFinishLaunching();
        QVERIFY(!QApplication::windowIcon().isNull());
        entry.showScenes();
        QVERIFY(entry.mainWindow());
        QCOMPARE(entry.mainWindow()->objectName(), u"main"_s);
        // Offscreen there is no tray: closing the main window must quit.
        QVERIFY(QApplication::quitOnLastWindowClosed());

        delegate.applicationDidFinishLaunching();
        QVERIFY(delegate.quickAskCoordinator());
        QVERIFY(entry.approvalNotificationCoordinator()->isStarted());
        entry.openQuickAsk();

        delegate.applicationWillTerminate();
        QVERIFY(delegate.quickAskCoordinator()->isStopped());
        QCOMPARE(entry.appModel()->nbdProcess()->phase().kind, NBDProcessManager::Phase::Kind::Idle);
    }

    void settingsOpensOneWindow()
    {
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.openSettings();
        QWidget *first = entry.settingsWindow();
        QVERIFY(first && first->isVisible());
        entry.openSettings();
        QCOMPARE(entry.settingsWindow(), first);
    }
};

QTEST_MAIN(tst_AppEntry)
#include "tst_appentry.moc"
