#include "SimWorld.h"

#include "Domain/ProtocolNames.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd::sim {

namespace {

JSONValue stringArray(const QStringList &items)
{
    JSONValue::Elements elements;
    for (const QString &item : items)
        elements.emplace_back(item);
    return JSONValue::array(std::move(elements));
}

std::optional<QString> payloadString(const LoggedRequest &request, QStringView key)
{
    const JSONValue *value = request.payload.find(key);
    return value ? value->string() : std::nullopt;
}

} // namespace

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
            if (entry.mode)
                members.emplace_back(u"mode"_s, *entry.mode);
            if (entry.activity)
                members.emplace_back(u"activity"_s, *entry.activity);
            if (entry.hasChildren)
                members.emplace_back(u"hasChildren"_s, *entry.hasChildren);
            if (entry.label)
                members.emplace_back(u"label"_s, *entry.label);
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
}

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

JSONValue SimWorld::sessionValue(const Session &session) const
{
    JSONValue::Members members{{u"sessionId"_s, session.id},
                               {u"updatedAt"_s, session.updatedAt},
                               {u"running"_s, session.running},
                               {u"blank"_s, session.blank}};
    if (session.parentSessionId)
        members.emplace_back(u"parentSessionId"_s, *session.parentSessionId);
    if (session.origin)
        members.emplace_back(u"origin"_s, *session.origin);
    if (session.cwd)
        members.emplace_back(u"cwd"_s, *session.cwd);
    if (session.title) {
        const JSONValue values = JSONValue::object({{names::titleProjection.toString(), *session.title}});
        members.emplace_back(u"projections"_s,
                             JSONValue::object({{u"asOfSeq"_s, JSONValue(m_logs.lastSeq(session.id))}, {u"values"_s, values}}));
    }
    return JSONValue::object(std::move(members));
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
    for (const Workspace &w : m_workspaces) {
        items.push_back(JSONValue::object({{u"workspaceId"_s, w.id},
                                           {u"path"_s, w.path},
                                           {u"title"_s, w.title},
                                           {u"sessionIds"_s, stringArray(w.sessionIds)},
                                           {u"createdAt"_s, u"2026-01-01T00:00:00Z"_s},
                                           {u"updatedAt"_s, u"2026-01-01T00:00:00Z"_s}}));
    }
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
    return m_host->pushFrame(Stream::Mux, u"approval/requested"_s, std::move(payload), rpcId);
}

QString SimWorld::pushApprovalResolved(const QString &sessionId, const QString &approvalId)
{
    return m_host->pushFrame(Stream::Mux, u"approval/resolved"_s,
                             JSONValue::object({{u"sessionId"_s, sessionId}, {u"approvalId"_s, approvalId}}));
}

QString SimWorld::pushQuestionRequested(const QString &rpcId, JSONValue payload)
{
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

} // namespace nbd::sim
