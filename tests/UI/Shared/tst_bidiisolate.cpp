// Host names shown among our own text: wrapped in bidi isolates wherever they are composed, so
// that an override inside a name never reorders what is around it.
#include "GuiTestMain.h"

#include "Domain/BidiIsolate.h"
#include "Store/AgentMenuBarMenu.h"
#include "Store/ApprovalNotifications.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Inspection/SubagentCatalog.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Sidebar/SidebarRowViews.h"
#include "UI/Sidebar/SidebarRows.h"

#include <QTextLayout>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

constexpr char16_t kFSI = 0x2068, kPDI = 0x2069, kRLO = 0x202E, kPDF = 0x202C;

// Whether the characters from `from` on are laid out left to right, one after the other.
bool runsLeftToRight(const QString &text, qsizetype from)
{
    QTextLayout layout(text, QFont());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    for (qsizetype i = from; i + 1 < text.size(); ++i) {
        if (line.cursorToX(int(i)) >= line.cursorToX(int(i + 1)))
            return false;
    }
    return true;
}

// The same, over the characters that take room: direction marks have no width of their own.
bool visibleRunsLeftToRight(const QString &text, qsizetype from)
{
    QTextLayout layout(text, QFont());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    std::optional<qreal> last;
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i].category() == QChar::Other_Format)
            continue;
        const qreal x = line.cursorToX(int(i));
        if (last && x <= *last)
            return false;
        last = x;
    }
    return true;
}

} // namespace

class BidiIsolateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void isolates_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("isolated");
        QTest::newRow("plain") << u"build"_s << u"\u2068build\u2069"_s;
        QTest::newRow("empty") << QString() << u"\u2068\u2069"_s;
        QTest::newRow("override left open") << u"\u202Eevil"_s << u"\u2068\u202Eevil\u202C\u2069"_s;
        QTest::newRow("override closed") << u"\u202Eevil\u202C."_s << u"\u2068\u202Eevil\u202C.\u2069"_s;
        QTest::newRow("stray pop of an embedding dropped") << u"a\u202Cb"_s << u"\u2068ab\u2069"_s;
        QTest::newRow("stray isolate pop dropped") << u"a\u2069b\u2069"_s << u"\u2068ab\u2069"_s;
        QTest::newRow("isolate left open") << u"a\u2067b"_s << u"\u2068a\u2067b\u2069\u2069"_s;
        QTest::newRow("nested, both open") << u"\u202B\u2066x"_s << u"\u2068\u202B\u2066x\u2069\u202C\u2069"_s;
        QTest::newRow("isolate pop closes inner embeddings")
            << u"\u2067\u202Ex\u2069y"_s << u"\u2068\u2067\u202Ex\u2069y\u2069"_s;
        QTest::newRow("embedding pop inside an isolate dropped") << u"\u202A\u2066\u202Cz"_s
                                                                  << u"\u2068\u202A\u2066z\u2069\u202C\u2069"_s;
        QTest::newRow("deep overrides")
            << QString(200, QChar(kRLO)) << QString(QChar(kFSI)) + QString(200, QChar(kRLO)) + QString(200, QChar(kPDF)) + QChar(kPDI);
    }
    void isolates()
    {
        QFETCH(QString, name);
        QTEST(text::bidiIsolated(name), "isolated");
    }

    // Each place that shows a host name among its own text, given names with an override left
    // open: the name comes isolated, what follows it is ours unchanged.
    void placesIsolateHostNames_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("expected");
        const QString tool = u"\u202Etool"_s;
        const QString title = u"\u202Etitle"_s;
        const QString isoTool = u"\u2068\u202Etool\u202C\u2069"_s;
        const QString isoTitle = u"\u2068\u202Etitle\u202C\u2069"_s;
        PendingApproval approval;
        approval.sessionId = u"s1"_s;
        approval.toolName = tool;
        const auto titles = [title](const QString &) -> std::optional<QString> { return title; };
        const ApprovalNotificationContent content = approvalNotificationContent(approval, titles);
        QTest::newRow("notification title") << content.title << u"需要批准："_s + isoTool;
        QTest::newRow("notification subtitle") << content.subtitle << isoTitle;
        QTest::newRow("tray approval") << approvalMenuTitle(approval, titles) << isoTool + u" · "_s + isoTitle;
        QTest::newRow("approval card") << ApprovalCard::titleText(tool) << u"工具「"_s + isoTool + u"」请求执行许可"_s;
        SubagentCatalogRow row;
        row.entry.kind = u"child"_s;
        row.entry.id = u"c1"_s;
        row.entry.mode = u"continuable"_s;
        QTest::newRow("subagent menu") << SubagentCatalog::rowTitle(row, title) << isoTitle + u"  ·  持续  ·  空闲"_s;
        SidebarSessionRowData data;
        data.session.sessionId = u"s1"_s;
        data.session.updatedAt = double(QDateTime::currentMSecsSinceEpoch());
        data.displayTitle = title;
        SessionRowView view(nullptr, nullptr);
        view.setRow(data);
        QTest::newRow("session row tooltip") << view.toolTipText().section(u" · "_s, 0, 0) + u" · "_s << isoTitle + u" · "_s;
    }
    void placesIsolateHostNames()
    {
        QFETCH(QString, shown);
        QTEST(shown, "expected");
    }

    // As laid out: our text after an isolated name runs left to right, as it would not after
    // the bare name.
    void textAfterTheNameKeepsItsOrder()
    {
        const QString name = u"\u202Eabc"_s;
        const QString shown = ApprovalCard::titleText(name);
        QVERIFY(runsLeftToRight(shown, shown.indexOf(u"」")));
        const QString bare = u"工具「"_s + name + u"」请求执行许可"_s;
        QVERIFY(!runsLeftToRight(bare, bare.indexOf(u"」")));
    }

    // Cut short in the middle of the name, as a narrow approval card shows it: what is kept
    // after the cut still runs left to right, though the name's closing marks were cut away.
    void elisionKeepsTheNameIsolated_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("middle") << int(Qt::ElideMiddle);
        QTest::newRow("right") << int(Qt::ElideRight);
    }
    void elisionKeepsTheNameIsolated()
    {
        QFETCH(int, mode);
        const QString name = u"‮"_s + QString(80, u'x') + u"abc"_s + QString(80, u'y');
        ElidedLabel label(ApprovalCard::titleText(name), Qt::TextElideMode(mode));
        for (const int width : {60, 120, 200, 320}) {
            label.resize(width, label.sizeHint().height());
            const QString shown = label.shownText();
            const qsizetype cut = shown.indexOf(u'…');
            QVERIFY2(cut > 0, qPrintable(shown));
            QVERIFY2(visibleRunsLeftToRight(shown, cut), qPrintable(QString::number(width)));
        }
        QCOMPARE(text::closedAtCut(u"a\u2068b\u202Ec"_s, 4), u"a\u2068b\u202E\u202C\u2069c"_s);
        QCOMPARE(text::closedAtCut(u"\u2067x\u2069y"_s, 4), u"\u2067x\u2069y"_s);
    }
};

NBD_GUI_TEST_MAIN(BidiIsolateTest)

#include "tst_bidiisolate.moc"
