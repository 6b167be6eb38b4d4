#pragma once

#include "Domain/RecordHash.h"
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
    friend size_t qHash(const SessionSummary &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.sessionId, v.updatedAt, v.running, v.blank, v.parentSessionId, v.origin, v.cwd,
                          v.agentPreset, v.projections);
    }
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
    friend size_t qHash(const SessionListValue &v, size_t seed = 0) noexcept { return hashFields(seed, v.items); }
};

// One hit of "session.search".
struct SessionSearchItem
{
    QString sessionId;
    QString snippet;

    static SessionSearchItem fromJson(const JSONValue &value);
    const QString &id() const { return sessionId; }
    bool operator==(const SessionSearchItem &) const = default;
    friend size_t qHash(const SessionSearchItem &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.sessionId, v.snippet);
    }
};

// "session.search"
struct SessionSearchValue
{
    std::vector<SessionSearchItem> items;
    bool hasMore = false;

    static SessionSearchValue fromJson(const JSONValue &value);
    bool operator==(const SessionSearchValue &) const = default;
    friend size_t qHash(const SessionSearchValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.items, v.hasMore);
    }
};

// "session.create"
struct SessionCreateValue
{
    QString sessionId;
    std::optional<QString> agentPreset;

    static SessionCreateValue fromJson(const JSONValue &value);
    bool operator==(const SessionCreateValue &) const = default;
    friend size_t qHash(const SessionCreateValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.sessionId, v.agentPreset);
    }
};

// "session.rename"
struct SessionRenameValue
{
    QString title;
    qint64 seq = 0;

    static SessionRenameValue fromJson(const JSONValue &value);
    bool operator==(const SessionRenameValue &) const = default;
    friend size_t qHash(const SessionRenameValue &v, size_t seed = 0) noexcept { return hashFields(seed, v.title, v.seq); }
};

// "session.fork"
struct SessionForkValue
{
    QString sessionId;

    static SessionForkValue fromJson(const JSONValue &value);
    bool operator==(const SessionForkValue &) const = default;
    friend size_t qHash(const SessionForkValue &v, size_t seed = 0) noexcept { return hashFields(seed, v.sessionId); }
};

// The outcome of a prompt that was a slash command.
struct PromptCommandResult
{
    QString kind;
    std::optional<QString> text;

    static PromptCommandResult fromJson(const JSONValue &value);
    bool operator==(const PromptCommandResult &) const = default;
    friend size_t qHash(const PromptCommandResult &v, size_t seed = 0) noexcept { return hashFields(seed, v.kind, v.text); }
};

// "session.prompt"
struct SessionPromptValue
{
    bool accepted = false;
    std::optional<PromptCommandResult> command;

    static SessionPromptValue fromJson(const JSONValue &value);
    bool operator==(const SessionPromptValue &) const = default;
    friend size_t qHash(const SessionPromptValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.accepted, v.command);
    }
};

// "session.cancel" and "subagent.interrupt"
struct SessionCancelValue
{
    bool accepted = false;

    static SessionCancelValue fromJson(const JSONValue &value);
    bool operator==(const SessionCancelValue &) const = default;
    friend size_t qHash(const SessionCancelValue &v, size_t seed = 0) noexcept { return hashFields(seed, v.accepted); }
};

// "session.updateQueue"
struct SessionUpdateQueueValue
{
    bool accepted = false;

    static SessionUpdateQueueValue fromJson(const JSONValue &value);
    bool operator==(const SessionUpdateQueueValue &) const = default;
    friend size_t qHash(const SessionUpdateQueueValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.accepted);
    }
};

struct CommandResultValue
{
    QString kind;
    std::optional<QString> text;
    std::optional<qint64> sourceEventSeq;

    static CommandResultValue fromJson(const JSONValue &value);
    bool operator==(const CommandResultValue &) const = default;
    friend size_t qHash(const CommandResultValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.kind, v.text, v.sourceEventSeq);
    }
};

// The remote plugin endpoint "commands/execute".
struct CommandExecutionValue
{
    QString commandId;
    CommandResultValue result;

    static CommandExecutionValue fromJson(const JSONValue &value);
    bool operator==(const CommandExecutionValue &) const = default;
    friend size_t qHash(const CommandExecutionValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.commandId, v.result);
    }
};

} // namespace nbd
