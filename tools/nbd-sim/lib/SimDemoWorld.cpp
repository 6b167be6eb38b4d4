#include "SimDemoWorld.h"

#include "SimSessions.h"
#include "SimHost.h"
#include "SimOverlayPage.h"
#include "SimWorld.h"

#include "Domain/ProtocolNames.h"
#include "Wire/JSONValue.h"

#include <QDateTime>
#include <QTimer>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace nbd::sim {

namespace {

JSONValue json(const QString &text)
{
    return parseJSON(text.toUtf8());
}

// One answered turn that shows every kind of tool card and a Markdown reply.
void addToolDemo(SimWorld &world, const QString &id)
{
    world.appendEvent(id, events::userMessage(id + u"-m1"_s, u"把配置解析改成单次扫描，并补上测试。"_s));
    world.appendEvent(id, events::turnStart(1));
    world.appendEvent(id, events::stepStart(1, 1));
    int n = 0;
    auto tool = [&](const QString &name, const QString &arguments, const QString &result, const QString &view) {
        const QString callId = u"demo-call-"_s + QString::number(++n);
        const JSONValue call = events::draft(u"tool/call"_s, JSONValue::object({{u"turn"_s, JSONValue(1)},
                                                                               {u"step"_s, JSONValue(1)},
                                                                               {u"callId"_s, callId},
                                                                               {u"name"_s, name},
                                                                               {u"arguments"_s, arguments}}));
        world.logs().append(id, call);
        world.logs().append(id, events::toolResult(1, 1, callId, result), events::toolView(callId, json(view)));
    };
    tool(u"grep"_s, uR"j({"pattern":"parseLine"})j"_s, u"3 matches"_s,
         uR"j({"card":"search","title":"搜索 parseLine","total":3,"files":[{"path":"src/config/Parser.cpp","matches":[)j"
         uR"j({"lineNumber":42,"line":"Entry parseLine(QStringView line)"},{"lineNumber":97,"line":"    auto entry = parseLine(rest);"}]},)j"
         uR"j({"path":"tests/tst_parser.cpp","matches":[{"lineNumber":12,"line":"    QCOMPARE(parseLine(u\"a = 1\"), expected);"}]}]})j"_s);
    tool(u"read"_s, uR"j({"path":"src/config/Parser.cpp"})j"_s, u"…"_s,
         uR"j({"card":"read","title":"读取 Parser.cpp","path":"src/config/Parser.cpp","totalLines":180,"lines":[)j"
         uR"j({"number":40,"text":"// One line of the file: a key, \"=\", a value."},{"number":41,"text":""},)j"
         uR"j({"number":42,"text":"Entry parseLine(QStringView line)"},{"number":43,"text":"{"},)j"
         uR"j({"number":44,"text":"    const qsizetype eq = line.indexOf(u'=');"},{"number":45,"text":"    if (eq < 0)"},)j"
         uR"j({"number":46,"text":"        return {};"}]})j"_s);
    tool(u"edit"_s, uR"j({"path":"src/config/Parser.cpp"})j"_s, u"ok"_s,
         uR"j({"card":"diff","title":"编辑 Parser.cpp","diffs":[{"path":"src/config/Parser.cpp",)j"
         uR"j("oldText":"    const qsizetype eq = line.indexOf(u'=');\n    if (eq < 0)\n        return {};",)j"
         uR"j("newText":"    const qsizetype eq = line.indexOf(u'=');\n    if (eq <= 0)\n        return std::nullopt;"},)j"
         uR"j({"newText":"# 配置示例\nkey = value\n"}]})j"_s);
    tool(u"bash"_s, uR"j({"command":"ctest --output-on-failure -R parser"})j"_s, u""_s,
         uR"j({"card":"terminal","title":"运行测试","description":"运行解析器的测试","cwd":"/home/dev/src/nimbrel-web/build",)j"
         uR"j("exitCode":0,"output":"Test project /home/dev/src/nimbrel-web/build\n    Start 1: tst_parser\n1/1 Test #1: tst_parser .......   Passed    0.02 sec\n\n100% tests passed, 0 tests failed out of 1"})j"_s);
    tool(u"web_fetch"_s, uR"j({"url":"https://example.org/ini-format"})j"_s, u"…"_s,
         uR"j({"card":"web","title":"抓取网页","kind":"fetch","url":"https://example.org/ini-format","statusCode":200,"truncated":true})j"_s);
    tool(u"web_search"_s, uR"j({"query":"INI 文件格式 注释"})j"_s, u"…"_s,
         uR"j({"card":"web","title":"搜索网页","answer":"INI 文件以分号或井号开始注释，键值之间用等号分隔。",)j"
         uR"j("sources":[{"title":"INI file - overview","url":"https://example.org/wiki/INI_file","snippet":"An INI file is a configuration file that consists of text-based content with a structure and syntax comprising key–value pairs."},)j"
         uR"j({"url":"https://example.com/spec/ini"}]})j"_s);
    tool(u"lint"_s, uR"j({"files":["src/config/Parser.cpp"],"fix":false})j"_s, u"0 problems"_s,
         uR"j({"title":"检查代码风格","rawInput":{"fix":false,"files":["src/config/Parser.cpp"]},"content":[{"type":"text","text":"0 problems"}],)j"
         uR"j("locations":[{"path":"src/config/Parser.cpp","line":42},{"path":"tests/tst_parser.cpp"}]})j"_s);
    const QString answer = uR"(## 完成情况

解析器现在**只扫描一遍**输入，`parseLine` 不再回溯。详见 [Parser.cpp](src/config/Parser.cpp)。

### 改动
1. 空键（如 `= 1`）返回 *无结果*，不再崩溃
2. 注释行以 `#` 或 `;` 开始
3. 新增 6 个测试用例

- 所有测试通过
- 无新的警告

> 旧格式的文件仍可读取，只是不再接受空键。

```cpp
std::optional<Entry> parseLine(QStringView line);
```

---

下一步可以为 `include` 指令补充测试。)"_s;
    world.appendEvent(id, events::stepStart(1, 2));
    const qint64 chunk = world.appendEvent(id, events::textDelta(1, 2, 0, answer));
    world.appendEvent(id, events::assistantMessage(1, 2, answer).with(u"sourceEventSeqs"_s, JSONValue::array({JSONValue(chunk)})));
    world.appendEvent(id, events::turnEnd(1));
}

} // namespace

void addLargeDataSession(SimWorld &world)
{
    const QString id = u"s-large"_s;
    SimWorld::Session session;
    session.id = id;
    session.updatedAt = double(QDateTime::currentMSecsSinceEpoch());
    session.title = u"大数据量的工具结果"_s;
    world.addSession(session);
    QString big;
    big.reserve(5'400'000);
    for (int i = 1; i <= 60000; ++i)
        big += u"第 %1 行：编译单元 src/module_%2.cpp 通过检查，耗时 %3 ms；warning count = 0, 输出已写入缓存目录\n"_s.arg(i).arg(i % 97).arg(i % 1000);
    world.appendEvent(id, events::userMessage(id + u"-m1"_s, u"运行全部检查并列出输出。"_s));
    world.appendEvent(id, events::turnStart(1));
    world.appendEvent(id, events::stepStart(1, 1));
    const QList<std::pair<QString, QString>> calls{
        {u"grep"_s, QString()},
        {u"scan"_s, uR"j({"card":"generic","title":"扫描全部模块"})j"_s},
        {u"bash"_s, uR"j({"card":"terminal","title":"构建全部模块","cwd":"/home/dev/src/core"})j"_s}};
    int n = 0;
    for (const auto &[name, view] : calls) {
        const QString callId = u"large-call-"_s + QString::number(++n);
        world.logs().append(id, events::draft(u"tool/call"_s, JSONValue::object({{u"turn"_s, JSONValue(1)},
                                                                                 {u"step"_s, JSONValue(1)},
                                                                                 {u"callId"_s, callId},
                                                                                 {u"name"_s, name},
                                                                                 {u"arguments"_s, u"{}"_s}})));
        if (view.isEmpty())
            world.logs().append(id, events::toolResult(1, 1, callId, big));
        else
            world.logs().append(id, events::toolResult(1, 1, callId, big), events::toolView(callId, json(view)));
    }
    world.appendEvent(id, events::stepStart(1, 2));
    world.appendEvent(id, events::assistantMessage(1, 2, u"检查完成，输出见上面的三个工具调用。"_s));
    world.appendEvent(id, events::turnEnd(1));
    JSONValue::Elements todos;
    for (int i = 1; i <= 10000; ++i)
        todos.push_back(JSONValue::object({{u"content"_s, u"第 %1 项任务：整理 module_%2 的接口"_s.arg(i).arg(i % 50)},
                                           {u"status"_s, i < 40 ? u"completed"_s : (i == 40 ? u"in_progress"_s : u"pending"_s)}}));
    world.logs().setProjection(id, u"todos"_s, JSONValue::array(std::move(todos)), false);

    const QString markdownId = u"s-large-markdown"_s;
    SimWorld::Session markdown;
    markdown.id = markdownId;
    markdown.updatedAt = session.updatedAt;
    markdown.title = u"超长的 Markdown 回答"_s;
    world.addSession(markdown);
    const QString answer = largeMarkdownAnswer(5'000'000);
    world.appendEvent(markdownId, events::userMessage(markdownId + u"-m1"_s, u"写一份全部模块的检查报告。"_s));
    world.appendEvent(markdownId, events::turnStart(1));
    world.appendEvent(markdownId, events::stepStart(1, 1));
    world.appendEvent(markdownId, events::textDelta(1, 1, 0, answer));
    world.appendEvent(markdownId, events::assistantMessage(1, 1, answer));
    world.appendEvent(markdownId, events::turnEnd(1));
}

QString largeMarkdownAnswer(qsizetype length)
{
    QString text;
    text.reserve(length + 400);
    for (int i = 1; text.size() < length; ++i) {
        text += u"## 第 %1 节：模块 module_%2\n\n"_s.arg(i).arg(i % 97);
        text += u"编译单元 **src/module_%1.cpp** 通过检查，耗时 %2 ms；the resolver caches *lookups* and `warning count = 0`, 输出已写入缓存目录。\n\n"_s.arg(i).arg(i % 1000);
        text += u"- 第一项：读取配置\n- second item with [a link](https://example.com/%1)\n- 第三项：写入结果\n\n"_s.arg(i);
        text += u"```cpp\nint module_%1() {\n    return %2;\n}\n```\n\n"_s.arg(i).arg(i);
        text += u"| 列 | value |\n|---|---|\n| %1 | ok |\n\n> 注意：第 %1 节完成。\n\n"_s.arg(i);
    }
    return text;
}

std::unique_ptr<SimWorld> makeDemoWorld(SimHost *host)
{
    auto world = std::make_unique<SimWorld>(host);
    // The host's own web page at its base address, where a new browser tab starts.
    serveOverlayPage(*host, QByteArrayLiteral(
        "<!doctype html><html lang=\"zh\"><head><meta charset=\"utf-8\"><title>Nimbrel Web</title>"
        "<style>body{font-family:sans-serif;margin:32px;color:#222;background:#fafafa}"
        "h1{font-size:20px}li{margin:6px 0}code{background:#eee;padding:1px 4px;border-radius:3px}</style></head>"
        "<body><h1>nimbrel-web 开发服务器</h1><p>本地预览运行在 <code>127.0.0.1</code>。</p>"
        "<ul><li><a href=\"#login\">登录页</a></li><li><a href=\"#home\">首页</a></li>"
        "<li><a href=\"#settings\">设置</a></li></ul></body></html>"));
    const double now = double(QDateTime::currentMSecsSinceEpoch());
    auto add = [&](QString id, double minutesAgo, QString title, bool running = false) {
        SimWorld::Session s;
        s.id = std::move(id);
        s.updatedAt = now - minutesAgo * 60'000;
        s.title = std::move(title);
        s.running = running;
        world->addSession(s);
    };
    add(u"s-parser"_s, 1, u"重构配置解析并补充测试"_s);
    add(u"s-login"_s, 3, u"修复登录页的重定向循环"_s, true);
    add(u"s-cache"_s, 40, u"Add an LRU cache to the resolver"_s);
    add(u"s-docs"_s, 180, u"整理 README 的安装说明"_s);
    add(u"s-bench"_s, 1500, u"Benchmark the history fold"_s);
    add(u"s-ci"_s, 4000, u"CI: run the sanitizer build nightly"_s);
    add(u"s-notes"_s, 12, u"周会纪要与待办"_s);
    add(u"s-idea"_s, 9000, u"Sketch: offline mode"_s);
    world->addWorkspace({u"ws-web"_s, u"/home/dev/src/nimbrel-web"_s, u"nimbrel-web"_s, {u"s-parser"_s, u"s-login"_s, u"s-cache"_s}});
    world->addWorkspace({u"ws-docs"_s, u"/home/dev/src/handbook/chapters/operations"_s, u"handbook"_s, {u"s-docs"_s}});
    world->addWorkspace({u"ws-core"_s, u"/home/dev/src/core"_s, u"core"_s, {u"s-bench"_s, u"s-ci"_s}});

    // Each session opens on a short history: the user's request and one answered turn.
    auto history = [&](const QString &id, const QString &ask, const QString &answer) {
        world->appendEvent(id, events::userMessage(id + u"-m1"_s, ask));
        world->appendEvent(id, events::turnStart(1));
        world->appendEvent(id, events::stepStart(1, 1));
        const qint64 chunk = world->appendEvent(id, events::textDelta(1, 1, 0, answer));
        world->appendEvent(id, events::assistantMessage(1, 1, answer)
                                   .with(u"sourceEventSeqs"_s, JSONValue::array({JSONValue(chunk)})));
        world->appendEvent(id, events::turnEnd(1));
    };
    history(u"s-login"_s, u"登录后页面一直在 /login 和 /home 之间跳转，帮我看看。"_s,
            u"重定向循环来自会话检查：令牌过期时两边都在跳转。我会先在中间件里统一处理。"_s);
    history(u"s-cache"_s, u"Add an LRU cache in front of the resolver."_s,
            u"Added a 256-entry LRU cache; hits skip the network lookup entirely."_s);
    history(u"s-docs"_s, u"把 README 的安装说明整理成两条命令。"_s, u"已改为 scripts/run 与 scripts/test 两条命令。"_s);
    history(u"s-bench"_s, u"How fast is the history fold?"_s, u"About 1.8 million events per second at 100k events."_s);
    history(u"s-notes"_s, u"整理本周周会的待办。"_s, u"共 4 项待办，已按负责人分组。"_s);
    addToolDemo(*world, u"s-parser"_s);
    // The login session holds a longer working history: reasoning, tool calls with their
    // cards (one failed), a compaction notice and a follow-up question.
    {
        const QString id = u"s-login"_s;
        qint64 turn = 1;
        auto step = [&](qint64 stepNo, const QString &thinking, const QString &say, const QString &tool,
                        const QString &arguments, JSONValue callView, const QString &result, bool failed) {
            world->appendEvent(id, events::stepStart(turn, stepNo));
            // The step's final message stands for its streamed blocks, so it carries all of
            // them: the reasoning, the text and the tool call that the result below answers.
            // It names the chunks it stands for, as a host does: the blocks then take the
            // place of the first chunk, in the message's order.
            JSONValue::Elements blocks;
            JSONValue::Elements chunks;
            const auto streamed = [&](JSONValue chunk) { chunks.emplace_back(world->appendEvent(id, std::move(chunk))); };
            qint64 index = 0;
            if (!thinking.isEmpty()) {
                streamed(events::blockStart(turn, stepNo, index, names::reasoningBlockKind.toString()));
                streamed(events::reasoningDelta(turn, stepNo, index, thinking));
                blocks.push_back(JSONValue::object({{u"type"_s, u"reasoning"_s}, {u"text"_s, thinking}, {u"index"_s, JSONValue(index)}}));
                ++index;
            }
            if (!say.isEmpty()) {
                streamed(events::textDelta(turn, stepNo, index, say));
                blocks.push_back(JSONValue::object({{u"type"_s, u"text"_s}, {u"text"_s, say}, {u"index"_s, JSONValue(index)}}));
                ++index;
            }
            const QString callId = u"call-%1-%2"_s.arg(turn).arg(stepNo);
            if (!tool.isEmpty()) {
                streamed(events::blockStart(turn, stepNo, index, names::toolCallBlockKind.toString()));
                streamed(events::toolCallDelta(turn, stepNo, index, callId, tool, arguments));
                const JSONValue call = events::draft(u"tool/call"_s, JSONValue::object({{u"turn"_s, JSONValue(turn)},
                                                                                       {u"step"_s, JSONValue(stepNo)},
                                                                                       {u"callId"_s, callId},
                                                                                       {u"name"_s, tool},
                                                                                       {u"arguments"_s, arguments}}));
                world->logs().append(id, call, events::toolView(callId, callView));
                blocks.push_back(JSONValue::object({{u"type"_s, names::toolCallContentType.toString()},
                                                    {u"id"_s, callId},
                                                    {u"name"_s, tool},
                                                    {names::toolCallArgumentsKey.toString(), arguments},
                                                    {u"index"_s, JSONValue(index)}}));
            }
            world->appendEvent(id, events::draft(u"assistant/message"_s,
                                                 JSONValue::object({{u"turn"_s, JSONValue(turn)},
                                                                    {u"step"_s, JSONValue(stepNo)},
                                                                    {u"message"_s, JSONValue::object({{u"content"_s, JSONValue::array(std::move(blocks))}})}}))
                                       .with(u"sourceEventSeqs"_s, JSONValue::array(std::move(chunks))));
            if (!tool.isEmpty())
                world->appendEvent(id, events::toolResult(turn, stepNo, callId, result, failed));
        };
        world->appendEvent(id, events::userMessage(u"login-m2"_s, u"能先跑一下相关的测试吗？顺便看看中间件里的会话检查。"_s));
        turn = 2;
        world->appendEvent(id, events::turnStart(turn));
        step(1, u"先找到中间件和会话检查的位置，再跑登录相关的测试。"_s, u"我先看一下中间件。"_s, u"read"_s,
             u"{\"path\": \"src/middleware/session.ts\"}"_s,
             JSONValue::object({{u"title"_s, u"读取 session.ts"_s}, {u"card"_s, u"read"_s}}),
             u"export function requireSession(req, res, next) {\n  if (!req.session?.token) return res.redirect('/login');\n  next();\n}"_s,
             false);
        step(2, QString(), u"接着跑登录相关的测试。"_s, u"bash"_s, u"{\"command\": \"npm test -- login\"}"_s,
             JSONValue::object({{u"title"_s, u"npm test -- login"_s}, {u"card"_s, u"terminal"_s}}),
             u"FAIL tests/login.test.ts\n  ✕ redirects once when the token expired (31 ms)\n\nTests: 1 failed, 6 passed"_s, true);
        step(3, QString(), u"测试证实了循环：令牌过期时 /home 重定向到 /login，而 /login 又因为旧 cookie 跳回 /home。修复方法是在中间件里清掉过期的 cookie 再重定向。"_s,
             QString(), QString(), JSONValue(), QString(), false);
        world->appendEvent(id, events::turnEnd(turn));
        world->appendEvent(id, events::draft(u"compaction/summary"_s,
                                             JSONValue::object({{u"shadowedTokenCount"_s, JSONValue(18234)}})));
    }


    // The running session carries a goal with its todos, the permission presets, plan mode and
    // a model catalogue, so the dock above the composer has something to show.
    const QString login = u"s-login"_s;
    SimSessions &logs = world->logs();
    // Set and last changed that many seconds ago.
    auto goal = [now](QString id, int revision, QString objective, QString phase, int rounds, int setAgo, int changedAgo) {
        const JSONValue value = JSONValue::object({{u"id"_s, std::move(id)},
                                                   {u"revision"_s, revision},
                                                   {u"objective"_s, std::move(objective)},
                                                   {u"phase"_s, std::move(phase)}});
        return JSONValue::object({{u"goal"_s, value},
                                  {u"roundsStarted"_s, rounds},
                                  {u"createdAt"_s, now / 1000 - setAgo},
                                  {u"updatedAt"_s, now / 1000 - changedAgo}});
    };
    logs.setProjection(login, u"goal"_s,
                       goal(u"goal-1"_s, 2, u"登录后不再出现重定向循环，并补上回归测试"_s, u"active"_s, 1, 600, 60), false);
    auto todo = [](QString content, QString status) {
        return JSONValue::object({{u"content"_s, std::move(content)}, {u"status"_s, std::move(status)}});
    };
    logs.setProjection(login, u"todos"_s,
                       JSONValue::array({todo(u"复现重定向循环"_s, u"completed"_s),
                                         todo(u"在中间件里统一处理过期令牌"_s, u"in_progress"_s),
                                         todo(u"补充登录流程的回归测试"_s, u"pending"_s)}),
                       false);
    // An idle session with a paused goal and its todos: the banner stays put for a look.
    logs.setProjection(u"s-docs"_s, u"goal"_s,
                       goal(u"goal-2"_s, 1, u"安装说明覆盖 Linux、macOS 和 Windows 三个平台"_s, u"paused"_s, 2, 7200, 3600),
                       false);
    logs.setProjection(u"s-docs"_s, u"todos"_s,
                       JSONValue::array({todo(u"整理现有的安装步骤"_s, u"completed"_s),
                                         todo(u"补上 Windows 的安装说明"_s, u"in_progress"_s),
                                         todo(u"核对每个平台的依赖版本"_s, u"pending"_s),
                                         todo(u"加一节常见问题"_s, u"pending"_s)}),
                       false);
    auto preset = [](QString value, QString name) {
        return JSONValue::object({{u"value"_s, std::move(value)}, {u"name"_s, std::move(name)}});
    };
    const JSONValue presets = JSONValue::array({preset(u"read-only"_s, u"Read only"_s),
                                                preset(u"workspace-write"_s, u"Workspace write"_s),
                                                preset(u"danger-full-access"_s, u"Full access"_s)});
    for (const QString &id : {login, u"s-cache"_s, u"s-docs"_s, u"s-bench"_s, u"s-ci"_s, u"s-notes"_s, u"s-idea"_s}) {
        logs.setProjection(id, u"permissions"_s,
                           JSONValue::object({{u"options"_s, presets}, {u"current"_s, u"workspace-write"_s}}), false);
        world->setModels(id, SimWorld::modelCatalogue(u"sim"_s, u"sim/nimbrel-large"_s));
    }
    world->setPermissionPresets(QStringList{u"read-only"_s, u"workspace-write"_s, u"danger-full-access"_s});

    // Its run so far in figures, for the summary bar under the composer and the inspector.
    logs.setProjection(login, u"sessionStats"_s,
                       SimWorld::sessionStats({2, 4, 84200, 12850, 3600, 4, 31000, 1612}), false);
    logs.setProjection(login, u"tokenUsage"_s, SimWorld::tokenUsage({48210, 3120, 121000, 905}), false);
    // Two subagent runs of it: a reviewer that can be continued and is still at work, and a
    // finished one-shot search, each with a short history of its own.
    SimWorld::SubagentEntry reviewer;
    reviewer.id = u"s-login-review"_s;
    reviewer.label = u"代码审查"_s;
    reviewer.activity = u"running"_s;
    SimWorld::SubagentEntry search;
    search.id = u"s-login-search"_s;
    search.mode = u"one-shot"_s;
    search.label = u"查找会话检查的调用点"_s;
    world->setSubagents(login, {reviewer, search});
    history(reviewer.id, u"审查 src/middleware/session.ts 的改动。"_s, u"改动只在令牌过期时清掉 cookie，没有其他副作用。"_s);
    history(search.id, u"找出所有调用 requireSession 的地方。"_s, u"共 3 处：/home、/settings 和 /billing 的路由。"_s);

    // Prompts are answered by a scripted turn: reasoning, a question to the user, a command
    // with its card that needs approval, its output, then the reply streamed for a few seconds.
    SimWorld::AgentScript script;
    SimWorld::AgentStep thinking;
    thinking.kind = SimWorld::AgentStep::Kind::Reasoning;
    thinking.deltas = {u"先看一下"_s, u"相关的代码，"_s, u"再确认 cookie 的过期时间。"_s};
    script.push_back(thinking);
    // A new turn starts with an empty todo list; the agent writes its plan again, and marks
    // the test step done once the command ran.
    auto todoStep = [&](const QString &testStatus) {
        SimWorld::AgentStep step;
        step.kind = SimWorld::AgentStep::Kind::Todos;
        step.todos = JSONValue::array({todo(u"复现重定向循环"_s, u"completed"_s),
                                       todo(u"在中间件里统一处理过期令牌"_s, u"in_progress"_s),
                                       todo(u"补充登录流程的回归测试"_s, testStatus)});
        return step;
    };
    script.push_back(todoStep(u"pending"_s));
    SimWorld::AgentStep ask;
    ask.kind = SimWorld::AgentStep::Kind::Question;
    auto option = [](QString label, QString description) {
        return JSONValue::object({{u"label"_s, std::move(label)}, {u"description"_s, std::move(description)}});
    };
    ask.questions = JSONValue::array({JSONValue::object(
        {{u"id"_s, u"scope"_s},
         {u"header"_s, u"范围"_s},
         {u"question"_s, u"这次改动要覆盖哪些页面？"_s},
         {u"options"_s, JSONValue::array({option(u"只改登录页（推荐）"_s, u"改动最小，先验证修复"_s),
                                         option(u"登录页和注册页"_s, u"两处共用同一个中间件"_s),
                                         option(u"所有需要登录的页面"_s, u"一次处理完，但需要更多测试"_s)})},
         {u"multiSelect"_s, false}})});
    script.push_back(ask);
    SimWorld::AgentStep call;
    call.kind = SimWorld::AgentStep::Kind::ToolCall;
    call.toolName = u"bash"_s;
    call.arguments = u"{\"command\": \"npm test -- login\"}"_s;
    call.view = JSONValue::object({{u"title"_s, u"npm test -- login"_s}, {u"card"_s, u"terminal"_s}});
    script.push_back(call);
    SimWorld::AgentStep approval;
    approval.kind = SimWorld::AgentStep::Kind::Approval;
    approval.text = u"运行登录流程的测试：npm test -- login"_s;
    script.push_back(approval);
    SimWorld::AgentStep result;
    result.kind = SimWorld::AgentStep::Kind::ToolResult;
    result.text = u"12 passing"_s;
    script.push_back(result);
    script.push_back(todoStep(u"completed"_s));
    SimWorld::AgentStep end;
    end.kind = SimWorld::AgentStep::Kind::EndStep;
    script.push_back(end);
    SimWorld::AgentStep reply;
    reply.kind = SimWorld::AgentStep::Kind::Text;
    for (const QString &piece : {u"好的，"_s, u"cookie 的有效期是一小时，"_s, u"和令牌一致。"_s, u"过期后中间件会先清掉 cookie，"_s,
                                 u"再跳转到登录页，"_s, u"这样就不会再循环了。"_s})
        reply.deltas.push_back(piece);
    script.push_back(reply);
    script.push_back(end);
    world->setScript(std::move(script));

    // What the Settings window shows: two settings namespaces, a few credentials, the
    // sessions' skills and both plugin inventories. No plugin with a client half runs, so the
    // main window shows no plugin page over its content.
    auto object = [](JSONValue::Members members) { return JSONValue::object(std::move(members)); };
    auto array = [](JSONValue::Elements elements) { return JSONValue::array(std::move(elements)); };
    world->addSettingsNamespace(u"agent"_s, JSONValue::emptyObject(),
                                object({{u"model"_s, u"claude-sonnet"_s},
                                        {u"maxSteps"_s, 40},
                                        {u"approvals"_s, object({{u"shell"_s, u"ask"_s}, {u"edit"_s, u"auto"_s}})}}));
    world->addSettingsNamespace(u"providers"_s, JSONValue::emptyObject(),
                                object({{u"default"_s, u"anthropic"_s},
                                        {u"anthropic"_s, object({{u"baseUrl"_s, u"https://api.example.com"_s}})}}),
                                u"restart"_s,
                                array({object({{u"path"_s, array({u"anthropic"_s, u"apiKey"_s})}, {u"set"_s, true}}),
                                       object({{u"path"_s, array({u"openai"_s, u"apiKey"_s})}, {u"set"_s, false}})}));
    world->setCredential(u"NIMBREL_API_KEY"_s, u"keychain"_s);
    world->setCredential(u"GITHUB_TOKEN"_s, std::nullopt);
    world->setCredential(u"ORG_SHARED_KEY"_s, u"environment"_s, false);
    auto skill = [&](QString name, QString description, std::optional<QString> when, bool invocable) {
        JSONValue::Members m{{u"name"_s, std::move(name)},
                             {u"description"_s, std::move(description)},
                             {u"modelInvocable"_s, invocable}};
        if (when)
            m.emplace_back(u"whenToUse"_s, *when);
        return object(std::move(m));
    };
    const JSONValue skills = array({
        skill(u"code-review"_s, u"按仓库约定审查当前改动，列出问题与建议。"_s,
              u"用户请求审查、提交前检查或询问改动是否合理时。"_s, true),
        skill(u"release-notes"_s, u"根据提交记录整理发布说明。"_s, std::nullopt, true),
        skill(u"project-layout"_s, u"Shows how this workspace is organised and where each module lives."_s,
              u"When the user asks where something is implemented."_s, false),
    });
    for (const QString &id : {u"s-login"_s, u"s-cache"_s, u"s-docs"_s, u"s-bench"_s, u"s-ci"_s, u"s-notes"_s, u"s-idea"_s})
        world->setSkills(id, skills);
    auto entry = [&](QString id, QString module, bool enabled, std::optional<QString> phase) {
        JSONValue::Members m{{u"entryId"_s, std::move(id)}, {u"moduleName"_s, std::move(module)}, {u"enabled"_s, enabled}};
        if (phase)
            m.emplace_back(u"fiberPhase"_s, *phase);
        return object(std::move(m));
    };
    world->setPluginInventory(array({
        entry(u"p-git"_s, u"@nimbrel/nbd-host-git"_s, true, u"active"_s),
        entry(u"p-search"_s, u"nbd-plugin-search"_s, true, u"loading"_s),
        entry(u"p-lsp"_s, u"talvor:language-server"_s, true, u"failed"_s),
        entry(u"p-metrics"_s, u"nbd-client-metrics"_s, false, std::nullopt),
    }));
    auto package = [&](QString id, QString name, QString purpose, bool host, bool client) {
        return object({{u"packageId"_s, std::move(id)},
                       {u"name"_s, std::move(name)},
                       {u"purpose"_s, std::move(purpose)},
                       {u"hasHostHalf"_s, host},
                       {u"hasClientHalf"_s, client}});
    };
    world->setDynamicInventory(array({
        object({{u"pluginId"_s, u"dash-board"_s},
                {u"agentId"_s, u"agent-1"_s},
                {u"packages"_s, array({package(u"dash-1"_s, u"Build Dashboard"_s,
                                               u"在侧栏显示 CI 构建状态与最近失败的任务。"_s, true, true)})},
                {u"currentPackageId"_s, u"dash-1"_s},
                {u"latestRun"_s, object({{u"packageId"_s, u"dash-1"_s}, {u"status"_s, u"failed"_s}})}}),
        object({{u"pluginId"_s, u"todo-sync"_s},
                {u"agentId"_s, u"agent-1"_s},
                {u"packages"_s, array({package(u"todo-1"_s, u"Todo Sync"_s, u"Keeps the session's todo list in a file."_s,
                                               true, false),
                                       package(u"todo-2"_s, u"Todo Sync"_s, u"Keeps the session's todo list in a file."_s,
                                               true, false)})},
                {u"currentPackageId"_s, u"todo-2"_s},
                {u"activeRun"_s, object({{u"packageId"_s, u"todo-2"_s}})}}),
        object({{u"pluginId"_s, u"scratch"_s}, {u"agentId"_s, u"agent-2"_s}, {u"packages"_s, array({})}}),
    }));
    world->setStepDelay(220);

    // Opening the login session starts a turn that streams in live, with two more prompts
    // waiting in the queue behind it; the notes session reports a host error.
    SimWorld *raw = world.get();
    auto started = std::make_shared<QSet<QString>>();
    QObject::connect(host, &SimHost::requestReceived, host, [raw, host, started](const LoggedRequest &request) {
        if (request.method != names::sessionHistoryMethod)
            return;
        const JSONValue *sessionId = request.payload.find(u"sessionId");
        const QString id = sessionId && sessionId->isString() ? *sessionId->stringPtr() : QString();
        if (started->contains(id) || (id != u"s-login" && id != u"s-notes"))
            return;
        started->insert(id);
        QTimer::singleShot(600, host, [raw, host, id] {
            if (id == u"s-login") {
                raw->promptAsUser(id, u"再确认一下 cookie 的过期时间。"_s);
                raw->promptAsUser(id, u"顺便把登录页的单元测试补上。"_s);
                raw->promptAsUser(id, u"最后整理一份修改说明。"_s);
            } else {
                raw->pushAgentError(JSONValue::object({{u"sessionId"_s, id}, {u"message"_s, u"会议记录插件暂时不可用：连接超时"_s}}));
            }
            Q_UNUSED(host);
        });
    });
    return world;
}

} // namespace nbd::sim
