#pragma once

#include "Domain/SessionEvents.h"
#include "Session/SeqSet.h"
#include "Session/Transcript.h"

#include <QHashFunctions>
#include <QSet>
#include <QString>

#include <atomic>
#include <optional>
#include <span>
#include <vector>

namespace nbd {

// Pure functions from a session's events and projections to a FoldState. No Qt object,
// no timer, no I/O: they run on whichever thread folds, and they never fail; input of the
// wrong shape changes less or nothing.
class TranscriptFold
{
public:
    TranscriptFold() = delete;

    // One step of one turn.
    struct StepKey
    {
        qint64 turn = 0;
        qint64 step = 0;

        bool operator==(const StepKey &) const = default;
        friend size_t qHash(const StepKey &key, size_t seed = 0) noexcept { return qHashMulti(seed, key.turn, key.step); }
    };

    // Folds one event. `view` is the host's tool presentation that came with it: either the
    // presentation itself or an object carrying it under "view".
    static void fold(const SessionEvent &event, const std::optional<JSONValue> &view, FoldState &state);

    // The streamed chunks that final assistant messages make redundant: the chunks a
    // message names in "sourceEventSeqs", else every chunk of its (turn, step).
    class CoveredChunks
    {
    public:
        // Takes in what one event covers (only final messages that replace no surface cover).
        // True when the event is such a message.
        bool add(const SessionEvent &event);
        // Whether the event is a chunk of a turn and step that some added message covers.
        bool covers(const SessionEvent &event) const;
        // The same for a chunk already known to have that number, turn and step.
        bool covers(qint64 seq, const StepKey &step) const { return m_seqs.contains(seq) || m_steps.contains(step); }

    private:
        SeqSet m_seqs;
        QSet<StepKey> m_steps;
    };

    // Folds a run of history entries in sequence order, leaving out the streamed chunks that
    // a final assistant message covers (they still count as seen). Checks `cancelled` before
    // every entry of both passes and returns at once when it is set; the state is then only
    // partly folded and must be discarded.
    static void foldHistory(const std::vector<HistoryEntry> &events, FoldState &state,
                            const std::atomic<bool> *cancelled = nullptr);
    // The second pass of foldHistory on its own: the entries in sequence order (stable),
    // covered chunks only recorded as seen. False when it stopped at `cancelled`.
    static bool foldUncovered(const std::vector<const HistoryEntry *> &entries, const CoveredChunks &covered,
                              FoldState &state, const std::atomic<bool> *cancelled = nullptr);
    // Entries sorted by sequence number, keeping the given order among equal numbers.
    static std::vector<const HistoryEntry *> sortedBySeq(const std::vector<HistoryEntry> &entries);

    // Applies one projection value to the side fields; never touches the transcript rows.
    static void applyProjection(const QString &key, const JSONValue &value, FoldState &state);

    // "goal/change" data.
    static void applyGoalChange(const JSONValue &data, FoldState &state);
    static std::optional<GoalSnapshot> parseGoal(const JSONValue &object);
    // The "reason" member of a turn end (absent, or any value).
    static TurnEndReason parseTurnEndReason(const JSONValue *reason);
    // A "tokenUsage" projection value ("uncachedInputTokens" wins over "inputTokens").
    static std::optional<TokenUsage> parseProjectedTokenUsage(const JSONValue *usage);

    // One content block of an assistant message or a finished stream block. The block's
    // seq is left unnumbered for the caller to set.
    static std::optional<BlockItem> parseContentBlock(const JSONValue &block, qint64 fallbackIndex);
    // The text parts of a content list, joined by "\n".
    static QString extractText(std::span<const JSONValue> parts);
    // The image parts of a content list, in order.
    static std::vector<ImageAttachmentRef> extractImages(std::span<const JSONValue> parts);
};

} // namespace nbd
