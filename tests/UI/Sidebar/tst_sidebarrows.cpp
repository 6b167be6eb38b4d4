#include "UI/Sidebar/SidebarRows.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

// "id@updatedAt[#Title][!blank][!sub]": the title becomes the last folder of the working
// directory, which is what the session's own display title falls back to.
std::vector<SessionSummary> parseSessions(const QString &text)
{
    std::vector<SessionSummary> out;
    for (const QString &token : text.split(u' ', Qt::SkipEmptyParts)) {
        QStringList flags = token.split(u'!');
        QString head = flags.takeFirst();
        SessionSummary s;
        const qsizetype hash = head.indexOf(u'#');
        if (hash >= 0) {
            s.cwd = u"/work/"_s + head.mid(hash + 1);
            head = head.left(hash);
        }
        const QStringList idTime = head.split(u'@');
        s.sessionId = idTime.value(0);
        s.updatedAt = idTime.value(1).toDouble();
        s.blank = flags.contains(u"blank"_s);
        if (flags.contains(u"sub"_s))
            s.origin = u"subagent"_s;
        out.push_back(s);
    }
    return out;
}

// "w1=a,b w2=c": workspaces in order, with the session ids they list.
std::vector<WorkspaceView> parseWorkspaces(const QString &text)
{
    std::vector<WorkspaceView> out;
    for (const QString &token : text.split(u' ', Qt::SkipEmptyParts)) {
        WorkspaceView w;
        w.workspaceId = token.section(u'=', 0, 0);
        w.title = u"Project "_s + w.workspaceId;
        w.path = u"/src/"_s + w.workspaceId;
        const QString ids = token.section(u'=', 1);
        for (const QString &id : ids.split(u',', Qt::SkipEmptyParts))
            w.sessionIds.push_back(id);
        out.push_back(w);
    }
    return out;
}

QSet<QString> idSet(const QString &text)
{
    const QStringList ids = text.split(u' ', Qt::SkipEmptyParts);
    return QSet<QString>(ids.begin(), ids.end());
}

// Row identities joined by " | ", with a "*" after a selected session row and "(c)" after a
// collapsed workspace.
QString describe(const std::vector<SidebarListRow> &rows)
{
    QStringList parts;
    for (const SidebarListRow &row : rows) {
        QString text = row.id();
        if (row.workspace() && row.workspace()->collapsed)
            text += u"(c)"_s;
        if (row.session() && row.session()->isSelected)
            text += u'*';
        parts.append(text);
    }
    return parts.join(u" | "_s);
}

} // namespace

class tst_SidebarRows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rows_data()
    {
        QTest::addColumn<QString>("sessions");
        QTest::addColumn<QString>("workspaces");
        QTest::addColumn<QString>("archived");
        QTest::addColumn<QString>("collapsed");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("expected");

        QTest::newRow("nothing") << "" << "" << "" << "" << "" << "" << "" << "";
        QTest::newRow("empty workspace still listed without a query")
            << "" << "w1=" << "" << "" << "" << "" << "" << "workspace-w1";
        QTest::newRow("recent only, newest first")
            << "a@1 b@3 c@2" << "" << "" << "" << "" << "" << ""
            << "section-最近 | session-recent-b | session-recent-c | session-recent-a";
        QTest::newRow("equal times keep list order")
            << "a@5 b@5 c@9 d@5" << "" << "" << "" << "" << "" << ""
            << "section-最近 | session-recent-c | session-recent-a | session-recent-b | session-recent-d";
        QTest::newRow("equal times keep the workspace's order")
            << "a@5 b@5 c@5" << "w=c,a,b" << "" << "" << "" << "" << ""
            << "workspace-w | session-w-c | session-w-a | session-w-b";
        QTest::newRow("claimed sessions leave the recent section")
            << "a@1 b@2 c@3" << "w1=a,c" << "" << "" << "" << "" << ""
            << "workspace-w1 | session-w1-c | session-w1-a | section-最近 | session-recent-b";
        QTest::newRow("everything claimed: no recent section")
            << "a@1 b@2" << "w1=a w2=b" << "" << "" << "" << "" << ""
            << "workspace-w1 | session-w1-a | workspace-w2 | session-w2-b";
        QTest::newRow("repeated id in one workspace shows once")
            << "a@1 b@2" << "w=a,b,a" << "" << "" << "" << "" << ""
            << "workspace-w | session-w-b | session-w-a";
        QTest::newRow("one session in two workspaces")
            << "a@1" << "w1=a w2=a" << "" << "" << "" << "" << "a"
            << "workspace-w1 | session-w1-a* | workspace-w2 | session-w2-a*";
        QTest::newRow("unknown ids are ignored but still claimed")
            << "a@1" << "w=ghost,a" << "" << "" << "" << "" << "" << "workspace-w | session-w-a";
        QTest::newRow("archived, subagent and blank listed nowhere")
            << "a@1 s@2!sub b@3!blank x@4 ok@5" << "w=a,s,b" << "a x" << "" << "" << "" << ""
            << "workspace-w | section-最近 | session-recent-ok";
        QTest::newRow("hidden kinds stay hidden when the host search finds them")
            << "a@1 s@2!sub b@3!blank" << "" << "a" << "" << "zzz" << "a s b" << "" << "";
        QTest::newRow("collapsed workspace shows its header only")
            << "a@1 b@2" << "w=a" << "" << "w" << "" << "" << ""
            << "workspace-w(c) | section-最近 | session-recent-b";
        QTest::newRow("collapsed workspace still claims its sessions")
            << "a@1" << "w=a" << "" << "w" << "" << "" << "" << "workspace-w(c)";
        QTest::newRow("query matches title case-insensitively")
            << "a@1#Alpha b@2#Beta" << "" << "" << "" << "alp" << "" << ""
            << "section-最近 | session-recent-a";
        QTest::newRow("query matches the id")
            << "abc123@1#One xyz@2#Two" << "" << "" << "" << "C12" << "" << ""
            << "section-最近 | session-recent-abc123";
        QTest::newRow("query is trimmed")
            << "a@1#Alpha b@2#Beta" << "" << "" << "" << "  \n beta\t" << "" << ""
            << "section-最近 | session-recent-b";
        QTest::newRow("blank query filters nothing")
            << "a@1 b@2" << "" << "" << "" << "   " << "" << ""
            << "section-最近 | session-recent-b | session-recent-a";
        QTest::newRow("host matches widen the filter")
            << "a@1#Alpha b@2#Beta" << "" << "" << "" << "gamma" << "b" << ""
            << "section-最近 | session-recent-b";
        QTest::newRow("workspace without a match is dropped, also collapsed")
            << "a@1#Alpha b@2#Beta" << "w1=a w2=b" << "" << "w1" << "beta" << "" << ""
            << "workspace-w2 | session-w2-b";
        QTest::newRow("empty workspace dropped under a query")
            << "a@1#Alpha" << "w1= w2=a" << "" << "" << "alpha" << "" << ""
            << "workspace-w2 | session-w2-a";
        QTest::newRow("collapsed workspace with a match shows its header only")
            << "a@1#Alpha" << "w=a" << "" << "w" << "alpha" << "" << "" << "workspace-w(c)";
        QTest::newRow("claimed session hidden by the query is not recent")
            << "a@1#Alpha b@2#Alpha" << "w=a" << "" << "" << "beta" << "" << "" << "";
        QTest::newRow("no match anywhere: nothing") << "a@1#Alpha" << "w=a" << "" << "" << "zzz" << "" << "" << "";
        QTest::newRow("selection marks every row of the session")
            << "a@1 b@2" << "w=a" << "" << "" << "" << "" << "b"
            << "workspace-w | session-w-a | section-最近 | session-recent-b*";
    }

    void rows()
    {
        QFETCH(QString, sessions);
        QFETCH(QString, workspaces);
        QFETCH(QString, archived);
        QFETCH(QString, collapsed);
        QFETCH(QString, query);
        QFETCH(QString, remote);
        QFETCH(QString, selected);
        QFETCH(QString, expected);

        const auto sessionList = parseSessions(sessions);
        const auto workspaceList = parseWorkspaces(workspaces);
        SidebarListInput input;
        input.sessions = sessionList;
        input.workspaces = workspaceList;
        input.archivedSessionIds = idSet(archived);
        input.collapsedWorkspaceIds = idSet(collapsed);
        input.searchText = query;
        input.remoteSearchMatches = idSet(remote);
        if (!selected.isEmpty())
            input.selectedSessionId = selected;
        QCOMPARE(describe(makeListRows(input)), expected);
    }

    void rowFields()
    {
        const auto sessions = parseSessions(u"a@1#Alpha b@2#Beta"_s);
        const auto workspaces = parseWorkspaces(u"w=a"_s);
        SidebarListInput input;
        input.sessions = sessions;
        input.workspaces = workspaces;
        const auto rows = makeListRows(input);
        QCOMPARE(rows.size(), size_t(4));
        QCOMPARE(rows[0].workspace()->workspace, workspaces[0]);
        QCOMPARE(rows[1].session()->scope, u"w"_s);
        QCOMPARE(rows[1].session()->indent, 22.0);
        QCOMPARE(rows[1].session()->displayTitle, u"Alpha"_s);
        QCOMPARE(rows[1].session()->session, sessions[0]);
        QCOMPARE(rows[2].section()->title, u"最近"_s);
        QCOMPARE(rows[3].session()->scope, u"recent"_s);
        QCOMPARE(rows[3].session()->indent, 4.0);
        QCOMPARE(rows[3].session()->displayTitle, u"Beta"_s);
    }

    // An open session's own title wins over the listed one, for display and for matching;
    // an empty model title falls back.
    void modelTitles_data()
    {
        QTest::addColumn<QString>("modelTitle");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("expectedTitle");
        QTest::newRow("model title shown") << "Renamed" << "" << "Renamed";
        QTest::newRow("matched under the model title") << "Renamed" << "renam" << "Renamed";
        QTest::newRow("not matched under the listed title") << "Renamed" << "alpha" << "";
        QTest::newRow("empty model title falls back") << "" << "alpha" << "Alpha";
    }

    void modelTitles()
    {
        QFETCH(QString, modelTitle);
        QFETCH(QString, query);
        QFETCH(QString, expectedTitle);
        const auto sessions = parseSessions(u"a@1#Alpha"_s);
        SidebarListInput input;
        input.sessions = sessions;
        input.modelTitles.insert(u"a"_s, modelTitle);
        input.searchText = query;
        const auto rows = makeListRows(input);
        if (expectedTitle.isEmpty()) {
            QVERIFY(rows.empty());
            return;
        }
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(rows[1].session()->displayTitle, expectedTitle);
    }

    void normalizedText_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "Abc" << "Abc";
        QTest::newRow("blanks and breaks") << " \t\r\nAb c\n " << "Ab c";
        QTest::newRow("ideographic space") << u"\u3000x\u3000"_s << "x";
        QTest::newRow("only blanks") << "  \n" << "";
    }

    void normalizedText()
    {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        QCOMPARE(normalizedSearchText(typed), expected);
    }
};

QTEST_APPLESS_MAIN(tst_SidebarRows)
#include "tst_sidebarrows.moc"
