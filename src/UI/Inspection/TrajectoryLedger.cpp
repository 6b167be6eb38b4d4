#include "UI/Inspection/TrajectoryLedger.h"

#include <QLocale>
#include <QTextBoundaryFinder>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Text in which every UTF-16 unit stands for one character as a person counts it: no
// surrogates, no combining marks or joiners, no carriage returns (CR LF is one character).
bool isOneUnitPerCharacter(QStringView text) noexcept
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\r' || u >= 0x0300)
            return false;
    }
    return true;
}

bool isAscii(QStringView text) noexcept
{
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

// Lower case, and composed so that canonically equivalent spellings compare equal.
QString searchKey(const QString &text)
{
    QString lower = text.toLower();
    if (!isAscii(lower))
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

TrajectoryEventSelection reasoningEvent(const BlockItem &block, QString id, qint64 turn, qint64 step, bool inLedger)
{
    TrajectoryEventSelection event;
    event.id = std::move(id);
    event.role = kAssistantRole;
    event.title = kReasoningTitle;
    event.turn = turn;
    event.step = step;
    // The ledger says a reasoning block without text is still coming; the strip counts it.
    event.summary = inLedger && block.text.isEmpty()
        ? u"进行中"_s
        : QLocale().toString(TrajectoryLedger::characterCount(block.text)) + u" 字符"_s;
    event.payload = block.text;
    return event;
}

} // namespace

QString TrajectoryLedgerItem::id() const
{
    return kind == Kind::Turn ? u"turn-header-"_s + QString::number(heading.turn) : event.id;
}

namespace TrajectoryLedger {

qint64 characterCount(const QString &text)
{
    if (isOneUnitPerCharacter(text))
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qint64 count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

QString preview(const QString &text)
{
    QString flat = text;
    flat.replace(u'\n', u' ');
    flat = flat.trimmed();
    if (flat.size() <= kPreviewCharacters)
        return flat; // at most that many units, so at most that many characters
    qsizetype end = 0;
    bool more = false;
    if (isOneUnitPerCharacter(flat)) {
        end = kPreviewCharacters;
        more = true;
    } else {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, flat);
        qsizetype taken = 0;
        while (taken < kPreviewCharacters) {
            const qsizetype next = finder.toNextBoundary();
            if (next <= 0)
                break;
            end = next;
            ++taken;
        }
        more = end < flat.size();
    }
    if (!more)
        return flat;
    return flat.left(end) + u'…';
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
    return u"turn-"_s + QString::number(turn) + u"-step-"_s + QString::number(step) + u"-block-"_s
        + QString::number(index);
}

std::vector<TrajectoryEventSelection> turnEvents(const TurnItem &turn, bool collapseCalls)
{
    std::vector<TrajectoryEventSelection> events;
    const qint64 t = turn.turn;
    for (const StepItem &step : turn.steps) {
        const qint64 s = step.step;
        for (const BlockItem &block : step.blocks) {
            QString id = blockId(t, s, block.index);
            switch (block.kind) {
            case BlockKind::text:
                events.push_back(textEvent(block, std::move(id), t, s));
                break;
            case BlockKind::reasoning:
                events.push_back(reasoningEvent(block, std::move(id), t, s, true));
                break;
            case BlockKind::toolCall:
                if (collapseCalls) {
                    events.push_back(toolEvent(block, std::move(id), t, s));
                    break;
                }
                {
                    TrajectoryEventSelection request;
                    request.id = id + u"-request"_s;
                    request.role = kAssistantRole;
                    request.title = toolName(block);
                    request.turn = t;
                    request.step = s;
                    request.summary = preview(block.arguments);
                    request.payload = block.arguments;
                    events.push_back(std::move(request));
                }
                if (block.resultText) {
                    TrajectoryEventSelection result;
                    result.id = id + u"-result"_s;
                    result.role = kToolRole;
                    result.title = toolName(block);
                    result.turn = t;
                    result.step = s;
                    result.summary = preview(*block.resultText);
                    result.result = block.resultText;
                    result.isError = block.resultIsError;
                    events.push_back(std::move(result));
                }
                break;
            }
        }
    }
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
    const QString needle = isAscii(query) ? query : query.normalized(QString::NormalizationForm_C);
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
    qint64 users = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *message = std::get_if<UserMessageItem>(&item)) {
            if (!message->isPlainUser())
                continue;
            entries.push_back({userEvent(*message, ++users), 0});
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            for (const StepItem &step : turn->steps) {
                for (const BlockItem &block : step.blocks) {
                    QString id = blockId(turn->turn, step.step, block.index);
                    switch (block.kind) {
                    case BlockKind::text:
                        entries.push_back({textEvent(block, std::move(id), turn->turn, step.step), 1});
                        break;
                    case BlockKind::reasoning:
                        entries.push_back({reasoningEvent(block, std::move(id), turn->turn, step.step, false), 1});
                        break;
                    case BlockKind::toolCall:
                        // The id of the call's first row in the ledger, so that picking the
                        // mark selects that row.
                        if (!collapseCalls)
                            id += u"-request"_s;
                        entries.push_back({toolEvent(block, std::move(id), turn->turn, step.step), 2});
                        break;
                    }
                }
            }
        }
    }
    return entries;
}

} // namespace TrajectoryLedger

TrajectoryLedgerIndex::TrajectoryLedgerIndex(const std::vector<TranscriptItem> &items, bool collapseCalls)
{
    qint64 users = 0;
    qint64 notices = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *message = std::get_if<UserMessageItem>(&item)) {
            // Text the host injected into the context is no step of the run.
            if (!message->isPlainUser())
                continue;
            m_groups.push_back({false, {}, qsizetype(m_events.size()), 1});
            m_events.push_back(userEvent(*message, ++users));
        } else if (const auto *turn = std::get_if<TurnItem>(&item)) {
            std::vector<TrajectoryEventSelection> events = TrajectoryLedger::turnEvents(*turn, collapseCalls);
            Group group{true, {turn->turn, turn->status, qint64(events.size())}, qsizetype(m_events.size()),
                        qsizetype(events.size())};
            m_groups.push_back(group);
            m_turnNumbers.push_back(turn->turn);
            std::move(events.begin(), events.end(), std::back_inserter(m_events));
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
    const QString needle = !searching || isAscii(query) ? query : query.normalized(QString::NormalizationForm_C);
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
