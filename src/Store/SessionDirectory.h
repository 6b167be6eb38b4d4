#pragma once

#include "Domain/Models.h"
#include "Store/StoreContext.h"
#include "Wire/CancelToken.h"
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

class SessionModel;

// The workspaces, sessions and subagent trees as the host lists them, and the actions that
// change those lists (create, rename, archive, fork, workspace changes).
class SessionDirectory : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxSubagentDepth = 7;

    explicit SessionDirectory(std::shared_ptr<const StoreContext> context, QObject *parent = nullptr);

    const std::vector<SessionSummary> &sessions() const { return m_sessions; }
    const std::vector<WorkspaceView> &workspaces() const { return m_workspaces; }
    const QSet<QString> &archivedSessionIds() const { return m_archivedSessionIds; }
    const QHash<QString, SubagentListValue> &subagentsByParent() const { return m_subagentsByParent; }
    const QSet<QString> &subagentCatalogLoading() const { return m_subagentCatalogLoading; }
    // From the start of a connection until its first session list has been answered (or has
    // failed): titles of sessions missing from the list may still be on the way.
    bool isAwaitingSessionList() const { return m_awaitingSessionList; }
    // The open session's own title when it has one, else the listed row's.
    std::optional<QString> displayTitle(const QString &sessionId) const;

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
    // A side chat: its model is registered but the selection is left alone. Null when it
    // could not be made, the failure reported once.
    QCoro::Task<std::shared_ptr<SessionModel>> createDetachedSession(std::optional<QString> cwd,
                                                                     std::optional<QString> workspaceId);
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

    // ---- For the store: connection changes and host frames ----
    void beginAwaitingSessionList() { setAwaitingSessionList(true); }
    void endAwaitingSessionList() { setAwaitingSessionList(false); }
    // A host that went away mid-turn tells nobody that its turns ended: no listed session is
    // shown running any more, until the host says so again.
    void markNothingRunning();
    // Once ready again, the lists are read anew and the open sessions follow them.
    QCoro::Task<void> refreshAfterReconnect();
    void clearLists();
    void clearSubagentTree();
    void routeSessionStatus(const JSONValue &payload);
    // The host's lists changed: read them, and the highlighted session's tree, again one
    // event-loop turn later, so that routing a frame never re-enters itself.
    void routeListChange();

Q_SIGNALS:
    void sessionsChanged();
    void workspacesChanged();
    void archivedSessionIdsChanged();
    void subagentsByParentChanged();
    void subagentCatalogLoadingChanged();
    void awaitingSessionListChanged();

private:
    void setSessions(std::vector<SessionSummary> value);
    void setWorkspaces(std::vector<WorkspaceView> value);
    void setArchivedSessionIds(QSet<QString> value);
    void setSubagentsByParent(QHash<QString, SubagentListValue> value);
    void setAwaitingSessionList(bool value);

    QCoro::Task<void> refreshAllThenTree();
    // path: the parents already listed above this one in the same walk.
    QCoro::Task<void> walkSubagentTree(QString parentSessionId, int depth, CancelToken cancel, QSet<QString> path);
    QCoro::Task<SessionCreateValue> requestSessionCreation(WireClient client, std::optional<QString> cwd,
                                                           std::optional<QString> workspaceId,
                                                           std::optional<QString> agentPreset);
    // After a session was created: its failure shown, or the lists refreshed and it selected.
    QCoro::Task<std::optional<QString>> showCreatedSession(std::optional<SessionCreateValue> created,
                                                           std::exception_ptr failure);
    QCoro::Task<void> loadDetachedSession(WireClient client, std::weak_ptr<SessionModel> model, QString sessionId);
    QCoro::Task<void> runRenameSession(WireClient client, JSONValue payload);
    QCoro::Task<void> runArchiveSession(WireClient client, JSONValue payload, QString sessionId);
    QCoro::Task<void> runWorkspaceChange(WireClient client, QString method, JSONValue payload, QString errorPrefix);

    std::shared_ptr<const StoreContext> m_context;
    std::vector<SessionSummary> m_sessions;
    std::vector<WorkspaceView> m_workspaces;
    QSet<QString> m_archivedSessionIds;
    QHash<QString, SubagentListValue> m_subagentsByParent;
    QSet<QString> m_subagentCatalogLoading;
    bool m_awaitingSessionList = false;
    // List refreshes apply in the order they started: one that finishes after a newer one
    // has applied its lists is dropped.
    quint64 m_refreshTicketsIssued = 0;
    quint64 m_refreshTicketApplied = 0;
};

} // namespace nbd
