#include "Domain/Approvals.h"

#include "Domain/PayloadMembers.h"

using namespace Qt::StringLiterals;

namespace nbd {

using payload::stringMember;

std::optional<ApprovalRequest> ApprovalRequest::fromJson(const JSONValue &payload)
{
    std::optional<QString> approvalId = stringMember(payload, u"approvalId");
    if (!approvalId)
        return std::nullopt;
    ApprovalRequest request;
    request.sessionId = stringMember(payload, u"sessionId").value_or(QString());
    request.approvalId = std::move(*approvalId);
    request.toolName = stringMember(payload, u"toolName").value_or(u"tool"_s);
    request.callId = stringMember(payload, u"callId");
    request.reason = stringMember(payload, u"reason");
    return request;
}

std::optional<ApprovalResolution> ApprovalResolution::fromJson(const JSONValue &payload)
{
    std::optional<QString> sessionId = stringMember(payload, u"sessionId");
    std::optional<QString> approvalId = stringMember(payload, u"approvalId");
    if (!sessionId || !approvalId)
        return std::nullopt;
    return ApprovalResolution{std::move(*sessionId), std::move(*approvalId)};
}

} // namespace nbd
