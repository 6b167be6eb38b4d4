#include "Store/SessionSelection.h"

#include "Connection/ConnectionController.h"
#include "Domain/PayloadMembers.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "Session/SessionModel.h"
#include "Store/FieldAssign.h"
#include "Store/SessionDirectory.h"
#include "Store/SettingsFile.h"
#include "Store/StoreErrors.h"
#include "Wire/WireClient.h"

#include <QPointer>
#include <QSet>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd {

using payload::stringMember;
using payload::typedMember;

namespace {

using AliveToken = std::weak_ptr<const bool>;

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

} // namespace

SessionSelection::SessionSelection(std::weak_ptr<const bool> alive, SettingsFile *settings,
                                   ConnectionController *connection, StoreErrors *errors,
                                   SessionDirectory *directory, QObject *parent)
    : QObject(parent)
    , m_alive(std::move(alive))
    , m_settings(settings)
    , m_connection(connection)
    , m_errors(errors)
    , m_directory(directory)
{
    connect(directory, &SessionDirectory::runningChanged, this, &SessionSelection::followRunning);
    connect(directory, &SessionDirectory::listsRead, this, &SessionSelection::followListedSessions);
    connect(directory, &SessionDirectory::subagentListRead, this, &SessionSelection::followSubagentParent);
    connect(directory, &SessionDirectory::sessionCreated, this, &SessionSelection::selectSession);
    connect(directory, &SessionDirectory::sessionForked, this, &SessionSelection::selectForkedSession);
    connect(directory, &SessionDirectory::sessionArchived, this, &SessionSelection::forgetArchivedSession);
}

SessionSelection::~SessionSelection() { cancelLoads(); }

void SessionSelection::setSelectedSessionId(std::optional<QString> value)
{
    // The model is there before anyone hears of the selection: a view that looks it up at
    // once would otherwise show no session for a moment and drop what it holds, the
    // composer's draft among it.
    if (value)
        modelFor(*value);
    if (assignChanged(m_selectedSessionId, std::move(value)))
        Q_EMIT selectedSessionIdChanged();
}

void SessionSelection::setSelectedSubagent(std::optional<SelectedSubagent> value)
{
    if (assignChanged(m_selectedSubagent, std::move(value)))
        Q_EMIT selectedSubagentChanged();
}

void SessionSelection::setDidRestoreInitialSession(bool value)
{
    if (assignChanged(m_didRestoreInitialSession, value))
        Q_EMIT didRestoreInitialSessionChanged();
}

void SessionSelection::clearSessionModels()
{
    m_sessionModels.clear();
    Q_EMIT sessionModelsChanged();
}

void SessionSelection::clearSelection()
{
    setSelectedSubagent(std::nullopt);
    setSelectedSessionId(std::nullopt);
    setDidRestoreInitialSession(false);
}

void SessionSelection::cancelLoads()
{
    if (m_selectionCancel)
        m_selectionCancel->cancel();
    m_selectionCancel.reset();
}

void SessionSelection::applyRunning(SessionModel &model) const
{
    model.setRunning(m_directory->isRunning(model.sessionId()).value_or(false));
}

void SessionSelection::followRunning()
{
    for (const std::shared_ptr<SessionModel> &model : std::as_const(m_sessionModels))
        applyRunning(*model);
}

std::shared_ptr<SessionModel> SessionSelection::modelFor(const QString &sessionId)
{
    if (std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        return model;
    std::shared_ptr<SessionModel> model = SessionModel::create(sessionId);
    applyRunning(*model);
    m_sessionModels.insert(sessionId, model);
    Q_EMIT sessionModelsChanged();
    return model;
}

std::optional<QString> SessionSelection::selectedSidebarSessionId() const
{
    if (!m_selectedSubagent)
        return m_selectedSessionId;
    const std::vector<SessionSummary> &sessions = m_directory->sessions();
    QString current = m_selectedSubagent->address.parentSessionId;
    QSet<QString> passed;
    for (;;) {
        const auto row = std::find_if(sessions.begin(), sessions.end(),
                                      [&](const SessionSummary &s) { return s.sessionId == current; });
        if (row == sessions.end())
            return current;
        if (row->origin.value_or(QString()) != names::subagentOrigin || !row->parentSessionId)
            return current;
        passed.insert(current);
        current = *row->parentSessionId;
        if (passed.contains(current))
            return current;
    }
}

std::shared_ptr<SessionModel> SessionSelection::selectedSession() const
{
    return m_selectedSessionId ? m_sessionModels.value(*m_selectedSessionId) : nullptr;
}

std::optional<QString> SessionSelection::displayTitle(const QString &sessionId) const
{
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId)) {
        if (const std::optional<QString> title = model->title()) {
            const QStringView trimmed = text::trimWhitespaceAndNewlines(*title);
            if (!trimmed.isEmpty())
                return trimmed.toString();
        }
    }
    for (const SessionSummary &row : m_directory->sessions()) {
        if (row.sessionId == sessionId)
            return row.displayTitle();
    }
    return std::nullopt;
}

// ---- Following the lists ------------------------------------------------------------------

void SessionSelection::followListedSessions()
{
    if (m_selectedSessionId) {
        const QString selected = *m_selectedSessionId;
        const std::vector<SessionSummary> &sessions = m_directory->sessions();
        const bool listed = std::any_of(sessions.begin(), sessions.end(),
                                        [&](const SessionSummary &s) { return s.sessionId == selected; });
        if (!listed) {
            setSelectedSessionId(std::nullopt);
            setSelectedSubagent(std::nullopt);
        }
    }
    restoreLastSessionIfNeeded();
}

void SessionSelection::restoreLastSessionIfNeeded()
{
    if (m_didRestoreInitialSession)
        return;
    const SessionDirectory *directory = m_directory;
    std::vector<const SessionSummary *> candidates;
    for (const SessionSummary &row : directory->sessions()) {
        if (directory->archivedSessionIds().contains(row.sessionId) || row.blank)
            continue;
        if (row.origin && *row.origin == names::subagentOrigin)
            continue;
        candidates.push_back(&row);
    }
    if (m_selectedSessionId || candidates.empty())
        return;
    setDidRestoreInitialSession(true);

    const QVariant remembered = m_settings->value(kLastSessionIdKey);
    if (remembered.isValid()) {
        const QString lastId = remembered.toString();
        for (const SessionSummary *row : candidates) {
            if (row->sessionId == lastId) {
                selectSession(lastId);
                return;
            }
        }
    }
    const SessionSummary *newest = candidates.front();
    for (const SessionSummary *row : candidates) {
        if (row->updatedAt > newest->updatedAt)
            newest = row;
    }
    selectSession(newest->sessionId);
}

void SessionSelection::followSubagentParent(const QString &parentSessionId, bool parentAvailable)
{
    if (!m_selectedSubagent || m_selectedSubagent->address.parentSessionId != parentSessionId)
        return;
    SelectedSubagent updated = *m_selectedSubagent;
    updated.parentAvailable = parentAvailable;
    setSelectedSubagent(std::move(updated));
}

void SessionSelection::forgetArchivedSession(const QString &sessionId)
{
    if (m_selectedSessionId != sessionId)
        return;
    setSelectedSessionId(std::nullopt);
    m_settings->remove(kLastSessionIdKey);
}

void SessionSelection::selectForkedSession(const QString &sessionId)
{
    setSelectedSessionId(sessionId);
    selectSession(sessionId);
}

// ---- Selecting ----------------------------------------------------------------------------

void SessionSelection::selectSession(const QString &sessionId)
{
    if (m_selectionCancel)
        m_selectionCancel->cancel();
    setSelectedSubagent(std::nullopt);
    setSelectedSessionId(sessionId);
    m_settings->setValue(kLastSessionIdKey, sessionId);
    const std::shared_ptr<SessionModel> model = modelFor(sessionId);

    const CancelToken cancel;
    m_selectionCancel = cancel;
    runSelection(sessionId, model, cancel);
}

QCoro::Task<void> SessionSelection::runSelection(QString sessionId, std::weak_ptr<SessionModel> weakModel,
                                                 CancelToken cancel)
{
    const AliveToken alive = m_alive;
    const std::shared_ptr<SessionModel> model = weakModel.lock();
    if (alive.expired() || !model)
        co_return;
    try {
        // The three loads run side by side, all stopped by the selection's token.
        QCoro::Task<void> history = model->loadInitialHistory(m_connection->wire(), std::nullopt, cancel);
        QCoro::Task<void> models = refreshModels(sessionId, cancel);
        QCoro::Task<void> tree = m_directory->refreshSubagentTree(sessionId, 0, cancel);
        co_await std::move(history);
        co_await std::move(models);
        co_await std::move(tree);
    } catch (...) {
        // History failures are the session model's to show.
    }
}

void SessionSelection::selectSubagent(const QString &parentSessionId, const SubagentListEntry &entry,
                                      bool parentAvailable)
{
    if (!entry.isChild())
        return;
    if (m_selectionCancel)
        m_selectionCancel->cancel();

    QString label;
    if (const std::optional<QString> title = displayTitle(entry.id))
        label = *title;
    else if (entry.label)
        label = *entry.label;
    else
        label = u"子代理 "_s + entry.id.left(8);

    SelectedSubagent selected;
    selected.address = SubagentAddress{parentSessionId, entry.id, entry.mode.value_or(QString())};
    selected.label = label;
    selected.parentAvailable = parentAvailable;
    const SubagentAddress address = selected.address;
    setSelectedSubagent(std::move(selected));
    setSelectedSessionId(entry.id);
    m_settings->setValue(kLastSessionIdKey, parentSessionId);
    const std::shared_ptr<SessionModel> model = modelFor(entry.id);

    const CancelToken cancel;
    m_selectionCancel = cancel;
    runSubagentSelection(address, entry.hasChildren.value_or(false), model, cancel);
}

QCoro::Task<void> SessionSelection::runSubagentSelection(SubagentAddress address, bool hasChildren,
                                                         std::weak_ptr<SessionModel> weakModel, CancelToken cancel)
{
    QPointer<SessionSelection> self(this);
    const AliveToken alive = m_alive;
    if (alive.expired() || weakModel.expired())
        co_return;
    try {
        QCoro::Task<void> history =
            weakModel.lock()->loadInitialHistory(m_connection->wire(), address, cancel);
        co_await std::move(history);
        if (alive.expired() || !self || cancel.isCancelled() || !hasChildren)
            co_return;
        co_await m_directory->refreshSubagentTree(address.childSessionId, 0, cancel);
    } catch (...) {
    }
}

void SessionSelection::selectParentOfCurrentSubagent()
{
    if (!m_selectedSubagent)
        return;
    const QString parentId = m_selectedSubagent->address.parentSessionId;
    const QHash<QString, SubagentListValue> &lists = m_directory->subagentsByParent();
    for (auto it = lists.cbegin(); it != lists.cend(); ++it) {
        for (const SubagentListEntry &entry : it.value().entries) {
            if (entry.id == parentId && entry.isChild()) {
                // Copies: selecting may replace the list this entry lives in.
                const QString grandParent = it.key();
                const SubagentListEntry found = entry;
                const bool available = it.value().parentAvailable;
                selectSubagent(grandParent, found, available);
                return;
            }
        }
    }
    selectSession(parentId);
}

QCoro::Task<void> SessionSelection::refreshModels(QString sessionId, CancelToken cancel)
{
    QPointer<SessionSelection> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client || !m_sessionModels.contains(sessionId))
        co_return;
    std::optional<SessionModelsValue> value;
    try {
        const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}});
        value = co_await client->call<SessionModelsValue>(u"session.models"_s, payload, cancel);
    } catch (...) {
        co_return;
    }
    if (alive.expired() || !self || cancel.isCancelled())
        co_return;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        model->applyModelCatalog(*value);
}

std::shared_ptr<SessionModel> SessionSelection::registerDetachedSessionModel(const QString &sessionId)
{
    return modelFor(sessionId);
}

QCoro::Task<std::shared_ptr<SessionModel>> SessionSelection::createDetachedSession(std::optional<QString> cwd,
                                                                                   std::optional<QString> workspaceId)
{
    QPointer<SessionSelection> self(this);
    const AliveToken alive = m_alive;
    const std::optional<WireClient> client = m_connection->wire();
    if (!client) {
        m_errors->setTransientError(u"创建侧边会话失败：未连接"_s);
        co_return std::shared_ptr<SessionModel>();
    }
    // A side chat is the user's choice of what to look at: the last-session restore of this
    // connection must not select something else once the lists arrive.
    setDidRestoreInitialSession(true);
    std::optional<SessionCreateValue> created;
    std::exception_ptr failure;
    try {
        created = co_await SessionDirectory::requestSessionCreation(*client, cwd, workspaceId,
                                                                    names::sideChatAgentPreset.toString());
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return std::shared_ptr<SessionModel>();
    if (!created) {
        if (!isCancellation(failure))
            m_errors->reportFailure(u"创建侧边会话失败："_s, failure);
        co_return std::shared_ptr<SessionModel>();
    }
    const std::shared_ptr<SessionModel> model = registerDetachedSessionModel(created->sessionId);
    loadDetachedSession(*client, model, created->sessionId);
    co_return model;
}

QCoro::Task<void> SessionSelection::loadDetachedSession(WireClient client, std::weak_ptr<SessionModel> weakModel,
                                                        QString sessionId)
{
    // Runs detached and holds neither the store nor the model: a side chat discarded before
    // its history arrives is simply not loaded.
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

void SessionSelection::resyncSession(const QString &sessionId)
{
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        model->resyncIfNeeded(m_connection->wire());
}

QCoro::Task<void> SessionSelection::loadOlderHistory(QString sessionId)
{
    // The model is held while its page loads: a side chat released meanwhile is not freed
    // under the load.
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(sessionId))
        co_await model->loadOlder(m_connection->wire());
}

void SessionSelection::releaseDetachedSessionModel(const QString &sessionId)
{
    if (m_selectedSessionId == sessionId)
        return;
    if (m_sessionModels.remove(sessionId) == 0)
        return;
    Q_EMIT sessionModelsChanged();
}

// ---- Session frames -----------------------------------------------------------------------

void SessionSelection::routeLiveEvent(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const JSONValue *eventValue = payload.find(u"event");
    if (!sessionId || !eventValue)
        return;
    std::optional<SessionEvent> event;
    try {
        event = SessionEvent::fromLiveValue(*eventValue);
    } catch (...) {
        return;
    }
    std::optional<JSONValue> view;
    if (const JSONValue *viewValue = payload.find(u"view"))
        view = *viewValue;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->applyLive(*event, view);
}

void SessionSelection::routeSubscribed(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const JSONValue *lastSeqValue = payload.find(u"lastSeq");
    const std::optional<qint64> lastSeq = lastSeqValue ? lastSeqValue->toInt() : std::nullopt;
    if (!sessionId || !lastSeq)
        return;
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->markSubscribed(*lastSeq);
}

void SessionSelection::routeProjection(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const std::optional<QString> key = stringMember(payload, u"key");
    if (!sessionId || !key)
        return;
    const JSONValue *value = payload.find(u"value");
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->applyProjection(*key, value ? *value : JSONValue());
}

void SessionSelection::routeQueue(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    if (!sessionId)
        return;
    const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId);
    if (!model)
        return;
    const JSONValue *array = typedMember(payload, u"items", JSONValue::Type::Array);
    model->applyQueue(array ? array->elements() : std::span<const JSONValue>());
}

void SessionSelection::routeListChange()
{
    QTimer::singleShot(0, this, [this] { refreshListsThenTree(); });
}

QCoro::Task<void> SessionSelection::refreshListsThenTree()
{
    QPointer<SessionSelection> self(this);
    const AliveToken alive = m_alive;
    co_await m_directory->refreshAll();
    if (alive.expired() || !self)
        co_return;
    if (const std::optional<QString> highlighted = selectedSidebarSessionId())
        co_await m_directory->refreshSubagentTree(*highlighted, 0);
}

void SessionSelection::routeJobs(const JSONValue &payload)
{
    const std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    const JSONValue *array = typedMember(payload, u"jobs", JSONValue::Type::Array);
    if (!sessionId || !array)
        return;
    std::vector<JobView> jobs = JobView::decodeEach(array->elements());
    if (const std::shared_ptr<SessionModel> model = m_sessionModels.value(*sessionId))
        model->applyJobs(std::move(jobs));
}

} // namespace nbd
