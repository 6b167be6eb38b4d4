#pragma once

#include "Session/Transcript.h"
#include "UI/Shared/TrajectoryEventSelection.h"

#include <QString>

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
    // The same for events of stores that may be none: a missing store holds one empty event.
    static bool same(const TrajectoryEventStore *events, qsizetype index, const TrajectoryEventStore *other,
                     qsizetype otherIndex);
    // Event `index` of a store that may be none; an empty event when there is none.
    static const TrajectoryEventSelection &at(const TrajectoryEventStore *events, qsizetype index);
    // The searchable fields of an event (role, title, summary, payload, result, the last two
    // null when absent), without keeping what is made for them. Reads only what the walk wrote,
    // never the events made whole: search keys are made on the thread pool while the view
    // reads events on the main thread. same() and sameId() read no more than this either.
    template<typename Visit>
    void visitSearchFields(qsizetype index, Visit &&visit) const
    {
        const Record &r = m_records[size_t(index)];
        visit(text(r.role), text(r.title), summaryOf(r), optionalText(r.payload), optionalText(r.result));
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
        return isTurn() || TrajectoryEventStore::same(m_events.get(), m_index, other.m_events.get(), other.m_index);
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
        return lane == other.lane && TrajectoryEventStore::same(m_events.get(), m_index, other.m_events.get(), other.m_index);
    }

private:
    std::shared_ptr<const TrajectoryEventStore> m_events;
    qsizetype m_index = 0;
};

} // namespace nbd
