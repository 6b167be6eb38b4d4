#include "Domain/Sessions.h"

#include "Domain/PayloadMembers.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"
#include "Wire/JSONDecode.h"

namespace nbd {

using namespace Qt::StringLiterals;

SessionSummary SessionSummary::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionSummary s;
    s.sessionId = json::string(value, u"sessionId");
    s.updatedAt = json::number(value, u"updatedAt");
    s.running = json::boolean(value, u"running");
    s.blank = json::boolean(value, u"blank");
    s.parentSessionId = json::optString(value, u"parentSessionId");
    s.origin = json::optString(value, u"origin");
    s.cwd = json::optString(value, u"cwd");
    s.agentPreset = json::optString(value, u"agentPreset");
    s.projections = json::optField<SessionProjectionsBlock>(value, u"projections");
    return s;
}

std::optional<QString> SessionSummary::projectedTitle() const
{
    if (!projections)
        return std::nullopt;
    auto it = projections->values.find(names::titleProjection);
    if (it == projections->values.end())
        return std::nullopt;
    if (const QString *s = it->second.stringPtr())
        return *s;
    return std::nullopt;
}

QString SessionSummary::displayTitle() const
{
    if (auto title = projectedTitle()) {
        const QStringView trimmed = text::trimWhitespaceAndNewlines(*title);
        if (!trimmed.isEmpty())
            return trimmed.toString();
    }
    if (cwd) {
        // Both separators count on every platform, so a Windows path reads the same here.
        const QStringView separators = u"/\\";
        const QStringView inner = text::trimCharacters(*cwd, separators);
        qsizetype cut = inner.size();
        while (cut > 0 && !separators.contains(inner[cut - 1]))
            --cut;
        // After trimming, the text past the last separator is the last non-empty piece.
        const QStringView last = inner.sliced(cut);
        if (!last.isEmpty())
            return last.toString();
    }
    return blank ? u"新会话"_s : sessionId;
}

std::optional<SessionStatusUpdate> SessionStatusUpdate::fromJson(const JSONValue &payload)
{
    std::optional<QString> sessionId = payload::stringMember(payload, u"sessionId");
    const std::optional<bool> running = payload::boolMember(payload, u"running");
    if (!sessionId || !running)
        return std::nullopt;
    return SessionStatusUpdate{std::move(*sessionId), *running};
}

SessionListValue SessionListValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::field<std::vector<SessionSummary>>(value, u"items")};
}

SessionSearchItem SessionSearchItem::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::string(value, u"sessionId"), json::string(value, u"snippet")};
}

SessionSearchValue SessionSearchValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionSearchValue v;
    v.items = json::field<std::vector<SessionSearchItem>>(value, u"items");
    v.hasMore = json::boolean(value, u"hasMore");
    return v;
}

SessionCreateValue SessionCreateValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionCreateValue v;
    v.sessionId = json::string(value, u"sessionId");
    v.agentPreset = json::optString(value, u"agentPreset");
    return v;
}

SessionRenameValue SessionRenameValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionRenameValue v;
    v.title = json::string(value, u"title");
    v.seq = json::integer(value, u"seq");
    return v;
}

SessionForkValue SessionForkValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::string(value, u"sessionId")};
}

PromptCommandResult PromptCommandResult::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    PromptCommandResult v;
    v.kind = json::string(value, u"kind");
    v.text = json::optString(value, u"text");
    return v;
}

SessionPromptValue SessionPromptValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionPromptValue v;
    v.accepted = json::boolean(value, u"accepted");
    v.command = json::optField<PromptCommandResult>(value, u"command");
    return v;
}

SessionCancelValue SessionCancelValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::boolean(value, u"accepted")};
}

SessionUpdateQueueValue SessionUpdateQueueValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::boolean(value, u"accepted")};
}

CommandResultValue CommandResultValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    CommandResultValue v;
    v.kind = json::string(value, u"kind");
    v.text = json::optString(value, u"text");
    v.sourceEventSeq = json::optInteger(value, u"sourceEventSeq");
    return v;
}

CommandExecutionValue CommandExecutionValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    CommandExecutionValue v;
    v.commandId = json::string(value, u"commandId");
    v.result = json::field<CommandResultValue>(value, u"result");
    return v;
}

} // namespace nbd
