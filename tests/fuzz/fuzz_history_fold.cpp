// A history page from the host, taken as one session's log: folding it as a page, and folding
// a first part as a page and the rest as live events (the live stream may repeat the last
// events the page held), must give the same state wherever the log is cut. Folding the
// page's events again changes nothing.
//
// The two ways agree for logs a host writes: a step's chunks come before its final message,
// which names only chunks of its own step. A page drops whatever chunks a message names; live,
// a message replaces only its own step. So the log is first made into such a log: a message
// keeps only the earlier chunks of its own step in its list, chunks streamed into a step after
// its final message are left out, and so are final messages of a step whose body cannot be
// read (a page would still count them as covering the step, live they change nothing),
// tool calls that name no call (a page may have dropped the chunk that streamed the id),
// chunks of a step that was not started before them (live they would create its rows before
// the rows that precede them in the log), and streamed tool-call ids that no tool call of
// their step announces before the next result (live a result could attach to a block a page
// never has), and tool-call deltas into a block its first chunk opened as text or reasoning
// (live the call then takes that block's place, a page that dropped the delta numbers it by
// the message). A final
// message without a list names all earlier chunks of its step: covering the whole step
// instead, a page would number a streamed tool call by its announcement, live by its first
// chunk.
#include "FuzzSupport.h"

#include "FoldDump.h"
#include "Session/TranscriptFold.h"
#include "Wire/JSONDecode.h"

#include <QHash>
#include <QSet>

#include <algorithm>

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

constexpr size_t kMaxEntries = 200;
// Cut points tried per input: all of them for short logs, evenly spread ones for long logs.
constexpr size_t kMaxCuts = 24;

using StepKey = TranscriptFold::StepKey;

std::optional<StepKey> stepOf(const SessionEvent &event)
{
    if (!event.data.isObject())
        return std::nullopt;
    const JSONValue *turn = event.data.find(u"turn");
    const JSONValue *step = event.data.find(u"step");
    const std::optional<qint64> t = turn ? turn->toInt() : std::nullopt;
    const std::optional<qint64> s = step ? step->toInt() : std::nullopt;
    if (!t || !s)
        return std::nullopt;
    return StepKey{*t, *s};
}

bool isFinalMessage(const SessionEvent &event)
{
    if (event.type != u"assistant/message")
        return false;
    const JSONValue *op = event.surfaceOp && event.surfaceOp->isObject() ? event.surfaceOp->find(u"op") : nullptr;
    return !(op && op->isString() && *op->stringPtr() == u"replace");
}

// A message body the fold can read: a "message" object with a "content" array.
bool hasReadableBody(const SessionEvent &event)
{
    const JSONValue *message = event.data.find(u"message");
    const JSONValue *content = message && message->isObject() ? message->find(u"content") : nullptr;
    return content && content->isArray();
}

// `log` is sorted by sequence number, each number once.
std::vector<HistoryEntry> asHostWritesIt(std::vector<HistoryEntry> log)
{
    std::erase_if(log, [](const HistoryEntry &entry) {
        const SessionEvent &e = entry.event;
        if (isFinalMessage(e))
            return stepOf(e) && !hasReadableBody(e);
        if (e.type == u"tool/call") {
            const JSONValue *callId = e.data.find(u"callId");
            return !stepOf(e) || !callId || !callId->isString();
        }
        return false;
    });
    {
        // Whether the call streamed at `i` is announced in its step before any result arrives.
        const auto announcedInTime = [&log](size_t i, const StepKey &key, const QString &id) {
            for (size_t j = i + 1; j < log.size(); ++j) {
                const SessionEvent &e = log[j].event;
                if (e.type == u"tool/result")
                    return false;
                if (e.type == u"tool/call" && *stepOf(e) == key && *e.data.find(u"callId")->stringPtr() == id)
                    return true;
            }
            return false;
        };
        const auto chunkType = [](const JSONValue &chunk) {
            const JSONValue *type = chunk.find(u"type");
            return type && type->isString() ? *type->stringPtr() : QString();
        };
        // Whether a chunk opens or streams into a tool-call block.
        const auto opensToolCall = [&chunkType](const JSONValue &chunk) {
            const JSONValue *kind = chunk.find(u"kind");
            return chunkType(chunk) == u"tool-call-delta"
                || (chunkType(chunk) == u"block-start" && kind && kind->isString()
                    && *kind->stringPtr() == u"tool-call");
        };
        QSet<StepKey> startedSteps;
        // Per step and block index: whether the block's first chunk opened a tool call.
        QHash<std::pair<StepKey, qint64>, bool> blockIsCall;
        std::vector<HistoryEntry> kept;
        for (size_t i = 0; i < log.size(); ++i) {
            const SessionEvent &e = log[i].event;
            const std::optional<StepKey> key = stepOf(e);
            if (e.type == u"step/start" && key)
                startedSteps.insert(*key);
            if (e.type == u"assistant/chunk" && key) {
                if (!startedSteps.contains(*key))
                    continue;
                const JSONValue *chunk = e.data.find(u"chunk");
                const JSONValue *id = chunk && chunk->isObject() ? chunk->find(u"id") : nullptr;
                if (id && id->isString() && !announcedInTime(i, *key, *id->stringPtr()))
                    continue;
                const JSONValue *index = chunk && chunk->isObject() ? chunk->find(u"index") : nullptr;
                if (index && index->toInt()) {
                    const std::pair<StepKey, qint64> block{*key, *index->toInt()};
                    const auto first = blockIsCall.constFind(block);
                    if (first == blockIsCall.cend())
                        blockIsCall.insert(block, opensToolCall(*chunk));
                    else if (!*first && chunkType(*chunk) == u"tool-call-delta")
                        continue;
                }
            }
            kept.push_back(log[i]);
        }
        log = std::move(kept);
    }
    QHash<qint64, StepKey> chunkSteps;
    QHash<StepKey, qint64> finishedAt; // the first final message of each step
    for (const HistoryEntry &entry : log) {
        const SessionEvent &e = entry.event;
        const std::optional<StepKey> key = stepOf(e);
        if (e.type == u"assistant/chunk" && key)
            chunkSteps.insert(e.seq, *key);
        if (isFinalMessage(e) && key && !finishedAt.contains(*key))
            finishedAt.insert(*key, e.seq);
    }
    std::vector<HistoryEntry> out;
    for (HistoryEntry &entry : log) {
        SessionEvent &e = entry.event;
        const std::optional<StepKey> key = stepOf(e);
        if (e.type == u"assistant/chunk" && key && finishedAt.contains(*key) && e.seq > finishedAt.value(*key))
            continue;
        if (isFinalMessage(e) && e.sourceEventSeqs) {
            std::erase_if(*e.sourceEventSeqs, [&](qint64 seq) {
                return !key || seq >= e.seq || !chunkSteps.contains(seq) || !(chunkSteps.value(seq) == *key);
            });
        }
        if (isFinalMessage(e) && key && (!e.sourceEventSeqs || e.sourceEventSeqs->empty())) {
            std::vector<qint64> named;
            for (auto it = chunkSteps.cbegin(); it != chunkSteps.cend(); ++it)
                if (it.key() < e.seq && it.value() == *key)
                    named.push_back(it.key());
            std::sort(named.begin(), named.end());
            if (!named.empty())
                e.sourceEventSeqs = std::move(named);
        }
        out.push_back(std::move(entry));
    }
    return out;
}

void fold(const HistoryEntry &entry, FoldState &state)
{
    std::optional<JSONValue> view;
    if (entry.view)
        view = entry.view->view;
    TranscriptFold::fold(entry.event, view, state);
}

void checkEqual(const FoldState &actual, const FoldState &expected, const QString &how)
{
    if (actual == expected)
        return;
    const QString a = test::dumpState(actual);
    const QString e = test::dumpState(expected);
    fail(__FILE__, __LINE__, "actual == expected",
         how + u"\n--- folded as a whole:\n"_s + e + u"\n--- folded in parts:\n"_s + a
             + (a == e ? u"\n(the dumps agree; a field they leave out differs)"_s : QString()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<JSONValue> value = tryParseJSON(bytes(data, size));
    if (!value)
        return 0;
    SessionHistoryValue page;
    try {
        page = json::decode<SessionHistoryValue>(*value);
    } catch (const DecodingError &) {
        return 0;
    }

    // A log: each sequence number once, in order.
    std::vector<HistoryEntry> log = page.events;
    std::stable_sort(log.begin(), log.end(),
                     [](const HistoryEntry &a, const HistoryEntry &b) { return a.event.seq < b.event.seq; });
    log.erase(std::unique(log.begin(), log.end(),
                          [](const HistoryEntry &a, const HistoryEntry &b) { return a.event.seq == b.event.seq; }),
              log.end());
    if (log.size() > kMaxEntries)
        log.resize(kMaxEntries);
    log = asHostWritesIt(std::move(log));

    FoldState whole;
    TranscriptFold::foldHistory(log, whole);

    // The page as the host sent it (any order, repeats) folds like the log.
    {
        std::vector<HistoryEntry> reversed(log.rbegin(), log.rend());
        FoldState unsorted;
        TranscriptFold::foldHistory(reversed, unsorted);
        checkEqual(unsorted, whole, u"page in reverse order"_s);
    }

    FoldState again = whole;
    for (const HistoryEntry &entry : log)
        fold(entry, again);
    checkEqual(again, whole, u"events folded a second time"_s);

    const size_t n = log.size();
    const size_t step = std::max<size_t>(1, (n + 1 + kMaxCuts - 1) / kMaxCuts);
    for (size_t cut = 0; cut <= n; cut += step) {
        for (size_t overlap : {size_t(0), size_t(2)}) {
            FoldState state;
            TranscriptFold::foldHistory(std::vector<HistoryEntry>(log.begin(), log.begin() + qsizetype(cut)), state);
            for (size_t i = cut >= overlap ? cut - overlap : 0; i < n; ++i)
                fold(log[i], state);
            checkEqual(state, whole, u"page of %1 events, then %2 live (repeating %3)"_s.arg(cut).arg(n - cut).arg(overlap));
        }
    }
    return 0;
}
