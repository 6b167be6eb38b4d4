#pragma once

#include "Session/Transcript.h"
#include "UI/Inspection/TrajectoryEventSelection.h"

#include <QSet>
#include <QString>

#include <array>
#include <string>
#include <memory>
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

// The events of one trajectory, shared by the ledger's rows and the strip's entries. A summary
// made from free text is made when it is first read: a long run has far more events than the
// rows on screen, and previews cost more than the rest of an event together.
class TrajectoryEventStore
{
public:
    // How an event's summary follows from its source text.
    enum class Summary : quint8 {
        Given,      // already in the event
        Preview,    // the preview of the source
        Running,    // "运行中 · " and the preview
        Failed,     // "失败 · " and the preview
        Done,       // "完成 · " and the preview
        Characters, // the source's character count and " 字符"
    };

    // The field of the event that the summary is made from.
    enum class Source : quint8 { Payload, Result, Title };

    // How an event's id follows from its turn, step and a number, when it is not given: a
    // long run has tens of thousands of events, and most ids are never read.
    enum class IdForm : quint8 {
        Given,   // already in the event
        Block,   // "turn-T-step-S-block-N"
        Request, // the same and "-request"
        Result,  // the same and "-result"
        User,    // "user-N"
    };

    void reserve(size_t count)
    {
        m_events.reserve(count);
        m_pending.reserve(count);
    }
    // Adds an event; returns its index.
    qsizetype add(TrajectoryEventSelection event, Summary how = Summary::Given, Source from = Source::Payload,
                  IdForm idForm = IdForm::Given, qint64 idNumber = 0);
    qsizetype size() const { return qsizetype(m_events.size()); }
    // The event, its summary made if it was not yet.
    const TrajectoryEventSelection &at(qsizetype index) const;
    // The event's id, without making its summary.
    const QString &idAt(qsizetype index) const;
    // Whether the event's id is `id`, without making the id.
    bool idEquals(qsizetype index, QStringView id) const;
    // Whether event `index` has the id of event `otherIndex` of `other`.
    bool sameId(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const;
    // The event as it is, its id and summary possibly not made yet: for readers of its other
    // fields.
    const TrajectoryEventSelection &rawAt(qsizetype index) const;
    // Whether event `index` equals event `otherIndex` of `other`; summaries still to be made
    // from the same field in the same way are equal without being made.
    bool same(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const;

private:
    struct Pending
    {
        Summary how = Summary::Given;
        Source from = Source::Payload;
        bool made = false;
        IdForm idForm = IdForm::Given;
        bool idMade = false;
        qint64 idNumber = 0;
    };
    // Writes the id of a pending form into `buffer` (room for 128 units); returns its length.
    qsizetype formatId(qsizetype index, char16_t *buffer) const;
    void makeId(qsizetype index) const;
    mutable std::vector<TrajectoryEventSelection> m_events;
    mutable std::vector<Pending> m_pending;
};

// One row of the ledger: a turn heading or an event. An event row refers to its event in a
// list shared with the ledger's other rows, so that rows are cheap to make, copy and diff.
struct TrajectoryLedgerItem
{
    enum class Kind : quint8 { Turn, Event };

    Kind kind = Kind::Event;
    TrajectoryTurnHeading heading; // Turn

    static TrajectoryLedgerItem turnItem(TrajectoryTurnHeading heading)
    {
        TrajectoryLedgerItem item;
        item.kind = Kind::Turn;
        item.heading = std::move(heading);
        return item;
    }
    static TrajectoryLedgerItem eventItem(TrajectoryEventSelection event)
    {
        auto store = std::make_shared<TrajectoryEventStore>();
        store->add(std::move(event));
        return eventItem(std::move(store), 0);
    }
    // Event `index` of a shared store.
    static TrajectoryLedgerItem eventItem(std::shared_ptr<const TrajectoryEventStore> events, qsizetype index)
    {
        TrajectoryLedgerItem item;
        item.m_events = std::move(events);
        item.m_index = index;
        return item;
    }

    bool isTurn() const { return kind == Kind::Turn; }
    // The event of an event row (an empty one for a turn row).
    const TrajectoryEventSelection &event() const;
    // The event's id, or "turn-header-" and the turn number.
    QString id() const;
    // Whether both rows stand for the same item: the same turn, or events of the same id.
    bool sameItem(const TrajectoryLedgerItem &other) const
    {
        if (kind != other.kind)
            return false;
        if (isTurn())
            return heading.turn == other.heading.turn;
        if (m_events && other.m_events)
            return m_events->sameId(m_index, *other.m_events, other.m_index);
        return event().id == other.event().id;
    }
    // Whether id() is `id`, without making it.
    bool idEquals(QStringView id) const;
    // Same kind, heading and event content.
    bool operator==(const TrajectoryLedgerItem &other) const
    {
        if (kind != other.kind || !(heading == other.heading))
            return false;
        if (isTurn() || (m_events == other.m_events && m_index == other.m_index))
            return true;
        if (!m_events || !other.m_events)
            return event() == other.event();
        return m_events->same(m_index, *other.m_events, other.m_index);
    }

private:
    std::shared_ptr<const TrajectoryEventStore> m_events;
    qsizetype m_index = 0;
};

// One mark of the overview strip: an event and its lane (0 input, 1 model, 2 tools).
struct TrajectoryTimelineEntry
{
    TrajectoryTimelineEntry() = default;
    TrajectoryTimelineEntry(TrajectoryEventSelection event, qint64 lane);
    // Event `index` of a shared store.
    TrajectoryTimelineEntry(std::shared_ptr<const TrajectoryEventStore> events, qsizetype index, qint64 lane)
        : lane(lane)
        , m_events(std::move(events))
        , m_index(index)
    {
    }

    qint64 lane = 0;

    const TrajectoryEventSelection &event() const;
    // The event without its id and summary made: its turn, title and error flag are there.
    const TrajectoryEventSelection &bareEvent() const;
    const QString &id() const;
    // Whether id() is `id`, without making it.
    bool idEquals(QStringView id) const { return m_events ? m_events->idEquals(m_index, id) : id.isEmpty(); }
    bool operator==(const TrajectoryTimelineEntry &other) const
    {
        if (lane != other.lane)
            return false;
        if (m_events == other.m_events && m_index == other.m_index)
            return true;
        if (!m_events || !other.m_events)
            return event() == other.event();
        return m_events->same(m_index, *other.m_events, other.m_index);
    }

private:
    std::shared_ptr<const TrajectoryEventStore> m_events;
    qsizetype m_index = 0;
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

// The lower-cased searchable fields (role, title, summary, payload, result) of a list of
// events, laid end to end so that a query is found in one pass over all of them. Fields made
// only of Latin-1 characters (most of a run's text) are kept one byte per character, the
// others in UTF-16.
class TrajectorySearchKeys
{
public:
    // Room for `units` UTF-16 units of fields, whichever way they are kept.
    void reserve(size_t units)
    {
        m_narrow.text.reserve(units);
        m_wide.text.reserve(units);
    }
    void add(const TrajectoryEventSelection &event);

    // Per event, whether it holds the (settled) query in one of its fields; all true for an
    // empty query. The same answer as TrajectoryLedger::matches() for each event.
    std::vector<bool> matching(const QString &query) const;
    qsizetype size() const { return m_events; }

private:
    void addField(const QString &field);

    template<typename Char>
    struct Fields
    {
        std::basic_string<Char> text;     // the fields end to end
        std::vector<qsizetype> start{0};  // where each field begins; one more at the end
        std::vector<qsizetype> event;     // the event each field belongs to
    };
    Fields<char> m_narrow;
    Fields<char16_t> m_wide;
    qsizetype m_events = 0;
};

// The ledger of one transcript, built once and filtered many times: the view rebuilds it when
// the transcript or the call collapsing changes and filters it on every settled search or
// turn toggle. Gives the same rows as TrajectoryLedger::ledger().
class TrajectoryLedgerIndex
{
public:
    TrajectoryLedgerIndex() = default;
    // `previous`, when given, is the index this one replaces: the searchable fields it made of
    // the events that lead both unchanged are taken over, so that a run that streams while it
    // is searched does not lower-case its whole text again at every change.
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

private:
    struct Group
    {
        bool isTurn = false;
        TrajectoryTurnHeading heading; // turns
        qsizetype first = 0;           // into m_events
        qsizetype count = 0;
    };

    // The searchable fields of one store's events, made on the first search in segments of
    // kSegment events; a rebuilt index shares the segments of the replaced one that hold only
    // events that lead both unchanged.
    struct Keys
    {
        static constexpr qsizetype kSegment = 1024;
        using Segments = std::vector<std::shared_ptr<const TrajectorySearchKeys>>;

        bool made = false;
        Segments segments; // segment k holds events k * kSegment onwards
        std::shared_ptr<const TrajectoryEventStore> previousEvents;
        Segments previousSegments;
        QString query;     // the last query matched, and its answer
        std::vector<bool> hits;

        const std::vector<bool> &matching(const TrajectoryEventStore &events, const QString &query);
    };


    std::vector<Group> m_groups;
    std::shared_ptr<TrajectoryEventStore> m_events; // the ledger's, in ledger order
    std::shared_ptr<TrajectoryEventStore> m_stripOnly; // the strip's marks that are no ledger row
    std::vector<qint64> m_turnNumbers;
    std::vector<TrajectoryTimelineEntry> m_timeline;
    // Per strip entry, its event: at that index in m_events when not negative, else at
    // -1 - value in m_stripOnly.
    std::vector<qsizetype> m_timelineSource;
    mutable Keys m_keys;
    mutable Keys m_stripKeys;
};

} // namespace nbd
