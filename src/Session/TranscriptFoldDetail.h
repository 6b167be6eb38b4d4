#pragma once

// What the source files of the transcript fold share: the readers of event members, the
// lookups through the state's row index, and the reducers of the assistant stream and the
// tool calls that the fold dispatches to. Not for use outside the fold.
#include "Session/TranscriptFold.h"

#include "Domain/Graphemes.h"

#include <QHash>

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace nbd {

namespace folding {

inline constexpr qint64 kMaxInt64 = std::numeric_limits<qint64>::max();
inline constexpr QStringView kOrphanNoticePrefix = u"orphan-tool-results-";
inline constexpr qsizetype kSummaryCharacters = 240;

// ---- JSON member readers: a member of the wrong case reads like a missing one ----------

inline std::optional<qint64> intMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->toInt() : std::nullopt;
}

inline const QString *stringMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->stringPtr() : nullptr;
}

inline std::optional<QString> optStringMember(const JSONValue &object, QStringView key)
{
    const QString *s = stringMember(object, key);
    return s ? std::optional<QString>(*s) : std::nullopt;
}

inline std::optional<bool> boolMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->boolean() : std::nullopt;
}

inline std::optional<double> numberMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v ? v->number() : std::nullopt;
}

inline const JSONValue *objectMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v && v->isObject() ? v : nullptr;
}

inline const JSONValue *arrayMember(const JSONValue &object, QStringView key) noexcept
{
    const JSONValue *v = object.find(key);
    return v && v->isArray() ? v : nullptr;
}

inline std::span<const JSONValue> elementsOf(const JSONValue *array) noexcept
{
    return array ? array->elements() : std::span<const JSONValue>();
}

// ---- Text measures ---------------------------------------------------------------------

inline qint64 lineFeedCount(QStringView text) noexcept
{
    return qint64(text.count(u'\n'));
}

// ---- Sorting a list that was sorted before one append --------------------------------

// Same order as a stable sort by key; when the list was sorted before the append (as the
// fold keeps it), only the new element moves.
template<class T, class Key>
inline void stableSortAfterAppend(std::vector<T> &list, Key key)
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

inline StepItem *findStep(TurnItem &turn, qint64 step) noexcept
{
    for (StepItem &s : turn.steps) {
        if (s.step == step)
            return &s;
    }
    return nullptr;
}

inline BlockItem *findBlock(StepItem &step, qint64 index) noexcept
{
    for (BlockItem &b : step.blocks) {
        if (b.index == index)
            return &b;
    }
    return nullptr;
}

inline bool isOrphanNotice(const TranscriptItem &item) noexcept
{
    const auto *notice = std::get_if<NoticeItem>(&item);
    return notice && notice->id.startsWith(kOrphanNoticePrefix);
}

} // namespace folding

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
            } else if (ix.m_orphanRow < 0 && folding::isOrphanNotice(item)) {
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
        StepItem *st = folding::findStep(*t, step);
        if (!st) {
            StepItem item;
            item.step = step;
            t->steps.push_back(std::move(item));
            folding::stableSortAfterAppend(t->steps, [](const StepItem &x) { return x.step; });
            st = folding::findStep(*t, step);
        }
        return {row, t, st};
    }

    // Creates the block when missing, else lowers its seq; the kind of an existing block stays.
    static BlockRef ensureBlock(qint64 turn, qint64 step, qint64 index, BlockKind kind, qint64 seq, FoldState &s)
    {
        const StepRef ref = ensureStep(turn, step, s);
        BlockItem *block = folding::findBlock(*ref.step, index);
        if (!block) {
            BlockItem item;
            item.index = index;
            item.kind = kind;
            item.seq = seq;
            ref.step->blocks.push_back(std::move(item));
            folding::stableSortAfterAppend(ref.step->blocks, [](const BlockItem &b) { return b.index; });
            block = folding::findBlock(*ref.step, index);
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
        StepItem *st = folding::findStep(*t, step);
        BlockItem *block = st ? folding::findBlock(*st, index) : nullptr;
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
            if (row < qsizetype(s.items.size()) && folding::isOrphanNotice(s.items[size_t(row)])) {
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
            c.lines += folding::lineFeedCount(growth.added);
        } else {
            c.characters = Graphemes::count(payload);
            c.lines = 1 + folding::lineFeedCount(payload);
        }
        c.row = row;
        c.payloadLength = payload.size();
        return {c.lines, c.characters};
    }
};

namespace folding {

using Rows = FoldRowAccess;

// ---- Assistant stream (TranscriptFoldStream.cpp) ---------------------------------------

// Token counts once the input count is known; the output count is required too.
std::optional<TokenUsage> tokenUsageWithInput(const JSONValue &usage, std::optional<qint64> input);
void applyChunk(const JSONValue &data, qint64 seq, FoldState &s);
void applyAssistantMessage(const JSONValue &data, qint64 seq, const std::optional<std::vector<qint64>> &sourceEventSeqs,
                           FoldState &s);
void applyUserMessage(const JSONValue &data, qint64 seq, FoldState &s);

// ---- Tool calls and results ------------------------------------------------------------

void applyToolCall(const JSONValue &data, qint64 seq, const std::optional<JSONValue> &presentation, FoldState &s);
void applyToolResult(const JSONValue &data, qint64 seq, const std::optional<JSONValue> &presentation, FoldState &s);

} // namespace folding

} // namespace nbd
