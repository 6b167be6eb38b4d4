// The store's user actions: one remote call each (two for a session in a new workspace),
// a fixed payload built on the main thread before the first await, and a fixed reading of
// the outcome.
#include "Store/AppModel.h"

#include "Domain/Graphemes.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "Session/SessionModel.h"

#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

const QString kLastSessionIdKey = u"nbd.lastSessionId"_s;

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

// The host's refusal of an answer to a request it has settled already: a second press before
// the card went away, or another surface (tray, notification) that answered first.
bool isAlreadyAnswered(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const WireTransportError &e) {
        return e.message() == u"respond rejected: already answered";
    } catch (...) {
        return false;
    }
}

JSONValue stringArray(const std::vector<QString> &values)
{
    JSONValue::Elements elements;
    elements.reserve(values.size());
    for (const QString &value : values)
        elements.emplace_back(value);
    return JSONValue::array(std::move(elements));
}

} // namespace

// ---- Wire shapes --------------------------------------------------------------------------

JSONValue AppModel::sessionCreationPayload(const std::optional<QString> &cwd, const std::optional<QString> &workspaceId,
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

JSONValue AppModel::promptContent(const QString &text)
{
    const JSONValue block = JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, text}});
    return JSONValue::array({block});
}

QString AppModel::clientTimeZone()
{
    const QByteArray id = QTimeZone::systemTimeZoneId();
    return id.isEmpty() ? u"UTC"_s : QString::fromUtf8(id);
}

QString AppModel::exportFileName(const std::optional<QString> &title, const QString &sessionId)
{
    QString segment = title.value_or(u"session"_s);
    // The name goes to a save panel as a single path component: a separator, NUL or any
    // other control character would cut it, nest it or make it unwritable.
    for (QChar &c : segment) {
        if (c == u'/' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'-';
    }
    return u"nbd-"_s + segment + u'-' + Graphemes::prefix(sessionId, 8) + u".zip"_s;
}

void AppModel::reportFailure(const QString &prefix, std::exception_ptr error)
{
    setTransientError(prefix + describeError(error));
}

// ---- Sessions -----------------------------------------------------------------------------

QCoro::Task<SessionCreateValue> AppModel::requestSessionCreation(WireClient client, std::optional<QString> cwd,
                                                                 std::optional<QString> workspaceId,
                                                                 std::optional<QString> agentPreset)
{
    const JSONValue payload = sessionCreationPayload(cwd, workspaceId, agentPreset);
    co_return co_await client.call<SessionCreateValue>(u"session.create"_s, payload);
}

QCoro::Task<void> AppModel::createSession(std::optional<QString> cwd, std::optional<QString> workspaceId)
{
    co_await createAndSelectSession(std::move(cwd), std::move(workspaceId));
}

QCoro::Task<std::optional<QString>> AppModel::createAndSelectSession(std::optional<QString> cwd,
                                                                     std::optional<QString> workspaceId)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
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

QCoro::Task<std::optional<QString>> AppModel::showCreatedSession(std::optional<SessionCreateValue> created,
                                                                 std::exception_ptr failure)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    if (!created) {
        reportFailure(u"创建会话失败："_s, failure);
        co_return std::nullopt;
    }
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return std::nullopt;
    selectSession(created->sessionId);
    co_return created->sessionId;
}

QCoro::Task<void> AppModel::createWorkspaceSession(QString path)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
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

QCoro::Task<std::shared_ptr<SessionModel>> AppModel::createDetachedSession(std::optional<QString> cwd,
                                                                           std::optional<QString> workspaceId)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client) {
        setTransientError(u"创建侧边会话失败：未连接"_s);
        co_return std::shared_ptr<SessionModel>();
    }
    // A side chat is the user's choice of what to look at: the last-session restore of this
    // connection must not select something else once the lists arrive.
    setDidRestoreInitialSession(true);
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
            reportFailure(u"创建侧边会话失败："_s, failure);
        co_return std::shared_ptr<SessionModel>();
    }
    const std::shared_ptr<SessionModel> model = registerDetachedSessionModel(created->sessionId);
    loadDetachedSession(*client, model, created->sessionId);
    co_return model;
}

QCoro::Task<void> AppModel::loadDetachedSession(WireClient client, std::weak_ptr<SessionModel> weakModel,
                                                QString sessionId)
{
    // Runs detached and holds neither the store nor the model: a side chat discarded before
    // its history arrives is simply not loaded.
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::shared_ptr<SessionModel> model = weakModel.lock();
    if (!model)
        co_return;
    try {
        QCoro::Task<void> history = model->loadInitialHistory(client, std::nullopt);
        QCoro::Task<void> models = refreshModels(sessionId);
        co_await std::move(history);
        co_await std::move(models);
    } catch (...) {
    }
}

QCoro::Task<bool> AppModel::sendPrompt(QString text)
{
    if (!m_selectedSessionId)
        co_return false;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return false;
    const JSONValue content = promptContent(text);
    if (m_selectedSubagent) {
        const SelectedSubagent &subagent = *m_selectedSubagent;
        if (subagent.address.mode == names::continuableMode && subagent.parentAvailable) {
            const JSONValue payload = JSONValue::object({
                {u"parentSessionId"_s, subagent.address.parentSessionId},
                {u"childSessionId"_s, subagent.address.childSessionId},
                {u"mode"_s, names::continuableMode.toString()},
                {u"content"_s, content},
                {u"clientTimeZone"_s, clientTimeZone()},
            });
            co_return co_await runSubagentPrompt(*client, payload);
        }
        setTransientError(u"此子代理当前只读"_s);
        co_return false;
    }
    co_return co_await sendPrompt(content, *m_selectedSessionId, *client);
}

QCoro::Task<bool> AppModel::sendPrompt(QString text, QString sessionId)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return false;
    co_return co_await sendPrompt(promptContent(text), sessionId, *client);
}

QCoro::Task<bool> AppModel::sendPrompt(JSONValue content, QString sessionId, WireClient client)
{
    const JSONValue payload = JSONValue::object({
        {u"sessionId"_s, sessionId},
        {u"mode"_s, u"queue"_s},
        {u"content"_s, content},
        {u"clientTimeZone"_s, clientTimeZone()},
    });
    co_return co_await runSendPrompt(client, payload);
}

template<class T>
QCoro::Task<std::optional<T>> AppModel::callReporting(WireClient client, QString method, JSONValue payload,
                                                      QString failurePrefix)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    std::optional<T> reply;
    std::exception_ptr failure;
    try {
        reply = co_await client.call<T>(method, payload);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return std::nullopt;
    if (failure)
        reportFailure(failurePrefix, failure);
    co_return reply;
}

QCoro::Task<bool> AppModel::runSendPrompt(WireClient client, JSONValue payload)
{
    const auto reply = co_await callReporting<SessionPromptValue>(client, u"session.prompt"_s, payload, u"发送失败："_s);
    // The message itself arrives as the host's echo: nothing is added here.
    if (reply && !reply->accepted)
        setTransientError(u"主机未接受该消息"_s);
    co_return reply && reply->accepted;
}

QCoro::Task<bool> AppModel::runSubagentPrompt(WireClient client, JSONValue payload)
{
    const auto reply =
        co_await callReporting<SubagentPromptValue>(client, u"subagent.prompt"_s, payload, u"发送失败："_s);
    co_return reply.has_value();
}

void AppModel::editQueuedMessage(const QString &itemId, const QString &text)
{
    updateQueue(itemId, JSONValue::object({{u"kind"_s, u"edit"_s}, {u"content"_s, promptContent(text)}}));
}

void AppModel::removeQueuedMessage(const QString &itemId)
{
    updateQueue(itemId, JSONValue::object({{u"kind"_s, u"remove"_s}}));
}

void AppModel::steerQueuedMessage(const QString &itemId)
{
    updateQueue(itemId, JSONValue::object({{u"kind"_s, u"steer"_s}}));
}

void AppModel::updateQueue(const QString &itemId, const JSONValue &action)
{
    // The queue shown belongs to the top-level session, not to a subagent in its place.
    if (m_selectedSubagent || !m_selectedSessionId)
        return;
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    const JSONValue payload = JSONValue::object({
        {u"sessionId"_s, *m_selectedSessionId},
        {u"itemId"_s, itemId},
        {u"action"_s, action},
    });
    runUpdateQueue(*client, payload);
}

QCoro::Task<void> AppModel::runUpdateQueue(WireClient client, JSONValue payload)
{
    const auto reply =
        co_await callReporting<SessionUpdateQueueValue>(client, u"session.updateQueue"_s, payload, u"队列操作失败："_s);
    if (reply && !reply->accepted)
        setTransientError(u"主机未接受队列操作"_s);
}

void AppModel::cancelCurrentSession()
{
    if (!m_selectedSessionId)
        return;
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    if (m_selectedSubagent && m_selectedSubagent->address.mode == names::continuableMode) {
        const SubagentAddress &address = m_selectedSubagent->address;
        const JSONValue payload = JSONValue::object({
            {u"parentSessionId"_s, address.parentSessionId},
            {u"childSessionId"_s, address.childSessionId},
            {u"mode"_s, names::continuableMode.toString()},
        });
        runDiscarded(*client, u"subagent.interrupt"_s, payload);
        return;
    }
    cancelSession(*m_selectedSessionId, *client);
}

void AppModel::cancelSession(const QString &sessionId)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    cancelSession(sessionId, *client);
}

void AppModel::cancelSession(const QString &sessionId, const WireClient &client)
{
    runDiscarded(client, u"session.cancel"_s, JSONValue::object({{u"sessionId"_s, sessionId}}));
}

QCoro::Task<void> AppModel::runDiscarded(WireClient client, QString method, JSONValue payload)
{
    // Holds only the wire client: the outcome changes nothing and is shown nowhere.
    try {
        co_await client.call(method, payload);
    } catch (...) {
    }
}

void AppModel::renameSession(const QString &sessionId, const QString &title)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    runRenameSession(*client, JSONValue::object({{u"sessionId"_s, sessionId}, {u"title"_s, title}}));
}

QCoro::Task<void> AppModel::runRenameSession(WireClient client, JSONValue payload)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    try {
        co_await client.call<SessionRenameValue>(u"session.rename"_s, payload);
    } catch (...) {
    }
    if (alive.expired() || !self)
        co_return;
    co_await refreshAll();
}

void AppModel::archiveSession(const QString &sessionId)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    runArchiveSession(*client, JSONValue::object({{u"sessionId"_s, sessionId}}), sessionId);
}

QCoro::Task<void> AppModel::runArchiveSession(WireClient client, JSONValue payload, QString sessionId)
{
    const auto reply = co_await callReporting<WorkspaceArchiveSessionValue>(client, u"workspace.archiveSession"_s,
                                                                            payload, u"归档失败："_s);
    if (!reply)
        co_return;
    setArchivedSessionIds(QSet<QString>(reply->archivedSessionIds.begin(), reply->archivedSessionIds.end()));
    if (m_selectedSessionId == sessionId) {
        setSelectedSessionId(std::nullopt);
        m_settings->remove(kLastSessionIdKey);
    }
}

QCoro::Task<void> AppModel::forkSession(QString sessionId)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return;
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
    const auto fork = co_await callReporting<SessionForkValue>(*client, u"session.fork"_s, payload, u"Fork 失败："_s);
    if (!fork)
        co_return;
    co_await refreshAll();
    if (alive.expired() || !self)
        co_return;
    setSelectedSessionId(fork->sessionId);
    selectSession(fork->sessionId);
}

QCoro::Task<QSet<QString>> AppModel::searchSessionIds(QString query)
{
    const std::optional<WireClient> client = wire();
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

// ---- Approvals, questions and goals -------------------------------------------------------

void AppModel::answerApproval(const PendingApproval &approval, bool allowed)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    const JSONValue value = JSONValue::object({
        {u"sessionId"_s, approval.sessionId},
        {u"approvalId"_s, approval.approvalId},
        {u"outcome"_s, allowed ? u"allowed-once"_s : u"rejected"_s},
    });
    const JSONValue envelope = ClientResponse{approval.rpcId, value}.toJson();
    runAnswerApproval(*client, envelope, approval);
}

QCoro::Task<void> AppModel::runAnswerApproval(WireClient client, JSONValue envelope, PendingApproval approval)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    std::exception_ptr failure;
    try {
        co_await client.respondRaw(envelope);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return;
    if (failure && !isAlreadyAnswered(failure)) {
        // The approval stays listed so that the user can answer it again.
        reportFailure(u"审批响应失败："_s, failure);
        co_return;
    }
    // Accepted, or settled before: either way the host waits for no answer any more.
    std::vector<PendingApproval> remaining;
    for (const PendingApproval &pending : m_pendingApprovals) {
        if (pending.rpcId == approval.rpcId && pending.sessionId == approval.sessionId
            && pending.approvalId == approval.approvalId)
            continue;
        remaining.push_back(pending);
    }
    setPendingApprovals(std::move(remaining));
}

void AppModel::answerQuestion(const PendingQuestion &question, std::vector<QuestionAnswer> answers)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    JSONValue::Elements elements;
    elements.reserve(answers.size());
    for (const QuestionAnswer &answer : answers) {
        JSONValue element = JSONValue::object({{u"id"_s, answer.id}, {u"selected"_s, stringArray(answer.selected)}});
        if (answer.custom)
            element = element.with(u"custom"_s, *answer.custom);
        elements.push_back(std::move(element));
    }
    const JSONValue answerObject = JSONValue::object({{u"answers"_s, JSONValue::array(std::move(elements))}});
    const JSONValue value = JSONValue::object({{u"sessionId"_s, question.sessionId}, {u"answer"_s, answerObject}});
    runAnswerQuestion(*client, ClientResponse{question.rpcId, value}.toJson(), question.id);
}

void AppModel::cancelQuestion(const PendingQuestion &question)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    const JSONValue error = JSONValue::object({
        {u"code"_s, u"cancelled"_s},
        {u"message"_s, u"cancelled by user"_s},
        {u"details"_s, JSONValue::emptyObject()},
    });
    const JSONValue result = JSONValue::object({{u"ok"_s, false}, {u"error"_s, error}});
    const JSONValue envelope = JSONValue::object({
        {u"type"_s, u"client-response"_s},
        {u"rpcId"_s, question.rpcId},
        {u"result"_s, result},
    });
    runAnswerQuestion(*client, envelope, question.id);
}

QCoro::Task<void> AppModel::runAnswerQuestion(WireClient client, JSONValue envelope, QString questionId)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    try {
        co_await client.respondRaw(envelope);
    } catch (...) {
        // A question is asked once: whatever the outcome, the card goes away.
    }
    if (alive.expired() || !self)
        co_return;
    removePendingQuestion(questionId);
}

void AppModel::removePendingQuestion(const QString &questionId)
{
    std::vector<PendingQuestion> remaining;
    for (const PendingQuestion &pending : m_pendingQuestions) {
        if (pending.id != questionId)
            remaining.push_back(pending);
    }
    setPendingQuestions(std::move(remaining));
}

void AppModel::goalAction(const QString &action, const QString &sessionId, std::optional<GoalRef> ref,
                          std::optional<QString> objective)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
    if (ref) {
        payload = payload.with(u"ref"_s, JSONValue::object({{u"id"_s, ref->id}, {u"revision"_s, ref->revision}}));
    }
    if (objective)
        payload = payload.with(names::goalActionObjectiveKey.toString(), *objective);
    // The goal shown changes only when the host's goal frames arrive.
    runDiscarded(*client, u"goal."_s + action, payload);
}

// ---- Model, permission preset and attachments ---------------------------------------------

void AppModel::selectModel(const QString &provider, const QString &model, std::optional<QString> reasoningEffort)
{
    if (m_selectedSubagent || !m_selectedSessionId)
        return;
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    JSONValue payload = JSONValue::object({
        {u"sessionId"_s, *m_selectedSessionId},
        {u"provider"_s, provider},
        {u"model"_s, model},
    });
    if (reasoningEffort)
        payload = payload.with(u"reasoningEffort"_s, *reasoningEffort);
    runDiscarded(*client, u"session.selectModel"_s, payload);
}

QCoro::Task<bool> AppModel::selectPermissionPreset(QString preset, QString agentId)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client) {
        setTransientError(u"权限切换失败：尚未连接到 Host"_s);
        co_return false;
    }
    const JSONValue arguments = JSONValue::object({{u"agentId"_s, agentId}, {u"line"_s, u"/permission "_s + preset}});
    std::optional<CommandExecutionValue> execution;
    std::exception_ptr failure;
    try {
        execution = co_await client->callRemote<std::optional<CommandExecutionValue>>(u"commands/execute"_s, arguments);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return false;
    if (failure) {
        reportFailure(u"权限切换失败："_s, failure);
        co_return false;
    }
    if (!execution) {
        setTransientError(u"权限切换失败：当前 Host 未提供 /permission 命令"_s);
        co_return false;
    }
    if (execution->result.kind == u"success")
        co_return true;
    setTransientError(u"权限切换失败："_s + execution->result.text.value_or(u"Host 拒绝了该权限模式"_s));
    co_return false;
}

QCoro::Task<std::optional<QByteArray>> AppModel::imageData(QString sessionId, QString attachmentId)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const QString key = sessionId + u'/' + attachmentId;
    if (const auto cached = m_imageCache.constFind(key); cached != m_imageCache.cend())
        co_return *cached;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return std::nullopt;
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}, {u"attachmentId"_s, attachmentId}});
    std::optional<SessionAttachmentValue> value;
    try {
        value = co_await client->call<SessionAttachmentValue>(u"session.attachment"_s, payload);
    } catch (...) {
        co_return std::nullopt;
    }
    // Text that is not plain Base64 is not cached: the next look-up fetches it again.
    std::optional<QByteArray> bytes = value->imageData();
    if (!bytes)
        co_return std::nullopt;
    if (!alive.expired() && self)
        m_imageCache.insert(key, *bytes);
    co_return bytes;
}

// ---- Workspaces ---------------------------------------------------------------------------

void AppModel::renameWorkspace(const QString &workspaceId, const QString &title)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    const QString trimmed = text::trimWhitespaceAndNewlines(title).toString();
    if (trimmed.isEmpty())
        return;
    const JSONValue payload = JSONValue::object({{u"workspaceId"_s, workspaceId}, {u"title"_s, trimmed}});
    runWorkspaceChange(*client, u"workspace.rename"_s, payload, u"项目重命名失败："_s);
}

void AppModel::deleteWorkspace(const QString &workspaceId)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        return;
    const JSONValue payload = JSONValue::object({{u"workspaceId"_s, workspaceId}});
    runWorkspaceChange(*client, u"workspace.delete"_s, payload, u"移除项目失败："_s);
}

QCoro::Task<void> AppModel::runWorkspaceChange(WireClient client, QString method, JSONValue payload,
                                               QString errorPrefix)
{
    // Both replies are decoded for validity only; a delete that says it deleted nothing
    // still refreshes the lists.
    bool done = false;
    if (method == u"workspace.rename")
        done = (co_await callReporting<WorkspaceRenameValue>(client, method, payload, errorPrefix)).has_value();
    else
        done = (co_await callReporting<WorkspaceDeleteValue>(client, method, payload, errorPrefix)).has_value();
    if (done)
        co_await refreshAll();
}

// ---- Host settings, credentials, skills and export ----------------------------------------

QCoro::Task<std::variant<SettingsDescribeValue, QString>> AppModel::describeSettings()
{
    using Result = std::variant<SettingsDescribeValue, QString>;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return Result(u"未连接"_s);
    try {
        SettingsDescribeValue described =
            co_await client->call<SettingsDescribeValue>(u"settings.describe"_s, JSONValue::emptyObject());
        co_return Result(std::move(described));
    } catch (...) {
        co_return Result(describeError(std::current_exception()));
    }
}

QCoro::Task<std::variant<SettingsNamespaceView, QString>> AppModel::updateSettings(QString ns, JSONValue value,
                                                                                   std::optional<qint64> expectedRevision)
{
    using Result = std::variant<SettingsNamespaceView, QString>;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return Result(u"未连接"_s);
    JSONValue payload = JSONValue::object({{u"ns"_s, ns}, {u"patch"_s, value}});
    if (expectedRevision)
        payload = payload.with(u"expectedRevision"_s, *expectedRevision);
    try {
        SettingsNamespaceView updated = co_await client->call<SettingsNamespaceView>(u"settings.update"_s, payload);
        co_return Result(std::move(updated));
    } catch (...) {
        co_return Result(describeError(std::current_exception()));
    }
}

QCoro::Task<std::optional<CredentialView>> AppModel::describeCredential(QString name)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return std::nullopt;
    const JSONValue payload = JSONValue::object({{u"refs"_s, JSONValue::array({JSONValue(name)})}});
    try {
        const CredentialsDescribeValue described =
            co_await client->call<CredentialsDescribeValue>(u"credentials.describe"_s, payload);
        const auto found = described.credentials.find(name);
        if (found == described.credentials.end())
            co_return std::nullopt;
        co_return found->second;
    } catch (...) {
        co_return std::nullopt;
    }
}

QCoro::Task<std::optional<QString>> AppModel::setCredential(QString name, QString value)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return u"未连接"_s;
    // The secret lives in this payload only: it is neither kept nor written to any log.
    const JSONValue payload = JSONValue::object({{u"ref"_s, name}, {u"value"_s, value}});
    value.clear();
    try {
        co_await client->call(u"credentials.set"_s, payload);
    } catch (...) {
        co_return describeError(std::current_exception());
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> AppModel::unsetCredential(QString name)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return u"未连接"_s;
    const JSONValue payload = JSONValue::object({{u"ref"_s, name}});
    try {
        co_await client->call(u"credentials.unset"_s, payload);
    } catch (...) {
        co_return describeError(std::current_exception());
    }
    co_return std::nullopt;
}

QCoro::Task<std::vector<SkillEntry>> AppModel::listSkills(QString sessionId)
{
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return std::vector<SkillEntry>();
    const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
    try {
        SkillListValue list = co_await client->call<SkillListValue>(u"skill.list"_s, payload);
        co_return std::move(list.skills);
    } catch (...) {
        co_return std::vector<SkillEntry>();
    }
}

QCoro::Task<std::optional<SessionExport>> AppModel::exportSession(QString sessionId, CancelToken cancel)
{
    QPointer<AppModel> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = wire();
    if (!client)
        co_return std::nullopt;
    // Ends with the caller's cancellation or with the connection, whichever comes first.
    const CancelToken download;
    const CancelToken exports = m_exportsCancel;
    if (cancel.isCancelled() || exports.isCancelled())
        download.cancel();
    const QMetaObject::Connection byCaller =
        QObject::connect(cancel.notifier(), &CancelState::cancelRequested, download.notifier(), [download] { download.cancel(); });
    const QMetaObject::Connection byStore =
        QObject::connect(exports.notifier(), &CancelState::cancelRequested, download.notifier(), [download] { download.cancel(); });
    std::optional<QByteArray> archive;
    std::exception_ptr failure;
    try {
        archive = co_await client->downloadSessionLog(sessionId, download);
    } catch (...) {
        failure = std::current_exception();
    }
    QObject::disconnect(byCaller);
    QObject::disconnect(byStore);
    if (alive.expired() || !self || download.isCancelled())
        co_return std::nullopt;
    if (!archive) {
        reportFailure(u"导出失败："_s, failure);
        co_return std::nullopt;
    }
    // The title as it is when the archive has arrived.
    std::optional<QString> title;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        title = model->title();
    co_return SessionExport{std::move(*archive), exportFileName(title, sessionId)};
}

} // namespace nbd
