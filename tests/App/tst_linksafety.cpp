// Links that the host wrote, clicked in the main window against the simulated host: script
// and inline-content links never open, mail goes to the desktop, and any other scheme opens
// only after the user confirms the whole address.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "AppWindowTestSupport.h"
#include "DesktopLinkRecorder.h"
#include "GuiTestMain.h"
#include "TextPoint.h"

#include "App/ContentView.h"
#include "Session/SessionModel.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "Store/AppModel.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/ToolPresentationView.h"
#include "UI/Conversation/TranscriptRowViews.h"
#include "UI/Shared/LinkOpener.h"

#include <QDesktopServices>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
namespace events = nbd::sim::events;

namespace {

const QString kSession = u"links"_s;
const QString kHandlerLink = u"some-handler://run?cmd=touch%20%2Ftmp%2Fmark&x=%E4%BD%A0"_s;
const QString kCardLink = u"other-handler:open/a%20b"_s;

const QString kAnswer = u"链接：[执行](javascript:alert(1)) [内嵌](data:text/html;base64,PHNjcmlwdD4xPC9zY3JpcHQ+) "
                        u"[旧式](VBScript:msgbox(1)) [对象](blob:https://example.org/0b5e) "
                        u"[邮件](mailto:dev@example.org) [处理器](some-handler://run?cmd=touch%20%2Ftmp%2Fmark&x=你)"_s;

// Every scheme the message and the card use, recorded where the desktop would take them.
const QStringList kSchemes = {u"javascript"_s, u"data"_s,          u"vbscript"_s,     u"blob"_s,
                              u"mailto"_s,     u"some-handler"_s, u"other-handler"_s};

} // namespace

class tst_LinkSafety : public QObject
{
    Q_OBJECT

    test::AppWindowHarness m_app;
    test::DesktopLinkRecorder m_desktop;

    ConversationView *conversation() const { return m_app.conversation(); }

    MarkdownDocumentView *answer() const
    {
        TranscriptRenderRowView *row = m_app.liveRowWhere([](TranscriptRenderRowView *r) {
            return r->contentKind() == TranscriptRenderRowView::ContentKind::FinalText;
        });
        return row ? row->findChild<MarkdownDocumentView *>() : nullptr;
    }

    QDialog *confirmation() const
    {
        return m_app.window->findChild<QDialog *>(QString::fromLatin1(LinkOpener::kConfirmationName));
    }

    void openSession()
    {
        m_app.openWindow(QSize(1280, 900));
        if (QTest::currentTestFailed())
            return;
        m_app.clickSessionRow(kSession);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(answer(), 20000);
    }

    void clickLink(const QString &label)
    {
        MarkdownDocumentView *blocks = answer();
        QVERIFY(blocks);
        const QPoint at = pointOfText(blocks, label);
        QVERIFY2(!at.isNull(), qPrintable(label));
        QVERIFY2(blocks->anchorAt(at).size() > 0, qPrintable(label + u" is no link"_s));
        QTest::mouseClick(blocks->viewport(), Qt::LeftButton, {}, at);
    }

private Q_SLOTS:
    void init()
    {
        for (const QString &scheme : kSchemes)
            QDesktopServices::setUrlHandler(scheme, &m_desktop, "open");
        m_desktop.opened.clear();
        m_app.startHost();
        sim::SimWorld::Session session = test::session(kSession, 1000);
        session.cwd = m_app.dir.path();
        m_app.world->addSession(session);
        m_app.world->appendEvent(kSession, events::userMessage(u"u1"_s, u"给我链接"_s));
        m_app.world->appendEvent(kSession, events::turnStart(1));
        m_app.world->appendEvent(kSession, events::stepStart(1, 1));
        const JSONValue call = events::toolCall(1, 1, u"c-web"_s, u"fetch"_s, u"{}"_s);
        const JSONValue card = parseJSON(uR"({"card":"web","kind":"fetch","title":"抓取页面","url":")"_s.toUtf8()
                                         + kCardLink.toUtf8() + R"(","statusCode":200})");
        m_app.world->logs().append(kSession, call);
        m_app.world->logs().append(kSession, events::toolResult(1, 1, u"c-web"_s, u"ok"_s), events::toolView(u"c-web"_s, card));
        m_app.world->appendEvent(kSession, events::stepStart(1, 2));
        m_app.world->appendEvent(kSession, events::textDelta(1, 2, 0, kAnswer));
        m_app.world->appendEvent(kSession, events::assistantMessage(1, 2, kAnswer));
    }

    void cleanup()
    {
        m_app.stop();
        for (const QString &scheme : kSchemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    // Scripts and inline content run in whatever program takes them: never opened, not
    // even after asking, and no tool opens for them either.
    void scriptAndInlineLinksNeverOpen()
    {
        openSession();
        if (QTest::currentTestFailed())
            return;
        for (const QString &label : {u"执行"_s, u"内嵌"_s, u"旧式"_s, u"对象"_s}) {
            clickLink(label);
            if (QTest::currentTestFailed())
                return;
            QCoreApplication::processEvents();
            QVERIFY2(m_desktop.opened.isEmpty(), qPrintable(label + u": "_s + m_desktop.opened.value(0).toString()));
            QVERIFY2(!confirmation(), qPrintable(label));
            QVERIFY(m_app.window->workspaceToolTabs().tabs.empty());
        }
    }

    void mailGoesToTheDesktopAtOnce()
    {
        openSession();
        if (QTest::currentTestFailed())
            return;
        clickLink(u"邮件"_s);
        QTRY_COMPARE(m_desktop.opened, QList<QUrl>{QUrl(u"mailto:dev@example.org"_s)});
        QVERIFY(!confirmation());
    }

    // Any other scheme goes to the desktop only from the confirmation, which shows the whole
    // address and cancels by default.
    void otherSchemesAskFirst()
    {
        openSession();
        if (QTest::currentTestFailed())
            return;
        clickLink(u"处理器"_s);
        QTRY_VERIFY(confirmation() && confirmation()->isVisible());
        QDialog *dialog = confirmation();
        auto *address = dialog->findChild<QPlainTextEdit *>(QString::fromLatin1(LinkOpener::kConfirmationURLName));
        QVERIFY(address);
        QCOMPARE(address->toPlainText(), kHandlerLink);
        auto *cancel = dialog->findChild<QPushButton *>(QString::fromLatin1(LinkOpener::kConfirmationCancelName));
        QVERIFY(cancel);
        QCOMPARE(cancel->text(), u"取消"_s);
        QVERIFY(cancel->isDefault());
        QVERIFY2(accessibilityProblems(dialog).isEmpty(), qPrintable(accessibilityProblems(dialog).join(u'\n')));
        // Return takes the default: nothing opens.
        QTest::keyClick(dialog, Qt::Key_Return);
        QTRY_VERIFY(!confirmation());
        QVERIFY(m_desktop.opened.isEmpty());

        // Escape cancels too.
        clickLink(u"处理器"_s);
        QTRY_VERIFY(confirmation() && confirmation()->isVisible());
        QTest::keyClick(confirmation(), Qt::Key_Escape);
        QTRY_VERIFY(!confirmation());
        QVERIFY(m_desktop.opened.isEmpty());

        // Only the user's explicit choice opens it, exactly as written.
        clickLink(u"处理器"_s);
        QTRY_VERIFY(confirmation() && confirmation()->isVisible());
        auto *open = confirmation()->findChild<QPushButton *>(QString::fromLatin1(LinkOpener::kConfirmationOpenName));
        QVERIFY(open);
        QTest::mouseClick(open, Qt::LeftButton);
        QTRY_COMPARE(m_desktop.opened, QList<QUrl>{QUrl(kHandlerLink)});
        QTRY_VERIFY(!confirmation());
    }

    // The address of a web card is host text as well.
    void aWebCardAddressAsksFirst()
    {
        openSession();
        if (QTest::currentTestFailed())
            return;
        ToolCallChip *chip = nullptr;
        QTRY_VERIFY((chip = conversation()->findChild<ToolCallChip *>()));
        QTest::mouseClick(chip->header(), Qt::LeftButton);
        QAbstractButton *url = nullptr;
        QTRY_VERIFY((url = chip->findChild<QAbstractButton *>(u"tool-card-url"_s)) && url->isVisible());
        QTest::mouseClick(url, Qt::LeftButton);
        QTRY_VERIFY(confirmation() && confirmation()->isVisible());
        QCOMPARE(confirmation()->findChild<QPlainTextEdit *>(QString::fromLatin1(LinkOpener::kConfirmationURLName))->toPlainText(),
                 kCardLink);
        QTest::mouseClick(confirmation()->findChild<QPushButton *>(QString::fromLatin1(LinkOpener::kConfirmationCancelName)),
                          Qt::LeftButton);
        QTRY_VERIFY(!confirmation());
        QVERIFY(m_desktop.opened.isEmpty());
    }
};

NBD_GUI_TEST_MAIN(tst_LinkSafety)
#include "tst_linksafety.moc"
