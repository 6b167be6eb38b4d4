// The figures of the runtime inspector (fixed formats) and of the run summary (locale formats).

#include "UI/Inspection/InspectorMetrics.h"

#include <QLocale>
#include <QtTest>

#include <limits>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

namespace {

SessionStats stats(std::optional<qint64> ttftMs, std::optional<qint64> ttftSteps, std::optional<qint64> decodeMs,
                   std::optional<qint64> decodeTokens)
{
    SessionStats s;
    s.turns = 3;
    s.steps = 12;
    s.llmMs = 65000;
    s.toolMs = 1500;
    s.ttftMs = ttftMs;
    s.ttftSteps = ttftSteps;
    s.decodeMs = decodeMs;
    s.decodeTokens = decodeTokens;
    return s;
}

TokenUsage usage(qint64 input, std::optional<qint64> cacheRead, qint64 output = 0)
{
    TokenUsage u;
    u.inputTokens = input;
    u.outputTokens = output;
    u.cacheReadTokens = cacheRead;
    return u;
}

UserMessageItem message(const QString &source)
{
    UserMessageItem m;
    m.sourceKind = source;
    return m;
}

class LocaleScope
{
public:
    explicit LocaleScope(const QLocale &locale) { QLocale::setDefault(locale); }
    ~LocaleScope() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
};

} // namespace

class TestInspectorMetrics : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void inspectorDuration_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << u"0 ms"_s;
        QTest::newRow("850") << qint64(850) << u"850 ms"_s;
        QTest::newRow("999") << qint64(999) << u"999 ms"_s;
        QTest::newRow("1000") << qint64(1000) << u"1.0 秒"_s;
        QTest::newRow("1500") << qint64(1500) << u"1.5 秒"_s;
        QTest::newRow("59999 rounds up, still seconds") << qint64(59999) << u"60.0 秒"_s;
        QTest::newRow("60000") << qint64(60000) << u"1.0 分"_s;
        QTest::newRow("90000") << qint64(90000) << u"1.5 分"_s;
        QTest::newRow("an hour") << qint64(3600000) << u"60.0 分"_s;
        QTest::newRow("negative") << qint64(-5) << u"-5 ms"_s;
        QTest::newRow("lowest") << std::numeric_limits<qint64>::min() << u"-9223372036854775808 ms"_s;
        // printf rounds ties on the binary value to even: 0.25 s → "0.2", 1.25 s → "1.2".
        QTest::newRow("tie to even") << qint64(1250) << u"1.2 秒"_s;
    }
    void inspectorDuration()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(InspectorMetrics::duration(ms), text);
    }

    void inspectorRates()
    {
        using namespace InspectorMetrics;
        QCOMPARE(averageTTFT(stats(1200, 2, {}, {})), std::optional(u"0.6 秒"_s));
        QCOMPARE(averageTTFT(stats(0, 3, {}, {})), std::optional(u"0.0 秒"_s));
        QCOMPARE(averageTTFT(stats(200000, 1, {}, {})), std::optional(u"200.0 秒"_s)); // never minutes
        QCOMPARE(averageTTFT(stats(1200, 0, {}, {})), std::nullopt);
        QCOMPARE(averageTTFT(stats({}, 2, {}, {})), std::nullopt);
        QCOMPARE(averageTTFT(stats(1200, {}, {}, {})), std::nullopt);
        QCOMPARE(averageTTFT(stats(1200, -1, {}, {})), std::nullopt);
        QCOMPARE(throughput(stats({}, {}, 2000, 500)), std::optional(u"250 tok/s"_s));
        QCOMPARE(throughput(stats({}, {}, 100, 0)), std::optional(u"0 tok/s"_s));
        QCOMPARE(throughput(stats({}, {}, 0, 500)), std::nullopt);
        QCOMPARE(throughput(stats({}, {}, {}, 500)), std::nullopt);
        QCOMPARE(throughput(stats({}, {}, 100, {})), std::nullopt);
    }

    void cacheShares()
    {
        using InspectorMetrics::cacheHitRate;
        QCOMPARE(cacheHitRate(usage(500, {})), std::nullopt);
        QCOMPARE(cacheHitRate(usage(0, 0)), std::nullopt);
        QCOMPARE(cacheHitRate(usage(0, 10)), std::optional(u"100%"_s));
        QCOMPARE(cacheHitRate(usage(300, 100)), std::optional(u"25%"_s));
        QCOMPARE(cacheHitRate(usage(2, 1)), std::optional(u"33%"_s));
        QCOMPARE(cacheHitRate(usage(10, 0)), std::optional(u"0%"_s));
        QCOMPARE(cacheHitRate(usage(-20, 10)), std::nullopt);
        // A sum past the 64-bit range is taken in floating point instead of wrapping negative.
        const qint64 big = std::numeric_limits<qint64>::max();
        QCOMPARE(cacheHitRate(usage(big, big)), std::optional(u"50%"_s));
        QCOMPARE(RunSummary::cacheHitText(usage(big, big)), std::optional(u"缓存命中 50%"_s));
        QCOMPARE(RunSummary::cacheHitText(usage(300, 100)), std::optional(u"缓存命中 25%"_s));
        QCOMPARE(RunSummary::cacheHitText(usage(10, 0)), std::optional(u"缓存命中 0%"_s));
        QCOMPARE(RunSummary::cacheHitText(usage(0, 0)), std::nullopt);
        QCOMPARE(RunSummary::cacheHitText(usage(10, {})), std::nullopt);
    }

    void permissionLabelsAndIcons_data()
    {
        QTest::addColumn<std::optional<QString>>("preset");
        QTest::addColumn<std::optional<QString>>("sandbox");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("icon");
        const std::optional<QString> none;
        QTest::newRow("both absent") << none << none << u"默认"_s << u"checkmark.shield"_s;
        QTest::newRow("read-only") << std::optional(u"read-only"_s) << none << u"只读"_s << u"lock"_s;
        QTest::newRow("sandbox fallback") << none << std::optional(u"read-only"_s) << u"只读"_s << u"lock"_s;
        QTest::newRow("preset wins") << std::optional(u"danger-full-access"_s) << std::optional(u"read-only"_s)
                                     << u"完全访问"_s << u"exclamationmark.shield"_s;
        QTest::newRow("workspace-write") << std::optional(u"workspace-write"_s) << none << u"工作区写入"_s
                                         << u"checkmark.shield"_s;
        QTest::newRow("unknown shown as is") << std::optional(u"custom-x"_s) << none << u"custom-x"_s
                                             << u"checkmark.shield"_s;
        QTest::newRow("case-sensitive") << std::optional(u"Read-Only"_s) << none << u"Read-Only"_s
                                        << u"checkmark.shield"_s;
    }
    void permissionLabelsAndIcons()
    {
        QFETCH(std::optional<QString>, preset);
        QFETCH(std::optional<QString>, sandbox);
        QFETCH(QString, label);
        QFETCH(QString, icon);
        QCOMPARE(InspectorMetrics::permissionLabel(preset, sandbox), label);
        QCOMPARE(InspectorMetrics::permissionIcon(preset, sandbox), icon);
    }

    void contextInjections()
    {
        std::vector<TranscriptItem> items;
        QCOMPARE(InspectorMetrics::contextInjectionCount(items), 0);
        items.emplace_back(message(u"user"_s));
        items.emplace_back(message(u"context"_s));
        items.emplace_back(message(QString())); // an empty source is no typing of the user
        items.emplace_back(TurnItem{});
        items.emplace_back(NoticeItem{});
        items.emplace_back(message(u"User"_s));
        QCOMPARE(InspectorMetrics::contextInjectionCount(items), 3);
    }

    void fixedFormatsIgnoreTheLocale()
    {
        const LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(InspectorMetrics::duration(1500), u"1.5 秒"_s);
        QCOMPARE(InspectorMetrics::duration(90000), u"1.5 分"_s);
        QCOMPARE(InspectorMetrics::averageTTFT(stats(1200, 2, {}, {})), std::optional(u"0.6 秒"_s));
        QCOMPARE(InspectorMetrics::throughput(stats({}, {}, 1000, 12345)), std::optional(u"12345 tok/s"_s));
        QCOMPARE(InspectorMetrics::cacheHitRate(usage(300, 100)), std::optional(u"25%"_s));
        QCOMPARE(RunSummary::duration(65000), u"1m5s"_s);
        // The counts do follow it.
        QCOMPARE(InspectorMetrics::integer(1234567), u"1.234.567"_s);
        QCOMPARE(RunSummary::tokenCount(1234), u"1,2k"_s);
        QCOMPARE(RunSummary::seconds(1234), u"1,2s"_s);
    }

    void summaryDuration_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("999") << qint64(999) << u"0s"_s;
        QTest::newRow("59999") << qint64(59999) << u"59s"_s;
        QTest::newRow("60000") << qint64(60000) << u"1m0s"_s;
        QTest::newRow("65000") << qint64(65000) << u"1m5s"_s;
        QTest::newRow("62m5s") << qint64((62 * 60 + 5) * 1000) << u"62m5s"_s;
        QTest::newRow("no grouping") << qint64(100000LL * 60 * 1000) << u"100000m0s"_s;
    }
    void summaryDuration()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(RunSummary::duration(ms), text);
    }

    void summaryCounts()
    {
        QCOMPARE(RunSummary::seconds(1234), u"1.2s"_s);
        QCOMPARE(RunSummary::seconds(12345), u"12s"_s);
        QCOMPARE(RunSummary::tokenCount(999), u"999"_s);
        QCOMPARE(RunSummary::tokenCount(1000), u"1.0k"_s);
        QCOMPARE(RunSummary::tokenCount(1234), u"1.2k"_s);
        QCOMPARE(RunSummary::tokenCount(99900), u"99.9k"_s);
        QCOMPARE(RunSummary::tokenCount(100000), u"100k"_s);
        QCOMPARE(RunSummary::tokenCount(123456), u"123k"_s);
        QCOMPARE(RunSummary::tokenCount(1234567), u"1,235k"_s);
        QCOMPARE(RunSummary::tokenCount(-5), u"-5"_s);
    }

    void performance()
    {
        using RunSummary::performanceText;
        QCOMPARE(performanceText(stats(2400, 2, 2000, 500)), std::optional(u"首 token 平均 1.2s · 250 tok/s"_s));
        QCOMPARE(performanceText(stats(2400, 0, 2000, 15)), std::optional(u"7.5 tok/s"_s));
        QCOMPARE(performanceText(stats(24000, 2, 0, 500)), std::optional(u"首 token 平均 12s"_s));
        QCOMPARE(performanceText(stats({}, 2, {}, 500)), std::nullopt);
        QCOMPARE(performanceText(stats(100, {}, 100, {})), std::nullopt);
    }

    void summarySegments()
    {
        using RunSummary::summarySegments;
        QVERIFY(summarySegments(std::nullopt, std::nullopt).empty());
        SessionStats s = stats({}, {}, {}, {});
        s.turns = 1200;
        QCOMPARE(summarySegments(s, std::nullopt),
                 (std::vector<QString>{u"1,200 轮 · 12 步"_s, u"LLM 1m5s · 工具调用 1s"_s}));
        const auto all = summarySegments(stats(1000, 1, 1000, 45), usage(300, 100, 1234));
        QCOMPARE(all, (std::vector<QString>{u"3 轮 · 12 步"_s, u"LLM 1m5s · 工具调用 1s"_s,
                                            u"首 token 平均 1.0s · 45 tok/s"_s, u"缓存命中 25%"_s,
                                            u"输入 300 · 输出 1.2k"_s}));
        QCOMPARE(RunSummary::toolTip(all), u"3 轮 · 12 步 | LLM 1m5s · 工具调用 1s | 首 token 平均 1.0s · 45 tok/s | "
                                           u"缓存命中 25% | 输入 300 · 输出 1.2k"_s);
        const auto tokensOnly = summarySegments(std::nullopt, usage(5, {}, 7));
        QCOMPARE(tokensOnly, std::vector<QString>{u"输入 5 · 输出 7"_s});
        QCOMPARE(RunSummary::toolTip(tokensOnly), u"输入 5 · 输出 7"_s);
    }
};

QTEST_GUILESS_MAIN(TestInspectorMetrics)
#include "tst_inspectormetrics.moc"
