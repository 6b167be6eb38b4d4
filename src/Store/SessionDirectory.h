#pragma once

#include "Base/CancelToken.h"
#include "Domain/Models.h"
#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <exception>
#include <memory>
#include <optional>
#include <vector>

namespace nbd {

class ConnectionSettings;
class PluginInventory;
class StoreErrors;

// The workspaces, sessions and subagent trees as the host lists them, what the host says runs,
// and the actions that change those lists (create, rename, archive, fork, workspace changes).
// It knows nothing of what the user looks at: whoever follows it listens to its signals.
class SessionDirectory : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxSubagentDepth = 7;

    // alive: the store's token, expired once the store goes; plugins are read again with
    // every new list.
    SessionDirectory(std::weak_ptr<const bool> alive, ConnectionSettings *connection, StoreErrors *errors,
                     PluginInventory *plugins, QObject *parent = nullptr);

    const std::vector<SessionSummary> &sessions() const { return m_sessions; }
    const std::vector<WorkspaceView> &workspaces() const { return m_workspaces; }
    const QSet<QString> &archivedSessionIds() const { return m_archivedSessionIds; }
    const QHash<QString, SubagentListValue> &subagentsByParent() const { return m_subagentsByParent; }
    const QSet<QString> &subagentCatalogLoading() const { return m_subagentCatalogLoading; }
    // From the start of a connection until its first session list has been answered (or has
    // failed): titles of sessions missing from the list may still be on the way.
    bool isAwaitingSessionList() const { return m_awaitingSessionList; }
    // Whether the host last said the session runs: its listed row, else the latest status
    // frame about it, else the subagent list entry naming it; nothing when it said nothing.
    std::optional<bool> isRunning(const QString &sessionId) const;

    QCoro::Task<void> refreshAll();
    // cancel: the token of the flow the load belongs to; a cancelled token drops the reply.
    QCoro::Task<void> refreshSubagentTree(QString parentSessionId, int depth, CancelToken cancel = {});

    // Each action reports its own failures through the store's errors (or drops them where
    // the action says so); none throws. Actions returning void start their remote work in a
    // task of their own and return at once.
    QCoro::Task<void> createSession(std::optional<QString> cwd, std::optional<QString> workspaceId);
    // The same, with the id the host gave the new session, or nothing when creation failed.
    QCoro::Task<std::optional<QString>> createAndSelectSession(std::optional<QString> cwd,
                                                               std::optional<QString> workspaceId);
    QCoro::Task<void> createWorkspaceSession(QString path);
    void renameSession(const QString &sessionId, const QString &title);
    void archiveSession(const QString &sessionId);
    QCoro::Task<void> forkSession(QString sessionId);
    // The host's matches; empty, without a message, when the search fails (the local filter
    // still shows what it finds).
    QCoro::Task<QSet<QString>> searchSessionIds(QString query);
    void renameWorkspace(const QString &workspaceId, const QString &title);
    void deleteWorkspace(const QString &workspaceId);

    static JSONValue sessionCreationPayload(const std::optional<QString> &cwd,
                                            const std::optional<QString> &workspaceId,
                                            const std::optional<QString> &agentPreset);
    // "session.create" with that payload; throws what the call throws.
    static QCoro::Task<SessionCreateValue> requestSessionCreation(WireClient client, std::optional<QString> cwd,
                                                                  std::optional<QString> workspaceId,
                                                                  std::optional<QString> agentPreset);

    // ---- For the store: connection changes and host frames ----
    void beginAwaitingSessionList() { setAwaitingSessionList(true); }
    void endAwaitingSessionList() { setAwaitingSessionList(false); }
    // A host that went away mid-turn tells nobody that its turns ended: nothing it ran is
    // shown running any more, until the host says so again.
    void markNothingRunning();
    void clearLists();
    void clearSubagentTree();
    void routeSessionStatus(const JSONValue &payload);

Q_SIGNALS:
    void sessionsChanged();
    void workspacesChanged();
    void archivedSessionIdsChanged();
    void subagentsByParentChanged();
    void subagentCatalogLoadingChanged();
    void awaitingSessionListChanged();
    // What isRunning answers may have changed.
    void runningChanged();
    // A refresh applied the host's lists (emitted even when nothing in them changed).
    void listsRead();
    // A subagent list of parentSessionId was read.
    void subagentListRead(const QString &parentSessionId, bool parentAvailable);
    // The user's actions that ended well: a created or forked session once the lists read
    // again show it, an archived one once the host has recorded it.
    void sessionCreated(const QString &sessionId);
    void sessionForked(const QString &sessionId);
    void sessionArchived(const QString &sessionId);

private:
    void setSessions(std::vector<SessionSummary> value);
    void setWorkspaces(std::vector<WorkspaceView> value);
    void setArchivedSessionIds(QSet<QString> value);
    void setSubagentsByParent(QHash<QString, SubagentListValue> value);
    void setAwaitingSessionList(bool value);

    // path: the parents already listed above this one in the same walk.
    QCoro::Task<void> walkSubagentTree(QString parentSessionId, int depth, CancelToken cancel, QSet<QString> path);
    // After a session was created: its failure shown, or the lists refreshed and it announced.
    QCoro::Task<std::optional<QString>> showCreatedSession(std::optional<SessionCreateValue> created,
                                                           std::exception_ptr failure);
    QCoro::Task<void> runRenameSession(WireClient client, JSONValue payload);
    QCoro::Task<void> runArchiveSession(WireClient client, JSONValue payload, QString sessionId);
    QCoro::Task<void> runWorkspaceChange(WireClient client, QString method, JSONValue payload, QString errorPrefix);

    std::weak_ptr<const bool> m_alive;
    ConnectionSettings *m_connection = nullptr;
    StoreErrors *m_errors = nullptr;
    PluginInventory *m_plugins = nullptr;
    std::vector<SessionSummary> m_sessions;
    std::vector<WorkspaceView> m_workspaces;
    QSet<QString> m_archivedSessionIds;
    QHash<QString, SubagentListValue> m_subagentsByParent;
    QSet<QString> m_subagentCatalogLoading;
    // The latest status frame about each session no listed row stands for (subagent runs,
    // sessions the lists have not caught up with); a stop is kept only where a subagent
    // list still calls the run busy.
    QHash<QString, bool> m_reportedRunning;
    // Looked up for every open session at every change: the row of each listed session,
    // and what the subagent lists say of each child they name.
    QHash<QString, size_t> m_rowBySessionId;
    QHash<QString, bool> m_entryRunning;
    bool m_awaitingSessionList = false;
    // List refreshes apply in the order they started: one that finishes after a newer one
    // has applied its lists is dropped.
    quint64 m_refreshTicketsIssued = 0;
    quint64 m_refreshTicketApplied = 0;
};

} // namespace nbd
