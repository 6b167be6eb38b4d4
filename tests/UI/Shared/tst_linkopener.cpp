// Links that no window handles, on their way to the desktop: which schemes open, which are
// refused and which wait for the user's confirmation.
#include "AccessibilityWalk.h"
#include "DesktopLinkRecorder.h"
#include "GuiTestMain.h"

#include "UI/Shared/LinkOpener.h"

#include <QDesktopServices>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;
using Decision = LinkOpener::DesktopDecision;

class tst_LinkOpener : public QObject
{
    Q_OBJECT

    static QDialog *confirmation(QWidget *window)
    {
        return window->findChild<QDialog *>(QString::fromLatin1(LinkOpener::kConfirmationName));
    }

private Q_SLOTS:
    void decisions_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<int>("decision");
        const auto refuse = int(Decision::Refuse), open = int(Decision::Open), ask = int(Decision::Ask);
        QTest::newRow("web page") << QUrl(u"https://example.org/a?b#c"_s) << open;
        QTest::newRow("plain web page, upper case") << QUrl(u"HTTP://EXAMPLE.ORG"_s) << open;
        QTest::newRow("mail") << QUrl(u"mailto:dev@example.org?subject=x"_s) << open;
        QTest::newRow("script") << QUrl(u"javascript:alert(1)"_s) << refuse;
        QTest::newRow("script, mixed case") << QUrl(u"JaVaScRiPt:alert(1)"_s) << refuse;
        QTest::newRow("inline content") << QUrl(u"data:text/html;base64,PHNjcmlwdD4="_s) << refuse;
        QTest::newRow("old script") << QUrl(u"vbscript:msgbox(1)"_s) << refuse;
        QTest::newRow("object address") << QUrl(u"blob:https://example.org/0b5e"_s) << refuse;
        QTest::newRow("no scheme") << QUrl(u"notes.md#intro"_s) << refuse;
        QTest::newRow("empty") << QUrl() << refuse;
        QTest::newRow("not an address") << QUrl(u"http://exa mple.org"_s, QUrl::StrictMode) << refuse;
        QTest::newRow("longer than can be shown")
            << QUrl(u"some-handler://x/"_s + QString(LinkOpener::kMaxDesktopURLLength, u'a')) << refuse;
        QTest::newRow("another program's scheme") << QUrl(u"some-handler://run?cmd=x"_s) << ask;
        QTest::newRow("local file") << QUrl(u"file:///tmp/run.desktop"_s) << ask;
        QTest::newRow("scheme that looks like the web") << QUrl(u"https-handler://example.org"_s) << ask;
        QTest::newRow("longest that can be shown")
            << QUrl(u"x-a:"_s + QString(LinkOpener::kMaxDesktopURLLength - 4, u'a')) << ask;
    }

    void decisions()
    {
        QFETCH(QUrl, url);
        QFETCH(int, decision);
        QCOMPARE(int(LinkOpener::desktopDecision(url)), decision);
    }

    // Outside any window's own handling (the inspector's windows, a stray widget), the same
    // checks apply, and the question belongs to the window the link was clicked in.
    void withoutAHandlerTheWindowAsks()
    {
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"file"_s, &desktop, "open");
        QDesktopServices::setUrlHandler(u"javascript"_s, &desktop, "open");
        QWidget window;
        auto *inside = new QWidget(&window);
        window.resize(300, 200);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        LinkOpener::open(inside, QUrl(u"javascript:alert(1)"_s));
        QVERIFY(!confirmation(&window));
        const QUrl file(u"file:///tmp/a%20b.sh"_s);
        LinkOpener::open(inside, file);
        QDialog *dialog = confirmation(&window);
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->findChild<QPlainTextEdit *>(QString::fromLatin1(LinkOpener::kConfirmationURLName))->toPlainText(),
                 u"file:///tmp/a%20b.sh"_s);
        const QStringList problems = test::accessibilityProblems(dialog);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        // The first button Tab reaches from the address is the default one, 取消.
        auto *cancel = dialog->findChild<QPushButton *>(QString::fromLatin1(LinkOpener::kConfirmationCancelName));
        QTRY_COMPARE(QApplication::focusWidget(), cancel);
        QTest::keyClick(cancel, Qt::Key_Space);
        QTRY_VERIFY(!confirmation(&window));
        QVERIFY(desktop.opened.isEmpty());

        LinkOpener::open(inside, file);
        QTRY_VERIFY(confirmation(&window) && confirmation(&window)->isVisible());
        QTest::mouseClick(confirmation(&window)->findChild<QPushButton *>(QString::fromLatin1(LinkOpener::kConfirmationOpenName)),
                          Qt::LeftButton);
        QCOMPARE(desktop.opened, QList<QUrl>{file});
        QDesktopServices::unsetUrlHandler(u"file"_s);
        QDesktopServices::unsetUrlHandler(u"javascript"_s);
    }

    // What a window's handler takes never reaches the desktop step; what it leaves does.
    void aHandlerComesFirst()
    {
        test::DesktopLinkRecorder desktop;
        QDesktopServices::setUrlHandler(u"some-handler"_s, &desktop, "open");
        QWidget window;
        auto *inside = new QWidget(&window);
        QList<QUrl> handled;
        LinkOpener::install(&window, [&handled](const QUrl &url) {
            handled.append(url);
            return url.scheme() == u"some-handler"_s && url.host() == u"mine"_s;
        });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        LinkOpener::open(inside, QUrl(u"some-handler://mine"_s));
        QVERIFY(!confirmation(&window));
        LinkOpener::open(inside, QUrl(u"some-handler://theirs"_s));
        QTRY_VERIFY(confirmation(&window));
        QCOMPARE(handled.size(), 2);
        QVERIFY(desktop.opened.isEmpty());
        QDesktopServices::unsetUrlHandler(u"some-handler"_s);
    }
};

NBD_GUI_TEST_MAIN(tst_LinkOpener)
#include "tst_linkopener.moc"
