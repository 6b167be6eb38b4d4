#pragma once

#include "SimHost.h"

#include <QHash>
#include <QString>

#include <map>
#include <optional>
#include <vector>

// Session event logs of the simulated host: numbered events served as history pages by
// "session.history" and "subagent.history", and pushed live as "session/event",
// "session/projection" and "session/subscribed" frames.
namespace nbd::sim {

// Builders of event drafts: {"type", "data"} objects without "seq" and "time", which the
// log assigns when it appends them.
namespace events {

JSONValue draft(const QString &type, JSONValue data = JSONValue::emptyObject());
JSONValue userMessage(const QString &id, const QString &text);
JSONValue turnStart(qint64 turn);
JSONValue stepStart(qint64 turn, qint64 step);
JSONValue chunk(qint64 turn, qint64 step, JSONValue chunkObject);
JSONValue blockStart(qint64 turn, qint64 step, qint64 index, const QString &kind = QStringLiteral("text"));
JSONValue textDelta(qint64 turn, qint64 step, qint64 index, const QString &text);
JSONValue reasoningDelta(qint64 turn, qint64 step, qint64 index, const QString &text);
JSONValue toolCallDelta(qint64 turn, qint64 step, qint64 index, const QString &callId, const QString &name,
                        const QString &argumentsDelta);
JSONValue blockEndText(qint64 turn, qint64 step, qint64 index, const QString &text);
JSONValue usageChunk(qint64 turn, qint64 step, qint64 inputTokens, qint64 outputTokens);
JSONValue finishChunk(qint64 turn, qint64 step);
// The final message of a step: text blocks, then tool calls ({id, name, arguments}).
JSONValue assistantMessage(qint64 turn, qint64 step, const QString &text,
                           const std::vector<std::pair<QString, QString>> &toolCalls = {});
// A tool call as the log keeps it, {turn, step, callId, name, arguments}; its card comes with
// the result (toolView).
JSONValue toolCall(qint64 turn, qint64 step, const QString &callId, const QString &name, const QString &arguments);
JSONValue toolResult(qint64 turn, qint64 step, const QString &callId, const QString &text, bool isError = false);
JSONValue turnEnd(qint64 turn, const QString &reason = QStringLiteral("completed"));
JSONValue sessionTitle(const QString &title);
// A tool view as it travels with an event: {"for", "view"}.
JSONValue toolView(const QString &forWhat, JSONValue view);

} // namespace events

class SimSessions
{
public:
    // What the history methods do instead of answering normally.
    enum class HistoryFault {
        None,
        Gap,       // older pages leave out their newest event
        EmptyPage, // no events, "hasMore" false
        Hang,      // never answered
        Error,     // the host's error "history_unavailable"
        Drop,      // the connection is closed without an answer
    };

    // Installs the two history methods on `host`; both must outlive the other's use.
    explicit SimSessions(SimHost &host, Stream stream = Stream::Mux);

    // Appends an event (a draft, or a whole event whose "seq" is replaced) with the next
    // sequence number of the session's log (1, 2, …); returns that number.
    qint64 append(const QString &sessionId, JSONValue draft, std::optional<JSONValue> view = std::nullopt);
    // Appends and pushes the event as a "session/event" frame.
    qint64 appendAndPush(const QString &sessionId, JSONValue draft, std::optional<JSONValue> view = std::nullopt);
    // Pushes an event that is already in the log again (a duplicate).
    void repush(const QString &sessionId, qint64 seq);
    void pushEvent(const QString &sessionId, JSONValue event, std::optional<JSONValue> view = std::nullopt);
    // Stores the projection (served with first pages) and pushes "session/projection".
    void setProjection(const QString &sessionId, const QString &key, JSONValue value, bool push = true);
    // "session/subscribed" with the given last sequence number, or the log's own.
    void pushSubscribed(const QString &sessionId, std::optional<qint64> lastSeq = std::nullopt);

    // The session whose log answers "subagent.history" for a parent and child pair.
    void setSubagentLog(const QString &parentSessionId, const QString &childSessionId, const QString &logSessionId);

    qint64 lastSeq(const QString &sessionId) const;
    // The log's entries as history pages carry them: {"event", "view"?}.
    std::vector<JSONValue> entries(const QString &sessionId) const;
    std::map<QString, JSONValue> projections(const QString &sessionId) const;

    void setHistoryFault(HistoryFault fault) { m_fault = fault; }
    // Answers history requests after this many milliseconds.
    void setHistoryDelay(int ms) { m_delayMs = ms; }

    // A history page built the way the host builds it (without faults).
    JSONValue historyPage(const QString &sessionId, int maxMessages, std::optional<qint64> beforeSeq) const;

private:
    struct Log
    {
        std::vector<JSONValue> entries;
        std::map<QString, JSONValue> projections;
        qint64 lastSeq = 0;
    };

    Reply answer(const LoggedRequest &request, bool subagent) const;

    SimHost &m_host;
    Stream m_stream;
    QHash<QString, Log> m_logs;
    QHash<QString, QString> m_subagentLogs; // "parent\nchild" -> session id
    HistoryFault m_fault = HistoryFault::None;
    int m_delayMs = 0;
};

} // namespace nbd::sim
