#pragma once

#include "Wire/JSONValue.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <span>
#include <vector>

namespace nbd {

// One entry of a parent session's subagent catalogue.
struct SubagentListEntry
{
    QString kind;
    QString id; // the child's session id
    std::optional<QString> mode;
    std::optional<QString> activity;
    std::optional<bool> hasChildren; // absent counts as false
    std::optional<QString> label;
    std::optional<QString> reason;

    static SubagentListEntry fromJson(const JSONValue &value);

    // A child run: kind "child" with a mode. Only these are descended into.
    bool isChild() const;
    bool isRunning() const;

    bool operator==(const SubagentListEntry &) const = default;
};

// "subagent.list"
struct SubagentListValue
{
    std::vector<SubagentListEntry> entries;
    bool parentAvailable = false;

    static SubagentListValue fromJson(const JSONValue &value);
    bool operator==(const SubagentListValue &) const = default;
};

// "subagent.prompt"
struct SubagentPromptValue
{
    QString messageId;

    static SubagentPromptValue fromJson(const JSONValue &value);
    bool operator==(const SubagentPromptValue &) const = default;
};

// Client-side: the address of one subagent run.
struct SubagentAddress
{
    QString parentSessionId;
    QString childSessionId;
    QString mode;

    bool operator==(const SubagentAddress &) const = default;
};

// Client-side: the subagent run shown in place of a top-level session.
struct SelectedSubagent
{
    SubagentAddress address;
    QString label;
    bool parentAvailable = false;

    bool operator==(const SelectedSubagent &) const = default;
};

// Client-side: a user message the host holds back ("queued" or "steering").
struct PendingUserMessage
{
    QString id;
    QString text;
    QString placement;

    bool operator==(const PendingUserMessage &) const = default;
};

// One background job of a session. The two times are on the host's clock: carried and
// compared, never converted.
struct JobView
{
    QString id;
    QString kind;
    QString label;
    QString status;
    std::optional<QString> detail;
    double startedAt = 0;
    std::optional<double> finishedAt;

    static JobView fromJson(const JSONValue &value);
    // The "jobs" array of a host frame: each element decoded by itself; one that fails is
    // left out and the others keep their order.
    static std::vector<JobView> decodeEach(std::span<const JSONValue> elements);

    bool operator==(const JobView &) const = default;
};

// An image attached to a user message.
struct ImageAttachmentRef
{
    QString attachmentId;
    QString mediaType;
    qint64 bytes = 0;
    qint64 width = 0;
    qint64 height = 0;
    std::optional<QString> name;

    static ImageAttachmentRef fromJson(const JSONValue &value);
    bool operator==(const ImageAttachmentRef &) const = default;
};

// "session.attachment"
struct SessionAttachmentValue
{
    ImageAttachmentRef attachment;
    QString data; // Base64 text

    static SessionAttachmentValue fromJson(const JSONValue &value);
    // The image bytes, or nothing when `data` is not strict Base64.
    std::optional<QByteArray> imageData() const;

    bool operator==(const SessionAttachmentValue &) const = default;
};

// Base64 with the standard alphabet and the padding in place: any other character
// (line breaks and blanks included) or a length that is not a multiple of four gives nothing.
std::optional<QByteArray> decodeBase64Strict(QStringView text);

} // namespace nbd
