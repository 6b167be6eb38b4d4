// Payloads of the frames by which the host asks the user something or reports a session's
// run: approvals, questions and session status. Decoding never throws, keeps exactly what an
// independent reading of the payload finds, and reads a printed-and-reparsed payload the same.
#include "FuzzSupport.h"

#include "Domain/Approvals.h"
#include "Domain/Questions.h"
#include "Domain/Sessions.h"

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

std::optional<QString> stringAt(const JSONValue &object, QStringView key)
{
    const JSONValue *v = object.isObject() ? object.find(key) : nullptr;
    return v && v->isString() ? std::optional<QString>(*v->stringPtr()) : std::nullopt;
}

struct Decoded
{
    std::optional<ApprovalRequest> approval;
    std::optional<ApprovalResolution> approvalResolution;
    QuestionRequest question;
    std::optional<QuestionResolution> questionResolution;
    std::optional<SessionStatusUpdate> status;

    bool operator==(const Decoded &) const = default;
};

Decoded decode(const JSONValue &payload)
{
    return {ApprovalRequest::fromJson(payload), ApprovalResolution::fromJson(payload),
            QuestionRequest::fromJson(payload), QuestionResolution::fromJson(payload),
            SessionStatusUpdate::fromJson(payload)};
}

void checkApproval(const JSONValue &payload, const Decoded &d)
{
    const std::optional<QString> approvalId = stringAt(payload, u"approvalId");
    const std::optional<QString> sessionId = stringAt(payload, u"sessionId");
    NBD_FUZZ_CHECK(d.approval.has_value() == approvalId.has_value(), "an approval decoded without its id, or lost");
    if (d.approval) {
        NBD_FUZZ_CHECK(d.approval->approvalId == *approvalId, "the approval id changed");
        NBD_FUZZ_CHECK(d.approval->sessionId == sessionId.value_or(QString()), "the approval's session changed");
        NBD_FUZZ_CHECK(d.approval->toolName == stringAt(payload, u"toolName").value_or(u"tool"_s),
                       "the tool name is neither the host's nor the default");
        NBD_FUZZ_CHECK(d.approval->callId == stringAt(payload, u"callId"), "the call id changed");
        NBD_FUZZ_CHECK(d.approval->reason == stringAt(payload, u"reason"), "the reason changed");
    }
    NBD_FUZZ_CHECK(d.approvalResolution.has_value() == (approvalId && sessionId),
                   "a resolution decoded without both ids, or lost");
}

// A question the host may ask: a non-empty object with a string id and question text.
bool asksSomething(const JSONValue &element)
{
    return element.isObject() && element.size() > 0 && stringAt(element, u"id") && stringAt(element, u"question");
}

void checkQuestions(const JSONValue &payload, const Decoded &d)
{
    NBD_FUZZ_CHECK(d.question.sessionId == stringAt(payload, u"sessionId").value_or(QString()),
                   "the question's session changed");
    const JSONValue *array = payload.isObject() ? payload.find(u"questions") : nullptr;
    std::vector<const JSONValue *> asked;
    if (array && array->isArray())
        for (const JSONValue &element : array->elements())
            if (asksSomething(element))
                asked.push_back(&element);
    NBD_FUZZ_CHECK(d.question.questions.size() == asked.size(), "a question was lost or made up");
    for (size_t i = 0; i < asked.size(); ++i) {
        const AskUserQuestion &q = d.question.questions[i];
        const JSONValue &source = *asked[i];
        NBD_FUZZ_CHECK(q.id == stringAt(source, u"id") && q.question == stringAt(source, u"question"),
                       "a question's id or text changed, or questions changed order");
        const JSONValue *options = source.find(u"options");
        size_t labelled = 0;
        if (options && options->isArray())
            for (const JSONValue &option : options->elements())
                labelled += stringAt(option, u"label") ? 1 : 0;
        NBD_FUZZ_CHECK(q.options.size() == labelled, "an option with a label was lost, or one made up");
        for (const AskUserQuestion::Option &option : q.options)
            NBD_FUZZ_CHECK(option.id == option.label, "an option's id is not its label");
        const JSONValue *multi = source.find(u"multiSelect");
        NBD_FUZZ_CHECK(q.multiSelect == (multi && multi->boolean().value_or(false)),
                       "multiSelect is set without a true boolean, or lost");
    }
    NBD_FUZZ_CHECK(d.questionResolution.has_value() == stringAt(payload, u"questionRpcId").has_value(),
                   "a question resolution decoded without its id, or lost");
}

void checkStatus(const JSONValue &payload, const Decoded &d)
{
    const std::optional<QString> sessionId = stringAt(payload, u"sessionId");
    const JSONValue *running = payload.isObject() ? payload.find(u"running") : nullptr;
    const std::optional<bool> flag = running ? running->boolean() : std::nullopt;
    NBD_FUZZ_CHECK(d.status.has_value() == (sessionId && flag), "a status decoded without its members, or lost");
    if (d.status)
        NBD_FUZZ_CHECK(d.status->sessionId == *sessionId && d.status->running == *flag, "the status changed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::optional<JSONValue> payload;
    try {
        payload = parseJSON(bytes(data, size));
    } catch (const Error &) {
        return 0;
    }
    const Decoded decoded = decode(*payload);
    checkApproval(*payload, decoded);
    checkQuestions(*payload, decoded);
    checkStatus(*payload, decoded);
    if (!holdsNonFinite(*payload))
        NBD_FUZZ_CHECK(decode(parseJSON(payload->prettyPrinted())) == decoded,
                       u"the reprinted payload decodes differently: "_s + compact(*payload));
    return 0;
}
