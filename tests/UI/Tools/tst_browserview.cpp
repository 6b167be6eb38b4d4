// The browser tab against pages the simulated host serves, driven by keys and clicks.
#include "AccessibilityWalk.h"
#include "DesktopLinkRecorder.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"
#include "SimHost.h"
#include "SimOverlayPage.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Tools/WorkspaceBrowserView.h"
#include "UI/Tools/WorkspaceWebPage.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>
#include <QOpenGLContext>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {
QString root(const sim::SimHost &host) { return host.baseUrl().resolved(QUrl(u"/"_s)).toString(); }

// Whether a library whose file name contains `name` is mapped into this process.
bool mapped(const QString &name)
{
    QFile maps(u"/proc/self/maps"_s);
    return maps.open(QIODevice::ReadOnly) && QString::fromLocal8Bit(maps.readAll()).contains(name);
}
} // namespace

class BrowserViewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The application starts without GL and without the web engine; the first page brings
    // both, from the web view library beside the application's other parts.
    void glAndTheWebEngineWaitForTheFirstPage()
    {
        QVERIFY(!QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts));
        QVERIFY(!QOpenGLContext::globalShareContext());
        QVERIFY(!mapped(u"libQt6WebEngineCore"_s));
        QVERIFY(!mapped(u"libnimbrel_webview"_s));

        sim::SimHost host;
        QVERIFY(host.listen());
        sim::serveOverlayPage(host, "<html><body>nbd</body></html>");
        QWidget window;
        window.resize(500, 400);
        auto *view = new WorkspaceBrowserView(host.baseUrl(), &window);
        view->resize(window.size());
        QVERIFY(!view->model()); // a tab never shown has no page
        QVERIFY(!mapped(u"libQt6WebEngineCore"_s));

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(view->model() && view->model()->page());
        QVERIFY(QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts));
        QVERIFY(QOpenGLContext::globalShareContext());
        QVERIFY(mapped(u"libQt6WebEngineCore"_s));
        QVERIFY(mapped(u"libnimbrel_webview"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!host.requests(u"page"_s).isEmpty() && !view->model()->isLoading(), 60000);
        QCOMPARE(view->model()->page()->url().toString(), root(host));
    }

    void addressesAreNormalised_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("url"); // empty: ignored
        QTest::newRow("bare host with blanks") << u"  example.com/docs \n"_s << u"https://example.com/docs"_s;
        QTest::newRow("blanks only") << u"   "_s << QString();
        QTest::newRow("http kept") << u"http://127.0.0.1:3080/x"_s << u"http://127.0.0.1:3080/x"_s;
        QTest::newRow("file kept") << u"file:///tmp/a.html"_s << u"file:///tmp/a.html"_s;
        QTest::newRow("host and port read as a scheme") << u"localhost:3000"_s << u"localhost:3000"_s;
    }
    void addressesAreNormalised()
    {
        QFETCH(QString, typed);
        QFETCH(QString, url);
        const auto normalised = WorkspaceBrowserModel::normalizedAddress(typed);
        QCOMPARE(normalised ? normalised->toString() : QString(), url);
    }

    void loadsTheStartPageThenTypedAddressesAndGoesBack()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        sim::serveOverlayPage(host, "<html><body><h1>nbd</h1></body></html>");
        QWidget window;
        window.resize(700, 500);
        auto *view = new WorkspaceBrowserView(host.baseUrl(), &window);
        view->resize(window.size());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        WorkspaceBrowserModel *model = view->model();
        QVERIFY(model && model->page());
        QTRY_VERIFY_WITH_TIMEOUT(!model->isLoading() && !host.requests(u"page"_s).isEmpty(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(model->address(), root(host), 60000);
        auto *back = view->findChild<ChromeIconButton *>(u"workspace-browser-back"_s);
        QVERIFY(!back->isEnabled());
        const QStringList problems = nbd::test::accessibilityProblems(&window);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));

        // A typed address with blanks around it.
        auto *field = view->findChild<QLineEdit *>(u"workspace-browser-address"_s);
        const QString second = root(host) + u"?second"_s;
        field->selectAll();
        QTest::keyClicks(field, u"  "_s + second + u" "_s);
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(field->text(), second);
        QTRY_VERIFY_WITH_TIMEOUT(back->isEnabled() && !model->isLoading(), 60000);
        QCOMPARE(model->address(), second);
        auto *reload = view->findChild<ChromeIconButton *>(u"workspace-browser-reload"_s);
        QCOMPARE(reload->symbolName(), u"arrow.clockwise"_s);

        QTest::mouseClick(back, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(model->address(), root(host), 60000);
        QTRY_VERIFY(view->findChild<ChromeIconButton *>(u"workspace-browser-forward"_s)->isEnabled());

        // Blank input is ignored and the field keeps it.
        field->selectAll();
        QTest::keyClicks(field, u"   "_s);
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(field->text(), u"   "_s);
    }

    // Back, forward and reload do by their accessibility action what their click does, from
    // the middle of three pages (so that both directions are open); Tab goes along the
    // toolbar to the address field.
    void toolbarActionsDoWhatClicksDo()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        sim::serveOverlayPage(host, "<html><body><h1>nbd</h1></body></html>");
        std::unique_ptr<QWidget> window;
        WorkspaceBrowserView *view = nullptr;
        const auto settledAt = [&](const QString &address) {
            // The address changes as a load is asked for; the page's own address once it is there.
            return QTest::qWaitFor([&] {
                WorkspaceBrowserModel *model = view->model();
                return !model->isLoading() && model->address() == address && model->page()->url().toString() == address;
            }, 60000);
        };
        nbd::test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            window = std::make_unique<QWidget>();
            window->resize(700, 500);
            view = new WorkspaceBrowserView(host.baseUrl(), window.get());
            view->resize(window->size());
            window->show();
            (void)QTest::qWaitForWindowExposed(window.get());
            (void)settledAt(root(host));
            auto *field = view->findChild<QLineEdit *>(u"workspace-browser-address"_s);
            for (const QString &page : {u"?second"_s, u"?third"_s}) {
                field->selectAll();
                QTest::keyClicks(field, root(host) + page);
                QTest::keyClick(field, Qt::Key_Return);
                (void)settledAt(root(host) + page);
            }
            // The page's history may follow its load a moment later.
            auto *back = view->findChild<ChromeIconButton *>(u"workspace-browser-back"_s);
            (void)QTest::qWaitFor([&] { return back->isEnabled(); }, 60000);
            back->click();
            (void)settledAt(root(host) + u"?second"_s);
            (void)QTest::qWaitFor([&] { return view->model()->canGoForward(); });
            host.clearRequests();
            return window.get();
        };
        check.state = [&] {
            WorkspaceBrowserModel *model = view->model();
            return model->address() + u" back="_s + QString::number(model->canGoBack()) + u" forward="_s
                + QString::number(model->canGoForward()) + u" fetched="_s
                + QString::number(host.requests(u"page"_s).size());
        };
        // The toolbar; the page's own content is the web engine's.
        check.skip = [](QAccessibleInterface *iface) {
            return !iface->object() || !iface->object()->objectName().startsWith(u"workspace-browser-"_s);
        };
        check.async = true;
        // Until the page asked for is there: served by the host, its load ended.
        check.quiet = [&] {
            (void)QTest::qWaitFor([&] {
                WorkspaceBrowserModel *model = view->model();
                return host.repliesDue() == 0 && !model->isLoading()
                    && model->address() == model->page()->url().toString();
            }, 60000);
        };
        const nbd::test::ActionParityReport report = nbd::test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QVERIFY2(report.controls.size() == 3, qPrintable(report.controls.join(u'\n')));
        QVERIFY2(report.changed >= 2, qPrintable(report.controls.join(u'\n')));

        check.open();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        const QList<QWidget *> chain = nbd::test::tabChain(window.get());
        QStringList names;
        for (QWidget *w : chain)
            names << w->objectName();
        QVERIFY2(names.size() >= 4, qPrintable(names.join(u", "_s)));
        QCOMPARE(names.mid(0, 4), (QStringList{u"workspace-browser-back"_s, u"workspace-browser-forward"_s,
                                                u"workspace-browser-reload"_s, u"workspace-browser-address"_s}));
        // Return on the focused back button goes back, as a click does.
        chain.first()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(chain.first(), Qt::Key_Return);
        QVERIFY(settledAt(root(host)));
        window.reset();
    }

    void unknownSchemesAndPopupsAreRefused()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        sim::serveOverlayPage(host, "<html><body><a id=a href='nbd-unknown:x'>x</a>"
                                    "<script>window.open('" + host.baseUrl().toEncoded() + "?popup');</script></body></html>");
        QWidget window;
        window.resize(600, 400);
        auto *view = new WorkspaceBrowserView(host.baseUrl(), &window);
        view->resize(window.size());
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!host.requests(u"page"_s).isEmpty() && !view->model()->isLoading(), 60000);
        // The engine would hand an address it does not load to the desktop.
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"nbd-unknown"_s, &desktop, "open");
        view->model()->load(u"nbd-unknown:somewhere"_s);
        QCOMPARE(view->model()->page()->url().toString(), root(host));
        // A page loaded after it comes from the host: the refused address was dealt with before.
        const QString after = root(host) + u"?after"_s;
        view->model()->load(after);
        const auto loadedAfter = [&] {
            for (const auto &request : host.requests(u"page"_s)) {
                if (request.query == u"after"_s)
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(loadedAfter() && !view->model()->isLoading(), 60000);
        QDesktopServices::unsetUrlHandler(u"nbd-unknown"_s);
        QVERIFY2(desktop.opened.isEmpty(), qPrintable(desktop.opened.value(0).toString()));
        QCOMPARE(view->model()->page()->url().toString(), after);
        // The pop-up never asked for its page.
        for (const auto &request : host.requests(u"page"_s))
            QVERIFY(!request.query.contains(u"popup"_s));
    }

    // A page's link to another program's scheme goes the way every link goes: asked about
    // first, never straight to the desktop, one question at a time.
    void aClickedLinkOfAnotherSchemeAsksFirst()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        sim::serveOverlayPage(host, "<html><body style='margin:0'>"
                                    "<a href='some-handler://run?cmd=x' style='display:block;height:100vh'"
                                    " onclick=\"setTimeout(function(){location.href='other-handler:again';new Image().src='/?asked-again'},50)\">go</a>"
                                    "</body></html>");
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"some-handler"_s, &desktop, "open");
        QDesktopServices::setUrlHandler(u"other-handler"_s, &desktop, "open");
        QWidget window;
        window.resize(600, 400);
        auto *view = new WorkspaceBrowserView(host.baseUrl(), &window);
        view->resize(window.size());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY_WITH_TIMEOUT(!host.requests(u"page"_s).isEmpty() && !view->model()->isLoading(), 60000);
        auto *web = view->findChild<QWidget *>(u"workspace-browser-web-view"_s);
        QVERIFY(web);
        QTRY_VERIFY(web->focusProxy());
        QWidget *target = web->focusProxy();

        QDialog *dialog = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                if (!(dialog = window.findChild<QDialog *>(QString::fromLatin1(LinkOpener::kConfirmationName))))
                    QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(40, 40));
                return dialog != nullptr;
            }(),
            30000);
        auto *address = dialog->findChild<QPlainTextEdit *>(QString::fromLatin1(LinkOpener::kConfirmationURLName));
        QVERIFY(address);
        QCOMPARE(address->toPlainText(), u"some-handler://run?cmd=x"_s);
        // The page asks again by itself while the question is open: still the one question. It
        // fetches a mark from the host right after asking.
        const auto askedAgain = [&] {
            for (const auto &request : host.requests(u"page"_s)) {
                if (request.query.contains(u"asked-again"_s))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(askedAgain(), 30000);
        test::drainEventLoop();
        QCOMPARE(window.findChildren<QDialog *>(QString::fromLatin1(LinkOpener::kConfirmationName)).size(), 1);
        QTest::mouseClick(dialog->findChild<QPushButton *>(QString::fromLatin1(LinkOpener::kConfirmationCancelName)),
                          Qt::LeftButton);
        QTRY_VERIFY(!window.findChild<QDialog *>(QString::fromLatin1(LinkOpener::kConfirmationName)));
        QVERIFY(desktop.opened.isEmpty());
        QCOMPARE(view->model()->page()->url().toString(), root(host));
        QDesktopServices::unsetUrlHandler(u"some-handler"_s);
        QDesktopServices::unsetUrlHandler(u"other-handler"_s);
    }
};

NBD_GUI_TEST_MAIN(BrowserViewTest)

#include "tst_browserview.moc"
