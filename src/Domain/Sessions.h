#pragma once

#include "Domain/SessionEvents.h"
#include "Wire/JSONValue.h"

#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// One row of the host's session list.
struct SessionSummary
{
    QString sessionId;
    double updatedAt = 0; // milliseconds since 1970-01-01 UTC; greater is newer
    bool running = false;
    bool blank = false;
    std::optional<QString> parentSessionId;
    std::optional<QString> origin;
    std::optional<QString> cwd;
    std::optional<QString> agentPreset;
    std::optional<SessionProjectionsBlock> projections;

    static SessionSummary fromJson(const JSONValue &value);

    const QString &id() const { return sessionId; }
    // The "title" projection when it is a JSON string.
    std::optional<QString> projectedTitle() const;
    // The trimmed title projection, else the last component of the working directory,
    // else "新会话" for a blank session and the session id for any other. Never empty
    // unless the id itself is.
    QString displayTitle() const;

    bool operator==(const SessionSummary &) const = default;
};

// "host/session-status": a session started or stopped running.
struct SessionStatusUpdate
{
    QString sessionId;
    bool running = false;

    // Lenient: nothing unless sessionId is a string and running a boolean.
    static std::optional<SessionStatusUpdate> fromJson(const JSONValue &payload);
    bool operator==(const SessionStatusUpdate &) const = default;
};

// "session.list"
struct SessionListValue
{
    std::vector<SessionSummary> items;

    static SessionListValue fromJson(const JSONValue &value);
    bool operator==(const SessionListValue &) const = default;
};

// One hit of "session.search".
struct SessionSearchItem
{
    QString sessionId;
    QString snippet;

    static SessionSearchItem fromJson(const JSONValue &value);
    const QString &id() const { return sessionId; }
    bool operator==(const SessionSearchItem &) const = default;
};

// "session.search"
struct SessionSearchValue
{
    std::vector<SessionSearchItem> items;
    bool hasMore = false;

    static SessionSearchValue fromJson(const JSONValue &value);
    bool operator==(const SessionSearchValue &) const = default;
};

// "session.create"
struct SessionCreateValue
{
    QString sessionId;
    std::optional<QString> agentPreset;

    static SessionCreateValue fromJson(const JSONValue &value);
    bool operator==(const SessionCreateValue &) const = default;
};

// "session.rename"
struct SessionRenameValue
{
    QString title;
    qint64 seq = 0;

    static SessionRenameValue fromJson(const JSONValue &value);
    bool operator==(const SessionRenameValue &) const = default;
};

// "session.fork"
struct SessionForkValue
{
    QString sessionId;

    static SessionForkValue fromJson(const JSONValue &value);
    bool operator==(const SessionForkValue &) const = default;
};

// The outcome of a prompt that was a slash command.
struct PromptCommandResult
{
    QString kind;
    std::optional<QString> text;

    static PromptCommandResult fromJson(const JSONValue &value);
    bool operator==(const PromptCommandResult &) const = default;
};

// "session.prompt"
struct SessionPromptValue
{
    bool accepted = false;
    std::optional<PromptCommandResult> command;

    static SessionPromptValue fromJson(const JSONValue &value);
    bool operator==(const SessionPromptValue &) const = default;
};

// "session.cancel" and "subagent.interrupt"
struct SessionCancelValue
{
    bool accepted = false;

    static SessionCancelValue fromJson(const JSONValue &value);
    bool operator==(const SessionCancelValue &) const = default;
};

// "session.updateQueue"
struct SessionUpdateQueueValue
{
    bool accepted = false;

    static SessionUpdateQueueValue fromJson(const JSONValue &value);
    bool operator==(const SessionUpdateQueueValue &) const = default;
};

struct CommandResultValue
{
    QString kind;
    std::optional<QString> text;
    std::optional<qint64> sourceEventSeq;

    static CommandResultValue fromJson(const JSONValue &value);
    bool operator==(const CommandResultValue &) const = default;
};

// The remote plugin endpoint "commands/execute".
struct CommandExecutionValue
{
    QString commandId;
    CommandResultValue result;

    static CommandExecutionValue fromJson(const JSONValue &value);
    bool operator==(const CommandExecutionValue &) const = default;
};

} // namespace nbd
