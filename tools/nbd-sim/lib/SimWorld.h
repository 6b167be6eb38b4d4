#pragma once

#include "SimHost.h"
#include "SimSessions.h"

#include "Wire/JSONValue.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <QObject>
#include <QPointer>

#include <functional>
#include <map>
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
        std::optional<QString> agentPreset;
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

    // One step of a scripted agent run. A run answers one prompt: the echoed user message,
    // "turn/start", then the steps in order (each in the step it belongs to), "turn/end".
    struct AgentStep
    {
        enum class Kind {
            Reasoning,  // a reasoning block streamed in deltas
            Text,       // a text block streamed in deltas
            ToolCall,   // a streamed tool call, then "tool/call" with its presentation
            Approval,   // "approval/requested" for the last tool call; waits for the answer
            Question,   // "question/requested" with `questions`; waits for the answer
            ToolResult, // the result of the last tool call (an error when it was rejected)
            EndStep,    // the step's final "assistant/message"; the next step starts after it
            Todos,      // "todo/write" with `todos`: the agent rewrites the session's todo list
        };
        Kind kind = Kind::Text;
        QStringList deltas;     // Reasoning, Text: the streamed pieces
        QString text;           // ToolResult: the result text; Approval: the reason
        QString toolName;       // ToolCall
        QString arguments;      // ToolCall: the arguments text
        JSONValue view;         // ToolCall, ToolResult: the host's presentation (null: none)
        JSONValue questions;    // Question: the "questions" array
        JSONValue todos;        // Todos: the "todos" array
    };
    using AgentScript = QList<AgentStep>;
    // Reasoning, text, a tool call that needs approval, its result, the final message.
    static AgentScript defaultScript();
    // One text block and the final message: no approval.
    static AgentScript textScript(const QString &reply);

    // One answer the host received on its response endpoint.
    struct Answer
    {
        QString rpcId;
        QString sessionId;
        JSONValue result; // the envelope's "result"
    };

    // One item of a session's message queue.
    struct QueueItem
    {
        QString id;
        JSONValue content;
        QString placement = QStringLiteral("queued");
    };

    // Installs the world's handlers on the host: "workspace.list", "session.list",
    // "session.models", "subagent.list", "pluginInventory/list",
    // "dynamicTalvorRunner/inventory" and the methods of the user actions (sessions,
    // prompts and the queue, approvals and questions through "respond", goals, models,
    // attachments, workspaces, settings, credentials, skills, commands); the session logs
    // answer the two history methods.
    explicit SimWorld(SimHost *host);
    ~SimWorld();

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
    // The "sessionStats" and "tokenUsage" projections of a run; unset figures are left out.
    struct RunStats
    {
        qint64 turns = 0, steps = 0, llmMs = 0, toolMs = 0;
        std::optional<qint64> ttftMs, ttftSteps, decodeMs, decodeTokens;
    };
    static JSONValue sessionStats(const RunStats &stats);
    struct TokenUsage
    {
        qint64 inputTokens = 0, outputTokens = 0;
        std::optional<qint64> cacheReadTokens, reasoningTokens;
    };
    static JSONValue tokenUsage(const TokenUsage &usage);
    void setPluginInventory(JSONValue entries) { m_pluginEntries = std::move(entries); }
    void setDynamicInventory(JSONValue rows) { m_dynamicRows = std::move(rows); }

    // The session event logs behind "session.history" and "subagent.history". Every child
    // listed by setSubagents() reads its history from its own session's log.
    SimSessions &logs() { return m_logs; }
    // Appends an event draft (sim::events) to the session's log; returns its number.
    qint64 appendEvent(const QString &sessionId, JSONValue draft) { return m_logs.append(sessionId, std::move(draft)); }

    JSONValue sessionListValue() const;
    JSONValue workspaceListValue() const;

    // ---- Agent runs ----
    // The script the next prompts run (each prompt runs it once from the start).
    void setScript(AgentScript script) { m_script = std::move(script); }
    // Whether an answered approval or question is followed by its resolution frame.
    void setAnnounceResolutions(bool announce) { m_announceResolutions = announce; }
    // Answers on the response endpoint are refused ("accepted" false with this reason). A
    // second answer to the same request is always refused, with the reason "already answered".
    void setRejectAnswers(std::optional<QString> reason) { m_rejectAnswersReason = std::move(reason); }
    const QList<Answer> &answers() const { return m_answers; }
    // Whether a run of the session is under way (also while it waits for an answer).
    bool isRunActive(const QString &sessionId) const;
    const QList<QueueItem> queue(const QString &sessionId) const { return m_queues.value(sessionId); }
    // The prompt payloads "session.prompt" accepted, in order.
    const QList<JSONValue> &prompts() const { return m_prompts; }
    // Milliseconds between two frames of a run (0: each on the next event-loop turn).
    void setStepDelay(int ms) { m_stepDelayMs = ms; }
    // Queues a prompt as if the user had sent it ("session.prompt"): it runs the script when
    // no run of the session is under way, else it waits in the queue.
    void promptAsUser(const QString &sessionId, const QString &text);

    // ---- State behind the other actions ----
    const Workspace *workspace(const QString &id) const;
    const Session *session(const QString &id) const;
    QStringList archived() const { return m_archived; }
    void setAttachment(const QString &sessionId, JSONValue attachmentRef, QString base64);
    // applies: "live" or any other word (a restart is needed); secrets: the namespace's
    // secret slots as the host lists them ([{"path": [...], "set": bool}]). The value holds
    // the real secrets; what the host describes shows a mask at each set slot instead, and
    // "settings.update" merges its patch into the stored value.
    void addSettingsNamespace(const QString &ns, JSONValue schema, JSONValue value,
                              QString applies = QStringLiteral("live"),
                              JSONValue secrets = JSONValue::array(JSONValue::Elements{}));
    // The stored value, secrets included.
    std::optional<JSONValue> settingsValue(const QString &ns) const;
    qint64 settingsRevision(const QString &ns) const;
    // A credential the host knows by name, with its source when configured; the client may
    // change it only when writable ("credentials.set" and "unset" are refused otherwise).
    void setCredential(const QString &name, std::optional<QString> source, bool writable = true);
    bool credentialConfigured(const QString &name) const;
    void setSkills(const QString &sessionId, JSONValue skills) { m_skills.insert(sessionId, std::move(skills)); }
    // Preset values that "/permission <preset>" accepts; the command is missing when unset.
    void setPermissionPresets(std::optional<QStringList> presets) { m_permissionPresets = std::move(presets); }
    std::optional<QString> permissionPreset(const QString &agentId) const;

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
    struct Run;

    JSONValue sessionValue(const Session &session) const;
    void installActionHandlers();
    Reply createSession(const JSONValue &payload);
    Reply prompt(const JSONValue &payload);
    Reply updateQueue(const JSONValue &payload);
    Reply cancel(const JSONValue &payload);
    Reply respond(const LoggedRequest &request);
    JSONValue workspaceValue(const Workspace &workspace) const;
    JSONValue settingsNamespaceValue(const QString &ns) const;
    // "settings.update": the patch merged into the stored value, the written slots' "set".
    void applySettingsPatch(const QString &ns, const JSONValue &patch);
    void pushQueueState(const QString &sessionId);
    void startNextRun(const QString &sessionId);
    void scheduleAdvance(const QString &sessionId);
    void advance(const QString &sessionId);
    void finishRun(const QString &sessionId, const QString &reason);

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

    AgentScript m_script;
    bool m_announceResolutions = true;
    std::optional<QString> m_rejectAnswersReason;
    int m_stepDelayMs = 0;
    QList<Answer> m_answers;
    QSet<QString> m_answeredRpcIds; // requests answered and not asked again since
    QList<JSONValue> m_prompts;
    QHash<QString, QList<QueueItem>> m_queues;
    QHash<QString, std::shared_ptr<Run>> m_runs;
    QHash<QString, qint64> m_turns;
    QHash<QString, std::pair<JSONValue, QString>> m_attachments; // "session/attachment"
    std::map<QString, std::pair<JSONValue, JSONValue>> m_settings; // ns -> (schema, value)
    QHash<QString, qint64> m_settingsRevisions;
    QHash<QString, std::pair<QString, JSONValue>> m_settingsDetails; // ns -> (applies, secrets)
    QHash<QString, std::optional<QString>> m_credentials; // name -> source when configured
    QSet<QString> m_readOnlyCredentials;
    QHash<QString, JSONValue> m_skills;
    std::optional<QStringList> m_permissionPresets;
    QHash<QString, QString> m_currentPresets;
    // Guards the world's timers against a world destroyed before they fire.
    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
};

} // namespace nbd::sim
