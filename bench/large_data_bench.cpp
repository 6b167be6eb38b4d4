// Main-thread stalls when the host sends large data, offscreen. A "block" is the longest single
// event the GUI thread handled (or call it made) while the case ran, paints included:
//
//   ui.expand_5mb_max_block_ms       a tool result of 5 MB (60,000 lines of Chinese and ASCII)
//                                    expanded, then collapsed: the worst of the plain fallback,
//                                    the generic card and the terminal card
//   ui.expand_5mb_fallback_ms, ui.expand_5mb_generic_ms, ui.expand_5mb_terminal_ms
//                                    the same per card
//   ui.todos_10k_first_ms            opening the todo panel over a list of 10,000 items
//   ui.todos_10k_update_ms           one item of the open list changing status
//   ui.rows_burst_max_block_ms       10,000 transcript rows pushed into the open session in 5 s
//   ui.rows_burst_rss_mb             resident memory after the burst
//   ui.markdown_5mb_max_block_ms     an answer of 5 MB of Markdown (prose, lists, code, tables)
//                                    shown in the open session and scrolled through, then the
//                                    same answer streamed in by deltas, its final message
//                                    arriving and scrolled through again
//   ui.markdown_5mb_show_ms, ui.markdown_5mb_scroll_ms, ui.markdown_5mb_stream_ms,
//   ui.markdown_5mb_final_ms         the same per phase
//   ui.long_line_max_block_ms        a tool result that is one line of 5 MB (no line feed),
//                                    shown by the generic and the terminal card, and a diff of
//                                    100,000 lines: each expanded, scrolled through (the card's
//                                    own boxes to their middle and end, both ways), collapsed
//   ui.long_line_generic_ms, ui.long_line_terminal_ms, ui.long_line_diff_ms
//                                    the same per card
//
// Arguments pick cases (expand, todos, burst, markdown, longline; none: all). NBD_BENCH_WHO=1 names, on standard
// error, the receiver and type of each event that set a new longest block.

#include "WidgetBenchSupport.h"
#include "SimDemoWorld.h"
#include "SimSessions.h"
#include "TranscriptBenchSupport.h"
#include "Session/SessionModel.h"
#include "UI/Composer/GoalBannerView.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/TranscriptListView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace nbd;
using namespace Qt::StringLiterals;
namespace events = nbd::sim::events;
using namespace nbd::bench;

namespace {


// The longest top-level event the GUI thread handled while `measuring` is set.
class TimingApp : public EventTimingApplication
{
public:
    using EventTimingApplication::EventTimingApplication;

    bool measuring = false;
    double longest = 0;

protected:
    bool times(QObject *receiver, QEvent *event) override
    {
        if (!measuring)
            return false;
        static const bool who = qEnvironmentVariableIsSet("NBD_BENCH_WHO");
        m_name = who ? receiver->metaObject()->className() : nullptr;
        m_type = int(event->type());
        return true;
    }

    void timed(double ms) override
    {
        if (ms > longest) {
            longest = ms;
            if (m_name)
                std::fprintf(stderr, "block %.1f ms: %s event %d\n", ms, m_name, m_type);
        }
    }

private:
    const char *m_name = nullptr;
    int m_type = 0;
};

TimingApp *timing() { return static_cast<TimingApp *>(QCoreApplication::instance()); }

// Runs `step` as one event and then the event loop until `done` holds and `settleMs` have
// passed; the longest block seen.
double measure(const std::function<void()> &step, int settleMs = 400, const std::function<bool()> &done = {})
{
    TimingApp *app = timing();
    QCoreApplication::processEvents();
    app->longest = 0;
    app->measuring = true;
    bool stepped = false;
    QMetaObject::invokeMethod(app, [&] {
        step();
        stepped = true;
    }, Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    while (!stepped || clock.elapsed() < settleMs || (done && !done()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    app->measuring = false;
    return app->longest;
}

// With NBD_BENCH_WHO set, marks on standard error where a case's next phase starts.
void phase(const char *name)
{
    if (qEnvironmentVariableIsSet("NBD_BENCH_WHO"))
        std::fprintf(stderr, "-- %s\n", name);
}

QString fiveMegabytes()
{
    QString text;
    text.reserve(5'400'000);
    for (int i = 1; i <= 60000; ++i)
        text += u"第 %1 行：编译单元 src/module_%2.cpp 通过检查，耗时 %3 ms；warning count = 0, 输出已写入缓存目录\n"_s.arg(i).arg(i % 97).arg(i % 1000);
    return text;
}

// One tool call whose result is `result`, shown with `view` (none: the plain fallback).
// With `throughBoxes`, the transcript and the card's line boxes are also scrolled through, each
// step as its own event.
double expandAndCollapse(const QString &result, std::optional<JSONValue> view, bool throughBoxes = false)
{
    auto model = SessionModel::create(u"bench"_s);
    Feeder feed(model.get());
    feed.toolCallStep(u"运行全部检查"_s, u"bash"_s, result, view);
    feed(events::stepStart(1, 2));
    feed(events::assistantMessage(1, 2, u"检查完成。"_s));
    feed(events::turnEnd(1));
    settle(model.get());

    TranscriptWindow shown(model);
    QWidget &window = shown.window;
    ConversationTranscript *transcript = shown.transcript;
    window.repaint();

    auto *chip = transcript->findChild<ToolCallChip *>(u"tool-call-chip"_s);
    auto *header = chip ? chip->findChild<QAbstractButton *>(u"tool-call-header"_s) : nullptr;
    if (!header) {
        std::fprintf(stderr, "no tool chip\n");
        return -1;
    }
    const double open = measure([&] { header->click(); });
    if (!chip->isExpanded())
        std::fprintf(stderr, "chip did not expand\n");
    // Scroll through the open card a little, as a reader would.
    double scroll = measure([&] {
        transcript->list()->scrollToKey(transcript->list()->entries().back().key);
    });
    if (throughBoxes) {
        // Long boxes are filled away; what they do once filled counts too.
        const auto filled = [&] {
            const QList<LineBox *> boxes = transcript->findChildren<LineBox *>();
            return std::all_of(boxes.begin(), boxes.end(), [](LineBox *box) { return box->isFilled(); });
        };
        QElapsedTimer waited;
        waited.start();
        while (!filled() && waited.elapsed() < 60'000)
            scroll = std::max(scroll, measure([] {}, 100));
        QScrollBar *list = transcript->list()->verticalScrollBar();
        for (const double at : {0.0, 0.5, 1.0}) {
            scroll = std::max(scroll, measure([&] {
                list->setValue(int(list->maximum() * at));
                window.repaint();
            }, 150));
        }
        list->setValue(0);
        for (LineBox *box : transcript->findChildren<LineBox *>()) {
            QScrollBar *down = box->verticalScrollBar();
            QScrollBar *across = box->horizontalScrollBar();
            for (const double at : {0.5, 1.0}) {
                for (QScrollBar *bar : {down, across}) {
                    scroll = std::max(scroll, measure([&] {
                        bar->setValue(int(bar->maximum() * at));
                        box->viewport()->repaint();
                    }, 150));
                }
            }
        }
    }
    const double close = measure([&] {
        if (auto *h = transcript->findChild<ToolCallChip *>(u"tool-call-chip"_s))
            h->findChild<QAbstractButton *>(u"tool-call-header"_s)->click();
    });
    return std::max({open, scroll, close});
}

JSONValue todosValue(int count, int inProgressAt)
{
    JSONValue::Elements items;
    items.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const QString status = i == inProgressAt ? u"in_progress"_s : (i < inProgressAt ? u"completed"_s : u"pending"_s);
        items.push_back(JSONValue::object({{u"content"_s, u"第 %1 项任务：整理 module_%2 的接口"_s.arg(i + 1).arg(i % 50)},
                                           {u"status"_s, status}}));
    }
    return JSONValue::array(std::move(items));
}

void todos()
{
    auto model = SessionModel::create(u"todos"_s);
    Feeder feed(model.get());
    feed(events::draft(u"todo/write"_s, JSONValue::object({{u"todos"_s, todosValue(10000, 10)}})));
    settle(model.get());

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->addStretch(1);
    auto *banner = new GoalBannerView(nullptr, model, &window);
    layout->addWidget(banner);
    window.resize(1000, 600);
    window.show();
    QCoreApplication::processEvents();
    auto *header = banner->findChild<QAbstractButton *>(u"todo-header"_s);
    const double first = measure([&] {
        header->click();
        window.repaint();
    });
    const double update = measure([&] {
        feed(events::draft(u"todo/write"_s, JSONValue::object({{u"todos"_s, todosValue(10000, 11)}})));
        settle(model.get());
        window.repaint();
    });
    print("ui.todos_10k_first_ms", first);
    print("ui.todos_10k_update_ms", update);
}

void rowsBurst()
{
    auto model = SessionModel::create(u"burst"_s);
    Feeder feed(model.get());
    feed(events::userMessage(u"m0"_s, u"开始"_s));
    settle(model.get());
    TranscriptWindow shown(model);

    constexpr int kRows = 10000;
    constexpr int kSeconds = 5;
    const QString words = u"The resolver now caches lookups; 读取配置并且测试 the value. "_s;
    int sent = 0; // rows: a user message and an answer per turn
    int turn = 0;
    TimingApp *app = timing();
    app->longest = 0;
    app->measuring = true;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const int due = std::min<int>(kRows, int(clock.elapsed() * kRows / (kSeconds * 1000)));
        while (sent < due) {
            ++turn;
            feed.answeredTurn(turn, u"问题 "_s + QString::number(turn), words.repeated(1 + turn % 5));
            sent += 2;
        }
        if (sent >= kRows)
            ticker.stop();
    });
    ticker.start();
    while (ticker.isActive() || model->isTranscriptPublishScheduled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    app->measuring = false;
    print("ui.rows_burst_max_block_ms", app->longest);
    print("ui.rows_burst_rss_mb", rssMb());
}

// Scrolls the transcript through its whole height in `steps` jumps, then a few pages at its
// end; the longest block of any of them.
double scrollThrough(ConversationTranscript *transcript, int steps)
{
    QScrollBar *bar = transcript->list()->verticalScrollBar();
    double longest = 0;
    for (int i = 0; i <= steps; ++i) {
        longest = std::max(longest, measure([&] { bar->setValue(int(qint64(bar->maximum()) * i / steps)); }, 60));
    }
    for (int i = 0; i < 5; ++i)
        longest = std::max(longest, measure([&] { bar->setValue(bar->value() - bar->pageStep()); }, 60));
    return longest;
}

void markdown()
{
    const QString big = nbd::sim::largeMarkdownAnswer(5'000'000);
    auto model = SessionModel::create(u"markdown"_s);
    Feeder feed(model.get());
    feed.finishedAnswer(big);
    settle(model.get());

    TranscriptWindow frame;
    auto &[window, transcript] = frame;
    const auto done = [&] { return markdownParsed(transcript); };
    phase("show");
    const double shown = measure([&] {
        transcript->setSession(model);
        window.repaint();
    }, 400, done);
    phase("scroll");
    const double scrolled = scrollThrough(transcript, 40);

    // The same answer streamed in: 40 deltas of an eighth of a megabyte each, one per publish,
    // then its final message.
    auto streaming = SessionModel::create(u"markdown-stream"_s);
    Feeder stream(streaming.get());
    stream(events::userMessage(u"m1"_s, u"写一份报告"_s));
    stream(events::turnStart(1));
    stream(events::stepStart(1, 1));
    settle(streaming.get());
    phase("stream");
    const double streamed = measure([&] { transcript->setSession(streaming); }, 100);
    double deltas = streamed;
    constexpr qsizetype kDelta = 125'000;
    for (qsizetype at = 0; at < big.size(); at += kDelta) {
        deltas = std::max(deltas, measure([&] {
            stream(events::textDelta(1, 1, 0, big.mid(at, kDelta)));
        }, 120));
    }
    phase("final");
    const double final = measure([&] {
        stream(events::assistantMessage(1, 1, big));
        stream(events::turnEnd(1));
    }, 400, done);
    phase("scroll");
    const double finalScrolled = scrollThrough(transcript, 10);
    print("ui.markdown_5mb_show_ms", shown);
    print("ui.markdown_5mb_scroll_ms", std::max(scrolled, finalScrolled));
    print("ui.markdown_5mb_stream_ms", deltas);
    print("ui.markdown_5mb_final_ms", final);
    print("ui.markdown_5mb_max_block_ms", std::max({shown, scrolled, deltas, final, finalScrolled}));
}

// Rows of a diff: `count` lines, half removed and half added.
JSONValue hugeDiff(int count)
{
    QString removed;
    QString added;
    for (int i = 1; i <= count / 2; ++i) {
        removed += u"第 %1 行：旧的配置 module_%2 = %3;  // 已废弃\n"_s.arg(i).arg(i % 97).arg(i % 1000);
        added += u"第 %1 行：新的配置 module_%2 = %3;  // 替换为缓存目录\n"_s.arg(i).arg(i % 97).arg(i % 1000);
    }
    JSONValue entry = JSONValue::object({{u"path"_s, u"src/config.ini"_s}, {u"oldText"_s, removed}, {u"newText"_s, added}});
    return JSONValue::object({{u"card"_s, u"diff"_s}, {u"diffs"_s, JSONValue::array({std::move(entry)})}});
}

void longLines()
{
    QString line = fiveMegabytes();
    line.replace(u'\n', u' ');
    const double generic = expandAndCollapse(line, JSONValue::object({{u"card"_s, u"generic"_s}}), true);
    print("ui.long_line_generic_ms", generic);
    const double terminal = expandAndCollapse(
        line, JSONValue::object({{u"card"_s, u"terminal"_s}, {u"cwd"_s, u"/srv/project"_s}, {u"exitCode"_s, JSONValue(0)}, {u"output"_s, line}}),
        true);
    print("ui.long_line_terminal_ms", terminal);
    const double diff = expandAndCollapse(u"已修改 src/config.ini"_s, hugeDiff(100'000), true);
    print("ui.long_line_diff_ms", diff);
    print("ui.long_line_max_block_ms", std::max({generic, terminal, diff}));
}

} // namespace

int main(int argc, char **argv)
{
    StartedApplication<TimingApp> app(argc, argv);
    const QStringList only = app.arguments().mid(1);
    const auto wanted = [&](const QString &name) { return only.isEmpty() || only.contains(name); };

    if (wanted(u"expand"_s)) {
        const QString big = fiveMegabytes();
        const double fallback = expandAndCollapse(big, std::nullopt);
        print("ui.expand_5mb_fallback_ms", fallback);
        const double generic = expandAndCollapse(big, JSONValue::object({{u"card"_s, u"generic"_s}}));
        print("ui.expand_5mb_generic_ms", generic);
        const double terminal = expandAndCollapse(
            big, JSONValue::object({{u"card"_s, u"terminal"_s}, {u"cwd"_s, u"/srv/project"_s}, {u"exitCode"_s, JSONValue(0)}, {u"output"_s, big}}));
        print("ui.expand_5mb_terminal_ms", terminal);
        print("ui.expand_5mb_max_block_ms", std::max({fallback, generic, terminal}));
    }
    if (wanted(u"todos"_s))
        todos();
    if (wanted(u"burst"_s))
        rowsBurst();
    if (wanted(u"markdown"_s))
        markdown();
    if (wanted(u"longline"_s))
        longLines();
    return 0;
}
