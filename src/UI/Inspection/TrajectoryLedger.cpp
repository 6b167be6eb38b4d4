#include "UI/Inspection/TrajectoryLedger.h"

#include <QLocale>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Whether a UTF-16 unit is a whole character by itself, whatever stands around it: no
// surrogate, carriage return (CR LF is one character), combining or spacing mark, joiner,
// Hangul jamo, prepended or other extending character. Errs towards "no": those texts are
// counted exactly, only slower.
bool standsAlone(char16_t u) noexcept
{
    if (u < 0x0300)
        return u != u'\r';
    if (u >= 0x3400 && u <= 0x9FFF)
        return true; // CJK ideographs
    if ((u >= 0xD800 && u <= 0xDFFF) || (u >= 0x1100 && u <= 0x11FF) || (u >= 0xA960 && u <= 0xA97F)
        || (u >= 0xD7B0 && u <= 0xD7FF) || u == 0x200C || u == 0x200D || (u >= 0x0600 && u <= 0x0605)
        || u == 0x06DD || u == 0x070F || u == 0x0890 || u == 0x0891 || u == 0x08E2 || u == 0x0D4E || u == 0x0E33
        || u == 0x0EB3 || u == 0xFF9E || u == 0xFF9F)
        return false;
    switch (QChar::category(char32_t(u))) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
        return false;
    default:
        return true;
    }
}

// Walks the characters of `text` from its start, as a person counts them, and stops after
// `limit` characters (-1: no limit). Returns how many there were and where the last one ends.
// Two neighbouring units that each stand alone always have a boundary between them, so only
// the stretches around the other units need the exact (and slow) segmentation.
std::pair<qint64, qsizetype> walkCharacters(QStringView text, qint64 limit)
{
    const qsizetype n = text.size();
    const char16_t *u = text.utf16();
    qint64 count = 0;
    qsizetype i = 0;
    while (i < n && count != limit) {
        // A run of units that stand alone: each is a whole character, but the run's last one
        // when a unit follows that may join it.
        // Past the limit only the unit after it matters.
        const qsizetype stop = limit < 0 ? n : std::min<qsizetype>(n, i + qsizetype(limit - count) + 1);
        qsizetype j = i;
        while (j < stop && ((u[j] < 0x0300 && u[j] != u'\r') || standsAlone(u[j])))
            ++j;
        qsizetype whole = j == n ? j - i : j - i - 1;
        if (j == stop && stop < n)
            whole = j - i; // the run goes on past the limit: all its units so far are whole
        if (whole > 0) {
            if (limit >= 0)
                whole = std::min<qsizetype>(whole, qsizetype(limit - count));
            count += whole;
            i += whole;
            continue;
        }
        j = i + 1;
        while (j < n && (!standsAlone(u[j]) || !standsAlone(u[j - 1])))
            ++j;
        const QString stretch = text.mid(i, j - i).toString();
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, stretch);
        qsizetype end = 0;
        while (count != limit) {
            const qsizetype next = finder.toNextBoundary();
            if (next <= 0)
                break;
            end = next;
            ++count;
        }
        i += end;
    }
    return {count, i};
}

// The end (in units) of the first `count` characters of `text`, and whether it has that many.
std::pair<qsizetype, bool> characterEnd(QStringView text, qsizetype count)
{
    const auto [taken, end] = walkCharacters(text, count);
    return {end, taken == count};
}

// Whether a unit of the Basic Multilingual Plane neither combines nor decomposes: Latin-1,
// kana, CJK ideographs, Hangul syllables, common and full-width punctuation.
bool composesToItself(char16_t u) noexcept
{
    return u < 0x0300 || (u >= 0x3400 && u <= 0x9FFF) || (u >= 0x3000 && u <= 0x3029) || (u >= 0x3030 && u <= 0x3098)
        || (u >= 0x309B && u <= 0x30FF) || (u >= 0xFF00 && u <= 0xFF9D) || (u >= 0x2010 && u <= 0x2027)
        || (u >= 0x2030 && u <= 0x205E) || (u >= 0xAC00 && u <= 0xD7A3);
}

// Whether the surrogate pair starting at `u[i]` is a pictograph or emoji (U+1F000 to U+1FAFF):
// they have no case and neither combine nor decompose.
bool isPictographPair(const char16_t *u, qsizetype i, qsizetype n) noexcept
{
    return i + 1 < n && u[i] >= 0xD83C && u[i] <= 0xD83E && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF;
}

// Whether composing could change the text: false for texts made only of characters that
// neither combine nor decompose.
bool mayChangeWhenComposed(QStringView text) noexcept
{
    const char16_t *u = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (composesToItself(u[i]))
            continue;
        if (isPictographPair(u, i, n)) {
            ++i;
            continue;
        }
        return true;
    }
    return false;
}

// Lower case, and composed so that canonically equivalent spellings compare equal.
QString searchKey(const QString &text)
{
    QString lower = text.toLower();
    if (mayChangeWhenComposed(lower))
        lower = lower.normalized(QString::NormalizationForm_C);
    return lower;
}

// Writes an id into a caller's stack buffer, so making or comparing one allocates nothing
// until the caller turns the result into a QString. 128 units hold the longest id (110):
// three numbers of at most 20 characters, the fixed words and a suffix of at most 32.
struct IdWriter
{
    char16_t *buffer;
    qsizetype n = 0;

    void put(QStringView text) noexcept
    {
        for (QChar c : text)
            buffer[n++] = c.unicode();
    }
    void number(qint64 value) noexcept
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        for (const char *d = digits; d < end; ++d)
            buffer[n++] = char16_t(*d);
    }
    // "turn-T-step-S-block-I"
    void block(qint64 turn, qint64 step, qint64 index) noexcept
    {
        put(u"turn-");
        number(turn);
        put(u"-step-");
        number(step);
        put(u"-block-");
        number(index);
    }
};

// "turn-T-step-S-block-I" followed by `suffix`, made in one allocation: a long run has tens
// of thousands of these.
QString blockIdWith(qint64 turn, qint64 step, qint64 index, QStringView suffix)
{
    char16_t buffer[128];
    IdWriter w{buffer};
    w.block(turn, step, index);
    w.put(suffix.left(32));
    return QString(reinterpret_cast<const QChar *>(buffer), w.n);
}

using Store = TrajectoryEventStore;
using Summary = Store::Summary;
using Source = Store::Source;
using IdForm = Store::IdForm;
using Record = Store::Record;
using TextSlot = Store::TextSlot;

// The texts every store starts with, in the order of TrajectoryEventStore::Fixed. They are
// literals: copying them touches no reference count.
std::shared_ptr<std::vector<QString>> newTextTable()
{
    auto texts = std::make_shared<std::vector<QString>>();
    *texts = {QString(),    u"USER"_s,   u"ASSISTANT"_s, u"TOOL"_s, u"SYSTEM"_s,
              u"用户消息"_s, u"回复"_s,    u"思考过程"_s,  u"tool"_s, u"进行中"_s};
    Q_ASSERT(texts->size() == Store::kFixedCount);
    return texts;
}

// Equal texts, decided without reading them when both are one copy.
bool sameText(const QString &a, const QString &b)
{
    return a.size() == b.size() && (a.constData() == b.constData() || a == b);
}

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

TrajectoryEventStore::TrajectoryEventStore(std::shared_ptr<std::vector<QString>> texts)
    : m_texts(texts ? std::move(texts) : newTextTable())
{
}

std::shared_ptr<std::vector<QString>> TrajectoryEventStore::sharedTexts() const
{
    return m_texts;
}

qsizetype TrajectoryEventStore::add(const TrajectoryEventSelection &event)
{
    Record r;
    r.id = addText(event.id);
    r.role = addText(event.role);
    r.title = addText(event.title);
    r.summary = addText(event.summary);
    r.payload = addText(event.payload);
    r.result = addText(event.result);
    r.hasTurn = event.turn.has_value();
    r.turn = event.turn.value_or(0);
    r.hasStep = event.step.has_value();
    r.step = event.step.value_or(0);
    r.isError = event.isError;
    return add(r);
}

const QString &TrajectoryEventStore::text(TextSlot slot) const
{
    return (*m_texts)[slot];
}

qsizetype TrajectoryEventStore::formatId(const Record &record, char16_t *buffer) const
{
    IdWriter w{buffer};
    if (record.idForm == IdForm::User) {
        w.put(u"user-");
        w.number(record.idNumber);
        return w.n;
    }
    w.block(record.hasTurn ? record.turn : 0, record.hasStep ? record.step : 0, record.idNumber);
    if (record.idForm == IdForm::Request)
        w.put(u"-request");
    else if (record.idForm == IdForm::Result)
        w.put(u"-result");
    return w.n;
}

QStringView TrajectoryEventStore::idView(const Record &record, char16_t *buffer) const
{
    if (record.idForm == IdForm::Given)
        return text(record.id);
    return QStringView(buffer, formatId(record, buffer));
}

bool TrajectoryEventStore::idEquals(qsizetype index, QStringView id) const
{
    if (index < 0 || index >= size())
        return id.isEmpty();
    char16_t buffer[128];
    return idView(m_records[size_t(index)], buffer) == id;
}

bool TrajectoryEventStore::sameId(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const
{
    if (index < 0 || index >= size() || otherIndex < 0 || otherIndex >= other.size())
        return false;
    const Record &a = m_records[size_t(index)];
    const Record &b = other.m_records[size_t(otherIndex)];
    if (a.idForm != IdForm::Given && b.idForm != IdForm::Given) {
        if (a.idForm != b.idForm || a.idNumber != b.idNumber)
            return false;
        if (a.idForm == IdForm::User)
            return true;
        return (a.hasTurn ? a.turn : 0) == (b.hasTurn ? b.turn : 0) && (a.hasStep ? a.step : 0) == (b.hasStep ? b.step : 0);
    }
    char16_t bufferA[128];
    char16_t bufferB[128];
    return idView(a, bufferA) == other.idView(b, bufferB);
}

QString TrajectoryEventStore::summaryOf(const Record &record) const
{
    static const QString kNone;
    const TextSlot from = record.from == Source::Title ? record.title
        : record.from == Source::Result                 ? record.result
                                                        : record.payload;
    const QString &source = from == kNoText ? kNone : text(from);
    using namespace TrajectoryLedger;
    switch (record.how) {
    case Summary::Given:
        return text(record.summary);
    case Summary::Preview:
        return preview(source);
    case Summary::Running:
        return u"运行中 · "_s + preview(source);
    case Summary::Failed:
        return u"失败 · "_s + preview(source);
    case Summary::Done:
        return u"完成 · "_s + preview(source);
    case Summary::Characters:
        return QLocale().toString(characterCount(source)) + u" 字符"_s;
    }
    return QString();
}

const TrajectoryEventSelection &TrajectoryEventStore::at(qsizetype index) const
{
    static const TrajectoryEventSelection kNone;
    if (index < 0 || index >= size())
        return kNone;
    const auto found = m_made.find(index);
    if (found != m_made.end())
        return found->second;
    const Record &r = m_records[size_t(index)];
    TrajectoryEventSelection event;
    char16_t buffer[128];
    event.id = r.idForm == IdForm::Given ? text(r.id) : idView(r, buffer).toString();
    event.role = text(r.role);
    event.title = text(r.title);
    if (r.hasTurn)
        event.turn = r.turn;
    if (r.hasStep)
        event.step = r.step;
    event.summary = summaryOf(r);
    if (r.payload != kNoText)
        event.payload = text(r.payload);
    if (r.result != kNoText)
        event.result = text(r.result);
    event.isError = r.isError;
    return m_made.emplace(index, std::move(event)).first->second;
}

const QString &TrajectoryEventStore::idAt(qsizetype index) const
{
    return at(index).id;
}

std::optional<qint64> TrajectoryEventStore::turnAt(qsizetype index) const
{
    if (index < 0 || index >= size() || !m_records[size_t(index)].hasTurn)
        return std::nullopt;
    return m_records[size_t(index)].turn;
}

const QString &TrajectoryEventStore::titleAt(qsizetype index) const
{
    static const QString kNone;
    return index >= 0 && index < size() ? text(m_records[size_t(index)].title) : kNone;
}

bool TrajectoryEventStore::isErrorAt(qsizetype index) const
{
    return index >= 0 && index < size() && m_records[size_t(index)].isError;
}

bool TrajectoryEventStore::same(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const
{
    if (index < 0 || index >= size() || otherIndex < 0 || otherIndex >= other.size())
        return false;
    const Record &a = m_records[size_t(index)];
    const Record &b = other.m_records[size_t(otherIndex)];
    auto sameOptional = [&](TextSlot x, TextSlot y) {
        if ((x == kNoText) != (y == kNoText))
            return false;
        return x == kNoText || sameText(text(x), other.text(y));
    };
    if (a.hasTurn != b.hasTurn || a.hasStep != b.hasStep || (a.hasTurn && a.turn != b.turn)
        || (a.hasStep && a.step != b.step) || a.isError != b.isError || !sameId(index, other, otherIndex)
        || !sameText(text(a.role), other.text(b.role)) || !sameText(text(a.title), other.text(b.title))
        || !sameOptional(a.payload, b.payload) || !sameOptional(a.result, b.result))
        return false;
    if (a.how != Summary::Given && a.how == b.how && a.from == b.from)
        return true;
    return sameText(at(index).summary, other.at(otherIndex).summary);
}

const TrajectoryEventSelection &TrajectoryLedgerItem::event() const
{
    static const TrajectoryEventSelection kNone;
    return m_events && m_index >= 0 && m_index < m_events->size() ? m_events->at(m_index) : kNone;
}

QString TrajectoryLedgerItem::id() const
{
    if (kind == Kind::Turn)
        return u"turn-header-"_s + QString::number(heading.turn);
    return m_events ? m_events->idAt(m_index) : QString();
}

bool TrajectoryLedgerItem::idEquals(QStringView id) const
{
    if (kind == Kind::Turn) {
        constexpr QStringView prefix = u"turn-header-";
        return id.startsWith(prefix) && id.mid(prefix.size()) == QString::number(heading.turn);
    }
    return m_events ? m_events->idEquals(m_index, id) : id.isEmpty();
}

TrajectoryTimelineEntry::TrajectoryTimelineEntry(TrajectoryEventSelection event, qint64 lane)
    : lane(lane)
{
    auto store = std::make_shared<TrajectoryEventStore>();
    store->add(std::move(event));
    m_events = std::move(store);
}

const TrajectoryEventSelection &TrajectoryTimelineEntry::event() const
{
    static const TrajectoryEventSelection kNone;
    return m_events && m_index >= 0 && m_index < m_events->size() ? m_events->at(m_index) : kNone;
}

const QString &TrajectoryTimelineEntry::id() const
{
    static const QString kNone;
    return m_events ? m_events->idAt(m_index) : kNone;
}

const QString &TrajectoryTimelineEntry::title() const
{
    static const QString kNone;
    return m_events ? m_events->titleAt(m_index) : kNone;
}

namespace TrajectoryLedger {

qint64 characterCount(const QString &text)
{
    return walkCharacters(text, -1).first;
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
    auto [end, full] = characterEnd(QStringView(text).mid(start), kPreviewCharacters);
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

QString blockId(qint64 turn, qint64 step, qint64 index)
{
    return blockIdWith(turn, step, index, {});
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
    const QString needle = mayChangeWhenComposed(query) ? query.normalized(QString::NormalizationForm_C) : query;
    if (searchKey(event.role).contains(needle) || searchKey(event.title).contains(needle)
        || searchKey(event.summary).contains(needle))
        return true;
    if (event.payload && searchKey(*event.payload).contains(needle))
        return true;
    return event.result && searchKey(*event.result).contains(needle);
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

// ---- Search keys ----

namespace {

// The first candidate of `mask` (bit k: first and last byte agree at `hay + at + k`) where the
// needle's middle bytes agree too, or -1.
inline qsizetype matchInMask(unsigned mask, const char *hay, qsizetype at, const char *needle, qsizetype m)
{
    for (; mask; mask &= mask - 1) {
        const int lane = std::countr_zero(mask);
        if (m <= 2 || std::memcmp(hay + at + lane + 1, needle + 1, size_t(m - 2)) == 0)
            return at + lane;
    }
    return -1;
}

// Where `needle` first occurs in `hay` at or after `from`, or -1. Looks at a vector of
// positions at a time for the needle's first and last byte, and compares the rest only where
// both agree.
qsizetype findFromPortable(const char *hay, qsizetype n, const char *needle, qsizetype m, qsizetype from)
{
    const char first = needle[0];
    const char last = needle[m - 1];
    qsizetype i = from;
#if defined(__SSE2__)
    const __m128i firstV = _mm_set1_epi8(first);
    const __m128i lastV = _mm_set1_epi8(last);
    for (; i + m - 1 + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + i + m - 1));
        const unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, firstV), _mm_cmpeq_epi8(b, lastV))));
        if (const qsizetype at = matchInMask(mask, hay, i, needle, m); at >= 0)
            return at;
    }
#endif
    for (; i + m <= n; ++i) {
        if (hay[i] == first && hay[i + m - 1] == last
            && (m <= 2 || std::memcmp(hay + i + 1, needle + 1, size_t(m - 2)) == 0))
            return i;
    }
    return -1;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, 32 positions at a time, on processors that have AVX2.
__attribute__((target("avx2"))) qsizetype findFromWide(const char *hay, qsizetype n, const char *needle, qsizetype m,
                                                        qsizetype from)
{
    const __m256i firstV = _mm256_set1_epi8(needle[0]);
    const __m256i lastV = _mm256_set1_epi8(needle[m - 1]);
    qsizetype i = from;
    for (; i + m - 1 + 32 <= n; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i + m - 1));
        const unsigned mask =
            unsigned(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, firstV), _mm256_cmpeq_epi8(b, lastV))));
        if (const qsizetype at = matchInMask(mask, hay, i, needle, m); at >= 0)
            return at;
    }
    return findFromPortable(hay, n, needle, m, i);
}
#endif

qsizetype findFrom(const char *hay, qsizetype n, const char *needle, qsizetype m, qsizetype from)
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return findFromWide(hay, n, needle, m, from);
#endif
    return findFromPortable(hay, n, needle, m, from);
}

// Marks the events that hold `needle` in one of these fields. A hit counts only inside one
// field; one that runs across two is looked past.
void findIn(const TrajectorySearchKeys::Bytes &text, const std::vector<qsizetype> &start,
            const std::vector<qsizetype> &event, const TrajectorySearchKeys::Bytes &needle, std::vector<bool> &hits)
{
    const qsizetype n = qsizetype(text.size());
    const qsizetype m = qsizetype(needle.size());
    qsizetype from = 0;
    size_t field = 0; // hits come in order: the field only moves forward
    while (from + m <= n) {
        const qsizetype at = findFrom(text.data(), n, needle.data(), m, from);
        if (at < 0)
            return;
        while (start[field + 1] <= at)
            ++field;
        if (at + m > start[field + 1]) {
            from = at + 1;
            continue;
        }
        // The event's other fields here need no look.
        const qsizetype e = event[field];
        hits[size_t(e)] = true;
        while (field < event.size() && event[field] == e)
            ++field;
        from = start[field];
    }
}

bool isHigh(char16_t u) noexcept
{
    return u >= 0xD800 && u <= 0xDBFF;
}

bool isLow(char16_t u) noexcept
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Whether a text has a surrogate that is not half of a pair.
bool hasStraySurrogate(const char16_t *u, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        if (isHigh(u[i]) && i + 1 < n && isLow(u[i + 1]))
            ++i;
        else if (isHigh(u[i]) || isLow(u[i]))
            return true;
    }
    return false;
}

// Writes one unit below 0x10000 (a stray surrogate too) in UTF-8; returns the byte after it.
unsigned char *putUtf8(unsigned char *to, char16_t c) noexcept
{
    if (c < 0x80) {
        *to++ = (unsigned char)c;
    } else if (c < 0x800) {
        *to++ = (unsigned char)(0xC0 | (c >> 6));
        *to++ = (unsigned char)(0x80 | (c & 0x3F));
    } else {
        *to++ = (unsigned char)(0xE0 | (c >> 12));
        *to++ = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        *to++ = (unsigned char)(0x80 | (c & 0x3F));
    }
    return to;
}

unsigned char *putPairUtf8(unsigned char *to, char16_t high, char16_t low) noexcept
{
    const char32_t point = 0x10000 + ((char32_t(high) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
    *to++ = (unsigned char)(0xF0 | (point >> 18));
    *to++ = (unsigned char)(0x80 | ((point >> 12) & 0x3F));
    *to++ = (unsigned char)(0x80 | ((point >> 6) & 0x3F));
    *to++ = (unsigned char)(0x80 | (point & 0x3F));
    return to;
}

// Appends the text in UTF-8, a stray surrogate written as its own three-byte sequence (as if
// it were a character), so that every text has a form and reads back as it was.
void appendUtf8(const char16_t *u, size_t n, TrajectorySearchKeys::Bytes &out)
{
    auto *start = reinterpret_cast<unsigned char *>(out.extend(n * 3)); // a pair's two units take 4
    unsigned char *to = start;
    for (size_t i = 0; i < n; ++i) {
        if (isHigh(u[i]) && i + 1 < n && isLow(u[i + 1])) {
            to = putPairUtf8(to, u[i], u[i + 1]);
            ++i;
        } else {
            to = putUtf8(to, u[i]);
        }
    }
    out.commit(size_t(to - start));
}

// Appends the search key of a text (lower case, composed) in UTF-8, for texts made only of
// characters whose lower case is themselves or a single Latin-1 letter and that composing
// leaves alone. False, with `out` as it was, for any other text. Most of a run's text is such
// (most of it ASCII, taken sixteen units at a time), and the general case mapping and
// composition cost several times more.
bool appendSimpleKey(const char16_t *u, qsizetype n, TrajectorySearchKeys::Bytes &out)
{
    auto *start = reinterpret_cast<unsigned char *>(out.extend(size_t(n) * 3));
    unsigned char *to = start;
    qsizetype i = 0;
    while (i < n) {
#if defined(__SSE2__)
        if (i + 16 <= n) {
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i));
            const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i + 8));
            const __m128i high = _mm_set1_epi16(short(0xFF80));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(_mm_or_si128(lo, hi), high), _mm_setzero_si128())) == 0xFFFF) {
                const __m128i bytes = _mm_packus_epi16(lo, hi);
                const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('A' - 1)),
                                                    _mm_cmplt_epi8(bytes, _mm_set1_epi8('Z' + 1)));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(to),
                                 _mm_add_epi8(bytes, _mm_and_si128(upper, _mm_set1_epi8(0x20))));
                to += 16;
                i += 16;
                continue;
            }
        }
#endif
        const qsizetype stop = std::min(n, i + 16);
        for (; i < stop; ++i) {
            const char16_t c = u[i];
            if (c < 0x80) {
                *to++ = (unsigned char)(c >= u'A' && c <= u'Z' ? c + 32 : c);
            } else if (c < 0x100) {
                // Latin-1: capitals from À to Þ (but ×) have their small letter 32 further on.
                to = putUtf8(to, c >= 0xC0 && c <= 0xDE && c != 0xD7 ? char16_t(c + 32) : c);
            } else if (c >= 0x2010 && composesToItself(c) && !(c >= 0xFF21 && c <= 0xFF3A)) {
                to = putUtf8(to, c); // no case (Latin Extended and the full-width capitals have one)
            } else if (isPictographPair(u, i, n)) {
                to = putPairUtf8(to, c, u[i + 1]);
                ++i; // a pair may end just past this stretch
            } else {
                return false;
            }
        }
    }
    out.commit(size_t(to - start));
    return true;
}

// The UTF-16 form of what appendUtf8() wrote.
std::u16string fromUtf8(const char *bytes, size_t n)
{
    std::u16string out;
    out.reserve(n);
    const auto *b = reinterpret_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < n;) {
        if (b[i] < 0x80) {
            out.push_back(b[i]);
            i += 1;
        } else if (b[i] < 0xE0) {
            out.push_back(char16_t(((b[i] & 0x1F) << 6) | (b[i + 1] & 0x3F)));
            i += 2;
        } else if (b[i] < 0xF0) {
            out.push_back(char16_t(((b[i] & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F)));
            i += 3;
        } else {
            const char32_t point = (char32_t(b[i] & 0x07) << 18) | (char32_t(b[i + 1] & 0x3F) << 12)
                | (char32_t(b[i + 2] & 0x3F) << 6) | char32_t(b[i + 3] & 0x3F);
            out.push_back(char16_t(0xD800 + ((point - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((point - 0x10000) & 0x3FF)));
            i += 4;
        }
    }
    return out;
}

} // namespace

void TrajectorySearchKeys::Bytes::reserve(size_t capacity)
{
    if (capacity <= m_capacity)
        return;
    char *grown = static_cast<char *>(std::realloc(m_data, capacity));
    if (!grown)
        throw std::bad_alloc();
    m_data = grown;
    m_capacity = capacity;
}

void TrajectorySearchKeys::addField(const QString &field)
{
    const qsizetype size = field.size();
    if (size == 0)
        return;
    const char16_t *u = reinterpret_cast<const char16_t *>(field.constData());
    if (!appendSimpleKey(u, size, m_text)) {
        // Anything else goes the long way, which also composes it.
        const QString key = searchKey(field);
        appendUtf8(reinterpret_cast<const char16_t *>(key.utf16()), size_t(key.size()), m_text);
    }
    m_start.push_back(qsizetype(m_text.size()));
    m_event.push_back(m_events);
}

void TrajectorySearchKeys::add(const TrajectoryEventSelection &event)
{
    add(event.role, event.title, event.summary, event.payload ? &*event.payload : nullptr,
        event.result ? &*event.result : nullptr);
}

void TrajectorySearchKeys::add(const QString &role, const QString &title, const QString &summary,
                               const QString *payload, const QString *result)
{
    addField(role);
    addField(title);
    addField(summary);
    if (payload)
        addField(*payload);
    if (result)
        addField(*result);
    ++m_events;
}

std::vector<bool> TrajectorySearchKeys::matching(const QString &query) const
{
    if (query.isEmpty())
        return std::vector<bool>(size_t(m_events), true);
    std::vector<bool> hits(size_t(m_events), false);
    const QString needle = mayChangeWhenComposed(query) ? query.normalized(QString::NormalizationForm_C) : query;
    const char16_t *u = reinterpret_cast<const char16_t *>(needle.constData());
    const size_t n = size_t(needle.size());
    if (!hasStraySurrogate(u, n)) {
        // A needle of whole characters found in UTF-8 begins and ends on whole characters, as
        // it would in UTF-16.
        Bytes bytes;
        appendUtf8(u, n, bytes);
        findIn(m_text, m_start, m_event, bytes, hits);
        return hits;
    }
    // Half of a pair can match half of a pair in the text: such a needle (no one types it) is
    // looked for in each field read back as it was.
    const QStringView view(u, qsizetype(n));
    for (size_t field = 0; field < m_event.size(); ++field) {
        const qsizetype e = m_event[field];
        if (hits[size_t(e)])
            continue;
        const std::u16string text = fromUtf8(m_text.data() + m_start[field], size_t(m_start[field + 1] - m_start[field]));
        if (QStringView(text.data(), qsizetype(text.size())).contains(view))
            hits[size_t(e)] = true;
    }
    return hits;
}

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
    if (previous) {
        if (previous->m_keys.made) {
            m_keys.previousEvents = previous->m_events;
            m_keys.previousSegments = previous->m_keys.segments;
        }
        if (previous->m_stripKeys.made) {
            m_stripKeys.previousEvents = previous->m_stripOnly;
            m_stripKeys.previousSegments = previous->m_stripKeys.segments;
        }
    }
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
}

const std::vector<bool> &TrajectoryLedgerIndex::Keys::matching(const TrajectoryEventStore &events, const QString &query)
{
    if (made && query == this->query)
        return hits;
    if (!made) {
        // Whole segments of leading events that the replaced index had unchanged are shared.
        qsizetype kept = 0;
        if (previousEvents) {
            const qsizetype limit = std::min(events.size(), qsizetype(previousSegments.size()) * kSegment);
            while (kept < limit && events.same(kept, *previousEvents, kept))
                ++kept;
        }
        const qsizetype shared = std::min(kept / kSegment, qsizetype(previousSegments.size()));
        segments.assign(previousSegments.begin(), previousSegments.begin() + shared);
        for (qsizetype first = shared * kSegment; first < events.size(); first += kSegment) {
            const qsizetype end = std::min(events.size(), first + kSegment);
            auto segment = std::make_shared<TrajectorySearchKeys>();
            // The fields are gathered once to size the segment; pages of the part that stays
            // unused are never touched.
            struct Fields
            {
                const QString *role, *title; // in the store's table
                QString summary;
                const QString *payload, *result;
            };
            std::vector<Fields> fields;
            fields.reserve(size_t(end - first));
            size_t units = 0;
            for (qsizetype i = first; i < end; ++i) {
                events.visitSearchFields(i, [&](const QString &role, const QString &title, const QString &summary,
                                                const QString *payload, const QString *result) {
                    fields.push_back({&role, &title, summary, payload, result});
                    units += size_t(role.size() + title.size() + summary.size()) + size_t(payload ? payload->size() : 0)
                        + size_t(result ? result->size() : 0);
                });
            }
            segment->reserve(units);
            for (const Fields &f : fields)
                segment->add(*f.role, *f.title, f.summary, f.payload, f.result);
            segments.push_back(std::move(segment));
        }
        made = true;
        previousEvents.reset();
        previousSegments.clear();
    }
    this->query = query;
    hits.assign(size_t(events.size()), false);
    for (size_t k = 0; k < segments.size(); ++k) {
        const std::vector<bool> part = segments[k]->matching(query);
        std::copy(part.begin(), part.end(), hits.begin() + qsizetype(k) * kSegment);
    }
    return hits;
}

std::vector<TrajectoryLedgerItem> TrajectoryLedgerIndex::ledger(const QString &query,
                                                                const QSet<qint64> &collapsedTurns) const
{
    std::vector<TrajectoryLedgerItem> rows;
    if (!m_events)
        return rows;
    const bool searching = !query.isEmpty();
    static const std::vector<bool> kEverything;
    const std::vector<bool> &hit = searching ? m_keys.matching(*m_events, query) : kEverything;
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
    const std::vector<bool> &rows = m_keys.matching(*m_events, query);
    const std::vector<bool> &marks = m_stripKeys.matching(*m_stripOnly, query);
    std::vector<bool> hits(m_timeline.size(), false);
    for (size_t i = 0; i < m_timelineSource.size(); ++i) {
        const qsizetype source = m_timelineSource[i];
        hits[i] = source >= 0 ? rows[size_t(source)] : marks[size_t(-1 - source)];
    }
    return hits;
}

} // namespace nbd
