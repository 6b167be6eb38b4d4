// The ledger's search: the keys of many events searched at once against the rule for one
// event, and the keys made ahead on the thread pool against keys made on demand.

#include "UI/Inspection/TrajectoryLedger.h"

#include <QtTest>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

namespace {

TrajectoryEventSelection fields(const QString &role, const QString &title, const QString &summary,
                               std::optional<QString> payload = {}, std::optional<QString> result = {})
{
    TrajectoryEventSelection e;
    e.role = role;
    e.title = title;
    e.summary = summary;
    e.payload = std::move(payload);
    e.result = std::move(result);
    return e;
}

UserMessageItem user(qint64 n, const QString &text)
{
    UserMessageItem m;
    m.id = u"m-"_s + QString::number(n);
    m.text = text;
    m.sourceKind = u"user"_s;
    return m;
}

// A run of plain user messages, one event each: event i is "user-(i+1)".
std::vector<TranscriptItem> messages(qsizetype count, const std::function<QString(qsizetype)> &text)
{
    std::vector<TranscriptItem> items;
    items.reserve(size_t(count));
    for (qsizetype i = 0; i < count; ++i)
        items.emplace_back(user(i, text(i)));
    return items;
}

QStringList ids(const std::vector<TrajectoryLedgerItem> &rows)
{
    QStringList out;
    for (const auto &r : rows)
        out << r.id();
    return out;
}

QStringList userIds(std::initializer_list<qsizetype> events)
{
    QStringList out;
    for (qsizetype e : events)
        out << u"user-"_s + QString::number(e + 1);
    return out;
}

} // namespace

class TestTrajectorySearch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // One event among neighbours, so that a hit in the wrong place shows; the keys, the rule
    // for one event and the index must all give the expected answer.
    void hostileQueries_data()
    {
        QTest::addColumn<TrajectoryEventSelection>("probe");
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("expected");

        const QString pair = u"😀"_s;
        const QString longText(5000, u'a');
        QTest::newRow("empty query, empty fields") << fields({}, {}, {}) << QString() << true;
        QTest::newRow("empty query, no payload") << fields(u"A"_s, u"B"_s, u"C"_s) << QString() << true;
        QTest::newRow("whole field") << fields(u"TOOL"_s, u"x"_s, u"y"_s) << u"tool"_s << true;
        QTest::newRow("upper-case text") << fields(u"x"_s, u"READ_FILE"_s, u"y"_s) << u"read_file"_s << true;
        QTest::newRow("last unit of the last field") << fields(u"x"_s, u"y"_s, u"z"_s, {}, u"tail!"_s) << u"!"_s << true;
        QTest::newRow("first unit of the first field") << fields(u"#x"_s, u"y"_s, u"z"_s) << u"#"_s << true;
        QTest::newRow("across two fields") << fields(u"ab"_s, u"cd"_s, u"ef"_s) << u"bc"_s << false;
        QTest::newRow("across payload and result")
            << fields(u"r"_s, u"t"_s, u"s"_s, u"needle-he"_s, u"ad"_s) << u"head"_s << false;
        QTest::newRow("all fields end to end") << fields(u"ab"_s, u"cd"_s, u"ef"_s) << u"abcdef"_s << false;
        QTest::newRow("query longer than every field") << fields(u"abc"_s, u"abc"_s, u"abc"_s) << u"abcabcabcabc"_s << false;
        QTest::newRow("long query, one unit short")
            << fields(u"x"_s, u"y"_s, u"z"_s, longText.left(4999)) << longText << false;
        QTest::newRow("long query, exact") << fields(u"x"_s, u"y"_s, u"z"_s, longText) << longText << true;
        QTest::newRow("Chinese") << fields(u"x"_s, u"思考过程"_s, u"任务完成了"_s) << u"完成"_s << true;
        QTest::newRow("Chinese, no hit") << fields(u"x"_s, u"思考过程"_s, u"任务完成了"_s) << u"失败"_s << false;
        QTest::newRow("full-width capital") << fields(u"x"_s, u"ＡＢＣ"_s, u"y"_s) << u"ｂｃ"_s << true;
        QTest::newRow("composed query, decomposed text") << fields(u"x"_s, u"y"_s, u"Cafe\u0301"_s) << u"café"_s << true;
        QTest::newRow("decomposed query, composed text") << fields(u"x"_s, u"y"_s, u"Café"_s) << u"cafe\u0301"_s << true;
        QTest::newRow("base letter does not end a composed one") << fields(u"x"_s, u"y"_s, u"Café"_s) << u"cafe"_s << false;
        QTest::newRow("lone combining mark") << fields(u"x"_s, u"y"_s, u"Cafe\u0301"_s) << u"\u0301"_s << false;
        QTest::newRow("kana and voiced mark") << fields(u"x"_s, u"か\u3099"_s, u"y"_s) << u"が"_s << true;
        QTest::newRow("capital with a two-character small form") << fields(u"x"_s, u"İSTANBUL"_s, u"y"_s) << u"i"_s << true;
        QTest::newRow("pictograph") << fields(u"x"_s, u"ok "_s + pair, u"y"_s) << pair << true;
        QTest::newRow("half of a pair finds the pair") << fields(u"x"_s, pair, u"y"_s) << QString(pair[0]) << true;
        QTest::newRow("stray half, no pair") << fields(u"x"_s, QString(QChar(0xDE00)), u"y"_s) << QString(pair[0]) << false;
        QTest::newRow("line break in a payload") << fields(u"x"_s, u"y"_s, u"z"_s, u"one\ntwo"_s) << u"e\nt"_s << true;
    }

    void hostileQueries()
    {
        QFETCH(TrajectoryEventSelection, probe);
        QFETCH(QString, query);
        QFETCH(bool, expected);

        QCOMPARE(TrajectoryLedger::matches(probe, query), expected);
        const TrajectoryEventSelection neighbour = fields(u"USER"_s, u"用户消息"_s, u"---"_s);
        TrajectorySearchKeys keys;
        keys.add(neighbour);
        keys.add(probe);
        keys.add(neighbour);
        const bool neighbourHit = query.isEmpty();
        QCOMPARE(keys.matching(query), (std::vector<bool>{neighbourHit, expected, neighbourHit}));
        // A probe at the very start and at the very end of the keys.
        TrajectorySearchKeys alone;
        alone.add(probe);
        QCOMPARE(alone.matching(query), std::vector<bool>{expected});
    }

    // Hits on both sides of every boundary between segments of keys, in the first and last
    // event, for keys made ahead and keys made by the search itself.
    void hitsAtSegmentEdges()
    {
        constexpr qsizetype kSegment = TrajectorySearchSegments::kSegment;
        const std::initializer_list<qsizetype> hits{0, kSegment - 1, kSegment, 2 * kSegment - 1, 2 * kSegment,
                                                    2 * kSegment + 5};
        const qsizetype count = 2 * kSegment + 6;
        const auto items = messages(count, [&](qsizetype i) {
            return std::find(hits.begin(), hits.end(), i) != hits.end() ? u"A Needle here %1"_s.arg(i)
                                                                        : u"plain %1"_s.arg(i);
        });
        const QStringList expected = userIds(hits);

        const TrajectoryLedgerIndex onDemand(items, false);
        QCOMPARE(ids(onDemand.ledger(u"needle"_s, {})), expected);
        QCOMPARE(onDemand.eventCount(), count);

        const TrajectoryLedgerIndex ahead(items, false);
        ahead.prepareSearch();
        QTRY_VERIFY(ahead.isSearchPrepared());
        QCOMPARE(ids(ahead.ledger(u"needle"_s, {})), expected);
        const std::vector<bool> marks = ahead.timelineMatching(u"needle"_s);
        QCOMPARE(qsizetype(marks.size()), count);
        for (qsizetype i = 0; i < count; ++i)
            QCOMPARE(bool(marks[size_t(i)]), std::find(hits.begin(), hits.end(), i) != hits.end());
        // A later query over the same keys, and the empty one.
        QStringList plainOnes;
        for (qsizetype i = 0; i < count; ++i) {
            if (std::find(hits.begin(), hits.end(), i) == hits.end() && QString::number(i).startsWith(u'1'))
                plainOnes << u"user-"_s + QString::number(i + 1);
        }
        QCOMPARE(ids(ahead.ledger(u"plain 1"_s, {})), plainOnes);
        QCOMPARE(ids(ahead.ledger(QString(), {})).size(), count);
    }

    // While a run streams, each index replaces the last one before its keys are done, and the
    // replaced ones go away with their work still queued: every index must still answer as one
    // built afresh, and what is left running must not touch what went away.
    void keysMadeAheadWhileTheRunChanges()
    {
        constexpr qsizetype kSegment = TrajectorySearchSegments::kSegment;
        auto items = messages(3 * kSegment + 10, [](qsizetype i) { return u"Step %1 of the RUN"_s.arg(i); });
        const QStringList queries{u"step 30"_s, u"run"_s, u"step 3071"_s, u"changed"_s};
        std::unique_ptr<TrajectoryLedgerIndex> index;
        for (int round = 0; round < 12; ++round) {
            // Streamed text at the end, a new message, and now and then an edit early on.
            std::get<UserMessageItem>(items.back()).text += u" changed"_s;
            items.emplace_back(user(qint64(items.size()), u"step %1 new"_s.arg(round)));
            if (round % 4 == 2) // the first segment's answer to the search shown flips with it
                std::get<UserMessageItem>(items[1]).text = round % 8 == 2 ? u"early change"_s : u"step 1 again"_s;
            auto next = std::make_unique<TrajectoryLedgerIndex>(items, false, index.get());
            next->prepareSearch();
            index = std::move(next); // the replaced index goes, its keys perhaps half made
            // A search shown all along, its answer carried over from the index replaced, and
            // now and then others typed before it.
            QStringList asked{u"step 1"_s};
            if (round % 3 == 0)
                asked = queries + asked;
            const TrajectoryLedgerIndex fresh(items, false);
            for (const QString &query : asked) {
                QCOMPARE(ids(index->ledger(query, {})), ids(fresh.ledger(query, {})));
                QCOMPARE(index->timelineMatching(query), fresh.timelineMatching(query));
            }
        }
        // An index replacing one whose keys were never asked for, then one that is gone.
        const TrajectoryLedgerIndex unprepared(items, false);
        auto replacing = std::make_unique<TrajectoryLedgerIndex>(items, false, &unprepared);
        replacing->prepareSearch();
        TrajectoryLedgerIndex last(items, false, replacing.get());
        replacing.reset();
        last.prepareSearch();
        QTRY_VERIFY(last.isSearchPrepared());
        QCOMPARE(ids(last.ledger(u"changed"_s, {})), ids(unprepared.ledger(u"changed"_s, {})));
    }

    // An index with nothing in it, or none at all, searches to nothing.
    void emptyIndexes()
    {
        const TrajectoryLedgerIndex none;
        none.prepareSearch();
        QVERIFY(none.isSearchPrepared());
        QVERIFY(none.ledger(u"x"_s, {}).empty());
        QVERIFY(none.timelineMatching(u"x"_s).empty());
        const TrajectoryLedgerIndex empty(std::vector<TranscriptItem>{}, false);
        empty.prepareSearch();
        QTRY_VERIFY(empty.isSearchPrepared());
        QVERIFY(empty.ledger(u"x"_s, {}).empty());
        QVERIFY(empty.ledger(QString(), {}).empty());
    }
};

QTEST_GUILESS_MAIN(TestTrajectorySearch)
#include "tst_trajectorysearch.moc"
