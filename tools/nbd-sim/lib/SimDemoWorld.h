#pragma once

#include <memory>

namespace nbd::sim {

class SimHost;
class SimWorld;

// A small world for demos and screenshots: three workspaces and a handful of sessions, some
// of them in no workspace, one running.
std::unique_ptr<SimWorld> makeDemoWorld(SimHost *host);
// A session "s-large" holding data of the sizes agents produce: three tool calls with a result
// of 5 MB each (no presentation, the generic card, the terminal card) and 10,000 todos.
void addLargeDataSession(SimWorld &world);

} // namespace nbd::sim
