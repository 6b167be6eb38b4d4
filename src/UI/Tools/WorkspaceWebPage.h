#pragma once

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

    // The page's widget; owned by the parent given at creation.
    virtual QWidget *widget() = 0;
    // Loads the address with the default cache policy; a load still running after
    // kLoadTimeoutMs is stopped.
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
};

// Creates a page under `parent`, loading the web view library the first time. Nothing (and a
// warning with the loader's reason) when the library cannot be loaded.
WorkspaceWebPage *createWorkspaceWebPage(QWidget *parent);

} // namespace nbd
