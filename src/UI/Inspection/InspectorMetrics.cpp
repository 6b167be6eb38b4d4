#include "UI/Inspection/InspectorMetrics.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/PlainToolTip.h"

#include <QLocale>
#include <QTextDocument>

#include <charconv>
#include <cmath>
#include <string>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Fixed decimals rounded as printf rounds (ties to even on the binary value), without
// following the C locale that QApplication sets.
std::string fixedDigits(double value, int decimals)
{
    char buffer[400];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc())
        return "0";
    return std::string(buffer, end);
}

QString fixed(double value, int decimals)
{
    return QString::fromStdString(fixedDigits(value, decimals));
}

// The same digits in the current locale's spelling (decimal sign, grouping).
QString localized(double value, int decimals)
{
    if (!std::isfinite(value))
        return QLocale().toString(value, 'f', decimals);
    const std::string digits = fixedDigits(value, decimals);
    double rounded = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), rounded);
    return QLocale().toString(rounded, 'f', decimals);
}

const std::optional<QString> &presetValue(const std::optional<QString> &preset, const std::optional<QString> &sandbox)
{
    return preset ? preset : sandbox;
}

} // namespace

QString shownAsPlainText(const QString &text)
{
    return Qt::mightBeRichText(text) ? plainToolTip(text) : text;
}

namespace InspectorMetrics {

QString integer(qint64 value)
{
    return QLocale().toString(value);
}

QString duration(qint64 ms)
{
    if (ms <= 999)
        return QString::number(ms) + u" ms"_s;
    const double s = double(ms) / 1000.0;
    if (s < 60)
        return fixed(s, 1) + u" 秒"_s;
    return fixed(s / 60.0, 1) + u" 分"_s;
}

std::optional<QString> averageTTFT(const SessionStats &stats)
{
    if (!stats.ttftMs || !stats.ttftSteps || *stats.ttftSteps <= 0)
        return std::nullopt;
    return fixed(double(*stats.ttftMs) / double(*stats.ttftSteps) / 1000.0, 1) + u" 秒"_s;
}

std::optional<QString> throughput(const SessionStats &stats)
{
    if (!stats.decodeMs || !stats.decodeTokens || *stats.decodeMs <= 0)
        return std::nullopt;
    return fixed(double(*stats.decodeTokens) * 1000.0 / double(*stats.decodeMs), 0) + u" tok/s"_s;
}

std::optional<double> cacheShare(const TokenUsage &usage)
{
    if (!usage.cacheReadTokens)
        return std::nullopt;
    qint64 total = 0;
    double share = 0;
    if (__builtin_add_overflow(usage.inputTokens, *usage.cacheReadTokens, &total)) {
        const double wide = double(usage.inputTokens) + double(*usage.cacheReadTokens);
        if (wide <= 0)
            return std::nullopt;
        share = double(*usage.cacheReadTokens) / wide;
    } else {
        if (total <= 0)
            return std::nullopt;
        share = double(*usage.cacheReadTokens) / double(total);
    }
    return share * 100.0;
}

std::optional<QString> cacheHitRate(const TokenUsage &usage)
{
    const auto share = cacheShare(usage);
    if (!share)
        return std::nullopt;
    return fixed(*share, 0) + u'%';
}

QString permissionLabel(const std::optional<QString> &permissionPreset, const std::optional<QString> &sandboxMode)
{
    const auto &value = presetValue(permissionPreset, sandboxMode);
    if (!value)
        return u"默认"_s;
    if (*value == u"read-only")
        return u"只读"_s;
    if (*value == u"workspace-write")
        return u"工作区写入"_s;
    if (*value == u"danger-full-access")
        return u"完全访问"_s;
    return *value;
}

QString permissionIcon(const std::optional<QString> &permissionPreset, const std::optional<QString> &sandboxMode)
{
    const auto &value = presetValue(permissionPreset, sandboxMode);
    if (value && *value == u"read-only")
        return u"lock"_s;
    if (value && *value == u"danger-full-access")
        return u"exclamationmark.shield"_s;
    return u"checkmark.shield"_s;
}

qint64 contextInjectionCount(const std::vector<TranscriptItem> &items)
{
    qint64 count = 0;
    for (const TranscriptItem &item : items) {
        if (const auto *message = std::get_if<UserMessageItem>(&item); message && !message->isPlainUser())
            ++count;
    }
    return count;
}

} // namespace InspectorMetrics

namespace RunSummary {

QString duration(qint64 ms)
{
    const qint64 whole = ms / 1000;
    if (ms >= 60000)
        return QString::number(whole / 60) + u'm' + QString::number(whole % 60) + u's';
    return QString::number(whole) + u's';
}

QString seconds(double ms)
{
    const double s = ms / 1000.0;
    return localized(s, s < 10 ? 1 : 0) + u's';
}

QString tokenCount(qint64 count)
{
    if (count <= 999)
        return QLocale().toString(count);
    const double thousands = double(count) / 1000.0;
    return localized(thousands, thousands < 100 ? 1 : 0) + u'k';
}

std::optional<QString> performanceText(const SessionStats &stats)
{
    QStringList parts;
    if (stats.ttftMs && stats.ttftSteps && *stats.ttftSteps > 0)
        parts << u"首 token 平均 "_s + seconds(double(*stats.ttftMs) / double(*stats.ttftSteps));
    if (stats.decodeMs && stats.decodeTokens && *stats.decodeMs > 0) {
        const double rate = double(*stats.decodeTokens) * 1000.0 / double(*stats.decodeMs);
        parts << localized(rate, rate < 10 ? 1 : 0) + u" tok/s"_s;
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(u" · "_s);
}

std::optional<QString> cacheHitText(const TokenUsage &usage)
{
    const auto share = InspectorMetrics::cacheShare(usage);
    if (!share)
        return std::nullopt;
    return u"缓存命中 "_s + localized(*share, 0) + u'%';
}

std::vector<QString> summarySegments(const std::optional<SessionStats> &stats, const std::optional<TokenUsage> &usage)
{
    std::vector<QString> segments;
    if (stats) {
        const QLocale locale;
        segments.push_back(locale.toString(stats->turns) + u" 轮 · "_s + locale.toString(stats->steps) + u" 步"_s);
        segments.push_back(u"LLM "_s + duration(stats->llmMs) + u" · 工具调用 "_s + duration(stats->toolMs));
        if (auto performance = performanceText(*stats))
            segments.push_back(std::move(*performance));
    }
    if (usage) {
        if (auto cache = cacheHitText(*usage))
            segments.push_back(std::move(*cache));
        segments.push_back(u"输入 "_s + tokenCount(usage->inputTokens) + u" · 输出 "_s + tokenCount(usage->outputTokens));
    }
    return segments;
}

QString toolTip(const std::vector<QString> &segments)
{
    QString text;
    for (const QString &segment : segments) {
        if (!text.isEmpty())
            text += u" | "_s;
        text += segment;
    }
    return text;
}

} // namespace RunSummary

} // namespace nbd
