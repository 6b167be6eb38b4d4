#pragma once

#include "Session/Transcript.h"
#include "UI/Inspection/TrajectoryEventSelection.h"

#include <QSet>
#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace nbd {

// The heading of one turn in the ledger: its number and status, and how many of its events
// the ledger lists under the current search.
struct TrajectoryTurnHeading
{
    qint64 turn = 0;
    TurnStatus status;
    qint64 visibleCount = 0;

    bool operator==(const TrajectoryTurnHeading &) const = default;
};

// One row of the ledger: a turn heading or an event.
struct TrajectoryLedgerItem
{
    enum class Kind : quint8 { Turn, Event };
    Kind kind = Kind::Event;
    TrajectoryTurnHeading heading;  // Turn
    TrajectoryEventSelection event; // Event

    static TrajectoryLedgerItem turnItem(TrajectoryTurnHeading heading)
    {
        return {Kind::Turn, std::move(heading), {}};
    }
    static TrajectoryLedgerItem eventItem(TrajectoryEventSelection event) { return {Kind::Event, {}, std::move(event)}; }

    bool isTurn() const { return kind == Kind::Turn; }
    // The event's id, or "turn-header-" and the turn number.
    QString id() const;
    bool operator==(const TrajectoryLedgerItem &) const = default;
};

// One mark of the overview strip: an event and its lane (0 input, 1 model, 2 tools).
struct TrajectoryTimelineEntry
{
    TrajectoryEventSelection event;
    qint64 lane = 0;

    const QString &id() const { return event.id; }
    bool operator==(const TrajectoryTimelineEntry &) const = default;
};

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
    TrajectoryLedgerIndex(const std::vector<TranscriptItem> &items, bool collapseCalls);

    std::vector<TrajectoryLedgerItem> ledger(const QString &query, const QSet<qint64> &collapsedTurns) const;
    const std::vector<qint64> &turnNumbers() const { return m_turnNumbers; }
    // The strip's entries of the same transcript (TrajectoryLedger::timelineEvents()).
    const std::vector<TrajectoryTimelineEntry> &timeline() const { return m_timeline; }
    // The events of the ledger with an empty search and nothing collapsed.
    qsizetype eventCount() const { return qsizetype(m_events.size()); }

private:
    struct Group
    {
        bool isTurn = false;
        TrajectoryTurnHeading heading; // turns
        qsizetype first = 0;           // into m_events
        qsizetype count = 0;
    };

    bool eventMatches(qsizetype index, const QString &query) const;

    std::vector<Group> m_groups;
    std::vector<TrajectoryEventSelection> m_events;
    std::vector<qint64> m_turnNumbers;
    std::vector<TrajectoryTimelineEntry> m_timeline;
    // Lower-cased searchable fields per event, made on the first search.
    mutable std::vector<std::array<QString, 5>> m_keys;
};

} // namespace nbd
