#include "Session/SessionModel.h"

#include "Base/LogCategories.h"
#include "Base/WorkPool.h"
#include "Domain/ProtocolNames.h"
#include "Session/TranscriptFold.h"
#include "Wire/WireEnvelope.h"
#include "Wire/WireErrors.h"

#include <QCoroFuture>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <exception>

namespace nbd {

namespace {

using namespace Qt::StringLiterals;

// Assigns when different and reports whether it did.
template<class T>
bool assignIfChanged(T &field, const T &value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

bool isOneOf(const QString &type, std::initializer_list<QStringView> types)
{
    return std::any_of(types.begin(), types.end(), [&type](QStringView t) { return type == t; });
}

// A fold of history on the pool, together with the entries it was given (handed back so
// the main thread never copies a large page).
struct PageFold
{
    FoldState state;
    std::vector<HistoryEntry> events;
};

QCoro::Task<std::shared_ptr<PageFold>> foldPageOffMain(std::vector<HistoryEntry> events,
                                                       std::optional<SessionProjectionsBlock> projections,
                                                       std::shared_ptr<std::atomic<bool>> cancelled)
{
    if (!cancelled)
        cancelled = std::make_shared<std::atomic<bool>>(false);
    auto work = [events = std::move(events), projections = std::move(projections), cancelled]() mutable {
        auto result = std::make_shared<PageFold>();
        TranscriptFold::foldHistory(events, result->state, cancelled.get());
        if (projections) {
            for (const auto &[key, value] : projections->values) {
                if (cancelled->load(std::memory_order_relaxed))
                    break;
                TranscriptFold::applyProjection(key, value, result->state);
            }
        }
        result->events = std::move(events);
        return result;
    };
    std::shared_ptr<PageFold> result = co_await QtConcurrent::run(workPool(), std::move(work));
    if (cancelled->load())
        throw CancellationError();
    co_return result;
}

// The live chunks that were not kept count as seen, as a history fold that skipped them
// records them.
void recordSeen(const SeqSet &seqs, FoldState &state)
{
    if (const std::optional<qint64> last = seqs.last()) {
        state.seenSeqs.insert(seqs);
        state.lastSeq = std::max(state.lastSeq, *last);
    }
}

// History and live entries folded again after an older page arrived, in the order the first
// load used: the history, then the first page's projections, then the live entries. The
// projections must not come last: a live event (a rename, a todo write) is newer than the
// values the first page carried.
QCoro::Task<std::shared_ptr<PageFold>> refoldOffMain(std::vector<HistoryEntry> history,
                                                     std::vector<RetainedLiveEntries::Record> liveRecords,
                                                     SeqSet droppedLive,
                                                     std::optional<SessionProjectionsBlock> projections,
                                                     std::shared_ptr<std::atomic<bool>> cancelled)
{
    auto work = [history = std::move(history), liveRecords = std::move(liveRecords), droppedLive = std::move(droppedLive),
                 projections = std::move(projections), cancelled]() mutable {
        auto result = std::make_shared<PageFold>();
        const std::atomic<bool> *flag = cancelled.get();
        const std::vector<HistoryEntry> live = RetainedLiveEntries::decode(liveRecords);
        const auto sortedHistory = TranscriptFold::sortedBySeq(history);
        const auto sortedLive = TranscriptFold::sortedBySeq(live);
        // A final message covers chunks on either side of the split.
        TranscriptFold::CoveredChunks covered;
        for (const auto *entries : {&sortedHistory, &sortedLive})
            for (const HistoryEntry *entry : *entries)
                covered.add(entry->event);
        if (!TranscriptFold::foldUncovered(sortedHistory, covered, result->state, flag))
            return result;
        if (projections) {
            for (const auto &[key, value] : projections->values) {
                if (flag->load(std::memory_order_relaxed))
                    return result;
                TranscriptFold::applyProjection(key, value, result->state);
            }
        }
        if (!TranscriptFold::foldUncovered(sortedLive, covered, result->state, flag))
            return result;
        recordSeen(droppedLive, result->state);
        result->events = std::move(history);
        return result;
    };
    std::shared_ptr<PageFold> result = co_await QtConcurrent::run(workPool(), std::move(work));
    if (cancelled->load())
        throw CancellationError();
    co_return result;
}

// The decoded page, or what decoding it threw.
struct DecodedPage
{
    std::optional<SessionHistoryValue> page;
    std::exception_ptr error;
};

} // namespace

// ---- Life ------------------------------------------------------------------------------

SessionModel::SessionModel(QString sessionId, Timings timings)
    : m_sessionId(std::move(sessionId)), m_timings(timings)
{
    m_publishTimer.setSingleShot(true);
    m_publishTimer.setTimerType(Qt::PreciseTimer);
    m_publishTimer.setInterval(m_timings.transcriptPublishDelayMs);
    connect(&m_publishTimer, &QTimer::timeout, this, [this] { publish(true); });
}

std::shared_ptr<SessionModel> SessionModel::create(QString sessionId, Timings timings)
{
    auto *model = new SessionModel(std::move(sessionId), timings);
    return std::shared_ptr<SessionModel>(model, [](SessionModel *m) {
        if (QThread::currentThread() == m->thread())
            delete m;
        else
            m->deleteLater();
    });
}

SessionModel::~SessionModel()
{
    cancelFoldInFlight();
}

void SessionModel::cancelFoldInFlight()
{
    for (const auto &weak : m_foldsInFlight) {
        if (auto flag = weak.lock())
            flag->store(true);
    }
    m_foldsInFlight.clear();
}

const QSet<QString> &SessionModel::knownNonvisualEventTypes()
{
    static const QSet<QString> types = {
        u"step/end"_s,
        u"approval/asked"_s,
        u"approval/decided"_s,
        u"approval/policy"_s,
        u"request/header"_s,
        u"request/context"_s,
        u"session/end-seed"_s,
        u"command/done"_s,
        u"feedback/record"_s,
        u"agent/inbox/spliced"_s,
        u"session/title-llm-request"_s,
        u"compaction/start"_s,
        u"compaction/end"_s,
        u"compaction/prune"_s,
        u"schedule/change"_s,
        u"tool/code-dispatch"_s,
        u"tool/code-dispatch-start"_s,
        u"tool-workflow/run-start"_s,
        u"tool-workflow/agent-start"_s,
        u"tool-workflow/agent-end"_s,
        u"tool-workflow/run-end"_s,
        u"llm/retry"_s,
        u"llm/retry-started"_s,
        u"web/nimbrel-search-llm-request"_s,
        u"hook/invoked"_s,
        u"hook/result"_s,
        u"tool/call"_s,
    };
    return types;
}

// ---- Simple fields ---------------------------------------------------------------------

std::vector<PendingUserMessage> SessionModel::queuedMessages() const
{
    std::vector<PendingUserMessage> out;
    for (const auto &m : m_pendingMessages) {
        if (m.placement == u"queued")
            out.push_back(m);
    }
    return out;
}

std::vector<PendingUserMessage> SessionModel::steeringMessages() const
{
    std::vector<PendingUserMessage> out;
    for (const auto &m : m_pendingMessages) {
        if (m.placement == u"steering")
            out.push_back(m);
    }
    return out;
}

void SessionModel::setRunning(bool running)
{
    if (assignIfChanged(m_running, running))
        Q_EMIT runningChanged();
}

void SessionModel::setIsLoadingHistory(bool value)
{
    if (assignIfChanged(m_isLoadingHistory, value))
        Q_EMIT isLoadingHistoryChanged();
}

void SessionModel::setIsLoadingOlder(bool value)
{
    if (assignIfChanged(m_isLoadingOlder, value))
        Q_EMIT isLoadingOlderChanged();
}

void SessionModel::setHasMoreHistory(bool value)
{
    if (assignIfChanged(m_hasMoreHistory, value))
        Q_EMIT hasMoreHistoryChanged();
}

void SessionModel::setHistoryLoaded(bool value)
{
    if (assignIfChanged(m_historyLoaded, value))
        Q_EMIT historyLoadedChanged();
}

void SessionModel::setNeedsResync(bool value)
{
    if (assignIfChanged(m_needsResync, value)) {
        if (value)
            qCInfo(lcSession).noquote() << "session" << m_sessionId.left(100) << "missed events: it is read again";
        Q_EMIT needsResyncChanged();
    }
}

void SessionModel::applyQueue(std::span<const JSONValue> items)
{
    std::vector<PendingUserMessage> result;
    for (const JSONValue &element : items) {
        if (!element.isObject())
            continue;
        const JSONValue *id = element.find(u"id");
        if (!id || !id->isString())
            continue;
        const QString &idText = *id->stringPtr();
        if (m_admittedIds.contains(idText))
            continue;
        const JSONValue *message = element.find(u"message");
        if (!message || !message->isObject())
            continue;
        const JSONValue *content = message->find(u"content");
        if (!content || !content->isArray())
            continue;
        QString text = TranscriptFold::extractText(content->elements());
        if (text.isEmpty())
            continue;
        const JSONValue *placement = element.find(u"placement");
        result.push_back(PendingUserMessage{idText, std::move(text),
                                            placement && placement->isString() ? *placement->stringPtr() : u"queued"_s});
    }
    if (result != m_pendingMessages) {
        m_pendingMessages = std::move(result);
        Q_EMIT pendingMessagesChanged();
    }
}

void SessionModel::applyJobs(std::vector<JobView> jobs)
{
    if (jobs != m_jobs) {
        m_jobs = std::move(jobs);
        Q_EMIT jobsChanged();
    }
}

void SessionModel::applyModelCatalog(SessionModelsValue catalog)
{
    if (!m_modelCatalog || *m_modelCatalog != catalog) {
        m_modelCatalog = std::move(catalog);
        Q_EMIT modelCatalogChanged();
    }
}

// ---- Live admission ---------------------------------------------------------------------

std::optional<ToolEventView> SessionModel::decodedToolView(const std::optional<JSONValue> &view)
{
    if (!view)
        return std::nullopt;
    try {
        return decodedAs<ToolEventView>(*view);
    } catch (...) {
        return std::nullopt;
    }
}

void SessionModel::applyLive(const SessionEvent &event, const std::optional<JSONValue> &view)
{
    if (m_fold.seenSeqs.contains(event.seq))
        return;

    if (event.type == u"user/message" && event.data.isObject()) {
        const JSONValue *id = event.data.find(u"id");
        if (id && id->isString()) {
            const QString idText = *id->stringPtr();
            m_admittedIds.insert(idText);
            std::erase_if(m_pendingMessages, [&idText](const PendingUserMessage &m) { return m.id == idText; });
            Q_EMIT pendingMessagesChanged();
        }
    }

    if (m_isLoadingHistory) {
        m_bufferedLiveEvents.emplace_back(event, view);
        return;
    }

    m_liveEntries.append(event, decodedToolView(view));
    TranscriptFold::fold(event, view, m_fold);

    const QString &type = event.type;
    if (type == u"assistant/chunk") {
        const JSONValue *chunk = event.data.isObject() ? event.data.find(names::chunkKey) : nullptr;
        const JSONValue *chunkType = chunk && chunk->isObject() ? chunk->find(u"type") : nullptr;
        if (!chunkType || !chunkType->isString())
            return;
        const QString &kind = *chunkType->stringPtr();
        if (isOneOf(kind, {u"text-delta", u"reasoning-delta", names::toolCallDeltaChunk})) {
            scheduleTranscriptPublish();
        } else if (isOneOf(kind, {u"block-start", u"block-end"})) {
            flushTranscriptPublish();
            publish(true);
        } else if (kind == u"usage") {
            publish(false);
        }
        return;
    }
    if (isOneOf(type, {u"turn/start", names::stepStartEvent, u"assistant/message", u"user/message",
                       names::toolResultEvent, u"turn/end", u"compaction/summary"})) {
        flushTranscriptPublish();
        publish(true);
        return;
    }
    if (isOneOf(type, {names::todoWriteEvent, u"goal/change", u"session/title", u"plan/mode", names::commandRunEvent,
                       u"permission/preset", names::sandboxModeEvent, u"agent-preset/selected",
                       u"subagent/descriptor"})) {
        publish(false);
        return;
    }
    if (event.ignorable == std::optional<bool>(true) || knownNonvisualEventTypes().contains(type))
        return;
    // An unknown type: the fold added a notice naming it.
    flushTranscriptPublish();
    publish(true);
}

void SessionModel::applyProjection(const QString &key, const JSONValue &value)
{
    if (m_isLoadingHistory) {
        m_bufferedProjections.emplace_back(key, value);
        return;
    }
    m_liveProjectionValues.insert_or_assign(key, value);
    TranscriptFold::applyProjection(key, value, m_fold);
    publish(false);
}

void SessionModel::markSubscribed(qint64 lastSeq)
{
    if (m_historyLoaded && lastSeq != m_fold.lastSeq)
        setNeedsResync(true);
}

// ---- Publishing ----------------------------------------------------------------------

void SessionModel::scheduleTranscriptPublish()
{
    // A later delta neither restarts nor extends the window.
    if (!m_publishTimer.isActive())
        m_publishTimer.start();
}

void SessionModel::flushTranscriptPublish()
{
    m_publishTimer.stop();
}

void SessionModel::publishItems()
{
    // Streaming touches the last rows of a long transcript: compare every row but copy only
    // the ones that differ, so a publish costs comparisons rather than allocations.
    const std::vector<TranscriptItem> &source = m_fold.items;
    // Rows before the first one the fold changed since the last publish are equal already.
    const size_t unchanged = std::min(m_fold.rowIndex.takeChangedFrom(source.size()), m_items.size());
    size_t changedFrom = std::min(m_items.size(), source.size());
    const bool resized = m_items.size() != source.size();
    if (resized) {
        if (m_items.empty()) {
            m_items = source;
            m_itemsChangedFrom = 0;
            ++m_itemsRevision;
            Q_EMIT itemsChanged();
            return;
        }
        m_items.resize(source.size());
    }
    for (size_t i = unchanged; i < changedFrom; ++i) {
        if (!(m_items[i] == source[i])) {
            changedFrom = i;
            break;
        }
    }
    for (size_t i = changedFrom; i < source.size(); ++i) {
        if (!(m_items[i] == source[i]))
            m_items[i] = source[i];
    }
    if (!resized && changedFrom == source.size())
        return;
    m_itemsChangedFrom = changedFrom;
    ++m_itemsRevision;
    Q_EMIT itemsChanged();
}

void SessionModel::publish(bool includeTranscript)
{
    if (includeTranscript) {
        publishItems();
        ++m_transcriptRevision;
        Q_EMIT transcriptRevisionChanged(m_transcriptRevision);
    }
    const FoldState &f = m_fold;
    if (assignIfChanged(m_projectionKeys, f.projectionKeys))
        Q_EMIT projectionKeysChanged();
    if (assignIfChanged(m_title, f.title))
        Q_EMIT titleChanged();
    if (assignIfChanged(m_goal, f.goal))
        Q_EMIT goalChanged();
    if (assignIfChanged(m_todos, f.todos))
        Q_EMIT todosChanged();
    if (assignIfChanged(m_usage, f.usage))
        Q_EMIT usageChanged();
    if (assignIfChanged(m_stats, f.stats))
        Q_EMIT statsChanged();
    if (assignIfChanged(m_planActive, f.planActive))
        Q_EMIT planActiveChanged();
    if (assignIfChanged(m_planPending, f.planPending))
        Q_EMIT planPendingChanged();
    if (assignIfChanged(m_permissions, f.permissions))
        Q_EMIT permissionsChanged();
    if (assignIfChanged(m_permissionPreset, f.permissionPreset))
        Q_EMIT permissionPresetChanged();
    if (assignIfChanged(m_sandboxMode, f.sandboxMode))
        Q_EMIT sandboxModeChanged();
    if (assignIfChanged(m_agentPreset, f.agentPreset))
        Q_EMIT agentPresetChanged();
    if (assignIfChanged(m_subagentMode, f.subagentMode))
        Q_EMIT subagentModeChanged();
    if (assignIfChanged(m_subagentLabel, f.subagentLabel))
        Q_EMIT subagentLabelChanged();
}

// ---- History ---------------------------------------------------------------------------

void SessionModel::mergeBufferedUpdates()
{
    // Live events admitted before this load: folded on top of the history as a refold
    // folds them, the chunks that were not kept recorded as seen.
    if (!m_liveEntries.empty()) {
        const std::vector<HistoryEntry> live = m_liveEntries.entries();
        TranscriptFold::foldUncovered(TranscriptFold::sortedBySeq(live), m_liveEntries.coverage(), m_fold);
    }
    recordSeen(m_liveEntries.droppedSeqs(), m_fold);
    for (const auto &[key, value] : m_liveProjectionValues)
        TranscriptFold::applyProjection(key, value, m_fold);

    std::vector<BufferedEvent> buffered = std::move(m_bufferedLiveEvents);
    m_bufferedLiveEvents.clear();
    std::stable_sort(buffered.begin(), buffered.end(),
                     [](const BufferedEvent &a, const BufferedEvent &b) { return a.first.seq < b.first.seq; });
    for (auto &[event, rawView] : buffered) {
        if (m_fold.seenSeqs.contains(event.seq))
            continue;
        auto toolView = decodedToolView(rawView);
        std::optional<JSONValue> view;
        if (toolView)
            view = toolView->view;
        m_liveEntries.append(event, toolView);
        TranscriptFold::fold(event, view, m_fold);
    }

    std::vector<BufferedProjection> projections = std::move(m_bufferedProjections);
    m_bufferedProjections.clear();
    for (auto &[key, value] : projections) {
        TranscriptFold::applyProjection(key, value, m_fold);
        m_liveProjectionValues.insert_or_assign(key, value);
    }
}

QCoro::Task<SessionHistoryValue> SessionModel::fetchHistoryPage(WireClient client, QString sessionId,
                                                                std::optional<qint64> beforeSeq,
                                                                std::optional<SubagentAddress> address,
                                                                CancelToken cancel)
{
    JSONValue::Members members;
    QString method;
    if (address) {
        method = names::subagentHistoryMethod.toString();
        members.emplace_back(u"parentSessionId"_s, JSONValue(address->parentSessionId));
        members.emplace_back(u"childSessionId"_s, JSONValue(address->childSessionId));
        members.emplace_back(u"mode"_s, JSONValue(address->mode));
    } else {
        method = names::sessionHistoryMethod.toString();
        members.emplace_back(u"sessionId"_s, JSONValue(sessionId));
    }
    members.emplace_back(names::historyMaxMessagesKey.toString(), JSONValue(names::historyPageSize));
    if (beforeSeq)
        members.emplace_back(names::historyBeforeSeqKey.toString(), JSONValue(*beforeSeq));
    // A page may hold many thousands of events: the reply is parsed and decoded on the pool.
    const QByteArray bytes = co_await client.callData(method, JSONValue::object(std::move(members)), cancel);
    auto decode = [bytes, method]() {
        auto out = std::make_shared<DecodedPage>();
        try {
            out->page = WireClient::decodeReply<SessionHistoryValue>(method, bytes);
        } catch (...) {
            out->error = std::current_exception();
        }
        return out;
    };
    std::shared_ptr<DecodedPage> decoded = co_await QtConcurrent::run(workPool(), std::move(decode));
    if (decoded->error)
        std::rethrow_exception(decoded->error);
    co_return std::move(*decoded->page);
}

QCoro::Task<FoldState> SessionModel::foldHistoryOffMain(std::vector<HistoryEntry> events,
                                                        std::optional<SessionProjectionsBlock> projections,
                                                        std::shared_ptr<std::atomic<bool>> cancelled)
{
    std::shared_ptr<PageFold> result = co_await foldPageOffMain(std::move(events), std::move(projections), std::move(cancelled));
    co_return std::move(result->state);
}

QCoro::Task<void> SessionModel::loadInitialHistory(std::optional<WireClient> client,
                                                   std::optional<SubagentAddress> address, CancelToken cancel)
{
    if (!client || m_historyLoaded)
        co_return;
    const std::weak_ptr<SessionModel> weak = weak_from_this();
    const qint64 token = ++m_historyLoadGeneration;
    setIsLoadingHistory(true);
    m_historyAddress = address;
    const QString sessionId = m_sessionId;

    auto cancelled = std::make_shared<std::atomic<bool>>(cancel.isCancelled());
    std::erase_if(m_foldsInFlight, [](const auto &w) { return w.expired(); });
    m_foldsInFlight.push_back(cancelled);
    QObject::connect(cancel.notifier(), &CancelState::cancelRequested, cancel.notifier(),
                     [cancelled] { cancelled->store(true); });

    // Nothing of the model is touched until it is known to be alive again.
    SessionHistoryValue page;
    std::shared_ptr<PageFold> folded;
    bool wasCancelled = false;
    bool failed = false;
    try {
        page = co_await fetchHistoryPage(*client, sessionId, std::nullopt, address, cancel);
        if (weak.expired())
            co_return;
        folded = co_await foldPageOffMain(std::move(page.events), page.projections, cancelled);
        if (cancel.isCancelled())
            throw CancellationError();
    } catch (const CancellationError &) {
        wasCancelled = true;
    } catch (...) {
        failed = true;
        qCInfo(lcSession).noquote() << "history of" << sessionId.left(100)
                                    << "did not load:" << describeError(std::current_exception()).left(300);
    }

    const auto self = weak.lock();
    if (!self || token != m_historyLoadGeneration)
        co_return;
    if (wasCancelled) {
        setIsLoadingHistory(false);
        co_return;
    }
    if (failed) {
        setIsLoadingHistory(false);
        mergeBufferedUpdates();
        publish(true);
        setHistoryLoaded(true);
        co_return;
    }
    m_historyEntries = std::move(folded->events);
    m_historyProjections = std::move(page.projections);
    setHasMoreHistory(page.hasMore);
    m_fold = std::move(folded->state);
    setIsLoadingHistory(false);
    mergeBufferedUpdates();
    publish(true);
    setHistoryLoaded(true);
}

QCoro::Task<void> SessionModel::loadOlder(std::optional<WireClient> client, CancelToken cancel)
{
    if (!client || !m_historyLoaded || !m_hasMoreHistory || m_isLoadingOlder || m_historyEntries.empty())
        co_return;
    const std::weak_ptr<SessionModel> weak = weak_from_this();
    // The page belongs to the history of this generation; a resync or a newer first load
    // makes it stale.
    const qint64 token = m_historyLoadGeneration;
    const qint64 boundary = m_historyEntries.front().event.seq;
    setIsLoadingOlder(true);

    std::optional<SessionHistoryValue> page;
    try {
        page = co_await fetchHistoryPage(*client, m_sessionId, boundary, m_historyAddress, cancel);
    } catch (...) {
    }

    std::vector<HistoryEntry> newHistory;
    std::vector<RetainedLiveEntries::Record> liveRecords;
    SeqSet droppedLive;
    std::optional<SessionProjectionsBlock> projections;
    auto cancelled = std::make_shared<std::atomic<bool>>(cancel.isCancelled());
    {
        const auto self = weak.lock();
        if (!self || token != m_historyLoadGeneration)
            co_return;
        if (!page || cancel.isCancelled()) {
            setIsLoadingOlder(false);
            co_return;
        }
        if (page->events.empty()) {
            setHasMoreHistory(page->hasMore);
            setIsLoadingOlder(false);
            co_return;
        }
        if (page->events.back().event.seq + 1 != boundary) {
            // A hole between the page and what is loaded: stop paging rather than show it.
            setHasMoreHistory(false);
            setIsLoadingOlder(false);
            co_return;
        }
        newHistory = std::move(page->events);
        newHistory.insert(newHistory.end(), m_historyEntries.begin(), m_historyEntries.end());
        liveRecords = m_liveEntries.records();
        droppedLive = m_liveEntries.droppedSeqs();
        projections = m_historyProjections;
        std::erase_if(m_foldsInFlight, [](const auto &w) { return w.expired(); });
        m_foldsInFlight.push_back(cancelled);
    }
    QObject::connect(cancel.notifier(), &CancelState::cancelRequested, cancel.notifier(),
                     [cancelled] { cancelled->store(true); });

    std::shared_ptr<PageFold> folded;
    try {
        folded = co_await refoldOffMain(std::move(newHistory), std::move(liveRecords), std::move(droppedLive),
                                        std::move(projections), cancelled);
        if (cancel.isCancelled())
            throw CancellationError();
    } catch (...) {
    }

    const auto self = weak.lock();
    if (!self || token != m_historyLoadGeneration)
        co_return;
    if (!folded) {
        setIsLoadingOlder(false);
        co_return;
    }
    FoldState state = std::move(folded->state);
    // Live events admitted while the pool was folding are not in the new state yet.
    std::vector<RetainedLiveEntries::Record> arrived;
    for (const RetainedLiveEntries::Record &record : m_liveEntries.records())
        if (!state.seenSeqs.contains(record.seq))
            arrived.push_back(record);
    if (!arrived.empty()) {
        const std::vector<HistoryEntry> live = RetainedLiveEntries::decode(arrived);
        TranscriptFold::foldUncovered(TranscriptFold::sortedBySeq(live), m_liveEntries.coverage(), state);
    }
    recordSeen(m_liveEntries.droppedSeqs(), state);
    m_historyEntries = std::move(folded->events);
    setHasMoreHistory(page->hasMore);
    m_fold = std::move(state);
    for (const auto &[key, value] : m_liveProjectionValues)
        TranscriptFold::applyProjection(key, value, m_fold);
    publish(true);
    setIsLoadingOlder(false);
}

QCoro::Task<void> SessionModel::resyncIfNeeded(std::optional<WireClient> client, CancelToken cancel)
{
    if (!m_needsResync || !client)
        co_return;
    setNeedsResync(false);
    ++m_historyLoadGeneration;
    cancelFoldInFlight();

    m_fold = FoldState{};
    m_admittedIds.clear();
    m_bufferedLiveEvents.clear();
    m_bufferedProjections.clear();
    setHistoryLoaded(false);
    setIsLoadingHistory(false);
    setHasMoreHistory(false);
    setIsLoadingOlder(false);
    m_historyEntries.clear();
    m_liveEntries.clear();
    m_historyProjections.reset();
    m_liveProjectionValues.clear();
    flushTranscriptPublish();

    publish(true);
    // The subagent address is not reused: the session's own log is loaded.
    co_await loadInitialHistory(std::move(client), std::nullopt, std::move(cancel));
}

} // namespace nbd
