#pragma once

#include "Session/Transcript.h"
#include "UI/Inspection/TrajectoryEventSelection.h"

#include <QSet>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <memory>
#include <optional>
#include <unordered_map>
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

// The events of one trajectory, shared by the ledger's rows and the strip's entries. An event
// is kept as a small record whose texts lie in a table, one copy of each text of a block for
// all the events made of it (a call's request, result and strip mark), and is
// made into a TrajectoryEventSelection only when it is first read whole: a long run has tens
// of thousands of events and far fewer rows on screen. Its id and a summary made from free
// text are made then too; previews cost more than the rest of an event together.
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

    // How an event's id follows from its turn, step and a number, when it is not given.
    enum class IdForm : quint8 {
        Given,   // already in the event
        Block,   // "turn-T-step-S-block-N"
        Request, // the same and "-request"
        Result,  // the same and "-result"
        User,    // "user-N"
    };

    // A place in the table of texts; kNoText for a field the event lacks.
    using TextSlot = quint32;
    static constexpr TextSlot kNoText = ~TextSlot(0);
    // Texts every store holds without copying them: the roles and the fixed titles.
    enum Fixed : TextSlot {
        kEmpty,
        kUser,
        kAssistant,
        kTool,
        kSystem,
        kUserTitle,
        kReplyTitle,
        kReasoningTitle,
        kToolTitle,
        kComing,
        kFixedCount
    };

    // An event as the walks over a transcript add it: its texts by slot.
    struct Record
    {
        qint64 turn = 0;
        qint64 step = 0;
        qint64 idNumber = 0;
        TextSlot id = kEmpty; // the given id, when idForm is Given
        TextSlot role = kEmpty;
        TextSlot title = kEmpty;
        TextSlot summary = kEmpty; // the given summary, when how is Given
        TextSlot payload = kNoText;
        TextSlot result = kNoText;
        Summary how = Summary::Given;
        Source from = Source::Payload;
        IdForm idForm = IdForm::Given;
        bool isError = false;
        bool hasTurn = false; // user messages and notices have no turn and step
        bool hasStep = false;
    };

    // `texts`, when given, is a table shared with other stores: the ledger's events and the
    // strip's own marks refer to the same copies of a block's texts.
    explicit TrajectoryEventStore(std::shared_ptr<std::vector<QString>> texts = {});

    // The table of texts, for a store that is to share it.
    std::shared_ptr<std::vector<QString>> sharedTexts() const;
    void reserve(size_t count) { m_records.reserve(count); }
    // Room for `count` more texts in the table.
    void reserveTexts(size_t count) { m_texts->reserve(m_texts->size() + count); }
    // Puts a text in the table; returns its slot.
    TextSlot addText(const QString &text)
    {
        m_texts->push_back(text);
        return TextSlot(m_texts->size() - 1);
    }
    TextSlot addText(const std::optional<QString> &text) { return text ? addText(*text) : kNoText; }
    // Adds an event; returns its index.
    qsizetype add(const Record &record)
    {
        m_records.push_back(record);
        return qsizetype(m_records.size()) - 1;
    }
    qsizetype add(const TrajectoryEventSelection &event);
    qsizetype size() const { return qsizetype(m_records.size()); }
    // The event, made whole if it was not yet.
    const TrajectoryEventSelection &at(qsizetype index) const;
    // The event's id.
    const QString &idAt(qsizetype index) const;
    // Whether the event's id is `id`, without making the id.
    bool idEquals(qsizetype index, QStringView id) const;
    // Whether event `index` has the id of event `otherIndex` of `other`.
    bool sameId(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const;
    // Fields read without making the event: for the strip, which draws every mark.
    std::optional<qint64> turnAt(qsizetype index) const;
    const QString &titleAt(qsizetype index) const;
    bool isErrorAt(qsizetype index) const;
    // Whether event `index` equals event `otherIndex` of `other`; summaries still to be made
    // from the same field in the same way are equal without being made.
    bool same(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const;
    // The searchable fields of an event (role, title, summary, payload, result, the last two
    // null when absent), without keeping what is made for them.
    template<typename Visit>
    void visitSearchFields(qsizetype index, Visit &&visit) const
    {
        const Record &r = m_records[size_t(index)];
        const auto made = m_made.find(index);
        const QString summary = made != m_made.end() ? made->second.summary : summaryOf(r);
        visit(text(r.role), text(r.title), summary, optionalText(r.payload), optionalText(r.result));
    }

private:
    const QString &text(TextSlot slot) const;
    const QString *optionalText(TextSlot slot) const { return slot == kNoText ? nullptr : &text(slot); }
    QString summaryOf(const Record &record) const;
    // Writes the id of a made form into `buffer` (room for 128 units); returns its length.
    qsizetype formatId(const Record &record, char16_t *buffer) const;
    // The event's id: the given one, or one written into `buffer` (room for 128 units).
    QStringView idView(const Record &record, char16_t *buffer) const;

    std::vector<Record> m_records;
    std::shared_ptr<std::vector<QString>> m_texts;
    // The events read whole so far, by index.
    mutable std::unordered_map<qsizetype, TrajectoryEventSelection> m_made;
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
    // Fields of the event read without making it whole.
    std::optional<qint64> turn() const { return m_events ? m_events->turnAt(m_index) : std::nullopt; }
    const QString &title() const;
    bool isError() const { return m_events && m_events->isErrorAt(m_index); }
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
// events, laid end to end so that a query is found in one pass over all of them. They are
// kept in UTF-8: one byte for each character of ASCII, the bulk of a run's text.
class TrajectorySearchKeys
{
public:
    // Bytes written in place: unlike a std::string, growing it does not clear what is about to
    // be overwritten, and room asked for but never written is never touched.
    class Bytes
    {
    public:
        Bytes() = default;
        Bytes(const Bytes &) = delete;
        Bytes &operator=(const Bytes &) = delete;
        ~Bytes() { std::free(m_data); }

        void reserve(size_t capacity);
        // Room for `count` more bytes at the end; commit() says how many were written.
        char *extend(size_t count)
        {
            if (m_size + count > m_capacity)
                reserve(std::max(m_size + count, m_capacity * 2));
            return m_data + m_size;
        }
        void commit(size_t count) { m_size += count; }
        const char *data() const { return m_data; }
        size_t size() const { return m_size; }

    private:
        char *m_data = nullptr;
        size_t m_size = 0;
        size_t m_capacity = 0;
    };

    // Room for `units` UTF-16 units of fields.
    void reserve(size_t units) { m_text.reserve(units * 3); }
    void add(const TrajectoryEventSelection &event);
    // The same from its fields; payload and result are null when the event has none.
    void add(const QString &role, const QString &title, const QString &summary, const QString *payload,
             const QString *result);

    // Per event, whether it holds the (settled) query in one of its fields; all true for an
    // empty query. The same answer as TrajectoryLedger::matches() for each event.
    std::vector<bool> matching(const QString &query) const;
    qsizetype size() const { return m_events; }

private:
    void addField(const QString &field);

    Bytes m_text;                      // the fields end to end, in UTF-8
    std::vector<qsizetype> m_start{0}; // where each field begins; one more at the end
    std::vector<qsizetype> m_event;    // the event each field belongs to
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
