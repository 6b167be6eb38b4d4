#include "SimWorld.h"
#include "SimWorldValues.h"
#include "SimMergePatch.h"

#include "Domain/Settings.h"

#include "Domain/ProtocolNames.h"

#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd::sim {

using namespace detail;

SimWorld::SimWorld(SimHost *host) : m_host(host), m_logs(*host)
{
    host->setHandler(u"workspace.list"_s, [this](const LoggedRequest &) { return Reply::value(workspaceListValue()); });
    host->setHandler(u"session.list"_s, [this](const LoggedRequest &) { return Reply::value(sessionListValue()); });
    host->setHandler(u"session.models"_s, [this](const LoggedRequest &request) {
        const QString id = payloadString(request, u"sessionId").value_or(QString());
        if (!m_models.contains(id))
            return Reply::error(u"not_found"_s, u"no such session"_s);
        return Reply::value(m_models.value(id));
    });
    host->setHandler(u"subagent.list"_s, [this](const LoggedRequest &request) {
        const QString parent = payloadString(request, u"parentSessionId").value_or(QString());
        JSONValue::Elements entries;
        for (const SubagentEntry &entry : m_subagents.value(parent)) {
            JSONValue::Members members{{u"kind"_s, entry.kind}, {u"id"_s, entry.id}};
            addIfSet(members, u"mode"_s, entry.mode);
            addIfSet(members, u"activity"_s, entry.activity);
            addIfSet(members, u"hasChildren"_s, entry.hasChildren);
            addIfSet(members, u"label"_s, entry.label);
            entries.push_back(JSONValue::object(std::move(members)));
        }
        JSONValue::Members value{{u"entries"_s, JSONValue::array(std::move(entries))},
                                 {u"parentAvailable"_s, m_parentAvailable.value(parent, true)}};
        return Reply::value(JSONValue::object(std::move(value)));
    });
    host->setHandler(u"pluginInventory/list"_s, [this](const LoggedRequest &) {
        return Reply::value(JSONValue::object({{u"entries"_s, m_pluginEntries}}));
    });
    host->setHandler(u"dynamicTalvorRunner/inventory"_s,
                     [this](const LoggedRequest &) { return Reply::value(m_dynamicRows); });
    installActionHandlers();
}

SimWorld::~SimWorld() = default;

void SimWorld::addWorkspace(Workspace workspace) { m_workspaces.append(std::move(workspace)); }

void SimWorld::addSession(Session session)
{
    removeSession(session.id);
    m_sessions.append(std::move(session));
}

void SimWorld::removeSession(const QString &id)
{
    m_sessions.removeIf([&](const Session &s) { return s.id == id; });
}

void SimWorld::setRunning(const QString &id, bool running)
{
    for (Session &session : m_sessions) {
        if (session.id == id)
            session.running = running;
    }
}

void SimWorld::setSubagents(const QString &parentId, QList<SubagentEntry> entries, bool parentAvailable)
{
    for (const SubagentEntry &entry : entries)
        m_logs.setSubagentLog(parentId, entry.id, entry.id);
    m_subagents.insert(parentId, std::move(entries));
    m_parentAvailable.insert(parentId, parentAvailable);
}

QStringList SimWorld::buildSubagentChain(const QString &rootId, int levels, const QString &prefix)
{
    QStringList ids;
    QString parent = rootId;
    for (int level = 1; level <= levels; ++level) {
        const QString child = prefix + QString::number(level);
        SubagentEntry entry;
        entry.id = child;
        entry.hasChildren = level < levels;
        setSubagents(parent, {entry});
        ids.append(child);
        parent = child;
    }
    return ids;
}

void SimWorld::buildSubagentCycle(const QString &a, const QString &b)
{
    SubagentEntry toB;
    toB.id = b;
    toB.hasChildren = true;
    SubagentEntry toA;
    toA.id = a;
    toA.hasChildren = true;
    setSubagents(a, {toB});
    setSubagents(b, {toA});
}

JSONValue SimWorld::modelCatalogue(const QString &provider, const QString &model)
{
    const JSONValue current = JSONValue::object({{u"provider"_s, provider}, {u"model"_s, model}});
    const JSONValue modelEntry = JSONValue::object({{u"id"_s, model}, {u"name"_s, model}});
    const JSONValue group = JSONValue::object(
        {{u"id"_s, provider}, {u"name"_s, provider}, {u"models"_s, JSONValue::array({modelEntry})}});
    return JSONValue::object({{u"current"_s, current},
                              {u"routable"_s, true},
                              {u"groups"_s, JSONValue::array({group})},
                              {u"failures"_s, JSONValue::array(JSONValue::Elements{})}});
}

JSONValue SimWorld::sessionStats(const RunStats &stats)
{
    JSONValue::Members m{{u"turns"_s, JSONValue(stats.turns)},
                         {u"steps"_s, JSONValue(stats.steps)},
                         {u"llmMs"_s, JSONValue(stats.llmMs)},
                         {u"toolMs"_s, JSONValue(stats.toolMs)}};
    addIfSet(m, u"ttftMs"_s, stats.ttftMs);
    addIfSet(m, u"ttftSteps"_s, stats.ttftSteps);
    addIfSet(m, u"decodeMs"_s, stats.decodeMs);
    addIfSet(m, u"decodeTokens"_s, stats.decodeTokens);
    return JSONValue::object(std::move(m));
}

JSONValue SimWorld::tokenUsage(const TokenUsage &usage)
{
    JSONValue::Members m{{u"inputTokens"_s, JSONValue(usage.inputTokens)},
                         {u"outputTokens"_s, JSONValue(usage.outputTokens)}};
    addIfSet(m, u"cacheReadTokens"_s, usage.cacheReadTokens);
    addIfSet(m, u"reasoningTokens"_s, usage.reasoningTokens);
    return JSONValue::object(std::move(m));
}

JSONValue SimWorld::sessionValue(const Session &session) const
{
    JSONValue::Members members{{u"sessionId"_s, session.id},
                               {u"updatedAt"_s, session.updatedAt},
                               {u"running"_s, session.running},
                               {u"blank"_s, session.blank}};
    addIfSet(members, u"parentSessionId"_s, session.parentSessionId);
    addIfSet(members, u"origin"_s, session.origin);
    addIfSet(members, u"cwd"_s, session.cwd);
    addIfSet(members, u"agentPreset"_s, session.agentPreset);
    if (session.title) {
        const JSONValue values = JSONValue::object({{names::titleProjection.toString(), *session.title}});
        members.emplace_back(u"projections"_s,
                             JSONValue::object({{u"asOfSeq"_s, JSONValue(m_logs.lastSeq(session.id))}, {u"values"_s, values}}));
    }
    return JSONValue::object(std::move(members));
}

JSONValue SimWorld::workspaceValue(const Workspace &w) const
{
    return JSONValue::object({{u"workspaceId"_s, w.id},
                              {u"path"_s, w.path},
                              {u"title"_s, w.title},
                              {u"sessionIds"_s, stringArray(w.sessionIds)},
                              {u"createdAt"_s, u"2026-01-01T00:00:00Z"_s},
                              {u"updatedAt"_s, u"2026-01-01T00:00:00Z"_s}});
}

JSONValue SimWorld::sessionListValue() const
{
    JSONValue::Elements items;
    for (const Session &session : m_sessions)
        items.push_back(sessionValue(session));
    return JSONValue::object({{u"items"_s, JSONValue::array(std::move(items))}});
}

JSONValue SimWorld::workspaceListValue() const
{
    JSONValue::Elements items;
    for (const Workspace &w : m_workspaces)
        items.push_back(workspaceValue(w));
    return JSONValue::object(
        {{u"items"_s, JSONValue::array(std::move(items))}, {u"archivedSessionIds"_s, stringArray(m_archived)}});
}

// ---- Frames ---------------------------------------------------------------------------------

QString SimWorld::pushProjection(const QString &sessionId, const QString &key, std::optional<JSONValue> value)
{
    JSONValue::Members members{{u"sessionId"_s, sessionId}, {u"key"_s, key}};
    if (value)
        members.emplace_back(u"value"_s, std::move(*value));
    return m_host->pushFrame(Stream::Mux, u"session/projection"_s, JSONValue::object(std::move(members)));
}

QString SimWorld::pushQueue(const QString &sessionId, std::optional<JSONValue> items)
{
    JSONValue::Members members{{u"sessionId"_s, sessionId}};
    if (items)
        members.emplace_back(u"items"_s, std::move(*items));
    return m_host->pushFrame(Stream::Mux, u"session/queue"_s, JSONValue::object(std::move(members)));
}

QString SimWorld::pushJobs(const QString &sessionId, JSONValue jobs)
{
    return m_host->pushFrame(Stream::Mux, names::jobsFrameMethod.toString(),
                             JSONValue::object({{u"sessionId"_s, sessionId}, {u"jobs"_s, std::move(jobs)}}));
}

QString SimWorld::pushApprovalRequested(const QString &rpcId, JSONValue payload)
{
    m_answeredRpcIds.remove(rpcId);
    return m_host->pushFrame(Stream::Mux, u"approval/requested"_s, std::move(payload), rpcId);
}

QString SimWorld::pushApprovalResolved(const QString &sessionId, const QString &approvalId)
{
    return m_host->pushFrame(Stream::Mux, u"approval/resolved"_s,
                             JSONValue::object({{u"sessionId"_s, sessionId}, {u"approvalId"_s, approvalId}}));
}

QString SimWorld::pushQuestionRequested(const QString &rpcId, JSONValue payload)
{
    m_answeredRpcIds.remove(rpcId);
    return m_host->pushFrame(Stream::Mux, u"question/requested"_s, std::move(payload), rpcId);
}

QString SimWorld::pushQuestionResolved(const QString &questionRpcId)
{
    return m_host->pushFrame(Stream::Mux, u"question/resolved"_s,
                             JSONValue::object({{u"questionRpcId"_s, questionRpcId}}));
}

QString SimWorld::pushSessionStatus(const QString &sessionId, bool running)
{
    setRunning(sessionId, running);
    return m_host->pushFrame(Stream::Host, u"host/session-status"_s,
                             JSONValue::object({{u"sessionId"_s, sessionId}, {u"running"_s, running}}));
}

const QStringList &SimWorld::listChangeMethods()
{
    static const QStringList methods = {
        u"host/session-added"_s,    u"host/session-removed"_s,        u"host/workspace-changed"_s,
        u"host/workspace-removed"_s, u"host/workspace-order-changed"_s, u"host/archived-sessions-changed"_s,
    };
    return methods;
}

QString SimWorld::pushListChange(const QString &method, JSONValue payload)
{
    return m_host->pushFrame(Stream::Host, method, std::move(payload));
}

QString SimWorld::pushAgentError(JSONValue payload)
{
    return m_host->pushFrame(Stream::Host, u"host/agent-error"_s, std::move(payload));
}

QString SimWorld::pushRemoteEvent(const QString &event)
{
    return m_host->pushFrame(Stream::Host, u"host/remote-event"_s, JSONValue::object({{u"event"_s, event}}));
}

QString SimWorld::pushStreamError(JSONValue error)
{
    return m_host->pushFrame(Stream::Mux, u"stream/error"_s, JSONValue::object({{u"error"_s, std::move(error)}}));
}

const SimWorld::Workspace *SimWorld::workspace(const QString &id) const
{
    for (const Workspace &w : m_workspaces) {
        if (w.id == id)
            return &w;
    }
    return nullptr;
}

const SimWorld::Session *SimWorld::session(const QString &id) const
{
    for (const Session &s : m_sessions) {
        if (s.id == id)
            return &s;
    }
    return nullptr;
}

void SimWorld::setAttachment(const QString &sessionId, JSONValue attachmentRef, QString base64)
{
    const QString key = sessionId + u'/' + stringOf(attachmentRef, u"attachmentId");
    m_attachments.insert(key, {std::move(attachmentRef), std::move(base64)});
}

void SimWorld::addSettingsNamespace(const QString &ns, JSONValue schema, JSONValue value, QString applies,
                                    JSONValue secrets)
{
    m_settings.insert_or_assign(ns, std::pair{std::move(schema), std::move(value)});
    m_settingsRevisions.insert(ns, 1);
    m_settingsDetails.insert(ns, {std::move(applies), std::move(secrets)});
}

std::optional<JSONValue> SimWorld::settingsValue(const QString &ns) const
{
    const auto it = m_settings.find(ns);
    return it == m_settings.end() ? std::nullopt : std::optional<JSONValue>(it->second.second);
}

qint64 SimWorld::settingsRevision(const QString &ns) const { return m_settingsRevisions.value(ns); }

namespace {

std::vector<QString> secretPath(const JSONValue &secret)
{
    std::vector<QString> path;
    if (const JSONValue *texts = secret.find(u"path")) {
        for (const JSONValue &text : texts->elements())
            path.push_back(text.string().value_or(QString()));
    }
    return path;
}

bool secretSet(const JSONValue &secret)
{
    const JSONValue *set = secret.find(u"set");
    return set && set->boolean().value_or(false);
}

} // namespace

JSONValue SimWorld::settingsNamespaceValue(const QString &ns) const
{
    const auto &[schema, value] = m_settings.at(ns);
    const auto &[applies, secrets] = m_settingsDetails.value(ns);
    // Like the host, never hand out a stored secret: its place shows a mask.
    JSONValue shown = value;
    for (const JSONValue &secret : secrets.elements()) {
        const std::vector<QString> path = secretPath(secret);
        if (secretSet(secret) && !path.empty() && settingsValueAt(shown, path))
            shown = withValueAt(shown, path, u"••••••"_s);
    }
    return JSONValue::object({{u"ns"_s, ns},
                              {u"schema"_s, schema},
                              {u"value"_s, shown},
                              {u"user"_s, shown},
                              {u"applies"_s, applies},
                              {u"secrets"_s, secrets},
                              {u"revision"_s, JSONValue(m_settingsRevisions.value(ns))}});
}

void SimWorld::applySettingsPatch(const QString &ns, const JSONValue &patch)
{
    JSONValue &stored = m_settings.at(ns).second;
    const JSONValue updated = applyMergePatch(stored, patch);
    auto &secrets = m_settingsDetails[ns].second;
    if (secrets.isArray()) {
        // A slot the patch wrote is set when it now holds a value, unset when it was removed.
        JSONValue::Elements slots;
        for (const JSONValue &secret : secrets.elements()) {
            const std::vector<QString> path = secretPath(secret);
            const JSONValue *before = settingsValueAt(stored, path);
            const JSONValue *after = settingsValueAt(updated, path);
            const bool written = (before || after) && !(before && after && *before == *after);
            if (!path.empty() && written) {
                const bool set = after && !after->isNull() && !(after->isString() && after->stringPtr()->isEmpty());
                slots.push_back(secret.with(u"set"_s, set));
            } else {
                slots.push_back(secret);
            }
        }
        secrets = JSONValue::array(std::move(slots));
    }
    stored = updated;
}

void SimWorld::setCredential(const QString &name, std::optional<QString> source, bool writable)
{
    m_credentials.insert(name, std::move(source));
    if (writable)
        m_readOnlyCredentials.remove(name);
    else
        m_readOnlyCredentials.insert(name);
}

bool SimWorld::credentialConfigured(const QString &name) const
{
    return m_credentials.value(name).has_value();
}

std::optional<QString> SimWorld::permissionPreset(const QString &agentId) const
{
    const auto it = m_currentPresets.constFind(agentId);
    return it == m_currentPresets.cend() ? std::nullopt : std::optional<QString>(*it);
}


} // namespace nbd::sim
