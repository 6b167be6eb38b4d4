#pragma once

#include <memory>

namespace nbd::sim {

class SimHost;
class SimWorld;

// A small world for demos and screenshots: three workspaces and a handful of sessions, some
// of them in no workspace, one running.
std::unique_ptr<SimWorld> makeDemoWorld(SimHost *host);

} // namespace nbd::sim
