#include "Domain/Questions.h"

#include "Domain/PayloadMembers.h"

namespace nbd {

using payload::boolMember;
using payload::stringMember;
using payload::typedMember;

std::optional<AskUserQuestion> AskUserQuestion::fromJson(const JSONValue &value)
{
    if (!value.isObject() || value.size() == 0)
        return std::nullopt;
    std::optional<QString> id = stringMember(value, u"id");
    std::optional<QString> question = stringMember(value, u"question");
    if (!id || !question)
        return std::nullopt;
    AskUserQuestion result;
    result.id = std::move(*id);
    result.question = std::move(*question);
    if (const JSONValue *options = typedMember(value, u"options", JSONValue::Type::Array)) {
        for (const JSONValue &element : options->elements()) {
            if (!element.isObject() || element.size() == 0)
                continue;
            const std::optional<QString> label = stringMember(element, u"label");
            if (!label)
                continue;
            result.options.push_back({*label, *label, stringMember(element, u"description")});
        }
    }
    result.header = stringMember(value, u"header");
    result.detail = stringMember(value, u"detail");
    result.multiSelect = boolMember(value, u"multiSelect").value_or(false);
    if (const JSONValue *intent = typedMember(value, u"intent", JSONValue::Type::Object)) {
        result.intentKind = stringMember(*intent, u"kind");
        result.intentApprove = stringMember(*intent, u"approve");
    }
    return result;
}

QuestionRequest QuestionRequest::fromJson(const JSONValue &payload)
{
    QuestionRequest request;
    request.sessionId = stringMember(payload, u"sessionId").value_or(QString());
    if (const JSONValue *array = typedMember(payload, u"questions", JSONValue::Type::Array)) {
        for (const JSONValue &element : array->elements()) {
            if (std::optional<AskUserQuestion> question = AskUserQuestion::fromJson(element))
                request.questions.push_back(std::move(*question));
        }
    }
    return request;
}

std::optional<QuestionResolution> QuestionResolution::fromJson(const JSONValue &payload)
{
    std::optional<QString> rpcId = stringMember(payload, u"questionRpcId");
    if (!rpcId)
        return std::nullopt;
    return QuestionResolution{std::move(*rpcId)};
}

} // namespace nbd
