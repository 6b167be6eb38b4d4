// Flattening a subagent tree into the catalogue's rows, the rows' titles and counts, and the
// rule that puts the read-only card in the composer's place.

#include "UI/Inspection/SubagentCatalog.h"

#include <QtTest>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

namespace {

SubagentListEntry child(const QString &id, std::optional<QString> mode = u"continuable"_s,
                        std::optional<bool> hasChildren = {}, std::optional<QString> activity = {},
                        std::optional<QString> label = {})
{
    SubagentListEntry e;
    e.kind = u"child"_s;
    e.id = id;
    e.mode = std::move(mode);
    e.hasChildren = hasChildren;
    e.activity = std::move(activity);
    e.label = std::move(label);
    return e;
}

SubagentListEntry diagnostic(const QString &id, std::optional<QString> reason, const QString &kind = u"broken"_s)
{
    SubagentListEntry e;
    e.kind = kind;
    e.id = id;
    e.reason = std::move(reason);
    return e;
}

SubagentListValue list(std::vector<SubagentListEntry> entries, bool parentAvailable = true)
{
    return SubagentListValue{std::move(entries), parentAvailable};
}

QStringList rowIds(const std::vector<SubagentCatalogRow> &rows)
{
    QStringList ids;
    for (const auto &r : rows)
        ids << r.id() + u'@' + QString::number(r.depth);
    return ids;
}

SelectedSubagent selection(const QString &mode, bool parentAvailable)
{
    return SelectedSubagent{SubagentAddress{u"p"_s, u"c"_s, mode}, u"label"_s, parentAvailable};
}

} // namespace

class TestSubagentCatalog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void depthFirstWithParents()
    {
        QHash<QString, SubagentListValue> lists;
        lists.insert(u"root"_s, list({child(u"a"_s, u"continuable"_s, true), child(u"b"_s, u"one-shot"_s, false),
                                      diagnostic(u"bad"_s, u"corrupt"_s)}));
        lists.insert(u"a"_s, list({child(u"a1"_s, u"one-shot"_s, {}, u"running"_s)}, false));
        lists.insert(u"b"_s, list({child(u"b1"_s)})); // b says it has no children: not expanded
        const auto rows = SubagentCatalog::flatten(lists, u"root"_s);
        QCOMPARE(rowIds(rows), (QStringList{u"root/a@0"_s, u"a/a1@1"_s, u"root/b@0"_s, u"root/bad@0"_s}));
        QCOMPARE(SubagentCatalog::healthyCount(rows), 3);
        QCOMPARE(SubagentCatalog::runningCount(rows), 1); // counted at every level
        QVERIFY(SubagentCatalog::flatten(lists, u"unknown"_s).empty());
    }

    void childWithoutModeIsDiagnosticAndNotExpanded()
    {
        QHash<QString, SubagentListValue> lists;
        lists.insert(u"root"_s, list({child(u"x"_s, std::nullopt, true, u"running"_s)}));
        lists.insert(u"x"_s, list({child(u"x1"_s)}));
        const auto rows = SubagentCatalog::flatten(lists, u"root"_s);
        QCOMPARE(rowIds(rows), QStringList{u"root/x@0"_s});
        QCOMPARE(SubagentCatalog::healthyCount(rows), 0);
        // A running entry that is not healthy still counts as running.
        QCOMPARE(SubagentCatalog::runningCount(rows), 1);
        QCOMPARE(SubagentCatalog::diagnosticTitle(rows[0]), u"子代理 x  ·  暂时不可用"_s);
    }

    void eightLevelsOfNine()
    {
        QHash<QString, SubagentListValue> lists;
        QString parent = u"root"_s;
        for (int level = 0; level < 9; ++level) {
            const QString id = u"L"_s + QString::number(level);
            lists.insert(parent, list({child(id, u"continuable"_s, true)}));
            parent = id;
        }
        lists.insert(parent, list({child(u"deepest"_s)}));
        const auto rows = SubagentCatalog::flatten(lists, u"root"_s);
        QCOMPARE(rows.size(), size_t(8));
        QCOMPARE(rows.back().entry.id, u"L7"_s);
        QCOMPARE(rows.back().depth, 7);
    }

    void cyclesAreListedOnceNotExpanded()
    {
        QHash<QString, SubagentListValue> lists;
        lists.insert(u"root"_s, list({child(u"a"_s, u"continuable"_s, true), child(u"b"_s, u"continuable"_s, true)}));
        lists.insert(u"a"_s, list({child(u"root"_s, u"continuable"_s, true), child(u"s"_s, u"continuable"_s, true)}));
        lists.insert(u"b"_s, list({child(u"s"_s, u"continuable"_s, true)}));
        lists.insert(u"s"_s, list({child(u"leaf"_s)}));
        const auto rows = SubagentCatalog::flatten(lists, u"root"_s);
        // The ancestor root shows again under a, unexpanded; s is expanded under both parents
        // because siblings do not share what they visited.
        QCOMPARE(rowIds(rows), (QStringList{u"root/a@0"_s, u"a/root@1"_s, u"a/s@1"_s, u"s/leaf@2"_s, u"root/b@0"_s,
                                           u"b/s@1"_s, u"s/leaf@2"_s}));
        // A self-listing session terminates too.
        lists.insert(u"self"_s, list({child(u"self"_s, u"continuable"_s, true)}));
        QCOMPARE(rowIds(SubagentCatalog::flatten(lists, u"self"_s)), QStringList{u"self/self@0"_s});
    }

    void titles()
    {
        SubagentCatalogRow row{u"p"_s, child(u"0123456789abcdef"_s, u"continuable"_s, {}, u"running"_s, u"alpha"_s), 1};
        QCOMPARE(SubagentCatalog::rowTitle(row, std::nullopt), u"  \u2068alpha\u2069  ·  持续  ·  运行中"_s);
        QCOMPARE(SubagentCatalog::rowTitle(row, u"Session title"_s), u"  \u2068Session title\u2069  ·  持续  ·  运行中"_s);
        row.entry.label.reset();
        row.entry.mode = u"one-shot"_s;
        row.entry.activity = u"idle"_s;
        row.depth = 0;
        QCOMPARE(SubagentCatalog::rowTitle(row, std::nullopt), u"子代理 01234567  ·  单次  ·  空闲"_s);
        row.entry.mode = u"Continuable"_s; // case-sensitive
        QVERIFY(SubagentCatalog::rowTitle(row, std::nullopt).contains(u"单次"_s));

        SubagentCatalogRow bad{u"p"_s, diagnostic(u"😀😀😀😀😀😀😀😀😀"_s, u"unsupported"_s), 2};
        QCOMPARE(SubagentCatalog::diagnosticTitle(bad), u"    子代理 😀😀😀😀😀😀😀😀  ·  版本不支持"_s);
        bad.entry.reason = u"corrupt"_s;
        QVERIFY(SubagentCatalog::diagnosticTitle(bad).endsWith(u"描述已损坏"_s));
        bad.entry.reason = u"gone"_s;
        QVERIFY(SubagentCatalog::diagnosticTitle(bad).endsWith(u"暂时不可用"_s));

        QCOMPARE(SubagentCatalog::modeIcon(u"continuable"_s), u"bubble.left.and.bubble.right"_s);
        QCOMPARE(SubagentCatalog::modeIcon(u"one-shot"_s), u"doc.text.magnifyingglass"_s);
        QCOMPARE(SubagentCatalog::modeIcon(std::nullopt), u"doc.text.magnifyingglass"_s);
        QCOMPARE(SubagentCatalog::toolTip(2, 0), u"2 个子代理"_s);
        QCOMPARE(SubagentCatalog::toolTip(0, 1), u"0 个子代理，1 个运行中"_s);
        QCOMPARE(SubagentCatalog::accessibleName(3), u"子代理，共 3 个"_s);
    }

    void readOnlyComposerRule()
    {
        using SubagentCatalog::showsReadOnlyComposer;
        QVERIFY(!showsReadOnlyComposer(std::nullopt, false));
        // One-shot: read-only whatever the parent and the run state.
        QVERIFY(showsReadOnlyComposer(selection(u"one-shot"_s, true), true));
        QVERIFY(showsReadOnlyComposer(selection(u"one-shot"_s, false), false));
        // Others: only while the parent is unavailable and the session idle.
        QVERIFY(showsReadOnlyComposer(selection(u"continuable"_s, false), false));
        QVERIFY(!showsReadOnlyComposer(selection(u"continuable"_s, false), true));
        QVERIFY(!showsReadOnlyComposer(selection(u"continuable"_s, true), false));
        // Another spelling of one-shot is any other mode.
        QVERIFY(!showsReadOnlyComposer(selection(u"One-Shot"_s, true), false));
    }
};

QTEST_GUILESS_MAIN(TestSubagentCatalog)
#include "tst_subagentcatalog.moc"
