#pragma once

#include "SimHost.h"
#include "SimSessions.h"

#include "Wire/JSONValue.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace nbd::sim {

// An in-memory host world served by a SimHost: workspaces, sessions, archived ids, subagent
// trees, model catalogues, session history and the plugin inventories, answered through
// handlers installed on the host; plus one helper per host frame the client routes.
// Lives on the host's thread; the host must outlive the world's use.
class SimWorld
{
public:
    struct Session
    {
        QString id;
        double updatedAt = 0; // milliseconds since 1970-01-01 UTC
        bool running = false;
        bool blank = false;
        std::optional<QString> parentSessionId;
        std::optional<QString> origin;
        std::optional<QString> cwd;
        std::optional<QString> title; // the "title" projection
    };

    struct Workspace
    {
        QString id;
        QString path;
        QString title;
        QStringList sessionIds;
    };

    struct SubagentEntry
    {
        QString id;
        QString kind = QStringLiteral("child");
        std::optional<QString> mode = QStringLiteral("continuable");
        std::optional<QString> activity;
        std::optional<bool> hasChildren;
        std::optional<QString> label;
    };

    // Installs the world's handlers on the host: "workspace.list", "session.list",
    // "session.models", "subagent.list", "pluginInventory/list" and
    // "dynamicTalvorRunner/inventory"; the session logs answer the two history methods.
    explicit SimWorld(SimHost *host);

    SimHost *host() const { return m_host; }

    void addWorkspace(Workspace workspace);
    void addSession(Session session);
    void removeSession(const QString &id);
    void setRunning(const QString &id, bool running);
    void setArchived(QStringList ids) { m_archived = std::move(ids); }
    void setSubagents(const QString &parentId, QList<SubagentEntry> entries, bool parentAvailable = true);
    // A chain below root: root → <prefix>1 → <prefix>2 … → <prefix>levels, each with one child.
    QStringList buildSubagentChain(const QString &rootId, int levels, const QString &prefix);
    // a lists b and b lists a, both as children that have children.
    void buildSubagentCycle(const QString &a, const QString &b);
    void setModels(const QString &sessionId, JSONValue catalogue) { m_models.insert(sessionId, std::move(catalogue)); }
    static JSONValue modelCatalogue(const QString &provider, const QString &model);
    void setPluginInventory(JSONValue entries) { m_pluginEntries = std::move(entries); }
    void setDynamicInventory(JSONValue rows) { m_dynamicRows = std::move(rows); }

    // The session event logs behind "session.history" and "subagent.history". Every child
    // listed by setSubagents() reads its history from its own session's log.
    SimSessions &logs() { return m_logs; }
    // Appends an event draft (sim::events) to the session's log; returns its number.
    qint64 appendEvent(const QString &sessionId, JSONValue draft) { return m_logs.append(sessionId, std::move(draft)); }

    JSONValue sessionListValue() const;
    JSONValue workspaceListValue() const;

    // ---- Host frames (all on the mux stream but the host/* ones) ----
    // Appends the event draft to the log and pushes it.
    qint64 streamEvent(const QString &sessionId, JSONValue draft) { return m_logs.appendAndPush(sessionId, std::move(draft)); }
    void pushSessionEvent(const QString &sessionId, JSONValue event, std::optional<JSONValue> view = {})
    {
        m_logs.pushEvent(sessionId, std::move(event), std::move(view));
    }
    void pushSubscribed(const QString &sessionId, qint64 lastSeq) { m_logs.pushSubscribed(sessionId, lastSeq); }
    QString pushProjection(const QString &sessionId, const QString &key, std::optional<JSONValue> value);
    QString pushQueue(const QString &sessionId, std::optional<JSONValue> items);
    QString pushJobs(const QString &sessionId, JSONValue jobs);
    QString pushApprovalRequested(const QString &rpcId, JSONValue payload);
    QString pushApprovalResolved(const QString &sessionId, const QString &approvalId);
    QString pushQuestionRequested(const QString &rpcId, JSONValue payload);
    QString pushQuestionResolved(const QString &questionRpcId);
    QString pushSessionStatus(const QString &sessionId, bool running);
    // One of the six list-change methods; the payload is irrelevant to the client.
    QString pushListChange(const QString &method, JSONValue payload = JSONValue::emptyObject());
    QString pushAgentError(JSONValue payload);
    QString pushRemoteEvent(const QString &event);
    QString pushStreamError(JSONValue error);
    static const QStringList &listChangeMethods();

private:
    JSONValue sessionValue(const Session &session) const;

    SimHost *m_host;
    SimSessions m_logs;
    QList<Workspace> m_workspaces;
    QList<Session> m_sessions;
    QStringList m_archived;
    QHash<QString, QList<SubagentEntry>> m_subagents;
    QHash<QString, bool> m_parentAvailable;
    QHash<QString, JSONValue> m_models;
    JSONValue m_pluginEntries = JSONValue::array(JSONValue::Elements{});
    JSONValue m_dynamicRows = JSONValue::array(JSONValue::Elements{});
};

} // namespace nbd::sim
