#pragma once

#include "Domain/Models.h"
#include "Store/ConnectionController.h"
#include "Store/NBDProcessManager.h"
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

    // The session row the sidebar highlights: the selection, or for a selected subagent the
    // nearest ancestor that is not itself a subagent session.
    std::optional<QString> selectedSidebarSessionId() const;
    std::shared_ptr<SessionModel> selectedSession() const;
    std::optional<QString> displayTitle(const QString &sessionId) const;

    void dismissTransientError() { setTransientError(std::nullopt); }
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
    void clearSessionModels();
    std::shared_ptr<SessionModel> modelFor(const QString &sessionId);

    std::optional<WireClient> wire() const;
    bool isSameConnection(const WireClient &startedOn, quint64 epoch) const;

    QCoro::Task<void> connectEmbedded(CancelToken cancel);
    void connectExternal();
    void startConnection(const QUrl &url);
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

    // The two long-lived flows, each cancelled before it is replaced.
    std::optional<CancelToken> m_connectionCancel;
    std::optional<CancelToken> m_selectionCancel;
    // Bumped by every connection the store starts and by every disconnect: work started on
    // an earlier connection recognises itself as stale.
    quint64 m_connectionEpoch = 0;
    // List refreshes apply in the order they started: one that finishes after a newer one
    // has applied its lists is dropped.
    quint64 m_refreshTicketsIssued = 0;
    quint64 m_refreshTicketApplied = 0;
};

} // namespace nbd
