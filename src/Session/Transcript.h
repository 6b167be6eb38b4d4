#pragma once

#include "Domain/ProtocolNames.h"
#include "Domain/Subagents.h" // ImageAttachmentRef
#include "Session/SeqSet.h"
#include "Wire/JSONValue.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <limits>
#include <optional>
#include <variant>
#include <utility>
#include <vector>

// The values a session's events and projections fold into. Plain values throughout:
// copied, compared, never shared by reference, and never encoded or decoded.
namespace nbd {

enum class TurnEndReason : quint8 { completed, aborted, blocked, error, maxTokens, interrupted, unknown };

// The short label the views show for a turn's end.
QString label(TurnEndReason reason);
// The reason for one of the host's words; nothing for any other word.
std::optional<TurnEndReason> turnEndReasonFromHostWord(QStringView word) noexcept;

// Running, or finished for a reason.
class TurnStatus
{
public:
    static TurnStatus running() noexcept { return TurnStatus(); }
    static TurnStatus finished(TurnEndReason reason) noexcept
    {
        TurnStatus s;
        s.m_endReason = reason;
        return s;
    }
    bool isRunning() const noexcept { return !m_endReason.has_value(); }
    bool isFinished() const noexcept { return m_endReason.has_value(); }
    // Present exactly when finished.
    std::optional<TurnEndReason> endReason() const noexcept { return m_endReason; }

    bool operator==(const TurnStatus &) const = default;

private:
    std::optional<TurnEndReason> m_endReason;
};

enum class BlockKind : quint8 { text, reasoning, toolCall };

enum class NoticeTint : quint8 { neutral, info, warning, danger };

inline constexpr qint64 kUnnumberedSeq = std::numeric_limits<qint64>::max();

struct UserMessageItem
{
    QString id;
    qint64 seq = 0;
    QString text;
    std::vector<ImageAttachmentRef> images;
    QString sourceKind = QStringLiteral("user");

    // Only the user's own messages are drawn as the user's bubbles.
    bool isPlainUser() const { return sourceKind == u"user"; }
    bool operator==(const UserMessageItem &) const = default;
};

struct BlockItem
{
    qint64 index = 0;
    BlockKind kind = BlockKind::text;
    // A block that never received a number orders after every numbered one.
    qint64 seq = kUnnumberedSeq;
    QString text;
    std::optional<QString> toolCallId;
    std::optional<QString> toolName;
    QString arguments;
    std::optional<QString> resultText;
    bool resultIsError = false;
    std::optional<JSONValue> callView;
    std::optional<JSONValue> resultView;

    QString id() const { return QString::number(index); }
    bool operator==(const BlockItem &) const = default;
};

struct StepItem
{
    qint64 step = 0;
    std::vector<BlockItem> blocks;

    qint64 id() const noexcept { return step; }
    bool operator==(const StepItem &) const = default;
};

struct TurnItem
{
    qint64 turn = 0;
    std::vector<StepItem> steps;
    TurnStatus status;

    qint64 id() const noexcept { return turn; }
    bool operator==(const TurnItem &) const = default;
};

struct NoticeItem
{
    QString id;
    QString icon; // a system symbol name
    QString text;
    qint64 seq = 0;
    std::optional<QString> detail;
    std::optional<QString> payload;
    NoticeTint tint = NoticeTint::neutral;
    qint64 occurrenceCount = 1;

    bool operator==(const NoticeItem &) const = default;
};

// One row of a session's transcript.
using TranscriptItem = std::variant<UserMessageItem, TurnItem, NoticeItem>;

// The row's identity for list views: the message's id, "t-" and the turn number, the notice's id.
QString transcriptItemId(const TranscriptItem &item);

struct TodoItem
{
    QString content;
    QString status;

    const QString &id() const noexcept { return content; }
    bool isDone() const { return status == names::todoCompleted; }
    bool isActive() const { return status == names::todoInProgress; }
    bool operator==(const TodoItem &) const = default;
};

struct PermissionOption
{
    QString value;
    QString name;
    std::optional<QString> description;

    const QString &id() const noexcept { return value; }
    bool operator==(const PermissionOption &) const = default;
};

struct PermissionState
{
    std::vector<PermissionOption> options;
    QString currentValue;

    bool operator==(const PermissionState &) const = default;
};

struct TokenUsage
{
    qint64 inputTokens = 0;
    qint64 outputTokens = 0;
    std::optional<qint64> cacheReadTokens;
    std::optional<qint64> cacheWriteTokens;
    std::optional<qint64> reasoningTokens;

    bool operator==(const TokenUsage &) const = default;
};

struct SessionStats
{
    qint64 turns = 0;
    qint64 steps = 0;
    qint64 llmMs = 0;
    qint64 toolMs = 0;
    std::optional<qint64> ttftMs;
    std::optional<qint64> ttftSteps;
    std::optional<qint64> decodeMs;
    std::optional<qint64> decodeTokens;

    bool operator==(const SessionStats &) const = default;
};

struct GoalSnapshot
{
    QString id;
    qint64 revision = 0;
    QString objective;
    QString phase;
    std::optional<QString> blockedReason;
    std::optional<qint64> maxGoalRounds;

    bool operator==(const GoalSnapshot &) const = default;
};

struct GoalProjection
{
    GoalSnapshot goal;
    qint64 roundsStarted = 0;
    double createdAt = 0;
    double updatedAt = 0;

    bool operator==(const GoalProjection &) const = default;
};

// Where the fold finds rows without walking the transcript: the last row of each turn
// number, the first collecting notice of unmatched tool results, and for each tool call id
// the highest row that may hold a block with it. It is a cache over `items`: rows the fold
// did not append itself are indexed when first looked at, and a cached position that no
// longer holds what it should makes the fold rebuild the index. Code that changes existing
// rows other than through the fold resets it (`state.rowIndex = FoldRowIndex()`).
class FoldRowIndex
{
public:
    bool operator==(const FoldRowIndex &) const { return true; } // not part of the value

    // The first row the fold appended or handed out for changing since this was last called
    // (`rows` from then on): rows before it are as they were. A fresh index knows nothing, so
    // for it every row counts as changed.
    size_t takeChangedFrom(size_t rows) { return std::exchange(m_changedFrom, rows); }

private:
    friend struct FoldRowAccess;

    size_t m_changedFrom = 0;

    struct OrphanCounts
    {
        qsizetype row = -1;
        qsizetype payloadLength = -1; // UTF-16 units the counts below were taken over
        qint64 characters = 0;
        qint64 lines = 0;
    };

    QHash<qint64, qsizetype> m_turnRows;
    QHash<QString, qsizetype> m_callRows;
    qsizetype m_orphanRow = -1;
    qsizetype m_indexedRows = 0;
    OrphanCounts m_orphanCounts;
};

// The accumulator every fold writes into.
struct FoldState
{
    std::vector<TranscriptItem> items;
    SeqSet seenSeqs;
    QSet<QString> projectionKeys;
    qint64 lastSeq = -1;
    std::optional<QString> title;
    std::optional<GoalProjection> goal;
    std::vector<TodoItem> todos;
    std::optional<TokenUsage> usage;
    std::optional<SessionStats> stats;
    bool planActive = false;
    bool planPending = false;
    std::optional<PermissionState> permissions;
    std::optional<QString> permissionPreset;
    std::optional<QString> sandboxMode;
    std::optional<QString> agentPreset;
    std::optional<QString> subagentMode;
    std::optional<QString> subagentLabel;

    // Lookup cache of the fold; compares equal always.
    FoldRowIndex rowIndex;

    bool operator==(const FoldState &) const = default;
};

} // namespace nbd
