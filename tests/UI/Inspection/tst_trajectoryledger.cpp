// The trajectory's ledger and strip as derived from a transcript, and the strip's geometry.

#include "UI/Inspection/TrajectoryLedger.h"
#include "UI/Inspection/TrajectoryTimelineGeometry.h"

#include <QLocale>

#include <algorithm>
#include <QtTest>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

namespace {

UserMessageItem user(const QString &text, const QString &source = u"user"_s)
{
    UserMessageItem m;
    m.id = u"m-"_s + text;
    m.text = text;
    m.sourceKind = source;
    return m;
}

BlockItem textBlock(qint64 index, const QString &text)
{
    BlockItem b;
    b.index = index;
    b.kind = BlockKind::text;
    b.text = text;
    return b;
}

BlockItem reasoningBlock(qint64 index, const QString &text)
{
    BlockItem b = textBlock(index, text);
    b.kind = BlockKind::reasoning;
    return b;
}

BlockItem toolBlock(qint64 index, std::optional<QString> name, const QString &arguments,
                    std::optional<QString> result = {}, bool error = false)
{
    BlockItem b;
    b.index = index;
    b.kind = BlockKind::toolCall;
    b.toolName = std::move(name);
    b.arguments = arguments;
    b.resultText = std::move(result);
    b.resultIsError = error;
    return b;
}

TurnItem turn(qint64 number, std::vector<StepItem> steps, TurnStatus status = TurnStatus::finished(TurnEndReason::completed))
{
    TurnItem t;
    t.turn = number;
    t.steps = std::move(steps);
    t.status = status;
    return t;
}

NoticeItem notice(const QString &id, const QString &text, std::optional<QString> detail = {},
                  NoticeTint tint = NoticeTint::neutral)
{
    NoticeItem n;
    n.id = id;
    n.text = text;
    n.detail = std::move(detail);
    n.tint = tint;
    return n;
}

QStringList ids(const std::vector<TrajectoryLedgerItem> &rows)
{
    QStringList out;
    for (const auto &r : rows)
        out << r.id();
    return out;
}

QStringList ids(const std::vector<TrajectoryTimelineEntry> &entries)
{
    QStringList out;
    for (const auto &e : entries)
        out << e.id();
    return out;
}

// Two plain messages around an injected one, a turn with reasoning, text and two tool calls
// (one finished, one failed), a running turn with a running call, and two notices.
std::vector<TranscriptItem> sampleTranscript()
{
    std::vector<TranscriptItem> items;
    items.emplace_back(user(u"Hello\nworld"_s));
    items.emplace_back(user(u"<context>"_s, u"context"_s));
    items.emplace_back(turn(1, {StepItem{1, {reasoningBlock(0, u"thinking"_s), textBlock(1, u"Reply"_s)}},
                                StepItem{2, {toolBlock(0, u"read_file"_s, u"{\"path\":\"a\"}"_s, u"contents A"_s),
                                             toolBlock(1, std::nullopt, u"args"_s, u"boom"_s, true)}}}));
    items.emplace_back(notice(u"n1"_s, u"Compacted"_s, u"Needle in detail"_s));
    items.emplace_back(user(u"second"_s));
    items.emplace_back(turn(2, {StepItem{1, {toolBlock(0, u"shell"_s, u"ls -la"_s)}}}, TurnStatus::running()));
    items.emplace_back(notice(u"n2"_s, u"Failed hard"_s, std::nullopt, NoticeTint::danger));
    return items;
}

} // namespace

class TestTrajectoryLedger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void previewRules_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QString a180 = QString(180, u'a');
        QTest::newRow("line feeds become blanks") << u"a\nb\n\nc"_s << u"a b  c"_s;
        QTest::newRow("ends trimmed") << u"  \n x y \n "_s << u"x y"_s;
        QTest::newRow("only blanks and newlines") << u" \n\t\n "_s << QString();
        QTest::newRow("exactly 180 kept whole") << a180 << a180;
        QTest::newRow("181 cut with ellipsis") << a180 + u'b' << a180 + u'…';
        QTest::newRow("trimmed to 180 is whole") << u"   "_s + a180 + u"\n\n"_s << a180;
        QTest::newRow("carriage return kept") << u"a\r\nb"_s << u"a\r b"_s;
        // 181 characters, each two UTF-16 units: counted as people count, not by units.
        const QString emoji = u"😀"_s;
        QTest::newRow("surrogate pairs") << emoji.repeated(181) << emoji.repeated(180) + u'…';
        const QString accented = u"e\u0301"_s; // e + combining acute: one character
        QTest::newRow("combining marks") << accented.repeated(180) << accented.repeated(180);
        QTest::newRow("combining marks cut") << accented.repeated(181) << accented.repeated(180) + u'…';
        QTest::newRow("CJK") << u"中"_s.repeated(181) << u"中"_s.repeated(180) + u'…';
        QTest::newRow("blanks after the cut") << a180 + u"  \n "_s << a180;
        QTest::newRow("blanks inside the cut") << a180 + u"  x"_s << a180 + u'…';
        QTest::newRow("CR LF is one character") << u"y"_s + u"\r\n"_s.repeated(100) + u"x"_s.repeated(100)
                                                << u"y"_s + u"\r "_s.repeated(100) + u"x"_s.repeated(79) + u'…';
        // Characters of many units each, more than the first look covers.
        const QString heavy = u"a\u0301\u0302\u0303\u0304\u0305\u0306\u0307\u0308\u0309"_s;
        QTest::newRow("long characters") << heavy.repeated(181) << heavy.repeated(180) + u'…';
        QTest::newRow("long characters whole") << heavy.repeated(180) << heavy.repeated(180);
    }
    void previewRules()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(TrajectoryLedger::preview(text), expected);
    }

    void toolSummaries()
    {
        QCOMPARE(TrajectoryLedger::toolSummary(toolBlock(0, u"x"_s, u"a\nb"_s)), u"运行中 · a b"_s);
        QCOMPARE(TrajectoryLedger::toolSummary(toolBlock(0, u"x"_s, u"a"_s, u"bad"_s, true)), u"失败 · bad"_s);
        QCOMPARE(TrajectoryLedger::toolSummary(toolBlock(0, u"x"_s, u"a"_s, u"ok"_s)), u"完成 · ok"_s);
        // An empty result is still a result.
        QCOMPARE(TrajectoryLedger::toolSummary(toolBlock(0, u"x"_s, u"a"_s, QString())), u"完成 · "_s);
    }

    void turnEventsExpandedAndCollapsed()
    {
        const TurnItem t = turn(3, {StepItem{2, {reasoningBlock(0, QString()), textBlock(1, u"hi"_s),
                                                 toolBlock(4, std::nullopt, u"args"_s),
                                                 toolBlock(5, u"grep"_s, u"q"_s, u"err"_s, true)}}});
        const auto expanded = TrajectoryLedger::turnEvents(t, false);
        QStringList got;
        for (const auto &e : expanded)
            got << e.id;
        QCOMPARE(got, (QStringList{u"turn-3-step-2-block-0"_s, u"turn-3-step-2-block-1"_s,
                                   u"turn-3-step-2-block-4-request"_s, u"turn-3-step-2-block-5-request"_s,
                                   u"turn-3-step-2-block-5-result"_s}));
        QCOMPARE(expanded[0].title, u"思考过程"_s);
        QCOMPARE(expanded[0].summary, u"进行中"_s);
        QCOMPARE(expanded[1].role, u"ASSISTANT"_s);
        QCOMPARE(expanded[1].title, u"回复"_s);
        QCOMPARE(expanded[2].role, u"ASSISTANT"_s); // the request half is the model's
        QCOMPARE(expanded[2].title, u"tool"_s);
        QCOMPARE(expanded[2].payload, std::optional(u"args"_s));
        QVERIFY(!expanded[2].result);
        QCOMPARE(expanded[4].role, u"TOOL"_s);
        QVERIFY(expanded[4].isError);
        QVERIFY(!expanded[4].payload);
        QCOMPARE(expanded[4].result, std::optional(u"err"_s));
        for (const auto &e : expanded) {
            QCOMPARE(e.turn, std::optional<qint64>(3));
            QCOMPARE(e.step, std::optional<qint64>(2));
        }

        const auto collapsed = TrajectoryLedger::turnEvents(t, true);
        QCOMPARE(collapsed.size(), size_t(4));
        QCOMPARE(collapsed[2].id, u"turn-3-step-2-block-4"_s);
        QCOMPARE(collapsed[2].role, u"TOOL"_s);
        QVERIFY(collapsed[2].summary.startsWith(u"运行中 · "_s));
        QVERIFY(!collapsed[2].result);
        QVERIFY(collapsed[3].summary.startsWith(u"失败 · "_s));
        QVERIFY(collapsed[3].isError);
        QCOMPARE(collapsed[3].payload, std::optional(u"q"_s));
    }

    void reasoningCountIsLocaleGrouped()
    {
        const TurnItem t = turn(1, {StepItem{1, {reasoningBlock(0, QString(1234, u'x'))}}});
        QCOMPARE(TrajectoryLedger::turnEvents(t, false)[0].summary, u"1,234 字符"_s);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(TrajectoryLedger::turnEvents(t, false)[0].summary, u"1.234 字符"_s);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void ledgerIdsAndCounters()
    {
        const auto rows = TrajectoryLedger::ledger(sampleTranscript(), QString(), {}, false);
        QCOMPARE(ids(rows), (QStringList{
            u"user-1"_s, u"turn-header-1"_s, u"turn-1-step-1-block-0"_s, u"turn-1-step-1-block-1"_s,
            u"turn-1-step-2-block-0-request"_s, u"turn-1-step-2-block-0-result"_s,
            u"turn-1-step-2-block-1-request"_s, u"turn-1-step-2-block-1-result"_s, u"notice-1-n1"_s,
            // the injected message did not move the user counter
            u"user-2"_s, u"turn-header-2"_s, u"turn-2-step-1-block-0-request"_s, u"notice-2-n2"_s}));
        QCOMPARE(rows[0].event().summary, u"Hello world"_s);
        QCOMPARE(rows[0].event().payload, std::optional(u"Hello\nworld"_s));
        QVERIFY(!rows[0].event().turn);
        QCOMPARE(rows[1].heading.visibleCount, 6);
        QCOMPARE(rows[10].heading.visibleCount, 1);
        QVERIFY(rows[10].heading.status.isRunning());
        const auto &n1 = rows[8].event();
        QCOMPARE(n1.role, u"SYSTEM"_s);
        QCOMPARE(n1.title, u"Compacted"_s);
        QCOMPARE(n1.summary, u"Needle in detail"_s);
        QVERIFY(!n1.isError);
        const auto &n2 = rows[12].event();
        QCOMPARE(n2.summary, u"Failed hard"_s); // no detail: the text
        QVERIFY(!n2.payload);
        QVERIFY(n2.isError);
        QVERIFY(TrajectoryLedger::ledger({}, QString(), {}, false).empty());
    }

    void searchFiltersAndOpensCollapsedTurns()
    {
        const auto items = sampleTranscript();
        const QSet<qint64> collapsed{1, 2};
        // Collapsed, no search: headings with their full counts, no events.
        auto rows = TrajectoryLedger::ledger(items, QString(), collapsed, false);
        QCOMPARE(ids(rows), (QStringList{u"user-1"_s, u"turn-header-1"_s, u"notice-1-n1"_s, u"user-2"_s,
                                         u"turn-header-2"_s, u"notice-2-n2"_s}));
        QCOMPARE(rows[1].heading.visibleCount, 6);

        // A search lists the matching events of a collapsed turn under its heading; turns
        // without a hit lose their heading.
        rows = TrajectoryLedger::ledger(items, u"contents"_s, collapsed, false);
        QCOMPARE(ids(rows), (QStringList{u"turn-header-1"_s, u"turn-1-step-2-block-0-result"_s}));
        QCOMPARE(rows[0].heading.visibleCount, 1);

        // Matching is against the lower-cased fields; the id is not searched.
        QCOMPARE(ids(TrajectoryLedger::ledger(items, u"needle"_s, {}, false)), QStringList{u"notice-1-n1"_s});
        QVERIFY(TrajectoryLedger::ledger(items, u"block"_s, {}, false).empty());
        QCOMPARE(ids(TrajectoryLedger::ledger(items, u"user"_s, {}, false)),
                 (QStringList{u"user-1"_s, u"user-2"_s}));
        // The user counter still counts messages the search hides.
        QCOMPARE(ids(TrajectoryLedger::ledger(items, u"second"_s, {}, false)), QStringList{u"user-2"_s});
        // Roles are searchable; "tool" also hits the unnamed tool's title.
        const auto tools = TrajectoryLedger::ledger(items, u"tool"_s, {}, true);
        QCOMPARE(ids(tools), (QStringList{u"turn-header-1"_s, u"turn-1-step-2-block-0"_s, u"turn-1-step-2-block-1"_s,
                                          u"turn-header-2"_s, u"turn-2-step-1-block-0"_s}));
    }

    void emptyTurnKeepsItsHeading()
    {
        std::vector<TranscriptItem> items;
        items.emplace_back(turn(7, {}, TurnStatus::running()));
        const auto rows = TrajectoryLedger::ledger(items, QString(), {}, false);
        QCOMPARE(ids(rows), QStringList{u"turn-header-7"_s});
        QCOMPARE(rows[0].heading.visibleCount, 0);
        QVERIFY(TrajectoryLedger::ledger(items, u"x"_s, {}, false).empty());
    }

    void matchingRules()
    {
        TrajectoryEventSelection e;
        e.id = u"secret-id"_s;
        e.role = u"TOOL"_s;
        e.title = u"Read_File"_s;
        e.summary = u"Café"_s;
        e.result = u"RESULT text"_s;
        QVERIFY(TrajectoryLedger::matches(e, QString()));
        QVERIFY(TrajectoryLedger::matches(e, u"read_file"_s));
        QVERIFY(TrajectoryLedger::matches(e, u"result t"_s));
        QVERIFY(!TrajectoryLedger::matches(e, u"secret"_s));
        // Canonically equivalent spellings match: a composed query finds a decomposed text
        // and the other way round.
        QVERIFY(TrajectoryLedger::matches(e, u"cafe\u0301"_s));
        e.summary = u"Cafe\u0301"_s;
        QVERIFY(TrajectoryLedger::matches(e, u"café"_s));
        QVERIFY(!TrajectoryLedger::matches(e, u"cafe "_s));
        // Singletons too: the Greek oxia is the acute accent.
        e.summary = u"10 \u1ffd"_s;
        QVERIFY(TrajectoryLedger::matches(e, u"10 \u00b4"_s));
        QCOMPARE(TrajectoryLedger::settledQuery(u"  ABC \n"_s), u"abc"_s);
        // The index built once filters the same way.
        const auto items = sampleTranscript();
        const TrajectoryLedgerIndex index(items, false);
        for (const QString &q : {u"cafe"_s, u"reply"_s, u"ls -la"_s, u"思考"_s, u"failed"_s})
            QCOMPARE(ids(index.ledger(q, {1})), ids(TrajectoryLedger::ledger(items, q, {1}, false)));
    }

    // The search over all events at once must answer exactly as the rule for one event:
    // across Latin-1 and other fields, upper case, composed and decomposed spellings, hits at
    // the edges of fields and never across two fields.
    void searchKeysAgreeWithTheMatchingRule()
    {
        // Full-width capitals, a kana with its combining voiced mark, Hangul, a capital whose
        // small letter is two characters, pictographs and Latin-1 capitals and signs, stray
        // halves of a surrogate pair (two of which can meet as one), two- and three-byte UTF-8,
        // runs of ASCII long enough to be taken many units at once, with the neighbours of A-Z.
        const QStringList pieces{u"a"_s, u"B"_s, u"é"_s, u"É"_s, u"e\u0301"_s, u"完"_s, u"成"_s, u" "_s, u"\n"_s,
                                 u"·"_s, u"x"_s, u"😀"_s, u"ß"_s, u"Ｂ"_s, u"ｂ"_s, u"か"_s, u"\u3099"_s, u"が"_s,
                                 u"한"_s, u"İ"_s, u"👍"_s, u"Ä"_s, u"×"_s, u"÷"_s, u"Þ"_s, u"ü"_s,
                                 QString(QChar(0xD83D)), QString(QChar(0xDE00)), u"ʃ"_s, u"€"_s,
                                 u"@AZ[`az{ Plain ASCII RUN"_s, u"0123456789abcdef"_s};
        // The rule written out: the query occurs in a field lower-cased and composed.
        auto key = [](const QString &text) { return text.toLower().normalized(QString::NormalizationForm_C); };
        auto reference = [&](const TrajectoryEventSelection &e, const QString &query) {
            if (query.isEmpty())
                return true;
            const QString needle = query.normalized(QString::NormalizationForm_C);
            return key(e.role).contains(needle) || key(e.title).contains(needle) || key(e.summary).contains(needle)
                || (e.payload && key(*e.payload).contains(needle)) || (e.result && key(*e.result).contains(needle));
        };
        quint32 seed = 20240611;
        auto next = [&seed](int bound) {
            seed = seed * 1664525u + 1013904223u;
            return int((seed >> 8) % quint32(bound));
        };
        auto text = [&](int maxPieces) {
            QString out;
            const int n = next(maxPieces + 1);
            for (int i = 0; i < n; ++i)
                out += pieces[next(int(pieces.size()))];
            return out;
        };
        std::vector<TrajectoryEventSelection> events;
        TrajectorySearchKeys keys;
        for (int i = 0; i < 400; ++i) {
            TrajectoryEventSelection e;
            e.id = u"id-"_s + QString::number(i);
            e.role = text(3);
            e.title = text(4);
            e.summary = text(6);
            if (next(3))
                e.payload = text(i % 7 == 0 ? 60 : 12); // some fields longer than a vector
            if (next(2))
                e.result = text(8);
            keys.add(e);
            events.push_back(e);
        }
        QCOMPARE(keys.size(), qsizetype(events.size()));
        for (int q = 0; q < 300; ++q) {
            const QString query = TrajectoryLedger::settledQuery(text(3));
            const std::vector<bool> found = keys.matching(query);
            for (size_t i = 0; i < events.size(); ++i) {
                const bool expected = reference(events[i], query);
                if (found[i] != expected || TrajectoryLedger::matches(events[i], query) != expected)
                    QFAIL(qPrintable(u"query \"%1\", event %2 %3%4%5 [%6|%7|%8|%9|%10]"_s.arg(query).arg(i).arg(found[i]).arg(TrajectoryLedger::matches(events[i], query)).arg(expected).arg(events[i].role, events[i].title, events[i].summary, events[i].payload.value_or(u"-"_s), events[i].result.value_or(u"-"_s))));
            }
        }

        // The end of one field and the start of the next are no hit.
        TrajectoryEventSelection e;
        e.role = u"ab"_s;
        e.title = u"cd"_s;
        e.payload = u"xyz"_s;
        TrajectorySearchKeys two;
        two.add(e);
        two.add(e);
        QCOMPARE(two.matching(u"bc"_s), (std::vector<bool>{false, false}));
        QCOMPARE(two.matching(u"zab"_s), (std::vector<bool>{false, false}));
        QCOMPARE(two.matching(u"xyz"_s), (std::vector<bool>{true, true}));
        QCOMPARE(two.matching(QString()), (std::vector<bool>{true, true}));
    }

    // Summaries are made when first read; rows of two builds of the same transcript compare
    // equal without making them, and a changed text makes them differ.
    void lazySummariesReadAsEagerOnes()
    {
        const auto items = sampleTranscript();
        const TrajectoryLedgerIndex first(items, false);
        const TrajectoryLedgerIndex second(items, false);
        const auto a = first.ledger(QString(), {});
        const auto b = second.ledger(QString(), {});
        QCOMPARE(a, b);
        QCOMPARE(a[0].event().summary, u"Hello world"_s);
        QCOMPARE(a, b); // one side made, the other not yet
        QCOMPARE(b[0].event().summary, u"Hello world"_s);
        const auto request = std::find_if(a.begin(), a.end(), [](const auto &r) { return r.id() == u"turn-2-step-1-block-0-request"_s; });
        QVERIFY(request != a.end());
        QCOMPARE(request->event().summary, u"ls -la"_s);
        QCOMPARE(TrajectoryLedger::turnEvents(std::get<TurnItem>(items[2]), false)[0].summary, u"8 字符"_s);

        auto changed = items;
        std::get<TurnItem>(changed[2]).steps[0].blocks[1].text = u"Reply, edited"_s;
        const auto c = TrajectoryLedgerIndex(changed, false).ledger(QString(), {});
        QCOMPARE(c.size(), a.size());
        for (size_t i = 0; i < a.size(); ++i)
            QCOMPARE(a[i] == c[i], a[i].id() != u"turn-1-step-1-block-1"_s);
        const auto reply = std::find_if(c.begin(), c.end(), [](const auto &r) { return r.id() == u"turn-1-step-1-block-1"_s; });
        QCOMPARE(reply->event().summary, u"Reply, edited"_s);
        // The strip's entries of two builds compare equal too.
        QCOMPARE(first.timeline(), second.timeline());
    }

    // A rebuilt index searched while the run streams takes over what the replaced one made of
    // the leading unchanged events; it must answer as an index built afresh, for the ledger
    // and the strip, whether the change is at the end, in the middle or in the call collapsing.
    void rebuiltIndexSearchesAsAFreshOne()
    {
        // Enough events for several segments of searchable fields.
        std::vector<TranscriptItem> items;
        for (qint64 t = 1; t <= 700; ++t) {
            items.emplace_back(user(u"ask %1"_s.arg(t)));
            items.emplace_back(turn(t, {StepItem{1, {reasoningBlock(0, u"plan %1 完成"_s.arg(t)),
                                                     toolBlock(1, u"read"_s, u"{\"path\":\"f%1\"}"_s.arg(t),
                                                               u"Needle %1"_s.arg(t % 7), t % 5 == 0)}}}));
        }
        const QStringList queries{u"needle 3"_s, u"完成"_s, u"tool"_s, u"f69"_s, u"失败"_s};
        auto agree = [&](const std::vector<TranscriptItem> &now, const TrajectoryLedgerIndex &previous, bool collapse) {
            for (const QString &query : queries) {
                const TrajectoryLedgerIndex rebuilt(now, collapse, &previous);
                const TrajectoryLedgerIndex fresh(now, collapse);
                if (ids(rebuilt.ledger(query, {})) != ids(fresh.ledger(query, {})))
                    return false;
                const std::vector<bool> marks = rebuilt.timelineMatching(query);
                if (marks.size() != rebuilt.timeline().size())
                    return false;
                for (size_t i = 0; i < marks.size(); ++i) {
                    if (marks[i] != TrajectoryLedger::matches(rebuilt.timeline()[i].event(), query))
                        return false;
                }
            }
            return true;
        };
        const TrajectoryLedgerIndex searched(items, false);
        (void)searched.ledger(u"needle"_s, {});
        (void)searched.timelineMatching(u"needle"_s);

        auto streamed = items;
        std::get<TurnItem>(streamed.back()).steps[0].blocks[0].text += u" Needle 3 more"_s;
        QVERIFY(agree(streamed, searched, false));
        auto grown = items;
        grown.emplace_back(turn(701, {StepItem{1, {toolBlock(0, u"shell"_s, u"ls"_s)}}}, TurnStatus::running()));
        QVERIFY(agree(grown, searched, false));
        // A change early in the run: nothing after it may be taken over.
        auto edited = items;
        std::get<TurnItem>(edited[5]).steps[0].blocks[1].resultText = u"Nothing here"_s;
        QVERIFY(agree(edited, searched, false));
        auto shorter = items;
        shorter.resize(300);
        QVERIFY(agree(shorter, searched, false));
        QVERIFY(agree(items, searched, true));
        // An index replacing one that was never searched, and the empty query.
        QVERIFY(agree(streamed, TrajectoryLedgerIndex(items, false), false));
        QCOMPARE(searched.timelineMatching(QString()), std::vector<bool>(searched.timeline().size(), true));
    }

    void timelineEntries()
    {
        auto items = sampleTranscript();
        // An empty reasoning block is counted in the strip, where the ledger says it is coming.
        std::get<TurnItem>(items[2]).steps[0].blocks[0].text.clear();
        const auto entries = TrajectoryLedger::timelineEvents(items, false);
        QCOMPARE(ids(entries), (QStringList{u"user-1"_s, u"turn-1-step-1-block-0"_s, u"turn-1-step-1-block-1"_s,
                                            u"turn-1-step-2-block-0-request"_s, u"turn-1-step-2-block-1-request"_s,
                                            u"user-2"_s, u"turn-2-step-1-block-0-request"_s}));
        QList<qint64> lanes;
        for (const auto &e : entries)
            lanes << e.lane;
        QCOMPARE(lanes, (QList<qint64>{0, 1, 1, 2, 2, 0, 2}));
        QCOMPARE(entries[1].event().summary, u"0 字符"_s);
        // A call's mark carries the whole call even when the ledger shows its halves.
        QCOMPARE(entries[4].event().role, u"TOOL"_s);
        QVERIFY(entries[4].event().isError);
        QVERIFY(entries[4].event().summary.startsWith(u"失败 · "_s));
        // Its id is the ledger's first row of that call in either collapse state.
        const auto ledgerIds = ids(TrajectoryLedger::ledger(items, QString(), {}, false));
        for (const auto &e : entries)
            QVERIFY2(ledgerIds.contains(e.id()), qPrintable(e.id()));
        // The index builds the same entries in the same walk as the ledger.
        QCOMPARE(TrajectoryLedgerIndex(items, false).timeline(), entries);
        QCOMPARE(TrajectoryLedgerIndex(items, true).timeline(), TrajectoryLedger::timelineEvents(items, true));
        const auto collapsedIds = ids(TrajectoryLedger::ledger(items, QString(), {}, true));
        for (const auto &e : TrajectoryLedger::timelineEvents(items, true))
            QVERIFY2(collapsedIds.contains(e.id()), qPrintable(e.id()));
    }

    // Events are kept compact and made whole when read: what the strip reads of a mark without
    // making it, and an event put in whole, read back as they are.
    void compactEventsReadBackWhole()
    {
        const auto items = sampleTranscript();
        for (bool collapse : {false, true}) {
            const TrajectoryLedgerIndex index(items, collapse);
            for (const TrajectoryTimelineEntry &entry : index.timeline()) {
                QCOMPARE(entry.turn(), entry.event().turn);
                QCOMPARE(entry.title(), entry.event().title);
                QCOMPARE(entry.isError(), entry.event().isError);
                QVERIFY(entry.idEquals(entry.event().id));
            }
        }

        // An absent payload is not an empty one; a turn may come without a step.
        TrajectoryEventSelection bare;
        bare.id = u"x-1"_s;
        bare.role = u"ODD"_s;
        bare.title = u"标题"_s;
        bare.turn = 4;
        bare.summary = u"given"_s;
        bare.result = QString();
        const auto withEmptyPayload = [&] {
            TrajectoryEventSelection e = bare;
            e.payload = QString();
            return e;
        }();
        const auto a = TrajectoryLedgerItem::eventItem(bare);
        const auto b = TrajectoryLedgerItem::eventItem(withEmptyPayload);
        QCOMPARE(a.event(), bare);
        QCOMPARE(b.event(), withEmptyPayload);
        QVERIFY(!(a == b));
        QVERIFY(a.sameItem(b));
        QVERIFY(a == TrajectoryLedgerItem::eventItem(bare));
        const TrajectoryTimelineEntry entry(bare, 1);
        QCOMPARE(entry.turn(), std::optional<qint64>(4));
        QCOMPARE(entry.event().step, std::nullopt);
        QCOMPARE(entry.id(), u"x-1"_s);
        // A given id equals a made one of the same text.
        const auto ledgerRows = TrajectoryLedger::ledger(items, QString(), {}, false);
        TrajectoryEventSelection copy = ledgerRows[2].event();
        QVERIFY(TrajectoryLedgerItem::eventItem(copy) == ledgerRows[2]);
        copy.summary += u"!"_s;
        QVERIFY(!(TrajectoryLedgerItem::eventItem(copy) == ledgerRows[2]));
        QVERIFY(TrajectoryLedgerItem::eventItem(copy).sameItem(ledgerRows[2]));
    }

    void stripGeometry()
    {
        // One entry on 544 pt: a 500 pt slot, a 9 pt mark centred in it.
        auto g = TrajectoryTimelineGeometry::make(544, 44, 1);
        QCOMPARE(g.slot, 500.0);
        QCOMPARE(g.mark, 9.0);
        QCOMPARE(g.inset, 245.5);
        QCOMPARE(g.markRect(0, 2), QRectF(44 + 245.5, 35, 9, 8));
        // 1,000 entries: half-point slots, marks at their 2 pt minimum without inset.
        g = TrajectoryTimelineGeometry::make(544, 44, 1000);
        QCOMPARE(g.slot, 0.5);
        QCOMPARE(g.gap, 0.06);
        QCOMPARE(g.mark, 2.0);
        QCOMPARE(g.inset, 0.0);
        // A strip narrower than its gutter still gets a 1 pt drawing area.
        QCOMPARE(TrajectoryTimelineGeometry::make(10, 44, 4).slot, 0.25);
    }

    void hitIndex()
    {
        using G = TrajectoryTimelineGeometry;
        QCOMPARE(G::indexAt(100, 544, 44, 0), std::nullopt);
        QCOMPARE(G::indexAt(43.9, 544, 44, 10), std::nullopt); // gutter
        QCOMPARE(G::indexAt(std::nan(""), 544, 44, 10), std::nullopt);
        QCOMPARE(G::indexAt(44, 544, 44, 10), std::optional<qsizetype>(0));
        QCOMPARE(G::indexAt(544, 544, 44, 10), std::optional<qsizetype>(9)); // right edge: last
        QCOMPARE(G::indexAt(5000, 544, 44, 10), std::optional<qsizetype>(9));
        QCOMPARE(G::indexAt(44 + 250, 544, 44, 2), std::optional<qsizetype>(1));
        QCOMPARE(G::indexAt(44 + 249.9, 544, 44, 2), std::optional<qsizetype>(0));
        QCOMPARE(G::indexAt(543.9, 544, 44, 1000), std::optional<qsizetype>(999));
        QCOMPARE(G::indexAt(std::numeric_limits<double>::infinity(), 544, 44, 3), std::optional<qsizetype>(2));
    }

    void opacityTurnLinesAndTooltip()
    {
        using G = TrajectoryTimelineGeometry;
        QCOMPARE(G::opacity(true, false, true, false), 1.0);
        QCOMPARE(G::opacity(false, true, true, false), 1.0);
        QCOMPARE(G::opacity(false, false, true, false), 0.14);
        QCOMPARE(G::opacity(false, false, true, true), 0.78);
        QCOMPARE(G::opacity(false, false, false, false), 0.78);

        const auto entries = TrajectoryLedger::timelineEvents(sampleTranscript(), false);
        // user-1 (no turn), turn 1 × 4, user-2 (no turn), turn 2: one line, on turn 2's first mark.
        QCOMPARE(G::turnLines(entries), std::vector<qsizetype>{6});
        QCOMPARE(G::tooltip(entries, std::nullopt), u"拖动日志前的轨迹总览"_s);
        QCOMPARE(G::tooltip(entries, 3), u"read_file"_s);
        // An index left over from a longer list marks nothing.
        QCOMPARE(G::tooltip(entries, 7), u"拖动日志前的轨迹总览"_s);
        QCOMPARE(G::tooltip(entries, -1), u"拖动日志前的轨迹总览"_s);
        QCOMPARE(G::tooltip({}, 0), u"拖动日志前的轨迹总览"_s);
    }
};

QTEST_GUILESS_MAIN(TestTrajectoryLedger)
#include "tst_trajectoryledger.moc"
