#pragma once

#include "Domain/ProtocolNames.h"
#include "Domain/SessionEvents.h"
#include "Wire/JSONValue.h"

#include <QByteArrayView>
#include <QString>

#include <optional>
#include <stdexcept>
#include <vector>

// Plain builders of host session events, in the shapes the host sends them.
namespace nbd::test {

inline JSONValue obj(std::initializer_list<std::pair<QString, JSONValue>> members)
{
    return JSONValue::object(members);
}

inline SessionEvent makeEvent(const QString &type, qint64 seq, JSONValue data = JSONValue::emptyObject())
{
    SessionEvent e;
    e.type = type;
    e.seq = seq;
    e.data = std::move(data);
    return e;
}

// A JSON array of event objects as the live stream carries them; "time" may be left out.
inline std::vector<SessionEvent> eventsFromJson(QByteArrayView json)
{
    std::vector<SessionEvent> events;
    const JSONValue list = parseJSON(json);
    for (const JSONValue &element : list.elements()) {
        JSONValue value = element;
        if (value.isObject() && !value.contains(u"time"))
            value = value.with(QStringLiteral("time"), JSONValue(0.0));
        events.push_back(SessionEvent::fromLiveValue(value));
    }
    return events;
}

// The event as the host writes it.
inline JSONValue eventJson(const SessionEvent &e)
{
    JSONValue::Members m{{QStringLiteral("type"), e.type},
                         {QStringLiteral("seq"), JSONValue(e.seq)},
                         {QStringLiteral("time"), JSONValue(e.time)},
                         {QStringLiteral("data"), e.data}};
    if (e.sourceEventSeqs) {
        JSONValue::Elements seqs;
        for (qint64 seq : *e.sourceEventSeqs)
            seqs.push_back(JSONValue(seq));
        m.emplace_back(QStringLiteral("sourceEventSeqs"), JSONValue::array(std::move(seqs)));
    }
    if (e.surfaceOp)
        m.emplace_back(QStringLiteral("surfaceOp"), *e.surfaceOp);
    if (e.ignorable)
        m.emplace_back(QStringLiteral("ignorable"), JSONValue(*e.ignorable));
    return JSONValue::object(std::move(m));
}

inline JSONValue textPart(const QString &text)
{
    return obj({{QStringLiteral("type"), u"text"}, {QStringLiteral("text"), text}});
}

inline JSONValue turnStep(qint64 turn, qint64 step, std::initializer_list<std::pair<QString, JSONValue>> more = {})
{
    JSONValue::Members members{{QStringLiteral("turn"), JSONValue(turn)}, {QStringLiteral("step"), JSONValue(step)}};
    members.insert(members.end(), more.begin(), more.end());
    return JSONValue::object(std::move(members));
}

inline SessionEvent chunk(qint64 seq, qint64 turn, qint64 step, JSONValue chunkObject)
{
    return makeEvent(QStringLiteral("assistant/chunk"), seq, turnStep(turn, step, {{names::chunkKey.toString(), chunkObject}}));
}

inline SessionEvent textDelta(qint64 seq, qint64 turn, qint64 step, qint64 index, const QString &text)
{
    return chunk(seq, turn, step,
                 obj({{QStringLiteral("type"), u"text-delta"}, {QStringLiteral("index"), JSONValue(index)},
                      {QStringLiteral("text"), text}}));
}

inline SessionEvent reasoningDelta(qint64 seq, qint64 turn, qint64 step, qint64 index, const QString &text)
{
    return chunk(seq, turn, step,
                 obj({{QStringLiteral("type"), u"reasoning-delta"}, {QStringLiteral("index"), JSONValue(index)},
                      {QStringLiteral("text"), text}}));
}

inline SessionEvent toolCallDelta(qint64 seq, qint64 turn, qint64 step, qint64 index, const QString &callId,
                                  const QString &name, const QString &argumentsDelta)
{
    return chunk(seq, turn, step,
                 obj({{QStringLiteral("type"), names::toolCallDeltaChunk.toString()},
                      {QStringLiteral("index"), JSONValue(index)},
                      {QStringLiteral("id"), callId},
                      {QStringLiteral("name"), name},
                      {QStringLiteral("argumentsDelta"), argumentsDelta}}));
}

inline SessionEvent blockEnd(qint64 seq, qint64 turn, qint64 step, qint64 index, JSONValue block)
{
    return chunk(seq, turn, step,
                 obj({{QStringLiteral("type"), u"block-end"}, {QStringLiteral("index"), JSONValue(index)},
                      {QStringLiteral("block"), std::move(block)}}));
}

inline JSONValue textBlock(const QString &text, std::optional<qint64> index = std::nullopt)
{
    JSONValue b = obj({{QStringLiteral("type"), u"text"}, {QStringLiteral("text"), text}});
    return index ? b.with(QStringLiteral("index"), JSONValue(*index)) : b;
}

inline JSONValue reasoningBlock(const QString &text)
{
    return obj({{QStringLiteral("type"), u"reasoning"}, {QStringLiteral("text"), text}});
}

inline JSONValue toolCallBlock(const QString &callId, const QString &name, const QString &arguments)
{
    return obj({{QStringLiteral("type"), names::toolCallContentType.toString()},
                {QStringLiteral("id"), callId},
                {QStringLiteral("name"), name},
                {names::toolCallArgumentsKey.toString(), arguments}});
}

inline SessionEvent assistantMessage(qint64 seq, qint64 turn, qint64 step, JSONValue::Elements content,
                                     std::optional<std::vector<qint64>> sourceEventSeqs = std::nullopt)
{
    SessionEvent e = makeEvent(QStringLiteral("assistant/message"), seq,
                           turnStep(turn, step, {{QStringLiteral("message"),
                                                  obj({{QStringLiteral("content"), JSONValue::array(std::move(content))}})}}));
    e.sourceEventSeqs = std::move(sourceEventSeqs);
    return e;
}

inline SessionEvent userMessage(qint64 seq, const QString &text)
{
    return makeEvent(QStringLiteral("user/message"), seq, obj({{QStringLiteral("content"), JSONValue::array({textPart(text)})}}));
}

inline SessionEvent toolCall(qint64 seq, qint64 turn, qint64 step, const QString &callId, const QString &name,
                             const QString &arguments)
{
    return makeEvent(QStringLiteral("tool/call"), seq,
                 turnStep(turn, step, {{QStringLiteral("callId"), callId}, {QStringLiteral("name"), name},
                                       {QStringLiteral("arguments"), arguments}}));
}

inline SessionEvent toolResult(qint64 seq, const QString &callId, const QString &text, bool isError = false)
{
    const JSONValue part = obj({{QStringLiteral("type"), u"tool-result"},
                                {QStringLiteral("toolCallId"), callId},
                                {QStringLiteral("isError"), JSONValue(isError)},
                                {QStringLiteral("content"), JSONValue::array({textPart(text)})}});
    return makeEvent(names::toolResultEvent.toString(), seq,
                 obj({{QStringLiteral("message"), obj({{QStringLiteral("content"), JSONValue::array({part})}})}}));
}

inline SessionEvent turnStart(qint64 seq, qint64 turn)
{
    return makeEvent(QStringLiteral("turn/start"), seq, obj({{QStringLiteral("turn"), JSONValue(turn)}}));
}

inline SessionEvent stepStart(qint64 seq, qint64 turn, qint64 step)
{
    return makeEvent(names::stepStartEvent.toString(), seq, turnStep(turn, step));
}

inline SessionEvent turnEnd(qint64 seq, qint64 turn, const QString &reasonKind)
{
    return makeEvent(QStringLiteral("turn/end"), seq,
                 obj({{QStringLiteral("turn"), JSONValue(turn)},
                      {QStringLiteral("reason"), obj({{QStringLiteral("kind"), reasonKind}})}}));
}

} // namespace nbd::test
