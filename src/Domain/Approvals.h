#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <optional>

namespace nbd {

// "approval/requested": the host asks whether a tool may run.
struct ApprovalRequest
{
    QString sessionId; // empty when the host names none
    QString approvalId;
    QString toolName; // "tool" when the host names none
    std::optional<QString> callId;
    std::optional<QString> reason;

    // Lenient: a member of the wrong type reads as absent. No approval without a string
    // approvalId.
    static std::optional<ApprovalRequest> fromJson(const JSONValue &payload);
    bool operator==(const ApprovalRequest &) const = default;
};

// "approval/resolved": the host settled an approval, answered here or elsewhere.
struct ApprovalResolution
{
    QString sessionId;
    QString approvalId;

    // Nothing unless both ids are strings.
    static std::optional<ApprovalResolution> fromJson(const JSONValue &payload);
    bool operator==(const ApprovalResolution &) const = default;
};

} // namespace nbd
