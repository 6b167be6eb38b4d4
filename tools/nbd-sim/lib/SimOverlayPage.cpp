#include "SimOverlayPage.h"

#include "SimHost.h"

namespace nbd::sim {

QByteArray defaultOverlayPage()
{
    return QByteArrayLiteral(R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><title>nbd</title>
<style>
html, body { margin: 0; background: #ffffff; }
.shell { position: fixed; inset: 0; }
.app { padding: 20px; font: 14px sans-serif; }
.panel { position: fixed; left: 50px; top: 40px; width: 100px; height: 60px; background: #4176e6; border-radius: 8px; }
</style></head>
<body>
<div class="shell">
  <div class="app">The host's own interface, hidden by the overlay.</div>
  <div data-shell-overlay><div class="panel" id="panel"></div></div>
</div>
</body></html>
)HTML");
}

void serveOverlayPage(SimHost &host, QByteArray html)
{
    host.setReply(QStringLiteral("page"), Reply::raw(std::move(html)).withContentType("text/html; charset=utf-8"));
}

} // namespace nbd::sim
