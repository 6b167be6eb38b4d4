#pragma once

#include "Domain/SessionEvents.h"
#include "Session/SeqSet.h"
#include "Session/TranscriptFold.h"

#include <QByteArray>

#include <memory>
#include <optional>
#include <vector>

namespace nbd {

// The live events a session model keeps so that loading an older page can fold them again
// on top of the history. A session that streams all day admits hundreds of thousands of
// events, nearly all of them small chunks that the final assistant message of their step
// covers: a refold skips those (the history fold's covered-chunk rule) and only records
// them as seen. So a covered chunk is not kept, only its sequence number; and every event
// that is kept is held as its JSON text, a fraction of the size of its decoded tree.
class RetainedLiveEntries
{
public:
    // One kept event: its number and its JSON text, {"event": …, "view": {"for", "view"}}.
    // An event that has no JSON text (a NaN or an infinity in its data) is kept decoded.
    struct Record
    {
        qint64 seq = 0;
        QByteArray json;
        std::shared_ptr<const HistoryEntry> decoded;
    };

    // Takes in a live event in arrival order. A chunk already covered by a kept final
    // message is only counted as dropped; a final message drops the kept chunks it covers.
    void append(const SessionEvent &event, const std::optional<ToolEventView> &view);
    void clear();

    bool empty() const noexcept { return m_records.empty(); }
    size_t size() const noexcept { return m_records.size(); }
    const std::vector<Record> &records() const noexcept { return m_records; }
    // The chunks left out; a refold records them as seen.
    const SeqSet &droppedSeqs() const noexcept { return m_dropped; }
    // What the kept final messages cover.
    const TranscriptFold::CoveredChunks &coverage() const noexcept { return m_coverage; }

    // The kept events, decoded, in the order they were appended. Safe on any thread for a
    // copy of the records (their texts are shared, never changed).
    static std::vector<HistoryEntry> decode(const std::vector<Record> &records);
    std::vector<HistoryEntry> entries() const { return decode(m_records); }

    static Record encode(const SessionEvent &event, const std::optional<ToolEventView> &view);

private:
    // A kept chunk that no kept message covers yet.
    struct PendingChunk
    {
        size_t index = 0; // in m_records
        qint64 seq = 0;
        TranscriptFold::StepKey step;
    };

    void dropCoveredChunks();

    std::vector<Record> m_records;
    std::vector<PendingChunk> m_pending; // ascending by index
    TranscriptFold::CoveredChunks m_coverage;
    SeqSet m_dropped;
};

} // namespace nbd
