#pragma once

#include "UI/Tools/WorkspaceWebPage.h"

#include <QTimer>
#include <QWebEnginePage>

class QWebEngineProfile;
class QWebEngineView;

namespace nbd {

// The page of a browser tab on the web engine: a named profile of its own (created on first
// use), only http, https and file navigations (the page's own navigations to other
// schemes go to onExternalLink), and no pop-ups, downloads or permissions. Nothing the page
// asks for opens a dialog: the engine's own would be modal to the whole window, and a page
// calling alert() in a loop would hold it. Each request is answered at once and reported
// through onRequest.
class WorkspaceWebEnginePage : public QWebEnginePage, public WorkspaceWebPage
{
    Q_OBJECT
public:
    static constexpr auto kProfileName = "nbd-workspace-browser";

    explicit WorkspaceWebEnginePage(QWidget *parent);
    ~WorkspaceWebEnginePage() override;

    static QWebEngineProfile *sharedProfile();

    QWidget *widget() override;
    void load(const QUrl &url) override;
    void goBack() override;
    void goForward() override;
    void reload() override;
    void stop() override;
    bool canGoBack() const override;
    bool canGoForward() const override;
    QUrl url() const override { return QWebEnginePage::url(); }

    void setLoadTimeoutMs(int ms) { m_timeout.setInterval(ms); }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage *createWindow(WebWindowType type) override;
    void javaScriptAlert(const QUrl &securityOrigin, const QString &msg) override;
    bool javaScriptConfirm(const QUrl &securityOrigin, const QString &msg) override;
    bool javaScriptPrompt(const QUrl &securityOrigin, const QString &msg, const QString &defaultValue,
                          QString *result) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList &oldFiles,
                            const QStringList &acceptedMimeTypes) override;

private:
    void report(Request request, const QString &text);

    QWebEngineView *m_view;
    QTimer m_timeout;
};

} // namespace nbd
