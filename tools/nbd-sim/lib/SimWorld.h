#pragma once

#include "SimHost.h"

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
    // "session.models", "subagent.list", "session.history", "subagent.history",
    // "pluginInventory/list" and "dynamicTalvorRunner/inventory".
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

    // History: events appended to a session's log are served by "session.history" and, for a
    // child, by "subagent.history".
    JSONValue appendEvent(const QString &sessionId, const QString &type, JSONValue data);
    qint64 lastSeq(const QString &sessionId) const;
    static JSONValue assistantMessage(const QString &text);
    // The data of a "user/message" event with one text part.
    static JSONValue userMessage(const QString &text);

    JSONValue sessionListValue() const;
    JSONValue workspaceListValue() const;

    // ---- Host frames (all on the mux stream but the host/* ones) ----
    // Appends the event to the log and pushes it.
    QString streamEvent(const QString &sessionId, const QString &type, JSONValue data);
    QString pushSessionEvent(const QString &sessionId, JSONValue event, std::optional<JSONValue> view = {});
    QString pushSubscribed(const QString &sessionId, qint64 lastSeq);
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
    Reply history(const LoggedRequest &request, const QString &idKey) const;
    JSONValue sessionValue(const Session &session) const;

    SimHost *m_host;
    QList<Workspace> m_workspaces;
    QList<Session> m_sessions;
    QStringList m_archived;
    QHash<QString, QList<SubagentEntry>> m_subagents;
    QHash<QString, bool> m_parentAvailable;
    QHash<QString, JSONValue> m_models;
    QHash<QString, std::vector<JSONValue>> m_events;
    JSONValue m_pluginEntries = JSONValue::array(JSONValue::Elements{});
    JSONValue m_dynamicRows = JSONValue::array(JSONValue::Elements{});
};

} // namespace nbd::sim
