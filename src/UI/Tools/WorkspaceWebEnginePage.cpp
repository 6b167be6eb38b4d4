#include "UI/Tools/WorkspaceWebEnginePage.h"

#include "UI/Shared/ScriptDialogs.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QPointer>
#include <QWebEngineDownloadRequest>
#include <QWebEngineFileSystemAccessRequest>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineProfile>
#include <QWebEngineRegisterProtocolHandlerRequest>
#include <QWebEngineSettings>
#include <QWebEngineView>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QWebEngineProfile *WorkspaceWebEnginePage::sharedProfile()
{
    static QPointer<QWebEngineProfile> shared;
    if (!shared) {
        shared = new QWebEngineProfile(QString::fromLatin1(kProfileName), QCoreApplication::instance());
        QObject::connect(shared, &QWebEngineProfile::downloadRequested, shared,
                         [](QWebEngineDownloadRequest *download) { download->cancel(); });
    }
    return shared;
}

WorkspaceWebEnginePage::WorkspaceWebEnginePage(QWidget *parent)
    : QWebEnginePage(sharedProfile(), nullptr)
    , m_view(new QWebEngineView(parent))
{
    setParent(m_view);
    m_view->setObjectName(u"workspace-browser-web-view"_s);
    m_view->setAccessibleName(u"网页"_s);
    m_view->setPage(this);
    settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings()->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, false);
    m_timeout.setSingleShot(true);
    m_timeout.setTimerType(Qt::PreciseTimer);
    m_timeout.setInterval(kLoadTimeoutMs);
    connect(&m_timeout, &QTimer::timeout, this, [this] { triggerAction(QWebEnginePage::Stop); });

    connect(this, &QWebEnginePage::loadStarted, this, [this] {
        m_timeout.start();
        if (onStarted)
            onStarted();
    });
    connect(this, &QWebEnginePage::loadFinished, this, [this](bool ok) {
        m_timeout.stop();
        if (onFinished)
            onFinished(ok);
    });
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl &origin, QWebEnginePage::Feature feature) {
                setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
            });
    connect(this, &QWebEnginePage::fullScreenRequested, this, [](QWebEngineFullScreenRequest request) { request.reject(); });
    connect(this, &QWebEnginePage::registerProtocolHandlerRequested, this,
            [](QWebEngineRegisterProtocolHandlerRequest request) { request.reject(); });
    connect(this, &QWebEnginePage::fileSystemAccessRequested, this,
            [](QWebEngineFileSystemAccessRequest request) { request.reject(); });
    // The engine waits for the credentials while the signal is delivered: only a modal dialog
    // could ask for them. Left empty, the login is cancelled and the page shows the host's
    // refusal; an address with the user name in it still logs in.
    connect(this, &QWebEnginePage::authenticationRequired, this, [this](const QUrl &requestUrl, QAuthenticator *) {
        report(Request::Login, requestUrl.host());
    });
    connect(this, &QWebEnginePage::proxyAuthenticationRequired, this,
            [this](const QUrl &, QAuthenticator *, const QString &proxyHost) { report(Request::Login, proxyHost); });
}

WorkspaceWebEnginePage::~WorkspaceWebEnginePage()
{
    onStarted = nullptr;
    onFinished = nullptr;
    onExternalLink = nullptr;
    onRequest = nullptr;
}

QWidget *WorkspaceWebEnginePage::widget() { return m_view; }

void WorkspaceWebEnginePage::load(const QUrl &url)
{
    if (loadsAddress(url))
        QWebEnginePage::load(url);
}
void WorkspaceWebEnginePage::goBack() { triggerAction(QWebEnginePage::Back); }
void WorkspaceWebEnginePage::goForward() { triggerAction(QWebEnginePage::Forward); }
void WorkspaceWebEnginePage::reload() { triggerAction(QWebEnginePage::Reload); }
void WorkspaceWebEnginePage::stop() { triggerAction(QWebEnginePage::Stop); }
bool WorkspaceWebEnginePage::canGoBack() const { return action(QWebEnginePage::Back)->isEnabled(); }
bool WorkspaceWebEnginePage::canGoForward() const { return action(QWebEnginePage::Forward)->isEnabled(); }

bool WorkspaceWebEnginePage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool)
{
    // An address given to the tab is only refused: the field takes web addresses.
    if (type == NavigationTypeTyped)
        return loadsAddress(url);
    // The page's own frames may also show inline and generated content.
    static const QStringList allowed = {u"http"_s, u"https"_s, u"file"_s, u"about"_s, u"data"_s, u"blob"_s};
    if (allowed.contains(url.scheme().toLower()))
        return true;
    // A link, form or redirect of the page goes on to the window's link handling, which asks
    // the user; later, not inside the engine's callback.
    QMetaObject::invokeMethod(
        this, [this, url] {
            if (onExternalLink)
                onExternalLink(url);
        },
        Qt::QueuedConnection);
    return false;
}

QWebEnginePage *WorkspaceWebEnginePage::createWindow(WebWindowType)
{
    return nullptr; // no pop-ups
}

void WorkspaceWebEnginePage::report(Request request, const QString &text)
{
    if (onRequest)
        onRequest(request, text);
}

void WorkspaceWebEnginePage::javaScriptAlert(const QUrl &, const QString &msg) { report(Request::Alert, msg); }

bool WorkspaceWebEnginePage::javaScriptConfirm(const QUrl &, const QString &msg)
{
    if (ScriptDialogs::isLeaveQuestion(msg))
        return true;
    report(Request::Confirm, msg);
    return false;
}

bool WorkspaceWebEnginePage::javaScriptPrompt(const QUrl &, const QString &msg, const QString &, QString *)
{
    report(Request::Prompt, msg);
    return false;
}

QStringList WorkspaceWebEnginePage::chooseFiles(FileSelectionMode, const QStringList &, const QStringList &)
{
    // The engine waits for the answer: only a modal file dialog could give it. Files dropped
    // onto the page's file field still reach it.
    report(Request::ChooseFiles, {});
    return {};
}

} // namespace nbd

// The entry point the application resolves when it first opens a browser tab.
extern "C" Q_DECL_EXPORT nbd::WorkspaceWebPage *nbd_create_workspace_web_page(QWidget *parent)
{
    return new nbd::WorkspaceWebEnginePage(parent);
}
