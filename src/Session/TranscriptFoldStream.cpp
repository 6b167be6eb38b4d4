#include "Session/TranscriptFoldDetail.h"

#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"

#include <QLocale>
#include <QSet>

namespace nbd::folding {

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

namespace {

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

} // namespace

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

namespace {

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

} // namespace

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

} // namespace nbd::folding
