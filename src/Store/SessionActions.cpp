// Actions within a session: one remote call each, a fixed payload built on the main thread
// before the first await, and a fixed reading of the outcome.
#include "Store/SessionActions.h"

#include "Connection/ConnectionController.h"
#include "Domain/Graphemes.h"
#include "Domain/ProtocolNames.h"
#include "Session/SessionModel.h"
#include "Store/SessionSelection.h"
#include "Store/StoreErrors.h"

#include <QPointer>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

using AliveToken = std::weak_ptr<const bool>;

} // namespace

SessionActions::SessionActions(std::weak_ptr<const bool> alive, ConnectionController *connection,
                               StoreErrors *errors, const SessionSelection *selection, QObject *parent)
    : QObject(parent)
    , m_alive(std::move(alive))
    , m_connection(connection)
    , m_errors(errors)
    , m_selection(selection)
{
}

SessionActions::~SessionActions() { m_exportsCancel.cancel(); }

// ---- Wire shapes --------------------------------------------------------------------------

JSONValue SessionActions::promptContent(const QString &text)
{
    const JSONValue block = JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, text}});
    return JSONValue::array({block});
}

QString SessionActions::clientTimeZone()
{
    const QByteArray id = QTimeZone::systemTimeZoneId();
    return id.isEmpty() ? u"UTC"_s : QString::fromUtf8(id);
}

QString SessionActions::exportFileName(const std::optional<QString> &title, const QString &sessionId)
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

// ---- Prompts and the queue ----------------------------------------------------------------

QCoro::Task<bool> SessionActions::sendPrompt(QString text)
{
    const SessionSelection *selection = m_selection;
    if (!selection->selectedSessionId())
        co_return false;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return false;
    const JSONValue content = promptContent(text);
    if (selection->selectedSubagent()) {
        const SelectedSubagent &subagent = *selection->selectedSubagent();
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
        m_errors->setTransientError(u"此子代理当前只读"_s);
        co_return false;
    }
    co_return co_await sendPrompt(content, *selection->selectedSessionId(), *client);
}

QCoro::Task<bool> SessionActions::sendPrompt(QString text, QString sessionId)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return false;
    co_return co_await sendPrompt(promptContent(text), sessionId, *client);
}

QCoro::Task<bool> SessionActions::sendPrompt(JSONValue content, QString sessionId, WireClient client)
{
    const JSONValue payload = JSONValue::object({
        {u"sessionId"_s, sessionId},
        {u"mode"_s, u"queue"_s},
        {u"content"_s, content},
        {u"clientTimeZone"_s, clientTimeZone()},
    });
    co_return co_await runSendPrompt(client, payload);
}

QCoro::Task<bool> SessionActions::runSendPrompt(WireClient client, JSONValue payload)
{
    StoreErrors *errors = m_errors;
    const auto reply =
        co_await errors->callReporting<SessionPromptValue>(client, u"session.prompt"_s, payload, u"发送失败："_s);
    // The message itself arrives as the host's echo: nothing is added here.
    if (reply && !reply->accepted)
        errors->setTransientError(u"主机未接受该消息"_s);
    co_return reply && reply->accepted;
}

QCoro::Task<bool> SessionActions::runSubagentPrompt(WireClient client, JSONValue payload)
{
    const auto reply = co_await m_errors->callReporting<SubagentPromptValue>(client, u"subagent.prompt"_s,
                                                                                      payload, u"发送失败："_s);
    co_return reply.has_value();
}

void SessionActions::editQueuedMessage(const QString &itemId, const QString &text)
{
    updateQueue(itemId, JSONValue::object({{u"kind"_s, u"edit"_s}, {u"content"_s, promptContent(text)}}));
}

void SessionActions::removeQueuedMessage(const QString &itemId)
{
    updateQueue(itemId, JSONValue::object({{u"kind"_s, u"remove"_s}}));
}

void SessionActions::steerQueuedMessage(const QString &itemId)
{
    updateQueue(itemId, JSONValue::object({{u"kind"_s, u"steer"_s}}));
}

void SessionActions::updateQueue(const QString &itemId, const JSONValue &action)
{
    // The queue shown belongs to the top-level session, not to a subagent in its place.
    const SessionSelection *selection = m_selection;
    if (selection->selectedSubagent() || !selection->selectedSessionId())
        return;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    const JSONValue payload = JSONValue::object({
        {u"sessionId"_s, *selection->selectedSessionId()},
        {u"itemId"_s, itemId},
        {u"action"_s, action},
    });
    runUpdateQueue(*client, payload);
}

QCoro::Task<void> SessionActions::runUpdateQueue(WireClient client, JSONValue payload)
{
    StoreErrors *errors = m_errors;
    const auto reply = co_await errors->callReporting<SessionUpdateQueueValue>(client, u"session.updateQueue"_s,
                                                                               payload, u"队列操作失败："_s);
    if (reply && !reply->accepted)
        errors->setTransientError(u"主机未接受队列操作"_s);
}

// ---- Cancelling, goals and the model --------------------------------------------------------

void SessionActions::cancelCurrentSession()
{
    const SessionSelection *selection = m_selection;
    if (!selection->selectedSessionId())
        return;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    if (selection->selectedSubagent() && selection->selectedSubagent()->address.mode == names::continuableMode) {
        const SubagentAddress &address = selection->selectedSubagent()->address;
        const JSONValue payload = JSONValue::object({
            {u"parentSessionId"_s, address.parentSessionId},
            {u"childSessionId"_s, address.childSessionId},
            {u"mode"_s, names::continuableMode.toString()},
        });
        runDiscarded(*client, u"subagent.interrupt"_s, payload);
        return;
    }
    cancelSession(*selection->selectedSessionId(), *client);
}

void SessionActions::cancelSession(const QString &sessionId)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    cancelSession(sessionId, *client);
}

void SessionActions::cancelSession(const QString &sessionId, const WireClient &client)
{
    runDiscarded(client, u"session.cancel"_s, JSONValue::object({{u"sessionId"_s, sessionId}}));
}

QCoro::Task<void> SessionActions::runDiscarded(WireClient client, QString method, JSONValue payload)
{
    // Holds only the wire client: the outcome changes nothing and is shown nowhere.
    try {
        co_await client.call(method, payload);
    } catch (...) {
    }
}

void SessionActions::goalAction(const QString &action, const QString &sessionId, std::optional<GoalRef> ref,
                                std::optional<QString> objective)
{
    const std::optional<WireClient> client = m_connection->wire();
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

void SessionActions::selectModel(const QString &provider, const QString &model, std::optional<QString> reasoningEffort)
{
    const SessionSelection *selection = m_selection;
    if (selection->selectedSubagent() || !selection->selectedSessionId())
        return;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    JSONValue payload = JSONValue::object({
        {u"sessionId"_s, *selection->selectedSessionId()},
        {u"provider"_s, provider},
        {u"model"_s, model},
    });
    if (reasoningEffort)
        payload = payload.with(u"reasoningEffort"_s, *reasoningEffort);
    runDiscarded(*client, u"session.selectModel"_s, payload);
}

QCoro::Task<bool> SessionActions::selectPermissionPreset(QString preset, QString agentId)
{
    QPointer<SessionActions> self(this);
    const AliveToken alive = m_alive;
    StoreErrors *errors = m_errors;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client) {
        errors->setTransientError(u"权限切换失败：尚未连接到 Host"_s);
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
        errors->reportFailure(u"权限切换失败："_s, failure);
        co_return false;
    }
    if (!execution) {
        errors->setTransientError(u"权限切换失败：当前 Host 未提供 /permission 命令"_s);
        co_return false;
    }
    if (execution->result.kind == u"success")
        co_return true;
    errors->setTransientError(u"权限切换失败："_s + execution->result.text.value_or(u"Host 拒绝了该权限模式"_s));
    co_return false;
}

// ---- Attachments and export ---------------------------------------------------------------

QCoro::Task<std::optional<QByteArray>> SessionActions::imageData(QString sessionId, QString attachmentId)
{
    QPointer<SessionActions> self(this);
    const AliveToken alive = m_alive;
    const QString key = sessionId + u'/' + attachmentId;
    if (const auto cached = m_imageCache.constFind(key); cached != m_imageCache.cend())
        co_return *cached;
    const std::optional<WireClient> client = m_connection->wire();
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

void SessionActions::cancelExports()
{
    m_exportsCancel.cancel();
    m_exportsCancel = CancelToken();
}

QCoro::Task<std::optional<SessionExport>> SessionActions::exportSession(QString sessionId, CancelToken cancel)
{
    QPointer<SessionActions> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        co_return std::nullopt;
    // Ends with the caller's cancellation or with the connection, whichever comes first.
    const CancelToken download;
    const CancelToken exports = m_exportsCancel;
    if (cancel.isCancelled() || exports.isCancelled())
        download.cancel();
    const QMetaObject::Connection byCaller = QObject::connect(cancel.notifier(), &CancelState::cancelRequested,
                                                              download.notifier(), [download] { download.cancel(); });
    const QMetaObject::Connection byStore = QObject::connect(exports.notifier(), &CancelState::cancelRequested,
                                                             download.notifier(), [download] { download.cancel(); });
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
        m_errors->reportFailure(u"导出失败："_s, failure);
        co_return std::nullopt;
    }
    // The title as it is when the archive has arrived.
    std::optional<QString> title;
    if (const std::shared_ptr<SessionModel> model = m_selection->sessionModel(sessionId))
        title = model->title();
    co_return SessionExport{std::move(*archive), exportFileName(title, sessionId)};
}

} // namespace nbd
