#include "UI/Inspection/TrajectoryLedger.h"

#include "Domain/Graphemes.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

using Store = TrajectoryEventStore;
using Summary = Store::Summary;
using Source = Store::Source;
using IdForm = Store::IdForm;
using Record = Store::Record;
using TextSlot = Store::TextSlot;

// The id of a user message, "user-" and the counter, is made when read.
Record userRecord(Store &texts, const UserMessageItem &message, qint64 counter)
{
    Record r;
    r.role = Store::kUser;
    r.title = Store::kUserTitle;
    r.payload = texts.addText(message.text);
    r.how = Summary::Preview;
    r.idForm = IdForm::User;
    r.idNumber = counter;
    return r;
}

Record noticeRecord(Store &texts, const NoticeItem &notice, qint64 counter)
{
    Record r;
    r.id = texts.addText(u"notice-"_s + QString::number(counter) + u'-' + notice.id);
    r.role = Store::kSystem;
    r.title = texts.addText(notice.text);
    r.payload = texts.addText(notice.detail);
    r.isError = notice.tint == NoticeTint::danger;
    r.how = Summary::Preview;
    r.from = notice.detail ? Source::Payload : Source::Title;
    return r;
}

// Where a walk over the transcript puts its events: the ledger's store, the strip's entries,
// and the store of the strip's marks that are no ledger row. Without a ledger every mark goes
// to that last store; without a strip nothing is marked. When both stores are there they share
// one table of texts.
struct Sink
{
    std::shared_ptr<Store> ledger;
    std::shared_ptr<Store> stripOnly;
    std::vector<TrajectoryTimelineEntry> *timeline = nullptr;
    std::vector<qsizetype> *sources = nullptr; // per mark, where its event lies (as the index keeps it)

    Store &texts() { return ledger ? *ledger : *stripOnly; }

    // One event that is a ledger row and a mark alike.
    void both(const Record &record, qint64 lane)
    {
        if (ledger) {
            const qsizetype at = ledger->add(record);
            if (timeline) {
                timeline->emplace_back(ledger, at, lane);
                if (sources)
                    sources->push_back(at);
            }
        } else {
            mark(record, lane);
        }
    }
    void row(const Record &record)
    {
        if (ledger)
            ledger->add(record);
    }
    void mark(const Record &record, qint64 lane)
    {
        if (timeline) {
            const qsizetype at = stripOnly->add(record);
            timeline->emplace_back(stripOnly, at, lane);
            if (sources)
                sources->push_back(-1 - at);
        }
    }
};

// The events of one turn for the ledger and the marks for the strip, in one walk. Ids are made
// when read: "turn-T-step-S-block-I", with "-request" or "-result" for the halves of a call.
void walkTurn(const TurnItem &turn, bool collapseCalls, Sink &sink)
{
    Store &texts = sink.texts();
    Record r;
    r.turn = turn.turn;
    r.hasTurn = true;
    r.hasStep = true;
    for (const StepItem &step : turn.steps) {
        r.step = step.step;
        for (const BlockItem &block : step.blocks) {
            r.idNumber = block.index;
            r.idForm = IdForm::Block;
            r.result = Store::kNoText;
            r.isError = false;
            r.from = Source::Payload;
            switch (block.kind) {
            case BlockKind::text:
                r.role = Store::kAssistant;
                r.title = Store::kReplyTitle;
                r.payload = texts.addText(block.text);
                r.how = Summary::Preview;
                sink.both(r, 1);
                break;
            case BlockKind::reasoning:
                r.role = Store::kAssistant;
                r.title = Store::kReasoningTitle;
                r.payload = texts.addText(block.text);
                r.how = Summary::Characters;
                if (!block.text.isEmpty()) {
                    sink.both(r, 1);
                    break;
                }
                // The ledger says a block without text is still coming; the strip counts it.
                sink.mark(r, 1);
                r.how = Summary::Given;
                r.summary = Store::kComing;
                sink.row(r);
                break;
            case BlockKind::toolCall: {
                const TextSlot name = block.toolName ? texts.addText(*block.toolName) : Store::kToolTitle;
                const TextSlot arguments = texts.addText(block.arguments);
                const TextSlot result = texts.addText(block.resultText);
                // The whole call is summarised from its result, or its arguments while it runs.
                Record call = r;
                call.role = Store::kTool;
                call.title = name;
                call.payload = arguments;
                call.result = result;
                call.isError = block.resultIsError;
                call.how = !block.resultText ? Summary::Running : block.resultIsError ? Summary::Failed : Summary::Done;
                call.from = block.resultText ? Source::Result : Source::Payload;
                if (collapseCalls) {
                    sink.both(call, 2);
                    break;
                }
                // The strip's mark carries the whole call under the id of the call's first row
                // in the ledger, so that picking the mark selects that row.
                call.idForm = IdForm::Request;
                sink.mark(call, 2);
                if (!sink.ledger)
                    break;
                Record request = r;
                request.role = Store::kAssistant;
                request.title = name;
                request.payload = arguments;
                request.how = Summary::Preview;
                request.idForm = IdForm::Request;
                sink.row(request);
                if (block.resultText) {
                    Record answer = r;
                    answer.role = Store::kTool;
                    answer.title = name;
                    answer.payload = Store::kNoText;
                    answer.result = result;
                    answer.isError = block.resultIsError;
                    answer.how = Summary::Preview;
                    answer.from = Source::Result;
                    answer.idForm = IdForm::Result;
                    sink.row(answer);
                }
                break;
            }
            }
        }
    }
}

} // namespace

namespace TrajectoryLedger {

qint64 characterCount(const QString &text)
{
    return qint64(Graphemes::count(text));
}

QString preview(const QString &text)
{
    // Only the head of the text is segmented: previews of long tool results stay cheap.
    const qsizetype size = text.size();
    qsizetype start = 0;
    while (start < size && text.at(start).isSpace())
        ++start;
    if (start == size)
        return QString();
    auto [end, full] = Graphemes::prefixEnd(QStringView(text).mid(start), kPreviewCharacters);
    end += start;
    // More follows when anything but blanks and line breaks comes after the cut; looked for
    // from the cut on, so that the tail of a long text is never touched.
    bool more = false;
    if (full) {
        qsizetype next = end;
        while (next < size && text.at(next).isSpace())
            ++next;
        more = next < size;
    }
    if (!more) {
        while (end > start && text.at(end - 1).isSpace())
            --end;
    }
    QString out(end - start + (more ? 1 : 0), Qt::Uninitialized);
    const QChar *from = text.constData() + start;
    QChar *to = out.data();
    for (qsizetype i = 0; i < end - start; ++i)
        to[i] = from[i] == u'\n' ? QChar(u' ') : from[i];
    if (more)
        to[end - start] = QChar(u'…');
    return out;
}

QString toolSummary(const BlockItem &block)
{
    if (!block.resultText)
        return u"运行中 · "_s + preview(block.arguments);
    if (block.resultIsError)
        return u"失败 · "_s + preview(*block.resultText);
    return u"完成 · "_s + preview(*block.resultText);
}

std::vector<TrajectoryEventSelection> turnEvents(const TurnItem &turn, bool collapseCalls)
{
    Sink sink;
    sink.ledger = std::make_shared<TrajectoryEventStore>();
    walkTurn(turn, collapseCalls, sink);
    std::vector<TrajectoryEventSelection> events;
    events.reserve(size_t(sink.ledger->size()));
    for (qsizetype i = 0; i < sink.ledger->size(); ++i)
        events.push_back(sink.ledger->at(i));
    return events;
}

QString settledQuery(const QString &searchText)
{
    return searchText.trimmed().toLower();
}

bool matches(const TrajectoryEventSelection &event, const QString &query)
{
    if (query.isEmpty())
        return true;
    const TrajectorySearchNeedle needle(query);
    auto holds = [&needle](const QString &field) {
        return TrajectorySearchKeys::key(field).contains(needle.text());
    };
    return holds(event.role) || holds(event.title) || holds(event.summary) || (event.payload && holds(*event.payload))
        || (event.result && holds(*event.result));
}

std::vector<qint64> turnNumbers(const std::vector<TranscriptItem> &items)
{
    std::vector<qint64> numbers;
    for (const TranscriptItem &item : items) {
        if (const auto *turn = std::get_if<TurnItem>(&item))
            numbers.push_back(turn->turn);
    }
    return numbers;
}

std::vector<TrajectoryLedgerItem> ledger(const std::vector<TranscriptItem> &items, const QString &query,
                                         const QSet<qint64> &collapsedTurns, bool collapseCalls)
{
    return TrajectoryLedgerIndex(items, collapseCalls).ledger(query, collapsedTurns);
}

std::vector<TrajectoryTimelineEntry> timelineEvents(const std::vector<TranscriptItem> &items, bool collapseCalls)
{
    std::vector<TrajectoryTimelineEntry> entries;
    Sink sink;
    sink.stripOnly = std::make_shared<TrajectoryEventStore>();
    sink.timeline = &entries;
    qint64 users = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *message = std::get_if<UserMessageItem>(&item)) {
            if (message->isPlainUser())
                sink.mark(userRecord(sink.texts(), *message, ++users), 0);
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            walkTurn(*turn, collapseCalls, sink);
        }
    }
    return entries;
}

} // namespace TrajectoryLedger

// ---- Index ----

namespace {

// Asks for the texts of an item before the walk reaches it: each event takes a reference to
// its texts, and the texts of a long run lie all over the heap.
void prefetchText(const QString &text)
{
    const char *data = reinterpret_cast<const char *>(text.constData());
    __builtin_prefetch(data - 16); // the reference count
}

void prefetchItem(const TranscriptItem &item)
{
    if (const auto *turn = std::get_if<TurnItem>(&item)) {
        for (const StepItem &step : turn->steps) {
            for (const BlockItem &block : step.blocks) {
                prefetchText(block.text);
                prefetchText(block.arguments);
                if (block.toolName)
                    prefetchText(*block.toolName);
                if (block.resultText)
                    prefetchText(*block.resultText);
            }
        }
    } else if (const auto *message = std::get_if<UserMessageItem>(&item)) {
        prefetchText(message->text);
    }
}

} // namespace

TrajectoryLedgerIndex::TrajectoryLedgerIndex(const std::vector<TranscriptItem> &items, bool collapseCalls,
                                             const TrajectoryLedgerIndex *previous)
    : m_events(std::make_shared<TrajectoryEventStore>())
    , m_stripOnly(std::make_shared<TrajectoryEventStore>(m_events->sharedTexts()))
{
    size_t blocks = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *turn = std::get_if<TurnItem>(&item)) {
            for (const StepItem &step : turn->steps)
                blocks += step.blocks.size();
        } else {
            ++blocks;
        }
    }
    m_events->reserve(collapseCalls ? blocks : blocks * 3 / 2);
    m_events->reserveTexts(blocks * 3); // a call has three; pages never written are never touched
    m_timeline.reserve(blocks);
    m_timelineSource.reserve(blocks);
    m_groups.reserve(items.size());
    Sink sink{m_events, m_stripOnly, &m_timeline, &m_timelineSource};
    qint64 users = 0;
    qint64 notices = 0;
    constexpr size_t kAhead = 2;
    for (size_t i = 0; i < std::min(kAhead, items.size()); ++i)
        prefetchItem(items[i]);
    for (size_t i = 0; i < items.size(); ++i) {
        const TranscriptItem &item = items[i];
        if (i + kAhead < items.size())
            prefetchItem(items[i + kAhead]);
        if (const auto *message = std::get_if<UserMessageItem>(&item)) {
            // Text the host injected into the context is no step of the run.
            if (!message->isPlainUser())
                continue;
            m_groups.push_back({false, {}, m_events->size(), 1});
            sink.both(userRecord(sink.texts(), *message, ++users), 0);
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            const qsizetype first = m_events->size();
            walkTurn(*turn, collapseCalls, sink);
            const qsizetype count = m_events->size() - first;
            m_groups.push_back({true, {turn->turn, turn->status, qint64(count)}, first, count});
            m_turnNumbers.push_back(turn->turn);
        } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
            m_groups.push_back({false, {}, m_events->size(), 1});
            sink.row(noticeRecord(sink.texts(), *notice, ++notices));
        }
    }
    m_keys = TrajectorySearchSegments(m_events, previous ? &previous->m_keys : nullptr);
    m_stripKeys = TrajectorySearchSegments(m_stripOnly, previous ? &previous->m_stripKeys : nullptr);
}

void TrajectoryLedgerIndex::prepareSearch() const
{
    m_keys.prepare();
    m_stripKeys.prepare();
}

bool TrajectoryLedgerIndex::isSearchPrepared() const
{
    return m_keys.isPrepared() && m_stripKeys.isPrepared();
}

std::vector<TrajectoryLedgerItem> TrajectoryLedgerIndex::ledger(const QString &query,
                                                                const QSet<qint64> &collapsedTurns) const
{
    std::vector<TrajectoryLedgerItem> rows;
    if (!m_events)
        return rows;
    const bool searching = !query.isEmpty();
    static const std::vector<bool> kEverything;
    const std::vector<bool> &hit = searching ? m_keys.matching(query) : kEverything;
    if (!searching)
        rows.reserve(size_t(m_events->size()) + m_turnNumbers.size());
    const std::shared_ptr<const TrajectoryEventStore> events = m_events;
    for (const Group &group : m_groups) {
        if (!group.isTurn) {
            if (!searching || hit[size_t(group.first)])
                rows.push_back(TrajectoryLedgerItem::eventItem(events, group.first));
            continue;
        }
        qsizetype visible = group.count;
        if (searching) {
            visible = 0;
            for (qsizetype i = group.first; i < group.first + group.count; ++i)
                visible += hit[size_t(i)] ? 1 : 0;
            if (visible == 0)
                continue;
        }
        TrajectoryTurnHeading heading = group.heading;
        heading.visibleCount = qint64(visible);
        rows.push_back(TrajectoryLedgerItem::turnItem(heading));
        if (!searching && collapsedTurns.contains(heading.turn))
            continue;
        for (qsizetype i = group.first; i < group.first + group.count; ++i) {
            if (!searching || hit[size_t(i)])
                rows.push_back(TrajectoryLedgerItem::eventItem(events, i));
        }
    }
    return rows;
}

std::vector<bool> TrajectoryLedgerIndex::timelineMatching(const QString &query) const
{
    if (query.isEmpty() || !m_events)
        return std::vector<bool>(m_timeline.size(), true);
    const std::vector<bool> &rows = m_keys.matching(query);
    const std::vector<bool> &marks = m_stripKeys.matching(query);
    std::vector<bool> hits(m_timeline.size(), false);
    for (size_t i = 0; i < m_timelineSource.size(); ++i) {
        const qsizetype source = m_timelineSource[i];
        hits[i] = source >= 0 ? rows[size_t(source)] : marks[size_t(-1 - source)];
    }
    return hits;
}

} // namespace nbd
