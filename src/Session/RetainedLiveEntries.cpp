#include "Session/RetainedLiveEntries.h"

#include "Wire/WireErrors.h"

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

std::optional<TranscriptFold::StepKey> chunkStep(const SessionEvent &event)
{
    if (event.type != u"assistant/chunk" || !event.data.isObject())
        return std::nullopt;
    const JSONValue *turn = event.data.find(u"turn");
    const JSONValue *step = event.data.find(u"step");
    const auto t = turn ? turn->toInt() : std::nullopt;
    const auto s = step ? step->toInt() : std::nullopt;
    if (!t || !s)
        return std::nullopt;
    return TranscriptFold::StepKey{*t, *s};
}

} // namespace

RetainedLiveEntries::Record RetainedLiveEntries::encode(const SessionEvent &event, const std::optional<ToolEventView> &view)
{
    JSONValue::Members members{{u"type"_s, JSONValue(event.type)},
                               {u"seq"_s, JSONValue(event.seq)},
                               {u"time"_s, JSONValue(event.time)},
                               {u"data"_s, event.data}};
    if (event.sourceEventSeqs) {
        JSONValue::Elements seqs;
        seqs.reserve(event.sourceEventSeqs->size());
        for (const qint64 seq : *event.sourceEventSeqs)
            seqs.emplace_back(seq);
        members.emplace_back(u"sourceEventSeqs"_s, JSONValue::array(std::move(seqs)));
    }
    if (event.surfaceOp)
        members.emplace_back(u"surfaceOp"_s, *event.surfaceOp);
    if (event.ignorable)
        members.emplace_back(u"ignorable"_s, JSONValue(*event.ignorable));
    JSONValue::Members entry{{u"event"_s, JSONValue::object(std::move(members))}};
    if (view)
        entry.emplace_back(u"view"_s, JSONValue::object({{u"for"_s, view->for_}, {u"view"_s, view->view}}));

    Record record;
    record.seq = event.seq;
    // Integers beyond 2^53 would not come back exactly through a double.
    const bool exact = std::abs(event.seq) < (qint64(1) << 53)
                       && (!event.sourceEventSeqs
                           || std::all_of(event.sourceEventSeqs->begin(), event.sourceEventSeqs->end(),
                                          [](qint64 s) { return std::abs(s) < (qint64(1) << 53); }));
    std::optional<QByteArray> json = exact ? JSONValue::object(std::move(entry)).data() : std::nullopt;
    if (json)
        record.json = std::move(*json);
    else
        record.decoded = std::make_shared<const HistoryEntry>(HistoryEntry{event, view});
    return record;
}

std::vector<HistoryEntry> RetainedLiveEntries::decode(const std::vector<Record> &records)
{
    std::vector<HistoryEntry> entries;
    entries.reserve(records.size());
    for (const Record &record : records) {
        if (record.decoded) {
            entries.push_back(*record.decoded);
            continue;
        }
        // The text was written by encode(): it reads back as the event it was made from.
        const JSONValue value = parseJSON(record.json);
        HistoryEntry entry;
        entry.event = SessionEvent::fromLiveValue(*value.find(u"event"));
        if (const JSONValue *view = value.find(u"view"))
            entry.view = ToolEventView::fromJson(*view);
        entries.push_back(std::move(entry));
    }
    return entries;
}

void RetainedLiveEntries::append(const SessionEvent &event, const std::optional<ToolEventView> &view)
{
    const std::optional<TranscriptFold::StepKey> step = chunkStep(event);
    if (step && m_coverage.covers(event.seq, *step)) {
        m_dropped.insert(event.seq);
        return;
    }
    m_records.push_back(encode(event, view));
    if (step)
        m_pending.push_back(PendingChunk{m_records.size() - 1, event.seq, *step});
    if (m_coverage.add(event))
        dropCoveredChunks();
}

void RetainedLiveEntries::dropCoveredChunks()
{
    const auto covered = [this](const PendingChunk &chunk) { return m_coverage.covers(chunk.seq, chunk.step); };
    if (std::none_of(m_pending.begin(), m_pending.end(), covered))
        return;
    // One pass from the oldest pending chunk: covered chunks go, the rest close up.
    std::vector<PendingChunk> stillPending;
    size_t next = 0;
    size_t out = m_pending.front().index;
    for (size_t i = out; i < m_records.size(); ++i) {
        if (next < m_pending.size() && m_pending[next].index == i) {
            const PendingChunk &chunk = m_pending[next++];
            if (covered(chunk)) {
                m_dropped.insert(chunk.seq);
                continue;
            }
            stillPending.push_back(PendingChunk{out, chunk.seq, chunk.step});
        }
        if (out != i)
            m_records[out] = std::move(m_records[i]);
        ++out;
    }
    m_records.resize(out);
    m_pending = std::move(stillPending);
}

void RetainedLiveEntries::clear()
{
    m_records.clear();
    m_records.shrink_to_fit();
    m_pending.clear();
    m_coverage = {};
    m_dropped = {};
}

} // namespace nbd
