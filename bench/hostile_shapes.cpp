// Host data of hostile shapes, offscreen: for each shape, the longest time the GUI thread was
// busy in one go (the largest gap of a 1 ms heartbeat, less its period) while the view was built,
// shown, scrolled through and, for cards, collapsed again; and the resident memory after it.
//
//   shape.<name>.max_block_ms, shape.<name>.rss_mb
//
// Cards: diff_5000 (a diff of 5,000 files), web_10000 (a web search of 10,000 sources),
// generic_10000 (a generic card of 10,000 locations), cards_18_expand_collapse (18 cards of a
// megabyte each opened and closed). Markdown answers: markdown_line_1mb (one unbroken line),
// markdown_combining_100k ("e" under 100,000 combining marks), markdown_zwj_160k (an emoji-ZWJ
// paragraph of 160,000 units), markdown_fence_100k (a fence of 100,000 lines never closed),
// code_2m_lines (a code block of 2,000,000 lines and a paragraph after it). The wire:
// reply_50mb (a 50 MB answer to a remote call, valid and garbage), frames_100k (100,000 stream
// frames into the open session through the store). settings_2000: the host's settings of 2,000
// namespaces opened in the settings window. The terminal dock: terminal_random_10mb,
// terminal_line_5mb, terminal_yes.
//
// Arguments pick shapes by name, in their order (none: all).

#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "TranscriptBenchSupport.h"
#include "WidgetBenchSupport.h"
#include "Domain/Sessions.h"
#include "App/ViewOwners.h"
#include "Store/AppModel.h"
#include "Store/WorkspaceTerminalModel.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/TranscriptListView.h"
#include "UI/Settings/HostSettingsTab.h"
#include "UI/Settings/SettingsSection.h"
#include "UI/Settings/SettingsView.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Tools/WorkspaceTerminalDock.h"
#include "Wire/WireClient.h"

#include <QAbstractButton>
#include <QCoroTask>
#include <QLineEdit>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

using namespace nbd;
using namespace Qt::StringLiterals;
using namespace nbd::bench;
namespace events = nbd::sim::events;

namespace {

// A 1 ms single-shot timer started again at each tick: the largest gap between two ticks is
// the longest the GUI thread was kept from its event loop.
class Heartbeat : public QObject
{
public:
    Heartbeat()
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start(1);
    }
    double stop()
    {
        tick();
        m_timer.stop();
        return std::max(0.0, m_longest - 1.0);
    }

private:
    void tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        m_longest = std::max(m_longest, double(now - m_last) / 1e6);
        m_last = now;
        m_timer.start(1);
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    double m_longest = 0;
};

Heartbeat *heartbeat()
{
    static Heartbeat beat;
    return &beat;
}

// Runs `step` as one event, then the event loop until `done` holds (at most a minute) and
// `settleMs` have passed; the longest block seen.
double measure(const std::function<void()> &step, const std::function<bool()> &done = {}, int settleMs = 300)
{
    QCoreApplication::processEvents();
    heartbeat()->start();
    bool stepped = false;
    QTimer::singleShot(0, [&] {
        step();
        stepped = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!stepped || clock.elapsed() < settleMs || (done && !done() && clock.elapsed() < 60'000))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return heartbeat()->stop();
}

// The resident memory is read with the freed heap returned to the system first: what the
// shape still holds, not what earlier shapes once took.
void report(const QString &name, double blockMs)
{
    ::malloc_trim(0);
    print(QByteArray("shape." + name.toUtf8() + ".max_block_ms").constData(), blockMs);
    print(QByteArray("shape." + name.toUtf8() + ".rss_mb").constData(), rssMb());
}

// Scrolls the transcript through its height in steps, each step as its own event.
double scrollThrough(ConversationTranscript *transcript, int steps = 20)
{
    QScrollBar *bar = transcript->list()->verticalScrollBar();
    double longest = 0;
    for (int i = 0; i <= steps; ++i)
        longest = std::max(longest, measure([&] { bar->setValue(int(qint64(bar->maximum()) * i / steps)); }, {}, 60));
    return longest;
}

// ---- Markdown answers ----

double markdownAnswer(const QString &text)
{
    auto model = SessionModel::create(u"markdown"_s);
    Feeder feed(model.get());
    feed.finishedAnswer(text);
    settle(model.get());
    TranscriptWindow shown;
    const double show = measure([&] {
        shown.transcript->setSession(model);
        shown.window.repaint();
    }, [&] { return markdownParsed(shown.transcript); }, 500);
    return std::max(show, scrollThrough(shown.transcript));
}

QString codeBlock(int lines)
{
    QString text = u"```\n"_s;
    text.reserve(qsizetype(lines) * 8 + 64);
    for (int i = 0; i < lines; ++i)
        text += QString::number(i) + u'\n';
    return text + u"```\n\n之后的文字。\n"_s;
}

QString fenceWithoutEnd(int lines)
{
    QString text = u"```python\n"_s;
    for (int i = 0; i < lines; ++i)
        text += u"value_"_s + QString::number(i) + u" = compute("_s + QString::number(i) + u")\n"_s;
    return text;
}

// ---- Cards ----

// One tool call whose card is `view`, expanded, scrolled through and collapsed.
double card(const JSONValue &view, const QString &result = u"完成"_s)
{
    auto model = SessionModel::create(u"card"_s);
    Feeder feed(model.get());
    feed.toolCallStep(u"运行"_s, u"tool"_s, result, view);
    feed(events::turnEnd(1));
    settle(model.get());
    TranscriptWindow shown(model);
    shown.window.repaint();
    auto *chip = shown.transcript->findChild<ToolCallChip *>(u"tool-call-chip"_s);
    auto *header = chip ? chip->findChild<QAbstractButton *>(u"tool-call-header"_s) : nullptr;
    if (!header) {
        std::fprintf(stderr, "no tool chip\n");
        return -1;
    }
    const double open = measure([&] {
        header->click();
        shown.window.repaint();
    });
    const double scrolled = scrollThrough(shown.transcript);
    const double close = measure([&] { header->click(); });
    return std::max({open, scrolled, close});
}

JSONValue diffCard(int files)
{
    JSONValue::Elements diffs;
    for (int i = 0; i < files; ++i) {
        diffs.push_back(JSONValue::object({{u"path"_s, u"src/module_%1/file_%2.cpp"_s.arg(i % 50).arg(i)},
                                           {u"oldText"_s, u"int value = %1;\n"_s.arg(i)},
                                           {u"newText"_s, u"int value = %1; // 已更新\n"_s.arg(i + 1)}}));
    }
    return JSONValue::object({{u"card"_s, u"diff"_s}, {u"diffs"_s, JSONValue::array(std::move(diffs))}});
}

JSONValue webCard(int sources)
{
    JSONValue::Elements list;
    for (int i = 0; i < sources; ++i) {
        list.push_back(JSONValue::object({{u"url"_s, u"https://example.com/page/%1"_s.arg(i)},
                                          {u"title"_s, u"第 %1 个来源：缓存与查找"_s.arg(i)},
                                          {u"snippet"_s, u"The resolver caches lookups for %1 ms; 结果已写入。"_s.arg(i)}}));
    }
    return JSONValue::object({{u"card"_s, u"web"_s}, {u"answer"_s, u"找到了这些来源。"_s}, {u"sources"_s, JSONValue::array(std::move(list))}});
}

JSONValue genericCard(int locations)
{
    JSONValue::Elements list;
    for (int i = 0; i < locations; ++i)
        list.push_back(JSONValue::object({{u"path"_s, u"src/module_%1/file_%2.cpp"_s.arg(i % 50).arg(i)}, {u"line"_s, JSONValue(qint64(i % 900 + 1))}}));
    return JSONValue::object({{u"card"_s, u"generic"_s}, {u"content"_s, u"找到的位置"_s}, {u"locations"_s, JSONValue::array(std::move(list))}});
}

// 18 tool calls of a megabyte of output each, expanded one after the other, then collapsed.
double eighteenCards()
{
    QString big;
    for (int i = 0; big.size() < 1'000'000; ++i)
        big += u"第 %1 行：编译单元 src/module_%2.cpp 通过检查\n"_s.arg(i).arg(i % 97);
    auto model = SessionModel::create(u"cards"_s);
    Feeder feed(model.get());
    feed(events::userMessage(u"m1"_s, u"运行"_s));
    feed(events::turnStart(1));
    for (int i = 1; i <= 18; ++i) {
        const QString call = u"c"_s + QString::number(i);
        feed(events::stepStart(1, i));
        feed(events::assistantMessage(1, i, QString(), {{call, u"bash"_s}}));
        feed(events::toolResult(1, i, call, big), events::toolView(call, JSONValue::object({{u"card"_s, u"terminal"_s}, {u"cwd"_s, u"/srv"_s}, {u"exitCode"_s, JSONValue(0)}, {u"output"_s, big}})));
    }
    feed(events::turnEnd(1));
    settle(model.get());
    TranscriptWindow shown(model);
    TranscriptListView *list = shown.transcript->list();
    std::vector<QString> keys;
    for (const TranscriptEntry &entry : list->entries())
        keys.push_back(entry.key);
    double longest = 0;
    int toggled = 0;
    // Each row brought into view, and every card on it opened; then all of them closed again.
    for (const bool expand : {true, false}) {
        for (const QString &key : keys) {
            longest = std::max(longest, measure([&] { list->scrollToKey(key); }, {}, 60));
            // A click may lay the rows out again and take other cards away.
            QList<QPointer<ToolCallChip>> chips;
            for (ToolCallChip *chip : shown.transcript->findChildren<ToolCallChip *>(u"tool-call-chip"_s))
                chips << chip;
            for (const QPointer<ToolCallChip> &chip : std::as_const(chips)) {
                if (!chip || chip->isExpanded() == expand || !chip->isVisible())
                    continue;
                QAbstractButton *header = chip->findChild<QAbstractButton *>(u"tool-call-header"_s);
                longest = std::max(longest, measure([&] { header->click(); }, {}, 100));
                ++toggled;
            }
        }
    }
    if (toggled < 36)
        std::fprintf(stderr, "only %d cards opened or closed\n", toggled);
    return longest;
}

// ---- The wire ----

// The simulated host on a thread of its own: its work is not the GUI thread's.
struct HostThread
{
    QThread thread;
    QObject context;
    std::unique_ptr<sim::SimHost> host;
    std::unique_ptr<sim::SimWorld> world;
    QUrl baseUrl;

    HostThread()
    {
        thread.start();
        context.moveToThread(&thread);
        run([this] {
            host = std::make_unique<sim::SimHost>();
            if (host->listen(0))
                baseUrl = host->baseUrl();
            world = std::make_unique<sim::SimWorld>(host.get());
        });
    }
    ~HostThread()
    {
        run([this] {
            world.reset();
            host.reset();
        });
        thread.quit();
        thread.wait();
    }
    void run(const std::function<void()> &work) { QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection); }
};

// The call, its outcome whatever it is, then `finished` set.
QCoro::Task<void> callOnce(WireClient client, bool *finished)
{
    try {
        const SessionListValue list = co_await client.call<SessionListValue>(u"session.list"_s, JSONValue::emptyObject());
        Q_UNUSED(list);
    } catch (...) {
    }
    *finished = true;
}

double bigReplies()
{
    HostThread host;
    WireSession session;
    const WireClient client(host.baseUrl, &session);
    QByteArray valid = R"({"type":"server-response","rpcId":"x","result":{"ok":true,"value":{"items":[)";
    for (int i = 0; valid.size() < 50'000'000; ++i) {
        if (i > 0)
            valid += ',';
        valid += R"({"sessionId":"s)" + QByteArray::number(i) + R"(","title":"第 )" + QByteArray::number(i)
            + R"( 个会话：检查缓存","updatedAt":)" + QByteArray::number(i)
            + R"(,"running":false,"blank":false,"cwd":"/srv/project/module"})";
    }
    valid += "]}}}";
    QByteArray garbage = valid;
    garbage[garbage.size() / 2] = '}';
    double longest = 0;
    for (const QByteArray *body : {&valid, &garbage}) {
        host.run([&] { host.host->setReply(u"session.list"_s, sim::Reply::raw(*body)); });
        bool finished = false;
        longest = std::max(longest, measure([&] { (void)callOnce(client, &finished); }, [&] { return finished; }));
    }
    return longest;
}

// The store on a configuration of its own, connected to `host`.
struct ConnectedStore
{
    QTemporaryDir dir;
    std::unique_ptr<AppModel> store;

    explicit ConnectedStore(const HostThread &host)
    {
        auto settings = std::make_unique<QSettings>(dir.filePath(u"nimbrel.ini"_s), QSettings::IniFormat);
        settings->setValue(u"nbd.serverURL"_s, host.baseUrl.toString());
        settings->setValue(u"nbd.launchMode"_s, u"external"_s);
        settings->sync();
        store = std::make_unique<AppModel>(std::move(settings), true);
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 30'000 && !store->connection()->phase().isConnected())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
};

// The host's settings of 2,000 namespaces, each of a few entries, opened in the settings window.
double hostSettings()
{
    HostThread host;
    JSONValue::Elements namespaces;
    for (int i = 0; i < 2000; ++i) {
        JSONValue::Members value;
        for (int k = 0; k < 5; ++k)
            value.emplace_back(u"key_%1"_s.arg(k), JSONValue(u"第 %1 项的值 %2"_s.arg(i).arg(k)));
        namespaces.push_back(JSONValue::object({{u"ns"_s, u"plugin.module_%1"_s.arg(i)},
                                                {u"schema"_s, JSONValue::emptyObject()},
                                                {u"value"_s, JSONValue::object(std::move(value))},
                                                {u"applies"_s, u"live"_s},
                                                {u"secrets"_s, JSONValue::array({})},
                                                {u"revision"_s, JSONValue(qint64(i))}}));
    }
    const JSONValue describe = JSONValue::object(
        {{u"writable"_s, true}, {u"hasDocument"_s, true}, {u"namespaces"_s, JSONValue::array(std::move(namespaces))}});
    host.run([&] { host.host->setReply(u"settings.describe"_s, sim::Reply::value(describe)); });
    ConnectedStore connected(host);
    QWidget window;
    auto *view = new SettingsView(settingsOwners(connected.store.get()), &window);
    window.resize(view->size());
    window.show();
    QCoreApplication::processEvents();
    auto *row = window.findChild<QAbstractButton *>(u"settings-section-"_s + settingsSectionRawValue(SettingsSection::Host));
    if (!row) {
        std::fprintf(stderr, "no host settings row\n");
        return -1;
    }
    const auto loaded = [&] {
        auto *page = qobject_cast<HostSettingsTab *>(view->page());
        return page && (page->loaded() || page->loadFailure());
    };
    double longest = measure([&] { row->click(); }, loaded, 500);
    if (auto *area = view->page() ? view->page()->findChild<QScrollArea *>() : nullptr) {
        QScrollBar *bar = area->verticalScrollBar();
        for (int i = 0; i <= 10; ++i)
            longest = std::max(longest, measure([&] { bar->setValue(int(qint64(bar->maximum()) * i / 10)); }, {}, 60));
    }
    return longest;
}

double frameBurst()
{
    constexpr int kFrames = 100'000;
    const QString id = u"burst"_s;
    HostThread host;
    host.run([&] {
        sim::SimWorld::Session session;
        session.id = id;
        session.updatedAt = 1000;
        session.running = true;
        host.world->addSession(session);
        host.world->appendEvent(id, events::userMessage(u"u1"_s, u"开始"_s));
    });
    ConnectedStore connected(host);
    AppModel &store = *connected.store;
    QElapsedTimer waited;
    waited.start();
    store.selection()->selectSession(id);
    std::shared_ptr<SessionModel> model;
    while (waited.elapsed() < 30'000 && !(model = store.selection()->sessionModel(id)))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    while (waited.elapsed() < 30'000 && model && !model->historyLoaded())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!model) {
        std::fprintf(stderr, "no session model\n");
        return -1;
    }
    TranscriptWindow shown(model);
    bool pushed = false;
    quint64 revision = 0;
    QElapsedTimer still;
    const double block = measure([&] {
        // Pushed from the host's thread while the GUI thread takes them in.
        QMetaObject::invokeMethod(&host.context, [&] {
            host.world->pushSessionEvent(id, events::turnStart(1));
            host.world->pushSessionEvent(id, events::stepStart(1, 1));
            host.world->pushSessionEvent(id, events::blockStart(1, 1, 0));
            for (int i = 0; i < kFrames; ++i)
                host.world->pushSessionEvent(id, events::textDelta(1, 1, 0, u"词 "_s + QString::number(i) + u' '));
            pushed = true;
        }, Qt::QueuedConnection);
    }, [&] {
        if (model->itemsRevision() != revision) {
            revision = model->itemsRevision();
            still.start();
        }
        return pushed && still.isValid() && still.elapsed() > 1000 && !model->isTranscriptPublishScheduled();
    });
    return block;
}

// ---- The terminal ----

double terminal(const QString &command)
{
    QTemporaryDir dir;
    QWidget window;
    window.resize(1000, 400);
    auto *model = new WorkspaceTerminalModel(QUrl::fromLocalFile(dir.path()), &window);
    auto *dock = new WorkspaceTerminalDock(model, [] {}, &window);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(dock);
    window.show();
    QCoreApplication::processEvents();
    QElapsedTimer idle;
    return measure([&] { model->execute(command); }, [&] {
        if (model->isRunning())
            return false;
        if (!idle.isValid())
            idle.start();
        return idle.elapsed() > 500;
    });
}

} // namespace

int main(int argc, char **argv)
{
    StartedApplication<QApplication> app(argc, argv);
    const std::vector<std::pair<QString, std::function<double()>>> shapes{
        {u"diff_5000"_s, [] { return card(diffCard(5000)); }},
        {u"web_10000"_s, [] { return card(webCard(10000)); }},
        {u"generic_10000"_s, [] { return card(genericCard(10000)); }},
        {u"markdown_line_1mb"_s, [] { return markdownAnswer(QString(1'000'000, u'x')); }},
        {u"markdown_combining_100k"_s, [] { return markdownAnswer(u"e"_s + QString(100'000, QChar(0x0301))); }},
        {u"markdown_zwj_160k"_s, [] { return markdownAnswer(u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s.repeated(20'000)); }},
        {u"markdown_fence_100k"_s, [] { return markdownAnswer(fenceWithoutEnd(100'000)); }},
        {u"code_2m_lines"_s, [] { return markdownAnswer(codeBlock(2'000'000)); }},
        {u"reply_50mb"_s, bigReplies},
        {u"frames_100k"_s, frameBurst},
        {u"terminal_random_10mb"_s, [] { return terminal(u"head -c 10000000 /dev/urandom"_s); }},
        {u"terminal_line_5mb"_s, [] { return terminal(u"head -c 5000000 /dev/zero | tr '\\0' x"_s); }},
        {u"terminal_yes"_s, [] { return terminal(u"yes | head -n 3000000"_s); }},
        {u"settings_2000"_s, hostSettings},
        {u"cards_18_expand_collapse"_s, eighteenCards},
    };
    // Shapes named in the arguments, in their order; none: all of them.
    QStringList names = app.arguments().mid(1);
    if (names.isEmpty()) {
        for (const auto &shape : shapes)
            names << shape.first;
    }
    for (const QString &name : std::as_const(names)) {
        const auto shape = std::find_if(shapes.begin(), shapes.end(), [&](const auto &s) { return s.first == name; });
        if (shape == shapes.end()) {
            std::fprintf(stderr, "no shape %s\n", qPrintable(name));
            return 1;
        }
        report(name, shape->second());
    }
    return 0;
}
