// Screenshots of the conversation's content, built from the real widgets offscreen: every tool
// card kind, Markdown, and a long session in the main window against the in-process demo host
// (user bubbles, reasoning, chips open and closed, notices, the error banner, the queue dock,
// the empty state). Run once per appearance:
//
//   NBD_APPEARANCE=light conversation_gallery OUT_DIR
//   NBD_APPEARANCE=dark  conversation_gallery OUT_DIR
//
// Writes OUT_DIR/<name>-<appearance>.png and prints each path.

#include "WidgetBenchSupport.h"
#include "App/ContentView.h"
#include "SimDemoWorld.h"
#include "SimHost.h"
#include "SimSessions.h"
#include "SimWorld.h"
#include "Session/SessionModel.h"
#include "Store/AppModel.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Conversation/ConversationView.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/ToolCallChip.h"
#include "UI/Conversation/ToolPresentationView.h"
#include "UI/Conversation/TranscriptRowViews.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <cstdio>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

QString g_out;
QString g_mode;

void save(QWidget *widget, const QString &name)
{
    const QString path = g_out + u'/' + name + u'-' + g_mode + u".png"_s;
    widget->grab().save(path);
    std::printf("%s\n", qPrintable(path));
}

void settle(int ms = 150)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

JSONValue json(const char *text) { return parseJSON(QByteArray(text)); }

// A canvas of the transcript's column width holding widgets one under another.
class Sheet : public QWidget
{
public:
    Sheet()
    {
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, Theme::canvas());
        setPalette(p);
        m_column = new QVBoxLayout(this);
        m_column->setContentsMargins(24, 20, 24, 20);
        m_column->setSpacing(18);
        m_column->setAlignment(Qt::AlignTop);
    }
    void add(QWidget *w) { m_column->addWidget(w); }
    void shoot(const QString &name)
    {
        resize(772, 200);
        show();
        settle();
        resize(772, heightForWidth(772) > 0 ? heightForWidth(772) : sizeHint().height());
        settle();
        save(this, name);
        hide();
    }

private:
    QVBoxLayout *m_column;
};

void cards()
{
    struct Card
    {
        const char *name;
        const char *presentation;
        QString arguments;
        std::optional<QString> result;
        bool error = false;
    };
    const std::vector<Card> list = {
        {"card-terminal",
         R"j({"card":"terminal","description":"运行解析器的测试","cwd":"/home/dev/src/nimbrel-web/build","exitCode":0,)j"
         R"j("output":"Test project /home/dev/src/nimbrel-web/build\n    Start 1: tst_parser\n1/1 Test #1: tst_parser .......   Passed    0.02 sec\n\n100% tests passed, 0 tests failed out of 1"})j",
         u"{\"command\":\"ctest\"}"_s, u""_s},
        {"card-terminal-failed",
         R"j({"card":"terminal","cwd":"/srv/app","exitCode":127,"output":"sh: 1: npx: not found"})j", u"{}"_s,
         u"sh: 1: npx: not found"_s, true},
        {"card-diff",
         R"j({"card":"diff","diffs":[{"path":"src/config/Parser.cpp","oldText":"    if (eq < 0)\n        return {};","newText":"    if (eq <= 0)\n        return std::nullopt;"},)j"
         R"j({"newText":"# 配置示例\nkey = value\n"}]})j",
         u"{}"_s, u"ok"_s},
        {"card-search",
         R"j({"card":"search","total":3,"files":[{"path":"src/config/Parser.cpp","matches":[{"lineNumber":42,"line":"Entry parseLine(QStringView line)"},)j"
         R"j({"lineNumber":97,"line":"    auto entry = parseLine(rest);"}]},{"path":"tests/tst_parser.cpp","matches":[{"lineNumber":12,"line":"    QCOMPARE(parseLine(u\"a = 1\"), expected);"}]}]})j",
         u"{}"_s, u"3"_s},
        {"card-search-paths",
         R"j({"card":"search","shape":"paths","total":40,"truncated":true,"paths":["src/config/Parser.cpp","src/config/Parser.h","tests/tst_parser.cpp"]})j",
         u"{}"_s, u"…"_s},
        {"card-read",
         R"j({"card":"read","path":"src/config/Parser.cpp","totalLines":180,"lines":[{"number":40,"text":"// One line of the file: a key, \"=\", a value."},)j"
         R"j({"number":41,"text":""},{"number":42,"text":"Entry parseLine(QStringView line)"},{"number":43,"text":"{"},{"number":44,"text":"    const qsizetype eq = line.indexOf(u'=');"}]})j",
         u"{}"_s, u"…"_s},
        {"card-web-fetch",
         R"j({"card":"web","kind":"fetch","url":"https://example.org/ini-format","statusCode":200,"truncated":true})j", u"{}"_s,
         u"…"_s},
        {"card-web-search",
         R"j({"card":"web","answer":"INI 文件以分号或井号开始注释，键值之间用等号分隔。","sources":[{"title":"INI file - overview","url":"https://example.org/wiki/INI_file",)j"
         R"j("snippet":"An INI file is a configuration file that consists of text-based content with a structure and syntax comprising key–value pairs."},{"url":"https://example.com/spec/ini"}]})j",
         u"{}"_s, u"…"_s},
        {"card-generic",
         R"j({"title":"检查代码风格","rawInput":{"fix":false,"files":["src/config/Parser.cpp"]},"content":[{"type":"text","text":"0 problems"}],)j"
         R"j("locations":[{"path":"src/config/Parser.cpp","line":42},{"path":"tests/tst_parser.cpp"}]})j",
         u"{}"_s, u"0 problems"_s},
    };
    for (const Card &card : list) {
        Sheet sheet;
        sheet.add(new ToolPresentationView(ToolCardInput{json(card.presentation), card.arguments, card.result, card.error}));
        sheet.shoot(QString::fromLatin1(card.name));
    }
}

void markdown()
{
    const QString text = uR"(# 一级标题
## 完成情况

解析器现在**只扫描一遍**输入，`parseLine` 不再回溯；*斜体*、~~删除线~~ 和 [链接](https://example.org) 也都支持。
同一段的第二行保留换行。

### 改动
3. 空键（如 `= 1`）返回 *无结果*，不再崩溃
7. 注释行以 `#` 或 `;` 开始
9. 新增 6 个测试用例

- 所有测试通过
- 无新的警告

> 旧格式的文件仍可读取，只是不再接受空键。

```cpp
std::optional<Entry> parseLine(QStringView line);
// 空键返回 std::nullopt（中文注释）
// a long line that scrolls sideways rather than wrapping inside the box, to show how it behaves
```

---

##### 五级标题
下一步可以为 `include` 指令补充测试。)"_s;
    Sheet sheet;
    sheet.add(new MarkdownText(text, false));
    sheet.shoot(u"markdown"_s);
    Sheet streaming;
    streaming.add(new MarkdownText(u"正在输出 **Markdown** 原文，`标记` 不解析"_s, true));
    streaming.shoot(u"markdown-streaming"_s);
}

// A turn streaming into the transcript: the raw text with the cursor under it, the working line.
void streaming()
{
    auto model = SessionModel::create(u"gallery-stream"_s);
    qint64 seq = 0;
    auto feed = [&](JSONValue draft) {
        JSONValue event = draft.with(u"seq"_s, JSONValue(++seq)).with(u"time"_s, JSONValue(0.0));
        model->applyLive(SessionEvent::fromLiveValue(event), std::nullopt);
    };
    namespace events = sim::events;
    feed(events::userMessage(u"m1"_s, u"解析器为什么会在空键上崩溃？"_s));
    feed(events::turnStart(1));
    feed(events::stepStart(1, 1));
    feed(events::blockStart(1, 1, 0));
    feed(events::textDelta(1, 1, 0,
                           u"问题出在 `parseLine` 里：当一行以 **=** 开头时，键是空的，后面的代码却假定它至少有一个字符。\n"
                           "The fix checks the position of the equals sign before taking the key, and returns no "
                           "entry for an empty one.\n\n接下来我会补一个测试用例，覆盖"_s));
    model->setRunning(true);
    settle(200);
    QWidget window;
    window.setAutoFillBackground(true);
    QPalette p = window.palette();
    p.setColor(QPalette::Window, Theme::canvas());
    window.setPalette(p);
    window.resize(900, 420);
    auto *transcript = new ConversationTranscript(nullptr, nullptr, &window);
    transcript->resize(900, 420);
    window.show();
    transcript->setSession(model);
    settle(400);
    save(&window, u"conversation-streaming"_s);
}

void conversation()
{
    sim::SimHost host;
    if (!host.listen())
        return;
    std::unique_ptr<sim::SimWorld> world = sim::makeDemoWorld(&host);
    QTemporaryDir dir;
    auto settings = std::make_unique<QSettings>(dir.filePath(u"settings.ini"_s), QSettings::IniFormat);
    settings->setValue(u"nbd.serverURL"_s, host.baseUrl().toString());
    settings->setValue(u"nbd.launchMode"_s, u"external"_s);
    AppModel store(std::move(settings), false);
    ContentView window(&store);
    window.resize(1280, 860);
    window.show();
    settle(300);
    save(&window, u"conversation-empty"_s);
    store.connect();
    settle(1500);

    auto *view = window.findChild<ConversationView *>();
    auto select = [&](const QString &id) {
        store.selection()->selectSession(id);
        settle(1200);
    };
    select(u"s-login"_s);
    TranscriptListView *list = view->transcript()->list();
    list->scrollToKey(list->entries().front().key);
    settle();
    save(&window, u"conversation-long"_s);
    // Open the reasoning and the failed call by clicking their headers.
    for (TranscriptEntryView *entry : list->liveViews()) {
        if (auto *chip = entry->findChild<ToolCallChip *>(); chip && chip->block().resultIsError)
            QTest::mouseClick(chip->header(), Qt::LeftButton);
    }
    settle();
    for (TranscriptEntryView *entry : list->liveViews()) {
        if (auto *header = entry->findChild<QAbstractButton *>(u"reasoning-header"_s)) {
            QTest::mouseClick(header, Qt::LeftButton);
            break;
        }
    }
    settle();
    save(&window, u"conversation-expanded"_s);
    store.errors()->showTransientError(u"队列操作失败：connection refused"_s);
    list->scrollToBottom(false);
    settle();
    save(&window, u"conversation-banner"_s);

    select(u"s-parser"_s);
    // Open the edit's card and bring it to the top of the view.
    QString opened;
    for (TranscriptEntryView *entry : list->liveViews()) {
        if (auto *chip = entry->findChild<ToolCallChip *>(); chip && ToolCallChip::toolIcon(chip->block()) == u"doc.badge.plus"_s) {
            QTest::mouseClick(chip->header(), Qt::LeftButton);
            for (const TranscriptEntry &e : list->entries())
                if (list->viewFor(e.key) == entry)
                    opened = e.key;
        }
    }
    settle();
    if (!opened.isEmpty())
        list->scrollToKey(opened);
    settle();
    save(&window, u"conversation-cards"_s);
    list->scrollToBottom(false);
    settle();
    save(&window, u"conversation-markdown"_s);

    auto item = [](const QString &id, const QString &text) {
        return JSONValue::object({{u"id"_s, id},
                                  {u"message"_s, JSONValue::object({{u"content"_s, JSONValue::array({JSONValue::object(
                                                                         {{u"type"_s, u"text"_s}, {u"text"_s, text}})})}})},
                                  {u"placement"_s, u"queued"_s}});
    };
    world->pushQueue(u"s-parser"_s, JSONValue::array({item(u"q1"_s, u"顺便把 README 里的示例也更新一下"_s),
                                                      item(u"q2"_s, u"再跑一遍完整的测试"_s)}));
    settle(600);
    if (auto *header = window.findChild<QAbstractButton *>(u"queued-messages-header"_s))
        QTest::mouseClick(header, Qt::LeftButton);
    settle();
    save(&window, u"conversation-queue"_s);
}

} // namespace

int main(int argc, char **argv)
{
    bench::StartedApplication<> app(argc, argv);
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"/tmp/shots/blocks"_s;
    g_mode = Theme::isDark() ? u"dark"_s : u"light"_s;
    QDir().mkpath(g_out);
    cards();
    markdown();
    streaming();
    conversation();
    return 0;
}
