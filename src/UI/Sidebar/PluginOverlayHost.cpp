#include "UI/Sidebar/PluginOverlayHost.h"

#include "UI/Shared/ScriptDialogs.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegion>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineDownloadRequest>
#include <QWebEngineFullScreenRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(-1) == b.port(-1);
}

std::optional<double> number(const QVariantMap &entry, const QString &key)
{
    const auto it = entry.constFind(key);
    if (it == entry.constEnd())
        return std::nullopt;
    switch (it->typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        const double value = it->toDouble();
        return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
    }
    default: return std::nullopt;
    }
}

// The script that isolates the overlay element and reports its visible children.
const char kUserScript[] = R"JS(
(function () {
  if (window.__NBD_NATIVE_OVERLAY_HOST__) return;
  window.__NBD_NATIVE_OVERLAY_HOST__ = true;
  var queued = [];
  var handler = null;
  var post = function (body) { if (handler) handler.postMessage(body); else queued.push(body); };
  function connectChannel() {
    if (typeof QWebChannel === 'undefined' || typeof qt === 'undefined' || !qt.webChannelTransport) {
      setTimeout(connectChannel, 20);
      return;
    }
    new QWebChannel(qt.webChannelTransport, function (channel) {
      handler = channel.objects.nbdOverlayRects || null;
      if (!handler) return;
      var pending = queued; queued = [];
      if (pending.length) handler.postMessage(pending[pending.length - 1]);
    });
  }
  connectChannel();

  var STYLE_ID = 'nbd-native-overlay-isolation';
  var style = document.createElement('style');
  style.id = STYLE_ID;
  style.textContent =
    'html, body { background: transparent !important; background-color: transparent !important; }\n' +
    'body > * { visibility: hidden !important; pointer-events: none !important; }\n' +
    '[data-shell-overlay] { visibility: visible !important; pointer-events: none !important; ' +
    'background: transparent !important; }';
  var overlay = null, resizeObserver = null, bootstrapObserver = null, overlayObserver = null,
      childAttributeObserver = null, headObserver = null, scheduled = false;

  function installStyle() {
    var container = document.head || document.documentElement;
    if (!container) return false;
    if (style.parentNode !== container) container.appendChild(style);
    return style.isConnected;
  }
  function watchHead() {
    if (!document.head || headObserver) return;
    headObserver = new MutationObserver(function () { installStyle(); schedule(); });
    headObserver.observe(document.head, { childList: true });
    installStyle();
  }
  function visibleChild(el) {
    var cs = getComputedStyle(el);
    if (cs.display === 'none' || cs.visibility === 'hidden' || !(parseFloat(cs.opacity) > 0)) return false;
    var r = el.getBoundingClientRect();
    return r.width > 0 && r.height > 0;
  }
  function report() {
    if (!overlay) return;
    installStyle();
    watchHead();
    var root = overlay;
    while (root.parentElement && root.parentElement !== document.body) root = root.parentElement;
    var isolated = style.isConnected && overlay.isConnected && root.parentElement === document.body &&
      getComputedStyle(root).visibility === 'hidden' && getComputedStyle(overlay).visibility === 'visible';
    if (!isolated) { post({ ready: false, rects: [] }); return; }
    var rects = [];
    for (var i = 0; i < overlay.children.length; i++) {
      var child = overlay.children[i];
      if (!visibleChild(child)) continue;
      var r = child.getBoundingClientRect();
      rects.push({ x: r.left, y: r.top, width: r.width, height: r.height });
    }
    post({ ready: true, rects: rects });
  }
  function schedule() {
    if (scheduled) return;
    scheduled = true;
    requestAnimationFrame(function () { scheduled = false; report(); });
  }
  function watchChildren() {
    if (resizeObserver) resizeObserver.disconnect();
    if (childAttributeObserver) childAttributeObserver.disconnect();
    resizeObserver = new ResizeObserver(schedule);
    childAttributeObserver = new MutationObserver(schedule);
    resizeObserver.observe(overlay);
    for (var i = 0; i < overlay.children.length; i++) {
      resizeObserver.observe(overlay.children[i]);
      childAttributeObserver.observe(overlay.children[i], { attributes: true, attributeFilter: ['class', 'style', 'hidden'] });
    }
  }
  function isolate() {
    installStyle();
    watchHead();
    var found = document.querySelector('[data-shell-overlay]');
    if (!found) {
      overlay = null;
      post({ ready: false, rects: [] });
      return;
    }
    if (found === overlay) { schedule(); return; }
    overlay = found;
    if (bootstrapObserver) { bootstrapObserver.disconnect(); bootstrapObserver = null; }
    watchChildren();
    if (overlayObserver) overlayObserver.disconnect();
    overlayObserver = new MutationObserver(function () { watchChildren(); schedule(); });
    overlayObserver.observe(overlay, { childList: true, attributes: true, attributeFilter: ['class', 'style', 'hidden'] });
    schedule();
  }
  function bootstrap() {
    installStyle();
    // At document creation the root element may not exist yet; the document itself can be
    // observed already, and retrying in a microtask would starve the parser.
    bootstrapObserver = new MutationObserver(isolate);
    bootstrapObserver.observe(document, { childList: true, subtree: true });
    isolate();
  }
  window.addEventListener('resize', schedule);
  ['scroll', 'pointermove', 'transitionend'].forEach(function (name) {
    document.addEventListener(name, schedule, true);
  });
  document.addEventListener('DOMContentLoaded', function () { installStyle(); watchHead(); isolate(); }, { once: true });
  setInterval(isolate, 1000);
  bootstrap();
})();
)JS";

QString webChannelScript()
{
    QFile file(u":/qtwebchannel/qwebchannel.js"_s);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

} // namespace

void OverlayRectsBridge::postMessage(const QVariantMap &body) { Q_EMIT reported(body); }

// Keeps the page on the host's own origin and refuses everything that would leave it.
class OverlayPage : public QWebEnginePage
{
public:
    OverlayPage(QWebEngineProfile *profile, QObject *parent) : QWebEnginePage(profile, parent)
    {
        connect(this, &QWebEnginePage::featurePermissionRequested, this,
                [this](const QUrl &origin, QWebEnginePage::Feature feature) {
                    setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
                });
        connect(this, &QWebEnginePage::fullScreenRequested, this,
                [](QWebEngineFullScreenRequest request) { request.reject(); });
    }

    QUrl origin;

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType, bool isMainFrame) override
    {
        if (isMainFrame)
            return sameOrigin(url, origin);
        // A frame may load web content; any other scheme the engine would hand to the
        // desktop itself, unchecked.
        static const QStringList frameSchemes = {u"http"_s, u"https"_s, u"about"_s, u"data"_s, u"blob"_s};
        return frameSchemes.contains(url.scheme().toLower());
    }
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }
    // The engine's dialogs would be modal over the whole window: each is answered at once,
    // unseen (the overlay has no room of its own to show them).
    void javaScriptAlert(const QUrl &, const QString &) override {}
    bool javaScriptConfirm(const QUrl &, const QString &msg) override { return ScriptDialogs::isLeaveQuestion(msg); }
    bool javaScriptPrompt(const QUrl &, const QString &, const QString &, QString *) override { return false; }
    QStringList chooseFiles(FileSelectionMode, const QStringList &, const QStringList &) override { return {}; }
};

QWebEngineProfile *PluginOverlayHost::profile()
{
    static QPointer<QWebEngineProfile> shared;
    if (!shared) {
        shared = new QWebEngineProfile(u"nbd-plugin-overlay"_s, QCoreApplication::instance());
        QObject::connect(shared, &QWebEngineProfile::downloadRequested, shared,
                         [](QWebEngineDownloadRequest *download) { download->cancel(); });
    }
    return shared;
}

QString PluginOverlayHost::userScriptSource() { return QString::fromUtf8(kUserScript); }

PluginOverlayHost::PluginOverlayHost(const QUrl &baseURL, QWidget *parent)
    : QWidget(parent)
    , m_baseURL(baseURL)
    , m_view(new QWebEngineView(this))
    , m_page(new OverlayPage(profile(), m_view))
    , m_channel(new QWebChannel(m_page))
    , m_bridge(new OverlayRectsBridge(m_channel))
{
    setObjectName(u"plugin-overlay"_s);
    setAttribute(Qt::WA_TranslucentBackground);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    m_view->setObjectName(u"plugin-overlay-web-view"_s);
    m_view->setAttribute(Qt::WA_TranslucentBackground);
    m_view->setContextMenuPolicy(Qt::NoContextMenu);

    m_page->setBackgroundColor(Qt::transparent);
    m_page->settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    m_page->settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
    QWebEngineScript channelScript;
    channelScript.setName(u"nbd-webchannel"_s);
    channelScript.setSourceCode(webChannelScript());
    channelScript.setInjectionPoint(QWebEngineScript::DocumentCreation);
    channelScript.setWorldId(QWebEngineScript::MainWorld);
    channelScript.setRunsOnSubFrames(false);
    QWebEngineScript script;
    script.setName(u"nbd-overlay-isolation"_s);
    script.setSourceCode(userScriptSource());
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    m_page->scripts().insert(channelScript);
    m_page->scripts().insert(script);
    m_channel->registerObject(u"nbdOverlayRects"_s, m_bridge);
    m_page->setWebChannel(m_channel, QWebEngineScript::MainWorld);
    m_view->setPage(m_page);

    connect(m_bridge, &OverlayRectsBridge::reported, this, &PluginOverlayHost::applyReport);
    connect(m_page, &QWebEnginePage::loadStarted, this, &PluginOverlayHost::hideOverlay);
    connect(m_page, &QWebEnginePage::urlChanged, this, &PluginOverlayHost::hideOverlay);
    // A crashed page stays hidden and click-through until the address changes.
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this, &PluginOverlayHost::hideOverlay);

    applyState();
    load();
}

PluginOverlayHost::~PluginOverlayHost()
{
    m_channel->deregisterObject(m_bridge);
    m_page->triggerAction(QWebEnginePage::Stop);
}

void PluginOverlayHost::load()
{
    m_page->origin = m_baseURL;
    m_page->load(m_baseURL);
}

void PluginOverlayHost::hideOverlay()
{
    m_rects.clear();
    m_shown = false;
    applyState();
}

void PluginOverlayHost::applyReport(const QVariantMap &body)
{
    const auto ready = body.constFind(u"ready"_s);
    const auto rects = body.constFind(u"rects"_s);
    bool valid = ready != body.constEnd() && ready->typeId() == QMetaType::Bool && ready->toBool()
        && rects != body.constEnd() && rects->typeId() == QMetaType::QVariantList;
    QList<QRectF> parsed;
    if (valid) {
        const QVariantList entries = rects->toList();
        for (const QVariant &entry : entries) {
            if (entry.typeId() != QMetaType::QVariantMap) {
                valid = false;
                break;
            }
            const QVariantMap map = entry.toMap();
            const auto x = number(map, u"x"_s), y = number(map, u"y"_s);
            const auto w = number(map, u"width"_s), h = number(map, u"height"_s);
            if (x && y && w && h && *w > 0 && *h > 0)
                parsed.append(QRectF(*x, *y, *w, *h));
        }
    }
    if (!valid) {
        hideOverlay();
        return;
    }
    m_rects = parsed;
    m_shown = true;
    applyState();
}

bool PluginOverlayHost::capturesPoint(const QPointF &point) const
{
    if (!m_shown)
        return false;
    for (const QRectF &rect : m_rects) {
        if (rect.adjusted(-kHitMargin, -kHitMargin, kHitMargin, kHitMargin).contains(point))
            return true;
    }
    return false;
}

void PluginOverlayHost::applyState()
{
    // Never hidden: a hidden page stops its animation frames and with them its reports. The
    // mask decides what is drawn and what takes clicks; an empty mask would mean "no mask"
    // and take every click, so "nothing" is a region outside the widget plus mouse
    // transparency.
    QRegion region;
    if (m_shown) {
        for (const QRectF &rect : std::as_const(m_rects)) {
            const QRectF grown = rect.adjusted(-kHitMargin, -kHitMargin, kHitMargin, kHitMargin);
            region += grown.toAlignedRect();
        }
    }
    const bool takesClicks = !region.isEmpty();
    setAttribute(Qt::WA_TransparentForMouseEvents, !takesClicks);
    m_view->setAttribute(Qt::WA_TransparentForMouseEvents, !takesClicks);
    setMask(takesClicks ? region : QRegion(-2, -2, 1, 1));
}

void PluginOverlayHost::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    applyState();
}

} // namespace nbd

// The entry point the application resolves when it first needs an overlay.
extern "C" Q_DECL_EXPORT QWidget *nbd_create_plugin_overlay(const QUrl &baseURL, QWidget *parent)
{
    return new nbd::PluginOverlayHost(baseURL, parent);
}
