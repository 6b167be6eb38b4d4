// The main road through the real main window against the simulated host, as a user walks it:
// pick a session in the sidebar, write a prompt (Latin keys and Chinese through the input
// method), answer the agent's question and its tool approval on the cards that take the
// composer's place, read the final answer; and stop a running turn from the composer.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "TypeText.h"

#include "App/MainWindow.h"
#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Conversation/BottomDock.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Conversation/TranscriptRowViews.h"

#include <QAbstractButton>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using Step = sim::SimWorld::AgentStep;

namespace {

Step text(const QString &delta)
{
    Step step;
    step.kind = Step::Kind::Text;
    step.deltas = {delta};
    return step;
}

Step kind(Step::Kind k)
{
    Step step;
    step.kind = k;
    return step;
}

const QString kPrompt = u"Rename notes.md, 然后告诉我结果"_s;
const QString kFinal = u"已将 notes.md 重命名为 journal.md。"_s;

// What the agent does with the prompt: it says a word, asks which name to use, calls a tool
// that needs approval, gets its result and gives its final answer.
sim::SimWorld::AgentScript mainRoadScript()
{
    Step question = kind(Step::Kind::Question);
    question.questions = JSONValue::array({JSONValue::object(
        {{u"id"_s, u"name"_s},
         {u"header"_s, u"新文件名"_s},
         {u"question"_s, u"新文件叫什么？"_s},
         {u"options"_s, JSONValue::array({JSONValue::object({{u"label"_s, u"journal.md (Recommended)"_s},
                                                             {u"description"_s, u"按日期记的笔记"_s}}),
                                          JSONValue::object({{u"label"_s, u"diary.md"_s}})})},
         {u"multiSelect"_s, false}})});
    Step call = kind(Step::Kind::ToolCall);
    call.toolName = u"shell"_s;
    call.arguments = u"{\"command\":\"mv notes.md journal.md\"}"_s;
    Step approval = kind(Step::Kind::Approval);
    approval.text = u"renames a file in the workspace"_s;
    Step result = kind(Step::Kind::ToolResult);
    result.text = u"ok"_s;
    return {text(u"我先确认一下。"_s), question, call, approval, result, kind(Step::Kind::EndStep), text(kFinal),
            kind(Step::Kind::EndStep)};
}

QString promptText(const JSONValue &payload)
{
    const JSONValue *content = payload.find(u"content");
    if (!content || content->size() != 1)
        return {};
    const JSONValue *text = content->elements()[0].find(u"text");
    return text ? text->string().value_or(QString()) : QString();
}

} // namespace

class tst_ComposerFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::StoreHarness> m_h;
    std::unique_ptr<MainWindow> m_window;

    ConversationView *conversation() const { return m_window->findChild<ConversationView *>(); }
    BottomDock *dock() const { return conversation()->dock(); }
    ComposerView *composer() const { return qobject_cast<ComposerView *>(dock()->composer()); }

    template<class T>
    T *visibleCard(const QString &name) const
    {
        for (QWidget *card : dock()->cards()) {
            if (card->objectName() == name && card->isVisible())
                return qobject_cast<T *>(card);
        }
        return nullptr;
    }

    bool transcriptShows(const QString &text) const
    {
        const auto rows = conversation()->findChildren<TranscriptRenderRowView *>();
        return std::any_of(rows.begin(), rows.end(), [&](TranscriptRenderRowView *row) {
            return row->isVisible() && row->accessibleName() == text;
        });
    }

    // Opens the window on a host with two sessions and clicks the older one in the sidebar
    // (the store itself restores the newer one on connecting).
    void openAndPick(const QString &sessionId)
    {
        auto titled = [](QString id, double at, QString title) {
            auto s = test::session(id, at);
            s.title = title;
            return s;
        };
        m_h->world.addSession(titled(u"recent"_s, 3000, u"最近的会话"_s));
        m_h->world.addSession(titled(sessionId, 2000, u"整理笔记"_s));
        AppModel *store = m_h->makeStore();
        m_window = std::make_unique<MainWindow>(store, [] {}, nullptr, [] {});
        m_window->resize(1280, 820);
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        store->connect();
        m_h->waitForListed();
        m_h->waitForStreams();
        QTRY_COMPARE(store->selection()->selectedSessionId(), std::optional<QString>(u"recent"_s));
        QWidget *row = nullptr;
        QTRY_VERIFY((row = m_window->findChild<QWidget *>(u"session-row-recent-"_s + sessionId)) && row->isVisible());
        QTest::mouseClick(row, Qt::LeftButton);
        QTRY_COMPARE(store->selection()->selectedSessionId(), std::optional<QString>(sessionId));
        QTRY_VERIFY(conversation()->shownSession() && conversation()->shownSession()->sessionId() == sessionId);
        QTRY_VERIFY(composer() && composer()->isVisible());
        QCOMPARE(composer()->session()->sessionId(), sessionId);
    }

    PromptField *focusedPrompt()
    {
        PromptField *field = composer()->promptField();
        QTest::mouseClick(field->viewport(), Qt::LeftButton);
        [&] { QTRY_VERIFY(field->hasFocus()); }();
        return field;
    }

private Q_SLOTS:
    void init() { m_h = std::make_unique<test::StoreHarness>(); }

    void cleanup()
    {
        m_window.reset();
        m_h.reset();
    }

    void promptQuestionApprovalAndAnswer()
    {
        m_h->world.setScript(mainRoadScript());
        m_h->world.setStepDelay(20);
        openAndPick(u"notes"_s);
        m_h->host.clearRequests();

        PromptField *field = focusedPrompt();
        test::typeText(field, kPrompt);
        QCOMPARE(field->text(), kPrompt);
        auto *action = composer()->findChild<RoundSymbolButton *>(u"composer-action"_s);
        QVERIFY(action->isEnabled());
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(field->text(), QString());

        // The host echoes the prompt and streams; the question takes the composer's place.
        QTRY_VERIFY_WITH_TIMEOUT(transcriptShows(kPrompt), 10000);
        QuestionCard *question = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((question = visibleCard<QuestionCard>(u"question-card"_s)), 10000);
        QCOMPARE(dock()->input(), BottomDock::Input::Cards);
        QVERIFY(!composer()->isVisible());
        // The keyboard follows the input: from the field into the card that replaced it.
        QTRY_VERIFY(question->isAncestorOf(QApplication::focusWidget()) || question->hasFocus());
        QTRY_VERIFY(transcriptShows(u"我先确认一下。"_s));
        QVERIFY(conversation()->shownSession()->running());
        const QString questionRpc = question->flow().question().rpcId;
        QVERIFY(!questionRpc.isEmpty());
        test::requireAccessible(m_window.get());

        QuestionOptionRow *journal = nullptr;
        for (QuestionOptionRow *row : question->findChildren<QuestionOptionRow *>(u"question-option"_s)) {
            if (!row->isHidden() && row->displayLabel() == u"journal.md"_s)
                journal = row;
        }
        QVERIFY(journal);
        QVERIFY(journal->isRecommended());
        QTest::mouseClick(journal, Qt::LeftButton);
        auto *submit = question->findChild<QAbstractButton *>(u"question-primary"_s);
        QCOMPARE(submit->text(), u"提交"_s);
        QVERIFY(submit->isEnabled());
        QTest::mouseClick(submit, Qt::LeftButton);

        // The tool approval comes next, on its own card.
        ApprovalCard *approval = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((approval = visibleCard<ApprovalCard>(u"approval-card"_s)), 10000);
        QVERIFY(!visibleCard<QuestionCard>(u"question-card"_s));
        QCOMPARE(approval->approval().toolName, u"shell"_s);
        const QString approvalRpc = approval->approval().rpcId;
        QVERIFY(!approvalRpc.isEmpty() && approvalRpc != questionRpc);
        test::requireAccessible(m_window.get());
        auto *allow = approval->findChild<QAbstractButton *>(u"approval-allow"_s);
        QCOMPARE(allow->text(), u"允许一次"_s);
        QTest::mouseClick(allow, Qt::LeftButton);
        QVERIFY(allow->hasFocus());

        // The run finishes with its answer; the composer is back, empty and ready.
        QTRY_VERIFY_WITH_TIMEOUT(!m_h->world.isRunActive(u"notes"_s), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(transcriptShows(kFinal), 10000);
        QTRY_VERIFY(!conversation()->shownSession()->running());
        QTRY_COMPARE(dock()->input(), BottomDock::Input::Composer);
        QVERIFY(composer()->isVisible());
        QCOMPARE(composer()->promptField()->text(), QString());
        // The pressed button went with its card; the keyboard is back in the field, not on
        // some neighbour that happened to follow the card in the focus chain.
        QCOMPARE(QApplication::focusWidget(), composer()->promptField());
        QCOMPARE(action->symbolName(), u"arrow.up"_s);
        QVERIFY(!action->isEnabled());
        QVERIFY(!m_h->store->errors()->transientError());

        // The host heard exactly one prompt, one answer and one approval reply.
        // Reads (history, catalogues, lists) come and go with the views; of the requests that
        // change something the log holds those three and nothing else, in that order.
        static const QRegularExpression read(u"\\.(list|history|models|describe|search|attachment)$"_s);
        QStringList changes;
        for (const sim::LoggedRequest &r : m_h->host.requests()) {
            if (!read.match(r.method).hasMatch())
                changes << r.method;
        }
        QCOMPARE(changes, (QStringList{u"session.prompt"_s, u"respond"_s, u"respond"_s}));
        const auto prompts = m_h->host.requests(u"session.prompt"_s);
        QCOMPARE(prompts.size(), 1);
        QCOMPARE(promptText(prompts[0].payload), kPrompt);
        QCOMPARE(prompts[0].payload.find(u"sessionId")->string(), std::optional<QString>(u"notes"_s));
        const auto replies = m_h->host.requests(u"respond"_s);
        QCOMPARE(replies.size(), 2);
        QCOMPARE(replies[0].rpcId, questionRpc);
        QCOMPARE(replies[1].rpcId, approvalRpc);
        const JSONValue *answer = replies[0].body.find(u"result")->find(u"value")->find(u"answer");
        QVERIFY(answer);
        const JSONValue *answers = answer->find(u"answers");
        QVERIFY(answers && answers->size() == 1);
        QCOMPARE(answers->elements()[0].find(u"id")->string(), std::optional<QString>(u"name"_s));
        QCOMPARE(answers->elements()[0].find(u"selected")->elements()[0].string(),
                 std::optional<QString>(u"journal.md (Recommended)"_s));
        QVERIFY(!answers->elements()[0].contains(u"custom"));
        QCOMPARE(replies[1].body.find(u"result")->find(u"value")->find(u"outcome")->string(),
                 std::optional<QString>(u"allowed-once"_s));
        QCOMPARE(m_h->host.requests(u"session.cancel"_s).size(), 0);
        test::requireAccessible(m_window.get());
    }

    void stopButtonCancelsTheRunningTurn()
    {
        sim::SimWorld::AgentScript slow;
        for (int i = 0; i < 200; ++i)
            slow << text(u"段落 "_s + QString::number(i) + u"。"_s);
        slow << kind(Step::Kind::EndStep);
        m_h->world.setScript(slow);
        m_h->world.setStepDelay(50);
        openAndPick(u"long"_s);

        PromptField *field = focusedPrompt();
        test::typeText(field, u"写一篇长文"_s);
        QTest::keyClick(field, Qt::Key_Enter);
        auto *action = composer()->findChild<RoundSymbolButton *>(u"composer-action"_s);
        QTRY_VERIFY_WITH_TIMEOUT(conversation()->shownSession()->running(), 10000);
        QTRY_COMPARE(action->symbolName(), u"stop.fill"_s);
        QCOMPARE(action->accessibleName(), u"停止运行"_s);
        QVERIFY(action->isEnabled());
        QVERIFY(m_h->world.isRunActive(u"long"_s));
        test::requireAccessible(m_window.get());

        QTest::mouseClick(action, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_h->host.requests(u"session.cancel"_s).size(), 1, 10000);
        QCOMPARE(m_h->host.requests(u"session.cancel"_s)[0].payload.find(u"sessionId")->string(),
                 std::optional<QString>(u"long"_s));
        QVERIFY(!m_h->world.isRunActive(u"long"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!conversation()->shownSession()->running(), 10000);
        QTRY_COMPARE(action->symbolName(), u"arrow.up"_s);
        // Stopping sent nothing else: one prompt, the field empty.
        QCOMPARE(m_h->host.requests(u"session.prompt"_s).size(), 1);
        QCOMPARE(field->text(), QString());
    }

    // The host's goal and todos put the banner above the composer; opened, it still reads
    // well to a screen reader, and a question of the session hides it behind the card.
    void goalBannerAboveTheComposer()
    {
        openAndPick(u"goal"_s);
        m_h->world.pushProjection(u"goal"_s, u"goal"_s,
                                  JSONValue::object({{u"goal"_s, JSONValue::object({{u"id"_s, u"g1"_s},
                                                                                    {u"revision"_s, 1},
                                                                                    {u"objective"_s, u"整理笔记"_s},
                                                                                    {u"phase"_s, u"active"_s}})},
                                                     {u"roundsStarted"_s, 1},
                                                     {u"createdAt"_s, 1.0},
                                                     {u"updatedAt"_s, 2.0}}));
        m_h->world.pushProjection(u"goal"_s, u"todos"_s,
                                  JSONValue::array({JSONValue::object({{u"content"_s, u"重命名"_s}, {u"status"_s, u"completed"_s}}),
                                                    JSONValue::object({{u"content"_s, u"改链接"_s}, {u"status"_s, u"in_progress"_s}})}));
        QTRY_VERIFY(dock()->goalBanner() && dock()->goalBanner()->isVisible());
        QWidget *banner = dock()->goalBanner();
        QVERIFY(banner->mapTo(dock(), QPoint()).y() < composer()->mapTo(dock(), QPoint()).y());
        QTest::mouseClick(banner->findChild<QWidget *>(u"todo-header"_s), Qt::LeftButton);
        QTRY_VERIFY(banner->findChild<QWidget *>(u"todo-list"_s)->isVisible());
        test::requireAccessible(m_window.get());

        m_h->world.pushQuestionRequested(u"q1"_s, JSONValue::object({{u"sessionId"_s, u"goal"_s},
            {u"questions"_s, JSONValue::array({JSONValue::object({{u"id"_s, u"x"_s}, {u"question"_s, u"继续吗？"_s}})})}}));
        QTRY_VERIFY(visibleCard<QuestionCard>(u"question-card"_s));
        QVERIFY(!dock()->goalBanner() || !dock()->goalBanner()->isVisible());
        test::requireAccessible(m_window.get());
    }
};

NBD_GUI_TEST_MAIN(tst_ComposerFlow)
#include "tst_composerflow.moc"
