// The tool vocabulary, the tab state and the link router.
#include "UI/Shared/WorkspaceTools.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using Kind = WorkspaceLinkDestination::Kind;

Q_DECLARE_METATYPE(nbd::WorkspaceLinkDestination::Kind)

namespace {

QUuid uuid(int n) { return QUuid(uint(n), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0); }

WorkspaceToolTabState threeTabs()
{
    WorkspaceToolTabState state;
    state.open(WorkspaceTool::Browser, uuid(1), std::nullopt, std::nullopt, false);
    state.open(WorkspaceTool::Files, uuid(2), std::nullopt, std::nullopt, false);
    state.open(WorkspaceTool::SideChat, uuid(3), std::nullopt, std::nullopt, false);
    return state;
}

} // namespace

class WorkspaceToolsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rawValuesMatchExactly()
    {
        for (WorkspaceTool tool : {WorkspaceTool::SessionInspector, WorkspaceTool::Review, WorkspaceTool::Terminal,
                                   WorkspaceTool::Browser, WorkspaceTool::Files, WorkspaceTool::SideChat})
            QCOMPARE(workspaceToolFromRawValue(workspaceToolRawValue(tool)), tool);
        QVERIFY(!workspaceToolFromRawValue(u"Review"_s));
        QVERIFY(!workspaceToolFromRawValue(u"review "_s));
        QVERIFY(!workspaceToolFromRawValue(QString()));
        QCOMPARE(workspaceToolShortcut(WorkspaceTool::SessionInspector), std::nullopt);
        QCOMPARE(workspaceToolShortcut(WorkspaceTool::Browser), u"Ctrl+T"_s);
        QCOMPARE(workspaceLauncherTools.front(), WorkspaceTool::Review);
    }

    void reuseOnlyReselects()
    {
        WorkspaceToolTabState state;
        QCOMPARE(state.open(WorkspaceTool::Review, uuid(1), std::nullopt, std::nullopt, true), uuid(1));
        state.open(WorkspaceTool::Browser, uuid(2), QUrl(u"http://a"_s), std::nullopt, false);
        QCOMPARE(state.open(WorkspaceTool::Review, uuid(3), QUrl(u"http://b"_s), std::nullopt, true), uuid(1));
        QCOMPARE(state.tabs.size(), size_t(2));
        QCOMPARE(state.selectedTabID, uuid(1));
        QVERIFY(!state.tabs[0].browserStartURL);
        QCOMPARE(state.open(WorkspaceTool::Browser, uuid(4), std::nullopt, std::nullopt, false), uuid(4));
        QCOMPARE(state.tabs.size(), size_t(3));
    }

    void closingMovesTheSelection_data()
    {
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("closed");
        QTest::addColumn<int>("expected"); // 0: none
        QTest::newRow("selected middle: the right neighbour") << 2 << 2 << 3;
        QTest::newRow("selected last: the new last") << 3 << 3 << 2;
        QTest::newRow("selected first") << 1 << 1 << 2;
        QTest::newRow("other tab: selection stays") << 1 << 3 << 1;
        QTest::newRow("unknown id: nothing") << 2 << 9 << 2;
    }
    void closingMovesTheSelection()
    {
        QFETCH(int, selected);
        QFETCH(int, closed);
        QFETCH(int, expected);
        WorkspaceToolTabState state = threeTabs();
        state.select(uuid(selected));
        const WorkspaceToolTabState before = state;
        const auto removed = state.close(uuid(closed));
        QCOMPARE(state.selectedTabID, expected ? std::optional<QUuid>(uuid(expected)) : std::nullopt);
        if (closed == 9) {
            QVERIFY(!removed);
            QCOMPARE(state, before);
        } else {
            QCOMPARE(removed->id, uuid(closed));
            QCOMPARE(state.tabs.size(), size_t(2));
        }
    }

    void closingTheOnlyTabShowsTheLauncherAndUnknownSelectIsIgnored()
    {
        WorkspaceToolTabState state;
        state.open(WorkspaceTool::Files, uuid(1), std::nullopt, std::nullopt, false);
        state.select(uuid(7));
        QCOMPARE(state.selectedTabID, uuid(1));
        state.showLauncher();
        QVERIFY(!state.selectedTabID);
        QCOMPARE(state.tabs.size(), size_t(1));
        state.select(uuid(1));
        QVERIFY(state.close(uuid(1)));
        QVERIFY(!state.selectedTabID);
        QVERIFY(state.tabs.empty());
    }

    void titles_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("browser");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("title");
        QTest::newRow("file name") << int(WorkspaceTool::Files) << QString() << u"file:///work/notes.txt"_s << u"notes.txt"_s;
        QTest::newRow("no file") << int(WorkspaceTool::Files) << QString() << QString() << u"文件"_s;
        QTest::newRow("folder with slash") << int(WorkspaceTool::Files) << QString() << u"file:///work/dir/"_s << u"文件"_s;
        QTest::newRow("host without port") << int(WorkspaceTool::Browser) << u"http://127.0.0.1:3080/x"_s << QString() << u"127.0.0.1"_s;
        QTest::newRow("no address") << int(WorkspaceTool::Browser) << QString() << QString() << u"浏览器"_s;
        QTest::newRow("review") << int(WorkspaceTool::Review) << u"http://a/"_s << QString() << u"审阅"_s;
        QTest::newRow("inspector") << int(WorkspaceTool::SessionInspector) << QString() << QString() << u"运行信息"_s;
    }
    void titles()
    {
        QFETCH(int, tool);
        QFETCH(QString, browser);
        QFETCH(QString, file);
        QFETCH(QString, title);
        WorkspaceToolTab tab{uuid(1), WorkspaceTool(tool), browser.isEmpty() ? std::nullopt : std::optional<QUrl>(QUrl(browser)),
                             file.isEmpty() ? std::nullopt : std::optional<QUrl>(QUrl(file))};
        QCOMPARE(tab.title(), title);
    }

    void fileReferences_data()
    {
        QTest::addColumn<QString>("reference");
        QTest::addColumn<QString>("routed"); // the file path routed against /work/project; "-" no URL
        QTest::newRow("blank") << u" \n\t "_s << u"-"_s;
        QTest::newRow("absolute with line break") << u"/tmp/a.txt\n"_s << u"/tmp/a.txt"_s;
        QTest::newRow("relative") << u"docs/guide/intro.md"_s << u"/work/project/docs/guide/intro.md"_s;
        QTest::newRow("file url") << u"  file:///etc/hosts "_s << u"/etc/hosts"_s;
        QTest::newRow("bare word") << u"README"_s << u"/work/project/README"_s;
        QTest::newRow("percent and space") << u"a b%20c.txt"_s << u"/work/project/a b%20c.txt"_s;
    }
    void fileReferences()
    {
        QFETCH(QString, reference);
        QFETCH(QString, routed);
        const auto url = WorkspaceLinkRouter::urlForFileReference(reference);
        if (routed == u"-"_s) {
            QVERIFY(!url);
            return;
        }
        QVERIFY(url);
        const auto destination = WorkspaceLinkRouter::destination(*url, QUrl::fromLocalFile(u"/work/project"_s));
        QCOMPARE(destination.kind, Kind::File);
        QCOMPARE(destination.url.toLocalFile(), routed);
    }

    void routing_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("target");
        QTest::newRow("https") << QUrl(u"https://example.com/a?b#c"_s) << Kind::Browser << u"https://example.com/a?b#c"_s;
        QTest::newRow("capital scheme") << QUrl(u"HTTPS://example.com/"_s) << Kind::Browser << u"https://example.com/"_s;
        QTest::newRow("network path") << QUrl(u"//host/docs"_s) << Kind::Browser << u"https://host/docs"_s;
        QTest::newRow("mail") << QUrl(u"mailto:a@b.c"_s) << Kind::System << QString();
        QTest::newRow("custom scheme") << QUrl(u"vscode://file/x"_s) << Kind::System << QString();
        QTest::newRow("empty") << QUrl() << Kind::System << QString();
        QTest::newRow("fragment only") << QUrl(u"#top"_s) << Kind::System << QString();
        QTest::newRow("file dot-dot") << QUrl(u"file:///a/b/../c.txt"_s) << Kind::File << u"/a/c.txt"_s;
        QTest::newRow("parent relative") << QUrl(u"../other/x.txt"_s) << Kind::File << u"/work/other/x.txt"_s;
        QTest::newRow("with fragment") << QUrl(u"notes.md#intro"_s) << Kind::File << u"/work/project/notes.md"_s;
        QTest::newRow("absolute path") << QUrl(u"/etc/./hosts"_s) << Kind::File << u"/etc/hosts"_s;
        QTest::newRow("encoded relative") << QUrl(u"my%20notes.md"_s) << Kind::File << u"/work/project/my notes.md"_s;
    }
    void routing()
    {
        QFETCH(QUrl, url);
        QFETCH(Kind, kind);
        QFETCH(QString, target);
        const auto destination = WorkspaceLinkRouter::destination(url, QUrl::fromLocalFile(u"/work/project"_s));
        QCOMPARE(destination.kind, kind);
        if (kind == Kind::File)
            QCOMPARE(destination.url.toLocalFile(), target);
        else if (kind == Kind::Browser)
            QCOMPARE(destination.url.toString(), target);
    }
};

QTEST_GUILESS_MAIN(WorkspaceToolsTest)
#include "tst_workspacetools.moc"
