#pragma once

#include "Base/CancelToken.h"
#include "Domain/Models.h"
#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>


namespace nbd {

class SettingsFile;

class ConnectionController;
class SessionDirectory;
class SessionModel;
class StoreErrors;

// Which session (or subagent of one) the user looks at, and the session models open for
// the selection and for side chats, which the host's session frames are routed to. It
// follows the directory's lists: what it selects, and whether each open session runs.
class SessionSelection : public QObject
{
    Q_OBJECT
public:
    // alive: the store's token, expired once the store goes; settings: where the last
    // selected session is remembered.
    SessionSelection(std::weak_ptr<const bool> alive, SettingsFile *settings, ConnectionController *connection,
                     StoreErrors *errors, SessionDirectory *directory, QObject *parent = nullptr);
    ~SessionSelection() override;

    const std::optional<QString> &selectedSessionId() const { return m_selectedSessionId; }
    const std::optional<SelectedSubagent> &selectedSubagent() const { return m_selectedSubagent; }
    const QHash<QString, std::shared_ptr<SessionModel>> &sessionModels() const { return m_sessionModels; }
    std::shared_ptr<SessionModel> sessionModel(const QString &sessionId) const
    {
        return m_sessionModels.value(sessionId);
    }
    bool didRestoreInitialSession() const { return m_didRestoreInitialSession; }
    void setDidRestoreInitialSession(bool value);

    // The session row the sidebar highlights: the selection, or for a selected subagent the
    // nearest ancestor that is not itself a subagent session.
    std::optional<QString> selectedSidebarSessionId() const;
    std::shared_ptr<SessionModel> selectedSession() const;
    // The open session's own title when it has one, else the listed row's.
    std::optional<QString> displayTitle(const QString &sessionId) const;

    void selectSession(const QString &sessionId);
    void selectSubagent(const QString &parentSessionId, const SubagentListEntry &entry, bool parentAvailable);
    void selectParentOfCurrentSubagent();
    // cancel: the token of the flow the load belongs to; a cancelled token drops the reply.
    QCoro::Task<void> refreshModels(QString sessionId, CancelToken cancel = {});
    // A side chat: its model is registered but the selection is left alone. Null when it
    // could not be made, the failure reported once.
    QCoro::Task<std::shared_ptr<SessionModel>> createDetachedSession(std::optional<QString> cwd,
                                                                     std::optional<QString> workspaceId);
    std::shared_ptr<SessionModel> registerDetachedSessionModel(const QString &sessionId);
    void releaseDetachedSessionModel(const QString &sessionId);
    // The open session mends a gap its event stream had; starts at once.
    void resyncSession(const QString &sessionId);
    // The open session's next older page of history; nothing without a connection.
    QCoro::Task<void> loadOlderHistory(QString sessionId);

    // ---- For the store: connection changes and host frames ----
    // The selection's loads stop.
    void cancelLoads();
    void clearSessionModels();
    void clearSelection();
    void routeLiveEvent(const JSONValue &payload);
    void routeSubscribed(const JSONValue &payload);
    void routeProjection(const JSONValue &payload);
    void routeQueue(const JSONValue &payload);
    void routeJobs(const JSONValue &payload);
    // The host's lists changed: read them, and the highlighted session's tree, again one
    // event-loop turn later, so that routing a frame never re-enters itself.
    void routeListChange();

Q_SIGNALS:
    void selectedSessionIdChanged();
    void selectedSubagentChanged();
    void sessionModelsChanged();
    void didRestoreInitialSessionChanged();

private:
    void setSelectedSessionId(std::optional<QString> value);
    void setSelectedSubagent(std::optional<SelectedSubagent> value);
    std::shared_ptr<SessionModel> modelFor(const QString &sessionId);
    // The lists were read anew: a selection no longer listed is dropped, and the first
    // lists of a connection restore the session the user last looked at.
    void followListedSessions();
    void restoreLastSessionIfNeeded();
    // A subagent list was read for parentSessionId: a selected child of it follows whether
    // its parent can still take prompts.
    void followSubagentParent(const QString &parentSessionId, bool parentAvailable);
    void forgetArchivedSession(const QString &sessionId);
    void selectForkedSession(const QString &sessionId);
    // An open session runs exactly when the directory says so.
    void applyRunning(SessionModel &model) const;
    void followRunning();
    QCoro::Task<void> refreshListsThenTree();
    QCoro::Task<void> loadDetachedSession(WireClient client, std::weak_ptr<SessionModel> model, QString sessionId);
    QCoro::Task<void> runSelection(QString sessionId, std::weak_ptr<SessionModel> model, CancelToken cancel);
    QCoro::Task<void> runSubagentSelection(SubagentAddress address, bool hasChildren, std::weak_ptr<SessionModel> model,
                                           CancelToken cancel);

    std::weak_ptr<const bool> m_alive;
    SettingsFile *m_settings = nullptr;
    ConnectionController *m_connection = nullptr;
    StoreErrors *m_errors = nullptr;
    SessionDirectory *m_directory = nullptr;
    std::optional<QString> m_selectedSessionId;
    std::optional<SelectedSubagent> m_selectedSubagent;
    QHash<QString, std::shared_ptr<SessionModel>> m_sessionModels;
    bool m_didRestoreInitialSession = false;
    // The selection's loads, cancelled before they are replaced.
    std::optional<CancelToken> m_selectionCancel;
};

} // namespace nbd
