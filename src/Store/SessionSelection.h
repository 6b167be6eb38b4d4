#pragma once

#include "Domain/Models.h"
#include "Store/StoreContext.h"
#include "Wire/CancelToken.h"
#include "Wire/JSONValue.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace nbd {

class SessionModel;

// Which session (or subagent of one) the user looks at, and the session models open for
// the selection and for side chats, which the host's session frames are routed to.
class SessionSelection : public QObject
{
    Q_OBJECT
public:
    explicit SessionSelection(std::shared_ptr<const StoreContext> context, QObject *parent = nullptr);
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

    void selectSession(const QString &sessionId);
    void selectSubagent(const QString &parentSessionId, const SubagentListEntry &entry, bool parentAvailable);
    void selectParentOfCurrentSubagent();
    // cancel: the token of the flow the load belongs to; a cancelled token drops the reply.
    QCoro::Task<void> refreshModels(QString sessionId, CancelToken cancel = {});
    std::shared_ptr<SessionModel> registerDetachedSessionModel(const QString &sessionId);
    void releaseDetachedSessionModel(const QString &sessionId);

    // ---- For the store: list changes, connection changes and host frames ----
    // The lists were read anew: a selection no longer listed is dropped, and the first
    // lists of a connection restore the session the user last looked at.
    void followListedSessions();
    // A subagent list was read for parentSessionId: a selected child of it follows whether
    // its parent can still take prompts.
    void followSubagentParent(const QString &parentSessionId, bool parentAvailable);
    void forgetArchivedSession(const QString &sessionId);
    void selectForkedSession(const QString &sessionId);
    // The selection's loads stop.
    void cancelLoads();
    // Nothing open is shown running any more.
    void markNothingRunning();
    void clearSessionModels();
    void clearSelection();
    void routeLiveEvent(const JSONValue &payload);
    void routeSubscribed(const JSONValue &payload);
    void routeProjection(const JSONValue &payload);
    void routeQueue(const JSONValue &payload);
    void routeJobs(const JSONValue &payload);

Q_SIGNALS:
    void selectedSessionIdChanged();
    void selectedSubagentChanged();
    void sessionModelsChanged();
    void didRestoreInitialSessionChanged();

private:
    void setSelectedSessionId(std::optional<QString> value);
    void setSelectedSubagent(std::optional<SelectedSubagent> value);
    std::shared_ptr<SessionModel> modelFor(const QString &sessionId);
    void restoreLastSessionIfNeeded();
    QCoro::Task<void> runSelection(QString sessionId, std::weak_ptr<SessionModel> model, CancelToken cancel);
    QCoro::Task<void> runSubagentSelection(SubagentAddress address, bool hasChildren, std::weak_ptr<SessionModel> model,
                                           CancelToken cancel);

    std::shared_ptr<const StoreContext> m_context;
    std::optional<QString> m_selectedSessionId;
    std::optional<SelectedSubagent> m_selectedSubagent;
    QHash<QString, std::shared_ptr<SessionModel>> m_sessionModels;
    bool m_didRestoreInitialSession = false;
    // The selection's loads, cancelled before they are replaced.
    std::optional<CancelToken> m_selectionCancel;
};

} // namespace nbd
