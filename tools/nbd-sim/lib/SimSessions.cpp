#include "SimSessions.h"

#include "Domain/ProtocolNames.h"

#include <algorithm>

namespace nbd::sim {

using namespace Qt::StringLiterals;

namespace events {

namespace {

JSONValue obj(std::initializer_list<std::pair<QString, JSONValue>> members)
{
    return JSONValue::object(members);
}

JSONValue textPart(const QString &text)
{
    return obj({{u"type"_s, u"text"_s}, {u"text"_s, text}});
}

JSONValue turnStepData(qint64 turn, qint64 step, JSONValue::Members more = {})
{
    JSONValue::Members members{{u"turn"_s, JSONValue(turn)}, {u"step"_s, JSONValue(step)}};
    for (auto &m : more)
        members.push_back(std::move(m));
    return JSONValue::object(std::move(members));
}

} // namespace

JSONValue draft(const QString &type, JSONValue data)
{
    return obj({{u"type"_s, type}, {u"data"_s, std::move(data)}});
}

JSONValue userMessage(const QString &id, const QString &text)
{
    return draft(u"user/message"_s, obj({{u"id"_s, id}, {u"content"_s, JSONValue::array({textPart(text)})}}));
}

JSONValue turnStart(qint64 turn)
{
    return draft(u"turn/start"_s, obj({{u"turn"_s, JSONValue(turn)}}));
}

JSONValue stepStart(qint64 turn, qint64 step)
{
    return draft(names::stepStartEvent.toString(), turnStepData(turn, step));
}

JSONValue chunk(qint64 turn, qint64 step, JSONValue chunkObject)
{
    return draft(u"assistant/chunk"_s, turnStepData(turn, step, {{names::chunkKey.toString(), std::move(chunkObject)}}));
}

JSONValue blockStart(qint64 turn, qint64 step, qint64 index, const QString &kind)
{
    return chunk(turn, step,
                 obj({{u"type"_s, u"block-start"_s}, {u"index"_s, JSONValue(index)},
                      {names::blockStartKindKey.toString(), kind}}));
}

JSONValue textDelta(qint64 turn, qint64 step, qint64 index, const QString &text)
{
    return chunk(turn, step, obj({{u"type"_s, u"text-delta"_s}, {u"index"_s, JSONValue(index)}, {u"text"_s, text}}));
}

JSONValue reasoningDelta(qint64 turn, qint64 step, qint64 index, const QString &text)
{
    return chunk(turn, step,
                 obj({{u"type"_s, u"reasoning-delta"_s}, {u"index"_s, JSONValue(index)}, {u"text"_s, text}}));
}

JSONValue toolCallDelta(qint64 turn, qint64 step, qint64 index, const QString &callId, const QString &name,
                        const QString &argumentsDelta)
{
    return chunk(turn, step,
                 obj({{u"type"_s, names::toolCallDeltaChunk.toString()},
                      {u"index"_s, JSONValue(index)},
                      {u"id"_s, callId},
                      {u"name"_s, name},
                      {u"argumentsDelta"_s, argumentsDelta}}));
}

JSONValue blockEndText(qint64 turn, qint64 step, qint64 index, const QString &text)
{
    return chunk(turn, step,
                 obj({{u"type"_s, u"block-end"_s},
                      {u"index"_s, JSONValue(index)},
                      {u"block"_s, obj({{u"type"_s, u"text"_s}, {u"text"_s, text}})}}));
}

JSONValue usageChunk(qint64 turn, qint64 step, qint64 inputTokens, qint64 outputTokens)
{
    return chunk(turn, step,
                 obj({{u"type"_s, u"usage"_s},
                      {u"index"_s, JSONValue(0)},
                      {u"usage"_s, obj({{u"inputTokens"_s, JSONValue(inputTokens)},
                                        {u"outputTokens"_s, JSONValue(outputTokens)}})}}));
}

JSONValue finishChunk(qint64 turn, qint64 step)
{
    return chunk(turn, step, obj({{u"type"_s, u"finish"_s}, {u"index"_s, JSONValue(0)}}));
}

JSONValue assistantMessage(qint64 turn, qint64 step, const QString &text,
                           const std::vector<std::pair<QString, QString>> &toolCalls)
{
    JSONValue::Elements content;
    if (!text.isEmpty())
        content.push_back(textPart(text));
    for (const auto &[id, name] : toolCalls)
        content.push_back(obj({{u"type"_s, names::toolCallContentType.toString()},
                               {u"id"_s, id},
                               {u"name"_s, name},
                               {names::toolCallArgumentsKey.toString(), u"{}"_s}}));
    return draft(u"assistant/message"_s,
                 turnStepData(turn, step, {{u"message"_s, obj({{u"content"_s, JSONValue::array(std::move(content))}})}}));
}

JSONValue toolCall(qint64 turn, qint64 step, const QString &callId, const QString &name, const QString &arguments)
{
    return draft(u"tool/call"_s,
                 turnStepData(turn, step, {{u"callId"_s, callId}, {u"name"_s, name}, {u"arguments"_s, arguments}}));
}

JSONValue toolResult(qint64 turn, qint64 step, const QString &callId, const QString &text, bool isError)
{
    const JSONValue part = obj({{u"type"_s, u"tool-result"_s},
                                {u"toolCallId"_s, callId},
                                {u"isError"_s, JSONValue(isError)},
                                {u"content"_s, JSONValue::array({textPart(text)})}});
    return draft(names::toolResultEvent.toString(),
                 turnStepData(turn, step, {{u"message"_s, obj({{u"content"_s, JSONValue::array({part})}})}}));
}

JSONValue turnEnd(qint64 turn, const QString &reason)
{
    return draft(u"turn/end"_s, obj({{u"turn"_s, JSONValue(turn)}, {u"reason"_s, obj({{u"kind"_s, reason}})}}));
}

JSONValue sessionTitle(const QString &title)
{
    return draft(u"session/title"_s, obj({{u"title"_s, title}}));
}

JSONValue toolView(const QString &forWhat, JSONValue view)
{
    return obj({{u"for"_s, forWhat}, {u"view"_s, std::move(view)}});
}

} // namespace events

SimSessions::SimSessions(SimHost &host, Stream stream) : m_host(host), m_stream(stream)
{
    m_host.setHandler(names::sessionHistoryMethod.toString(),
                      [this](const LoggedRequest &request) { return answer(request, false); });
    m_host.setHandler(names::subagentHistoryMethod.toString(),
                      [this](const LoggedRequest &request) { return answer(request, true); });
}

qint64 SimSessions::append(const QString &sessionId, JSONValue draft, std::optional<JSONValue> view)
{
    Log &log = m_logs[sessionId];
    const qint64 seq = ++log.lastSeq;
    JSONValue event = draft.with(u"seq"_s, JSONValue(seq));
    if (!event.contains(u"time"))
        event = event.with(u"time"_s, JSONValue(double(seq)));
    if (!event.contains(u"data"))
        event = event.with(u"data"_s, JSONValue::emptyObject());
    JSONValue::Members entry{{u"event"_s, event}};
    if (view)
        entry.emplace_back(u"view"_s, *view);
    log.entries.push_back(JSONValue::object(std::move(entry)));
    return seq;
}

qint64 SimSessions::appendAndPush(const QString &sessionId, JSONValue draft, std::optional<JSONValue> view)
{
    const qint64 seq = append(sessionId, std::move(draft), view);
    repush(sessionId, seq);
    return seq;
}

void SimSessions::repush(const QString &sessionId, qint64 seq)
{
    const Log &log = m_logs[sessionId];
    for (const JSONValue &entry : log.entries) {
        const JSONValue *event = entry.find(u"event");
        if (event->find(u"seq")->toInt() == seq) {
            const JSONValue *view = entry.find(u"view");
            pushEvent(sessionId, *event, view ? std::optional<JSONValue>(*view) : std::nullopt);
            return;
        }
    }
}

void SimSessions::pushEvent(const QString &sessionId, JSONValue event, std::optional<JSONValue> view)
{
    JSONValue::Members payload{{u"sessionId"_s, JSONValue(sessionId)}, {u"event"_s, std::move(event)}};
    if (view)
        payload.emplace_back(u"view"_s, *view);
    m_host.pushFrame(m_stream, u"session/event"_s, JSONValue::object(std::move(payload)));
}

void SimSessions::setProjection(const QString &sessionId, const QString &key, JSONValue value, bool push)
{
    m_logs[sessionId].projections.insert_or_assign(key, value);
    if (push) {
        const JSONValue payload = JSONValue::object(
            {{u"sessionId"_s, JSONValue(sessionId)}, {u"key"_s, JSONValue(key)}, {u"value"_s, value}});
        m_host.pushFrame(m_stream, u"session/projection"_s, payload);
    }
}

void SimSessions::pushSubscribed(const QString &sessionId, std::optional<qint64> lastSeq)
{
    const JSONValue payload = JSONValue::object(
        {{u"sessionId"_s, JSONValue(sessionId)}, {u"lastSeq"_s, JSONValue(lastSeq.value_or(this->lastSeq(sessionId)))}});
    m_host.pushFrame(m_stream, u"session/subscribed"_s, payload);
}

void SimSessions::setSubagentLog(const QString &parentSessionId, const QString &childSessionId,
                                 const QString &logSessionId)
{
    m_subagentLogs.insert(parentSessionId + u'\n' + childSessionId, logSessionId);
}

qint64 SimSessions::lastSeq(const QString &sessionId) const
{
    const auto it = m_logs.constFind(sessionId);
    return it == m_logs.cend() ? 0 : it->lastSeq;
}

std::vector<JSONValue> SimSessions::entries(const QString &sessionId) const
{
    return m_logs.value(sessionId).entries;
}

std::map<QString, JSONValue> SimSessions::projections(const QString &sessionId) const
{
    return m_logs.value(sessionId).projections;
}

JSONValue SimSessions::historyPage(const QString &sessionId, int maxMessages, std::optional<qint64> beforeSeq) const
{
    const Log log = m_logs.value(sessionId);
    // Numbers are contiguous from 1: the entry of seq n is at index n - 1.
    const qint64 end = std::clamp<qint64>(beforeSeq ? *beforeSeq - 1 : log.lastSeq, 0, qint64(log.entries.size()));
    const qint64 begin = std::max<qint64>(0, end - std::max(maxMessages, 0));
    JSONValue::Elements page(log.entries.begin() + begin, log.entries.begin() + end);
    JSONValue::Members members{{u"events"_s, JSONValue::array(std::move(page))}, {u"hasMore"_s, JSONValue(begin > 0)}};
    if (!beforeSeq) {
        JSONValue::Members values;
        for (const auto &[key, value] : log.projections)
            values.emplace_back(key, value);
        members.emplace_back(u"projections"_s, JSONValue::object({{u"asOfSeq"_s, JSONValue(log.lastSeq)},
                                                                  {u"values"_s, JSONValue::object(std::move(values))}}));
    }
    return JSONValue::object(std::move(members));
}

Reply SimSessions::answer(const LoggedRequest &request, bool subagent) const
{
    const JSONValue &payload = request.payload;
    auto stringOf = [&payload](QStringView key) {
        const JSONValue *v = payload.find(key);
        return v && v->isString() ? *v->stringPtr() : QString();
    };
    const QString sessionId = subagent
        ? m_subagentLogs.value(stringOf(u"parentSessionId") + u'\n' + stringOf(u"childSessionId"))
        : stringOf(u"sessionId");
    if (sessionId.isEmpty())
        return Reply::error(u"invalid_request"_s, u"unknown session"_s);
    const JSONValue *max = payload.find(names::historyMaxMessagesKey);
    const JSONValue *before = payload.find(names::historyBeforeSeqKey);
    const std::optional<qint64> beforeSeq = before ? before->toInt() : std::nullopt;

    Reply reply;
    switch (m_fault) {
    case HistoryFault::Hang: return Reply::never();
    case HistoryFault::Drop: return Reply::drop();
    case HistoryFault::Error: reply = Reply::error(u"history_unavailable"_s, u"history is not available"_s); break;
    case HistoryFault::EmptyPage:
        reply = Reply::value(JSONValue::object({{u"events"_s, JSONValue::array({})}, {u"hasMore"_s, JSONValue(false)}}));
        break;
    case HistoryFault::Gap:
    case HistoryFault::None: {
        JSONValue page = historyPage(sessionId, int(max ? max->toInt().value_or(0) : 0), beforeSeq);
        if (m_fault == HistoryFault::Gap && beforeSeq) {
            JSONValue::Elements events(page.find(u"events")->elements().begin(), page.find(u"events")->elements().end());
            if (!events.empty())
                events.pop_back();
            page = page.with(u"events"_s, JSONValue::array(std::move(events)));
        }
        reply = Reply::value(std::move(page));
        break;
    }
    }
    return m_delayMs > 0 ? reply.delayed(m_delayMs) : reply;
}

} // namespace nbd::sim
