#pragma once

#include "EventBuilders.h"

#include <QStringList>

#include <random>

// A deterministic generator of realistic session logs: user messages, turns of steps whose
// reasoning, text and tool-call blocks stream as deltas and end with a final assistant
// message, tool calls and results, notices and bookkeeping events. Numbers are consecutive
// from 1 in emission order.
namespace nbd::test {

using namespace Qt::StringLiterals;

struct GeneratedEvent
{
    SessionEvent event;
    std::optional<JSONValue> view; // the tool view that came with the event: {"for", "view"}

    HistoryEntry historyEntry() const
    {
        HistoryEntry entry;
        entry.event = event;
        if (view)
            entry.view = ToolEventView::fromJson(*view);
        return entry;
    }
};

// Sizes of what a session streams. The defaults follow a working agent: a streamed block
// of up to a few hundred small deltas (one to three words each), tool output of up to a
// few hundred words, prompts of a few dozen words.
struct SessionShape
{
    int maxDeltas = 160;
    int maxResultWords = 400;
    int maxUserWords = 60;
};

class SessionGenerator
{
public:
    explicit SessionGenerator(quint64 seed, SessionShape shape = SessionShape()) : m_random(seed), m_shape(shape) {}

    // Whole turns until at least `minEvents` events were generated, each passed through its
    // JSON text and read back as the client reads a live frame.
    std::vector<GeneratedEvent> generate(size_t minEvents)
    {
        std::vector<GeneratedEvent> out;
        while (out.size() < minEvents)
            generateTurn(out);
        return out;
    }

private:
    int below(int n) { return int(m_random() % quint64(n)); }
    bool chance(int percent) { return below(100) < percent; }

    QString words(int count)
    {
        static const QStringList vocabulary = {u"the"_s,  u"file"_s,   u"function"_s, u"returns"_s, u"读取"_s,
                                               u"配置"_s, u"并且"_s,   u"测试"_s,     u"value"_s,   u"é"_s,
                                               u"👍"_s,   u"\n"_s,     u"`code`"_s,   u"is"_s,      u"missing"_s,
                                               u"路径"_s, u"checks"_s, u"一个"_s,     u"error"_s,   u"now"_s};
        QString text;
        for (int i = 0; i < count; ++i) {
            text += vocabulary[below(int(vocabulary.size()))];
            text += u' ';
        }
        return text;
    }

    void push(std::vector<GeneratedEvent> &out, SessionEvent event, std::optional<JSONValue> view = std::nullopt)
    {
        event.seq = ++m_seq;
        GeneratedEvent received{SessionEvent::fromLiveValue(parseJSON(*eventJson(event).data())), std::nullopt};
        if (view)
            received.view = parseJSON(*view->data());
        out.push_back(std::move(received));
    }

    // Emits a chunk and remembers its number for the final message.
    void emitChunk(std::vector<GeneratedEvent> &out, std::vector<qint64> &chunkSeqs, qint64 turn, qint64 step, JSONValue chunkObject)
    {
        push(out, chunk(0, turn, step, std::move(chunkObject)));
        chunkSeqs.push_back(m_seq);
    }

    QString streamText(std::vector<GeneratedEvent> &out, std::vector<qint64> &chunkSeqs, qint64 turn, qint64 step,
                       qint64 index, bool reasoning)
    {
        const QString type = reasoning ? u"reasoning-delta"_s : u"text-delta"_s;
        QString full;
        const int deltas = 1 + below(m_shape.maxDeltas);
        for (int i = 0; i < deltas; ++i) {
            const QString piece = words(1 + below(3));
            full += piece;
            emitChunk(out, chunkSeqs, turn, step,
                      obj({{u"type"_s, type}, {u"index"_s, JSONValue(index)}, {u"text"_s, piece}}));
        }
        return full;
    }

    void generateTurn(std::vector<GeneratedEvent> &out)
    {
        const qint64 turn = ++m_turn;
        push(out, userMessage(0, words(1 + below(m_shape.maxUserWords))));
        push(out, turnStart(0, turn));
        if (chance(20))
            push(out, makeEvent(names::todoWriteEvent.toString(), 0,
                                obj({{u"todos"_s, JSONValue::array({obj({{u"content"_s, words(3)}, {u"status"_s, u"pending"}})})}})));
        const int steps = 1 + below(4);
        for (qint64 step = 1; step <= steps; ++step)
            generateStep(out, turn, step);
        if (chance(3))
            push(out, makeEvent(u"mystery/event-"_s + QString::number(below(5)), 0));
        if (chance(3)) {
            SessionEvent ignorable = makeEvent(u"future/event"_s, 0);
            ignorable.ignorable = true;
            push(out, ignorable);
        }
        if (chance(2))
            push(out, makeEvent(u"compaction/summary"_s, 0,
                                obj({{names::compactionRangeKey.toString(), obj({{u"start"_s, JSONValue(0)}, {u"end"_s, JSONValue(below(50))}})},
                                     {u"shadowedTokenCount"_s, JSONValue(below(9000))},
                                     {u"summary"_s, JSONValue::array({textPart(words(10 + below(80)))})}})));
        if (chance(5))
            push(out, makeEvent(u"session/title"_s, 0, obj({{u"title"_s, words(2)}})));
        if (chance(5))
            push(out, makeEvent(u"approval/asked"_s, 0, obj({{u"turn"_s, JSONValue(turn)}})));
        static const char16_t *reasons[] = {u"completed", u"completed", u"aborted", u"error", u"max-tokens", u"interrupted"};
        push(out, turnEnd(0, turn, QString::fromUtf16(reasons[below(6)])));
    }

    void generateStep(std::vector<GeneratedEvent> &out, qint64 turn, qint64 step)
    {
        push(out, stepStart(0, turn, step));
        std::vector<qint64> chunkSeqs;
        JSONValue::Elements content;
        qint64 index = 0;
        if (chance(50)) {
            emitChunk(out, chunkSeqs, turn, step,
                      obj({{u"type"_s, u"block-start"}, {u"index"_s, JSONValue(index)},
                           {names::blockStartKindKey.toString(), names::reasoningBlockKind.toString()}}));
            const QString text = streamText(out, chunkSeqs, turn, step, index, true);
            emitChunk(out, chunkSeqs, turn, step,
                      obj({{u"type"_s, u"block-end"}, {u"index"_s, JSONValue(index)}, {u"block"_s, reasoningBlock(text)}}));
            content.push_back(reasoningBlock(text));
            ++index;
        }
        if (chance(85)) {
            const QString text = streamText(out, chunkSeqs, turn, step, index, false);
            if (chance(60))
                emitChunk(out, chunkSeqs, turn, step,
                          obj({{u"type"_s, u"block-end"}, {u"index"_s, JSONValue(index)}, {u"block"_s, textBlock(text)}}));
            content.push_back(textBlock(text));
            ++index;
        }
        struct Call
        {
            QString id;
            QString name;
            QString arguments;
        };
        std::vector<Call> calls;
        const int callCount = below(3);
        for (int c = 0; c < callCount; ++c) {
            Call call{u"call-"_s + QString::number(++m_call), chance(50) ? u"read"_s : u"shell"_s, QString()};
            emitChunk(out, chunkSeqs, turn, step, obj({{u"type"_s, u"block-start"}, {u"index"_s, JSONValue(index)},
                                                       {names::blockStartKindKey.toString(), names::toolCallBlockKind.toString()}}));
            const int pieces = 2 + below(8);
            for (int p = 0; p < pieces; ++p) {
                const QString piece = p == 0 ? u"{\"path\": \""_s : words(1);
                call.arguments += piece;
                JSONValue::Members m{{u"type"_s, names::toolCallDeltaChunk.toString()}, {u"index"_s, JSONValue(index)},
                                     {u"argumentsDelta"_s, piece}};
                if (p == 0) {
                    m.emplace_back(u"id"_s, call.id);
                    m.emplace_back(u"name"_s, call.name);
                }
                emitChunk(out, chunkSeqs, turn, step, JSONValue::object(std::move(m)));
            }
            call.arguments += u"\"}"_s;
            emitChunk(out, chunkSeqs, turn, step,
                      obj({{u"type"_s, u"block-end"}, {u"index"_s, JSONValue(index)},
                           {u"block"_s, toolCallBlock(call.id, call.name, call.arguments)}}));
            content.push_back(toolCallBlock(call.id, call.name, call.arguments));
            calls.push_back(call);
            ++index;
        }
        if (chance(30))
            emitChunk(out, chunkSeqs, turn, step, obj({{u"type"_s, u"finish"}, {u"index"_s, JSONValue(0)}}));

        // Usage travels with the final message, so that skipping covered chunks loses nothing.
        // A message that names no sources keeps the streamed numbers of its tool calls only
        // when their chunks were folded, so such messages come only with steps without calls.
        std::optional<std::vector<qint64>> sources = chunkSeqs;
        if (calls.empty()) {
            const int form = below(100);
            if (form < 15)
                sources = std::vector<qint64>();
            else if (form < 30)
                sources.reset();
        }
        SessionEvent message = assistantMessage(0, turn, step, std::move(content), sources);
        message.data = message.data.with(u"usage"_s, obj({{u"inputTokens"_s, JSONValue(1000 + below(5000))},
                                                           {u"outputTokens"_s, JSONValue(below(800))},
                                                           {names::reasoningTokensKey.toString(), JSONValue(below(100))}}));
        push(out, message);

        for (const Call &call : calls) {
            push(out, toolCall(0, turn, step, call.id, call.name, call.arguments),
                 obj({{u"for"_s, call.id}, {u"view"_s, obj({{u"title"_s, call.name}})}}));
            SessionEvent result = toolResult(0, call.id, words(1 + below(m_shape.maxResultWords)), chance(5));
            push(out, result,
                 chance(50) ? std::optional<JSONValue>(obj({{u"for"_s, call.id}, {u"view"_s, obj({{u"lines"_s, JSONValue(3)}})}}))
                            : std::nullopt);
        }
        if (chance(1))
            push(out, toolResult(0, u"lost-"_s + QString::number(m_seq), words(4), chance(30)));
        push(out, makeEvent(u"step/end"_s, 0, turnStep(turn, step)));
    }

    std::mt19937_64 m_random;
    SessionShape m_shape;
    qint64 m_seq = 0;
    qint64 m_turn = 0;
    qint64 m_call = 0;
};

} // namespace nbd::test
