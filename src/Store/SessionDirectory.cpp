#include "Store/SessionDirectory.h"

#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "Store/ConnectionSettings.h"
#include "Store/FieldAssign.h"
#include "Store/PluginInventory.h"
#include "Store/StoreErrors.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

using AliveToken = std::weak_ptr<const bool>;

} // namespace

SessionDirectory::SessionDirectory(std::weak_ptr<const bool> alive, ConnectionSettings *connection,
                                   StoreErrors *errors, PluginInventory *plugins, QObject *parent)
    : QObject(parent)
    , m_alive(std::move(alive))
    , m_connection(connection)
    , m_errors(errors)
    , m_plugins(plugins)
{
}

void SessionDirectory::setSessions(std::vector<SessionSummary> value)
{
    if (!assignChanged(m_sessions, std::move(value)))
        return;
    m_rowBySessionId.clear();
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        const QString &id = m_sessions[i].sessionId;
        if (!m_rowBySessionId.contains(id))
            m_rowBySessionId.insert(id, i);
        // A listed row is newer word than any frame about the same session before it.
        m_reportedRunning.remove(id);
    }
    Q_EMIT sessionsChanged();
    Q_EMIT runningChanged();
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
    if (!assignChanged(m_subagentsByParent, std::move(value)))
        return;
    m_entryRunning.clear();
    for (const SubagentListValue &list : std::as_const(m_subagentsByParent)) {
        for (const SubagentListEntry &entry : list.entries) {
            if (entry.isChild())
                m_entryRunning.insert(entry.id, entry.isRunning());
        }
    }
    Q_EMIT subagentsByParentChanged();
    Q_EMIT runningChanged();
}

void SessionDirectory::clearLists()
{
    if (!m_reportedRunning.isEmpty()) {
        m_reportedRunning.clear();
        Q_EMIT runningChanged();
    }
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

std::optional<bool> SessionDirectory::isRunning(const QString &sessionId) const
{
    if (const auto row = m_rowBySessionId.constFind(sessionId); row != m_rowBySessionId.cend())
        return m_sessions[*row].running;
    if (const auto reported = m_reportedRunning.constFind(sessionId); reported != m_reportedRunning.cend())
        return *reported;
    if (const auto entry = m_entryRunning.constFind(sessionId); entry != m_entryRunning.cend())
        return *entry;
    return std::nullopt;
}

void SessionDirectory::markNothingRunning()
{
    bool rowsChanged = false;
    for (SessionSummary &row : m_sessions) {
        if (row.running) {
            row.running = false;
            rowsChanged = true;
        }
    }
    // The subagent lists stay as they were read; what they say runs is overruled until the
    // host reports on it again. Nothing else needs a word kept.
    m_reportedRunning.clear();
    for (auto entry = m_entryRunning.cbegin(); entry != m_entryRunning.cend(); ++entry) {
        if (*entry)
            m_reportedRunning.insert(entry.key(), false);
    }
    if (rowsChanged)
        Q_EMIT sessionsChanged();
    Q_EMIT runningChanged();
}

// ---- Lists ------------------------------------------------------------------------------

QCoro::Task<void> SessionDirectory::refreshAll()
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_alive;
    const ConnectionSettings *connection = m_connection;
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

    Q_EMIT listsRead();
    co_await m_plugins->refreshPluginInventories();
}

void SessionDirectory::routeSessionStatus(const JSONValue &payload)
{
    const std::optional<SessionStatusUpdate> status = SessionStatusUpdate::fromJson(payload);
    if (!status)
        return;
    const QString &sessionId = status->sessionId;
    const bool running = status->running;
    if (const auto index = m_rowBySessionId.constFind(sessionId); index != m_rowBySessionId.cend()) {
        SessionSummary &row = m_sessions[*index];
        if (row.running != running) {
            row.running = running;
            Q_EMIT sessionsChanged();
            Q_EMIT runningChanged();
        }
    } else {
        const bool before = isRunning(sessionId).value_or(false);
        // A stop needs keeping only where a subagent list would still call the run busy, so
        // frames about sessions nobody lists leave nothing behind once they end.
        if (running || m_entryRunning.value(sessionId))
            m_reportedRunning.insert(sessionId, running);
        else
            m_reportedRunning.remove(sessionId);
        if (isRunning(sessionId).value_or(false) != before)
            Q_EMIT runningChanged();
    }

    for (auto it = m_subagentsByParent.cbegin(); it != m_subagentsByParent.cend(); ++it) {
        const auto &entries = it.value().entries;
        const bool listsChild = std::any_of(entries.begin(), entries.end(),
                                            [&](const SubagentListEntry &e) { return e.id == sessionId; });
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
    const AliveToken alive = m_alive;
    if (depth > kMaxSubagentDepth)
        co_return;
    const ConnectionSettings *connection = m_connection;
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
        Q_EMIT subagentListRead(parentSessionId, value->parentAvailable);
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
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
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
    const AliveToken alive = m_alive;
    if (!created) {
        m_errors->reportFailure(u"创建会话失败："_s, failure);
        co_return std::nullopt;
    }
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return std::nullopt;
    Q_EMIT sessionCreated(created->sessionId);
    co_return created->sessionId;
}

QCoro::Task<void> SessionDirectory::createWorkspaceSession(QString path)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
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

void SessionDirectory::renameSession(const QString &sessionId, const QString &title)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    runRenameSession(*client, JSONValue::object({{u"sessionId"_s, sessionId}, {u"title"_s, title}}));
}

QCoro::Task<void> SessionDirectory::runRenameSession(WireClient client, JSONValue payload)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_alive;
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
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    runArchiveSession(*client, JSONValue::object({{u"sessionId"_s, sessionId}}), sessionId);
}

QCoro::Task<void> SessionDirectory::runArchiveSession(WireClient client, JSONValue payload, QString sessionId)
{
    const auto reply = co_await m_errors->callReporting<WorkspaceArchiveSessionValue>(
        client, u"workspace.archiveSession"_s, payload, u"归档失败："_s);
    if (!reply)
        co_return;
    setArchivedSessionIds(QSet<QString>(reply->archivedSessionIds.begin(), reply->archivedSessionIds.end()));
    Q_EMIT sessionArchived(sessionId);
}

QCoro::Task<void> SessionDirectory::forkSession(QString sessionId)
{
    QPointer<SessionDirectory> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return;
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
    const auto fork = co_await m_errors->callReporting<SessionForkValue>(*client, u"session.fork"_s, payload,
                                                                                  u"Fork 失败："_s);
    if (!fork)
        co_return;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    Q_EMIT sessionForked(fork->sessionId);
}

QCoro::Task<QSet<QString>> SessionDirectory::searchSessionIds(QString query)
{
    const std::optional<WireClient> client = m_connection->wire();
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
    const std::optional<WireClient> client = m_connection->wire();
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
    const std::optional<WireClient> client = m_connection->wire();
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
    StoreErrors *errors = m_errors;
    bool done = false;
    if (method == u"workspace.rename")
        done = (co_await errors->callReporting<WorkspaceRenameValue>(client, method, payload, errorPrefix)).has_value();
    else
        done = (co_await errors->callReporting<WorkspaceDeleteValue>(client, method, payload, errorPrefix)).has_value();
    if (done)
        co_await refreshAll();
}

} // namespace nbd
