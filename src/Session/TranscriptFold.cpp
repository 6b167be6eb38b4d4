#include "Session/TranscriptFoldDetail.h"

#include "Domain/Graphemes.h"
#include "Domain/ProtocolNames.h"
#include "Domain/Trimming.h"

#include <QHash>
#include <QLocale>
#include <QSet>

namespace nbd {

using namespace folding;

namespace {

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
