// Pictures of the composer family in the real main window for a person to look at: the
// composer empty, with text and while a turn runs, the question card, the approval card and
// the goal banner with its todos, over a session of the simulated host.
// Not a test: run it with an output folder; NBD_APPEARANCE picks light or dark.
//
//   composer_shots OUTPUT_DIR

#include "AppModelTestSupport.h"
#include "ObservableWaits.h"
#include "TypeText.h"

#include "App/ContentView.h"
#include "App/MainWindow.h"
#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Composer/ComposerView.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Conversation/BottomDock.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/AppStartup.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QDir>
#include <QScrollArea>
#include <QTest>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;
using Step = sim::SimWorld::AgentStep;

namespace {

bool waitFor(const std::function<bool()> &cond) { return QTest::qWaitFor(cond, 20000); }

QString g_out;
QString g_suffix;

void save(QWidget *widget, const QString &name)
{
    if (!test::waitUntilMotionSettles(widget->window()))
        std::fprintf(stderr, "motion still running in %s\n", qPrintable(name));
    const QString path = QDir(g_out).filePath(name + g_suffix + u".png"_s);
    widget->grab().save(path);
    std::printf("%s\n", qPrintable(path));
}

Step step(Step::Kind kind, QStringList deltas = {})
{
    Step s;
    s.kind = kind;
    s.deltas = std::move(deltas);
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    prepareApplication();
    QApplication app(argc, argv);
    finishApplicationSetup(app);
    if (argc < 2) {
        std::fprintf(stderr, "usage: composer_shots OUTPUT_DIR\n");
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    g_suffix = Theme::isDark() ? u"-dark"_s : u"-light"_s;

    test::StoreHarness h;
    auto session = test::session(u"notes"_s, 3000);
    session.title = u"整理笔记"_s;
    h.world.addSession(session);
    // One earlier exchange, run by the host itself so that its turn numbers go on from there.
    h.world.setScript(sim::SimWorld::textScript(u"目录里有 notes.md 和 todo.md 两个文件。"_s));
    h.world.promptAsUser(u"notes"_s, u"看看 notes 目录里有什么"_s);
    if (!waitFor([&] { return !h.world.isRunActive(u"notes"_s); }))
        return 1;
    h.world.setModels(u"notes"_s, sim::SimWorld::modelCatalogue(u"acme"_s, u"acme-large"_s));

    AppModel *store = h.makeStore();
    MainWindow window(store, [] {}, nullptr, [] {});
    window.resize(1280, 820);
    window.show();
    QApplication::setActiveWindow(&window);
    (void)QTest::qWaitForWindowActive(&window);
    store->connect();
    auto *conversation = window.findChild<ConversationView *>();
    auto composer = [&] { return qobject_cast<ComposerView *>(conversation->dock()->composer()); };
    if (!waitFor([&] { return composer() && composer()->isVisible(); }))
        return 1;
    BottomDock *dock = conversation->dock();

    save(&window, u"composer-empty"_s);

    PromptField *field = composer()->promptField();
    QTest::mouseClick(field->viewport(), Qt::LeftButton);
    test::typeText(field, u"把 notes.md 改名为 journal.md"_s);
    QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
    test::typeText(field, u"然后更新 README 里的链接。"_s);
    save(&window, u"composer-text"_s);
    save(dock, u"composer-text-dock"_s);
    field->clear();

    // A turn that runs until it is stopped, then one that asks and needs an approval.
    Step question = step(Step::Kind::Question);
    question.questions = JSONValue::array({JSONValue::object(
        {{u"id"_s, u"name"_s},
         {u"header"_s, u"新文件名"_s},
         {u"question"_s, u"新文件叫什么？"_s},
         {u"detail"_s, u"改名后 **旧链接** 会失效，见 [重命名说明](https://example.org/rename)。"_s},
         {u"options"_s, JSONValue::array({JSONValue::object({{u"label"_s, u"journal.md (Recommended)"_s},
                                                             {u"description"_s, u"按日期记的笔记"_s}}),
                                          JSONValue::object({{u"label"_s, u"diary.md"_s},
                                                             {u"description"_s, u"更私人的叫法"_s}})})},
         {u"multiSelect"_s, false}})});
    Step call = step(Step::Kind::ToolCall);
    call.toolName = u"shell"_s;
    call.arguments = u"{\"command\":\"mv notes.md journal.md\"}"_s;
    Step approval = step(Step::Kind::Approval);
    approval.text = u"在工作区中重命名文件 notes.md → journal.md"_s;
    sim::SimWorld::AgentScript script;
    script << step(Step::Kind::Text, {u"我先确认一下新名字。"_s}) << question << call << approval
           << step(Step::Kind::ToolResult) << step(Step::Kind::EndStep);
    for (int i = 0; i < 20; ++i)
        script << step(Step::Kind::Text, {u"……"_s});
    script << step(Step::Kind::EndStep);
    h.world.setScript(script);
    h.world.setStepDelay(400);

    test::typeText(field, u"改名并更新链接"_s);
    QTest::keyClick(field, Qt::Key_Return);
    if (!waitFor([&] { return conversation->shownSession()->running(); }))
        return 1;
    save(&window, u"composer-running"_s);

    if (!waitFor([&] { return dock->input() == BottomDock::Input::Cards; }))
        return 1;
    save(&window, u"question-card"_s);
    save(dock, u"question-card-dock"_s);
    QWidget *card = dock->cards().value(0);
    const auto options = card->findChildren<QAbstractButton *>(u"question-option"_s);
    QTest::mouseClick(options.value(0), Qt::LeftButton);
    QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-primary"_s), Qt::LeftButton);

    if (!waitFor([&] {
            const auto cards = dock->cards();
            return !cards.isEmpty() && cards.front()->objectName() == u"approval-card"_s;
        }))
        return 1;
    save(&window, u"approval-card"_s);
    save(dock, u"approval-card-dock"_s);
    QTest::mouseClick(dock->cards().front()->findChild<QAbstractButton *>(u"approval-allow"_s), Qt::LeftButton);
    if (!waitFor([&] { return dock->input() == BottomDock::Input::Composer; }))
        return 1;
    composer()->findChild<QAbstractButton *>(u"composer-action"_s)->click(); // stop
    waitFor([&] { return !conversation->shownSession()->running(); });

    // The goal banner with its todos, collapsed and open.
    h.world.pushProjection(
        u"notes"_s, u"goal"_s,
        JSONValue::object({{u"goal"_s, JSONValue::object({{u"id"_s, u"g1"_s},
                                                          {u"revision"_s, 3},
                                                          {u"objective"_s, u"把笔记整理成按日期排列的日志，并保持所有链接可用"_s},
                                                          {u"phase"_s, u"active"_s}})},
                           {u"roundsStarted"_s, 2},
                           {u"createdAt"_s, 1.0},
                           {u"updatedAt"_s, 2.0}}));
    h.world.pushProjection(u"notes"_s, u"todos"_s,
                           JSONValue::array({JSONValue::object({{u"content"_s, u"重命名 notes.md"_s}, {u"status"_s, u"completed"_s}}),
                                             JSONValue::object({{u"content"_s, u"更新 README 链接"_s}, {u"status"_s, u"in_progress"_s}}),
                                             JSONValue::object({{u"content"_s, u"检查其他文档中的引用"_s}, {u"status"_s, u"pending"_s}}),
                                             JSONValue::object({{u"content"_s, u"提交改动"_s}, {u"status"_s, u"pending"_s}})}));
    if (!waitFor([&] { return dock->goalBanner() && dock->goalBanner()->isVisible(); }))
        return 1;
    save(&window, u"goal-banner"_s);
    QTest::mouseClick(dock->goalBanner()->findChild<QWidget *>(u"todo-header"_s), Qt::LeftButton);
    if (!waitFor([&] { return qobject_cast<GoalBannerView *>(dock->goalBanner()) && qobject_cast<GoalBannerView *>(dock->goalBanner())->todosExpanded(); }))
        return 1;
    save(&window, u"goal-banner-todos"_s);
    save(dock, u"goal-banner-todos-dock"_s);

    // A side chat whose session asks a question and wants an approval.
    ContentView *content = window.content();
    content->openWorkspaceTool(WorkspaceTool::SideChat);
    QString sideId;
    if (!waitFor([&] {
            for (const WorkspaceSideChatRuntime &runtime : content->sideChatRuntimes())
                if (runtime.session)
                    sideId = runtime.session->sessionId();
            return !sideId.isEmpty();
        }))
        return 1;
    h.world.pushQuestionRequested(u"side-q"_s, JSONValue::object(
        {{u"sessionId"_s, sideId},
         {u"questions"_s, JSONValue::array({JSONValue::object(
             {{u"id"_s, u"scope"_s},
              {u"question"_s, u"要检查哪些文档？"_s},
              {u"multiSelect"_s, true},
              {u"options"_s, JSONValue::array({JSONValue::object({{u"label"_s, u"README.md"_s}}),
                                               JSONValue::object({{u"label"_s, u"docs/ 下全部（推荐）"_s}})})}})})}}));
    h.world.pushApprovalRequested(u"side-a"_s, JSONValue::object({{u"sessionId"_s, sideId},
                                                                 {u"approvalId"_s, u"ap-side"_s},
                                                                 {u"toolName"_s, u"grep"_s},
                                                                 {u"reason"_s, u"在工作区中搜索 notes.md"_s}}));
    if (!waitFor([&] {
            return store->interactions()->pendingApprovals().size() == 1
                && store->interactions()->pendingQuestions().size() == 1;
        }))
        return 1;
    // The side chat shows both cards.
    if (!waitFor([&] {
            auto *cards = window.findChild<QScrollArea *>(u"workspace-side-chat-cards"_s);
            const auto shown = [cards](const QString &name) {
                const QWidget *card = cards && cards->widget() ? cards->widget()->findChild<QWidget *>(name) : nullptr;
                return card && card->isVisible();
            };
            return shown(u"approval-card"_s) && shown(u"question-card"_s);
        }))
        return 1;
    save(&window, u"side-chat-cards"_s);
    return 0;
}
