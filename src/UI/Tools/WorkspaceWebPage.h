#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace nbd {

// The web page of a browser tab, as the tab's toolbar drives it. Implemented in the web view
// library, which is loaded the first time a browser tab opens; only virtual calls cross
// into it.
class WorkspaceWebPage
{
public:
    static constexpr int kLoadTimeoutMs = 60000;

    virtual ~WorkspaceWebPage() = default;

    // What the page asked of the user. The page answers each at once and never holds the
    // window: an alert is only shown, a confirm, prompt, file choice or login is refused.
    enum class Request { Alert, Confirm, Prompt, ChooseFiles, Login };

    // Whether an address given to the tab (typed, pasted, a start address) is loaded: web pages
    // and local files only. Every other scheme is refused before the engine sees it: it would
    // run a `javascript:` address inside the shown page, show inline `data:` content under a
    // harmless-looking address or open its own internal pages.
    static bool loadsAddress(const QUrl &url)
    {
        const QString scheme = url.scheme().toLower();
        return url.isValid() && (scheme == u"http" || scheme == u"https" || scheme == u"file");
    }

    // The page's widget; owned by the parent given at creation.
    virtual QWidget *widget() = 0;
    // Loads the address with the default cache policy; a load still running after
    // kLoadTimeoutMs is stopped. An address loadsAddress() refuses is not loaded.
    virtual void load(const QUrl &url) = 0;
    virtual void goBack() = 0;
    virtual void goForward() = 0;
    virtual void reload() = 0;
    virtual void stop() = 0;
    virtual bool canGoBack() const = 0;
    virtual bool canGoForward() const = 0;
    virtual QUrl url() const = 0;

    // A navigation started.
    std::function<void()> onStarted;
    // A navigation finished (true) or failed or was stopped (false).
    std::function<void(bool ok)> onFinished;
    // A link, form or redirect of the page to a scheme it does not load itself (mail, other
    // programs' schemes): the page never hands it to the desktop on its own.
    std::function<void(const QUrl &url)> onExternalLink;
    // The page asked something of the user (already answered); `text` is the page's message,
    // or for a login the host asking, as the page sent it.
    std::function<void(Request request, const QString &text)> onRequest;
};

// Creates a page under `parent`, loading the web view library the first time. Nothing (and a
// warning with the loader's reason) when the library cannot be loaded.
WorkspaceWebPage *createWorkspaceWebPage(QWidget *parent);

} // namespace nbd
