#include "Store/SessionDirectory.h"

#include "Connection/ConnectionController.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "Session/SessionModel.h"
#include "Store/ConnectionSettings.h"
#include "Store/FieldAssign.h"
#include "Store/PayloadReading.h"
#include "Store/PluginInventory.h"
#include "Store/SessionSelection.h"
#include "Store/StoreErrors.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

using AliveToken = std::weak_ptr<const bool>;

bool isCancellation(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError &) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

SessionDirectory::SessionDirectory(std::shared_ptr<const StoreContext> context, QObject *parent)
    : QObject(parent)
    , m_context(std::move(context))
{
}

void SessionDirectory::setSessions(std::vector<SessionSummary> value)
{
    if (assignChanged(m_sessions, std::move(value)))
        Q_EMIT sessionsChanged();
}

void SessionDirectory::setAwaitingSessionList(bool value)
{
    if (assignChanged(m_awaitingSessionList, value))
        Q_EMIT awaitingSessionListChanged();
}

void SessionDirectory::setWorkspaces(std::vector<WorkspaceView> value)
{
    if (assignChanged(m_workspaces, std::move(value)))
        Q_EMIT workspacesChanged();
}

void SessionDirectory::setArchivedSessionIds(QSet<QString> value)
{
    if (assignChanged(m_archivedSessionIds, std::move(value)))
        Q_EMIT archivedSessionIdsChanged();
}

void SessionDirectory::setSubagentsByParent(QHash<QString, SubagentListValue> value)
{
    if (assignChanged(m_subagentsByParent, std::move(value)))
        Q_EMIT subagentsByParentChanged();
}

void SessionDirectory::clearLists()
{
    setSessions({});
    setWorkspaces({});
}

void SessionDirectory::clearSubagentTree()
{
    setSubagentsByParent({});
    if (!m_subagentCatalogLoading.isEmpty()) {
        m_subagentCatalogLoading.clear();
        Q_EMIT subagentCatalogLoadingChanged();
    }
}

std::optional<QString> SessionDirectory::displayTitle(const QString &sessionId) const
{
    if (const std::shared_ptr<SessionModel> model = m_context->selection->sessionModel(sessionId)) {
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

void SessionDirectory::markNothingRunning()
{
    bool changed = false;
    for (SessionSummary &row : m_sessions) {
        if (row.running) {
            row.running = false;
            changed = true;
        }
    }
    if (changed)
        Q_EMIT sessionsChanged();
}

QCoro::Task<void> SessionDirectory::refreshAfterReconnect()
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    for (const SessionSummary &row : m_sessions) {
        if (const std::shared_ptr<SessionModel> model = m_context->selection->sessionModel(row.sessionId))
            model->setRunning(row.running);
    }
}

// ---- Lists ------------------------------------------------------------------------------

QCoro::Task<void> SessionDirectory::refreshAll()
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    const ConnectionSettings *connection = m_context->connectionSettings;
    const std::optional<WireClient> client = connection->wire();
    if (!client)
        co_return;
    const quint64 epoch = connection->epoch();
    const quint64 ticket = ++m_refreshTicketsIssued;

    WorkspaceListValue workspaceList;
    SessionListValue sessionList;
    try {
        workspaceList = co_await client->call<WorkspaceListValue>(u"workspace.list"_s, JSONValue::emptyObject());
        if (alive.expired() || !self || !connection->isSameConnection(*client, epoch))
            co_return;
        sessionList = co_await client->call<SessionListValue>(u"session.list"_s, JSONValue::emptyObject());
    } catch (...) {
        // No list to wait for any more: what is untitled now stays so until a later refresh.
        if (!alive.expired() && self && connection->isSameConnection(*client, epoch))
            setAwaitingSessionList(false);
        co_return;
    }
    if (alive.expired() || !self)
        co_return;
    // Lists of a connection that has since been dropped or replaced, or older than lists
    // already shown, would overwrite newer state.
    if (!connection->isSameConnection(*client, epoch) || ticket < m_refreshTicketApplied)
        co_return;
    m_refreshTicketApplied = ticket;

    setWorkspaces(std::move(workspaceList.items));
    setArchivedSessionIds(
        QSet<QString>(workspaceList.archivedSessionIds.begin(), workspaceList.archivedSessionIds.end()));
    setSessions(std::move(sessionList.items));
    setAwaitingSessionList(false);

    m_context->selection->followListedSessions();
    co_await m_context->plugins->refreshPluginInventories();
}

QCoro::Task<void> SessionDirectory::refreshAllThenTree()
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    if (const std::optional<QString> highlighted = m_context->selection->selectedSidebarSessionId())
        co_await refreshSubagentTree(*highlighted, 0);
}

void SessionDirectory::routeListChange()
{
    QTimer::singleShot(0, this, [this] { refreshAllThenTree(); });
}

void SessionDirectory::routeSessionStatus(const JSONValue &payload)
{
    const std::optional<QString> sessionId = payload::stringMember(payload, u"sessionId");
    const std::optional<bool> running = payload::boolMember(payload, u"running");
    if (!sessionId || !running)
        return;
    const auto row = std::find_if(m_sessions.begin(), m_sessions.end(),
                                  [&](const SessionSummary &s) { return s.sessionId == *sessionId; });
    if (row != m_sessions.end() && row->running != *running) {
        row->running = *running;
        Q_EMIT sessionsChanged();
    }
    if (const std::shared_ptr<SessionModel> model = m_context->selection->sessionModel(*sessionId))
        model->setRunning(*running);

    for (auto it = m_subagentsByParent.cbegin(); it != m_subagentsByParent.cend(); ++it) {
        const auto &entries = it.value().entries;
        const bool listsChild = std::any_of(entries.begin(), entries.end(),
                                            [&](const SubagentListEntry &e) { return e.id == *sessionId; });
        if (!listsChild)
            continue;
        const QString parentId = it.key();
        // One event-loop turn later, so that routing a frame never re-enters itself.
        QTimer::singleShot(0, this, [this, parentId] { refreshSubagentTree(parentId, 0); });
    }
}

// ---- Subagent trees -----------------------------------------------------------------------

QCoro::Task<void> SessionDirectory::refreshSubagentTree(QString parentSessionId, int depth, CancelToken cancel)
{
    return walkSubagentTree(std::move(parentSessionId), depth, std::move(cancel), {});
}

QCoro::Task<void> SessionDirectory::walkSubagentTree(QString parentSessionId, int depth, CancelToken cancel,
                                                     QSet<QString> path)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    if (depth > kMaxSubagentDepth)
        co_return;
    const ConnectionSettings *connection = m_context->connectionSettings;
    const std::optional<WireClient> client = connection->wire();
    if (!client)
        co_return;
    const quint64 epoch = connection->epoch();
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
    if (value && !cancel.isCancelled() && connection->isSameConnection(*client, epoch)) {
        QHash<QString, SubagentListValue> lists = m_subagentsByParent;
        lists.insert(parentSessionId, *value);
        setSubagentsByParent(std::move(lists));
        m_context->selection->followSubagentParent(parentSessionId, value->parentAvailable);
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

// ---- Session actions ----------------------------------------------------------------------

JSONValue SessionDirectory::sessionCreationPayload(const std::optional<QString> &cwd,
                                                   const std::optional<QString> &workspaceId,
                                                   const std::optional<QString> &agentPreset)
{
    JSONValue payload = JSONValue::emptyObject();
    if (workspaceId)
        payload = payload.with(u"workspaceId"_s, *workspaceId);
    else if (cwd)
        payload = payload.with(u"cwd"_s, *cwd);
    if (agentPreset)
        payload = payload.with(names::agentPresetKey.toString(), *agentPreset);
    return payload;
}

QCoro::Task<SessionCreateValue> SessionDirectory::requestSessionCreation(WireClient client, std::optional<QString> cwd,
                                                                         std::optional<QString> workspaceId,
                                                                         std::optional<QString> agentPreset)
{
    const JSONValue payload = sessionCreationPayload(cwd, workspaceId, agentPreset);
    co_return co_await client.call<SessionCreateValue>(u"session.create"_s, payload);
}

QCoro::Task<void> SessionDirectory::createSession(std::optional<QString> cwd, std::optional<QString> workspaceId)
{
    co_await createAndSelectSession(std::move(cwd), std::move(workspaceId));
}

QCoro::Task<std::optional<QString>> SessionDirectory::createAndSelectSession(std::optional<QString> cwd,
                                                                             std::optional<QString> workspaceId)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        co_return std::nullopt;
    std::optional<SessionCreateValue> created;
    std::exception_ptr failure;
    try {
        created = co_await requestSessionCreation(*client, cwd, workspaceId, std::nullopt);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return std::nullopt;
    co_return co_await showCreatedSession(std::move(created), failure);
}

QCoro::Task<std::optional<QString>> SessionDirectory::showCreatedSession(std::optional<SessionCreateValue> created,
                                                                         std::exception_ptr failure)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    if (!created) {
        m_context->errors->reportFailure(u"创建会话失败："_s, failure);
        co_return std::nullopt;
    }
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return std::nullopt;
    m_context->selection->selectSession(created->sessionId);
    co_return created->sessionId;
}

QCoro::Task<void> SessionDirectory::createWorkspaceSession(QString path)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        co_return;
    const JSONValue payload = JSONValue::object({{u"path"_s, path}});
    std::optional<SessionCreateValue> created;
    std::exception_ptr failure;
    try {
        const WorkspaceCreateValue workspace =
            co_await client->call<WorkspaceCreateValue>(u"workspace.create"_s, payload);
        const QString workspaceId = workspace.workspace.workspaceId;
        created = co_await requestSessionCreation(*client, std::nullopt, workspaceId, std::nullopt);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return;
    co_await showCreatedSession(std::move(created), failure);
}

QCoro::Task<std::shared_ptr<SessionModel>> SessionDirectory::createDetachedSession(std::optional<QString> cwd,
                                                                                   std::optional<QString> workspaceId)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client) {
        m_context->errors->setTransientError(u"创建侧边会话失败：未连接"_s);
        co_return std::shared_ptr<SessionModel>();
    }
    // A side chat is the user's choice of what to look at: the last-session restore of this
    // connection must not select something else once the lists arrive.
    m_context->selection->setDidRestoreInitialSession(true);
    std::optional<SessionCreateValue> created;
    std::exception_ptr failure;
    try {
        created = co_await requestSessionCreation(*client, cwd, workspaceId, names::sideChatAgentPreset.toString());
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return std::shared_ptr<SessionModel>();
    if (!created) {
        if (!isCancellation(failure))
            m_context->errors->reportFailure(u"创建侧边会话失败："_s, failure);
        co_return std::shared_ptr<SessionModel>();
    }
    const std::shared_ptr<SessionModel> model = m_context->selection->registerDetachedSessionModel(created->sessionId);
    loadDetachedSession(*client, model, created->sessionId);
    co_return model;
}

QCoro::Task<void> SessionDirectory::loadDetachedSession(WireClient client, std::weak_ptr<SessionModel> weakModel,
                                                        QString sessionId)
{
    // Runs detached and holds neither the store nor the model: a side chat discarded before
    // its history arrives is simply not loaded.
    const std::shared_ptr<SessionModel> model = weakModel.lock();
    if (!model)
        co_return;
    try {
        QCoro::Task<void> history = model->loadInitialHistory(client, std::nullopt);
        QCoro::Task<void> models = m_context->selection->refreshModels(sessionId);
        co_await std::move(history);
        co_await std::move(models);
    } catch (...) {
    }
}

void SessionDirectory::renameSession(const QString &sessionId, const QString &title)
{
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        return;
    runRenameSession(*client, JSONValue::object({{u"sessionId"_s, sessionId}, {u"title"_s, title}}));
}

QCoro::Task<void> SessionDirectory::runRenameSession(WireClient client, JSONValue payload)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    try {
        co_await client.call<SessionRenameValue>(u"session.rename"_s, payload);
    } catch (...) {
    }
    if (alive.expired() || !self)
        co_return;
    co_await refreshAll();
}

void SessionDirectory::archiveSession(const QString &sessionId)
{
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        return;
    runArchiveSession(*client, JSONValue::object({{u"sessionId"_s, sessionId}}), sessionId);
}

QCoro::Task<void> SessionDirectory::runArchiveSession(WireClient client, JSONValue payload, QString sessionId)
{
    const auto reply = co_await m_context->errors->callReporting<WorkspaceArchiveSessionValue>(
        client, u"workspace.archiveSession"_s, payload, u"归档失败："_s);
    if (!reply)
        co_return;
    setArchivedSessionIds(QSet<QString>(reply->archivedSessionIds.begin(), reply->archivedSessionIds.end()));
    m_context->selection->forgetArchivedSession(sessionId);
}

QCoro::Task<void> SessionDirectory::forkSession(QString sessionId)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_context->alive;
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        co_return;
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
    const auto fork = co_await m_context->errors->callReporting<SessionForkValue>(*client, u"session.fork"_s, payload,
                                                                                  u"Fork 失败："_s);
    if (!fork)
        co_return;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    m_context->selection->selectForkedSession(fork->sessionId);
}

QCoro::Task<QSet<QString>> SessionDirectory::searchSessionIds(QString query)
{
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        co_return QSet<QString>();
    const JSONValue payload = JSONValue::object({{u"query"_s, query}});
    QSet<QString> ids;
    try {
        const SessionSearchValue found = co_await client->call<SessionSearchValue>(u"session.search"_s, payload);
        for (const SessionSearchItem &item : found.items)
            ids.insert(item.sessionId);
    } catch (...) {
        co_return QSet<QString>();
    }
    co_return ids;
}

// ---- Workspaces ---------------------------------------------------------------------------

void SessionDirectory::renameWorkspace(const QString &workspaceId, const QString &title)
{
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        return;
    const QString trimmed = text::trimWhitespaceAndNewlines(title).toString();
    if (trimmed.isEmpty())
        return;
    const JSONValue payload = JSONValue::object({{u"workspaceId"_s, workspaceId}, {u"title"_s, trimmed}});
    runWorkspaceChange(*client, u"workspace.rename"_s, payload, u"项目重命名失败："_s);
}

void SessionDirectory::deleteWorkspace(const QString &workspaceId)
{
    const std::optional<WireClient> client = m_context->connection->wire();
    if (!client)
        return;
    const JSONValue payload = JSONValue::object({{u"workspaceId"_s, workspaceId}});
    runWorkspaceChange(*client, u"workspace.delete"_s, payload, u"移除项目失败："_s);
}

QCoro::Task<void> SessionDirectory::runWorkspaceChange(WireClient client, QString method, JSONValue payload,
                                                       QString errorPrefix)
{
    // Both replies are decoded for validity only; a delete that says it deleted nothing
    // still refreshes the lists.
    StoreErrors *errors = m_context->errors;
    bool done = false;
    if (method == u"workspace.rename")
        done = (co_await errors->callReporting<WorkspaceRenameValue>(client, method, payload, errorPrefix)).has_value();
    else
        done = (co_await errors->callReporting<WorkspaceDeleteValue>(client, method, payload, errorPrefix)).has_value();
    if (done)
        co_await refreshAll();
}

} // namespace nbd
