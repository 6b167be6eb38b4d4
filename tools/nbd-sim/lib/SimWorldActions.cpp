// The simulated host's answers to the client's actions and the scripted agent runs they start.
#include "SimWorld.h"
#include "SimWorldValues.h"

#include "Domain/ProtocolNames.h"

#include <QTimer>
#include <QUuid>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd::sim {

using namespace detail;

namespace {

QString freshId() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

Reply invalid(const QString &message) { return Reply::error(u"invalid_request"_s, message); }
Reply notFound(const QString &message) { return Reply::error(u"not_found"_s, message); }

} // namespace

// The state of one prompt's agent run.
struct SimWorld::Run
{
    QString sessionId;
    QueueItem item;
    AgentScript script;
    qsizetype next = 0;
    qint64 turn = 0;
    qint64 step = 1;
    bool stepOpen = false;
    qint64 blockIndex = 0;
    // The step's streamed chunk numbers and its blocks, for the final message.
    QList<qint64> chunkSeqs;
    JSONValue::Elements blocks;
    QString callId;
    bool rejected = false;
    QString waitingRpcId;
};

SimWorld::AgentScript SimWorld::defaultScript()
{
    AgentStep reasoning;
    reasoning.kind = AgentStep::Kind::Reasoning;
    reasoning.deltas = {u"Looking at "_s, u"the folder."_s};
    AgentStep text;
    text.kind = AgentStep::Kind::Text;
    text.deltas = {u"I will list "_s, u"the files."_s};
    AgentStep call;
    call.kind = AgentStep::Kind::ToolCall;
    call.toolName = u"shell"_s;
    call.arguments = u"{\"command\":\"ls\"}"_s;
    call.view = JSONValue::object({{u"kind"_s, u"command"_s}, {u"title"_s, u"ls"_s}});
    AgentStep approval;
    approval.kind = AgentStep::Kind::Approval;
    approval.text = u"runs a command"_s;
    AgentStep result;
    result.kind = AgentStep::Kind::ToolResult;
    result.text = u"README.md\nsrc"_s;
    AgentStep end;
    end.kind = AgentStep::Kind::EndStep;
    AgentStep answer;
    answer.kind = AgentStep::Kind::Text;
    answer.deltas = {u"There are two entries."_s};
    return {reasoning, text, call, approval, result, end, answer, end};
}

SimWorld::AgentScript SimWorld::textScript(const QString &reply)
{
    AgentStep text;
    text.kind = AgentStep::Kind::Text;
    text.deltas = {reply};
    AgentStep end;
    end.kind = AgentStep::Kind::EndStep;
    return {text, end};
}

void SimWorld::installActionHandlers()
{
    SimHost *host = m_host;
    host->setHandler(u"session.create"_s, [this](const LoggedRequest &r) { return createSession(r.payload); });
    host->setHandler(u"session.prompt"_s, [this](const LoggedRequest &r) { return prompt(r.payload); });
    host->setHandler(u"session.updateQueue"_s, [this](const LoggedRequest &r) { return updateQueue(r.payload); });
    host->setHandler(u"session.cancel"_s, [this](const LoggedRequest &r) { return cancel(r.payload); });
    host->setHandler(u"respond"_s, [this](const LoggedRequest &r) { return respond(r); });

    host->setHandler(u"session.rename"_s, [this](const LoggedRequest &r) {
        const QString id = stringOf(r.payload, u"sessionId");
        const JSONValue *title = r.payload.find(u"title");
        if (!title || !title->isString())
            return invalid(u"title must be a string"_s);
        for (Session &session : m_sessions) {
            if (session.id != id)
                continue;
            session.title = *title->stringPtr();
            const qint64 seq = m_logs.append(id, events::sessionTitle(*session.title));
            m_logs.setProjection(id, names::titleProjection.toString(), *title);
            return Reply::value(JSONValue::object({{u"title"_s, *title}, {u"seq"_s, JSONValue(seq)}}));
        }
        return notFound(u"no such session"_s);
    });
    host->setHandler(u"workspace.archiveSession"_s, [this](const LoggedRequest &r) {
        const QString id = stringOf(r.payload, u"sessionId");
        if (!session(id))
            return notFound(u"no such session"_s);
        if (!m_archived.contains(id))
            m_archived.append(id);
        return Reply::value(JSONValue::object({{u"archivedSessionIds"_s, stringArray(m_archived)}}));
    });
    host->setHandler(u"session.fork"_s, [this](const LoggedRequest &r) {
        const Session *source = session(stringOf(r.payload, u"sessionId"));
        if (!source)
            return notFound(u"no such session"_s);
        Session fork = *source;
        fork.id = freshId();
        fork.running = false;
        fork.updatedAt = source->updatedAt + 1;
        fork.parentSessionId = source->id;
        for (const JSONValue &entry : m_logs.entries(source->id))
            m_logs.append(fork.id, *entry.find(u"event"));
        const QString forkId = fork.id;
        for (Workspace &w : m_workspaces) {
            if (w.sessionIds.contains(source->id))
                w.sessionIds.append(forkId);
        }
        addSession(std::move(fork));
        return Reply::value(JSONValue::object({{u"sessionId"_s, forkId}}));
    });
    host->setHandler(u"session.search"_s, [this](const LoggedRequest &r) {
        const JSONValue *query = r.payload.find(u"query");
        if (!query || !query->isString())
            return invalid(u"query must be a string"_s);
        JSONValue::Elements items;
        for (const Session &session : m_sessions) {
            const QString title = session.title.value_or(QString());
            if (!query->stringPtr()->isEmpty() && title.contains(*query->stringPtr(), Qt::CaseInsensitive))
                items.push_back(JSONValue::object({{u"sessionId"_s, session.id}, {u"snippet"_s, title}}));
        }
        return Reply::value(
            JSONValue::object({{u"items"_s, JSONValue::array(std::move(items))}, {u"hasMore"_s, false}}));
    });
    host->setHandler(u"session.selectModel"_s, [this](const LoggedRequest &r) {
        const QString id = stringOf(r.payload, u"sessionId");
        if (!m_models.contains(id))
            return notFound(u"no such session"_s);
        JSONValue current = JSONValue::object(
            {{u"provider"_s, stringOf(r.payload, u"provider")}, {u"model"_s, stringOf(r.payload, u"model")}});
        if (const JSONValue *effort = r.payload.find(u"reasoningEffort"))
            current = current.with(u"reasoningEffort"_s, *effort);
        m_models.insert(id, m_models.value(id).with(u"current"_s, current));
        return Reply::value(m_models.value(id));
    });
    host->setHandler(u"session.attachment"_s, [this](const LoggedRequest &r) {
        const QString key = stringOf(r.payload, u"sessionId") + u'/' + stringOf(r.payload, u"attachmentId");
        const auto it = m_attachments.constFind(key);
        if (it == m_attachments.cend())
            return notFound(u"no such attachment"_s);
        return Reply::value(JSONValue::object({{u"attachment"_s, it->first}, {u"data"_s, it->second}}));
    });

    host->setHandler(u"workspace.create"_s, [this](const LoggedRequest &r) {
        const QString path = stringOf(r.payload, u"path");
        if (!path.startsWith(u'/'))
            return invalid(u"path must be absolute: "_s + path);
        for (const Workspace &w : m_workspaces) {
            if (w.path == path)
                return Reply::value(JSONValue::object({{u"workspace"_s, workspaceValue(w)}, {u"created"_s, false}}));
        }
        Workspace w;
        w.id = freshId();
        w.path = path;
        w.title = path.section(u'/', -1);
        addWorkspace(w);
        return Reply::value(JSONValue::object({{u"workspace"_s, workspaceValue(w)}, {u"created"_s, true}}));
    });
    host->setHandler(u"workspace.rename"_s, [this](const LoggedRequest &r) {
        const QString id = stringOf(r.payload, u"workspaceId");
        for (Workspace &w : m_workspaces) {
            if (w.id == id) {
                w.title = stringOf(r.payload, u"title");
                return Reply::value(JSONValue::object({{u"workspace"_s, workspaceValue(w)}}));
            }
        }
        return notFound(u"no such workspace"_s);
    });
    host->setHandler(u"workspace.delete"_s, [this](const LoggedRequest &r) {
        const QString id = stringOf(r.payload, u"workspaceId");
        const bool deleted = m_workspaces.removeIf([&](const Workspace &w) { return w.id == id; }) > 0;
        return Reply::value(JSONValue::object({{u"deleted"_s, deleted}}));
    });

    host->setHandler(u"settings.describe"_s, [this](const LoggedRequest &) {
        JSONValue::Elements namespaces;
        for (const auto &[ns, entry] : m_settings)
            namespaces.push_back(settingsNamespaceValue(ns));
        return Reply::value(JSONValue::object({{u"writable"_s, true},
                                               {u"hasDocument"_s, true},
                                               {u"namespaces"_s, JSONValue::array(std::move(namespaces))}}));
    });
    host->setHandler(u"settings.update"_s, [this](const LoggedRequest &r) {
        const QString ns = stringOf(r.payload, u"ns");
        const auto it = m_settings.find(ns);
        if (it == m_settings.end())
            return notFound(u"no such namespace: "_s + ns);
        const JSONValue *patch = r.payload.find(u"patch");
        if (!patch)
            return invalid(u"patch is required"_s);
        if (const JSONValue *expected = r.payload.find(u"expectedRevision")) {
            if (expected->toInt() != m_settingsRevisions.value(ns))
                return Reply::error(u"revision_conflict"_s, u"settings changed since revision %1"_s.arg(
                                                                 expected->toInt().value_or(-1)));
        }
        applySettingsPatch(ns, *patch);
        m_settingsRevisions[ns] += 1;
        return Reply::value(settingsNamespaceValue(ns));
    });
    host->setHandler(u"credentials.describe"_s, [this](const LoggedRequest &r) {
        JSONValue::Members credentials;
        if (const JSONValue *refs = r.payload.find(u"refs")) {
            for (const JSONValue &ref : refs->elements()) {
                if (!ref.isString() || !m_credentials.contains(*ref.stringPtr()))
                    continue;
                const std::optional<QString> source = m_credentials.value(*ref.stringPtr());
                const bool writable = !m_readOnlyCredentials.contains(*ref.stringPtr());
                JSONValue view =
                    JSONValue::object({{u"configured"_s, source.has_value()}, {u"writable"_s, writable}});
                if (source)
                    view = view.with(u"source"_s, *source);
                credentials.emplace_back(*ref.stringPtr(), view);
            }
        }
        return Reply::value(JSONValue::object({{u"credentials"_s, JSONValue::object(std::move(credentials))}}));
    });
    host->setHandler(u"credentials.set"_s, [this](const LoggedRequest &r) {
        const QString ref = stringOf(r.payload, u"ref");
        if (!m_credentials.contains(ref))
            return notFound(u"unknown credential "_s + ref);
        if (m_readOnlyCredentials.contains(ref))
            return Reply::error(u"read_only"_s, u"credential "_s + ref + u" is read-only"_s);
        if (stringOf(r.payload, u"value").isEmpty())
            return invalid(u"value must not be empty"_s);
        m_credentials.insert(ref, u"user"_s);
        return Reply::value(JSONValue::object({{u"ok"_s, true}}));
    });
    host->setHandler(u"credentials.unset"_s, [this](const LoggedRequest &r) {
        const QString ref = stringOf(r.payload, u"ref");
        if (!m_credentials.contains(ref))
            return notFound(u"unknown credential "_s + ref);
        if (m_readOnlyCredentials.contains(ref))
            return Reply::error(u"read_only"_s, u"credential "_s + ref + u" is read-only"_s);
        m_credentials.insert(ref, std::nullopt);
        return Reply::value(JSONValue::object({{u"ok"_s, true}}));
    });
    host->setHandler(u"skill.list"_s, [this](const LoggedRequest &r) {
        const QString id = stringOf(r.payload, u"sessionId");
        if (!session(id))
            return notFound(u"no such session"_s);
        return Reply::value(
            JSONValue::object({{u"skills"_s, m_skills.value(id, JSONValue::array(JSONValue::Elements{}))}}));
    });

    for (const QString &action : {u"pause"_s, u"resume"_s, u"clear"_s, u"edit"_s}) {
        host->setHandler(u"goal."_s + action, [this](const LoggedRequest &r) {
            if (!session(stringOf(r.payload, u"sessionId")))
                return notFound(u"no such session"_s);
            return Reply::value(JSONValue::object({{u"accepted"_s, true}}));
        });
    }
    host->setHandler(u"subagent.prompt"_s, [](const LoggedRequest &r) {
        if (stringOf(r.payload, u"mode") != names::continuableMode)
            return invalid(u"only continuable subagents take prompts"_s);
        return Reply::value(JSONValue::object({{u"messageId"_s, freshId()}}));
    });
    host->setHandler(u"subagent.interrupt"_s, [](const LoggedRequest &) {
        return Reply::value(JSONValue::object({{u"accepted"_s, true}}));
    });
    host->setHandler(u"commands/execute"_s, [this](const LoggedRequest &r) {
        const JSONValue *args = r.payload.find(u"args");
        const QString line = args ? stringOf(*args, u"line") : QString();
        const QString agentId = args ? stringOf(*args, u"agentId") : QString();
        const QString prefix = u"/permission "_s;
        if (!m_permissionPresets || !line.startsWith(prefix))
            return Reply::value(JSONValue());
        const QString preset = line.mid(prefix.size());
        JSONValue result;
        if (m_permissionPresets->contains(preset)) {
            m_currentPresets.insert(agentId, preset);
            result = JSONValue::object({{u"kind"_s, u"success"_s}, {u"text"_s, u"permission: "_s + preset}});
            // A session that keeps its permission state in its log reports the new preset, as
            // the host does, just after answering.
            const auto projections = m_logs.projections(agentId);
            const auto stored = projections.find(u"permissions"_s);
            if (stored != projections.end() && stored->second.isObject()) {
                const JSONValue updated = stored->second.with(u"current"_s, preset);
                const std::weak_ptr<const bool> alive = m_alive;
                QTimer::singleShot(0, m_host, [this, alive, agentId, updated] {
                    if (!alive.expired())
                        m_logs.setProjection(agentId, u"permissions"_s, updated);
                });
            }
        } else {
            result = JSONValue::object({{u"kind"_s, u"error"_s}, {u"text"_s, u"unknown preset "_s + preset}});
        }
        return Reply::value(JSONValue::object({{u"commandId"_s, freshId()}, {u"result"_s, result}}));
    });
}

Reply SimWorld::createSession(const JSONValue &payload)
{
    Session created;
    created.id = freshId();
    double newest = 0;
    for (const Session &s : m_sessions)
        newest = std::max(newest, s.updatedAt);
    created.updatedAt = newest + 1;
    const QString workspaceId = stringOf(payload, u"workspaceId");
    if (!workspaceId.isEmpty()) {
        const Workspace *w = workspace(workspaceId);
        if (!w)
            return notFound(u"no such workspace"_s);
        created.cwd = w->path;
    } else if (const JSONValue *cwd = payload.find(u"cwd"); cwd && cwd->isString()) {
        created.cwd = *cwd->stringPtr();
    }
    if (const JSONValue *preset = payload.find(names::agentPresetKey); preset && preset->isString())
        created.agentPreset = *preset->stringPtr();
    for (Workspace &w : m_workspaces) {
        if (w.id == workspaceId)
            w.sessionIds.append(created.id);
    }
    if (!m_models.contains(created.id))
        m_models.insert(created.id, modelCatalogue(u"sim"_s, u"sim-1"_s));
    JSONValue::Members value{{u"sessionId"_s, created.id}};
    addIfSet(value, u"agentPreset"_s, created.agentPreset);
    addSession(std::move(created));
    return Reply::value(JSONValue::object(std::move(value)));
}

bool SimWorld::isRunActive(const QString &sessionId) const { return m_runs.contains(sessionId); }

void SimWorld::promptAsUser(const QString &sessionId, const QString &text)
{
    const JSONValue content = JSONValue::array({JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, text}})});
    const JSONValue payload =
        JSONValue::object({{u"sessionId"_s, sessionId}, {u"mode"_s, u"queue"_s}, {u"content"_s, content}});
    prompt(payload);
}

Reply SimWorld::prompt(const JSONValue &payload)
{
    const QString sessionId = stringOf(payload, u"sessionId");
    if (!session(sessionId))
        return notFound(u"no such session"_s);
    if (stringOf(payload, u"mode") != u"queue")
        return invalid(u"unsupported mode"_s);
    const JSONValue *content = payload.find(u"content");
    if (!content || !content->isArray())
        return invalid(u"content must be an array"_s);
    m_prompts.append(payload);
    QueueItem item;
    item.id = freshId();
    item.content = *content;
    m_queues[sessionId].append(item);
    // Answered first; the run's frames follow on the next event-loop turns.
    const std::weak_ptr<const bool> alive = m_alive;
    QTimer::singleShot(0, m_host, [this, alive, sessionId] {
        if (alive.expired())
            return;
        pushQueueState(sessionId);
        if (!m_runs.contains(sessionId))
            startNextRun(sessionId);
    });
    return Reply::value(JSONValue::object({{u"accepted"_s, true}}));
}

void SimWorld::pushQueueState(const QString &sessionId)
{
    JSONValue::Elements items;
    for (const QueueItem &item : m_queues.value(sessionId)) {
        items.push_back(JSONValue::object({{u"id"_s, item.id},
                                           {u"message"_s, JSONValue::object({{u"content"_s, item.content}})},
                                           {u"placement"_s, item.placement}}));
    }
    pushQueue(sessionId, JSONValue::array(std::move(items)));
}

Reply SimWorld::updateQueue(const JSONValue &payload)
{
    const QString sessionId = stringOf(payload, u"sessionId");
    const QString itemId = stringOf(payload, u"itemId");
    const JSONValue *action = payload.find(u"action");
    QList<QueueItem> &queue = m_queues[sessionId];
    const auto item = std::find_if(queue.begin(), queue.end(), [&](const QueueItem &i) { return i.id == itemId; });
    if (!action || item == queue.end())
        return Reply::value(JSONValue::object({{u"accepted"_s, false}}));
    const QString kind = stringOf(*action, u"kind");
    if (kind == u"edit") {
        const JSONValue *content = action->find(u"content");
        if (!content || !content->isArray())
            return invalid(u"content must be an array"_s);
        item->content = *content;
    } else if (kind == u"remove") {
        queue.erase(item);
    } else if (kind == u"steer") {
        item->placement = u"steering"_s;
    } else {
        return Reply::value(JSONValue::object({{u"accepted"_s, false}}));
    }
    pushQueueState(sessionId);
    return Reply::value(JSONValue::object({{u"accepted"_s, true}}));
}

Reply SimWorld::cancel(const JSONValue &payload)
{
    const QString sessionId = stringOf(payload, u"sessionId");
    if (!session(sessionId))
        return notFound(u"no such session"_s);
    const bool running = m_runs.contains(sessionId);
    if (running)
        finishRun(sessionId, u"aborted"_s);
    return Reply::value(JSONValue::object({{u"accepted"_s, running}}));
}

void SimWorld::startNextRun(const QString &sessionId)
{
    QList<QueueItem> &queue = m_queues[sessionId];
    if (queue.isEmpty())
        return;
    auto run = std::make_shared<Run>();
    run->sessionId = sessionId;
    run->item = queue.takeFirst();
    run->script = m_script.isEmpty() ? defaultScript() : m_script;
    // Turns go on from the session's log: a session that came with history (or ran before
    // this world existed) must not start again at turn 1, which would fold the new turn's
    // events into an old one.
    qint64 &turns = m_turns[sessionId];
    for (const JSONValue &entry : m_logs.entries(sessionId)) {
        const JSONValue *event = entry.find(u"event");
        const JSONValue *data = event ? event->find(u"data") : nullptr;
        const JSONValue *turn = data ? data->find(u"turn") : nullptr;
        if (turn)
            turns = std::max(turns, turn->toInt().value_or(0));
    }
    run->turn = ++turns;
    m_runs.insert(sessionId, run);

    // The echo carries the queue item's id: the client drops the queued row for it.
    const JSONValue echo = events::draft(
        u"user/message"_s,
        JSONValue::object({{u"id"_s, run->item.id},
                           {u"content"_s, run->item.content},
                           {u"source"_s, JSONValue::object({{u"kind"_s, u"user"_s}})}}));
    streamEvent(sessionId, echo);
    pushQueueState(sessionId);
    pushSessionStatus(sessionId, true);
    streamEvent(sessionId, events::turnStart(run->turn));
    scheduleAdvance(sessionId);
}

void SimWorld::scheduleAdvance(const QString &sessionId)
{
    const std::weak_ptr<const bool> alive = m_alive;
    QTimer::singleShot(m_stepDelayMs, m_host, [this, alive, sessionId] {
        if (!alive.expired())
            advance(sessionId);
    });
}

void SimWorld::advance(const QString &sessionId)
{
    const std::shared_ptr<Run> run = m_runs.value(sessionId);
    if (!run || !run->waitingRpcId.isEmpty())
        return;
    if (run->next >= run->script.size()) {
        finishRun(sessionId, u"completed"_s);
        return;
    }
    const AgentStep &step = run->script.at(run->next++);
    const qint64 turn = run->turn;
    auto openStep = [&] {
        if (run->stepOpen)
            return;
        run->stepOpen = true;
        streamEvent(sessionId, events::stepStart(turn, run->step));
    };
    auto streamChunk = [&](JSONValue draft) { run->chunkSeqs.append(streamEvent(sessionId, std::move(draft))); };

    switch (step.kind) {
    case AgentStep::Kind::Reasoning:
    case AgentStep::Kind::Text: {
        openStep();
        const bool reasoning = step.kind == AgentStep::Kind::Reasoning;
        const qint64 index = run->blockIndex++;
        streamChunk(events::blockStart(turn, run->step, index,
                                       reasoning ? names::reasoningBlockKind.toString() : u"text"_s));
        for (const QString &delta : step.deltas) {
            streamChunk(reasoning ? events::reasoningDelta(turn, run->step, index, delta)
                                  : events::textDelta(turn, run->step, index, delta));
        }
        run->blocks.push_back(JSONValue::object({{u"type"_s, reasoning ? u"reasoning"_s : u"text"_s},
                                                 {u"text"_s, step.deltas.join(QString())},
                                                 {u"index"_s, JSONValue(index)}}));
        break;
    }
    case AgentStep::Kind::ToolCall: {
        openStep();
        const qint64 index = run->blockIndex++;
        run->callId = u"call-"_s + freshId().left(8);
        run->rejected = false;
        streamChunk(events::blockStart(turn, run->step, index, names::toolCallBlockKind.toString()));
        streamChunk(events::toolCallDelta(turn, run->step, index, run->callId, step.toolName, step.arguments));
        const JSONValue call = events::draft(u"tool/call"_s, JSONValue::object({{u"turn"_s, JSONValue(turn)},
                                                                               {u"step"_s, JSONValue(run->step)},
                                                                               {u"callId"_s, run->callId},
                                                                               {u"name"_s, step.toolName},
                                                                               {u"arguments"_s, step.arguments}}));
        if (step.view.isNull())
            streamEvent(sessionId, call);
        else
            m_logs.appendAndPush(sessionId, call, events::toolView(run->callId, step.view));
        run->blocks.push_back(JSONValue::object({{u"type"_s, names::toolCallContentType.toString()},
                                                 {u"id"_s, run->callId},
                                                 {u"name"_s, step.toolName},
                                                 {names::toolCallArgumentsKey.toString(), step.arguments},
                                                 {u"index"_s, JSONValue(index)}}));
        break;
    }
    case AgentStep::Kind::Approval: {
        JSONValue::Members payload{{u"sessionId"_s, sessionId},
                                   {u"approvalId"_s, u"approval-"_s + freshId().left(8)},
                                   {u"toolName"_s, u"tool"_s},
                                   {u"callId"_s, run->callId}};
        for (qsizetype i = run->next - 2; i >= 0; --i) {
            if (run->script.at(i).kind == AgentStep::Kind::ToolCall) {
                payload[2].second = run->script.at(i).toolName;
                break;
            }
        }
        if (!step.text.isEmpty())
            payload.emplace_back(u"reason"_s, step.text);
        run->waitingRpcId = freshId();
        pushApprovalRequested(run->waitingRpcId, JSONValue::object(std::move(payload)));
        return; // resumed by the answer
    }
    case AgentStep::Kind::Question: {
        run->waitingRpcId = freshId();
        pushQuestionRequested(run->waitingRpcId,
                              JSONValue::object({{u"sessionId"_s, sessionId}, {u"questions"_s, step.questions}}));
        return;
    }
    case AgentStep::Kind::ToolResult: {
        openStep();
        const QString text = run->rejected ? u"rejected by user"_s : step.text;
        const JSONValue result = events::toolResult(turn, run->step, run->callId, text, run->rejected);
        if (step.view.isNull())
            streamEvent(sessionId, result);
        else
            m_logs.appendAndPush(sessionId, result, events::toolView(run->callId, step.view));
        break;
    }
    case AgentStep::Kind::Todos:
        streamEvent(sessionId, events::draft(names::todoWriteEvent.toString(), JSONValue::object({{u"todos"_s, step.todos}})));
        break;
    case AgentStep::Kind::EndStep: {
        openStep();
        JSONValue::Elements seqs;
        for (qint64 seq : std::as_const(run->chunkSeqs))
            seqs.emplace_back(seq);
        const JSONValue data = JSONValue::object(
            {{u"turn"_s, JSONValue(turn)},
             {u"step"_s, JSONValue(run->step)},
             {u"message"_s, JSONValue::object({{u"content"_s, JSONValue::array(std::move(run->blocks))}})}});
        const JSONValue message = events::draft(u"assistant/message"_s, data)
                                      .with(u"sourceEventSeqs"_s, JSONValue::array(std::move(seqs)));
        streamEvent(sessionId, message);
        run->blocks.clear();
        run->chunkSeqs.clear();
        run->blockIndex = 0;
        run->stepOpen = false;
        ++run->step;
        break;
    }
    }
    scheduleAdvance(sessionId);
}

void SimWorld::finishRun(const QString &sessionId, const QString &reason)
{
    const std::shared_ptr<Run> run = m_runs.take(sessionId);
    if (!run)
        return;
    streamEvent(sessionId, events::turnEnd(run->turn, reason));
    pushSessionStatus(sessionId, false);
    if (reason == u"completed")
        startNextRun(sessionId);
}

Reply SimWorld::respond(const LoggedRequest &request)
{
    const QString rpcId = stringOf(request.body, u"rpcId");
    const JSONValue *result = request.body.find(u"result");
    if (rpcId.isEmpty() || !result)
        return Reply::value(JSONValue::object({{u"accepted"_s, false}, {u"reason"_s, u"malformed response"_s}}));
    if (m_rejectAnswersReason)
        return Reply::value(JSONValue::object({{u"accepted"_s, false}, {u"reason"_s, *m_rejectAnswersReason}}));
    // A request is answered once; a second answer (a double click, another surface) is refused.
    if (m_answeredRpcIds.contains(rpcId))
        return Reply::value(JSONValue::object({{u"accepted"_s, false}, {u"reason"_s, u"already answered"_s}}));
    m_answeredRpcIds.insert(rpcId);

    std::shared_ptr<Run> run;
    for (const std::shared_ptr<Run> &candidate : std::as_const(m_runs)) {
        if (candidate->waitingRpcId == rpcId)
            run = candidate;
    }
    if (!run) {
        // An answer to a request pushed by hand (not by a run): recorded and accepted.
        m_answers.append({rpcId, QString(), *result});
        return Reply::value(JSONValue::object({{u"accepted"_s, true}}));
    }

    m_answers.append({rpcId, run->sessionId, *result});
    const AgentStep &asked = run->script.at(run->next - 1);
    run->waitingRpcId.clear();
    const JSONValue *value = result->find(u"value");
    if (asked.kind == AgentStep::Kind::Approval) {
        const QString outcome = value ? stringOf(*value, u"outcome") : QString();
        run->rejected = outcome != u"allowed-once" && outcome != u"allowed-always";
        if (m_announceResolutions) {
            const QString approvalId = value ? stringOf(*value, u"approvalId") : QString();
            const QString sessionId = run->sessionId;
            const std::weak_ptr<const bool> alive = m_alive;
            QTimer::singleShot(0, m_host, [this, alive, sessionId, approvalId] {
                if (!alive.expired())
                    pushApprovalResolved(sessionId, approvalId);
            });
        }
    } else if (m_announceResolutions) {
        const std::weak_ptr<const bool> alive = m_alive;
        QTimer::singleShot(0, m_host, [this, alive, rpcId] {
            if (!alive.expired())
                pushQuestionResolved(rpcId);
        });
    }
    scheduleAdvance(run->sessionId);
    return Reply::value(JSONValue::object({{u"accepted"_s, true}}));
}


} // namespace nbd::sim
