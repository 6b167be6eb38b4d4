// The browser tab against pages the simulated host serves, driven by keys and clicks.
#include "AccessibilityWalk.h"
#include "AppWindowTestSupport.h"
#include "DesktopLinkRecorder.h"
#include "GuiTestMain.h"
#include "ModalWatch.h"
#include "ObservableWaits.h"
#include "SimHost.h"
#include "SimOverlayPage.h"
#include "SimWorld.h"

#include "App/ContentView.h"
#include "Store/AppModel.h"
#include "Store/SessionSelection.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Tools/WorkspaceBrowserView.h"
#include "UI/Tools/WorkspaceToolsView.h"
#include "UI/Tools/WorkspaceWebPage.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>
#include <QOpenGLContext>
#include <QPointer>
#include <QTemporaryDir>
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

// A browser tab alone in a window, over the page the host serves at its root.
struct BrowserWindow
{
    sim::SimHost host;
    QWidget window;
    WorkspaceBrowserView *view = nullptr;

    // Serves `html`, shows the tab and waits until the page has come and its load ended.
    bool show(const QByteArray &html)
    {
        sim::serveOverlayPage(host, html);
        window.resize(600, 400);
        view = new WorkspaceBrowserView(host.baseUrl(), &window);
        view->resize(window.size());
        window.show();
        return QTest::qWaitForWindowExposed(&window) && QTest::qWaitFor([this] {
            return !host.requests(u"page"_s).isEmpty() && !view->model()->isLoading();
        }, 60000);
    }
    QWidget *web() const { return view->findChild<QWidget *>(u"workspace-browser-web-view"_s); }
    QLineEdit *field() const { return view->findChild<QLineEdit *>(u"workspace-browser-address"_s); }
    // Types over the field's text and presses Return.
    void type(const QString &text) const
    {
        field()->selectAll();
        QTest::keyClicks(field(), text);
        QTest::keyClick(field(), Qt::Key_Return);
    }
    // Until the page shows `address` and no load runs.
    bool settledAt(const QString &address) const
    {
        return QTest::qWaitFor([&] { return view->model()->page()->url().toString() == address && !view->model()->isLoading(); },
                               60000);
    }
};
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

    // Only web pages and local files are loaded from the field (and from a start address,
    // which goes the same way); the rest is ignored as an unusable address is.
    void otherSchemesAreNeverLoaded_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("script") << u"javascript:document.title='ran'"_s << false;
        QTest::newRow("script, mixed case, blanks") << u"  JavaScript:alert(1)\n"_s << false;
        QTest::newRow("inline page") << u"data:text/html,<script>alert(1)</script>"_s << false;
        QTest::newRow("blank page") << u"about:blank"_s << false;
        QTest::newRow("engine pages") << u"chrome://settings"_s << false;
        QTest::newRow("source view") << u"view-source:http://127.0.0.1/"_s << false;
        QTest::newRow("blob") << u"blob:http://127.0.0.1/0b4c"_s << false;
        QTest::newRow("file system") << u"filesystem:http://127.0.0.1/temporary/a"_s << false;
        QTest::newRow("vbscript") << u"vbscript:msgbox(1)"_s << false;
        QTest::newRow("mail") << u"mailto:a@example.com"_s << false;
        QTest::newRow("ftp") << u"ftp://example.com/a"_s << false;
        QTest::newRow("host and port") << u"localhost:3000"_s << false;
        QTest::newRow("https") << u"https://example.com/a"_s << true;
        QTest::newRow("http, upper case") << u"HTTP://example.com/a"_s << true;
        QTest::newRow("bare host") << u"example.com"_s << true;
        QTest::newRow("file") << u"file:///tmp/a.html"_s << true;
    }
    void otherSchemesAreNeverLoaded()
    {
        QFETCH(QString, typed);
        QFETCH(bool, loaded);
        WorkspaceBrowserModel model(nullptr);
        model.load(typed);
        const auto url = WorkspaceBrowserModel::normalizedAddress(typed);
        QVERIFY(url);
        QCOMPARE(model.address(), loaded ? url->toString(QUrl::FullyEncoded) : QString());
        QCOMPARE(WorkspaceWebPage::loadsAddress(*url), loaded);
    }

    // A script address typed into the field, or given as the tab's start address, never runs
    // in the shown page; the next web address loads as usual.
    void scriptAddressesNeverRunInThePage()
    {
        BrowserWindow b;
        QVERIFY(b.host.listen());
        QVERIFY(b.show("<html><head><title>before</title></head><body>nbd</body></html>"));
        QTRY_COMPARE_WITH_TIMEOUT(b.web()->property("title").toString(), u"before"_s, 30000);
        QSignalSpy titles(b.web(), SIGNAL(titleChanged(QString)));

        const QString script = u"javascript:document.title='ran';void 0"_s;
        b.type(script);
        QCOMPARE(b.field()->text(), script);
        b.view->setStartURL(QUrl(u"javascript:document.title='ran-start';void 0"_s));
        QCOMPARE(b.view->model()->page()->url().toString(), root(b.host));

        // The old page stays until the next one arrives from the host: a script run in it
        // would have changed its title by then.
        const QString after = root(b.host) + u"?after"_s;
        b.type(after);
        QVERIFY(b.settledAt(after));
        for (const QList<QVariant> &title : titles)
            QVERIFY2(!title.value(0).toString().startsWith(u"ran"_s), qPrintable(title.value(0).toString()));
        QCOMPARE(b.web()->property("title").toString(), u"before"_s);
    }

    // A page that asks for dialogs every 10 ms in the main window: each is answered at once
    // (a confirm refused, a prompt cancelled), the first few shown in the bar over the page,
    // then the page is silenced. No modal window ever appears; the sidebar takes a click and
    // the tab closes by its own button.
    void aPageLoopingDialogsNeverHoldsTheWindow()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        sim::SimWorld world(&host);
        for (const QString &id : {u"s1"_s, u"s2"_s}) {
            sim::SimWorld::Session session;
            session.id = id;
            session.updatedAt = id == u"s1"_s ? 2000 : 1000;
            world.addSession(session);
        }
        sim::serveOverlayPage(host, "<html><head><title>loop</title></head><body><script>"
                                    "var n = 0;"
                                    "setInterval(function () {"
                                    "  n++;"
                                    "  var r = n % 3 == 1 ? alert('\u6d88\u606f ' + n) : n % 3 == 2 ? confirm('\u786e\u8ba4 ' + n) : prompt('\u8f93\u5165 ' + n, 'x');"
                                    "  document.title = 'n=' + n + ' ' + r;"
                                    "}, 10);"
                                    "</script></body></html>");
        QTemporaryDir dir;
        std::unique_ptr<AppModel> store;
        std::unique_ptr<ContentView> window;
        test::openAppWindow(dir, host, QSize(1280, 800), store, window);
        if (QTest::currentTestFailed())
            return;
        const auto sessionRow = [&](const QString &id) {
            QWidget *row = window->findChild<QWidget *>(u"session-row-recent-"_s + id);
            return row && row->isVisible() ? row : nullptr;
        };
        QTRY_VERIFY_WITH_TIMEOUT(sessionRow(u"s1"_s) && sessionRow(u"s2"_s), 20000);

        test::ModalWatch modals;
        window->openWorkspaceTool(WorkspaceTool::Browser, host.baseUrl());
        const QUuid tab = *window->workspaceToolTabs().selectedTabID;
        auto *panel = window->findChild<WorkspaceToolsView *>(u"workspace-tools"_s);
        QTRY_VERIFY(qobject_cast<WorkspaceBrowserView *>(panel->toolView(tab)));
        QPointer<WorkspaceBrowserView> view = qobject_cast<WorkspaceBrowserView *>(panel->toolView(tab));
        QTRY_VERIFY_WITH_TIMEOUT(view->model() && view->model()->requestsSilenced(), 60000);
        QVERIFY2(modals.now().isEmpty(), qPrintable(modals.seen.join(u", "_s)));
        auto *bar = view->findChild<QWidget *>(u"workspace-browser-notice"_s);
        QTRY_VERIFY(bar->isVisible());
        QCOMPARE(view->findChild<ElidedLabel *>(u"workspace-browser-notice-text"_s)->text(), view->model()->notice());
        // The page goes on with the answers it got.
        auto *web = view->findChild<QWidget *>(u"workspace-browser-web-view"_s);
        QSignalSpy titles(web, SIGNAL(titleChanged(QString)));
        const auto answered = [&](const QString &answer) {
            for (const QList<QVariant> &title : titles) {
                if (title.value(0).toString().endsWith(answer))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(answered(u" false"_s) && answered(u" null"_s) && answered(u" undefined"_s), 30000);

        // The rest of the window works while the page goes on.
        for (const QString &id : {u"s2"_s, u"s1"_s}) {
            QWidget *row = sessionRow(id);
            QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(24, row->height() / 2));
            QTRY_COMPARE(store->selection()->selectedSessionId(), std::optional<QString>(id));
        }
        auto *chip = panel->findChild<QWidget *>(u"workspace-tab-"_s + tab.toString(QUuid::WithoutBraces));
        QVERIFY(chip);
        QTest::mouseClick(chip->findChild<ChromeIconButton *>(u"workspace-tab-close"_s), Qt::LeftButton);
        QVERIFY(!window->workspaceToolTabs().find(tab));
        QTRY_VERIFY(!view);
        QVERIFY2(modals.now().isEmpty(), qPrintable(modals.seen.join(u", "_s)));
    }

    // What a page can only ask for after a click on it: a file choice is refused in the bar
    // (files dropped on the page still reach it), and a page that would keep the user with a
    // "beforeunload" handler lets the next address load.
    void fileChoicesAndLeavingNeverWaitOnADialog()
    {
        test::ModalWatch modals;
        BrowserWindow b;
        QVERIFY(b.host.listen());
        QVERIFY(b.show("<html><body style='margin:0'>"
                       "<input type=file style='position:fixed;left:0;top:0;width:100%;height:100%'>"
                       "<script>window.addEventListener('beforeunload', function (e) {"
                       " e.preventDefault(); e.returnValue = 'stay'; return 'stay'; });</script>"
                       "</body></html>"));
        WorkspaceBrowserView *view = b.view;
        QWidget *web = b.web();
        QTRY_VERIFY(web->focusProxy());
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                if (view->model()->notice().isEmpty())
                    QTest::mouseClick(web->focusProxy(), Qt::LeftButton, {}, QPoint(60, 60));
                return !view->model()->notice().isEmpty();
            }(),
            30000);
        QCOMPARE(view->model()->notice(), u"网页请求选择文件（已拒绝），可将文件拖到网页上"_s);
        const QStringList problems = nbd::test::accessibilityProblems(&b.window);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
        // The bar closes by its button.
        QTest::mouseClick(view->findChild<ChromeIconButton *>(u"workspace-browser-notice-close"_s), Qt::LeftButton);
        QVERIFY(view->model()->notice().isEmpty());
        QVERIFY(view->findChild<QWidget *>(u"workspace-browser-notice"_s)->isHidden());

        const QString after = root(b.host) + u"?after"_s;
        b.type(after);
        QVERIFY(b.settledAt(after));
        QVERIFY2(modals.now().isEmpty(), qPrintable(modals.seen.join(u", "_s)));
    }

    // What the bar says of each request: the page's text, one line, isolated from ours, cut to
    // a bounded length; more than a few in a row and the page is silenced until another
    // address is loaded.
    void theBarTellsEachRequestUntilThePageIsSilenced()
    {
        using Request = WorkspaceWebPage::Request;
        WorkspaceBrowserModel model(nullptr);
        const QString rlo = u"\u202Eevil"_s;
        model.pageRequested(Request::Alert, rlo);
        QCOMPARE(model.notice(), u"网页消息：\u2068\u202Eevil\u202C\u2069"_s);
        model.pageRequested(Request::Login, u"example.com"_s);
        QCOMPARE(model.notice(), u"\u2068example.com\u2069 请求登录（已拒绝）"_s);
        model.pageRequested(Request::Prompt, QString(100000, u'x'));
        QVERIFY(model.notice().size() < WorkspaceBrowserModel::kNoticeTextLimit + 40);
        QVERIFY(!model.requestsSilenced());
        model.pageRequested(Request::Confirm, u"again"_s);
        QVERIFY(model.requestsSilenced());
        const QString silenced = model.notice();
        model.pageRequested(Request::Alert, u"later"_s);
        QCOMPARE(model.notice(), silenced);
        model.dismissNotice();
        QVERIFY(model.notice().isEmpty());
        model.pageRequested(Request::Alert, u"later"_s);
        QVERIFY(model.notice().isEmpty());
        model.load(u"https://example.com/"_s);
        QVERIFY(!model.requestsSilenced());
        model.pageRequested(Request::Alert, u"heard"_s);
        QCOMPARE(model.notice(), u"网页消息：\u2068heard\u2069"_s);
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
        BrowserWindow b;
        sim::SimHost &host = b.host;
        QVERIFY(host.listen());
        QVERIFY(b.show("<html><body><a id=a href='nbd-unknown:x'>x</a>"
                       "<script>window.open('" + host.baseUrl().toEncoded() + "?popup');</script></body></html>"));
        WorkspaceBrowserView *view = b.view;
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
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"some-handler"_s, &desktop, "open");
        QDesktopServices::setUrlHandler(u"other-handler"_s, &desktop, "open");
        BrowserWindow b;
        sim::SimHost &host = b.host;
        QWidget &window = b.window;
        QVERIFY(host.listen());
        QVERIFY(b.show("<html><body style='margin:0'>"
                       "<a href='some-handler://run?cmd=x' style='display:block;height:100vh'"
                       " onclick=\"setTimeout(function(){location.href='other-handler:again';new Image().src='/?asked-again'},50)\">go</a>"
                       "</body></html>"));
        WorkspaceBrowserView *view = b.view;
        QWidget *web = b.web();
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
