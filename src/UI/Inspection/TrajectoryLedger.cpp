#include "UI/Inspection/TrajectoryLedger.h"

#include <QLocale>
#include <QTextBoundaryFinder>

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
        if (standsAlone(u[i]) && (i + 1 >= n || standsAlone(u[i + 1]))) {
            ++count;
            ++i;
            continue;
        }
        qsizetype j = i + 1;
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

// Whether composing could change the text: false for texts made only of characters that
// neither combine nor decompose (Latin-1, kana, CJK ideographs, common punctuation).
bool mayChangeWhenComposed(QStringView text) noexcept
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x0300 || (u >= 0x3400 && u <= 0x9FFF) || (u >= 0x3000 && u <= 0x3029) || (u >= 0x3030 && u <= 0x3098)
            || (u >= 0x309B && u <= 0x30FF) || (u >= 0xFF00 && u <= 0xFF9D) || (u >= 0x2010 && u <= 0x2027)
            || (u >= 0x2030 && u <= 0x205E))
            continue;
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

const QString kUserRole = u"USER"_s;
const QString kAssistantRole = u"ASSISTANT"_s;
const QString kToolRole = u"TOOL"_s;
const QString kSystemRole = u"SYSTEM"_s;
const QString kUserTitle = u"用户消息"_s;
const QString kReplyTitle = u"回复"_s;
const QString kReasoningTitle = u"思考过程"_s;

QString toolName(const BlockItem &block)
{
    return block.toolName ? *block.toolName : u"tool"_s;
}

TrajectoryEventSelection userEvent(const UserMessageItem &message, qint64 counter)
{
    TrajectoryEventSelection event;
    event.id = u"user-"_s + QString::number(counter);
    event.role = kUserRole;
    event.title = kUserTitle;
    event.summary = TrajectoryLedger::preview(message.text);
    event.payload = message.text;
    return event;
}

TrajectoryEventSelection noticeEvent(const NoticeItem &notice, qint64 counter)
{
    TrajectoryEventSelection event;
    event.id = u"notice-"_s + QString::number(counter) + u'-' + notice.id;
    event.role = kSystemRole;
    event.title = notice.text;
    event.summary = TrajectoryLedger::preview(notice.detail ? *notice.detail : notice.text);
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
    event.summary = TrajectoryLedger::toolSummary(block);
    event.payload = block.arguments;
    event.result = block.resultText;
    event.isError = block.resultIsError;
    return event;
}

TrajectoryEventSelection textEvent(const BlockItem &block, QString id, qint64 turn, qint64 step)
{
    TrajectoryEventSelection event;
    event.id = std::move(id);
    event.role = kAssistantRole;
    event.title = kReplyTitle;
    event.turn = turn;
    event.step = step;
    event.summary = TrajectoryLedger::preview(block.text);
    event.payload = block.text;
    return event;
}

TrajectoryEventSelection reasoningEvent(const BlockItem &block, QString id, qint64 turn, qint64 step, bool inLedger,
                                        const QLocale &locale)
{
    TrajectoryEventSelection event;
    event.id = std::move(id);
    event.role = kAssistantRole;
    event.title = kReasoningTitle;
    event.turn = turn;
    event.step = step;
    event.summary = inLedger && block.text.isEmpty()
        ? u"进行中"_s
        : locale.toString(TrajectoryLedger::characterCount(block.text)) + u" 字符"_s;
    event.payload = block.text;
    return event;
}

// The events of one turn for the ledger and the marks for the strip, in one walk; either
// list may be left out. Both share the events' texts.
void walkTurn(const TurnItem &turn, bool collapseCalls, const QLocale &locale,
              std::vector<TrajectoryEventSelection> *ledger, std::vector<TrajectoryTimelineEntry> *timeline)
{
    const qint64 t = turn.turn;
    for (const StepItem &step : turn.steps) {
        const qint64 s = step.step;
        for (const BlockItem &block : step.blocks) {
            QString id = TrajectoryLedger::blockId(t, s, block.index);
            switch (block.kind) {
            case BlockKind::text: {
                TrajectoryEventSelection event = textEvent(block, std::move(id), t, s);
                if (timeline)
                    timeline->push_back({event, 1});
                if (ledger)
                    ledger->push_back(std::move(event));
                break;
            }
            case BlockKind::reasoning: {
                TrajectoryEventSelection event = reasoningEvent(block, std::move(id), t, s, true, locale);
                if (timeline) {
                    // The ledger says a block without text is still coming; the strip counts it.
                    if (block.text.isEmpty())
                        timeline->push_back({reasoningEvent(block, event.id, t, s, false, locale), 1});
                    else
                        timeline->push_back({event, 1});
                }
                if (ledger)
                    ledger->push_back(std::move(event));
                break;
            }
            case BlockKind::toolCall: {
                // The strip's mark carries the whole call under the id of the call's first
                // row in the ledger, so that picking the mark selects that row.
                if (collapseCalls) {
                    TrajectoryEventSelection event = toolEvent(block, std::move(id), t, s);
                    if (timeline)
                        timeline->push_back({event, 2});
                    if (ledger)
                        ledger->push_back(std::move(event));
                    break;
                }
                TrajectoryEventSelection request;
                request.id = id + u"-request"_s;
                if (timeline)
                    timeline->push_back({toolEvent(block, request.id, t, s), 2});
                if (!ledger)
                    break;
                request.role = kAssistantRole;
                request.title = toolName(block);
                request.turn = t;
                request.step = s;
                request.summary = TrajectoryLedger::preview(block.arguments);
                request.payload = block.arguments;
                ledger->push_back(std::move(request));
                if (block.resultText) {
                    TrajectoryEventSelection result;
                    result.id = id + u"-result"_s;
                    result.role = kToolRole;
                    result.title = toolName(block);
                    result.turn = t;
                    result.step = s;
                    result.summary = TrajectoryLedger::preview(*block.resultText);
                    result.result = block.resultText;
                    result.isError = block.resultIsError;
                    ledger->push_back(std::move(result));
                }
                break;
            }
            }
        }
    }
}

} // namespace

QString TrajectoryLedgerItem::id() const
{
    return kind == Kind::Turn ? u"turn-header-"_s + QString::number(heading.turn) : event.id;
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
    // More follows when anything but blanks and line breaks comes after the cut.
    qsizetype last = size;
    while (last > end && text.at(last - 1).isSpace())
        --last;
    const bool more = full && last > end;
    if (!more) {
        end = last;
        while (end > start && text.at(end - 1).isSpace())
            --end;
    }
    QString out = text.mid(start, end - start);
    out.replace(u'\n', u' ');
    if (more)
        out += u'…';
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
    QString id;
    id.reserve(48);
    id += u"turn-";
    id += QString::number(turn);
    id += u"-step-";
    id += QString::number(step);
    id += u"-block-";
    id += QString::number(index);
    return id;
}

std::vector<TrajectoryEventSelection> turnEvents(const TurnItem &turn, bool collapseCalls)
{
    std::vector<TrajectoryEventSelection> events;
    walkTurn(turn, collapseCalls, QLocale(), &events, nullptr);
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
    const QLocale locale;
    qint64 users = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *message = std::get_if<UserMessageItem>(&item)) {
            if (message->isPlainUser())
                entries.push_back({userEvent(*message, ++users), 0});
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            walkTurn(*turn, collapseCalls, locale, nullptr, &entries);
        }
    }
    return entries;
}

} // namespace TrajectoryLedger

TrajectoryLedgerIndex::TrajectoryLedgerIndex(const std::vector<TranscriptItem> &items, bool collapseCalls)
{
    const QLocale locale;
    size_t blocks = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *turn = std::get_if<TurnItem>(&item)) {
            for (const StepItem &step : turn->steps)
                blocks += step.blocks.size();
        } else {
            ++blocks;
        }
    }
    m_events.reserve(collapseCalls ? blocks : blocks * 3 / 2);
    m_timeline.reserve(blocks);
    m_groups.reserve(items.size());
    qint64 users = 0;
    qint64 notices = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *message = std::get_if<UserMessageItem>(&item)) {
            // Text the host injected into the context is no step of the run.
            if (!message->isPlainUser())
                continue;
            m_groups.push_back({false, {}, qsizetype(m_events.size()), 1});
            m_events.push_back(userEvent(*message, ++users));
            m_timeline.push_back({m_events.back(), 0});
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            const qsizetype first = qsizetype(m_events.size());
            walkTurn(*turn, collapseCalls, locale, &m_events, &m_timeline);
            const qsizetype count = qsizetype(m_events.size()) - first;
            m_groups.push_back({true, {turn->turn, turn->status, qint64(count)}, first, count});
            m_turnNumbers.push_back(turn->turn);
        } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
            m_groups.push_back({false, {}, qsizetype(m_events.size()), 1});
            m_events.push_back(noticeEvent(*notice, ++notices));
        }
    }
}

bool TrajectoryLedgerIndex::eventMatches(qsizetype index, const QString &query) const
{
    if (m_keys.empty()) {
        m_keys.reserve(m_events.size());
        for (const TrajectoryEventSelection &e : m_events) {
            m_keys.push_back({searchKey(e.role), searchKey(e.title), searchKey(e.summary),
                              e.payload ? searchKey(*e.payload) : QString(),
                              e.result ? searchKey(*e.result) : QString()});
        }
    }
    for (const QString &key : m_keys[size_t(index)]) {
        if (key.contains(query))
            return true;
    }
    return false;
}

std::vector<TrajectoryLedgerItem> TrajectoryLedgerIndex::ledger(const QString &query,
                                                                const QSet<qint64> &collapsedTurns) const
{
    std::vector<TrajectoryLedgerItem> rows;
    const bool searching = !query.isEmpty();
    const QString needle = mayChangeWhenComposed(query) ? query.normalized(QString::NormalizationForm_C) : query;
    if (!searching)
        rows.reserve(m_events.size() + m_turnNumbers.size());
    std::vector<qsizetype> hits;
    for (const Group &group : m_groups) {
        if (!group.isTurn) {
            if (!searching || eventMatches(group.first, needle))
                rows.push_back(TrajectoryLedgerItem::eventItem(m_events[size_t(group.first)]));
            continue;
        }
        hits.clear();
        for (qsizetype i = group.first; i < group.first + group.count; ++i) {
            if (!searching || eventMatches(i, needle))
                hits.push_back(i);
        }
        if (searching && hits.empty())
            continue;
        TrajectoryTurnHeading heading = group.heading;
        heading.visibleCount = qint64(hits.size());
        rows.push_back(TrajectoryLedgerItem::turnItem(heading));
        if (!searching && collapsedTurns.contains(heading.turn))
            continue;
        for (qsizetype i : hits)
            rows.push_back(TrajectoryLedgerItem::eventItem(m_events[size_t(i)]));
    }
    return rows;
}

} // namespace nbd
