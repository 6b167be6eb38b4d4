#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// One question an agent asks the user.
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

    // Lenient: nothing unless the value is a non-empty object with a string id and question;
    // options that are no object or carry no string label are skipped, other members of the
    // wrong type read as absent.
    static std::optional<AskUserQuestion> fromJson(const JSONValue &value);
    bool operator==(const AskUserQuestion &) const = default;
};

// "question/requested": the questions an agent asks, in order. Questions that do not decode
// are skipped, so the list may be empty; the host waits for an answer all the same.
struct QuestionRequest
{
    QString sessionId; // empty when the host names none
    std::vector<AskUserQuestion> questions;

    static QuestionRequest fromJson(const JSONValue &payload);
    bool operator==(const QuestionRequest &) const = default;
};

// "question/resolved": the host settled the request it sent as questionRpcId.
struct QuestionResolution
{
    QString questionRpcId;

    // Nothing unless questionRpcId is a string.
    static std::optional<QuestionResolution> fromJson(const JSONValue &payload);
    bool operator==(const QuestionResolution &) const = default;
};

} // namespace nbd
