// The pure parts of the conversation: flattening the transcript into rows, the follow-output
// rules, the tool-call chip's derived texts and character counting.
#include "Domain/Graphemes.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/TranscriptFollowState.h"
#include "UI/Conversation/TranscriptRenderRow.h"
#include "UI/Conversation/TranscriptRowViews.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

UserMessageItem user(const QString &id, qint64 seq, const QString &sourceKind = u"user"_s)
{
    UserMessageItem u;
    u.id = id;
    u.seq = seq;
    u.text = u"hi "_s + id;
    u.sourceKind = sourceKind;
    return u;
}

NoticeItem notice(const QString &id, qint64 seq)
{
    NoticeItem n;
    n.id = id;
    n.seq = seq;
    n.text = u"notice "_s + id;
    return n;
}

BlockItem block(qint64 index, qint64 seq, BlockKind kind = BlockKind::text)
{
    BlockItem b;
    b.index = index;
    b.seq = seq;
    b.kind = kind;
    b.text = u"b"_s + QString::number(index);
    return b;
}

TurnItem turn(qint64 number, std::vector<StepItem> steps)
{
    TurnItem t;
    t.turn = number;
    t.steps = std::move(steps);
    return t;
}

StepItem step(qint64 number, std::vector<BlockItem> blocks)
{
    StepItem s;
    s.step = number;
    s.blocks = std::move(blocks);
    return s;
}

QStringList ids(const std::vector<TranscriptRenderRow> &rows)
{
    QStringList out;
    for (const auto &row : rows)
        out << row.id;
    return out;
}

QList<int> spacings(const std::vector<TranscriptRenderRow> &rows)
{
    QList<int> out;
    for (const auto &row : rows)
        out << row.leadingSpacing;
    return out;
}

QStringList endpoints(const std::vector<TranscriptRenderRow> &rows)
{
    QStringList out;
    for (const auto &row : rows)
        if (row.isStreamingEndpoint)
            out << row.id;
    return out;
}

BlockItem toolBlock(std::optional<JSONValue> callView, std::optional<JSONValue> resultView,
                    std::optional<QString> toolName = std::nullopt)
{
    BlockItem b;
    b.kind = BlockKind::toolCall;
    b.callView = std::move(callView);
    b.resultView = std::move(resultView);
    b.toolName = std::move(toolName);
    return b;
}

} // namespace

class tst_TranscriptRows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rowsOfItems_data();
    void rowsOfItems();
    void rowsKeepPayloadsAndCompareEqualWhenRebuilt();
    void userIdsCannotCollideWithOtherRows();
    void blockIds_data();
    void blockIds();
    void keptRowsEqualAFreshBuild();

    void followRules();
    void nearBottom_data();
    void nearBottom();

    void chipTitle_data();
    void chipTitle();
    void chipStatus();
    void rowNames_data();
    void rowNames();
    void argumentsPreview_data();
    void argumentsPreview();
    void toolIcon_data();
    void toolIcon();

    void graphemes();
};

void tst_TranscriptRows::rowsOfItems_data()
{
    QTest::addColumn<std::vector<TranscriptItem>>("items");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QList<int>>("spacing");
    QTest::addColumn<QStringList>("endpoints");

    QTest::newRow("empty") << std::vector<TranscriptItem>{} << QStringList{} << QList<int>{} << QStringList{};
    QTest::newRow("only messages of other sources")
        << std::vector<TranscriptItem>{user(u"a"_s, 1, u"agent"_s), user(u"b"_s, 2, u"system"_s)} << QStringList{}
        << QList<int>{} << QStringList{};
    QTest::newRow("turn without steps, turn of empty steps")
        << std::vector<TranscriptItem>{turn(1, {}), turn(2, {step(1, {}), step(2, {})})} << QStringList{} << QList<int>{}
        << QStringList{};
    QTest::newRow("one turn: first block 16, following blocks 12, last block is the endpoint")
        << std::vector<TranscriptItem>{user(u"m1"_s, 1), turn(1, {step(1, {block(0, 3), block(1, 4)}), step(2, {block(0, 6)})})}
        << QStringList{u"user-m1"_s, u"turn-1-step-1-block-0"_s, u"turn-1-step-1-block-1"_s, u"turn-1-step-2-block-0"_s}
        << QList<int>{16, 16, 12, 12} << QStringList{u"turn-1-step-2-block-0"_s};
    QTest::newRow("empty last step: rows but no endpoint")
        << std::vector<TranscriptItem>{turn(4, {step(1, {block(0, 3)}), step(2, {})})}
        << QStringList{u"turn-4-step-1-block-0"_s} << QList<int>{16} << QStringList{};
    QTest::newRow("only the last turn item carries the endpoint")
        << std::vector<TranscriptItem>{turn(1, {step(1, {block(0, 2)})}), user(u"m2"_s, 5), turn(2, {step(1, {block(0, 7)})})}
        << QStringList{u"turn-1-step-1-block-0"_s, u"user-m2"_s, u"turn-2-step-1-block-0"_s} << QList<int>{16, 16, 16}
        << QStringList{u"turn-2-step-1-block-0"_s};
    QTest::newRow("a notice between two blocks splits the turn: the block after it gets 16")
        << std::vector<TranscriptItem>{turn(1, {step(1, {block(0, 2), block(1, 8)})}), notice(u"n"_s, 5)}
        << QStringList{u"turn-1-step-1-block-0"_s, u"notice-n"_s, u"turn-1-step-1-block-1"_s} << QList<int>{16, 16, 16}
        << QStringList{u"turn-1-step-1-block-1"_s};
    QTest::newRow("same seq: the row made first comes first")
        << std::vector<TranscriptItem>{notice(u"n"_s, 4), turn(1, {step(1, {block(0, 4)})}), user(u"u"_s, 4)}
        << QStringList{u"notice-n"_s, u"turn-1-step-1-block-0"_s, u"user-u"_s} << QList<int>{16, 16, 16}
        << QStringList{u"turn-1-step-1-block-0"_s};
    QTest::newRow("a later user message follows the newest turn's blocks")
        << std::vector<TranscriptItem>{user(u"late"_s, 99), turn(3, {step(2, {block(5, 10), block(6, 11)})})}
        << QStringList{u"turn-3-step-2-block-5"_s, u"turn-3-step-2-block-6"_s, u"user-late"_s} << QList<int>{16, 12, 16}
        << QStringList{u"turn-3-step-2-block-6"_s};
    QTest::newRow("blocks of two turns next to each other both start at 16")
        << std::vector<TranscriptItem>{turn(1, {step(1, {block(0, 1)})}), turn(2, {step(1, {block(0, 2)})})}
        << QStringList{u"turn-1-step-1-block-0"_s, u"turn-2-step-1-block-0"_s} << QList<int>{16, 16}
        << QStringList{u"turn-2-step-1-block-0"_s};
}

void tst_TranscriptRows::rowsOfItems()
{
    QFETCH(std::vector<TranscriptItem>, items);
    QFETCH(QStringList, ids);
    QFETCH(QList<int>, spacing);
    QFETCH(QStringList, endpoints);
    const auto rows = TranscriptRenderRow::make(items);
    QCOMPARE(::ids(rows), ids);
    QCOMPARE(spacings(rows), spacing);
    QCOMPARE(::endpoints(rows), endpoints);
}

void tst_TranscriptRows::rowsKeepPayloadsAndCompareEqualWhenRebuilt()
{
    BlockItem tool = block(1, 5, BlockKind::toolCall);
    tool.toolName = u"bash"_s;
    tool.resultText = u"ok"_s;
    const std::vector<TranscriptItem> items{user(u"a"_s, 1), turn(1, {step(1, {block(0, 2), tool})}), notice(u"n"_s, 9)};
    const auto first = TranscriptRenderRow::make(items);
    const auto again = TranscriptRenderRow::make(items);
    QVERIFY(first == again);
    QVERIFY(*first[2].block() == tool);
    QCOMPARE(first[0].user()->text, u"hi a"_s);
    QCOMPARE(first[3].notice()->id, u"n"_s);

    // A streamed delta changes exactly the row it lands in.
    auto changed = items;
    std::get<TurnItem>(changed[1]).steps[0].blocks[1].resultText = u"ok!"_s;
    const auto after = TranscriptRenderRow::make(changed);
    int differing = 0;
    for (size_t i = 0; i < after.size(); ++i)
        differing += after[i] == first[i] ? 0 : 1;
    QCOMPARE(differing, 1);
}

void tst_TranscriptRows::userIdsCannotCollideWithOtherRows()
{
    // Ids chosen to look like the other rows' ids.
    const std::vector<TranscriptItem> items{user(u"notice-x"_s, 1), notice(u"x"_s, 2), user(u"turn-1-step-1-block-0"_s, 3),
                                            turn(1, {step(1, {block(0, 4)})})};
    const QStringList rowIds = ids(TranscriptRenderRow::make(items));
    QCOMPARE(rowIds.size(), 4);
    QCOMPARE(QSet<QString>(rowIds.begin(), rowIds.end()).size(), 4);
}

void tst_TranscriptRows::followRules()
{
    using F = TranscriptFollowState;
    const F::Geometry atBottom{2000, 500, 2000};
    const F::Geometry within72{2000, 500, 1930};
    const F::Geometry farUp{2000, 500, 900};

    F state;
    QVERIFY(state.following());
    QCOMPARE(state.appeared(atBottom), F::Scroll::Jump);
    QCOMPARE(state.transcriptRevisionChanged(), F::Scroll::Jump);

    // Dragging turns following off at once, even before the view moved.
    state.phaseChanged(F::Phase::Tracking, atBottom);
    QVERIFY(!state.following());
    state.geometryChanged(farUp);
    QCOMPARE(state.transcriptRevisionChanged(), F::Scroll::None);
    QCOMPARE(state.steeringCountChanged(), F::Scroll::None);
    QCOMPARE(state.runningChanged(true), F::Scroll::None);
    // Released far up: stays off.
    state.phaseChanged(F::Phase::Idle, farUp);
    QVERIFY(!state.following());
    // A programmatic scroll does not change it either way.
    state.phaseChanged(F::Phase::Animating, farUp);
    QVERIFY(!state.following());
    state.phaseChanged(F::Phase::Idle, farUp);

    // Released within 72 of the end: on again.
    state.phaseChanged(F::Phase::Interacting, farUp);
    state.geometryChanged(farUp);
    state.phaseChanged(F::Phase::Idle, within72);
    QVERIFY(state.following());
    QCOMPARE(state.steeringCountChanged(), F::Scroll::Animated);
    QCOMPARE(state.runningChanged(true), F::Scroll::Animated);
    QCOMPARE(state.runningChanged(false), F::Scroll::None);

    // Coming near the end by any means turns it on; leaving it does not turn it off.
    state.phaseChanged(F::Phase::Decelerating, within72);
    QVERIFY(!state.following());
    state.geometryChanged(farUp);
    QVERIFY(!state.following());
    state.geometryChanged(within72);
    QVERIFY(state.following());
    state.geometryChanged(farUp);
    QVERIFY(state.following());

    // The back-to-latest button.
    state.phaseChanged(F::Phase::Tracking, farUp);
    QVERIFY(!state.following());
    QCOMPARE(state.backToLatestPressed(), F::Scroll::Animated);
    QVERIFY(state.following());
}

void tst_TranscriptRows::nearBottom_data()
{
    QTest::addColumn<double>("content");
    QTest::addColumn<double>("container");
    QTest::addColumn<double>("visibleMaxY");
    QTest::addColumn<bool>("near");
    QTest::newRow("content fits") << 500.0 << 500.0 << 500.0 << true;
    QTest::newRow("fits within one point") << 501.0 << 500.0 << 0.0 << true;
    QTest::newRow("two points too tall, at the top") << 502.0 << 500.0 << 500.0 << true;
    QTest::newRow("exactly 72 above the end") << 2000.0 << 500.0 << 1928.0 << true;
    QTest::newRow("73 above the end") << 2000.0 << 500.0 << 1927.0 << false;
    QTest::newRow("empty") << 0.0 << 0.0 << 0.0 << true;
}

void tst_TranscriptRows::nearBottom()
{
    QFETCH(double, content);
    QFETCH(double, container);
    QFETCH(double, visibleMaxY);
    QFETCH(bool, near);
    QCOMPARE(TranscriptFollowState::isNearBottom({content, container, visibleMaxY}), near);
}

void tst_TranscriptRows::chipTitle_data()
{
    QTest::addColumn<BlockItem>("block");
    QTest::addColumn<QString>("title");
    const JSONValue callTitled = JSONValue::object({{u"title"_s, u"call title"_s}});
    const JSONValue resultTitled = JSONValue::object({{u"title"_s, u"result title"_s}});
    const JSONValue resultNumberTitle = JSONValue::object({{u"title"_s, JSONValue(3)}});
    QTest::newRow("nothing: tool") << toolBlock({}, {}) << u"tool"_s;
    QTest::newRow("tool name") << toolBlock({}, {}, u"bash"_s) << u"bash"_s;
    QTest::newRow("call title over the name") << toolBlock(callTitled, {}, u"bash"_s) << u"call title"_s;
    QTest::newRow("result title wins") << toolBlock(callTitled, resultTitled, u"bash"_s) << u"result title"_s;
    QTest::newRow("unusable result title falls back to the call's") << toolBlock(callTitled, resultNumberTitle) << u"call title"_s;
    QTest::newRow("empty title is used") << toolBlock(JSONValue::object({{u"title"_s, u""_s}}), {}, u"bash"_s) << QString();
    QTest::newRow("presentation not an object") << toolBlock(JSONValue(u"title"_s), {}, u"read"_s) << u"read"_s;
}

void tst_TranscriptRows::chipTitle()
{
    QFETCH(BlockItem, block);
    QFETCH(QString, title);
    QCOMPARE(ToolCallChip::presentationTitle(block), title);
}

void tst_TranscriptRows::chipStatus()
{
    BlockItem b = toolBlock({}, {});
    QCOMPARE(ToolCallChip::statusLabel(b).value_or(QString()), u"运行中"_s);
    b.resultText = QString(); // an empty result is a result
    QVERIFY(!ToolCallChip::statusLabel(b).has_value());
    b.resultIsError = true;
    QCOMPARE(ToolCallChip::statusLabel(b).value_or(QString()), u"失败"_s);
    // The result's presentation replaces the call's.
    b.callView = JSONValue::object({{u"card"_s, u"terminal"_s}});
    QVERIFY(ToolCallChip::presentation(b) == b.callView);
    b.resultView = JSONValue::object({{u"card"_s, u"diff"_s}});
    QVERIFY(ToolCallChip::presentation(b) == b.resultView);
}

// What a screen reader reads for a row: a message's words as shown, a tool call's title and
// status, a notice with its detail.
void tst_TranscriptRows::rowNames_data()
{
    QTest::addColumn<TranscriptRenderRow>("row");
    QTest::addColumn<QString>("name");
    auto blockRow = [](BlockItem b) { return TranscriptRenderRow{u"b"_s, std::move(b)}; };
    BlockItem text = block(1, 1);
    text.text = u"**结论**：见 [文档](https://example.org/x)\n\n| a | b |"_s;
    QTest::newRow("markdown message") << blockRow(text) << u"结论：见 文档\n| a | b |"_s;
    BlockItem running = toolBlock(JSONValue::object({{u"title"_s, u"构建"_s}}), {}, u"bash"_s);
    QTest::newRow("running tool") << blockRow(running) << u"\u2068构建\u2069，运行中"_s;
    BlockItem failed = toolBlock({}, {}, u"bash"_s);
    failed.resultText = u"exit 1"_s;
    failed.resultIsError = true;
    QTest::newRow("failed tool") << blockRow(failed) << u"\u2068bash\u2069，失败"_s;
    BlockItem done = toolBlock({}, JSONValue::object({{u"title"_s, u"编辑 a.cpp"_s}}));
    done.resultText = u"ok"_s;
    QTest::newRow("finished tool") << blockRow(done) << u"\u2068编辑 a.cpp\u2069"_s;
    UserMessageItem u = user(u"u1"_s, 1);
    u.text = u"**原样**"_s;
    QTest::newRow("user text as typed") << TranscriptRenderRow{u"u"_s, u} << u"**原样**"_s;
    NoticeItem n = notice(u"n1"_s, 1);
    n.detail = u"细节"_s;
    QTest::newRow("notice with detail") << TranscriptRenderRow{u"n"_s, n} << u"notice n1，细节"_s;
}

void tst_TranscriptRows::rowNames()
{
    QFETCH(TranscriptRenderRow, row);
    QFETCH(QString, name);
    QCOMPARE(TranscriptRenderRowView::rowText(row), name);
}

void tst_TranscriptRows::argumentsPreview_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("preview");
    const QString eightyEight(88, u'a');
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("blanks only") << u" \t \n "_s << QString();
    QTest::newRow("line feeds become blanks, ends trimmed") << u"  {\"a\":\n1}\t"_s << u"{\"a\": 1}"_s;
    QTest::newRow("88 characters: no ellipsis") << eightyEight << eightyEight;
    QTest::newRow("89 characters: 88 and an ellipsis") << eightyEight + u'b' << eightyEight + u"…"_s;
    QTest::newRow("88 after trimming") << u"  "_s + eightyEight + u"\n"_s << eightyEight;
    // Characters as a person counts them: 89 emoji with modifiers cut after 88.
    QString emoji;
    for (int i = 0; i < 89; ++i)
        emoji += u"👍🏽"_s;
    QTest::newRow("89 emoji") << emoji << emoji.left(88 * 4) + u"…"_s;
    QTest::newRow("CJK") << u"读取配置"_s << u"读取配置"_s;
}

void tst_TranscriptRows::argumentsPreview()
{
    QFETCH(QString, arguments);
    QFETCH(QString, preview);
    QCOMPARE(ToolCallChip::argumentsPreview(arguments), preview);
}

void tst_TranscriptRows::toolIcon_data()
{
    QTest::addColumn<BlockItem>("block");
    QTest::addColumn<QString>("icon");
    const auto card = [](const JSONValue &value) { return JSONValue::object({{u"card"_s, value}}); };
    QTest::newRow("no name: wrench") << toolBlock({}, {}) << u"wrench.and.screwdriver"_s;
    QTest::newRow("bash") << toolBlock({}, {}, u"bash"_s) << u"terminal"_s;
    QTest::newRow("exec") << toolBlock({}, {}, u"exec"_s) << u"terminal"_s;
    QTest::newRow("write") << toolBlock({}, {}, u"write"_s) << u"doc.text"_s;
    QTest::newRow("grep") << toolBlock({}, {}, u"grep"_s) << u"magnifyingglass"_s;
    QTest::newRow("names compare exactly") << toolBlock({}, {}, u"Bash"_s) << u"wrench.and.screwdriver"_s;
    QTest::newRow("diff card wins over the name") << toolBlock(card(u"diff"_s), {}, u"bash"_s) << u"doc.badge.plus"_s;
    QTest::newRow("web card") << toolBlock(card(u"web"_s), {}) << u"globe"_s;
    QTest::newRow("unknown card: the name decides") << toolBlock(card(u"chart"_s), {}, u"edit"_s) << u"doc.text"_s;
    QTest::newRow("card not a string: the name decides") << toolBlock(card(JSONValue(1)), {}, u"edit"_s) << u"doc.text"_s;
    QTest::newRow("the result's card is the one read")
        << toolBlock(card(u"terminal"_s), card(u"search"_s), u"read"_s) << u"magnifyingglass"_s;
}

void tst_TranscriptRows::toolIcon()
{
    QFETCH(BlockItem, block);
    QFETCH(QString, icon);
    QCOMPARE(ToolCallChip::toolIcon(block), icon);
}

void tst_TranscriptRows::graphemes()
{
    QCOMPARE(Graphemes::count(u"思考了"_s), 3);
    QCOMPARE(Graphemes::count(u"a\r\nb"_s), 3);
    QCOMPARE(Graphemes::count(u"e\u0301"_s), 1);
    QCOMPARE(Graphemes::prefix(u"e\u0301xyz"_s, 2), u"e\u0301x"_s);
    QCOMPARE(Graphemes::prefix(u"abc"_s, 10), u"abc"_s);
    QCOMPARE(Graphemes::prefix(u"abc"_s, 0), QString());
}

void tst_TranscriptRows::blockIds_data()
{
    QTest::addColumn<qint64>("turn");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<qint64>("index");
    QTest::addColumn<QString>("id");
    QTest::newRow("zeros") << qint64(0) << qint64(0) << qint64(0) << u"turn-0-step-0-block-0"_s;
    QTest::newRow("digits") << qint64(2501) << qint64(10) << qint64(907) << u"turn-2501-step-10-block-907"_s;
    QTest::newRow("negative") << qint64(-3) << qint64(1) << qint64(-40) << u"turn--3-step-1-block--40"_s;
    QTest::newRow("extremes") << std::numeric_limits<qint64>::max() << std::numeric_limits<qint64>::min() << qint64(1)
                              << u"turn-9223372036854775807-step--9223372036854775808-block-1"_s;
}

// Ids are the decimal numbers of the block's place, also at the ends of the range.
void tst_TranscriptRows::blockIds()
{
    QFETCH(qint64, turn);
    QFETCH(qint64, step);
    QFETCH(qint64, index);
    QFETCH(QString, id);
    QCOMPARE(TranscriptRenderRow::blockId(turn, step, index), id);
}

// A session changing the way a live one does, publish after publish: the rows kept from the
// previous publish plus the rows made again always equal the rows made from scratch.
void tst_TranscriptRows::keptRowsEqualAFreshBuild()
{
    std::vector<TranscriptItem> items{user(u"a"_s, 1), turn(1, {step(1, {block(0, 2), block(1, 3)})}), notice(u"n"_s, 4),
                                      user(u"b"_s, 5), turn(2, {step(1, {block(0, 6)})})};
    TranscriptRowCache cache;
    std::vector<TranscriptItem> seen;
    auto publish = [&](const char *what) {
        // What the session model reports: the first position that differs from before.
        size_t from = std::min(seen.size(), items.size());
        for (size_t i = 0; i < from; ++i) {
            if (!(seen[i] == items[i])) {
                from = i;
                break;
            }
        }
        const size_t firstRow = cache.update(items, from);
        const auto fresh = TranscriptRenderRow::make(items);
        QVERIFY2(cache.rows() == fresh, what);
        QVERIFY2(firstRow <= fresh.size(), what);
        seen = items;
    };
    auto lastTurn = [&]() -> TurnItem & { return std::get<TurnItem>(items.back()); };

    publish("first");
    lastTurn().steps[0].blocks[0].text += u" more"_s;
    publish("a delta in the streaming block");
    publish("nothing changed");
    lastTurn().steps[0].blocks.push_back(block(1, 7, BlockKind::toolCall));
    publish("a new block in the same step");
    lastTurn().steps.push_back(step(2, {}));
    publish("an empty new step: the endpoint goes");
    lastTurn().steps[1].blocks.push_back(block(0, 8));
    publish("its first block");
    items.push_back(notice(u"late"_s, 9));
    publish("a notice after the turn");
    std::get<TurnItem>(items[4]).steps[1].blocks[0].text += u"!"_s;
    publish("a delta in a turn that is not the last item");
    items.push_back(user(u"c"_s, 10));
    items.push_back(turn(3, {step(1, {block(0, 11)})}));
    publish("a new turn takes the endpoint");
    items.push_back(user(u"early"_s, 3));
    publish("a message numbered before earlier rows sorts into place");
    std::get<TurnItem>(items[7]).steps[0].blocks[0].text += u"?"_s;
    publish("a delta while the rows are out of item order");
    items.erase(items.begin() + 7, items.end());
    publish("items gone from the end");
    items.erase(items.begin());
    publish("the first item gone");
    items.clear();
    publish("everything gone");
    items.push_back(turn(1, {step(1, {block(0, 1)})}));
    publish("a new start");
    items.push_back(turn(1, {step(2, {block(0, 2)})}));
    publish("a second item of the same turn continues it");
    std::get<TurnItem>(items[1]).steps[0].blocks[0].text += u"."_s;
    publish("a delta in it");
    items.push_back(user(u"d"_s, 20));
    items.push_back(turn(2, {step(1, {block(0, 21)})}));
    publish("a new turn after two items of the turn before it");
    items.push_back(turn(1, {step(3, {block(0, 22)})}));
    publish("an earlier turn's number is the newest again");
    items.push_back(turn(1, {step(4, {block(0, 23)})}));
    publish("and once more");
}

QTEST_GUILESS_MAIN(tst_TranscriptRows)
#include "tst_transcriptrows.moc"
