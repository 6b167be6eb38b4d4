#include "SimDemoWorld.h"

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
    return world;
}

} // namespace nbd::sim
