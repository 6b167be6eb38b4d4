#include "Store/Interactions.h"

#include "Connection/ConnectionController.h"
#include "Store/FieldAssign.h"
#include "Store/StoreErrors.h"

#include <QPointer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

JSONValue stringArray(const std::vector<QString> &values)
{
    JSONValue::Elements elements;
    elements.reserve(values.size());
    for (const QString &value : values)
        elements.emplace_back(value);
    return JSONValue::array(std::move(elements));
}

// The host's refusal of an answer to a request it has settled already: a second press before
// the card went away, or another surface (tray, notification) that answered first.
bool isAlreadyAnswered(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const RespondRejectedError &e) {
        return e.reason() == RespondRejectedError::Reason::AlreadyAnswered;
    } catch (...) {
        return false;
    }
}

} // namespace

Interactions::Interactions(std::weak_ptr<const bool> alive, ConnectionController *connection, StoreErrors *errors,
                           QObject *parent)
    : QObject(parent)
    , m_alive(std::move(alive))
    , m_connection(connection)
    , m_errors(errors)
{
}

void Interactions::setPendingApprovals(std::vector<PendingApproval> value)
{
    if (assignChanged(m_pendingApprovals, std::move(value)))
        Q_EMIT pendingApprovalsChanged();
}

void Interactions::setPendingQuestions(std::vector<PendingQuestion> value)
{
    if (assignChanged(m_pendingQuestions, std::move(value)))
        Q_EMIT pendingQuestionsChanged();
}

void Interactions::clear()
{
    setPendingApprovals({});
    setPendingQuestions({});
}

// ---- Frames -----------------------------------------------------------------------------

void Interactions::routeApprovalRequested(const ServerRequest &frame, const JSONValue &payload)
{
    std::optional<ApprovalRequest> request = ApprovalRequest::fromJson(payload);
    if (!request)
        return;
    const bool known = std::any_of(m_pendingApprovals.begin(), m_pendingApprovals.end(),
                                   [&](const PendingApproval &a) { return a.id == frame.rpcId; });
    if (known)
        return;
    PendingApproval approval;
    approval.id = frame.rpcId;
    approval.rpcId = frame.rpcId;
    approval.sessionId = std::move(request->sessionId);
    approval.approvalId = std::move(request->approvalId);
    approval.toolName = std::move(request->toolName);
    approval.callId = std::move(request->callId);
    approval.reason = std::move(request->reason);
    std::vector<PendingApproval> approvals = m_pendingApprovals;
    approvals.push_back(std::move(approval));
    setPendingApprovals(std::move(approvals));
}

void Interactions::routeApprovalResolved(const JSONValue &payload)
{
    const std::optional<ApprovalResolution> resolution = ApprovalResolution::fromJson(payload);
    if (!resolution)
        return;
    std::vector<PendingApproval> approvals = m_pendingApprovals;
    std::erase_if(approvals, [&](const PendingApproval &a) {
        return a.sessionId == resolution->sessionId && a.approvalId == resolution->approvalId;
    });
    setPendingApprovals(std::move(approvals));
}

void Interactions::routeQuestionRequested(const ServerRequest &frame, const JSONValue &payload)
{
    QuestionRequest request = QuestionRequest::fromJson(payload);
    PendingQuestion pending;
    pending.id = frame.rpcId;
    pending.rpcId = frame.rpcId;
    pending.sessionId = std::move(request.sessionId);
    pending.questions = std::move(request.questions);
    if (pending.questions.empty()) {
        // Nothing to ask the user, but the host waits for an answer all the same: it is told
        // no, the way a question the user closes is.
        if (!frame.rpcId.isEmpty())
            cancelQuestion(pending);
        return;
    }
    // A repeated request is listed again: the host asks anew and waits for each answer.
    m_pendingQuestions.push_back(std::move(pending));
    Q_EMIT pendingQuestionsChanged();
}

void Interactions::routeQuestionResolved(const JSONValue &payload)
{
    const std::optional<QuestionResolution> resolution = QuestionResolution::fromJson(payload);
    if (!resolution)
        return;
    std::vector<PendingQuestion> questions = m_pendingQuestions;
    std::erase_if(questions, [&](const PendingQuestion &q) { return q.rpcId == resolution->questionRpcId; });
    setPendingQuestions(std::move(questions));
}

// ---- Answers ----------------------------------------------------------------------------

void Interactions::answerApproval(const PendingApproval &approval, bool allowed)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    const JSONValue value = JSONValue::object({
        {u"sessionId"_s, approval.sessionId},
        {u"approvalId"_s, approval.approvalId},
        {u"outcome"_s, allowed ? u"allowed-once"_s : u"rejected"_s},
    });
    const JSONValue envelope = ClientResponse{approval.rpcId, value}.toJson();
    runAnswerApproval(*client, envelope, approval);
}

QCoro::Task<void> Interactions::runAnswerApproval(WireClient client, JSONValue envelope, PendingApproval approval)
{
    QPointer<Interactions> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    std::exception_ptr failure;
    try {
        co_await client.respondRaw(envelope);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return;
    if (failure && !isAlreadyAnswered(failure)) {
        // The approval stays listed so that the user can answer it again.
        m_errors->reportFailure(u"审批响应失败："_s, failure);
        co_return;
    }
    // Accepted, or settled before: either way the host waits for no answer any more.
    std::vector<PendingApproval> remaining;
    for (const PendingApproval &pending : m_pendingApprovals) {
        if (pending.rpcId == approval.rpcId && pending.sessionId == approval.sessionId
            && pending.approvalId == approval.approvalId)
            continue;
        remaining.push_back(pending);
    }
    setPendingApprovals(std::move(remaining));
}

void Interactions::answerQuestion(const PendingQuestion &question, std::vector<QuestionAnswer> answers)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    JSONValue::Elements elements;
    elements.reserve(answers.size());
    for (const QuestionAnswer &answer : answers) {
        JSONValue element =
            JSONValue::object({{u"id"_s, answer.id}, {u"selected"_s, stringArray(answer.selected)}});
        if (answer.custom)
            element = element.with(u"custom"_s, *answer.custom);
        elements.push_back(std::move(element));
    }
    const JSONValue answerObject = JSONValue::object({{u"answers"_s, JSONValue::array(std::move(elements))}});
    const JSONValue value = JSONValue::object({{u"sessionId"_s, question.sessionId}, {u"answer"_s, answerObject}});
    runAnswerQuestion(*client, ClientResponse{question.rpcId, value}.toJson(), question.id);
}

void Interactions::cancelQuestion(const PendingQuestion &question)
{
    const std::optional<WireClient> client = m_connection->wire();
    if (!client)
        return;
    const JSONValue error = JSONValue::object({
        {u"code"_s, u"cancelled"_s},
        {u"message"_s, u"cancelled by user"_s},
        {u"details"_s, JSONValue::emptyObject()},
    });
    const JSONValue result = JSONValue::object({{u"ok"_s, false}, {u"error"_s, error}});
    const JSONValue envelope = JSONValue::object({
        {u"type"_s, u"client-response"_s},
        {u"rpcId"_s, question.rpcId},
        {u"result"_s, result},
    });
    runAnswerQuestion(*client, envelope, question.id);
}

QCoro::Task<void> Interactions::runAnswerQuestion(WireClient client, JSONValue envelope, QString questionId)
{
    QPointer<Interactions> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    try {
        co_await client.respondRaw(envelope);
    } catch (...) {
        // A question is asked once: whatever the outcome, the card goes away.
    }
    if (alive.expired() || !self)
        co_return;
    removePendingQuestion(questionId);
}

void Interactions::removePendingQuestion(const QString &questionId)
{
    std::vector<PendingQuestion> remaining;
    for (const PendingQuestion &pending : m_pendingQuestions) {
        if (pending.id != questionId)
            remaining.push_back(pending);
    }
    setPendingQuestions(std::move(remaining));
}

} // namespace nbd
