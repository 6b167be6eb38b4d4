#pragma once

#include "Base/CancelToken.h"
#include "Domain/Models.h"
#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"

#include <QByteArray>
#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace nbd {

class ConnectionController;
class SessionSelection;
class StoreErrors;

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

// What the user does within a session: prompts, the queue, cancelling a turn, the model and
// permission preset, goals, attachments and log export.
class SessionActions : public QObject
{
    Q_OBJECT
public:
    // alive: the store's token, expired once the store goes; selection: what the actions
    // without a session id act on.
    SessionActions(std::weak_ptr<const bool> alive, ConnectionController *connection, StoreErrors *errors,
                   const SessionSelection *selection, QObject *parent = nullptr);
    ~SessionActions() override;

    // Each action reports its own failures through the store's errors (or drops them where
    // the action says so); none throws. Actions returning void start their remote work in a
    // task of their own and return at once.

    // To the selected session, or the selected subagent. Starts at once; the result says
    // whether the host took the prompt (false also when nothing could be sent), so that the
    // caller can give the text back to the user.
    QCoro::Task<bool> sendPrompt(QString text);
    QCoro::Task<bool> sendPrompt(QString text, QString sessionId);
    // The selected session's queue (never a subagent's shown in its place); each returns at
    // once.
    void editQueuedMessage(const QString &itemId, const QString &text);
    void removeQueuedMessage(const QString &itemId);
    void steerQueuedMessage(const QString &itemId);
    void cancelCurrentSession();
    void cancelSession(const QString &sessionId);
    // Calls "goal." + action.
    void goalAction(const QString &action, const QString &sessionId, std::optional<GoalRef> ref,
                    std::optional<QString> objective);
    void selectModel(const QString &provider, const QString &model, std::optional<QString> reasoningEffort = {});
    QCoro::Task<bool> selectPermissionPreset(QString preset, QString agentId);
    // The attachment's bytes, or nothing (without a message: the row just shows no thumbnail)
    // when it cannot be fetched or is not plain Base64.
    QCoro::Task<std::optional<QByteArray>> imageData(QString sessionId, QString attachmentId);
    // The session's log archive with a file name for saving it. Cancelling `cancel`, or a
    // disconnect, ends the download with nothing and no message; any other failure is
    // reported once as "导出失败：…" and ends with nothing.
    QCoro::Task<std::optional<SessionExport>> exportSession(QString sessionId, CancelToken cancel = {});
    // The downloads of the connection being closed end.
    void cancelExports();

    static JSONValue promptContent(const QString &text);
    // The system time zone's identifier, "UTC" when the system names none.
    static QString clientTimeZone();
    // "nbd-<title>-<first 8 characters of the id>.zip"; a missing title reads "session".
    static QString exportFileName(const std::optional<QString> &title, const QString &sessionId);

private:
    // Calls "session.updateQueue" for the selected session with the item and the action
    // ({"kind": "remove"}, {"kind": "steer"}, …).
    void updateQueue(const QString &itemId, const JSONValue &action);
    QCoro::Task<bool> sendPrompt(JSONValue content, QString sessionId, WireClient client);
    void cancelSession(const QString &sessionId, const WireClient &client);
    QCoro::Task<bool> runSendPrompt(WireClient client, JSONValue payload);
    QCoro::Task<bool> runSubagentPrompt(WireClient client, JSONValue payload);
    QCoro::Task<void> runUpdateQueue(WireClient client, JSONValue payload);
    static QCoro::Task<void> runDiscarded(WireClient client, QString method, JSONValue payload);

    std::weak_ptr<const bool> m_alive;
    ConnectionController *m_connection = nullptr;
    StoreErrors *m_errors = nullptr;
    const SessionSelection *m_selection = nullptr;
    // Attachment bytes by "<session id>/<attachment id>"; only grows, survives disconnects.
    QHash<QString, QByteArray> m_imageCache;
    // Cancels the log downloads of the current connection; replaced at every disconnect.
    CancelToken m_exportsCancel;
};

} // namespace nbd
