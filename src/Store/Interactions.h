#pragma once

#include "Domain/Approvals.h"
#include "Domain/Questions.h"
#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"
#include "Wire/WireEnvelope.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace nbd {

class ConnectionController;
class StoreErrors;

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
    using AskUserQuestion = nbd::AskUserQuestion;

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

// What the host waits for the user to settle: tool approvals and agents' questions, as the
// host asked them, and the answers sent back.
class Interactions : public QObject
{
    Q_OBJECT
public:
    // alive: the store's token, expired once the store goes.
    Interactions(std::weak_ptr<const bool> alive, ConnectionController *connection, StoreErrors *errors,
                 QObject *parent = nullptr);

    const std::vector<PendingApproval> &pendingApprovals() const { return m_pendingApprovals; }
    const std::vector<PendingQuestion> &pendingQuestions() const { return m_pendingQuestions; }

    // Each answer reports its own failure through the store's errors; none throws, and each
    // starts its remote work in a task of its own and returns at once.
    void answerApproval(const PendingApproval &approval, bool allowed);
    void answerQuestion(const PendingQuestion &question, std::vector<QuestionAnswer> answers);
    void cancelQuestion(const PendingQuestion &question);

    // The host's frames about approvals and questions.
    void routeApprovalRequested(const ServerRequest &frame, const JSONValue &payload);
    void routeApprovalResolved(const JSONValue &payload);
    void routeQuestionRequested(const ServerRequest &frame, const JSONValue &payload);
    void routeQuestionResolved(const JSONValue &payload);

    // A closed connection waits for nothing.
    void clear();

Q_SIGNALS:
    void pendingApprovalsChanged();
    void pendingQuestionsChanged();

private:
    void setPendingApprovals(std::vector<PendingApproval> value);
    void setPendingQuestions(std::vector<PendingQuestion> value);
    void removePendingQuestion(const QString &questionId);
    QCoro::Task<void> runAnswerApproval(WireClient client, JSONValue envelope, PendingApproval approval);
    QCoro::Task<void> runAnswerQuestion(WireClient client, JSONValue envelope, QString questionId);

    std::weak_ptr<const bool> m_alive;
    ConnectionController *m_connection = nullptr;
    StoreErrors *m_errors = nullptr;
    std::vector<PendingApproval> m_pendingApprovals;
    std::vector<PendingQuestion> m_pendingQuestions;
};

} // namespace nbd
