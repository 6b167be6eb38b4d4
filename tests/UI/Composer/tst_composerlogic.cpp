// What the composer, the goal banner and the question card decide, apart from their widgets.
#include "UI/Composer/ComposerLogic.h"
#include "UI/Composer/GoalLogic.h"
#include "UI/Composer/QuestionFlow.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

SelectedSubagent subagent(bool parentAvailable)
{
    SelectedSubagent s;
    s.address = {u"parent"_s, u"child"_s, u"continuable"_s};
    s.label = u"审查代理"_s;
    s.parentAvailable = parentAvailable;
    return s;
}

PermissionState permissions(std::vector<std::pair<QString, QString>> options, QString current)
{
    PermissionState state;
    for (auto &[value, name] : options)
        state.options.push_back(PermissionOption{value, name, std::nullopt});
    state.currentValue = std::move(current);
    return state;
}

PendingQuestion::AskUserQuestion ask(QString id, QStringList labels, bool multi = false)
{
    PendingQuestion::AskUserQuestion q;
    q.id = id;
    q.question = u"问题 "_s + id;
    q.multiSelect = multi;
    for (const QString &label : labels)
        q.options.push_back({label, label, std::nullopt});
    return q;
}

PendingQuestion questionSet(QString id, std::vector<PendingQuestion::AskUserQuestion> questions)
{
    PendingQuestion p;
    p.id = id;
    p.rpcId = id;
    p.sessionId = u"s1"_s;
    p.questions = std::move(questions);
    return p;
}

GoalSnapshot goalSnapshot(QString id, QString phase, std::optional<QString> blocked = std::nullopt)
{
    GoalSnapshot g;
    g.id = std::move(id);
    g.revision = 3;
    g.objective = u"让测试全部通过"_s;
    g.phase = std::move(phase);
    g.blockedReason = std::move(blocked);
    return g;
}

std::vector<TodoItem> todos(QStringList statuses)
{
    std::vector<TodoItem> items;
    int n = 0;
    for (const QString &status : statuses)
        items.push_back(TodoItem{u"任务 "_s + QString::number(++n), status});
    return items;
}

} // namespace

class tst_ComposerLogic : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // ---- Composer ----

    void canSendNeedsAVisibleCharacter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("blanks, tabs, line breaks") << u" \t\n\r\n  "_s << false;
        QTest::newRow("ideographic space and separators") << u"\u3000\u2028\u2029\u00a0"_s << false;
        QTest::newRow("word with blanks around") << u"  word\n"_s << true;
        QTest::newRow("one CJK character") << u"好"_s << true;
        QTest::newRow("zero-width joiner is visible text") << u"\u200d"_s << true;
    }

    void canSendNeedsAVisibleCharacter()
    {
        QFETCH(QString, text);
        QFETCH(bool, expected);
        QCOMPARE(composer::canSend(text, std::nullopt), expected);
        QCOMPARE(composer::canSend(text, subagent(true)), expected);
        // A subagent whose parent is gone takes nothing, whatever the text.
        QCOMPARE(composer::canSend(text, subagent(false)), false);
    }

    void placeholderAndFieldFollowTheSubagent()
    {
        QCOMPARE(composer::placeholder(std::nullopt), u"询问 Nimbrel Deck"_s);
        QCOMPARE(composer::placeholder(subagent(true)), u"继续此子代理"_s);
        QCOMPARE(composer::placeholder(subagent(false)), u"父会话当前不可用"_s);
        QVERIFY(composer::promptFieldEnabled(std::nullopt));
        QVERIFY(composer::promptFieldEnabled(subagent(true)));
        QVERIFY(!composer::promptFieldEnabled(subagent(false)));
        QCOMPARE(composer::actionButtonMode(true), composer::ActionButtonMode::Stop);
        QCOMPARE(composer::actionButtonMode(false), composer::ActionButtonMode::Send);
        QCOMPARE(composer::visiblePromptLines(0), 1);
        QCOMPARE(composer::visiblePromptLines(5), 5);
        QCOMPARE(composer::visiblePromptLines(40), 14);
    }

    void modelLabelAndCheckmark()
    {
        QCOMPARE(composer::modelLabel(std::nullopt), u"模型"_s);
        SessionModelsValue catalog;
        catalog.current = {u"openrouter"_s, u"vendor/family/model-x"_s, std::nullopt};
        QCOMPARE(composer::modelLabel(catalog), u"model-x"_s);
        catalog.current.model = u"plain"_s;
        QCOMPARE(composer::modelLabel(catalog), u"plain"_s);
        catalog.current.model = u"ends/"_s;
        QCOMPARE(composer::modelLabel(catalog), QString());

        // The same model id under two providers: only the current provider's is checked.
        catalog.current = {u"b"_s, u"m"_s, std::nullopt};
        const ModelCatalogModel model{u"m"_s, u"M"_s, std::nullopt, std::nullopt};
        const ModelProviderGroup a{u"a"_s, u"A"_s, {model}};
        const ModelProviderGroup b{u"b"_s, u"B"_s, {model}};
        QVERIFY(!composer::isCurrentModel(catalog, a, model));
        QVERIFY(composer::isCurrentModel(catalog, b, model));
    }

    void runModeButtonAndCommands()
    {
        QCOMPARE(composer::runModeButton(false, false), (composer::RunModeButton{u"terminal"_s, u"Agent"_s}));
        QCOMPARE(composer::runModeButton(true, false), (composer::RunModeButton{u"map"_s, u"计划"_s}));
        QCOMPARE(composer::runModeButton(true, true), (composer::RunModeButton{u"map"_s, u"切换中"_s}));
        QCOMPARE(composer::runModeButton(false, true), (composer::RunModeButton{u"terminal"_s, u"切换中"_s}));

        QCOMPARE(composer::planCommand(composer::RunMode::Plan, false), std::optional<QString>(u"/plan"_s));
        QCOMPARE(composer::planCommand(composer::RunMode::Agent, true), std::optional<QString>(u"/plan off"_s));
        QCOMPARE(composer::planCommand(composer::RunMode::Agent, false), std::nullopt);
        QCOMPARE(composer::planCommand(composer::RunMode::Plan, true), std::nullopt);
        QCOMPARE(composer::runModeItemIcon(composer::RunMode::Agent, false), u"checkmark"_s);
        QCOMPARE(composer::runModeItemIcon(composer::RunMode::Plan, false), u"circle"_s);
        QCOMPARE(composer::runModeItemIcon(composer::RunMode::Plan, true), u"checkmark"_s);
    }

    void permissionLabelsAndIcons_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("icon");
        QTest::newRow("read-only") << u"read-only"_s << u"只读"_s << u"lock"_s;
        QTest::newRow("workspace-write") << u"workspace-write"_s << u"工作区写入"_s << u"pencil.and.outline"_s;
        QTest::newRow("danger-full-access") << u"danger-full-access"_s << u"完全访问"_s << u"exclamationmark.shield"_s;
        QTest::newRow("full-access") << u"full-access"_s << u"完全访问"_s << u"exclamationmark.shield"_s;
        QTest::newRow("unknown keeps the host's name") << u"sandboxed"_s << u"Host 名称"_s << u"pencil.and.outline"_s;
        QTest::newRow("case matters") << u"Read-Only"_s << u"Host 名称"_s << u"pencil.and.outline"_s;
    }

    void permissionLabelsAndIcons()
    {
        QFETCH(QString, value);
        QFETCH(QString, label);
        QFETCH(QString, icon);
        QCOMPARE(composer::permissionLabel(value, u"Host 名称"_s), label);
        QCOMPARE(composer::permissionIcon(value), icon);
    }

    void permissionMenuLeavesOutCustom()
    {
        const PermissionState state = permissions(
            {{u"read-only"_s, u"RO"_s}, {u"custom"_s, u"自定义"_s}, {u"workspace-write"_s, u"WW"_s}}, u"read-only"_s);
        QCOMPARE(composer::permissionMenuLabel(state, std::nullopt), u"只读"_s);
        const auto items = composer::permissionMenuItems(state, std::nullopt);
        QCOMPARE(items.size(), size_t(2));
        QCOMPARE(items[0].title, u"只读"_s);
        QCOMPARE(items[0].icon, u"checkmark"_s);
        QVERIFY(!items[0].enabled);
        QCOMPARE(items[1].title, u"工作区写入"_s);
        QCOMPARE(items[1].icon, u"pencil.and.outline"_s);
        QVERIFY(items[1].enabled);

        // Only "custom": nothing to offer, so no control at all.
        QVERIFY(composer::visiblePermissionOptions(permissions({{u"custom"_s, u"自定义"_s}}, u"custom"_s)).empty());
    }

    void permissionMenuWithACustomCurrentValue()
    {
        const PermissionState state = permissions(
            {{u"read-only"_s, u"RO"_s}, {u"custom"_s, u"我的预设"_s}, {u"workspace-write"_s, u"WW"_s}}, u"custom"_s);
        QCOMPARE(composer::permissionMenuLabel(state, std::nullopt), u"我的预设"_s);
        QCOMPARE(composer::permissionIcon(composer::shownPermissionValue(state, std::nullopt)), u"pencil.and.outline"_s);
        for (const auto &item : composer::permissionMenuItems(state, std::nullopt)) {
            QVERIFY(item.enabled);
            QVERIFY(item.icon != u"checkmark"_s);
        }
        // A value no option carries: a known preset gets its label, anything else stays raw.
        QCOMPARE(composer::permissionMenuLabel(permissions({}, u"danger-full-access"_s), std::nullopt), u"完全访问"_s);
        QCOMPARE(composer::permissionMenuLabel(permissions({}, u"sandbox-x"_s), std::nullopt), u"sandbox-x"_s);
    }

    void pendingSwitchMarksTheMenu()
    {
        const PermissionState state =
            permissions({{u"read-only"_s, u"RO"_s}, {u"workspace-write"_s, u"WW"_s}}, u"read-only"_s);
        const std::optional<QString> pending = u"workspace-write"_s;
        QCOMPARE(composer::permissionMenuLabel(state, pending), u"切换中"_s);
        QCOMPARE(composer::permissionIcon(composer::shownPermissionValue(state, pending)), u"pencil.and.outline"_s);
        const auto items = composer::permissionMenuItems(state, pending);
        QCOMPARE(items[1].icon, u"checkmark"_s);
        QCOMPARE(items[0].icon, u"lock"_s);
        for (const auto &item : items)
            QVERIFY(!item.enabled);
    }

    // ---- Goal banner ----

    void goalPhasesAndButtons_data()
    {
        using B = goal::GoalButton;
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("label");
        QTest::addColumn<std::vector<goal::GoalButton>>("buttons");
        QTest::newRow("active") << u"active"_s << u"目标进行中"_s << std::vector<B>{B::Pause, B::Edit, B::Clear};
        QTest::newRow("paused") << u"paused"_s << u"目标已暂停"_s << std::vector<B>{B::Resume, B::Edit, B::Clear};
        QTest::newRow("blocked") << u"blocked"_s << u"目标受阻"_s << std::vector<B>{B::Edit, B::Clear};
        QTest::newRow("unknown word") << u"waiting"_s << u"目标"_s << std::vector<B>{B::Edit, B::Clear};
        QTest::newRow("case matters") << u"Active"_s << u"目标"_s << std::vector<B>{B::Edit, B::Clear};
    }

    void goalPhasesAndButtons()
    {
        QFETCH(QString, phase);
        QFETCH(QString, label);
        QFETCH(std::vector<goal::GoalButton>, buttons);
        QCOMPARE(goal::phaseLabel(phase), label);
        QCOMPARE(goal::goalButtons(phase, false), buttons);
        QCOMPARE(goal::goalButtons(phase, true), (std::vector<goal::GoalButton>{goal::GoalButton::Cancel, goal::GoalButton::Save}));
    }

    void goalBarVisibilityAndTooltip()
    {
        GoalProjection complete;
        complete.goal = goalSnapshot(u"g1"_s, u"complete"_s);
        QVERIFY(!goal::showsGoalBar(complete));
        QVERIFY(!goal::showsBanner(complete, {}));
        const auto oneTodo = todos({u"pending"_s});
        QVERIFY(goal::showsBanner(complete, oneTodo));
        QVERIFY(!goal::showsBanner(std::nullopt, {}));

        const GoalSnapshot blocked = goalSnapshot(u"g1"_s, u"blocked"_s, u"缺少凭据"_s);
        QCOMPARE(goal::objectiveToolTip(blocked), u"缺少凭据"_s);
        QCOMPARE(goal::objectiveToolTip(goalSnapshot(u"g1"_s, u"active"_s)), u"让测试全部通过"_s);
        QCOMPARE(goal::refOf(blocked), (GoalRef{u"g1"_s, 3}));
        QCOMPARE(goal::buttonAction(goal::GoalButton::Pause), std::optional<QString>(u"pause"_s));
        QCOMPARE(goal::buttonAction(goal::GoalButton::Resume), std::optional<QString>(u"resume"_s));
        QCOMPARE(goal::buttonAction(goal::GoalButton::Clear), std::optional<QString>(u"clear"_s));
        QCOMPARE(goal::buttonAction(goal::GoalButton::Save), std::nullopt);
    }

    void goalEditRefusesBlankAndTrims()
    {
        goal::GoalEdit edit;
        const GoalSnapshot g = goalSnapshot(u"g1"_s, u"active"_s);
        edit.open(g);
        QVERIFY(edit.isEditing(g));
        QCOMPARE(edit.draft(), g.objective);

        edit.setDraft(u"  \n\t "_s);
        QVERIFY(!edit.canSave());
        QCOMPARE(edit.save(), std::nullopt);
        QVERIFY(edit.isEditing(g));
        QCOMPARE(edit.draft(), u"  \n\t "_s);

        edit.setDraft(u"  新的目标 \n"_s);
        QCOMPARE(edit.save(), std::optional<QString>(u"新的目标"_s));
        QVERIFY(!edit.isEditing(g));
        QCOMPARE(edit.draft(), u"  新的目标 \n"_s);

        // Cancel keeps the abandoned text, but the next edit starts from the objective.
        edit.open(g);
        edit.setDraft(u"abandoned"_s);
        edit.cancel();
        QVERIFY(!edit.isEditing(g));
        edit.open(g);
        QCOMPARE(edit.draft(), g.objective);

        // Another goal closes the edit and empties the draft.
        edit.goalIdChanged();
        QVERIFY(!edit.editingGoalId());
        QVERIFY(edit.draft().isEmpty());
    }

    // ---- Todo panel ----

    void todoListHeights_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("height");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("one") << 1 << 24;
        QTest::newRow("seven") << 7 << 168;
        QTest::newRow("eight: capped") << 8 << 180;
        QTest::newRow("a thousand") << 1000 << 180;
    }

    void todoListHeights()
    {
        QFETCH(int, count);
        QFETCH(int, height);
        QCOMPARE(goal::todoListHeight(count), height);
    }

    void todoSummaryCountsEachState_data()
    {
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QString>("summary");
        QTest::newRow("mixed") << QStringList{u"completed"_s, u"pending"_s, u"in_progress"_s, u"completed"_s, u""_s}
                               << u"2 已完成  ·  1 进行中  ·  2 待处理"_s;
        QTest::newRow("all completed") << QStringList{u"completed"_s, u"completed"_s} << u"2 已完成"_s;
        QTest::newRow("unknown words are pending") << QStringList{u"blocked"_s, u"Completed"_s} << u"2 待处理"_s;
        QTest::newRow("empty") << QStringList{} << QString();
    }

    void todoSummaryCountsEachState()
    {
        QFETCH(QStringList, statuses);
        QFETCH(QString, summary);
        QCOMPARE(goal::todoSummary(todos(statuses)), summary);
    }

    void todoSummaryIgnoresTheLocale()
    {
        // Counts are bare digits: no grouping, whatever the locale says.
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QStringList many;
        for (int i = 0; i < 1234; ++i)
            many << u"completed"_s;
        QCOMPARE(goal::todoSummary(todos(many)), u"1234 已完成"_s);
        QLocale::setDefault(before);
        QCOMPARE(goal::todoGlyph({u"x"_s, u"in_progress"_s}), goal::TodoGlyph::InProgress);
        QCOMPARE(goal::todoGlyph({u"x"_s, u""_s}), goal::TodoGlyph::Pending);
    }

    // ---- Question flow ----

    void recommendedSuffixes_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("display");
        QTest::addColumn<bool>("recommended");
        QTest::newRow("English") << u"Use cache (Recommended)"_s << u"Use cache"_s << true;
        QTest::newRow("full-width") << u"使用缓存（推荐）"_s << u"使用缓存"_s << true;
        QTest::newRow("half-width") << u"使用缓存 (推荐)"_s << u"使用缓存"_s << true;
        QTest::newRow("in the middle") << u"A (Recommended) B"_s << u"A (Recommended) B"_s << false;
        QTest::newRow("only the suffix") << u" (Recommended)"_s << QString() << true;
        QTest::newRow("no leading space") << u"X(Recommended)"_s << u"X(Recommended)"_s << false;
    }

    void recommendedSuffixes()
    {
        QFETCH(QString, label);
        QFETCH(QString, display);
        QFETCH(bool, recommended);
        QCOMPARE(optionDisplay(label), (OptionDisplay{display, recommended}));
    }

    void singleSelectAdvancesExceptOnTheLastPage()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"a"_s, {u"A1"_s, u"A2"_s}), ask(u"b"_s, {u"B1"_s}),
                                               ask(u"c"_s, {u"C1"_s})}));
        QCOMPARE(flow.counterText(), u"1 / 3"_s);
        flow.choose(u"A2"_s);
        QCOMPARE(flow.index(), 1);
        QCOMPARE(flow.counterText(), u"2 / 3"_s);
        flow.choose(u"B1"_s);
        QCOMPARE(flow.index(), 2);
        flow.choose(u"C1"_s);
        QCOMPARE(flow.index(), 2);
        QVERIFY(flow.isLastPage());
        const auto submission = flow.continueFlow();
        QVERIFY(submission);
        QCOMPARE(submission->answers.size(), size_t(3));
        QCOMPARE(submission->answers[0], (QuestionAnswer{u"a"_s, {u"A2"_s}, std::nullopt}));
    }

    void multiSelectTogglesAndKeepsCustomText()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"m"_s, {u"A"_s, u"B"_s, u"A"_s}, true)}));
        flow.setCustom(u"  另外一个  "_s);
        flow.choose(u"A"_s);
        flow.choose(u"B"_s);
        flow.choose(u"A"_s);
        const auto *q = flow.current();
        QVERIFY(q);
        QCOMPARE(flow.draft(*q).selected, std::vector<QString>{u"B"_s});
        QCOMPARE(flow.index(), 0);
        const auto submission = flow.submit();
        QVERIFY(submission);
        QCOMPARE(submission->answers[0], (QuestionAnswer{u"m"_s, {u"B"_s}, u"另外一个"_s}));
        // Two options sharing a label are selected together.
        flow.choose(u"A"_s);
        QVERIFY(flow.isSelected(*q, u"A"_s));
    }

    void singleSelectKeepsEitherChoiceOrText()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"s"_s, {u"A"_s, u"B"_s})}));
        flow.choose(u"A"_s);
        flow.setCustom(u"自己写"_s);
        const auto *q = flow.current();
        QVERIFY(flow.draft(*q).selected.empty());
        auto submission = flow.submit();
        QCOMPARE(submission->answers[0], (QuestionAnswer{u"s"_s, {}, u"自己写"_s}));
        flow.choose(u"B"_s);
        QVERIFY(flow.draft(*q).custom.isEmpty());
        submission = flow.submit();
        QCOMPARE(submission->answers[0], (QuestionAnswer{u"s"_s, {u"B"_s}, std::nullopt}));
    }

    void blankCustomTextIsNoAnswer()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"s"_s, {u"A"_s}), ask(u"t"_s, {u"B"_s})}));
        flow.setCustom(u"  \n "_s);
        QVERIFY(!flow.answered(*flow.current()));
        QCOMPARE(flow.continueFlow(), std::nullopt);
        QCOMPARE(flow.feedback(), std::optional<QString>(QuestionFlow::unansweredFeedback.toString()));
        QCOMPARE(flow.index(), 0);
        // Typing clears the message.
        flow.setCustom(u"  \n x"_s);
        QVERIFY(!flow.feedback());
        QCOMPARE(flow.continueFlow(), std::nullopt);
        QCOMPARE(flow.index(), 1);
    }

    void skippingTheLastPageSubmitsOrReturnsToAnOpenQuestion()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"a"_s, {u"A"_s}), ask(u"b"_s, {u"B"_s}), ask(u"c"_s, {u"C"_s})}));
        flow.next();
        flow.choose(u"B"_s); // moves on to the last page
        QCOMPARE(flow.index(), 2);
        QCOMPARE(flow.skip(), std::nullopt);
        QCOMPARE(flow.index(), 0);
        QCOMPARE(flow.feedback(), std::optional<QString>(QuestionFlow::incompleteFeedback.toString()));
        // Skip the first as well: everything is now answered or skipped, and skipping the
        // last page again submits.
        QCOMPARE(flow.skip(), std::nullopt);
        QCOMPARE(flow.index(), 1);
        flow.next();
        const auto submission = flow.skip();
        QVERIFY(submission);
        QCOMPARE(submission->answers[0], (QuestionAnswer{u"a"_s, {}, std::nullopt}));
        QCOMPARE(submission->answers[1], (QuestionAnswer{u"b"_s, {u"B"_s}, std::nullopt}));
        QCOMPARE(submission->answers[2], (QuestionAnswer{u"c"_s, {}, std::nullopt}));
    }

    void answeringASkippedQuestionClearsTheMark()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"a"_s, {u"A"_s}), ask(u"b"_s, {u"B"_s})}));
        flow.skip();
        flow.previous();
        QVERIFY(flow.draft(*flow.current()).skipped);
        flow.choose(u"A"_s);
        QVERIFY(!flow.draft(flow.question().questions[0]).skipped);
    }

    void pagingNeverLeavesTheSet()
    {
        QuestionFlow flow(questionSet(u"q"_s, {ask(u"a"_s, {u"A"_s}), ask(u"b"_s, {u"B"_s})}));
        flow.previous();
        QCOMPARE(flow.index(), 0);
        flow.next();
        flow.next();
        QCOMPARE(flow.index(), 1);
        QCOMPARE(flow.counterText(), u"2 / 2"_s);
    }

    void anEmptySetAnswersWithNothing()
    {
        QuestionFlow flow(questionSet(u"q"_s, {}));
        QVERIFY(!flow.current());
        flow.choose(u"A"_s);
        flow.setCustom(u"x"_s);
        flow.next();
        flow.previous();
        QCOMPARE(flow.index(), 0);
        const auto submission = flow.continueFlow();
        QVERIFY(submission);
        QVERIFY(submission->answers.empty());
        QVERIFY(flow.skip());
    }

    void anotherRequestStartsFromItsFirstQuestion()
    {
        QuestionFlow flow(questionSet(u"q1"_s, {ask(u"a"_s, {u"A"_s}), ask(u"b"_s, {u"B"_s}), ask(u"c"_s, {u"C"_s})}));
        flow.choose(u"A"_s);
        flow.choose(u"B"_s);
        QCOMPARE(flow.index(), 2);
        // A shorter set of another request: never read past its end, nothing carried over.
        flow.setQuestion(questionSet(u"q2"_s, {ask(u"a"_s, {u"A"_s})}));
        QCOMPARE(flow.index(), 0);
        QVERIFY(flow.current());
        QVERIFY(!flow.answered(*flow.current()));
        // The same request updated to fewer questions keeps its drafts, inside the set.
        flow.choose(u"A"_s);
        flow.setQuestion(questionSet(u"q2"_s, {}));
        QCOMPARE(flow.index(), 0);
        QVERIFY(!flow.current());
    }
};

QTEST_GUILESS_MAIN(tst_ComposerLogic)
#include "tst_composerlogic.moc"
