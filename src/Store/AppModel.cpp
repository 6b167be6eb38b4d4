#include "Store/AppModel.h"

#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "Session/SessionModel.h"
#include "Wire/JSONDecode.h"

#include <QDir>
#include <QSettings>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

constexpr auto kServerURLKey = "nbd.serverURL";
constexpr auto kLaunchModeKey = "nbd.launchMode";
constexpr auto kExecutablePathKey = "nbd.executablePath";
constexpr auto kLastSessionIdKey = "nbd.lastSessionId";

QString settingsKey(const char *key) { return QString::fromLatin1(key); }

// Payload readings of the router: a member counts only when it has the expected JSON type.
std::optional<QString> stringMember(const JSONValue &object, QStringView key)
{
    const JSONValue *value = object.find(key);
    return value ? value->string() : std::nullopt;
}

std::optional<bool> boolMember(const JSONValue &object, QStringView key)
{
    const JSONValue *value = object.find(key);
    return value ? value->boolean() : std::nullopt;
}

const JSONValue *typedMember(const JSONValue &object, QStringView key, JSONValue::Type type)
{
    const JSONValue *value = object.find(key);
    return value && value->type() == type ? value : nullptr;
}

} // namespace

QString launchModeRawValue(LaunchMode mode)
{
    return mode == LaunchMode::External ? u"external"_s : u"embedded"_s;
}

std::optional<LaunchMode> launchModeFromRawValue(const QString &raw)
{
    if (raw == u"embedded")
        return LaunchMode::Embedded;
    if (raw == u"external")
        return LaunchMode::External;
    return std::nullopt;
}

QString launchModeLabel(LaunchMode mode)
{
    return mode == LaunchMode::External ? u"连接外部 NBD"_s : u"本地 NBD（优先附着）"_s;
}

// ---- Construction and configuration ---------------------------------------------------

AppModel::AppModel(std::unique_ptr<QSettings> settings, bool connectOnLaunch, QObject *parent)
    : QObject(parent)
    , m_settings(settings ? std::move(settings)
                          : std::make_unique<QSettings>(u"Nimbrel"_s, u"Nimbrel Deck"_s))
    , m_connection(new ConnectionController(this))
    , m_nbdProcess(new NBDProcessManager(this))
{
    // Read straight into the fields: loading writes nothing back.
    m_serverURLString = m_settings->value(settingsKey(kServerURLKey), defaultServerURLString()).toString();
    m_launchMode =
        launchModeFromRawValue(m_settings->value(settingsKey(kLaunchModeKey)).toString()).value_or(LaunchMode::Embedded);
    m_nbdExecutablePath = m_settings->value(settingsKey(kExecutablePathKey), QString()).toString();

    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    m_connection->setFrameHandler([self, alive](const ServerRequest &frame) {
        if (alive.expired() || !self)
            return;
        self->route(frame);
    });
    QObject::connect(m_connection, &ConnectionController::phaseChanged, this, &AppModel::followConnectionPhase);

    if (connectOnLaunch)
        connect();
}

AppModel::~AppModel()
{
    m_alive.reset();
    if (m_connectionCancel)
        m_connectionCancel->cancel();
    if (m_selectionCancel)
        m_selectionCancel->cancel();
    m_exportsCancel.cancel();
    m_connection->setFrameHandler({});
}

QString AppModel::defaultServerURLString() { return u"http://127.0.0.1:3080"_s; }

QString AppModel::invalidServerURLMessage() { return u"无效的服务器地址（可在设置中配置）"_s; }

void AppModel::setServerURLString(const QString &value)
{
    m_settings->setValue(settingsKey(kServerURLKey), value);
    if (m_serverURLString == value)
        return;
    m_serverURLString = value;
    Q_EMIT serverURLStringChanged();
}

void AppModel::setLaunchMode(LaunchMode value)
{
    m_settings->setValue(settingsKey(kLaunchModeKey), launchModeRawValue(value));
    if (m_launchMode == value)
        return;
    m_launchMode = value;
    Q_EMIT launchModeChanged();
}

void AppModel::setNbdExecutablePath(const QString &value)
{
    m_settings->setValue(settingsKey(kExecutablePathKey), value);
    if (m_nbdExecutablePath == value)
        return;
    m_nbdExecutablePath = value;
    Q_EMIT nbdExecutablePathChanged();
}

// ---- Field setters: notify on a real change only -----------------------------------------

#define NBD_ASSIGN(member, signal)                                                                                     \
    if (member == value)                                                                                               \
        return;                                                                                                        \
    member = std::move(value);                                                                                         \
    Q_EMIT signal();

void AppModel::setSessions(std::vector<SessionSummary> value) { NBD_ASSIGN(m_sessions, sessionsChanged) }
void AppModel::setAwaitingSessionList(bool value) { NBD_ASSIGN(m_awaitingSessionList, awaitingSessionListChanged) }
void AppModel::setWorkspaces(std::vector<WorkspaceView> value) { NBD_ASSIGN(m_workspaces, workspacesChanged) }
void AppModel::setArchivedSessionIds(QSet<QString> value)
{
    NBD_ASSIGN(m_archivedSessionIds, archivedSessionIdsChanged)
}
void AppModel::setPendingApprovals(std::vector<PendingApproval> value)
{
    NBD_ASSIGN(m_pendingApprovals, pendingApprovalsChanged)
}
void AppModel::setPendingQuestions(std::vector<PendingQuestion> value)
{
    NBD_ASSIGN(m_pendingQuestions, pendingQuestionsChanged)
}
void AppModel::setTransientError(std::optional<QString> value) { NBD_ASSIGN(m_transientError, transientErrorChanged) }
void AppModel::setSubagentsByParent(QHash<QString, SubagentListValue> value)
{
    NBD_ASSIGN(m_subagentsByParent, subagentsByParentChanged)
}
void AppModel::setHostPlugins(std::vector<PluginInventoryEntry> value) { NBD_ASSIGN(m_hostPlugins, hostPluginsChanged) }
void AppModel::setDynamicPlugins(std::vector<DynamicPluginInventoryRow> value)
{
    NBD_ASSIGN(m_dynamicPlugins, dynamicPluginsChanged)
}
void AppModel::setPluginInventoryLoading(bool value)
{
    NBD_ASSIGN(m_pluginInventoryLoading, pluginInventoryLoadingChanged)
}
void AppModel::setHostPluginInventoryAvailable(std::optional<bool> value)
{
    NBD_ASSIGN(m_hostPluginInventoryAvailable, hostPluginInventoryAvailableChanged)
}
void AppModel::setDynamicPluginInventoryAvailable(std::optional<bool> value)
{
    NBD_ASSIGN(m_dynamicPluginInventoryAvailable, dynamicPluginInventoryAvailableChanged)
}
void AppModel::setSelectedSessionId(std::optional<QString> value)
{
    // The model is there before anyone hears of the selection: a view that looks it up at
    // once would otherwise show no session for a moment and drop what it holds, the
    // composer's draft among it.
    if (value)
        modelFor(*value);
    NBD_ASSIGN(m_selectedSessionId, selectedSessionIdChanged)
}
void AppModel::setSelectedSubagent(std::optional<SelectedSubagent> value)
{
    NBD_ASSIGN(m_selectedSubagent, selectedSubagentChanged)
}
void AppModel::setDidRestoreInitialSession(bool value)
{
    NBD_ASSIGN(m_didRestoreInitialSession, didRestoreInitialSessionChanged)
}

#undef NBD_ASSIGN

void AppModel::clearSessionModels()
{
    m_sessionModels.clear();
    Q_EMIT sessionModelsChanged();
}

std::shared_ptr<SessionModel> AppModel::modelFor(const QString &sessionId)
{
    if (std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        return model;
    std::shared_ptr<SessionModel> model = SessionModel::create(sessionId);
    m_sessionModels.insert(sessionId, model);
    Q_EMIT sessionModelsChanged();
    return model;
}

// ---- Derived values ---------------------------------------------------------------------

std::optional<QString> AppModel::selectedSidebarSessionId() const
{
    if (!m_selectedSubagent)
        return m_selectedSessionId;
    QString current = m_selectedSubagent->address.parentSessionId;
    QSet<QString> passed;
    for (;;) {
        const auto row = std::find_if(m_sessions.begin(), m_sessions.end(),
                                      [&](const SessionSummary &s) { return s.sessionId == current; });
        if (row == m_sessions.end())
            return current;
        if (row->origin.value_or(QString()) != names::subagentOrigin || !row->parentSessionId)
            return current;
        passed.insert(current);
        current = *row->parentSessionId;
        if (passed.contains(current))
            return current;
    }
}

std::shared_ptr<SessionModel> AppModel::selectedSession() const
{
    return m_selectedSessionId ? m_sessionModels.value(*m_selectedSessionId) : nullptr;
}

std::optional<QString> AppModel::displayTitle(const QString &sessionId) const
{
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId)) {
        if (const std::optional<QString> title = model->title()) {
            const QStringView trimmed = text::trimWhitespaceAndNewlines(*title);
            if (!trimmed.isEmpty())
                return trimmed.toString();
        }
    }
    for (const SessionSummary &row : m_sessions) {
        if (row.sessionId == sessionId)
            return row.displayTitle();
    }
    return std::nullopt;
}

std::optional<WireClient> AppModel::wire() const { return m_connection->wire(); }

bool AppModel::isSameConnection(const WireClient &startedOn, quint64 epoch) const
{
    const std::optional<WireClient> current = wire();
    return epoch == m_connectionEpoch && current && current->baseURL() == startedOn.baseURL();
}

// ---- Connection -------------------------------------------------------------------------

std::optional<QUrl> AppModel::normalizedServerURL(const QString &text)
{
    QString candidate = text::trimWhitespaceAndNewlines(text).toString();
    if (candidate.isEmpty())
        return std::nullopt;
    if (!candidate.contains(u"://"))
        candidate.prepend(u"http://"_s);
    candidate = text::trimCharacters(candidate, u"/").toString();
    const QUrl url(candidate, QUrl::StrictMode);
    if (candidate.isEmpty() || !url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

QList<QUrl> AppModel::preferredURLs(const QString &serverURLString)
{
    QList<QUrl> urls;
    if (const std::optional<QUrl> configured = normalizedServerURL(serverURLString)) {
        const QString host = configured->host().toLower();
        if (host == u"localhost" || host == u"127.0.0.1" || host == u"::1")
            urls.append(*configured);
    }
    urls.append(QUrl(defaultServerURLString()));
    return urls;
}

void AppModel::connect()
{
    if (m_connectionCancel) {
        m_connectionCancel->cancel();
        m_connectionCancel.reset();
    }
    if (m_launchMode == LaunchMode::Embedded) {
        const CancelToken cancel;
        m_connectionCancel = cancel;
        connectEmbedded(cancel);
    } else {
        connectExternal();
    }
}

QCoro::Task<void> AppModel::connectEmbedded(CancelToken cancel)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    try {
        m_connection->markConnecting();
        const QList<QUrl> preferred = preferredURLs(m_serverURLString);
        QCoro::Task<std::optional<QUrl>> lookup =
            m_hostLookup ? m_hostLookup(preferred, cancel) : m_nbdProcess->findRunningHost(preferred, cancel);
        const std::optional<QUrl> found = co_await std::move(lookup);
        if (alive.expired() || !self || cancel.isCancelled())
            co_return;
        if (found) {
            startConnection(*found);
            co_return;
        }
        const QString explicitPath = m_nbdExecutablePath;
        const std::optional<QUrl> launched = co_await m_nbdProcess->start(QDir::homePath(), explicitPath);
        if (alive.expired() || !self)
            co_return;
        if (cancel.isCancelled()) {
            // Superseded while launching: a host launched for this connect is not wanted, and
            // the fallback address must not replace the newer connect's own choice.
            if (launched)
                m_nbdProcess->stop();
            co_return;
        }
        if (launched)
            startConnection(*launched);
        else
            connectExternal(m_nbdProcess->failureDescription());
    } catch (...) {
        // The process manager reports its failures through its phase.
    }
}

void AppModel::connectExternal(const QString &launchFailure)
{
    const std::optional<QUrl> url = normalizedServerURL(m_serverURLString);
    if (!url) {
        m_connection->fail(invalidServerURLMessage());
        return;
    }
    startConnection(*url, launchFailure);
}

void AppModel::startConnection(const QUrl &url, const QString &launchFailure)
{
    ++m_connectionEpoch;
    setAwaitingSessionList(true);
    m_connection->connectTo(url, launchFailure);
    refreshAll();
}

void AppModel::disconnect()
{
    if (m_connectionCancel)
        m_connectionCancel->cancel();
    m_connectionCancel.reset();
    if (m_selectionCancel)
        m_selectionCancel->cancel();
    m_selectionCancel.reset();
    m_exportsCancel.cancel();
    m_exportsCancel = CancelToken();
    ++m_connectionEpoch;
    m_connectionLost = false;

    m_connection->disconnect();
    if (m_launchMode == LaunchMode::Embedded)
        m_nbdProcess->stop();

    setSessions({});
    setWorkspaces({});
    clearSessionModels();
    setPendingApprovals({});
    setPendingQuestions({});
    setSubagentsByParent({});
    if (!m_subagentCatalogLoading.isEmpty()) {
        m_subagentCatalogLoading.clear();
        Q_EMIT subagentCatalogLoadingChanged();
    }
    setHostPlugins({});
    setDynamicPlugins({});
    m_pluginRefreshOwner = 0;
    setPluginInventoryLoading(false);
    setHostPluginInventoryAvailable(std::nullopt);
    setDynamicPluginInventoryAvailable(std::nullopt);
    setSelectedSubagent(std::nullopt);
    setSelectedSessionId(std::nullopt);
    setDidRestoreInitialSession(false);
    setAwaitingSessionList(false);
}

void AppModel::followConnectionPhase()
{
    const ConnectionPhase::Kind kind = m_connection->phase().kind();
    if (kind == ConnectionPhase::Kind::Ready) {
        m_connectionReady = true;
        if (std::exchange(m_connectionLost, false))
            refreshAfterReconnect();
        return;
    }
    const bool lost = kind == ConnectionPhase::Kind::Reconnecting || kind == ConnectionPhase::Kind::Failed;
    if (!std::exchange(m_connectionReady, false) || !lost)
        return;
    // A host that went away mid-turn tells nobody that its turns ended: nothing it ran is
    // shown as running any more, until it says so again.
    m_connectionLost = true;
    bool changed = false;
    for (SessionSummary &row : m_sessions) {
        if (row.running) {
            row.running = false;
            changed = true;
        }
    }
    if (changed)
        Q_EMIT sessionsChanged();
    for (const std::shared_ptr<SessionModel> &model : std::as_const(m_sessionModels))
        model->setRunning(false);
    setTransientError(u"与主机的连接已断开"_s);
}

QCoro::Task<void> AppModel::refreshAfterReconnect()
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    for (const SessionSummary &row : m_sessions) {
        if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(row.sessionId))
            model->setRunning(row.running);
    }
}

// ---- Lists ------------------------------------------------------------------------------

QCoro::Task<void> AppModel::refreshAll()
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return;
    const quint64 epoch = m_connectionEpoch;
    const quint64 ticket = ++m_refreshTicketsIssued;

    WorkspaceListValue workspaceList;
    SessionListValue sessionList;
    try {
        workspaceList = co_await client->call<WorkspaceListValue>(u"workspace.list"_s, JSONValue::emptyObject());
        if (alive.expired() || !self || !isSameConnection(*client, epoch))
            co_return;
        sessionList = co_await client->call<SessionListValue>(u"session.list"_s, JSONValue::emptyObject());
    } catch (...) {
        // No list to wait for any more: what is untitled now stays so until a later refresh.
        if (!alive.expired() && self && isSameConnection(*client, epoch))
            setAwaitingSessionList(false);
        co_return;
    }
    if (alive.expired() || !self)
        co_return;
    // Lists of a connection that has since been dropped or replaced, or older than lists
    // already shown, would overwrite newer state.
    if (!isSameConnection(*client, epoch) || ticket < m_refreshTicketApplied)
        co_return;
    m_refreshTicketApplied = ticket;

    setWorkspaces(std::move(workspaceList.items));
    setArchivedSessionIds(
        QSet<QString>(workspaceList.archivedSessionIds.begin(), workspaceList.archivedSessionIds.end()));
    setSessions(std::move(sessionList.items));
    setAwaitingSessionList(false);

    if (m_selectedSessionId) {
        const QString selected = *m_selectedSessionId;
        const bool listed = std::any_of(m_sessions.begin(), m_sessions.end(),
                                        [&](const SessionSummary &s) { return s.sessionId == selected; });
        if (!listed) {
            setSelectedSessionId(std::nullopt);
            setSelectedSubagent(std::nullopt);
        }
    }

    restoreLastSessionIfNeeded();
    co_await refreshPluginInventories();
}

void AppModel::restoreLastSessionIfNeeded()
{
    if (m_didRestoreInitialSession)
        return;
    std::vector<const SessionSummary *> candidates;
    for (const SessionSummary &row : m_sessions) {
        if (m_archivedSessionIds.contains(row.sessionId) || row.blank)
            continue;
        if (row.origin && *row.origin == names::subagentOrigin)
            continue;
        candidates.push_back(&row);
    }
    if (m_selectedSessionId || candidates.empty())
        return;
    setDidRestoreInitialSession(true);

    const QVariant remembered = m_settings->value(settingsKey(kLastSessionIdKey));
    if (remembered.isValid()) {
        const QString lastId = remembered.toString();
        for (const SessionSummary *row : candidates) {
            if (row->sessionId == lastId) {
                selectSession(lastId);
                return;
            }
        }
    }
    const SessionSummary *newest = candidates.front();
    for (const SessionSummary *row : candidates) {
        if (row->updatedAt > newest->updatedAt)
            newest = row;
    }
    selectSession(newest->sessionId);
}

QCoro::Task<void> AppModel::refreshPluginInventories()
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client || m_pluginInventoryLoading)
        co_return;
    const quint64 epoch = m_connectionEpoch;
    const quint64 ticket = ++m_pluginRefreshTicketsIssued;
    m_pluginRefreshOwner = ticket;
    setPluginInventoryLoading(true);
    // The inventories of a connection that has since been dropped or replaced are not shown.
    // The loading flag is released only by the refresh that still holds it: a disconnect has
    // reset it and the next connection's refresh may own it by now, but a connection
    // replaced without a disconnect leaves it to this refresh, which must not keep it set.
    const auto stale = [&] {
        if (alive.expired() || !self)
            return true;
        if (epoch == m_connectionEpoch)
            return false;
        if (m_pluginRefreshOwner == ticket) {
            m_pluginRefreshOwner = 0;
            setPluginInventoryLoading(false);
        }
        return true;
    };

    std::optional<PluginInventorySnapshot> snapshot;
    try {
        snapshot = co_await client->callRemote<PluginInventorySnapshot>(u"pluginInventory/list"_s,
                                                                         JSONValue::emptyObject());
    } catch (...) {
    }
    if (stale())
        co_return;
    if (snapshot) {
        setHostPlugins(std::move(snapshot->entries));
        setHostPluginInventoryAvailable(true);
    } else {
        setHostPluginInventoryAvailable(false);
    }

    std::optional<std::vector<DynamicPluginInventoryRow>> rows;
    try {
        rows = co_await client->callRemote<std::vector<DynamicPluginInventoryRow>>(u"dynamicTalvorRunner/inventory"_s,
                                                                                    JSONValue::emptyObject());
    } catch (...) {
    }
    if (stale())
        co_return;
    if (rows) {
        setDynamicPlugins(std::move(*rows));
        setDynamicPluginInventoryAvailable(true);
    } else {
        setDynamicPluginInventoryAvailable(false);
    }
    m_pluginRefreshOwner = 0;
    setPluginInventoryLoading(false);
}

// ---- Router -----------------------------------------------------------------------------

void AppModel::deferTask(std::function<QCoro::Task<void>(AppModel *)> start)
{
    QTimer::singleShot(0, this, [this, start = std::move(start)] {
        // The task runs detached; every store task catches its own failures.
        start(this);
    });
}

void AppModel::route(const ServerRequest &frame)
{
    if (frame.type != u"server-request")
        return;
    const JSONValue payload = frame.payload.isObject() ? frame.payload : JSONValue::emptyObject();
    const QString &method = frame.method;

    if (method == u"session/event")
        routeLiveEvent(payload);
    else if (method == u"session/subscribed")
        routeSubscribed(payload);
    else if (method == u"session/projection")
        routeProjection(payload);
    else if (method == u"session/queue")
        routeQueue(payload);
    else if (method == names::jobsFrameMethod)
        routeJobs(payload);
    else if (method == u"approval/requested")
        routeApprovalRequested(frame, payload);
    else if (method == u"approval/resolved")
        routeApprovalResolved(payload);
    else if (method == u"question/requested")
        routeQuestionRequested(frame, payload);
    else if (method == u"question/resolved")
        routeQuestionResolved(payload);
    else if (method == u"host/session-status")
        routeSessionStatus(payload);
    else if (method == u"host/session-added" || method == u"host/session-removed"
             || method == u"host/workspace-changed" || method == u"host/workspace-removed"
             || method == u"host/workspace-order-changed" || method == u"host/archived-sessions-changed")
        deferTask([](AppModel *store) { return store->refreshAllThenTree(); });
    else if (method == u"host/agent-error")
        setTransientError(stringMember(payload, u"message").value_or(u"agent error"_s));
    else if (method == u"host/remote-event")
        routeRemoteEvent(payload);
    else if (method == u"stream/error")
        routeStreamError(payload);
}

void AppModel::routeLiveEvent(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const JSONValue *eventValue = payload.find(u"event");
    if (!sessionId || !eventValue)
        return;
    std::optional<SessionEvent> event;
    try {
        event = SessionEvent::fromLiveValue(*eventValue);
    } catch (...) {
        return;
    }
    std::optional<JSONValue> view;
    if (const JSONValue *viewValue = payload.find(u"view"))
        view = *viewValue;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->applyLive(*event, view);
}

void AppModel::routeSubscribed(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const JSONValue *lastSeqValue = payload.find(u"lastSeq");
    const std::optional<qint64> lastSeq = lastSeqValue ? lastSeqValue->toInt() : std::nullopt;
    if (!sessionId || !lastSeq)
        return;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->markSubscribed(*lastSeq);
}

void AppModel::routeProjection(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const std::optional<QString> key = stringMember(payload, u"key");
    if (!sessionId || !key)
        return;
    const JSONValue *value = payload.find(u"value");
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->applyProjection(*key, value ? *value : JSONValue());
}

void AppModel::routeQueue(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    if (!sessionId)
        return;
    const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId);
    if (!model)
        return;
    const JSONValue *array = typedMember(payload, u"items", JSONValue::Type::Array);
    model->applyQueue(array ? array->elements() : std::span<const JSONValue>());
}

void AppModel::routeJobs(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const JSONValue *array = typedMember(payload, u"jobs", JSONValue::Type::Array);
    if (!sessionId || !array)
        return;
    std::vector<JobView> jobs = JobView::decodeEach(array->elements());
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->applyJobs(std::move(jobs));
}

void AppModel::routeApprovalRequested(const ServerRequest &frame, const JSONValue &payload)
{
    const std::optional<QString> approvalId = stringMember(payload, u"approvalId");
    if (!approvalId)
        return;
    const bool known = std::any_of(m_pendingApprovals.begin(), m_pendingApprovals.end(),
                                   [&](const PendingApproval &a) { return a.id == frame.rpcId; });
    if (known)
        return;
    PendingApproval approval;
    approval.id = frame.rpcId;
    approval.rpcId = frame.rpcId;
    approval.sessionId = stringMember(payload, u"sessionId").value_or(QString());
    approval.approvalId = *approvalId;
    approval.toolName = stringMember(payload, u"toolName").value_or(u"tool"_s);
    approval.callId = stringMember(payload, u"callId");
    approval.reason = stringMember(payload, u"reason");
    std::vector<PendingApproval> approvals = m_pendingApprovals;
    approvals.push_back(std::move(approval));
    setPendingApprovals(std::move(approvals));
}

void AppModel::routeApprovalResolved(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const std::optional<QString> approvalId = stringMember(payload, u"approvalId");
    if (!sessionId || !approvalId)
        return;
    std::vector<PendingApproval> approvals = m_pendingApprovals;
    std::erase_if(approvals, [&](const PendingApproval &a) {
        return a.sessionId == *sessionId && a.approvalId == *approvalId;
    });
    setPendingApprovals(std::move(approvals));
}

std::optional<PendingQuestion::AskUserQuestion> AppModel::parseQuestion(const JSONValue &value)
{
    if (!value.isObject() || value.size() == 0)
        return std::nullopt;
    const std::optional<QString> id = stringMember(value, u"id");
    const std::optional<QString> question = stringMember(value, u"question");
    if (!id || !question)
        return std::nullopt;
    PendingQuestion::AskUserQuestion result;
    result.id = *id;
    result.question = *question;
    if (const JSONValue *options = typedMember(value, u"options", JSONValue::Type::Array)) {
        for (const JSONValue &element : options->elements()) {
            if (!element.isObject() || element.size() == 0)
                continue;
            const std::optional<QString> label = stringMember(element, u"label");
            if (!label)
                continue;
            result.options.push_back({*label, *label, stringMember(element, u"description")});
        }
    }
    result.header = stringMember(value, u"header");
    result.detail = stringMember(value, u"detail");
    result.multiSelect = boolMember(value, u"multiSelect").value_or(false);
    if (const JSONValue *intent = typedMember(value, u"intent", JSONValue::Type::Object)) {
        result.intentKind = stringMember(*intent, u"kind");
        result.intentApprove = stringMember(*intent, u"approve");
    }
    return result;
}

void AppModel::routeQuestionRequested(const ServerRequest &frame, const JSONValue &payload)
{
    PendingQuestion pending;
    pending.id = frame.rpcId;
    pending.rpcId = frame.rpcId;
    pending.sessionId = stringMember(payload, u"sessionId").value_or(QString());
    if (const JSONValue *array = typedMember(payload, u"questions", JSONValue::Type::Array)) {
        for (const JSONValue &element : array->elements()) {
            if (std::optional<PendingQuestion::AskUserQuestion> question = parseQuestion(element))
                pending.questions.push_back(std::move(*question));
        }
    }
    if (pending.questions.empty()) {
        // Nothing to ask the user, but the host waits for an answer all the same: it is told
        // no, the way a question the user closes is.
        if (!frame.rpcId.isEmpty())
            cancelQuestion(pending);
        return;
    }
    // A repeated request is listed again: the host asks anew and waits for each answer.
    m_pendingQuestions.push_back(std::move(pending));
    Q_EMIT pendingQuestionsChanged();
}

void AppModel::routeQuestionResolved(const JSONValue &payload)
{
    const std::optional<QString> rpcId = stringMember(payload, u"questionRpcId");
    if (!rpcId)
        return;
    std::vector<PendingQuestion> questions = m_pendingQuestions;
    std::erase_if(questions, [&](const PendingQuestion &q) { return q.rpcId == *rpcId; });
    setPendingQuestions(std::move(questions));
}

void AppModel::routeSessionStatus(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const std::optional<bool> running = boolMember(payload, u"running");
    if (!sessionId || !running)
        return;
    const auto row = std::find_if(m_sessions.begin(), m_sessions.end(),
                                  [&](const SessionSummary &s) { return s.sessionId == *sessionId; });
    if (row != m_sessions.end() && row->running != *running) {
        row->running = *running;
        Q_EMIT sessionsChanged();
    }
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->setRunning(*running);

    for (auto it = m_subagentsByParent.cbegin(); it != m_subagentsByParent.cend(); ++it) {
        const auto &entries = it.value().entries;
        const bool listsChild = std::any_of(entries.begin(), entries.end(),
                                            [&](const SubagentListEntry &e) { return e.id == *sessionId; });
        if (!listsChild)
            continue;
        const QString parentId = it.key();
        deferTask([parentId](AppModel *store) { return store->refreshSubagentTree(parentId, 0); });
    }
}

QCoro::Task<void> AppModel::refreshAllThenTree()
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    if (const std::optional<QString> highlighted = selectedSidebarSessionId())
        co_await refreshSubagentTree(*highlighted, 0);
}

void AppModel::routeRemoteEvent(const JSONValue &payload)
{
    const std::optional<QString> event = stringMember(payload, u"event");
    if (!event)
        return;
    static const QSet<QString> pluginLifecycleEvents = {
        u"talvor/request-run"_s,
        u"talvor/request-run-resolved"_s,
        u"talvor/dynamic-package"_s,
        u"talvor/dynamic-retract"_s,
    };
    if (pluginLifecycleEvents.contains(*event))
        deferTask([](AppModel *store) { return store->refreshPluginInventories(); });
}

void AppModel::routeStreamError(const JSONValue &payload)
{
    const JSONValue *errorValue = payload.find(u"error");
    if (!errorValue)
        return;
    try {
        const RpcError error = RpcError::fromJson(*errorValue);
        setTransientError(error.code + u": "_s + error.message);
    } catch (...) {
    }
}

// ---- Selection --------------------------------------------------------------------------

void AppModel::selectSession(const QString &sessionId)
{
    if (m_selectionCancel)
        m_selectionCancel->cancel();
    setSelectedSubagent(std::nullopt);
    setSelectedSessionId(sessionId);
    m_settings->setValue(settingsKey(kLastSessionIdKey), sessionId);
    const std::shared_ptr<SessionModel> model = modelFor(sessionId);
    const auto row = std::find_if(m_sessions.begin(), m_sessions.end(),
                                  [&](const SessionSummary &s) { return s.sessionId == sessionId; });
    if (row != m_sessions.end())
        model->setRunning(row->running);

    const CancelToken cancel;
    m_selectionCancel = cancel;
    runSelection(sessionId, model, cancel);
}

QCoro::Task<void> AppModel::runSelection(QString sessionId, std::weak_ptr<SessionModel> weakModel, CancelToken cancel)
{
    const AliveToken alive = m_alive;
    const std::shared_ptr<SessionModel> model = weakModel.lock();
    if (alive.expired() || !model)
        co_return;
    try {
        // The three loads run side by side, all stopped by the selection's token.
        QCoro::Task<void> history = model->loadInitialHistory(wire(), std::nullopt, cancel);
        QCoro::Task<void> models = refreshModels(sessionId, cancel);
        QCoro::Task<void> tree = refreshSubagentTree(sessionId, 0, cancel);
        co_await std::move(history);
        co_await std::move(models);
        co_await std::move(tree);
    } catch (...) {
        // History failures are the session model's to show.
    }
}

void AppModel::selectSubagent(const QString &parentSessionId, const SubagentListEntry &entry, bool parentAvailable)
{
    if (!entry.isChild())
        return;
    if (m_selectionCancel)
        m_selectionCancel->cancel();

    QString label;
    if (const std::optional<QString> title = displayTitle(entry.id))
        label = *title;
    else if (entry.label)
        label = *entry.label;
    else
        label = u"子代理 "_s + entry.id.left(8);

    SelectedSubagent selected;
    selected.address = SubagentAddress{parentSessionId, entry.id, entry.mode.value_or(QString())};
    selected.label = label;
    selected.parentAvailable = parentAvailable;
    const SubagentAddress address = selected.address;
    setSelectedSubagent(std::move(selected));
    setSelectedSessionId(entry.id);
    m_settings->setValue(settingsKey(kLastSessionIdKey), parentSessionId);
    const std::shared_ptr<SessionModel> model = modelFor(entry.id);
    model->setRunning(entry.isRunning());

    const CancelToken cancel;
    m_selectionCancel = cancel;
    runSubagentSelection(address, entry.hasChildren.value_or(false), model, cancel);
}

QCoro::Task<void> AppModel::runSubagentSelection(SubagentAddress address, bool hasChildren,
                                                 std::weak_ptr<SessionModel> weakModel, CancelToken cancel)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    if (alive.expired() || weakModel.expired())
        co_return;
    try {
        QCoro::Task<void> history = weakModel.lock()->loadInitialHistory(wire(), address, cancel);
        co_await std::move(history);
        if (alive.expired() || !self || cancel.isCancelled() || !hasChildren)
            co_return;
        co_await refreshSubagentTree(address.childSessionId, 0, cancel);
    } catch (...) {
    }
}

void AppModel::selectParentOfCurrentSubagent()
{
    if (!m_selectedSubagent)
        return;
    const QString parentId = m_selectedSubagent->address.parentSessionId;
    for (auto it = m_subagentsByParent.cbegin(); it != m_subagentsByParent.cend(); ++it) {
        for (const SubagentListEntry &entry : it.value().entries) {
            if (entry.id == parentId && entry.isChild()) {
                // Copies: selecting may replace the list this entry lives in.
                const QString grandParent = it.key();
                const SubagentListEntry found = entry;
                const bool available = it.value().parentAvailable;
                selectSubagent(grandParent, found, available);
                return;
            }
        }
    }
    selectSession(parentId);
}

QCoro::Task<void> AppModel::refreshModels(QString sessionId, CancelToken cancel)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client || !m_sessionModels.contains(sessionId))
        co_return;
    std::optional<SessionModelsValue> value;
    try {
        const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
        value = co_await client->call<SessionModelsValue>(u"session.models"_s, payload, cancel);
    } catch (...) {
        co_return;
    }
    if (alive.expired() || !self || cancel.isCancelled())
        co_return;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        model->applyModelCatalog(*value);
}

QCoro::Task<void> AppModel::refreshSubagentTree(QString parentSessionId, int depth, CancelToken cancel)
{
    return walkSubagentTree(std::move(parentSessionId), depth, std::move(cancel), {});
}

QCoro::Task<void> AppModel::walkSubagentTree(QString parentSessionId, int depth, CancelToken cancel,
                                             QSet<QString> path)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    if (depth > kMaxSubagentDepth)
        co_return;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return;
    const quint64 epoch = m_connectionEpoch;
    m_subagentCatalogLoading.insert(parentSessionId);
    Q_EMIT subagentCatalogLoadingChanged();

    std::optional<SubagentListValue> value;
    try {
        const JSONValue payload = JSONValue::object({{u"parentSessionId"_s, parentSessionId}});
        value = co_await client->call<SubagentListValue>(u"subagent.list"_s, payload, cancel);
    } catch (...) {
    }
    if (alive.expired() || !self)
        co_return;

    // A list of an earlier connection is not stored (the disconnect emptied the map).
    if (value && !cancel.isCancelled() && isSameConnection(*client, epoch)) {
        QHash<QString, SubagentListValue> lists = m_subagentsByParent;
        lists.insert(parentSessionId, *value);
        setSubagentsByParent(std::move(lists));
        if (m_selectedSubagent && m_selectedSubagent->address.parentSessionId == parentSessionId) {
            SelectedSubagent updated = *m_selectedSubagent;
            updated.parentAvailable = value->parentAvailable;
            setSelectedSubagent(std::move(updated));
        }
        // A child that names a session already on the way down would walk the same loop
        // again until the depth limit: its list is the one already fetched.
        path.insert(parentSessionId);
        for (const SubagentListEntry &entry : value->entries) {
            if (!entry.isChild() || !entry.hasChildren.value_or(false) || path.contains(entry.id))
                continue;
            if (cancel.isCancelled())
                break;
            co_await walkSubagentTree(entry.id, depth + 1, cancel, path);
            if (alive.expired() || !self)
                co_return;
        }
    }

    m_subagentCatalogLoading.remove(parentSessionId);
    Q_EMIT subagentCatalogLoadingChanged();
}

std::shared_ptr<SessionModel> AppModel::registerDetachedSessionModel(const QString &sessionId)
{
    return modelFor(sessionId);
}

void AppModel::releaseDetachedSessionModel(const QString &sessionId)
{
    if (m_selectedSessionId == sessionId)
        return;
    if (m_sessionModels.remove(sessionId) == 0)
        return;
    Q_EMIT sessionModelsChanged();
}

} // namespace nbd
