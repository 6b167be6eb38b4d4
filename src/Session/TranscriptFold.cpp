#include "Session/TranscriptFold.h"

#include "Domain/Graphemes.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"

#include <QHash>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <limits>

namespace nbd {

namespace {

constexpr qint64 kMaxInt64 = std::numeric_limits<qint64>::max();
constexpr QStringView kOrphanNoticePrefix = u"orphan-tool-results-";
constexpr qsizetype kSummaryCharacters = 240;

// ---- JSON member readers: a member of the wrong case reads like a missing one ----------

std::optional<qint64> intMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->toInt() : std::nullopt;
}

const QString *stringMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->stringPtr() : nullptr;
}

std::optional<QString> optStringMember(const JSONValue &object, QStringView key)
{
    const QString *s = stringMember(object, key);
    return s ? std::optional<QString>(*s) : std::nullopt;
}

std::optional<bool> boolMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->boolean() : std::nullopt;
}

std::optional<double> numberMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->number() : std::nullopt;
}

const JSONValue *objectMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v && v->isObject() ? v : nullptr;
}

const JSONValue *arrayMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v && v->isArray() ? v : nullptr;
}

std::span<const JSONValue> elementsOf(const JSONValue *array) noexcept
{
    return array ? array->elements() : std::span<const JSONValue>();
}

// ---- Text measures ---------------------------------------------------------------------

qint64 lineFeedCount(QStringView text) noexcept
{
    return qint64(text.count(u'\n'));
}

// ---- Sorting a list that was sorted before one append --------------------------------

// Same order as a stable sort by key; when the list was sorted before the append (as the
// fold keeps it), only the new element moves.
template<class T, class Key>
void stableSortAfterAppend(std::vector<T> &list, Key key)
{
    const auto less = [&](const T &a, const T &b) { return key(a) < key(b); };
    if (list.size() < 2)
        return;
    const auto last = std::prev(list.end());
    if (std::is_sorted(list.begin(), last, less)) {
        const auto at = std::upper_bound(list.begin(), last, *last, less);
        std::rotate(at, last, list.end());
    } else {
        std::stable_sort(list.begin(), list.end(), less);
    }
}

StepItem *findStep(TurnItem &turn, qint64 step) noexcept
{
    for (StepItem &s : turn.steps) {
        if (s.step == step)
            return &s;
    }
    return nullptr;
}

BlockItem *findBlock(StepItem &step, qint64 index) noexcept
{
    for (BlockItem &b : step.blocks) {
        if (b.index == index)
            return &b;
    }
    return nullptr;
}

bool isOrphanNotice(const TranscriptItem &item) noexcept
{
    const auto *notice = std::get_if<NoticeItem>(&item);
    return notice && notice->id.startsWith(kOrphanNoticePrefix);
}

} // namespace

// ---- Rows: lookups over the transcript through the state's row index ------------------

struct FoldRowAccess
{
    struct StepRef
    {
        qsizetype row;
        TurnItem *turn;
        StepItem *step;
    };

    struct BlockRef
    {
        qsizetype row;
        BlockItem *block;
    };

    static void reset(FoldRowIndex &ix)
    {
        ix = FoldRowIndex();
    }

    static void noteCall(FoldRowIndex &ix, const QString &callId, qsizetype row)
    {
        auto it = ix.m_callRows.find(callId);
        if (it == ix.m_callRows.end())
            ix.m_callRows.insert(callId, row);
        else if (it.value() < row)
            it.value() = row;
    }

    // Indexes the rows appended since the last look.
    static void sync(FoldState &s)
    {
        FoldRowIndex &ix = s.rowIndex;
        const auto n = qsizetype(s.items.size());
        if (ix.m_indexedRows > n)
            reset(ix);
        for (qsizetype r = ix.m_indexedRows; r < n; ++r) {
            const TranscriptItem &item = s.items[size_t(r)];
            if (const auto *turn = std::get_if<TurnItem>(&item)) {
                ix.m_turnRows.insert(turn->turn, r);
                for (const StepItem &step : turn->steps) {
                    for (const BlockItem &block : step.blocks) {
                        if (block.toolCallId)
                            noteCall(ix, *block.toolCallId, r);
                    }
                }
            } else if (ix.m_orphanRow < 0 && isOrphanNotice(item)) {
                ix.m_orphanRow = r;
            }
        }
        ix.m_indexedRows = n;
    }

    static void rebuild(FoldState &s)
    {
        reset(s.rowIndex);
        sync(s);
    }

    static void noteChange(FoldState &s, size_t row)
    {
        s.rowIndex.m_changedFrom = std::min(s.rowIndex.m_changedFrom, row);
    }

    static qsizetype appendRow(FoldState &s, TranscriptItem item)
    {
        noteChange(s, s.items.size());
        s.items.push_back(std::move(item));
        sync(s);
        return qsizetype(s.items.size()) - 1;
    }

    static TurnItem *turnAt(FoldState &s, qsizetype row) noexcept
    {
        noteChange(s, size_t(row));
        return std::get_if<TurnItem>(&s.items[size_t(row)]);
    }

    // The last row with this turn number.
    static std::optional<qsizetype> turnIndex(qint64 turn, FoldState &s)
    {
        if (s.items.empty())
            return std::nullopt;
        // The current turn is almost always the last row.
        const auto lastRow = qsizetype(s.items.size()) - 1;
        if (const TurnItem *t = turnAt(s, lastRow); t && t->turn == turn)
            return lastRow;
        sync(s);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto it = s.rowIndex.m_turnRows.constFind(turn);
            if (it == s.rowIndex.m_turnRows.cend())
                return std::nullopt;
            const qsizetype row = it.value();
            if (row < qsizetype(s.items.size())) {
                if (const TurnItem *t = turnAt(s, row); t && t->turn == turn)
                    return row;
            }
            rebuild(s);
        }
        return std::nullopt;
    }

    static qsizetype ensureTurn(qint64 turn, FoldState &s)
    {
        if (const auto row = turnIndex(turn, s))
            return *row;
        TurnItem item;
        item.turn = turn;
        return appendRow(s, std::move(item));
    }

    static StepRef ensureStep(qint64 turn, qint64 step, FoldState &s)
    {
        const qsizetype row = ensureTurn(turn, s);
        TurnItem *t = turnAt(s, row);
        StepItem *st = findStep(*t, step);
        if (!st) {
            StepItem item;
            item.step = step;
            t->steps.push_back(std::move(item));
            stableSortAfterAppend(t->steps, [](const StepItem &x) { return x.step; });
            st = findStep(*t, step);
        }
        return {row, t, st};
    }

    // Creates the block when missing, else lowers its seq; the kind of an existing block stays.
    static BlockRef ensureBlock(qint64 turn, qint64 step, qint64 index, BlockKind kind, qint64 seq, FoldState &s)
    {
        const StepRef ref = ensureStep(turn, step, s);
        BlockItem *block = findBlock(*ref.step, index);
        if (!block) {
            BlockItem item;
            item.index = index;
            item.kind = kind;
            item.seq = seq;
            ref.step->blocks.push_back(std::move(item));
            stableSortAfterAppend(ref.step->blocks, [](const BlockItem &b) { return b.index; });
            block = findBlock(*ref.step, index);
        } else if (seq < block->seq) {
            block->seq = seq;
        }
        return {ref.row, block};
    }

    // Finds, never creates.
    static BlockRef findExistingBlock(qint64 turn, qint64 step, qint64 index, FoldState &s)
    {
        const auto row = turnIndex(turn, s);
        if (!row)
            return {-1, nullptr};
        TurnItem *t = turnAt(s, *row);
        StepItem *st = findStep(*t, step);
        BlockItem *block = st ? findBlock(*st, index) : nullptr;
        return {*row, block};
    }

    // The most recent block carrying the call id: rows from the last, steps and blocks from
    // the last. The index names the highest row that may hold the id, so rows above it are
    // never visited.
    static BlockItem *findCallBlock(const QString &callId, FoldState &s)
    {
        sync(s);
        auto it = s.rowIndex.m_callRows.find(callId);
        if (it == s.rowIndex.m_callRows.end())
            return nullptr;
        const qsizetype top = std::min(it.value(), qsizetype(s.items.size()) - 1);
        for (qsizetype r = top; r >= 0; --r) {
            TurnItem *t = turnAt(s, r);
            if (!t)
                continue;
            for (auto step = t->steps.rbegin(); step != t->steps.rend(); ++step) {
                for (auto block = step->blocks.rbegin(); block != step->blocks.rend(); ++block) {
                    if (block->toolCallId && *block->toolCallId == callId) {
                        s.rowIndex.m_callRows.find(callId).value() = r;
                        return &*block;
                    }
                }
            }
        }
        s.rowIndex.m_callRows.remove(callId);
        return nullptr;
    }

    static qsizetype orphanRow(const FoldState &s) noexcept { return s.rowIndex.m_orphanRow; }

    // The first collecting notice of unmatched tool results, from the start.
    static NoticeItem *orphanNotice(FoldState &s)
    {
        sync(s);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const qsizetype row = s.rowIndex.m_orphanRow;
            if (row < 0)
                return nullptr;
            if (row < qsizetype(s.items.size()) && isOrphanNotice(s.items[size_t(row)])) {
                noteChange(s, size_t(row));
                return std::get_if<NoticeItem>(&s.items[size_t(row)]);
            }
            rebuild(s);
        }
        return nullptr;
    }

    // Line and character counts of the collecting notice's payload, kept beside it so that
    // a growing payload is not measured again whole for every result. Appending a part that
    // starts with a line feed adds the two parts' counts, less one character when the old
    // payload ends in a carriage return (the pair is one character).
    struct PayloadGrowth
    {
        qsizetype oldLength = -1; // -1: the payload was replaced, not grown
        bool oldEndsWithCarriageReturn = false;
        QStringView added;
    };

    static std::pair<qint64, qint64> orphanPayloadCounts(FoldState &s, qsizetype row, const QString &payload,
                                                         const PayloadGrowth &growth)
    {
        auto &c = s.rowIndex.m_orphanCounts;
        const bool cached = growth.oldLength >= 0 && c.row == row && c.payloadLength == growth.oldLength;
        if (cached) {
            const bool joins = growth.oldEndsWithCarriageReturn && growth.added.startsWith(u'\n');
            c.characters += Graphemes::count(growth.added) - (joins ? 1 : 0);
            c.lines += lineFeedCount(growth.added);
        } else {
            c.characters = Graphemes::count(payload);
            c.lines = 1 + lineFeedCount(payload);
        }
        c.row = row;
        c.payloadLength = payload.size();
        return {c.lines, c.characters};
    }
};

namespace {

using Rows = FoldRowAccess;

// ---- Assistant stream -------------------------------------------------------------------

// Token counts once the input count is known; the output count is required too.
std::optional<TokenUsage> tokenUsageWithInput(const JSONValue &usage, std::optional<qint64> input)
{
    const auto output = intMember(usage, u"outputTokens");
    if (!input || !output)
        return std::nullopt;
    TokenUsage u;
    u.inputTokens = *input;
    u.outputTokens = *output;
    u.cacheReadTokens = intMember(usage, u"cacheReadTokens");
    u.cacheWriteTokens = intMember(usage, u"cacheWriteTokens");
    u.reasoningTokens = intMember(usage, names::reasoningTokensKey);
    return u;
}

std::optional<TokenUsage> parseTokenUsage(const JSONValue *usage)
{
    if (!usage || !usage->isObject() || usage->size() == 0)
        return std::nullopt;
    return tokenUsageWithInput(*usage, intMember(*usage, u"inputTokens"));
}

void setBlock(qint64 turn, qint64 step, qint64 index, BlockItem block, FoldState &s)
{
    const auto ref = Rows::findExistingBlock(turn, step, index, s);
    if (!ref.block)
        return;
    block.seq = std::min(block.seq, ref.block->seq);
    *ref.block = std::move(block);
    if (ref.block->toolCallId)
        Rows::noteCall(s.rowIndex, *ref.block->toolCallId, ref.row);
}

void setStepBlocks(qint64 turn, qint64 step, std::vector<BlockItem> blocks, FoldState &s)
{
    const auto ref = Rows::ensureStep(turn, step, s);
    for (BlockItem &block : blocks) {
        if (block.kind != BlockKind::toolCall || !block.toolCallId)
            continue;
        for (const BlockItem &old : ref.step->blocks) {
            if (old.toolCallId && *old.toolCallId == *block.toolCallId) {
                block.seq = std::min(block.seq, old.seq);
                block.resultText = old.resultText;
                block.resultIsError = old.resultIsError;
                block.callView = old.callView;
                block.resultView = old.resultView;
                break;
            }
        }
    }
    ref.step->blocks = std::move(blocks);
    for (const BlockItem &block : ref.step->blocks) {
        if (block.toolCallId)
            Rows::noteCall(s.rowIndex, *block.toolCallId, ref.row);
    }
}

void applyChunk(const JSONValue &data, qint64 seq, FoldState &s)
{
    if (data.size() == 0)
        return;
    const auto turn = intMember(data, u"turn");
    if (!turn)
        return;
    const auto step = intMember(data, u"step");
    if (!step)
        return;
    const JSONValue *chunk = objectMember(data, names::chunkKey);
    if (!chunk || chunk->size() == 0)
        return;
    const QString *type = stringMember(*chunk, u"type");
    if (!type)
        return;
    const auto index = intMember(*chunk, u"index");
    if (!index)
        return;

    if (*type == u"block-start") {
        const QString *word = stringMember(*chunk, names::blockStartKindKey);
        BlockKind kind = BlockKind::text;
        if (word && *word == names::toolCallBlockKind)
            kind = BlockKind::toolCall;
        else if (word && *word == names::reasoningBlockKind)
            kind = BlockKind::reasoning;
        Rows::ensureBlock(*turn, *step, *index, kind, seq, s);
    } else if (*type == u"text-delta" || *type == u"reasoning-delta") {
        const QString *text = stringMember(*chunk, u"text");
        if (!text)
            return;
        const BlockKind kind = *type == u"text-delta" ? BlockKind::text : BlockKind::reasoning;
        // Blocks are matched by index alone: a delta of another kind appends all the same.
        Rows::ensureBlock(*turn, *step, *index, kind, seq, s).block->text.append(*text);
    } else if (*type == names::toolCallDeltaChunk) {
        const auto ref = Rows::ensureBlock(*turn, *step, *index, BlockKind::toolCall, seq, s);
        if (const QString *id = stringMember(*chunk, u"id")) {
            ref.block->toolCallId = *id;
            Rows::noteCall(s.rowIndex, *id, ref.row);
        }
        if (const QString *name = stringMember(*chunk, u"name"))
            ref.block->toolName = *name;
        if (const QString *delta = stringMember(*chunk, u"argumentsDelta"))
            ref.block->arguments.append(*delta);
    } else if (*type == u"block-end") {
        const JSONValue *block = objectMember(*chunk, u"block");
        if (!block)
            return;
        auto parsed = TranscriptFold::parseContentBlock(*block, *index);
        if (!parsed)
            return;
        parsed->seq = seq;
        setBlock(*turn, *step, *index, std::move(*parsed), s);
    } else if (*type == u"usage") {
        s.usage = parseTokenUsage(objectMember(*chunk, u"usage"));
    }
    // "finish" and any other chunk type change nothing.
}

void applyAssistantMessage(const JSONValue &data, qint64 seq, const std::optional<std::vector<qint64>> &sourceEventSeqs,
                           FoldState &s)
{
    const auto turn = intMember(data, u"turn");
    const auto step = intMember(data, u"step");
    const JSONValue *message = objectMember(data, u"message");
    const JSONValue *content = message ? arrayMember(*message, u"content") : nullptr;
    if (!turn || !step || !content)
        return;

    // The blocks take the place of the first stream event they replace.
    qint64 blockSeq = seq;
    if (sourceEventSeqs && !sourceEventSeqs->empty())
        blockSeq = *std::min_element(sourceEventSeqs->begin(), sourceEventSeqs->end());

    std::vector<BlockItem> blocks;
    const auto elements = content->elements();
    blocks.reserve(elements.size());
    const JSONValue empty = JSONValue::emptyObject();
    for (size_t p = 0; p < elements.size(); ++p) {
        const JSONValue &element = elements[p].isObject() ? elements[p] : empty;
        auto block = TranscriptFold::parseContentBlock(element, qint64(p));
        if (!block)
            continue;
        block->seq = blockSeq;
        blocks.push_back(std::move(*block));
    }
    setStepBlocks(*turn, *step, std::move(blocks), s);

    if (auto usage = parseTokenUsage(objectMember(data, u"usage")))
        s.usage = std::move(usage);
}

void applyUserMessage(const JSONValue &data, qint64 seq, FoldState &s)
{
    const auto content = elementsOf(arrayMember(data, u"content"));
    QString text = TranscriptFold::extractText(content);
    auto images = TranscriptFold::extractImages(content);
    if (text.isEmpty() && images.empty())
        return;
    UserMessageItem item;
    const JSONValue *source = objectMember(data, u"source");
    const QString *kind = source ? stringMember(*source, u"kind") : nullptr;
    if (kind)
        item.sourceKind = *kind;
    if (const QString *id = stringMember(data, u"id"))
        item.id = *id;
    else
        item.id = QStringLiteral("u-") + QString::number(seq);
    item.seq = seq;
    item.text = std::move(text);
    item.images = std::move(images);
    Rows::appendRow(s, std::move(item));
}

// ---- Tool calls and results ---------------------------------------------------------------

void applyToolCall(const JSONValue &data, qint64 seq, const std::optional<JSONValue> &presentation, FoldState &s)
{
    const auto turn = intMember(data, u"turn");
    const auto step = intMember(data, u"step");
    const QString *callId = stringMember(data, u"callId");
    if (!turn || !step || !callId)
        return;
    const auto ref = Rows::ensureStep(*turn, *step, s);
    std::vector<BlockItem> &blocks = ref.step->blocks;
    const QString *name = stringMember(data, u"name");
    const QString *arguments = stringMember(data, u"arguments");

    for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
        if (!block->toolCallId || *block->toolCallId != *callId)
            continue;
        block->kind = BlockKind::toolCall;
        block->seq = std::min(block->seq, seq);
        if (name)
            block->toolName = *name;
        if (arguments)
            block->arguments = *arguments;
        if (presentation)
            block->callView = presentation;
        return;
    }

    qint64 index = 0;
    if (!blocks.empty()) {
        const qint64 maxIndex = std::max_element(blocks.begin(), blocks.end(), [](const BlockItem &a, const BlockItem &b) {
                                    return a.index < b.index;
                                })->index;
        // The largest index cannot grow; the new block then shares it.
        index = maxIndex == kMaxInt64 ? kMaxInt64 : maxIndex + 1;
    }
    BlockItem block;
    block.index = index;
    block.kind = BlockKind::toolCall;
    block.seq = seq;
    block.toolCallId = *callId;
    if (name)
        block.toolName = *name;
    if (arguments)
        block.arguments = *arguments;
    block.callView = presentation;
    blocks.push_back(std::move(block));
    stableSortAfterAppend(blocks, [](const BlockItem &b) { return b.index; });
    Rows::noteCall(s.rowIndex, *callId, ref.row);
}

bool attachResult(const QString &callId, const QString &text, bool isError, const std::optional<JSONValue> &presentation,
                  FoldState &s)
{
    BlockItem *block = Rows::findCallBlock(callId, s);
    if (!block)
        return false;
    block->resultText = text;
    block->resultIsError = isError;
    block->resultView = presentation;
    return true;
}

void appendOrphanToolResult(const QString &callId, const QString &text, bool isError, qint64 firstSeq, FoldState &s)
{
    NoticeItem *existing = Rows::orphanNotice(s);
    NoticeItem fresh;
    NoticeItem &notice = existing ? *existing : fresh;
    const qsizetype row = existing ? Rows::orphanRow(s) : qsizetype(s.items.size());

    Rows::PayloadGrowth growth;
    QString added;
    if (!existing) {
        notice.id = kOrphanNoticePrefix.toString() + QString::number(firstSeq);
        notice.seq = firstSeq;
        notice.occurrenceCount = 1;
        if (!text.isEmpty())
            notice.payload = text;
    } else {
        notice.occurrenceCount = notice.occurrenceCount == kMaxInt64 ? kMaxInt64 : notice.occurrenceCount + 1;
        if (notice.payload && !notice.payload->isEmpty()) {
            growth.oldLength = notice.payload->size();
            growth.oldEndsWithCarriageReturn = notice.payload->endsWith(u'\r');
            if (!text.isEmpty()) {
                added = QStringLiteral("\n\n--- ") + callId + QStringLiteral(" ---\n") + text;
                growth.added = added;
                notice.payload->append(added);
            }
        } else {
            notice.payload = text.isEmpty() ? std::nullopt : std::optional<QString>(text);
        }
    }

    // Once in error, the notice stays so.
    const bool error = isError || (existing && notice.tint == NoticeTint::danger);
    const qint64 count = notice.occurrenceCount;
    if (notice.payload) {
        const auto [lines, characters] = Rows::orphanPayloadCounts(s, row, *notice.payload, growth);
        QString detail;
        if (count > 1)
            detail = QString::number(count) + QStringLiteral(" 项 · ");
        detail += QString::number(lines) + QStringLiteral(" 行 · ") + QLocale().toString(characters) + QStringLiteral(" 字符");
        notice.detail = std::move(detail);
    } else {
        notice.detail = count > 1 ? QString::number(count) + QStringLiteral(" 项") : QStringLiteral("无文本");
    }
    notice.icon = error ? QStringLiteral("xmark.octagon") : QStringLiteral("terminal");
    notice.text = error ? QStringLiteral("未关联的工具结果") : QStringLiteral("未关联的工具输出");
    notice.tint = error ? NoticeTint::danger : NoticeTint::neutral;

    if (!existing)
        Rows::appendRow(s, std::move(fresh));
}

void applyToolResult(const JSONValue &data, qint64 seq, const std::optional<JSONValue> &presentation, FoldState &s)
{
    const JSONValue *message = objectMember(data, u"message");
    const JSONValue *content = message ? arrayMember(*message, u"content") : nullptr;
    if (!content)
        return;
    for (const JSONValue &part : content->elements()) {
        const QString *type = stringMember(part, u"type");
        if (!type || *type != u"tool-result")
            continue;
        const QString *callId = stringMember(part, u"toolCallId");
        if (!callId)
            continue;
        const bool isError = boolMember(part, u"isError").value_or(false);
        const QString text = TranscriptFold::extractText(elementsOf(arrayMember(part, u"content")));
        if (!attachResult(*callId, text, isError, presentation, s))
            appendOrphanToolResult(*callId, text, isError, seq, s);
    }
}

// ---- Side state -----------------------------------------------------------------------------

std::vector<TodoItem> parseTodos(std::span<const JSONValue> elements)
{
    std::vector<TodoItem> todos;
    for (const JSONValue &element : elements) {
        const QString *content = stringMember(element, u"content");
        const QString *status = stringMember(element, u"status");
        if (content && status)
            todos.push_back(TodoItem{*content, *status});
    }
    return todos;
}

GoalProjection goalProjection(GoalSnapshot snapshot, const JSONValue &object)
{
    GoalProjection g;
    g.goal = std::move(snapshot);
    g.roundsStarted = intMember(object, u"roundsStarted").value_or(0);
    g.createdAt = numberMember(object, u"createdAt").value_or(0);
    g.updatedAt = numberMember(object, u"updatedAt").value_or(0);
    return g;
}

void applyTurnEnd(const JSONValue &data, FoldState &s)
{
    const auto turn = intMember(data, u"turn");
    if (!turn)
        return;
    const TurnEndReason reason = TranscriptFold::parseTurnEndReason(data.find(u"reason"));
    const qsizetype row = Rows::ensureTurn(*turn, s);
    if (TurnItem *t = Rows::turnAt(s, row))
        t->status = TurnStatus::finished(reason);
}

void applyPlanRequest(const JSONValue &data, FoldState &s)
{
    const QString *name = stringMember(data, u"name");
    if (!name || *name != u"plan")
        return;
    const QString *args = stringMember(data, u"args");
    const bool requestOn = !(args && text::trimWhitespaceAndNewlines(*args) == u"off");
    s.planPending = requestOn != s.planActive;
}

void appendCompactionNotice(const JSONValue &data, qint64 seq, FoldState &s)
{
    qint64 start = 0;
    qint64 end = 0;
    if (const JSONValue *range = objectMember(data, names::compactionRangeKey)) {
        start = intMember(*range, names::compactionRangeStartKey).value_or(0);
        end = intMember(*range, names::compactionRangeEndKey).value_or(0);
    }
    QStringList parts;
    // A range whose length does not fit 64 bits says nothing useful: leave it out.
    qint64 hidden = 0;
    if (!__builtin_sub_overflow(end, start, &hidden) && hidden > 0)
        parts << QStringLiteral("隐藏了约 ") + QString::number(hidden) + QStringLiteral(" 条历史消息");
    if (const auto tokens = intMember(data, u"shadowedTokenCount"); tokens && *tokens > 0)
        parts << QStringLiteral("约 ") + QString::number(*tokens) + QStringLiteral(" tokens");
    const QString summary = TranscriptFold::extractText(elementsOf(arrayMember(data, u"summary")));
    const auto [cut, full] = Graphemes::prefixEnd(summary, kSummaryCharacters);
    const QString taken = summary.left(cut);
    if (!taken.isEmpty())
        parts << QStringLiteral("摘要：") + taken + (full ? QStringLiteral("…") : QString());

    NoticeItem notice;
    notice.id = QStringLiteral("n-") + QString::number(seq);
    notice.icon = QStringLiteral("scissors");
    notice.text = QStringLiteral("上下文压缩检查点");
    notice.seq = seq;
    if (!parts.isEmpty())
        notice.detail = parts.join(QStringLiteral(" · "));
    notice.tint = NoticeTint::info;
    Rows::appendRow(s, std::move(notice));
}

void appendUnknownEventNotice(const SessionEvent &event, FoldState &s)
{
    NoticeItem notice;
    notice.id = QStringLiteral("n-") + QString::number(event.seq);
    notice.icon = QStringLiteral("questionmark.diamond");
    notice.text = QStringLiteral("未知事件类型：") + event.type;
    notice.seq = event.seq;
    Rows::appendRow(s, std::move(notice));
}

enum class EventKind {
    TurnStart,
    StepStart,
    AssistantChunk,
    AssistantMessage,
    UserMessage,
    ToolCall,
    ToolResult,
    TurnEnd,
    TodoWrite,
    GoalChange,
    SessionTitle,
    CompactionSummary,
    PlanMode,
    CommandRun,
    PermissionPreset,
    SandboxMode,
    AgentPresetSelected,
    SubagentDescriptor,
    Ignored, // known events the transcript does not show
};

const QHash<QStringView, EventKind> &eventKinds()
{
    static const QHash<QStringView, EventKind> kinds = [] {
        QHash<QStringView, EventKind> k;
        k.insert(u"turn/start", EventKind::TurnStart);
        k.insert(names::stepStartEvent, EventKind::StepStart);
        k.insert(u"assistant/chunk", EventKind::AssistantChunk);
        k.insert(u"assistant/message", EventKind::AssistantMessage);
        k.insert(u"user/message", EventKind::UserMessage);
        k.insert(u"tool/call", EventKind::ToolCall);
        k.insert(names::toolResultEvent, EventKind::ToolResult);
        k.insert(u"turn/end", EventKind::TurnEnd);
        k.insert(u"step/end", EventKind::Ignored);
        k.insert(names::todoWriteEvent, EventKind::TodoWrite);
        k.insert(u"goal/change", EventKind::GoalChange);
        k.insert(u"session/title", EventKind::SessionTitle);
        k.insert(u"compaction/summary", EventKind::CompactionSummary);
        k.insert(u"plan/mode", EventKind::PlanMode);
        k.insert(names::commandRunEvent, EventKind::CommandRun);
        k.insert(u"permission/preset", EventKind::PermissionPreset);
        k.insert(names::sandboxModeEvent, EventKind::SandboxMode);
        k.insert(u"agent-preset/selected", EventKind::AgentPresetSelected);
        k.insert(u"subagent/descriptor", EventKind::SubagentDescriptor);
        for (QStringView type : {u"approval/asked",
                                 u"approval/decided",
                                 u"approval/policy",
                                 u"request/header",
                                 u"request/context",
                                 u"session/end-seed",
                                 u"command/done",
                                 u"feedback/record",
                                 u"agent/inbox/spliced",
                                 u"session/title-llm-request",
                                 u"compaction/start",
                                 u"compaction/end",
                                 u"compaction/prune",
                                 u"schedule/change",
                                 u"tool/code-dispatch",
                                 u"tool/code-dispatch-start",
                                 u"tool-workflow/run-start",
                                 u"tool-workflow/agent-start",
                                 u"tool-workflow/agent-end",
                                 u"tool-workflow/run-end",
                                 u"llm/retry",
                                 u"llm/retry-started",
                                 u"web/nimbrel-search-llm-request",
                                 u"hook/invoked",
                                 u"hook/result"})
            k.insert(type, EventKind::Ignored);
        return k;
    }();
    return kinds;
}

bool replacesSurface(const std::optional<JSONValue> &surfaceOp)
{
    if (!surfaceOp || !surfaceOp->isObject())
        return false;
    const QString *op = stringMember(*surfaceOp, u"op");
    return op && *op == names::replaceSurfaceOp;
}

// A tool view is either the presentation or an object carrying it under "view".
std::optional<JSONValue> presentationOf(const std::optional<JSONValue> &view)
{
    if (view && view->isObject()) {
        if (const JSONValue *inner = view->find(u"view"))
            return *inner;
    }
    return view;
}

void recordSeq(qint64 seq, FoldState &s)
{
    s.seenSeqs.insert(seq);
    s.lastSeq = std::max(s.lastSeq, seq);
}

} // namespace

// ---- Public operations ---------------------------------------------------------------------

void TranscriptFold::fold(const SessionEvent &event, const std::optional<JSONValue> &view, FoldState &state)
{
    if (state.seenSeqs.contains(event.seq))
        return;
    recordSeq(event.seq, state);
    if (replacesSurface(event.surfaceOp))
        return;

    static const JSONValue emptyData = JSONValue::emptyObject();
    const JSONValue &data = event.data.isObject() ? event.data : emptyData;
    const auto &kinds = eventKinds();
    const auto kind = kinds.constFind(QStringView(event.type));
    if (kind == kinds.cend()) {
        if (event.ignorable != std::optional<bool>(true))
            appendUnknownEventNotice(event, state);
        return;
    }

    switch (kind.value()) {
    case EventKind::TurnStart:
        if (const auto turn = intMember(data, u"turn")) {
            state.todos.clear();
            Rows::ensureTurn(*turn, state);
        }
        break;
    case EventKind::StepStart: {
        const auto turn = intMember(data, u"turn");
        const auto step = intMember(data, u"step");
        if (turn && step)
            Rows::ensureStep(*turn, *step, state);
        break;
    }
    case EventKind::AssistantChunk: applyChunk(data, event.seq, state); break;
    case EventKind::AssistantMessage: applyAssistantMessage(data, event.seq, event.sourceEventSeqs, state); break;
    case EventKind::UserMessage: applyUserMessage(data, event.seq, state); break;
    case EventKind::ToolCall: applyToolCall(data, event.seq, presentationOf(view), state); break;
    case EventKind::ToolResult: applyToolResult(data, event.seq, presentationOf(view), state); break;
    case EventKind::TurnEnd: applyTurnEnd(data, state); break;
    case EventKind::TodoWrite: state.todos = parseTodos(elementsOf(arrayMember(data, u"todos"))); break;
    case EventKind::GoalChange: applyGoalChange(data, state); break;
    case EventKind::SessionTitle:
        if (const QString *title = stringMember(data, u"title"))
            state.title = *title;
        break;
    case EventKind::CompactionSummary: appendCompactionNotice(data, event.seq, state); break;
    case EventKind::PlanMode:
        state.planActive = boolMember(data, u"active").value_or(false);
        state.planPending = false;
        break;
    case EventKind::CommandRun: applyPlanRequest(data, state); break;
    case EventKind::PermissionPreset: state.permissionPreset = optStringMember(data, u"preset"); break;
    case EventKind::SandboxMode: state.sandboxMode = optStringMember(data, u"mode"); break;
    case EventKind::AgentPresetSelected: state.agentPreset = optStringMember(data, u"agentPreset"); break;
    case EventKind::SubagentDescriptor:
        state.subagentMode = optStringMember(data, u"mode");
        state.subagentLabel = optStringMember(data, u"label");
        break;
    case EventKind::Ignored: break;
    }
}

bool TranscriptFold::CoveredChunks::add(const SessionEvent &event)
{
    if (event.type != u"assistant/message" || replacesSurface(event.surfaceOp))
        return false;
    if (event.sourceEventSeqs && !event.sourceEventSeqs->empty()) {
        for (qint64 seq : *event.sourceEventSeqs)
            m_seqs.insert(seq);
        return true;
    }
    const auto turn = intMember(event.data, u"turn");
    const auto step = intMember(event.data, u"step");
    if (!turn || !step)
        return false;
    m_steps.insert(StepKey{*turn, *step});
    return true;
}

bool TranscriptFold::CoveredChunks::covers(const SessionEvent &event) const
{
    if (event.type != u"assistant/chunk")
        return false;
    const auto turn = intMember(event.data, u"turn");
    const auto step = intMember(event.data, u"step");
    return turn && step && covers(event.seq, StepKey{*turn, *step});
}

std::vector<const HistoryEntry *> TranscriptFold::sortedBySeq(const std::vector<HistoryEntry> &entries)
{
    std::vector<const HistoryEntry *> sorted;
    sorted.reserve(entries.size());
    for (const HistoryEntry &entry : entries)
        sorted.push_back(&entry);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const HistoryEntry *a, const HistoryEntry *b) { return a->event.seq < b->event.seq; });
    return sorted;
}

bool TranscriptFold::foldUncovered(const std::vector<const HistoryEntry *> &entries, const CoveredChunks &covered,
                                   FoldState &state, const std::atomic<bool> *cancelled)
{
    for (const HistoryEntry *entry : entries) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return false;
        const SessionEvent &event = entry->event;
        if (covered.covers(event)) {
            // Still seen, so a live copy of the chunk is dropped as a duplicate.
            recordSeq(event.seq, state);
            continue;
        }
        std::optional<JSONValue> view;
        if (entry->view)
            view = entry->view->view;
        fold(event, view, state);
    }
    return true;
}

void TranscriptFold::foldHistory(const std::vector<HistoryEntry> &events, FoldState &state,
                                 const std::atomic<bool> *cancelled)
{
    const std::vector<const HistoryEntry *> sorted = sortedBySeq(events);
    // A final message makes the chunks it names, or else its whole step's chunks, redundant.
    CoveredChunks covered;
    for (const HistoryEntry *entry : sorted) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return;
        covered.add(entry->event);
    }
    foldUncovered(sorted, covered, state, cancelled);
}

void TranscriptFold::applyProjection(const QString &key, const JSONValue &value, FoldState &state)
{
    state.projectionKeys.insert(key);

    if (key == u"goal") {
        const JSONValue *goal = value.isObject() ? objectMember(value, u"goal") : nullptr;
        auto snapshot = goal ? parseGoal(*goal) : std::nullopt;
        if (snapshot)
            state.goal = goalProjection(std::move(*snapshot), value);
        else
            state.goal.reset();
    } else if (key == u"title") {
        state.title = value.string();
    } else if (key == u"todos") {
        state.todos = parseTodos(value.elements());
    } else if (key == u"tokenUsage") {
        state.usage = parseProjectedTokenUsage(value.isObject() ? &value : nullptr);
    } else if (key == u"sessionStats") {
        static const JSONValue emptyObject = JSONValue::emptyObject();
        const JSONValue &object = value.isObject() ? value : emptyObject;
        SessionStats stats;
        stats.turns = intMember(object, names::statsTurnsKey).value_or(0);
        stats.steps = intMember(object, names::statsStepsKey).value_or(0);
        stats.llmMs = intMember(object, names::statsLlmMsKey).value_or(0);
        stats.toolMs = intMember(object, names::statsToolMsKey).value_or(0);
        stats.ttftMs = intMember(object, names::statsTtftMsKey);
        stats.ttftSteps = intMember(object, names::statsTtftStepsKey);
        stats.decodeMs = intMember(object, names::statsDecodeMsKey);
        stats.decodeTokens = intMember(object, names::statsDecodeTokensKey);
        state.stats = stats;
    } else if (key == u"plan") {
        state.planActive = boolMember(value, u"active").value_or(false);
        state.planPending = boolMember(value, u"pending").value_or(false);
    } else if (key == u"permissions") {
        if (!value.isObject())
            return;
        std::vector<PermissionOption> options;
        for (const JSONValue &element : elementsOf(arrayMember(value, u"options"))) {
            const QString *optionValue = stringMember(element, names::permissionOptionValueKey);
            const QString *name = stringMember(element, u"name");
            if (!optionValue || !name)
                continue;
            options.push_back(PermissionOption{*optionValue, *name, optStringMember(element, u"description")});
        }
        const QString *current = stringMember(value, names::permissionCurrentKey);
        if (!current)
            return;
        state.permissions = PermissionState{std::move(options), *current};
        state.permissionPreset = *current;
    } else if (key == u"subagent") {
        state.subagentMode = optStringMember(value, u"mode");
        state.subagentLabel = optStringMember(value, u"label");
    }
}

void TranscriptFold::applyGoalChange(const JSONValue &data, FoldState &state)
{
    const QString *kind = stringMember(data, u"kind");
    if (!kind || *kind != u"goal/change")
        return;
    const QString *op = stringMember(data, names::goalChangeOpKey);
    if (!op)
        return;
    if (*op == u"clear") {
        state.goal.reset();
        return;
    }
    const JSONValue *goal = objectMember(data, u"goal");
    auto snapshot = goal ? parseGoal(*goal) : std::nullopt;
    if (!snapshot)
        return;
    state.goal = goalProjection(std::move(*snapshot), data);
}

std::optional<GoalSnapshot> TranscriptFold::parseGoal(const JSONValue &object)
{
    const QString *id = stringMember(object, u"id");
    if (!id)
        return std::nullopt;
    const auto revision = intMember(object, u"revision");
    if (!revision)
        return std::nullopt;
    const QString *objective = stringMember(object, names::goalObjectiveKey);
    if (!objective)
        return std::nullopt;
    const QString *phase = stringMember(object, u"phase");
    if (!phase)
        return std::nullopt;
    GoalSnapshot g;
    g.id = *id;
    g.revision = *revision;
    g.objective = *objective;
    g.phase = *phase;
    if (const JSONValue *blocked = objectMember(object, u"blockedReason")) {
        if (const QString *message = stringMember(*blocked, u"message"))
            g.blockedReason = *message;
        else if (const QString *code = stringMember(*blocked, u"code"))
            g.blockedReason = *code;
    }
    g.maxGoalRounds = intMember(object, u"maxGoalRounds");
    return g;
}

TurnEndReason TranscriptFold::parseTurnEndReason(const JSONValue *reason)
{
    if (!reason || !reason->isObject())
        return TurnEndReason::unknown;
    const QString *kind = stringMember(*reason, u"kind");
    if (!kind)
        return TurnEndReason::unknown;
    return turnEndReasonFromHostWord(*kind).value_or(TurnEndReason::unknown);
}

std::optional<TokenUsage> TranscriptFold::parseProjectedTokenUsage(const JSONValue *usage)
{
    if (!usage || !usage->isObject())
        return std::nullopt;
    // The projection may split out the uncached input; that figure is the one shown.
    auto input = intMember(*usage, u"uncachedInputTokens");
    if (!input)
        input = intMember(*usage, u"inputTokens");
    return tokenUsageWithInput(*usage, input);
}

std::optional<BlockItem> TranscriptFold::parseContentBlock(const JSONValue &block, qint64 fallbackIndex)
{
    const QString *type = stringMember(block, u"type");
    if (!type)
        return std::nullopt;
    BlockItem b;
    b.index = intMember(block, u"index").value_or(fallbackIndex);
    if (*type == u"text" || *type == u"reasoning") {
        b.kind = *type == u"text" ? BlockKind::text : BlockKind::reasoning;
        if (const QString *text = stringMember(block, u"text"))
            b.text = *text;
    } else if (*type == names::toolCallContentType) {
        b.kind = BlockKind::toolCall;
        b.toolCallId = optStringMember(block, u"id");
        b.toolName = optStringMember(block, u"name");
        if (const QString *arguments = stringMember(block, names::toolCallArgumentsKey))
            b.arguments = *arguments;
    } else if (*type == u"tool-result") {
        b.kind = BlockKind::toolCall;
        b.toolCallId = optStringMember(block, u"toolCallId");
        b.toolName = QString();
        b.resultText = extractText(elementsOf(arrayMember(block, u"content")));
        b.resultIsError = boolMember(block, u"isError").value_or(false);
    } else {
        return std::nullopt;
    }
    return b;
}

QString TranscriptFold::extractText(std::span<const JSONValue> parts)
{
    QString text;
    bool first = true;
    for (const JSONValue &part : parts) {
        const QString *type = stringMember(part, u"type");
        if (!type || *type != u"text")
            continue;
        const QString *partText = stringMember(part, u"text");
        if (!partText)
            continue;
        if (first) {
            // A single part keeps sharing the event's string.
            text = *partText;
            first = false;
        } else {
            text.append(u'\n').append(*partText);
        }
    }
    return text;
}

std::vector<ImageAttachmentRef> TranscriptFold::extractImages(std::span<const JSONValue> parts)
{
    std::vector<ImageAttachmentRef> images;
    for (const JSONValue &part : parts) {
        const QString *type = stringMember(part, u"type");
        if (!type || *type != u"image")
            continue;
        const JSONValue *attachment = objectMember(part, u"attachment");
        if (!attachment)
            continue;
        const QString *attachmentId = stringMember(*attachment, u"attachmentId");
        const QString *mediaType = stringMember(*attachment, u"mediaType");
        if (!attachmentId || !mediaType)
            continue;
        ImageAttachmentRef ref;
        ref.attachmentId = *attachmentId;
        ref.mediaType = *mediaType;
        ref.bytes = intMember(*attachment, u"bytes").value_or(0);
        ref.width = intMember(*attachment, u"width").value_or(0);
        ref.height = intMember(*attachment, u"height").value_or(0);
        ref.name = optStringMember(*attachment, u"name");
        images.push_back(std::move(ref));
    }
    return images;
}

} // namespace nbd
