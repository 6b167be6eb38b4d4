// The main window on a small screen, started through the application's own start-up on a
// virtual screen the test run chooses (900 × 600, or 2560 × 1440 at scale 2: 1280 × 720
// logical): the window's frame lies inside what the screen leaves free and everything a user
// acts on is on the screen, the composer's field and an approval card's buttons included. With
// the tools panel open at that width the panel gives way: a long approval title stays one
// elided line with the whole text as its tooltip, and the header's buttons are whole. The
// Settings window fits as well and scrolls its page.

#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "LaunchedApp.h"
#include "App/ContentView.h"
#include "App/MainWindow.h"
#include "UI/Conversation/BottomDock.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/ElidedLabel.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QToolTip>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

QRect globalRect(const QWidget *widget) { return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()); }

// Inside a scrolled viewport a control may lie out of view: scrolling reaches it.
bool insideScrolledContent(const QWidget *widget)
{
    for (const QWidget *w = widget->parentWidget(); w; w = w->parentWidget()) {
        if (const auto *area = qobject_cast<const QAbstractScrollArea *>(w))
            return area->viewport()->isAncestorOf(widget);
    }
    return false;
}

// The controls of the window that are shown and take input but lie off the screen's free area.
QStringList controlsOffScreen(const QWidget *window, const QRect &available)
{
    QStringList off;
    for (const QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisible() || widget->focusPolicy() == Qt::NoFocus || widget->size().isEmpty()
            || insideScrolledContent(widget))
            continue;
        if (!available.contains(globalRect(widget)))
            off << widget->objectName() + u'@' + QString::number(globalRect(widget).x()) + u','
                    + QString::number(globalRect(widget).y());
    }
    return off;
}

} // namespace

class tst_WindowFit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void theWindowAndItsControlsAreOnTheScreen()
    {
        test::LaunchedApp app;
        app.launchConnectedWithOneSession();
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY(!app.store()->sessions()->sessions().empty());
        app.store()->selection()->selectSession(u"s1"_s);
        QPointer<MainWindow> window = app.entry->mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(QTest::qWaitForWindowActive(window));
        const QRect available = window->screen()->availableGeometry();
        qInfo("screen %dx%d, window %dx%d", available.width(), available.height(), window->width(), window->height());
        const bool smallScreen = available.width() < MainWindow::kPreferredWidth + 20
            || available.height() < MainWindow::kPreferredHeight + 40;
        QVERIFY(smallScreen); // the run gives this test a small screen to open on
        QVERIFY2(available.contains(window->frameGeometry()), qPrintable(u"%1,%2 %3x%4"_s.arg(window->frameGeometry().x())
                                                                          .arg(window->frameGeometry().y())
                                                                          .arg(window->frameGeometry().width())
                                                                          .arg(window->frameGeometry().height())));
        // The window may not be made larger than the screen by its minimum either.
        QVERIFY(window->minimumWidth() <= available.width() && window->minimumHeight() <= available.height());
        QCOMPARE(window->minimumSizeHint().boundedTo(available.size()), window->minimumSizeHint());

        auto *conversation = window->findChild<ConversationView *>();
        QVERIFY(conversation);
        QTRY_VERIFY(conversation->shownSession());
        QWidget *prompt = window->findChild<QWidget *>(u"composer-prompt"_s);
        QVERIFY(prompt && prompt->isVisible());
        QVERIFY(available.contains(globalRect(prompt)));
        QCOMPARE(controlsOffScreen(window, available), QStringList());

        // The tools panel, opened from the keyboard, takes only what the conversation can spare.
        QTest::keyClick(window, Qt::Key_G, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(window->content()->rightSidebarVisible() && !window->content()->isAnimating());
        QVERIFY(conversation->width() >= ContentView::kConversationMinWidth);

        const QString tool = u"mcp__workspace_indexer__"_s + QString(60, u'x') + u"_END"_s;
        app.world.pushApprovalRequested(u"a-1"_s, JSONValue::object({{u"sessionId"_s, u"s1"_s},
                                                                     {u"approvalId"_s, u"ap1"_s},
                                                                     {u"toolName"_s, tool},
                                                                     {u"reason"_s, u"运行 npm test -- login"_s}}));
        QTRY_COMPARE(conversation->dock()->input(), BottomDock::Input::Cards);
        QWidget *card = conversation->dock()->cards().value(0);
        QVERIFY(card);
        auto *title = card->findChild<ElidedLabel *>(u"approval-title"_s);
        auto *reject = card->findChild<QAbstractButton *>(u"approval-reject"_s);
        auto *allow = card->findChild<QAbstractButton *>(u"approval-allow"_s);
        QVERIFY(title && reject && allow);
        QTRY_VERIFY(allow->isVisible() && title->width() > 0);
        const QString whole = u"工具「\u2068"_s + tool + u"\u2069」请求执行许可"_s;
        QCOMPARE(title->text(), whole);
        QCOMPARE(title->height(), title->fontMetrics().height()); // one line
        QVERIFY(title->shownText().contains(u'…'));
        QVERIFY(title->shownText().endsWith(u"请求执行许可"_s));
        QCOMPARE(title->toolTip().remove(u'\n'), whole); // wrapped for the tooltip's width
        // Beside the buttons or above them, never under them.
        const QRect titleArea(title->mapTo(card, QPoint()), title->size());
        QVERIFY(titleArea.right() < reject->x() || titleArea.bottom() < reject->y());
        for (const QAbstractButton *button : {reject, allow}) {
            QVERIFY(card->rect().contains(QRect(button->mapTo(card, QPoint()), button->size())));
            QVERIFY(button->width() >= button->sizeHint().width());
            QVERIFY(available.contains(globalRect(button)));
        }
        // The header's buttons are whole, inside the conversation.
        const QWidget *header = window->findChild<QWidget *>(u"session-header"_s);
        QVERIFY(header);
        for (const QAbstractButton *button : header->findChildren<QAbstractButton *>()) {
            if (!button->isVisible())
                continue;
            QVERIFY2(header->rect().contains(QRect(button->mapTo(header, QPoint()), button->size())),
                     qPrintable(button->objectName()));
            QVERIFY2(button->width() >= button->minimumSizeHint().width(), qPrintable(button->objectName()));
        }
        QCOMPARE(controlsOffScreen(window, available), QStringList());
        QCOMPARE(test::accessibilityProblems(window), QStringList());

        // The Settings window too, opened from the keyboard: on the screen, its page reached by
        // scrolling where the screen is smaller than the page.
        QTest::keyClick(window, Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(app.entry->settingsWindow());
        QWidget *settings = app.entry->settingsWindow();
        QVERIFY(QTest::qWaitForWindowExposed(settings));
        QVERIFY(available.contains(settings->frameGeometry()));
        auto *scroll = settings->findChild<QAbstractScrollArea *>(u"settings-scroll"_s);
        QVERIFY(scroll);
        const QWidget *page = scroll->viewport()->findChild<QWidget *>(u"settings"_s);
        QVERIFY(page);
        QVERIFY(page->height() <= scroll->viewport()->height() + scroll->verticalScrollBar()->maximum());
        QVERIFY(page->width() <= scroll->viewport()->width() + scroll->horizontalScrollBar()->maximum());
        QCOMPARE(controlsOffScreen(settings, available), QStringList());
        QCOMPARE(test::accessibilityProblems(settings), QStringList());
    }

    // Moved to each screen in turn (and back to the first), the window keeps the minimum where
    // the screen has room for it and shrinks it, and itself, to the room where it has not.
    void theMinimumFollowsTheScreen()
    {
        AppDelegate delegate;
        nbd_nativeApp entry(&delegate, false);
        entry.showScenes();
        MainWindow *window = entry.mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QList<QScreen *> screens = QGuiApplication::screens();
        screens << screens.first();
        for (QScreen *screen : screens) {
            window->setScreen(screen);
            window->move(screen->availableGeometry().topLeft());
            QTRY_COMPARE(window->screen(), screen);
            const QSize room = screen->availableGeometry().size().shrunkBy(window->windowHandle()->frameMargins());
            QCOMPARE(window->minimumSize(),
                     QSize(MainWindow::kMinimumWidth, MainWindow::kMinimumHeight).boundedTo(room));
            QVERIFY(window->width() <= room.width() && window->height() <= room.height());
        }
    }
};

NBD_GUI_TEST_MAIN(tst_WindowFit)
#include "tst_windowfit.moc"
