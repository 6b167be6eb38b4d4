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
    // Prompts are answered by a short scripted turn: a little reasoning, then the reply.
    SimWorld::AgentScript script;
    SimWorld::AgentStep thinking;
    thinking.kind = SimWorld::AgentStep::Kind::Reasoning;
    thinking.deltas = {u"先看一下"_s, u"相关的代码……"_s};
    script.push_back(thinking);
    for (const SimWorld::AgentStep &step : SimWorld::textScript(u"好的，这是模拟主机的演示回答。"_s))
        script.push_back(step);
    world->setScript(std::move(script));
    return world;
}

} // namespace nbd::sim
