#pragma once

#include "Domain/Models.h"
#include "Connection/ConnectionController.h"
#include "Connection/NBDProcessManager.h"
#include "Wire/CancelToken.h"
#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"
#include "Wire/WireEnvelope.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>



namespace nbd {

class SessionModel;

// Whether the client attaches to (or launches) a local host, or only connects to the
// configured address.
enum class LaunchMode { Embedded, External };

QString launchModeRawValue(LaunchMode mode);
// Exactly "embedded" or "external", case-sensitive.
std::optional<LaunchMode> launchModeFromRawValue(const QString &raw);
QString launchModeLabel(LaunchMode mode);
inline constexpr LaunchMode allLaunchModes[] = {LaunchMode::Embedded, LaunchMode::External};

// A tool approval the host waits for.
struct PendingApproval
{
    QString id; // equal to rpcId
    QString rpcId;
    QString sessionId;
    QString approvalId;
    QString toolName;
    std::optional<QString> callId;
    std::optional<QString> reason;

    bool operator==(const PendingApproval &) const = default;
};

// A set of questions an agent asks the user.
struct PendingQuestion
{
    struct AskUserQuestion
    {
        struct Option
        {
            QString id; // equal to label
            QString label;
            std::optional<QString> description;
            bool operator==(const Option &) const = default;
        };

        QString id;
        QString question;
        std::optional<QString> header;
        std::optional<QString> detail;
        std::vector<Option> options;
        bool multiSelect = false;
        std::optional<QString> intentKind;
        std::optional<QString> intentApprove;
        bool operator==(const AskUserQuestion &) const = default;
    };

    QString id; // equal to rpcId
    QString rpcId;
    QString sessionId;
    std::vector<AskUserQuestion> questions;

    bool operator==(const PendingQuestion &) const = default;
};

// One answer to one question of a PendingQuestion.
struct QuestionAnswer
{
    QString id; // the AskUserQuestion's id
    std::vector<QString> selected;
    std::optional<QString> custom;

    bool operator==(const QuestionAnswer &) const = default;
};

// The goal revision a goal action is meant for.
struct GoalRef
{
    QString id;
    qint64 revision = 0;

    bool operator==(const GoalRef &) const = default;
};

// A downloaded session log archive with the file name offered for saving it.
struct SessionExport
{
    QByteArray data;
    QString suggestedName;
};

// The application's one store: configuration, everything derived from the host, the
// connection and the selection. Main thread only; views read its fields and call its
// actions, and each field group has its own change signal, emitted on a real change only.
class AppModel : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxSubagentDepth = 7;

    // settings: the configuration store (null: the application's own); connectOnLaunch:
    // start connecting at once.
    explicit AppModel(std::unique_ptr<QSettings> settings = {}, bool connectOnLaunch = true,
                      QObject *parent = nullptr);
    ~AppModel() override;

    static QString defaultServerURLString();
    // The configured address made a URL: trimmed, "http://" added when it has no scheme,
    // "/" removed from both ends. Nothing when it is empty or does not parse.
    static std::optional<QUrl> normalizedServerURL(const QString &text);
    // The addresses an embedded connect probes first: the configured one when it names a
    // loopback host, then the default address.
    static QList<QUrl> preferredURLs(const QString &serverURLString);
    static QString invalidServerURLMessage();

    // How an embedded connect looks for a host that is already running: the process
    // manager's search unless replaced (tests confine it to their own simulated host).
    using HostLookup = std::function<QCoro::Task<std::optional<QUrl>>(QList<QUrl> preferredURLs, CancelToken cancel)>;
    void setHostLookup(HostLookup lookup) { m_hostLookup = std::move(lookup); }

    ConnectionController *connection() const { return m_connection; }
    NBDProcessManager *nbdProcess() const { return m_nbdProcess; }
    QSettings *settings() const { return m_settings.get(); }

    // Configuration; each assignment is saved at once, also when the value is unchanged.
    const QString &serverURLString() const { return m_serverURLString; }
    void setServerURLString(const QString &value);
    LaunchMode launchMode() const { return m_launchMode; }
    void setLaunchMode(LaunchMode value);
    const QString &nbdExecutablePath() const { return m_nbdExecutablePath; }
    void setNbdExecutablePath(const QString &value);

    const std::vector<SessionSummary> &sessions() const { return m_sessions; }
    const std::vector<WorkspaceView> &workspaces() const { return m_workspaces; }
    const QSet<QString> &archivedSessionIds() const { return m_archivedSessionIds; }
    const std::vector<PendingApproval> &pendingApprovals() const { return m_pendingApprovals; }
    const std::vector<PendingQuestion> &pendingQuestions() const { return m_pendingQuestions; }
    const std::optional<QString> &transientError() const { return m_transientError; }
    const QHash<QString, SubagentListValue> &subagentsByParent() const { return m_subagentsByParent; }
    const QSet<QString> &subagentCatalogLoading() const { return m_subagentCatalogLoading; }
    const std::vector<PluginInventoryEntry> &hostPlugins() const { return m_hostPlugins; }
    const std::vector<DynamicPluginInventoryRow> &dynamicPlugins() const { return m_dynamicPlugins; }
    bool pluginInventoryLoading() const { return m_pluginInventoryLoading; }
    std::optional<bool> hostPluginInventoryAvailable() const { return m_hostPluginInventoryAvailable; }
    std::optional<bool> dynamicPluginInventoryAvailable() const { return m_dynamicPluginInventoryAvailable; }
    const std::optional<QString> &selectedSessionId() const { return m_selectedSessionId; }
    const std::optional<SelectedSubagent> &selectedSubagent() const { return m_selectedSubagent; }
    const QHash<QString, std::shared_ptr<SessionModel>> &sessionModels() const { return m_sessionModels; }
    std::shared_ptr<SessionModel> sessionModel(const QString &sessionId) const { return m_sessionModels.value(sessionId); }
    bool didRestoreInitialSession() const { return m_didRestoreInitialSession; }
    // From the start of a connection until its first session list has been answered (or has
    // failed): titles of sessions missing from the list may still be on the way.
    bool isAwaitingSessionList() const { return m_awaitingSessionList; }

    // The session row the sidebar highlights: the selection, or for a selected subagent the
    // nearest ancestor that is not itself a subagent session.
    std::optional<QString> selectedSidebarSessionId() const;
    std::shared_ptr<SessionModel> selectedSession() const;
    std::optional<QString> displayTitle(const QString &sessionId) const;

    void dismissTransientError() { setTransientError(std::nullopt); }
    // For a view's own failure after the user confirmed an action (a file that could not be
    // written): shown in the same banner as the store's errors.
    void showTransientError(const QString &message) { setTransientError(message); }
    void setDidRestoreInitialSession(bool value);

    // ---- Connection and lists ----
    void connect();
    void disconnect();
    QCoro::Task<void> refreshAll();
    QCoro::Task<void> refreshPluginInventories();

    // ---- Host frames ----
    void route(const ServerRequest &frame);
    static std::optional<PendingQuestion::AskUserQuestion> parseQuestion(const JSONValue &value);

    // ---- Selection ----
    void selectSession(const QString &sessionId);
    void selectSubagent(const QString &parentSessionId, const SubagentListEntry &entry, bool parentAvailable);
    void selectParentOfCurrentSubagent();
    // cancel: the token of the flow the load belongs to; a cancelled token drops the reply.
    QCoro::Task<void> refreshModels(QString sessionId, CancelToken cancel = {});
    QCoro::Task<void> refreshSubagentTree(QString parentSessionId, int depth, CancelToken cancel = {});
    std::shared_ptr<SessionModel> registerDetachedSessionModel(const QString &sessionId);
    void releaseDetachedSessionModel(const QString &sessionId);

    // ---- User actions ----
    // Each one reports its own failures through transientError (or drops them where the
    // action says so); none throws. Actions returning void start their
    // remote work in a task of their own and return at once.

    // Sessions
    QCoro::Task<void> createSession(std::optional<QString> cwd, std::optional<QString> workspaceId);
    // The same, with the id the host gave the new session, or nothing when creation failed.
    QCoro::Task<std::optional<QString>> createAndSelectSession(std::optional<QString> cwd,
                                                               std::optional<QString> workspaceId);
    QCoro::Task<void> createWorkspaceSession(QString path);
    // A side chat: its model is registered but the selection is left alone.
    QCoro::Task<std::shared_ptr<SessionModel>> createDetachedSession(std::optional<QString> cwd,
                                                                     std::optional<QString> workspaceId);
    // To the selected session, or the selected subagent. Starts at once; the result says
    // whether the host took the prompt (false also when nothing could be sent), so that the
    // caller can give the text back to the user.
    QCoro::Task<bool> sendPrompt(QString text);
    QCoro::Task<bool> sendPrompt(QString text, QString sessionId);
    // Calls "session.updateQueue" for the selected session (not for a subagent) with the item
    // and the action ({"kind": "remove"}, {"kind": "steer"}, …); returns at once.
    void updateQueue(const QString &itemId, const JSONValue &action);
    void editQueuedMessage(const QString &itemId, const QString &text);
    void removeQueuedMessage(const QString &itemId);
    void steerQueuedMessage(const QString &itemId);
    void cancelCurrentSession();
    void cancelSession(const QString &sessionId);
    void renameSession(const QString &sessionId, const QString &title);
    void archiveSession(const QString &sessionId);
    QCoro::Task<void> forkSession(QString sessionId);
    QCoro::Task<QSet<QString>> searchSessionIds(QString query);

    // Approvals, questions and goals
    void answerApproval(const PendingApproval &approval, bool allowed);
    void answerQuestion(const PendingQuestion &question, std::vector<QuestionAnswer> answers);
    void cancelQuestion(const PendingQuestion &question);
    // Calls "goal." + action.
    void goalAction(const QString &action, const QString &sessionId, std::optional<GoalRef> ref,
                    std::optional<QString> objective);

    // Model, permission preset and attachments
    void selectModel(const QString &provider, const QString &model, std::optional<QString> reasoningEffort = {});
    QCoro::Task<bool> selectPermissionPreset(QString preset, QString agentId);
    QCoro::Task<std::optional<QByteArray>> imageData(QString sessionId, QString attachmentId);

    // Workspaces
    void renameWorkspace(const QString &workspaceId, const QString &title);
    void deleteWorkspace(const QString &workspaceId);

    // Host settings, credentials, skills and export
    // The host's settings, or why they could not be read ("未连接" without a connection, else
    // the failure's description).
    QCoro::Task<std::variant<SettingsDescribeValue, QString>> describeSettings();
    // Throws the wire client's errors, or a WireTransportError "未连接" when not connected.
    // The namespace as the host stored it, or why it did not ("未连接", the host's error).
    QCoro::Task<std::variant<SettingsNamespaceView, QString>> updateSettings(QString ns, JSONValue value,
                                                                             std::optional<qint64> expectedRevision);
    QCoro::Task<std::optional<CredentialView>> describeCredential(QString name);
    // Nothing on success, else the error's description.
    QCoro::Task<std::optional<QString>> setCredential(QString name, QString value);
    QCoro::Task<std::optional<QString>> unsetCredential(QString name);
    QCoro::Task<std::vector<SkillEntry>> listSkills(QString sessionId);
    // The session's log archive with a file name for saving it. Cancelling `cancel`, or a
    // disconnect, ends the download with nothing and no message.
    QCoro::Task<std::optional<SessionExport>> exportSession(QString sessionId, CancelToken cancel = {});

    // Wire shapes of the actions.
    static JSONValue sessionCreationPayload(const std::optional<QString> &cwd, const std::optional<QString> &workspaceId,
                                            const std::optional<QString> &agentPreset);
    static JSONValue promptContent(const QString &text);
    // The system time zone's identifier, "UTC" when the system names none.
    static QString clientTimeZone();
    // "nbd-<title>-<first 8 characters of the id>.zip"; a missing title reads "session".
    static QString exportFileName(const std::optional<QString> &title, const QString &sessionId);

Q_SIGNALS:
    void serverURLStringChanged();
    void launchModeChanged();
    void nbdExecutablePathChanged();
    void sessionsChanged();
    void workspacesChanged();
    void archivedSessionIdsChanged();
    void pendingApprovalsChanged();
    void pendingQuestionsChanged();
    void transientErrorChanged();
    void subagentsByParentChanged();
    void subagentCatalogLoadingChanged();
    void hostPluginsChanged();
    void dynamicPluginsChanged();
    void pluginInventoryLoadingChanged();
    void hostPluginInventoryAvailableChanged();
    void dynamicPluginInventoryAvailableChanged();
    void selectedSessionIdChanged();
    void selectedSubagentChanged();
    void sessionModelsChanged();
    void didRestoreInitialSessionChanged();
    void awaitingSessionListChanged();

private:
    using AliveToken = std::weak_ptr<const bool>;

    void setSessions(std::vector<SessionSummary> value);
    void setWorkspaces(std::vector<WorkspaceView> value);
    void setArchivedSessionIds(QSet<QString> value);
    void setPendingApprovals(std::vector<PendingApproval> value);
    void setPendingQuestions(std::vector<PendingQuestion> value);
    void setTransientError(std::optional<QString> value);
    void setSubagentsByParent(QHash<QString, SubagentListValue> value);
    void setHostPlugins(std::vector<PluginInventoryEntry> value);
    void setDynamicPlugins(std::vector<DynamicPluginInventoryRow> value);
    void setPluginInventoryLoading(bool value);
    void setHostPluginInventoryAvailable(std::optional<bool> value);
    void setDynamicPluginInventoryAvailable(std::optional<bool> value);
    void setSelectedSessionId(std::optional<QString> value);
    void setSelectedSubagent(std::optional<SelectedSubagent> value);
    void setAwaitingSessionList(bool value);
    void clearSessionModels();
    std::shared_ptr<SessionModel> modelFor(const QString &sessionId);

    std::optional<WireClient> wire() const;
    bool isSameConnection(const WireClient &startedOn, quint64 epoch) const;

    QCoro::Task<void> connectEmbedded(CancelToken cancel);
    // launchFailure: why an embedded connect falls back to the configured address.
    void connectExternal(const QString &launchFailure = {});
    // A connection that was ready and failed: what the host ran is no longer shown running,
    // and the banner says the connection is gone; once ready again, the lists are read anew.
    void followConnectionPhase();
    QCoro::Task<void> refreshAfterReconnect();
    void startConnection(const QUrl &url, const QString &launchFailure = {});
    void restoreLastSessionIfNeeded();
    QCoro::Task<void> runSelection(QString sessionId, std::weak_ptr<SessionModel> model, CancelToken cancel);
    QCoro::Task<void> runSubagentSelection(SubagentAddress address, bool hasChildren, std::weak_ptr<SessionModel> model,
                                           CancelToken cancel);
    QCoro::Task<void> refreshAllThenTree();
    // path: the parents already listed above this one in the same walk.
    QCoro::Task<void> walkSubagentTree(QString parentSessionId, int depth, CancelToken cancel, QSet<QString> path);

    void routeLiveEvent(const JSONValue &payload);
    void routeSubscribed(const JSONValue &payload);
    void routeProjection(const JSONValue &payload);
    void routeQueue(const JSONValue &payload);
    void routeJobs(const JSONValue &payload);
    void routeApprovalRequested(const ServerRequest &frame, const JSONValue &payload);
    void routeApprovalResolved(const JSONValue &payload);
    void routeQuestionRequested(const ServerRequest &frame, const JSONValue &payload);
    void routeQuestionResolved(const JSONValue &payload);
    void routeSessionStatus(const JSONValue &payload);
    void routeRemoteEvent(const JSONValue &payload);
    void routeStreamError(const JSONValue &payload);
    // Runs a store task one event-loop turn later, so routing a frame never re-enters itself.
    void deferTask(std::function<QCoro::Task<void>(AppModel *)> start);

    QCoro::Task<SessionCreateValue> requestSessionCreation(WireClient client, std::optional<QString> cwd,
                                                           std::optional<QString> workspaceId,
                                                           std::optional<QString> agentPreset);
    QCoro::Task<bool> sendPrompt(JSONValue content, QString sessionId, WireClient client);
    void cancelSession(const QString &sessionId, const WireClient &client);
    QCoro::Task<bool> runSendPrompt(WireClient client, JSONValue payload);
    QCoro::Task<bool> runSubagentPrompt(WireClient client, JSONValue payload);
    QCoro::Task<void> runUpdateQueue(WireClient client, JSONValue payload);
    static QCoro::Task<void> runDiscarded(WireClient client, QString method, JSONValue payload);
    QCoro::Task<void> runRenameSession(WireClient client, JSONValue payload);
    QCoro::Task<void> runArchiveSession(WireClient client, JSONValue payload, QString sessionId);
    QCoro::Task<void> loadDetachedSession(WireClient client, std::weak_ptr<SessionModel> model, QString sessionId);
    QCoro::Task<void> runAnswerApproval(WireClient client, JSONValue envelope, PendingApproval approval);
    QCoro::Task<void> runAnswerQuestion(WireClient client, JSONValue envelope, QString questionId);
    QCoro::Task<void> runWorkspaceChange(WireClient client, QString method, JSONValue payload, QString errorPrefix);
    void removePendingQuestion(const QString &questionId);
    // Sets transientError to the prefix followed by the failure's description.
    void reportFailure(const QString &prefix, std::exception_ptr error);
    // After a session was created: its failure shown, or the lists refreshed and it selected.
    QCoro::Task<std::optional<QString>> showCreatedSession(std::optional<SessionCreateValue> created,
                                                           std::exception_ptr failure);
    // Calls `method`; a failure becomes the transient error `failurePrefix` + its
    // description. Gives nothing when the call failed or the store went away meanwhile, so
    // a caller that gets a value may touch the store at once.
    template<class T>
    QCoro::Task<std::optional<T>> callReporting(WireClient client, QString method, JSONValue payload,
                                                QString failurePrefix);

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    std::unique_ptr<QSettings> m_settings;
    ConnectionController *m_connection = nullptr;
    NBDProcessManager *m_nbdProcess = nullptr;
    HostLookup m_hostLookup;

    QString m_serverURLString;
    LaunchMode m_launchMode = LaunchMode::Embedded;
    QString m_nbdExecutablePath;

    std::vector<SessionSummary> m_sessions;
    std::vector<WorkspaceView> m_workspaces;
    QSet<QString> m_archivedSessionIds;
    std::vector<PendingApproval> m_pendingApprovals;
    std::vector<PendingQuestion> m_pendingQuestions;
    std::optional<QString> m_transientError;
    QHash<QString, SubagentListValue> m_subagentsByParent;
    QSet<QString> m_subagentCatalogLoading;
    std::vector<PluginInventoryEntry> m_hostPlugins;
    std::vector<DynamicPluginInventoryRow> m_dynamicPlugins;
    bool m_pluginInventoryLoading = false;
    std::optional<bool> m_hostPluginInventoryAvailable;
    std::optional<bool> m_dynamicPluginInventoryAvailable;
    std::optional<QString> m_selectedSessionId;
    std::optional<SelectedSubagent> m_selectedSubagent;
    QHash<QString, std::shared_ptr<SessionModel>> m_sessionModels;
    bool m_didRestoreInitialSession = false;
    bool m_awaitingSessionList = false;
    bool m_connectionReady = false; // the connection's phase was ready when it last changed
    bool m_connectionLost = false;  // a ready connection failed and has not been ready since
    // Attachment bytes by "<session id>/<attachment id>"; only grows, survives disconnects.
    QHash<QString, QByteArray> m_imageCache;

    // The two long-lived flows, each cancelled before it is replaced.
    std::optional<CancelToken> m_connectionCancel;
    std::optional<CancelToken> m_selectionCancel;
    // Cancels the log downloads of the current connection; replaced at every disconnect.
    CancelToken m_exportsCancel;
    // Bumped by every connection the store starts and by every disconnect: work started on
    // an earlier connection recognises itself as stale.
    quint64 m_connectionEpoch = 0;
    // List refreshes apply in the order they started: one that finishes after a newer one
    // has applied its lists is dropped.
    quint64 m_refreshTicketsIssued = 0;
    quint64 m_refreshTicketApplied = 0;
    // The plugin refresh that set pluginInventoryLoading and has to clear it (0: none).
    quint64 m_pluginRefreshTicketsIssued = 0;
    quint64 m_pluginRefreshOwner = 0;
};

} // namespace nbd
