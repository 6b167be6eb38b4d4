#include "SimDemoWorld.h"

#include "SimSessions.h"
#include "SimWorld.h"

#include <QDateTime>

using namespace Qt::Literals::StringLiterals;

namespace nbd::sim {

std::unique_ptr<SimWorld> makeDemoWorld(SimHost *host)
{
    auto world = std::make_unique<SimWorld>(host);
    const double now = double(QDateTime::currentMSecsSinceEpoch());
    auto add = [&](QString id, double minutesAgo, QString title, bool running = false) {
        SimWorld::Session s;
        s.id = std::move(id);
        s.updatedAt = now - minutesAgo * 60'000;
        s.title = std::move(title);
        s.running = running;
        world->addSession(s);
    };
    add(u"s-login"_s, 3, u"修复登录页的重定向循环"_s, true);
    add(u"s-cache"_s, 40, u"Add an LRU cache to the resolver"_s);
    add(u"s-docs"_s, 180, u"整理 README 的安装说明"_s);
    add(u"s-bench"_s, 1500, u"Benchmark the history fold"_s);
    add(u"s-ci"_s, 4000, u"CI: run the sanitizer build nightly"_s);
    add(u"s-notes"_s, 12, u"周会纪要与待办"_s);
    add(u"s-idea"_s, 9000, u"Sketch: offline mode"_s);
    world->addWorkspace({u"ws-web"_s, u"/home/dev/src/nimbrel-web"_s, u"nimbrel-web"_s, {u"s-login"_s, u"s-cache"_s}});
    world->addWorkspace({u"ws-docs"_s, u"/home/dev/src/handbook/chapters/operations"_s, u"handbook"_s, {u"s-docs"_s}});
    world->addWorkspace({u"ws-core"_s, u"/home/dev/src/core"_s, u"core"_s, {u"s-bench"_s, u"s-ci"_s}});

    // Each session opens on a short history: the user's request and one answered turn.
    auto history = [&](const QString &id, const QString &ask, const QString &answer) {
        world->appendEvent(id, events::userMessage(id + u"-m1"_s, ask));
        world->appendEvent(id, events::turnStart(1));
        world->appendEvent(id, events::stepStart(1, 1));
        world->appendEvent(id, events::textDelta(1, 1, 0, answer));
        world->appendEvent(id, events::assistantMessage(1, 1, answer));
        world->appendEvent(id, events::turnEnd(1));
    };
    history(u"s-login"_s, u"登录后页面一直在 /login 和 /home 之间跳转，帮我看看。"_s,
            u"重定向循环来自会话检查：令牌过期时两边都在跳转。我会先在中间件里统一处理。"_s);
    history(u"s-cache"_s, u"Add an LRU cache in front of the resolver."_s,
            u"Added a 256-entry LRU cache; hits skip the network lookup entirely."_s);
    history(u"s-docs"_s, u"把 README 的安装说明整理成两条命令。"_s, u"已改为 scripts/run 与 scripts/test 两条命令。"_s);
    history(u"s-bench"_s, u"How fast is the history fold?"_s, u"About 1.8 million events per second at 100k events."_s);
    history(u"s-notes"_s, u"整理本周周会的待办。"_s, u"共 4 项待办，已按负责人分组。"_s);
    // The running session carries a goal with its todos, the permission presets, plan mode and
    // a model catalogue, so the dock above the composer has something to show.
    const QString login = u"s-login"_s;
    SimSessions &logs = world->logs();
    logs.setProjection(login, u"goal"_s,
                       JSONValue::object({{u"goal"_s, JSONValue::object({{u"id"_s, u"goal-1"_s},
                                                                        {u"revision"_s, 2},
                                                                        {u"objective"_s, u"登录后不再出现重定向循环，并补上回归测试"_s},
                                                                        {u"phase"_s, u"active"_s}})},
                                          {u"roundsStarted"_s, 1},
                                          {u"createdAt"_s, now / 1000 - 600},
                                          {u"updatedAt"_s, now / 1000 - 60}}),
                       false);
    auto todo = [](QString content, QString status) {
        return JSONValue::object({{u"content"_s, std::move(content)}, {u"status"_s, std::move(status)}});
    };
    logs.setProjection(login, u"todos"_s,
                       JSONValue::array({todo(u"复现重定向循环"_s, u"completed"_s),
                                         todo(u"在中间件里统一处理过期令牌"_s, u"in_progress"_s),
                                         todo(u"补充登录流程的回归测试"_s, u"pending"_s)}),
                       false);
    auto preset = [](QString value, QString name) {
        return JSONValue::object({{u"value"_s, std::move(value)}, {u"name"_s, std::move(name)}});
    };
    const JSONValue presets = JSONValue::array({preset(u"read-only"_s, u"Read only"_s),
                                                preset(u"workspace-write"_s, u"Workspace write"_s),
                                                preset(u"danger-full-access"_s, u"Full access"_s)});
    for (const QString &id : {login, u"s-cache"_s, u"s-docs"_s, u"s-bench"_s, u"s-ci"_s, u"s-notes"_s, u"s-idea"_s}) {
        logs.setProjection(id, u"permissions"_s,
                           JSONValue::object({{u"options"_s, presets}, {u"current"_s, u"workspace-write"_s}}), false);
        world->setModels(id, SimWorld::modelCatalogue(u"sim"_s, u"sim/nimbrel-large"_s));
    }
    world->setPermissionPresets(QStringList{u"read-only"_s, u"workspace-write"_s, u"danger-full-access"_s});

    // Prompts are answered by a short scripted turn: a little reasoning, a question to the user,
    // a command that needs approval, then the reply.
    SimWorld::AgentScript script;
    SimWorld::AgentStep thinking;
    thinking.kind = SimWorld::AgentStep::Kind::Reasoning;
    thinking.deltas = {u"先看一下"_s, u"相关的代码……"_s};
    script.push_back(thinking);
    SimWorld::AgentStep ask;
    ask.kind = SimWorld::AgentStep::Kind::Question;
    auto option = [](QString label, QString description) {
        return JSONValue::object({{u"label"_s, std::move(label)}, {u"description"_s, std::move(description)}});
    };
    ask.questions = JSONValue::array({JSONValue::object(
        {{u"id"_s, u"scope"_s},
         {u"header"_s, u"范围"_s},
         {u"question"_s, u"这次改动要覆盖哪些页面？"_s},
         {u"options"_s, JSONValue::array({option(u"只改登录页（推荐）"_s, u"改动最小，先验证修复"_s),
                                         option(u"登录页和注册页"_s, u"两处共用同一个中间件"_s),
                                         option(u"所有需要登录的页面"_s, u"一次处理完，但需要更多测试"_s)})},
         {u"multiSelect"_s, false}})});
    script.push_back(ask);
    SimWorld::AgentStep call;
    call.kind = SimWorld::AgentStep::Kind::ToolCall;
    call.toolName = u"shell"_s;
    call.arguments = u"{\"command\":\"npm test -- login\"}"_s;
    script.push_back(call);
    SimWorld::AgentStep approval;
    approval.kind = SimWorld::AgentStep::Kind::Approval;
    approval.text = u"运行登录流程的测试：npm test -- login"_s;
    script.push_back(approval);
    SimWorld::AgentStep result;
    result.kind = SimWorld::AgentStep::Kind::ToolResult;
    result.text = u"12 passing"_s;
    script.push_back(result);
    SimWorld::AgentStep end;
    end.kind = SimWorld::AgentStep::Kind::EndStep;
    script.push_back(end);
    for (const SimWorld::AgentStep &step : SimWorld::textScript(u"好的，这是模拟主机的演示回答。"_s))
        script.push_back(step);
    world->setScript(std::move(script));

    // What the Settings window shows: two settings namespaces, a few credentials, the
    // sessions' skills and both plugin inventories. No plugin with a client half runs, so the
    // main window shows no plugin page over its content.
    auto object = [](JSONValue::Members members) { return JSONValue::object(std::move(members)); };
    auto array = [](JSONValue::Elements elements) { return JSONValue::array(std::move(elements)); };
    world->addSettingsNamespace(u"agent"_s, JSONValue::emptyObject(),
                                object({{u"model"_s, u"claude-sonnet"_s},
                                        {u"maxSteps"_s, 40},
                                        {u"approvals"_s, object({{u"shell"_s, u"ask"_s}, {u"edit"_s, u"auto"_s}})}}));
    world->addSettingsNamespace(u"providers"_s, JSONValue::emptyObject(),
                                object({{u"default"_s, u"anthropic"_s},
                                        {u"anthropic"_s, object({{u"baseUrl"_s, u"https://api.example.com"_s}})}}),
                                u"restart"_s,
                                array({object({{u"path"_s, array({u"anthropic"_s, u"apiKey"_s})}, {u"set"_s, true}}),
                                       object({{u"path"_s, array({u"openai"_s, u"apiKey"_s})}, {u"set"_s, false}})}));
    world->setCredential(u"NIMBREL_API_KEY"_s, u"keychain"_s);
    world->setCredential(u"GITHUB_TOKEN"_s, std::nullopt);
    world->setCredential(u"ORG_SHARED_KEY"_s, u"environment"_s, false);
    auto skill = [&](QString name, QString description, std::optional<QString> when, bool invocable) {
        JSONValue::Members m{{u"name"_s, std::move(name)},
                             {u"description"_s, std::move(description)},
                             {u"modelInvocable"_s, invocable}};
        if (when)
            m.emplace_back(u"whenToUse"_s, *when);
        return object(std::move(m));
    };
    const JSONValue skills = array({
        skill(u"code-review"_s, u"按仓库约定审查当前改动，列出问题与建议。"_s,
              u"用户请求审查、提交前检查或询问改动是否合理时。"_s, true),
        skill(u"release-notes"_s, u"根据提交记录整理发布说明。"_s, std::nullopt, true),
        skill(u"project-layout"_s, u"Shows how this workspace is organised and where each module lives."_s,
              u"When the user asks where something is implemented."_s, false),
    });
    for (const QString &id : {u"s-login"_s, u"s-cache"_s, u"s-docs"_s, u"s-bench"_s, u"s-ci"_s, u"s-notes"_s, u"s-idea"_s})
        world->setSkills(id, skills);
    auto entry = [&](QString id, QString module, bool enabled, std::optional<QString> phase) {
        JSONValue::Members m{{u"entryId"_s, std::move(id)}, {u"moduleName"_s, std::move(module)}, {u"enabled"_s, enabled}};
        if (phase)
            m.emplace_back(u"fiberPhase"_s, *phase);
        return object(std::move(m));
    };
    world->setPluginInventory(array({
        entry(u"p-git"_s, u"@nimbrel/nbd-host-git"_s, true, u"active"_s),
        entry(u"p-search"_s, u"nbd-plugin-search"_s, true, u"loading"_s),
        entry(u"p-lsp"_s, u"talvor:language-server"_s, true, u"failed"_s),
        entry(u"p-metrics"_s, u"nbd-client-metrics"_s, false, std::nullopt),
    }));
    auto package = [&](QString id, QString name, QString purpose, bool host, bool client) {
        return object({{u"packageId"_s, std::move(id)},
                       {u"name"_s, std::move(name)},
                       {u"purpose"_s, std::move(purpose)},
                       {u"hasHostHalf"_s, host},
                       {u"hasClientHalf"_s, client}});
    };
    world->setDynamicInventory(array({
        object({{u"pluginId"_s, u"dash-board"_s},
                {u"agentId"_s, u"agent-1"_s},
                {u"packages"_s, array({package(u"dash-1"_s, u"Build Dashboard"_s,
                                               u"在侧栏显示 CI 构建状态与最近失败的任务。"_s, true, true)})},
                {u"currentPackageId"_s, u"dash-1"_s},
                {u"latestRun"_s, object({{u"packageId"_s, u"dash-1"_s}, {u"status"_s, u"failed"_s}})}}),
        object({{u"pluginId"_s, u"todo-sync"_s},
                {u"agentId"_s, u"agent-1"_s},
                {u"packages"_s, array({package(u"todo-1"_s, u"Todo Sync"_s, u"Keeps the session's todo list in a file."_s,
                                               true, false),
                                       package(u"todo-2"_s, u"Todo Sync"_s, u"Keeps the session's todo list in a file."_s,
                                               true, false)})},
                {u"currentPackageId"_s, u"todo-2"_s},
                {u"activeRun"_s, object({{u"packageId"_s, u"todo-2"_s}})}}),
        object({{u"pluginId"_s, u"scratch"_s}, {u"agentId"_s, u"agent-2"_s}, {u"packages"_s, array({})}}),
    }));
    return world;
}

} // namespace nbd::sim
