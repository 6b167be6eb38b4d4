#include "DesktopLinkRecorder.h"
#include "GuiTestMain.h"
#include "ModalWatch.h"
#include "SimHost.h"
#include "SimOverlayPage.h"
#include "UI/Sidebar/PluginOverlayHost.h"

#include <QApplication>
#include <QDesktopServices>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

// Whether a click at p in the window reaches the overlay rather than the view underneath.
bool overlayTakes(QWidget *window, PluginOverlayHost *overlay, QPoint p)
{
    QWidget *target = window->childAt(p);
    return target && (target == overlay || overlay->isAncestorOf(target));
}

} // namespace

class tst_PluginOverlay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reports_data()
    {
        QTest::addColumn<QVariantMap>("body");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<int>("rects");
        const QVariantMap good{{u"x"_s, 1.0}, {u"y"_s, 2.0}, {u"width"_s, 3.0}, {u"height"_s, 4.0}};
        QVariantMap zeroWidth = good;
        zeroWidth[u"width"_s] = 0.0;
        QVariantMap stringX = good;
        stringX[u"x"_s] = u"1"_s;
        QVariantMap missingY = good;
        missingY.remove(u"y"_s);
        QTest::newRow("ready with a rect") << QVariantMap{{u"ready"_s, true}, {u"rects"_s, QVariantList{good}}} << true << 1;
        QTest::newRow("ready, empty") << QVariantMap{{u"ready"_s, true}, {u"rects"_s, QVariantList{}}} << true << 0;
        QTest::newRow("bad entries dropped, others kept")
            << QVariantMap{{u"ready"_s, true}, {u"rects"_s, QVariantList{zeroWidth, good, stringX, missingY, good}}}
            << true << 2;
        QTest::newRow("not ready") << QVariantMap{{u"ready"_s, false}, {u"rects"_s, QVariantList{good}}} << false << 0;
        QTest::newRow("ready as a string") << QVariantMap{{u"ready"_s, u"true"_s}, {u"rects"_s, QVariantList{good}}}
                                           << false << 0;
        QTest::newRow("no rects") << QVariantMap{{u"ready"_s, true}} << false << 0;
        QTest::newRow("rects not a list") << QVariantMap{{u"ready"_s, true}, {u"rects"_s, good}} << false << 0;
        QTest::newRow("an entry not an object")
            << QVariantMap{{u"ready"_s, true}, {u"rects"_s, QVariantList{good, 5}}} << false << 0;
        QTest::newRow("empty body") << QVariantMap{} << false << 0;
    }

    // Reports are applied on a view whose page never loads (a closed port).
    void reports()
    {
        QFETCH(QVariantMap, body);
        QFETCH(bool, shown);
        QFETCH(int, rects);
        PluginOverlayHost overlay(QUrl(u"http://127.0.0.1:9"_s));
        overlay.applyReport({{u"ready"_s, true},
                             {u"rects"_s, QVariantList{QVariantMap{{u"x"_s, 0.0}, {u"y"_s, 0.0}, {u"width"_s, 9.0}, {u"height"_s, 9.0}}}}});
        overlay.applyReport(body);
        QCOMPARE(overlay.isOverlayShown(), shown);
        QCOMPARE(overlay.interactiveRects().size(), rects);
    }

    // Against the page the simulated host serves: nothing is taken before the page reports
    // ready, then only points inside the reported box (grown by 2) are.
    void clickThroughAroundTheReportedBox()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        sim::serveOverlayPage(host);

        QWidget window;
        window.resize(400, 300);
        auto *below = new QWidget(&window);
        below->setObjectName(u"below"_s);
        below->setGeometry(window.rect());
        auto *overlay = new PluginOverlayHost(host.baseUrl(), &window);
        overlay->setGeometry(window.rect());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QPoint inside(100, 70), oneOutside(49, 70), threeOutside(47, 70), oneBelow(100, 101), far(300, 250);
        for (const QPoint p : {inside, oneOutside, threeOutside, far})
            QCOMPARE(window.childAt(p), below);

        QTRY_VERIFY_WITH_TIMEOUT(overlay->isOverlayShown(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(overlay->interactiveRects().size(), 1, 10000);
        QCOMPARE(overlay->interactiveRects().first(), QRectF(50, 40, 100, 60));
        QVERIFY(overlayTakes(&window, overlay, inside));
        QVERIFY(overlayTakes(&window, overlay, oneOutside));
        QVERIFY(overlayTakes(&window, overlay, oneBelow));
        QVERIFY(!overlayTakes(&window, overlay, threeOutside));
        QCOMPARE(window.childAt(threeOutside), below);
        QCOMPARE(window.childAt(far), below);
        QVERIFY(overlay->isVisible());
        QVERIFY(!host.requests(u"page"_s).isEmpty());
    }

    // The host's page asking for dialogs in a loop gets each answered at once (a confirm
    // refused, a prompt cancelled) and never a modal window over the window.
    void scriptDialogsNeverHoldTheWindow()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        QByteArray page = sim::defaultOverlayPage();
        page.replace("</body>", "<script>var n = 0; setInterval(function () { n++;"
                                " var r = n % 3 == 1 ? alert('a') : n % 3 == 2 ? confirm('c') : prompt('p', 'x');"
                                " document.title = n + ' ' + r; }, 10);</script></body>");
        sim::serveOverlayPage(host, page);
        test::ModalWatch modals;
        QWidget window;
        window.resize(400, 300);
        auto *overlay = new PluginOverlayHost(host.baseUrl(), &window);
        overlay->setGeometry(window.rect());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWebEnginePage *web = overlay->view()->page();
        QStringList answers;
        connect(web, &QWebEnginePage::titleChanged, this, [&answers](const QString &title) {
            answers << title.section(u' ', 1);
        });
        QTRY_VERIFY_WITH_TIMEOUT(answers.contains(u"undefined"_s) && answers.contains(u"false"_s) && answers.contains(u"null"_s),
                                 60000);
        QVERIFY2(modals.now().isEmpty(), qPrintable(modals.seen.join(u", "_s)));
    }

    // A frame inside the host's page that follows a link to another program's scheme would
    // have the engine hand it straight to the desktop: it is refused.
    void aFrameLinkToAnotherSchemeOpensNothing()
    {
        sim::SimHost host;
        QVERIFY(host.listen());
        QByteArray page = sim::defaultOverlayPage();
        page.replace(R"(<div class="panel" id="panel"></div>)",
                     R"(<div class="panel" id="panel" style="pointer-events:auto">)"
                     R"(<iframe style="border:0;width:100px;height:60px" srcdoc="<body style='margin:0'>)"
                     R"(<a href='some-handler://run?cmd=x' onclick='frameElement.parentElement.style.width=&quot;101px&quot;' )"
                     R"(style='display:block;height:100vh'>go</a></body>"></iframe></div>)");
        sim::serveOverlayPage(host, page);
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"some-handler"_s, &desktop, "open");

        QWidget window;
        window.resize(400, 300);
        auto *overlay = new PluginOverlayHost(host.baseUrl(), &window);
        overlay->setGeometry(window.rect());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY_WITH_TIMEOUT(overlay->isOverlayShown(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(overlay->interactiveRects().size(), 1, 10000);
        auto *web = overlay->findChild<QWebEngineView *>();
        QVERIFY(web);
        QTRY_VERIFY(web->focusProxy());
        // The link widens its panel when clicked, which the overlay's next report shows: the
        // click has reached the link, and its navigation was asked for before that report.
        const auto clicked = [overlay] {
            const QList<QRectF> rects = overlay->interactiveRects();
            return rects.size() == 1 && rects.first().width() == 101;
        };
        for (int i = 0; i < 5 && !clicked(); ++i) {
            QTest::mouseClick(web->focusProxy(), Qt::LeftButton, {}, QPoint(100, 70));
            (void)QTest::qWaitFor(clicked, 3000); // a click before the frame is ready is lost
        }
        QVERIFY(clicked());
        // A round trip through the page: a hand-over to the desktop queued by the navigation
        // has run by the time its answer comes back.
        bool answered = false;
        web->page()->runJavaScript(u"1"_s, [&answered](const QVariant &) { answered = true; });
        QTRY_VERIFY(answered);
        QDesktopServices::unsetUrlHandler(u"some-handler"_s);
        QVERIFY2(desktop.opened.isEmpty(), qPrintable(desktop.opened.value(0).toString()));
    }
};

NBD_GUI_TEST_MAIN(tst_PluginOverlay)

#include "tst_pluginoverlay.moc"
