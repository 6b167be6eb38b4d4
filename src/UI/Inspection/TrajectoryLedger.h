#pragma once

#include "Session/Transcript.h"
#include "UI/Shared/TrajectoryEventSelection.h"
#include "UI/Inspection/TrajectoryEventStore.h"
#include "UI/Inspection/TrajectorySearchKeys.h"
#include "UI/Inspection/TrajectorySearchSegments.h"

#include <QSet>
#include <QString>

#include <memory>
#include <vector>

namespace nbd {

// The rules that turn a session's transcript into the trajectory's ledger and strip.
namespace TrajectoryLedger {

inline constexpr qsizetype kPreviewCharacters = 180;

// Line feeds become blanks, the ends are trimmed, and the first 180 characters (as a person
// counts them) are kept, with "…" when more followed.
QString preview(const QString &text);
// Characters as a person counts them.
qint64 characterCount(const QString &text);
// "运行中 · ", "失败 · " or "完成 · " and the preview of the arguments or the result.
QString toolSummary(const BlockItem &block);
// The block id "turn-T-step-S-block-I".
QString blockId(qint64 turn, qint64 step, qint64 index);
// The events of one turn, unfiltered: one per text or reasoning block; per tool call either one
// event (calls collapsed) or a request event and, once there is a result, a result event.
std::vector<TrajectoryEventSelection> turnEvents(const TurnItem &turn, bool collapseCalls);
// The settled form of a search text: trimmed and lower-cased.
QString settledQuery(const QString &searchText);
// Whether the event holds the (already settled) query in its lower-cased role, title,
// summary, payload or result; an empty query matches everything.
bool matches(const TrajectoryEventSelection &event, const QString &query);
// The turn numbers of the transcript, in order.
std::vector<qint64> turnNumbers(const std::vector<TranscriptItem> &items);
// The ledger under a search and collapse state: plain user messages, turns (a heading and its
// matching events; no events while collapsed and not searching; left out entirely when a
// search matches none of its events) and notices.
std::vector<TrajectoryLedgerItem> ledger(const std::vector<TranscriptItem> &items, const QString &query,
                                         const QSet<qint64> &collapsedTurns, bool collapseCalls);
// Every user input, assistant block and tool call of the run for the strip, whatever the search.
std::vector<TrajectoryTimelineEntry> timelineEvents(const std::vector<TranscriptItem> &items, bool collapseCalls);

} // namespace TrajectoryLedger

// The ledger of one transcript, built once and filtered many times: the view rebuilds it when
// the transcript or the call collapsing changes and filters it on every settled search or
// turn toggle. Gives the same rows as TrajectoryLedger::ledger().
class TrajectoryLedgerIndex
{
public:
    TrajectoryLedgerIndex() = default;
    // `previous`, when given, is the index this one replaces: the search keys it made of the
    // events that lead both unchanged are taken over, so that a run that streams while it is
    // searched does not lower-case its whole text again at every change.
    TrajectoryLedgerIndex(const std::vector<TranscriptItem> &items, bool collapseCalls,
                          const TrajectoryLedgerIndex *previous = nullptr);

    std::vector<TrajectoryLedgerItem> ledger(const QString &query, const QSet<qint64> &collapsedTurns) const;
    // Per strip entry, whether its event holds the (settled) query (all true for an empty one):
    // the answer of TrajectoryLedger::matches() for each entry of timeline().
    std::vector<bool> timelineMatching(const QString &query) const;
    const std::vector<qint64> &turnNumbers() const { return m_turnNumbers; }
    // The strip's entries of the same transcript (TrajectoryLedger::timelineEvents()).
    const std::vector<TrajectoryTimelineEntry> &timeline() const { return m_timeline; }
    // The events of the ledger with an empty search and nothing collapsed.
    qsizetype eventCount() const { return m_events ? m_events->size() : 0; }
    // Starts making the search keys of the ledger and the strip on the thread pool, so that
    // the first search finds them made.
    void prepareSearch() const;
    // Whether the search keys are all made.
    bool isSearchPrepared() const;

private:
    struct Group
    {
        bool isTurn = false;
        TrajectoryTurnHeading heading; // turns
        qsizetype first = 0;           // into m_events
        qsizetype count = 0;
    };

    std::vector<Group> m_groups;
    std::shared_ptr<TrajectoryEventStore> m_events; // the ledger's, in ledger order
    std::shared_ptr<TrajectoryEventStore> m_stripOnly; // the strip's marks that are no ledger row
    std::vector<qint64> m_turnNumbers;
    std::vector<TrajectoryTimelineEntry> m_timeline;
    // Per strip entry, its event: at that index in m_events when not negative, else at
    // -1 - value in m_stripOnly.
    std::vector<qsizetype> m_timelineSource;
    // The search keys of both stores, and the last answer of each.
    mutable TrajectorySearchSegments m_keys;
    mutable TrajectorySearchSegments m_stripKeys;
};

} // namespace nbd
