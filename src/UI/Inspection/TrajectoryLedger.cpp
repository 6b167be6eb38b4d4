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

// The search key of `text` (lower case, composed) for texts made only of characters whose
// lower case is themselves or a single Latin-1 letter and that composing leaves alone; appended
// to `out`. False, with `out` as it was, for any other text. Most of a run's text is such, and
// the general case mapping and composition cost several times more.
bool appendSimpleKey(QStringView text, std::u16string &out)
{
    const char16_t *u = text.utf16();
    const qsizetype n = text.size();
    const size_t start = out.size();
    out.resize(start + size_t(n));
    char16_t *to = out.data() + start;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = u[i];
        if (c < 0x80) {
            to[i] = c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
        } else if (c < 0x100) {
            // Latin-1: capitals from À to Þ (but ×) have their small letter 32 further on.
            to[i] = c >= 0xC0 && c <= 0xDE && c != 0xD7 ? char16_t(c + 32) : c;
        } else if (c >= 0x2010 && composesToItself(c) && !(c >= 0xFF21 && c <= 0xFF3A)) {
            to[i] = c; // no case (Latin Extended and the full-width capitals have one)
        } else if (isPictographPair(u, i, n)) {
            to[i] = c;
            to[i + 1] = u[i + 1];
            ++i;
        } else {
            out.resize(start);
            return false;
        }
    }
    return true;
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

const QString kUserRole = u"USER"_s;
const QString kAssistantRole = u"ASSISTANT"_s;
const QString kToolRole = u"TOOL"_s;
const QString kSystemRole = u"SYSTEM"_s;
const QString kUserTitle = u"用户消息"_s;
const QString kReplyTitle = u"回复"_s;
const QString kReasoningTitle = u"思考过程"_s;
const QString kToolTitle = u"tool"_s;

using Summary = TrajectoryEventStore::Summary;

const QString &toolName(const BlockItem &block)
{
    return block.toolName ? *block.toolName : kToolTitle;
}

// The events below come without their summaries; the store makes those when they are read.

// Its id, "user-" and the counter, is made when read.
TrajectoryEventSelection userEvent(const UserMessageItem &message)
{
    TrajectoryEventSelection event;
    event.role = kUserRole;
    event.title = kUserTitle;
    event.payload = message.text;
    return event;
}

TrajectoryEventSelection noticeEvent(const NoticeItem &notice, qint64 counter)
{
    TrajectoryEventSelection event;
    event.id = u"notice-"_s + QString::number(counter) + u'-' + notice.id;
    event.role = kSystemRole;
    event.title = notice.text;
    event.payload = notice.detail;
    event.isError = notice.tint == NoticeTint::danger;
    return event;
}

// The collapsed form of a tool call: one event with its arguments and result.
TrajectoryEventSelection toolEvent(const BlockItem &block, QString id, qint64 turn, qint64 step)
{
    TrajectoryEventSelection event;
    event.id = std::move(id);
    event.role = kToolRole;
    event.title = toolName(block);
    event.turn = turn;
    event.step = step;
    event.payload = block.arguments;
    event.result = block.resultText;
    event.isError = block.resultIsError;
    return event;
}

using Source = TrajectoryEventStore::Source;

// How a whole call is summarised, and from which of its texts.
std::pair<Summary, Source> toolSummarySource(const BlockItem &block)
{
    if (!block.resultText)
        return {Summary::Running, Source::Payload};
    return {block.resultIsError ? Summary::Failed : Summary::Done, Source::Result};
}

TrajectoryEventSelection blockEvent(const BlockItem &block, QString id, qint64 turn, qint64 step, const QString &title)
{
    TrajectoryEventSelection event;
    event.id = std::move(id);
    event.role = kAssistantRole;
    event.title = title;
    event.turn = turn;
    event.step = step;
    event.payload = block.text;
    return event;
}

// Where a walk over the transcript puts its events: the ledger's store, the strip's entries,
// and the store of the strip's marks that are no ledger row. Without a ledger every mark goes
// to that last store; without a strip nothing is marked.
struct Sink
{
    std::shared_ptr<TrajectoryEventStore> ledger;
    std::shared_ptr<TrajectoryEventStore> stripOnly;
    std::vector<TrajectoryTimelineEntry> *timeline = nullptr;
    std::vector<qsizetype> *sources = nullptr; // per mark, where its event lies (as the index keeps it)

    using IdForm = TrajectoryEventStore::IdForm;

    // One event that is a ledger row and a mark alike.
    void both(TrajectoryEventSelection event, Summary how, Source source, qint64 lane, IdForm form = IdForm::Given,
              qint64 number = 0)
    {
        if (ledger) {
            const qsizetype at = ledger->add(std::move(event), how, source, form, number);
            if (timeline) {
                timeline->emplace_back(ledger, at, lane);
                if (sources)
                    sources->push_back(at);
            }
        } else {
            mark(std::move(event), how, source, lane, form, number);
        }
    }
    void row(TrajectoryEventSelection event, Summary how, Source source, IdForm form = IdForm::Given, qint64 number = 0)
    {
        if (ledger)
            ledger->add(std::move(event), how, source, form, number);
    }
    void mark(TrajectoryEventSelection event, Summary how, Source source, qint64 lane, IdForm form = IdForm::Given,
              qint64 number = 0)
    {
        if (timeline) {
            const qsizetype at = stripOnly->add(std::move(event), how, source, form, number);
            timeline->emplace_back(stripOnly, at, lane);
            if (sources)
                sources->push_back(-1 - at);
        }
    }
};

// The events of one turn for the ledger and the marks for the strip, in one walk.
void walkTurn(const TurnItem &turn, bool collapseCalls, Sink &sink)
{
    const qint64 t = turn.turn;
    for (const StepItem &step : turn.steps) {
        const qint64 s = step.step;
        for (const BlockItem &block : step.blocks) {
            // The ids are made when read: "turn-T-step-S-block-I", with "-request" or "-result"
            // for the halves of a call.
            using IdForm = TrajectoryEventStore::IdForm;
            const qint64 i = block.index;
            switch (block.kind) {
            case BlockKind::text:
                sink.both(blockEvent(block, QString(), t, s, kReplyTitle), Summary::Preview, Source::Payload, 1,
                          IdForm::Block, i);
                break;
            case BlockKind::reasoning: {
                TrajectoryEventSelection event = blockEvent(block, QString(), t, s, kReasoningTitle);
                if (!block.text.isEmpty()) {
                    sink.both(std::move(event), Summary::Characters, Source::Payload, 1, IdForm::Block, i);
                    break;
                }
                // The ledger says a block without text is still coming; the strip counts it.
                sink.mark(event, Summary::Characters, Source::Payload, 1, IdForm::Block, i);
                event.summary = u"进行中"_s;
                sink.row(std::move(event), Summary::Given, Source::Payload, IdForm::Block, i);
                break;
            }
            case BlockKind::toolCall: {
                const auto [how, source] = toolSummarySource(block);
                if (collapseCalls) {
                    sink.both(toolEvent(block, QString(), t, s), how, source, 2, IdForm::Block, i);
                    break;
                }
                // The strip's mark carries the whole call under the id of the call's first row
                // in the ledger, so that picking the mark selects that row.
                sink.mark(toolEvent(block, QString(), t, s), how, source, 2, IdForm::Request, i);
                if (!sink.ledger)
                    break;
                TrajectoryEventSelection request;
                request.role = kAssistantRole;
                request.title = toolName(block);
                request.turn = t;
                request.step = s;
                request.payload = block.arguments;
                sink.row(std::move(request), Summary::Preview, Source::Payload, IdForm::Request, i);
                if (block.resultText) {
                    TrajectoryEventSelection result;
                    result.role = kToolRole;
                    result.title = toolName(block);
                    result.turn = t;
                    result.step = s;
                    result.result = block.resultText;
                    result.isError = block.resultIsError;
                    sink.row(std::move(result), Summary::Preview, Source::Result, IdForm::Result, i);
                }
                break;
            }
            }
        }
    }
}

} // namespace

qsizetype TrajectoryEventStore::add(TrajectoryEventSelection event, Summary how, Source from, IdForm idForm,
                                    qint64 idNumber)
{
    m_events.push_back(std::move(event));
    m_pending.push_back({how, from, false, idForm, false, idNumber});
    return qsizetype(m_events.size()) - 1;
}

qsizetype TrajectoryEventStore::formatId(qsizetype index, char16_t *buffer) const
{
    const TrajectoryEventSelection &event = m_events[size_t(index)];
    const Pending &pending = m_pending[size_t(index)];
    IdWriter w{buffer};
    if (pending.idForm == IdForm::User) {
        w.put(u"user-");
        w.number(pending.idNumber);
        return w.n;
    }
    w.block(event.turn.value_or(0), event.step.value_or(0), pending.idNumber);
    if (pending.idForm == IdForm::Request)
        w.put(u"-request");
    else if (pending.idForm == IdForm::Result)
        w.put(u"-result");
    return w.n;
}

void TrajectoryEventStore::makeId(qsizetype index) const
{
    Pending &pending = m_pending[size_t(index)];
    if (pending.idForm == IdForm::Given || pending.idMade)
        return;
    char16_t buffer[128];
    const qsizetype n = formatId(index, buffer);
    m_events[size_t(index)].id = QString(reinterpret_cast<const QChar *>(buffer), n);
    pending.idMade = true;
}

bool TrajectoryEventStore::idEquals(qsizetype index, QStringView id) const
{
    if (index < 0 || index >= size())
        return id.isEmpty();
    const Pending &pending = m_pending[size_t(index)];
    if (pending.idForm == IdForm::Given || pending.idMade)
        return m_events[size_t(index)].id == id;
    char16_t buffer[128];
    const qsizetype n = formatId(index, buffer);
    return QStringView(buffer, n) == id;
}

bool TrajectoryEventStore::sameId(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const
{
    if (index < 0 || index >= size() || otherIndex < 0 || otherIndex >= other.size())
        return false;
    const Pending &p = m_pending[size_t(index)];
    const Pending &q = other.m_pending[size_t(otherIndex)];
    if (p.idForm != IdForm::Given && q.idForm != IdForm::Given) {
        if (p.idForm != q.idForm || p.idNumber != q.idNumber)
            return false;
        if (p.idForm == IdForm::User)
            return true;
        const TrajectoryEventSelection &a = m_events[size_t(index)];
        const TrajectoryEventSelection &b = other.m_events[size_t(otherIndex)];
        return a.turn.value_or(0) == b.turn.value_or(0) && a.step.value_or(0) == b.step.value_or(0);
    }
    return idAt(index) == other.idAt(otherIndex);
}

const TrajectoryEventSelection &TrajectoryEventStore::at(qsizetype index) const
{
    makeId(index);
    TrajectoryEventSelection &event = m_events[size_t(index)];
    Pending &pending = m_pending[size_t(index)];
    if (pending.how == Summary::Given || pending.made)
        return event;
    static const QString kNone;
    const QString &source = pending.from == Source::Title ? event.title
        : pending.from == Source::Result                   ? (event.result ? *event.result : kNone)
                                                           : (event.payload ? *event.payload : kNone);
    using namespace TrajectoryLedger;
    switch (pending.how) {
    case Summary::Given:
        break;
    case Summary::Preview:
        event.summary = preview(source);
        break;
    case Summary::Running:
        event.summary = u"运行中 · "_s + preview(source);
        break;
    case Summary::Failed:
        event.summary = u"失败 · "_s + preview(source);
        break;
    case Summary::Done:
        event.summary = u"完成 · "_s + preview(source);
        break;
    case Summary::Characters:
        event.summary = QLocale().toString(characterCount(source)) + u" 字符"_s;
        break;
    }
    pending.made = true;
    return event;
}

const TrajectoryEventSelection &TrajectoryEventStore::rawAt(qsizetype index) const
{
    static const TrajectoryEventSelection kNone;
    return index >= 0 && index < size() ? m_events[size_t(index)] : kNone;
}

const QString &TrajectoryEventStore::idAt(qsizetype index) const
{
    static const QString kNone;
    if (index < 0 || index >= size())
        return kNone;
    makeId(index);
    return m_events[size_t(index)].id;
}

bool TrajectoryEventStore::same(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const
{
    if (index < 0 || index >= size() || otherIndex < 0 || otherIndex >= other.size())
        return false;
    const TrajectoryEventSelection &a = m_events[size_t(index)];
    const TrajectoryEventSelection &b = other.m_events[size_t(otherIndex)];
    if (!sameId(index, other, otherIndex) || a.role != b.role || a.title != b.title || a.turn != b.turn || a.step != b.step
        || a.payload != b.payload || a.result != b.result || a.isError != b.isError)
        return false;
    const Pending &p = m_pending[size_t(index)];
    const Pending &q = other.m_pending[size_t(otherIndex)];
    if (p.how != Summary::Given && p.how == q.how && p.from == q.from)
        return true;
    return at(index).summary == other.at(otherIndex).summary;
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

const TrajectoryEventSelection &TrajectoryTimelineEntry::bareEvent() const
{
    static const TrajectoryEventSelection kNone;
    return m_events ? m_events->rawAt(m_index) : kNone;
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
                sink.mark(userEvent(*message), Summary::Preview, Source::Payload, 0, TrajectoryEventStore::IdForm::User, ++users);
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            walkTurn(*turn, collapseCalls, sink);
        }
    }
    return entries;
}

} // namespace TrajectoryLedger

// ---- Search keys ----

namespace {

template<typename Char>
struct Lanes;

#if defined(__SSE2__)
template<>
struct Lanes<char>
{
    static constexpr int kCount = 16;
    static __m128i splat(char c) { return _mm_set1_epi8(c); }
    static __m128i equal(__m128i a, __m128i b) { return _mm_cmpeq_epi8(a, b); }
    static constexpr int kBitsPerLane = 1;
};
template<>
struct Lanes<char16_t>
{
    static constexpr int kCount = 8;
    static __m128i splat(char16_t c) { return _mm_set1_epi16(short(c)); }
    static __m128i equal(__m128i a, __m128i b) { return _mm_cmpeq_epi16(a, b); }
    static constexpr int kBitsPerLane = 2;
};
#endif

// Where `needle` first occurs in `hay` at or after `from`, or -1. Looks at a vector of
// positions at a time for the needle's first and last character, and compares the rest only
// where both agree.
template<typename Char>
qsizetype findFrom(const Char *hay, qsizetype n, const Char *needle, qsizetype m, qsizetype from)
{
    const Char first = needle[0];
    const Char last = needle[m - 1];
    qsizetype i = from;
#if defined(__SSE2__)
    using L = Lanes<Char>;
    const __m128i firstV = L::splat(first);
    const __m128i lastV = L::splat(last);
    for (; i + m - 1 + L::kCount <= n; i += L::kCount) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hay + i + m - 1));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(L::equal(a, firstV), L::equal(b, lastV))));
        while (mask) {
            const int lane = std::countr_zero(mask) / L::kBitsPerLane;
            if (m <= 2 || std::memcmp(hay + i + lane + 1, needle + 1, size_t(m - 2) * sizeof(Char)) == 0)
                return i + lane;
            for (int k = 0; k < L::kBitsPerLane; ++k)
                mask &= mask - 1;
        }
    }
#endif
    for (; i + m <= n; ++i) {
        if (hay[i] == first && hay[i + m - 1] == last
            && (m <= 2 || std::memcmp(hay + i + 1, needle + 1, size_t(m - 2) * sizeof(Char)) == 0))
            return i;
    }
    return -1;
}

// Marks the events that hold `needle` in one of these fields. A hit counts only inside one
// field; one that runs across two is looked past.
template<typename Char>
void findIn(const std::basic_string<Char> &text, const std::vector<qsizetype> &start, const std::vector<qsizetype> &event,
            const std::basic_string<Char> &needle, std::vector<bool> &hits)
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

} // namespace

void TrajectorySearchKeys::addField(const QString &field)
{
    const qsizetype size = field.size();
    const char16_t *u = reinterpret_cast<const char16_t *>(field.utf16());
    bool ascii = true;
    bool latin1 = true;
    for (qsizetype i = 0; i < size && latin1; ++i) {
        ascii = ascii && u[i] < 0x80;
        latin1 = u[i] < 0x100;
    }
    if (size == 0)
        return;
    if (ascii) {
        // Plain ASCII, the bulk of a run's text, is lower-cased in place.
        const size_t at = m_narrow.text.size();
        m_narrow.text.resize(at + size_t(size));
        char *out = m_narrow.text.data() + at;
        for (qsizetype i = 0; i < size; ++i)
            out[i] = char(u[i] >= u'A' && u[i] <= u'Z' ? u[i] + 32 : u[i]);
        m_narrow.start.push_back(qsizetype(m_narrow.text.size()));
        m_narrow.event.push_back(m_events);
        return;
    }
    if (latin1) {
        // Latin-1 needs no composing; lower-cased one byte a character.
        const size_t at = m_narrow.text.size();
        m_narrow.text.resize(at + size_t(size));
        char *out = m_narrow.text.data() + at;
        for (qsizetype i = 0; i < size; ++i) {
            const char16_t c = u[i];
            out[i] = char(c < 0x80 ? (c >= u'A' && c <= u'Z' ? c + 32 : c) : (c >= 0xC0 && c <= 0xDE && c != 0xD7 ? c + 32 : c));
        }
        m_narrow.start.push_back(qsizetype(m_narrow.text.size()));
        m_narrow.event.push_back(m_events);
        return;
    }
    if (!appendSimpleKey(field, m_wide.text)) {
        // Anything else goes the long way, which also composes it.
        const QString key = searchKey(field);
        const char16_t *k = reinterpret_cast<const char16_t *>(key.utf16());
        bool narrow = true;
        for (qsizetype i = 0; i < key.size() && narrow; ++i)
            narrow = k[i] < 0x100;
        if (narrow) {
            for (qsizetype i = 0; i < key.size(); ++i)
                m_narrow.text.push_back(char(k[i]));
            m_narrow.start.push_back(qsizetype(m_narrow.text.size()));
            m_narrow.event.push_back(m_events);
            return;
        }
        m_wide.text.append(k, size_t(key.size()));
    }
    m_wide.start.push_back(qsizetype(m_wide.text.size()));
    m_wide.event.push_back(m_events);
}

void TrajectorySearchKeys::add(const TrajectoryEventSelection &event)
{
    addField(event.role);
    addField(event.title);
    addField(event.summary);
    if (event.payload)
        addField(*event.payload);
    if (event.result)
        addField(*event.result);
    ++m_events;
}

std::vector<bool> TrajectorySearchKeys::matching(const QString &query) const
{
    if (query.isEmpty())
        return std::vector<bool>(size_t(m_events), true);
    std::vector<bool> hits(size_t(m_events), false);
    const QString needle = mayChangeWhenComposed(query) ? query.normalized(QString::NormalizationForm_C) : query;
    const char16_t *u = reinterpret_cast<const char16_t *>(needle.utf16());
    std::u16string wide(u, size_t(needle.size()));
    findIn(m_wide.text, m_wide.start, m_wide.event, wide, hits);
    // Latin-1 fields can hold only a Latin-1 needle.
    if (std::all_of(wide.begin(), wide.end(), [](char16_t c) { return c < 0x100; })) {
        std::string narrow(wide.size(), '\0');
        std::transform(wide.begin(), wide.end(), narrow.begin(), [](char16_t c) { return char(c); });
        findIn(m_narrow.text, m_narrow.start, m_narrow.event, narrow, hits);
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
    , m_stripOnly(std::make_shared<TrajectoryEventStore>())
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
            sink.both(userEvent(*message), Summary::Preview, Source::Payload, 0, TrajectoryEventStore::IdForm::User, ++users);
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            const qsizetype first = m_events->size();
            walkTurn(*turn, collapseCalls, sink);
            const qsizetype count = m_events->size() - first;
            m_groups.push_back({true, {turn->turn, turn->status, qint64(count)}, first, count});
            m_turnNumbers.push_back(turn->turn);
        } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
            m_groups.push_back({false, {}, m_events->size(), 1});
            sink.row(noticeEvent(*notice, ++notices), Summary::Preview, notice->detail ? Source::Payload : Source::Title);
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
            size_t units = 0;
            for (qsizetype i = first; i < end; ++i) {
                const TrajectoryEventSelection &e = events.at(i);
                units += size_t(e.role.size() + e.title.size() + e.summary.size())
                    + size_t(e.payload ? e.payload->size() : 0) + size_t(e.result ? e.result->size() : 0);
            }
            // Pages of the part that stays unused are never touched.
            segment->reserve(units);
            for (qsizetype i = first; i < end; ++i)
                segment->add(events.at(i));
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
