#pragma once

#include <QStringView>

// Names and words the client and the simulated host must agree on, and the user-facing
// labels chosen for them. One definition here; both sides include this header.
namespace nbd::names {

// ---- Connection labels ----------------------------------------------------------------
// Shown while the host has answered and both event streams are open.
inline constexpr QStringView connectedLabel = u"已连接";

// ---- Host frame methods ---------------------------------------------------------------
// The frame that carries a session's background jobs ("sessionId", "jobs").
inline constexpr QStringView jobsFrameMethod = u"session/jobs";

// ---- Session words --------------------------------------------------------------------
inline constexpr QStringView titleProjection = u"title";
// "origin" of a subagent's own session.
inline constexpr QStringView subagentOrigin = u"subagent";
// "op" of a surface operation that replaces what is already shown.
inline constexpr QStringView replaceSurfaceOp = u"replace";
// Todo status words; any other word is an open entry.
inline constexpr QStringView todoCompleted = u"completed";
inline constexpr QStringView todoInProgress = u"in_progress";

// ---- Subagent and job words -----------------------------------------------------------
inline constexpr QStringView childEntryKind = u"child";
inline constexpr QStringView continuableMode = u"continuable";
inline constexpr QStringView runningActivity = u"running";
inline constexpr QStringView jobRunning = u"running";
inline constexpr QStringView jobFailed = u"failed";

// ---- Plugin fiber phase words (PluginInventoryEntry.fiberPhase) -----------------------
inline constexpr QStringView fiberActive = u"active";
inline constexpr QStringView fiberLoading = u"loading";
// A fiber waiting for the plugins it depends on.
inline constexpr QStringView fiberWaiting = u"waiting";
inline constexpr QStringView fiberFailed = u"failed";
inline constexpr QStringView fiberUnloading = u"unloading";

// ---- Dynamic plugin run status words (DynamicPluginRunAttempt.status) ------------------
inline constexpr QStringView runRunning = u"running";
inline constexpr QStringView runAwaitingApproval = u"awaiting-approval";
inline constexpr QStringView runStartingHost = u"starting-host";
inline constexpr QStringView runClientPending = u"client-pending";
// A run queued behind another one.
inline constexpr QStringView runWaiting = u"waiting";
inline constexpr QStringView runFailed = u"failed";
inline constexpr QStringView runRejected = u"rejected";
inline constexpr QStringView runCancelled = u"cancelled";
inline constexpr QStringView runStopped = u"stopped";

// ---- Plugin labels chosen by the client -----------------------------------------------
inline constexpr QStringView pluginDisabledLabel = u"已停用";
inline constexpr QStringView pluginEnabledLabel = u"已启用"; // enabled, no fiber
inline constexpr QStringView pluginUnloadingLabel = u"卸载中";
inline constexpr QStringView runNotStartedLabel = u"未运行";
inline constexpr QStringView runWaitingLabel = u"等待中";
inline constexpr QStringView runRejectedLabel = u"已拒绝";
inline constexpr QStringView runCancelledLabel = u"已取消";
inline constexpr QStringView runStoppedLabel = u"已停止";


// ---- Transcript fold: event types, keys and words chosen by the client ----------------
// Event types the fold recognises by role.
inline constexpr QStringView stepStartEvent = u"step/start";
inline constexpr QStringView toolResultEvent = u"tool/result";
inline constexpr QStringView todoWriteEvent = u"todo/write";
inline constexpr QStringView commandRunEvent = u"command/run";
inline constexpr QStringView sandboxModeEvent = u"sandbox/mode";
// "goal/change" data: the operation member ("clear", or anything else to set the goal).
inline constexpr QStringView goalChangeOpKey = u"op";
// "compaction/summary" data: the hidden message range {"start", "end"}.
inline constexpr QStringView compactionRangeKey = u"range";
inline constexpr QStringView compactionRangeStartKey = u"start";
inline constexpr QStringView compactionRangeEndKey = u"end";
// "assistant/chunk" data: the member holding the chunk object.
inline constexpr QStringView chunkKey = u"chunk";
// Chunk type of a streamed tool call ("id", "name", "argumentsDelta").
inline constexpr QStringView toolCallDeltaChunk = u"tool-call-delta";
// "block-start" chunk: the member naming the new block's kind, and its two non-text words.
inline constexpr QStringView blockStartKindKey = u"kind";
inline constexpr QStringView toolCallBlockKind = u"tool-call";
inline constexpr QStringView reasoningBlockKind = u"reasoning";
// Content block of a tool call ("id", "name", and its arguments as text).
inline constexpr QStringView toolCallContentType = u"tool-call";
inline constexpr QStringView toolCallArgumentsKey = u"arguments";
// Token usage: the reasoning-token count.
inline constexpr QStringView reasoningTokensKey = u"reasoningTokens";
// "sessionStats" projection members.
inline constexpr QStringView statsTurnsKey = u"turns";
inline constexpr QStringView statsStepsKey = u"steps";
inline constexpr QStringView statsLlmMsKey = u"llmMs";
inline constexpr QStringView statsToolMsKey = u"toolMs";
inline constexpr QStringView statsTtftMsKey = u"ttftMs";
inline constexpr QStringView statsTtftStepsKey = u"ttftSteps";
inline constexpr QStringView statsDecodeMsKey = u"decodeMs";
inline constexpr QStringView statsDecodeTokensKey = u"decodeTokens";
// "permissions" projection: an option's preset value, and the preset in force.
inline constexpr QStringView permissionOptionValueKey = u"value";
inline constexpr QStringView permissionCurrentKey = u"current";
// Goal object: the objective text.
inline constexpr QStringView goalObjectiveKey = u"objective";
// Labels of the turn end reasons that have no fixed label.
inline constexpr QStringView turnAbortedLabel = u"已中止";
inline constexpr QStringView turnInterruptedLabel = u"已中断";
inline constexpr QStringView turnUnknownLabel = u"未知原因";

// ---- Store actions --------------------------------------------------------------------
// "session.create": the member naming the agent preset, and the side chat's preset.
inline constexpr QStringView agentPresetKey = u"agentPreset";
inline constexpr QStringView sideChatAgentPreset = u"minimal";
// "goal.<action>": the member carrying an edited objective.
inline constexpr QStringView goalActionObjectiveKey = u"objective";

// ---- Session history pages ------------------------------------------------------------
// "session.history" ("sessionId") and "subagent.history" ("parentSessionId",
// "childSessionId", "mode") answer the newest "maxMessages" events of a session's log,
// oldest first. An older page carries the boundary under `historyBeforeSeqKey`: the page
// ends with the event just before that sequence number. The client and the simulated host
// both read the key from here.
inline constexpr QStringView sessionHistoryMethod = u"session.history";
inline constexpr QStringView subagentHistoryMethod = u"subagent.history";
inline constexpr QStringView historyMaxMessagesKey = u"maxMessages";
inline constexpr QStringView historyBeforeSeqKey = u"beforeSeq";
inline constexpr int historyPageSize = 20;

// ---- Tool presentations ---------------------------------------------------------------
// A "diff" card's entry: the member holding the text after the edit (beside "oldText").
inline constexpr QStringView diffNewTextKey = u"newText";
// A "search" card: the list of per-file match groups ({"path", "matches"}).
inline constexpr QStringView searchGroupsKey = u"files";

// ---- Composer and prompt cards: labels chosen by the client ---------------------------
// Tooltip (and accessible name) of the composer's send button.
inline constexpr QStringView sendButtonToolTip = u"发送";
// Tooltip of the goal bar's button that abandons an in-place edit.
inline constexpr QStringView goalEditCancelToolTip = u"放弃编辑";
// Tooltip of the question card's pager button to the next question.
inline constexpr QStringView nextQuestionToolTip = u"下一题";
// The todo summary's labels after the completed and the in-progress counts (the pending
// count is followed by " 待处理").
inline constexpr QStringView todoCompletedLabel = u" 已完成";
inline constexpr QStringView todoInProgressLabel = u" 进行中";

// ---- Desktop integration ---------------------------------------------------------------
// The application identifier the notification identifiers are built on (also the desktop
// entry's name).
inline constexpr QStringView applicationIdentifier = u"dev.nimbrel.Deck";
// The tray label while exactly one session runs.
inline constexpr QStringView runningOneTitle = u"运行中";
// The tray menu's Quick Ask entry.
inline constexpr QStringView quickAskMenuTitle = u"快速提问";
// The notification state when the desktop has no notification service with actions.
inline constexpr QStringView notificationsUnavailableLabel = u"审批通知不可用";
// The X11 property on our own window that the selection owner writes the selected text to.
inline constexpr QStringView selectionCaptureProperty = u"NBD_QUICK_ASK_SELECTION";

} // namespace nbd::names
