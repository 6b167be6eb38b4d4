#pragma once

#include <QByteArray>

namespace nbd::sim {

class SimHost;

// The host's web page at its base address, answered to "GET /" under the reply key "page".
// The default page has a shell element beside an overlay element marked "data-shell-overlay"
// whose one child is a 100 × 60 box at (50, 40).
QByteArray defaultOverlayPage();
void serveOverlayPage(SimHost &host, QByteArray html = defaultOverlayPage());

} // namespace nbd::sim
