#pragma once

#include "Base/CancelToken.h"
#include "Domain/ModelCatalogue.h"
#include "Domain/SessionEvents.h"
#include "Domain/Subagents.h"
#include "Session/RetainedLiveEntries.h"
#include "Session/Transcript.h"
#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace nbd {

struct SessionModelTimings
{
    // The coalescing window of streamed deltas.
    int transcriptPublishDelayMs = 80;
};

// The observable state of one open session: the published transcript rows and side state,
// the host's queue of pending user messages, the background jobs, the model catalogue and
// the history paging flags. Live events and projections are folded into a working
// FoldState and published from it; history pages are fetched, decoded and folded off the
// main thread.
//
// Lives on the main thread and is owned through std::shared_ptr (create()); the last
// owner may let go on any thread, the model is still deleted on its own thread. Its
// asynchronous operations hold it weakly: a model released while one of them is suspended
// is never touched again.
class SessionModel : public QObject, public std::enable_shared_from_this<SessionModel>
{
    Q_OBJECT

public:
    using Timings = SessionModelTimings;
    using BufferedEvent = std::pair<SessionEvent, std::optional<JSONValue>>;
    using BufferedProjection = std::pair<QString, JSONValue>;

    static std::shared_ptr<SessionModel> create(QString sessionId, Timings timings = {});
    ~SessionModel() override;

    // Event types that are folded but show nothing by themselves.
    static const QSet<QString> &knownNonvisualEventTypes();

    // ---- Observable fields ----------------------------------------------------------------
    const QString &sessionId() const { return m_sessionId; }
    const std::vector<TranscriptItem> &items() const { return m_items; }
    // Counts the changes of items(); itemsChangedFrom() is the lowest position the latest one
    // changed (items before it are as they were one revision earlier). Views that rebuild on
    // every change keep what they made of the earlier items.
    quint64 itemsRevision() const { return m_itemsRevision; }
    size_t itemsChangedFrom() const { return m_itemsChangedFrom; }
    const std::vector<PendingUserMessage> &pendingMessages() const { return m_pendingMessages; }
    std::vector<PendingUserMessage> queuedMessages() const;
    std::vector<PendingUserMessage> steeringMessages() const;
    const std::vector<JobView> &jobs() const { return m_jobs; }
    const QSet<QString> &projectionKeys() const { return m_projectionKeys; }
    const std::optional<QString> &title() const { return m_title; }
    const std::optional<GoalProjection> &goal() const { return m_goal; }
    const std::vector<TodoItem> &todos() const { return m_todos; }
    const std::optional<TokenUsage> &usage() const { return m_usage; }
    const std::optional<SessionStats> &stats() const { return m_stats; }
    bool planActive() const { return m_planActive; }
    bool planPending() const { return m_planPending; }
    const std::optional<PermissionState> &permissions() const { return m_permissions; }
    const std::optional<QString> &permissionPreset() const { return m_permissionPreset; }
    const std::optional<QString> &sandboxMode() const { return m_sandboxMode; }
    const std::optional<QString> &agentPreset() const { return m_agentPreset; }
    const std::optional<QString> &subagentMode() const { return m_subagentMode; }
    const std::optional<QString> &subagentLabel() const { return m_subagentLabel; }
    const std::optional<SessionModelsValue> &modelCatalog() const { return m_modelCatalog; }
    bool isLoadingHistory() const { return m_isLoadingHistory; }
    bool isLoadingOlder() const { return m_isLoadingOlder; }
    bool hasMoreHistory() const { return m_hasMoreHistory; }
    bool historyLoaded() const { return m_historyLoaded; }
    bool needsResync() const { return m_needsResync; }
    qint64 transcriptRevision() const { return m_transcriptRevision; }
    bool running() const { return m_running; }
    void setRunning(bool running);

    // ---- Working state (read by the store and by tests) ------------------------------------
    const FoldState &fold() const { return m_fold; }
    const QSet<QString> &admittedIds() const { return m_admittedIds; }
    const std::vector<BufferedEvent> &bufferedLiveEvents() const { return m_bufferedLiveEvents; }
    const std::vector<BufferedProjection> &bufferedProjections() const { return m_bufferedProjections; }
    const std::vector<HistoryEntry> &historyEntries() const { return m_historyEntries; }
    // The live events kept for refolding, decoded (covered chunks are not kept).
    std::vector<HistoryEntry> liveEntries() const { return m_liveEntries.entries(); }
    const RetainedLiveEntries &retainedLiveEntries() const { return m_liveEntries; }
    const std::optional<SessionProjectionsBlock> &historyProjections() const { return m_historyProjections; }
    const std::map<QString, JSONValue> &liveProjectionValues() const { return m_liveProjectionValues; }
    const std::optional<SubagentAddress> &historyAddress() const { return m_historyAddress; }
    qint64 historyLoadGeneration() const { return m_historyLoadGeneration; }
    const Timings &timings() const { return m_timings; }
    bool isTranscriptPublishScheduled() const { return m_publishTimer.isActive(); }
    // Milliseconds left before the scheduled coalesced publish; -1 when none is scheduled.
    int transcriptPublishRemainingMs() const { return m_publishTimer.isActive() ? m_publishTimer.remainingTime() : -1; }

    // ---- Store entry points ---------------------------------------------------------------
    // A "session/queue" frame's "items".
    void applyQueue(std::span<const JSONValue> items);
    void applyJobs(std::vector<JobView> jobs);
    void applyModelCatalog(SessionModelsValue catalog);

    // A "session/event" frame's "event" and "view".
    void applyLive(const SessionEvent &event, const std::optional<JSONValue> &view);
    // A "session/projection" frame's "key" and "value".
    void applyProjection(const QString &key, const JSONValue &value);
    // A "session/subscribed" frame's "lastSeq".
    void markSubscribed(qint64 lastSeq);

    // ---- History --------------------------------------------------------------------------
    // Loads and folds the newest page once; a resync allows it again. Cancelling `cancel`
    // leaves the live input buffered and the history not loaded. Never throws.
    QCoro::Task<void> loadInitialHistory(std::optional<WireClient> client, std::optional<SubagentAddress> address,
                                         CancelToken cancel = {});
    // Prepends the page before the oldest loaded entry. Never throws.
    QCoro::Task<void> loadOlder(std::optional<WireClient> client, CancelToken cancel = {});
    // When the host reported a disagreeing last sequence number: drops everything folded or
    // loaded and loads the newest page again. Never throws.
    QCoro::Task<void> resyncIfNeeded(std::optional<WireClient> client, CancelToken cancel = {});

    // One page; the envelope and the page are decoded off the main thread. Throws what the
    // wire client throws.
    static QCoro::Task<SessionHistoryValue> fetchHistoryPage(WireClient client, QString sessionId,
                                                             std::optional<qint64> beforeSeq,
                                                             std::optional<SubagentAddress> address,
                                                             CancelToken cancel = {});
    // Folds a page (and its projection block) into a fresh state on the thread pool. Throws
    // CancellationError when `cancelled` was set before the result came back.
    static QCoro::Task<FoldState> foldHistoryOffMain(std::vector<HistoryEntry> events,
                                                     std::optional<SessionProjectionsBlock> projections,
                                                     std::shared_ptr<std::atomic<bool>> cancelled = {});

Q_SIGNALS:
    void itemsChanged();
    void pendingMessagesChanged();
    void jobsChanged();
    void projectionKeysChanged();
    void titleChanged();
    void goalChanged();
    void todosChanged();
    void usageChanged();
    void statsChanged();
    void planActiveChanged();
    void planPendingChanged();
    void permissionsChanged();
    void permissionPresetChanged();
    void sandboxModeChanged();
    void agentPresetChanged();
    void subagentModeChanged();
    void subagentLabelChanged();
    void modelCatalogChanged();
    void isLoadingHistoryChanged();
    void isLoadingOlderChanged();
    void hasMoreHistoryChanged();
    void historyLoadedChanged();
    void needsResyncChanged();
    // Emitted at every transcript publish, also when the rows compare equal.
    void transcriptRevisionChanged(qint64 revision);
    void runningChanged();

private:
    SessionModel(QString sessionId, Timings timings);

    void publish(bool includeTranscript);
    void scheduleTranscriptPublish();
    void flushTranscriptPublish();
    void mergeBufferedUpdates();
    void publishItems();
    static std::optional<ToolEventView> decodedToolView(const std::optional<JSONValue> &view);

    void setIsLoadingHistory(bool value);
    void setIsLoadingOlder(bool value);
    void setHasMoreHistory(bool value);
    void setHistoryLoaded(bool value);
    void setNeedsResync(bool value);

    // Sets the flag of the fold in flight, if any, so the pool stops working for nothing.
    void cancelFoldInFlight();

    const QString m_sessionId;
    const Timings m_timings;

    std::vector<TranscriptItem> m_items;
    quint64 m_itemsRevision = 0;
    size_t m_itemsChangedFrom = 0;
    std::vector<PendingUserMessage> m_pendingMessages;
    std::vector<JobView> m_jobs;
    QSet<QString> m_projectionKeys;
    std::optional<QString> m_title;
    std::optional<GoalProjection> m_goal;
    std::vector<TodoItem> m_todos;
    std::optional<TokenUsage> m_usage;
    std::optional<SessionStats> m_stats;
    bool m_planActive = false;
    bool m_planPending = false;
    std::optional<PermissionState> m_permissions;
    std::optional<QString> m_permissionPreset;
    std::optional<QString> m_sandboxMode;
    std::optional<QString> m_agentPreset;
    std::optional<QString> m_subagentMode;
    std::optional<QString> m_subagentLabel;
    std::optional<SessionModelsValue> m_modelCatalog;
    bool m_isLoadingHistory = false;
    bool m_isLoadingOlder = false;
    bool m_hasMoreHistory = false;
    bool m_historyLoaded = false;
    bool m_needsResync = false;
    qint64 m_transcriptRevision = 0;
    bool m_running = false;

    FoldState m_fold;
    QSet<QString> m_admittedIds;
    std::vector<BufferedEvent> m_bufferedLiveEvents;
    std::vector<BufferedProjection> m_bufferedProjections;
    std::vector<HistoryEntry> m_historyEntries;
    RetainedLiveEntries m_liveEntries;
    std::optional<SessionProjectionsBlock> m_historyProjections;
    std::map<QString, JSONValue> m_liveProjectionValues;
    std::optional<SubagentAddress> m_historyAddress;
    qint64 m_historyLoadGeneration = 0;
    std::vector<std::weak_ptr<std::atomic<bool>>> m_foldsInFlight;

    // The one coalesced transcript publish: single-shot, started only when idle.
    QTimer m_publishTimer;
};

} // namespace nbd
