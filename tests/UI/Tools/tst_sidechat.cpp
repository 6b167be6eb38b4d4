// The side chat: which bubbles show, and its three states driven by clicks and keys.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"

#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Tools/WorkspaceSideChatView.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QStackedLayout>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using Role = SideMessage::Role;

namespace {

UserMessageItem user(const QString &id, const QString &text, const QString &source = u"user"_s)
{
    UserMessageItem item;
    item.id = id;
    item.text = text;
    item.sourceKind = source;
    return item;
}

BlockItem block(BlockKind kind, const QString &text)
{
    BlockItem b;
    b.kind = kind;
    b.text = text;
    return b;
}

TurnItem turn(qint64 number, std::vector<StepItem> steps)
{
    TurnItem t;
    t.turn = number;
    t.steps = std::move(steps);
    return t;
}

NoticeItem notice(const QString &id)
{
    NoticeItem n;
    n.id = id;
    n.text = u"note"_s;
    return n;
}

QStringList ids(const std::vector<SideMessage> &messages)
{
    QStringList out;
    for (const SideMessage &m : messages)
        out << m.id;
    return out;
}

} // namespace

class SideChatTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void bubblesFromTheTranscript()
    {
        std::vector<TranscriptItem> items;
        items.push_back(user(u"u1"_s, u"hello"_s));
        items.push_back(user(u"u2"_s, u"from a plugin"_s, u"plugin"_s));
        items.push_back(user(u"u3"_s, QString()));
        items.push_back(user(u"u4"_s, u"  "_s));
        items.push_back(turn(1, {StepItem{1, {block(BlockKind::reasoning, u"thinking"_s), block(BlockKind::toolCall, u"call"_s)}}}));
        items.push_back(turn(2, {StepItem{1, {block(BlockKind::text, u"first"_s)}}, StepItem{2, {block(BlockKind::reasoning, u"r"_s), block(BlockKind::text, u"second"_s)}}}));
        items.push_back(notice(u"n1"_s));
        items.push_back(turn(3, {StepItem{1, {block(BlockKind::text, QString(5000, u'a'))}}}));
        const auto messages = WorkspaceSideChatView::sideMessages(items, {});
        QCOMPARE(ids(messages), (QStringList{u"u1"_s, u"u4"_s, u"t-2"_s, u"t-3"_s}));
        QCOMPARE(messages[1].text, u"  "_s);
        QCOMPARE(messages[2].role, Role::Assistant);
        QCOMPARE(messages[2].text, u"first\nsecond"_s);
        QCOMPARE(messages[3].text.size(), 4000);
    }

    void windowsOfTwentyAndFivePendingLast()
    {
        std::vector<TranscriptItem> items;
        // 25 items, the first five of which would make bubbles but lie outside the window.
        for (int i = 0; i < 25; ++i)
            items.push_back(user(u"u%1"_s.arg(i), u"m%1"_s.arg(i)));
        std::vector<PendingUserMessage> pending;
        for (int i = 0; i < 3; ++i)
            pending.push_back(PendingUserMessage{u"p%1"_s.arg(i), i == 0 ? QString() : u"queued"_s, u"queue"_s});
        auto messages = WorkspaceSideChatView::sideMessages(items, pending);
        QCOMPARE(messages.size(), size_t(20));
        QCOMPARE(messages.front().id, u"u8"_s);
        QCOMPARE(ids(messages).mid(17), (QStringList{u"pending-p0"_s, u"pending-p1"_s, u"pending-p2"_s}));
        QCOMPARE(messages[17].text, QString());

        items.erase(items.begin(), items.begin() + 5);
        items[0] = notice(u"n"_s);
        for (int i = 3; i < 8; ++i)
            pending.push_back(PendingUserMessage{u"p%1"_s.arg(i), u"more"_s, u"queue"_s});
        messages = WorkspaceSideChatView::sideMessages(items, pending);
        QCOMPARE(messages.size(), size_t(20));
        QCOMPARE(messages.back().id, u"pending-p7"_s);
        QCOMPARE(messages[15].id, u"pending-p3"_s);
    }

    void statesBeforeTheSessionAndRetry()
    {
        int retries = 0;
        WorkspaceSideChatView view(nullptr, nullptr, [&] { ++retries; });
        view.resize(360, 500);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        // Without a runtime: the failure state with the generic text.
        auto *stack = view.findChild<QStackedLayout *>();
        QCOMPARE(stack->currentWidget()->objectName(), u"workspace-side-chat-failed"_s);
        QCOMPARE(view.findChild<QLabel *>(u"workspace-side-chat-error"_s)->text(), u"无法创建侧边会话"_s);
        QTest::mouseClick(view.findChild<QPushButton *>(u"workspace-side-chat-retry"_s), Qt::LeftButton);
        QCOMPARE(retries, 1);
        view.setRuntime(WorkspaceSideChatRuntime{nullptr, true, std::nullopt});
        QCOMPARE(stack->currentWidget()->objectName(), u"workspace-side-chat-loading"_s);
        view.setRuntime(WorkspaceSideChatRuntime{nullptr, false, u"无法创建新的侧边会话"_s});
        QCOMPARE(view.findChild<QLabel *>(u"workspace-side-chat-error"_s)->text(), u"无法创建新的侧边会话"_s);
        const QStringList problems = nbd::test::accessibilityProblems(&view);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
    }

    void blankTextCannotBeSentAndSentTextEmptiesTheField()
    {
        auto settings = std::make_unique<QSettings>(m_dir.filePath(u"s.ini"_s), QSettings::IniFormat);
        AppModel store(std::move(settings), false);
        auto session = SessionModel::create(u"side-1"_s);
        WorkspaceSideChatView view(store.interactions(), store.sessionActions(), [] {});
        view.setRuntime(WorkspaceSideChatRuntime{session, false, std::nullopt});
        view.resize(360, 500);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QWidget *empty = view.findChild<QWidget *>(u"workspace-side-chat-empty"_s);
        QVERIFY(empty->isVisible());
        QCOMPARE(empty->property("sessionId").toString(), u"side-1"_s);
        auto *input = view.findChild<QPlainTextEdit *>(u"workspace-side-chat-input"_s);
        auto *send = view.findChild<ChromeIconButton *>(u"workspace-side-chat-send"_s);
        QVERIFY(!send->isEnabled());
        QTest::mouseClick(input->viewport(), Qt::LeftButton);
        QTest::keyClicks(input, u"   "_s);
        QTest::keyClick(input, Qt::Key_Return, Qt::ShiftModifier);
        QVERIFY(!send->isEnabled());
        QTest::keyClick(input, Qt::Key_Return);
        QCOMPARE(input->toPlainText(), u"   \n"_s);
        QTest::keyClicks(input, u"question  "_s);
        QVERIFY(send->isEnabled());
        // Without a host nothing is sent, and the text comes back as typed.
        QTest::keyClick(input, Qt::Key_Return);
        QCOMPARE(input->toPlainText(), u"   \nquestion  "_s);
        QVERIFY(!view.findChild<ChromeIconButton *>(u"workspace-side-chat-stop"_s)->isVisible());
        const QStringList problems = nbd::test::accessibilityProblems(&view);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
    }
    void unsentTextComesBack_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::newRow("host error") << true;
        QTest::newRow("accepted") << false;
    }

    // Sent text leaves the field; text the host did not take comes back as typed.
    void unsentTextComesBack()
    {
        QFETCH(bool, fails);
        nbd::test::StoreHarness h;
        h.world.addSession(nbd::test::session(u"side-1"_s, 1));
        AppModel *store = h.connected();
        h.waitForStreams();
        if (fails)
            h.host.setReply(u"session.prompt"_s, sim::Reply::error(u"busy"_s, u"try later"_s));
        const std::shared_ptr<SessionModel> session = store->selection()->registerDetachedSessionModel(u"side-1"_s);
        WorkspaceSideChatView view(store->interactions(), store->sessionActions(), [] {});
        view.setRuntime(WorkspaceSideChatRuntime{session, false, std::nullopt});
        view.resize(360, 500);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *input = view.findChild<QPlainTextEdit *>(u"workspace-side-chat-input"_s);
        QTest::mouseClick(input->viewport(), Qt::LeftButton);
        QTest::keyClicks(input, u" why? "_s);
        QTest::keyClick(input, Qt::Key_Return);
        QCOMPARE(input->toPlainText(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.prompt"_s), 1, 10000);
        QCOMPARE(nbd::test::promptText(h.host.requests(u"session.prompt"_s).first()), u"why?"_s);
        if (fails) {
            QTRY_COMPARE(input->toPlainText(), u" why? "_s);
            QVERIFY(store->errors()->transientError());
        } else {
            // Once the accepted prompt's answer is in, the field stays empty.
            QVERIFY(h.methodsThroughBarrier().endsWith(nbd::test::kBarrierMethod));
            QCOMPARE(input->toPlainText(), QString());
        }
        store->selection()->releaseDetachedSessionModel(u"side-1"_s);
    }

    // Send and stop do by their accessibility action what their click does: the prompt or the
    // cancel reaches the host either way, and send empties the field. Retry on the failed page
    // likewise calls for a new session.
    void actionsDoWhatClicksDo()
    {
        nbd::test::StoreHarness h;
        h.world.addSession(nbd::test::session(u"side-1"_s, 1));
        AppModel *store = h.connected();
        h.waitForStreams();
        // The host takes the prompts without running them, so no run's requests take the
        // input row's place in the next view.
        h.host.setReply(u"session.prompt"_s, sim::Reply::value(JSONValue::object({{u"accepted"_s, true}})));
        const std::shared_ptr<SessionModel> session = store->selection()->registerDetachedSessionModel(u"side-1"_s);
        std::unique_ptr<WorkspaceSideChatView> view;
        int retries = 0;
        bool failed = false;
        nbd::test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            view.reset();
            h.host.clearRequests();
            retries = 0;
            view = std::make_unique<WorkspaceSideChatView>(store->interactions(), store->sessionActions(), [&] { ++retries; });
            view->setRuntime(failed ? WorkspaceSideChatRuntime{nullptr, false, std::nullopt}
                                    : WorkspaceSideChatRuntime{session, false, std::nullopt});
            view->resize(360, 500);
            view->show();
            (void)QTest::qWaitForWindowExposed(view.get());
            if (!failed) {
                // A question typed, and the session running so that stop shows.
                session->setRunning(true);
                auto *input = view->findChild<QPlainTextEdit *>(u"workspace-side-chat-input"_s);
                QTest::mouseClick(input->viewport(), Qt::LeftButton);
                QTest::keyClicks(input, u"why?"_s);
            }
            return view.get();
        };
        check.state = [&] {
            QStringList prompts;
            for (const sim::LoggedRequest &request : h.host.requests(u"session.prompt"_s))
                prompts << nbd::test::promptText(request);
            return u"prompts="_s + prompts.join(u',') + u" cancels="_s
                + QString::number(h.requestCount(u"session.cancel"_s)) + u" retries="_s + QString::number(retries)
                + u" input="_s + view->findChild<QPlainTextEdit *>(u"workspace-side-chat-input"_s)->toPlainText();
        };
        check.async = true;
        check.quiet = [&] { h.waitForQuietHost(); };
        for (bool failedPage : {false, true}) {
            failed = failedPage;
            const nbd::test::ActionParityReport report = nbd::test::actionParity(check);
            QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
            QVERIFY2(report.controls.size() == (failed ? 1 : 2), qPrintable(report.controls.join(u'\n')));
            QCOMPARE(qsizetype(report.changed), report.controls.size());
        }
        view.reset();
        session->setRunning(false);
        store->selection()->releaseDetachedSessionModel(u"side-1"_s);
    }

    // Tab goes down the messages to the field, then to stop and send as they stand in the row;
    // Return on the focused send button sends.
    void keyboardFollowsTheInputRow()
    {
        nbd::test::StoreHarness h;
        h.world.addSession(nbd::test::session(u"side-1"_s, 1));
        AppModel *store = h.connected();
        h.waitForStreams();
        const std::shared_ptr<SessionModel> session = store->selection()->registerDetachedSessionModel(u"side-1"_s);
        session->setRunning(true);
        auto view = std::make_unique<WorkspaceSideChatView>(store->interactions(), store->sessionActions(), [] {});
        view->setRuntime(WorkspaceSideChatRuntime{session, false, std::nullopt});
        view->resize(360, 500);
        view->show();
        QApplication::setActiveWindow(view.get());
        QVERIFY(QTest::qWaitForWindowActive(view.get()));
        auto *input = view->findChild<QPlainTextEdit *>(u"workspace-side-chat-input"_s);
        QTest::mouseClick(input->viewport(), Qt::LeftButton);
        QTest::keyClicks(input, u"question"_s);
        const QStringList problems = nbd::test::tabOrderProblems(view.get(), 3);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        const QList<QWidget *> chain = nbd::test::tabChain(view.get());
        QVERIFY(chain.size() >= 3);
        QCOMPARE(chain.at(chain.size() - 3), static_cast<QWidget *>(input));
        QCOMPARE(chain.at(chain.size() - 2)->objectName(), u"workspace-side-chat-stop"_s);
        QWidget *send = chain.last();
        QCOMPARE(send->objectName(), u"workspace-side-chat-send"_s);
        send->setFocus(Qt::TabFocusReason);
        QTest::keyClick(send, Qt::Key_Return);
        QCOMPARE(input->toPlainText(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"session.prompt"_s), 1, 10000);
        QCOMPARE(nbd::test::promptText(h.host.requests(u"session.prompt"_s).first()), u"question"_s);
        view.reset();
        session->setRunning(false);
        store->selection()->releaseDetachedSessionModel(u"side-1"_s);
    }

    // The session's own questions and approvals take the input row's place as the real cards,
    // answer the host through the store, and give the row back once nothing is pending.
    void pendingRequestsShowAsCardsInTheInputRowsPlace()
    {
        test::StoreHarness h;
        h.world.addSession(test::session(u"side-1"_s, 2000));
        h.world.addSession(test::session(u"main"_s, 1000));
        AppModel *store = h.connected();
        h.waitForStreams();
        auto session = SessionModel::create(u"side-1"_s);
        WorkspaceSideChatView view(store->interactions(), store->sessionActions(), [] {});
        view.setRuntime(WorkspaceSideChatRuntime{session, false, std::nullopt});
        view.resize(380, 640);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto *input = view.findChild<QPlainTextEdit *>(u"workspace-side-chat-input"_s);
        auto *cards = view.findChild<QScrollArea *>(u"workspace-side-chat-cards"_s);
        QVERIFY(input->isVisible());
        QVERIFY(!cards->isVisible());

        // Another session's request changes nothing here.
        h.world.pushApprovalRequested(u"a-main"_s, JSONValue::object({{u"sessionId"_s, u"main"_s},
                                                                       {u"approvalId"_s, u"ap-main"_s},
                                                                       {u"toolName"_s, u"shell"_s}}));
        QTRY_COMPARE(store->interactions()->pendingApprovals().size(), size_t(1));
        QVERIFY(input->isVisible());
        QVERIFY(!cards->isVisible());

        // This session's approval and question: the question first, then the approval.
        h.world.pushApprovalRequested(u"a-side"_s, JSONValue::object({{u"sessionId"_s, u"side-1"_s},
                                                                       {u"approvalId"_s, u"ap-side"_s},
                                                                       {u"toolName"_s, u"write_file"_s},
                                                                       {u"reason"_s, u"writes notes.md"_s}}));
        const JSONValue options = JSONValue::array({JSONValue::object({{u"label"_s, u"红色"_s}}),
                                                    JSONValue::object({{u"label"_s, u"蓝色 (Recommended)"_s}})});
        h.world.pushQuestionRequested(u"q-side"_s, JSONValue::object(
            {{u"sessionId"_s, u"side-1"_s},
             {u"questions"_s, JSONValue::array({JSONValue::object({{u"id"_s, u"colour"_s},
                                                                   {u"question"_s, u"哪种颜色？"_s},
                                                                   {u"options"_s, options}})})}}));
        QTRY_VERIFY(cards->isVisible());
        QVERIFY(!input->isVisible());
        QTRY_COMPARE(cards->widget()->findChildren<QWidget *>(u"approval-card"_s).size(), 1);
        auto order = [&] {
            QStringList names;
            QLayout *column = cards->widget()->layout();
            for (int i = 0; i < column->count(); ++i)
                if (QWidget *w = column->itemAt(i)->widget())
                    names << w->objectName();
            return names;
        };
        // The question was sent after the approval: once its card is there, both are.
        QTRY_COMPARE(order(), (QStringList{u"question-card"_s, u"approval-card"_s}));
        QVERIFY(cards->height() <= WorkspaceSideChatView::kCardsMaxHeight);
        QVERIFY(cards->height() >= cards->widget()->findChild<QWidget *>(u"approval-card"_s)->sizeHint().height());
        QVERIFY2(nbd::test::accessibilityProblems(&view).isEmpty(),
                 qPrintable(nbd::test::accessibilityProblems(&view).join(u"; "_s)));

        // Choosing an option keeps the card (its drafts) when the approval's card goes away.
        auto *card = cards->widget()->findChild<QuestionCard *>(u"question-card"_s);
        QuestionOptionRow *blue = nullptr;
        for (QuestionOptionRow *row : card->findChildren<QuestionOptionRow *>(u"question-option"_s))
            if (!row->isHidden() && row->displayLabel() == u"蓝色"_s)
                blue = row;
        QVERIFY(blue);
        QTest::mouseClick(blue, Qt::LeftButton);
        QTest::mouseClick(cards->widget()->findChild<QAbstractButton *>(u"approval-allow"_s), Qt::LeftButton);
        QTRY_COMPARE(h.world.answers().size(), 1);
        QCOMPARE(h.world.answers().first().rpcId, u"a-side"_s);
        QCOMPARE(h.world.answers().first().result.find(u"value")->find(u"outcome")->string(),
                 std::optional<QString>(u"allowed-once"_s));
        QTRY_COMPARE(order(), QStringList{u"question-card"_s});
        QCOMPARE(cards->widget()->findChild<QuestionCard *>(u"question-card"_s), card);
        QVERIFY(card->flow().answered(*card->flow().current()));
        QVERIFY(cards->isVisible());

        // Submitting the question answers it with the full label and gives the input row back.
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-primary"_s), Qt::LeftButton);
        QTRY_COMPARE(h.world.answers().size(), 2);
        const JSONValue *answers = h.world.answers().last().result.find(u"value")->find(u"answer")->find(u"answers");
        QVERIFY(answers && answers->size() == 1);
        QCOMPARE(answers->elements()[0].find(u"selected")->elements()[0].string(),
                 std::optional<QString>(u"蓝色 (Recommended)"_s));
        QTRY_VERIFY(input->isVisible());
        QVERIFY(!cards->isVisible());
        QVERIFY(cards->widget()->findChildren<QuestionCard *>().isEmpty()
                || !cards->widget()->findChild<QuestionCard *>()->isVisible());
        QCOMPARE(store->interactions()->pendingApprovals().size(), size_t(1)); // the main session's stays
    }
};

NBD_GUI_TEST_MAIN(SideChatTest)
#include "tst_sidechat.moc"
