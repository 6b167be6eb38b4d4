#pragma once

#include "Session/Transcript.h"

#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// A tooltip that shows `text` as written: the text itself unless Qt would take it for markup,
// else its escaped form.
QString shownAsPlainText(const QString &text);

// The figures of the runtime inspector. Its fixed formats ("1.5 秒", "250 tok/s", "25%")
// read the same in every locale; only the plain counts follow the user's locale.
namespace InspectorMetrics {

// A count with the current locale's grouping separators.
QString integer(qint64 value);
// "850 ms" up to 999 ms, then "1.5 秒" below a minute, then "1.5 分".
QString duration(qint64 ms);
// The mean time to first token per step in seconds; none without steps.
std::optional<QString> averageTTFT(const SessionStats &stats);
// Decoded tokens per second; none without decode time.
std::optional<QString> throughput(const SessionStats &stats);
// The share of input served from the prompt cache; none without a cache figure or input.
std::optional<QString> cacheHitRate(const TokenUsage &usage);
// The permission preset (else the sandbox mode) as the inspector names it, and its symbol.
QString permissionLabel(const std::optional<QString> &permissionPreset, const std::optional<QString> &sandboxMode);
QString permissionIcon(const std::optional<QString> &permissionPreset, const std::optional<QString> &sandboxMode);
// User items the host injected into the context (any source but the user's own typing).
qint64 contextInjectionCount(const std::vector<TranscriptItem> &items);

// cacheRead / (input + cacheRead) in percent; none when that total is zero or less. A total
// beyond the 64-bit range is summed in floating point instead of wrapping.
std::optional<double> cacheShare(const TokenUsage &usage);

} // namespace InspectorMetrics

// The figures of the one-line run summary, in the user's locale.
namespace RunSummary {

// "59s", "1m5s", "62m5s": whole seconds, no grouping.
QString duration(qint64 ms);
// Milliseconds as seconds: one decimal below 10, none from 10 on; "s" after.
QString seconds(double ms);
// "999", "1.0k", "99.9k", "123k", "1,235k".
QString tokenCount(qint64 count);
// "首 token 平均 1.2s" and "45 tok/s", joined with " · "; none when neither applies.
std::optional<QString> performanceText(const SessionStats &stats);
// "缓存命中 25%"; none without a cache figure or input.
std::optional<QString> cacheHitText(const TokenUsage &usage);
// The segments in order: turns and steps, time split, performance, cache, tokens.
std::vector<QString> summarySegments(const std::optional<SessionStats> &stats, const std::optional<TokenUsage> &usage);
// All segments joined with " | ".
QString toolTip(const std::vector<QString> &segments);

} // namespace RunSummary

} // namespace nbd
