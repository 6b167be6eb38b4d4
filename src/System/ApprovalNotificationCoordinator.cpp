#include "System/ApprovalNotificationCoordinator.h"

#include "Domain/ProtocolNames.h"
#include "Store/AppModel.h"
#include "System/DesktopNotifications.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

DesktopNotification desktopNotification(const ApprovalNotificationContent &content, const QStringList &capabilities)
{
    DesktopNotification notification;
    notification.appName = u"Nimbrel Deck"_s;
    notification.appIcon = names::applicationIdentifier.toString();
    notification.summary = content.title;
    // The service has a summary and a body only: the session's title heads the body.
    QString subtitle = content.subtitle;
    QString body = content.body;
    // A service that reads the body as markup would render tags from the host's text.
    if (capabilities.contains(u"body-markup"_s)) {
        subtitle = subtitle.toHtmlEscaped();
        body = body.toHtmlEscaped();
    }
    notification.body = subtitle + u'\n' + body;
    notification.actions = {approvalNotificationDefaultActionKey(), u"在主窗口中查看"_s,
                            approvalnotification::allowOnceActionIdentifier(), u"批准一次"_s,
                            approvalnotification::rejectActionIdentifier(), u"拒绝"_s};
    notification.hints.insert(u"desktop-entry"_s, names::applicationIdentifier.toString());
    // An approval waits for the user: the notification stays until it is answered or withdrawn.
    notification.expireTimeout = 0;
    return notification;
}

} // namespace

ApprovalNotificationCoordinator::ApprovalNotificationCoordinator(AppModel *appModel, DesktopNotificationCenter *center,
                                                                 QObject *parent)
    : QObject(parent)
    , m_appModel(appModel)
    , m_center(center)
{
}

ApprovalNotificationCoordinator::~ApprovalNotificationCoordinator() { m_alive.reset(); }

void ApprovalNotificationCoordinator::start()
{
    if (m_started)
        return;
    m_started = true;
    if (m_center) {
        connect(m_center, &DesktopNotificationCenter::actionInvoked, this,
                &ApprovalNotificationCoordinator::onActionInvoked);
        connect(m_center, &DesktopNotificationCenter::notificationClosed, this,
                [this](quint32 id, quint32) { onNotificationClosed(id); });
        connect(m_center, &DesktopNotificationCenter::serverChanged, this,
                &ApprovalNotificationCoordinator::onServerChanged);
    }
    if (m_appModel) {
        connect(m_appModel->interactions(), &Interactions::pendingApprovalsChanged, this, [this] {
            if (m_appModel)
                queueSync(m_appModel->interactions()->pendingApprovals());
        });
        // Approvals held back for their session's title are posted once the list is in.
        connect(m_appModel->sessions(), &SessionDirectory::awaitingSessionListChanged, this, [this] {
            if (m_appModel)
                queueSync(m_appModel->interactions()->pendingApprovals());
        });
        // Queued while nothing is known yet, so it posts nothing; the authorisation read
        // queues the synchronisation that does.
        queueSync(m_appModel->interactions()->pendingApprovals());
    }
    refreshAuthorization(true);
}

void ApprovalNotificationCoordinator::refreshAuthorization(bool)
{
    loadAuthorization(++m_authorizationGeneration);
}

QCoro::Task<> ApprovalNotificationCoordinator::loadAuthorization(quint64 generation)
{
    NotificationAuthorizationStatus status = NotificationAuthorizationStatus::Unavailable;
    QStringList capabilities;
    if (m_center) {
        const std::weak_ptr<const bool> alive = m_alive;
        const DesktopNotificationServer server = co_await m_center->readServer();
        if (alive.expired())
            co_return;
        if (server.present && server.capabilities.contains(u"actions"_s))
            status = NotificationAuthorizationStatus::Authorized;
        capabilities = server.capabilities;
    }
    // Two reads can overlap (start, then the window becoming active): the newest decides.
    if (generation != m_authorizationGeneration)
        co_return;
    m_capabilities = capabilities;
    setAuthorizationStatus(status);
    if (m_appModel)
        queueSync(m_appModel->interactions()->pendingApprovals());
}

void ApprovalNotificationCoordinator::queueSync(std::vector<PendingApproval> approvals)
{
    const quint64 generation = ++m_syncGeneration;
    QTimer::singleShot(0, this, [this, generation, approvals = std::move(approvals)]() mutable {
        // A newer list replaced this one before it ran.
        if (generation == m_syncGeneration)
            sync(std::move(approvals), generation);
    });
}

QCoro::Task<> ApprovalNotificationCoordinator::sync(std::vector<PendingApproval> approvals, quint64 generation)
{
    const bool deliver = canDeliverNotifications();
    const ApprovalNotificationSyncPlan plan =
        planApprovalNotificationSync(m_scheduledRoutes, m_inFlightRoutes, approvals, deliver);
    for (const ApprovalNotificationRoute &route : plan.withdraw)
        withdraw(route);
    if (!deliver) {
        Q_EMIT synchronized();
        co_return;
    }

    const std::weak_ptr<const bool> alive = m_alive;
    for (const PendingApproval &approval : plan.post) {
        // A newer list took over: it posts what is still pending.
        if (generation != m_syncGeneration || !m_center || !m_appModel)
            co_return;
        const ApprovalNotificationRoute route(approval);
        if (m_scheduledRoutes.contains(route) || m_inFlightRoutes.contains(route))
            continue;
        // Approvals the host replays on connecting arrive before the session list: a
        // notification posted now would name the app instead of the session, for good.
        if (m_appModel->sessions()->isAwaitingSessionList()
            && !m_appModel->selection()->displayTitle(approval.sessionId))
            continue;
        const QPointer<AppModel> model = m_appModel;
        const ApprovalNotificationContent content =
            approvalNotificationContent(approval, [model](const QString &sessionId) -> std::optional<QString> {
                  return model ? model->selection()->displayTitle(sessionId) : std::nullopt;
              });
        const DesktopNotification notification = desktopNotification(content, m_capabilities);
        m_inFlightRoutes.insert(route);
        const quint64 epoch = m_center->ownerEpoch();
        const DesktopNotificationPosted posted = co_await m_center->post(notification);
        if (alive.expired())
            co_return;
        m_inFlightRoutes.remove(route);
        if (!m_center || epoch != m_center->ownerEpoch()) {
            // Shown by a service that has gone since; the synchronisation after the change
            // passed this approval by while it was under way, so one more posts it anew.
            if (m_appModel)
                queueSync(m_appModel->interactions()->pendingApprovals());
            continue;
        }
        if (!posted.id) {
            // Not recorded: the next synchronisation tries again.
            setLastError(u"无法发送审批通知："_s + posted.error);
            continue;
        }
        m_routeById.insert(*posted.id, route);
        // The approval may have been answered, or notifications turned off, while the post
        // was under way; then the fresh notification goes at once.
        const std::vector<PendingApproval> pendingNow =
            m_appModel ? m_appModel->interactions()->pendingApprovals() : std::vector<PendingApproval>();
        if (keepPostedApprovalNotification(route, pendingNow, canDeliverNotifications())) {
            m_scheduledRoutes.insert(route);
            m_idByRoute.insert(route, *posted.id);
        } else if (m_center) {
            m_center->close(*posted.id);
        }
    }
    if (generation == m_syncGeneration)
        Q_EMIT synchronized();
}

void ApprovalNotificationCoordinator::withdraw(const ApprovalNotificationRoute &route)
{
    m_scheduledRoutes.remove(route);
    const auto it = m_idByRoute.constFind(route);
    if (it == m_idByRoute.cend())
        return; // the service closed it already
    if (m_center)
        m_center->close(it.value());
    m_idByRoute.erase(it);
}

void ApprovalNotificationCoordinator::onActionInvoked(quint32 id, const QString &actionKey)
{
    const auto it = m_routeById.constFind(id);
    if (it == m_routeById.cend())
        return; // not one of ours
    const ApprovalNotificationRoute route = it.value();
    handleNotificationAction(actionKey, route);
}

void ApprovalNotificationCoordinator::onNotificationClosed(quint32 id)
{
    const auto it = m_routeById.find(id);
    if (it == m_routeById.end())
        return;
    const ApprovalNotificationRoute route = it.value();
    m_routeById.erase(it);
    // A dismissed notification keeps its route scheduled: the approval is not posted again.
    if (m_idByRoute.value(route) == id)
        m_idByRoute.remove(route);
}

void ApprovalNotificationCoordinator::onServerChanged()
{
    // The notifications went with the service that showed them: nothing is posted any more,
    // and the service's state is read again, which posts every pending approval anew where a
    // new service can show them.
    m_scheduledRoutes.clear();
    m_idByRoute.clear();
    m_routeById.clear();
    refreshAuthorization(false);
}

void ApprovalNotificationCoordinator::handleNotificationAction(const QString &actionKey,
                                                               const ApprovalNotificationRoute &route)
{
    switch (approvalNotificationResponse(actionKey)) {
    case ApprovalNotificationResponse::ApproveOnce:
        answer(route, true);
        break;
    case ApprovalNotificationResponse::Reject:
        answer(route, false);
        break;
    case ApprovalNotificationResponse::Open:
        if (m_appModel) {
            const std::vector<SessionSummary> &sessions = m_appModel->sessions()->sessions();
            const bool listed = std::any_of(sessions.begin(), sessions.end(), [&route](const SessionSummary &s) {
                return s.sessionId == route.sessionId;
            });
            if (listed)
                m_appModel->selection()->selectSession(route.sessionId);
        }
        openMainWindow();
        break;
    case ApprovalNotificationResponse::None:
        break;
    }
}

void ApprovalNotificationCoordinator::openMainWindow()
{
    if (m_mainWindowOpener) {
        m_mainWindowOpener();
        return;
    }
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (window->type() != Qt::Window || !window->isVisible())
            continue;
        if (window->windowStates() & Qt::WindowMinimized)
            window->showNormal();
        window->raise();
        window->requestActivate();
        return;
    }
}

void ApprovalNotificationCoordinator::answer(const ApprovalNotificationRoute &route, bool allowed)
{
    if (!m_appModel)
        return;
    for (const PendingApproval &approval : m_appModel->interactions()->pendingApprovals()) {
        if (route.matches(approval)) {
            setLastError(std::nullopt);
            // A copy: answering may change the list the reference points into.
            const PendingApproval chosen = approval;
            m_appModel->interactions()->answerApproval(chosen, allowed);
            return;
        }
    }
    setLastError(u"这项审批已处理或已失效"_s);
}

void ApprovalNotificationCoordinator::setAuthorizationStatus(NotificationAuthorizationStatus status)
{
    if (status == m_authorizationStatus)
        return;
    m_authorizationStatus = status;
    Q_EMIT authorizationStatusChanged();
}

void ApprovalNotificationCoordinator::setLastError(std::optional<QString> error)
{
    if (error == m_lastError)
        return;
    m_lastError = std::move(error);
    Q_EMIT lastErrorChanged();
}

} // namespace nbd
