#include "Domain/ToolPresentationModel.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

JSONValue json(const char *text)
{
    return parseJSON(QByteArray(text));
}

ToolCardInput input(const char *presentation, QString arguments = {}, std::optional<QString> result = std::nullopt)
{
    return {json(presentation), std::move(arguments), std::move(result), false};
}

} // namespace

class tst_ToolPresentationModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cardChoiceIsExact_data()
    {
        QTest::addColumn<QByteArray>("presentation");
        QTest::addColumn<int>("index");
        QTest::newRow("terminal") << QByteArray(R"({"card":"terminal"})") << 1;
        QTest::newRow("diff") << QByteArray(R"({"card":"diff"})") << 2;
        QTest::newRow("search") << QByteArray(R"({"card":"search"})") << 3;
        QTest::newRow("read") << QByteArray(R"({"card":"read"})") << 4;
        QTest::newRow("web") << QByteArray(R"({"card":"web"})") << 5;
        QTest::newRow("capital") << QByteArray(R"({"card":"Terminal"})") << 0;
        QTest::newRow("number") << QByteArray(R"({"card":1})") << 0;
        QTest::newRow("missing") << QByteArray(R"({})") << 0;
        QTest::newRow("not an object") << QByteArray(R"(["terminal"])") << 0;
        QTest::newRow("generic") << QByteArray(R"({"card":"generic"})") << 0;
    }
    void cardChoiceIsExact()
    {
        QFETCH(QByteArray, presentation);
        QFETCH(int, index);
        QCOMPARE(int(makeToolCard({parseJSON(presentation), {}, {}, false}).index()), index);
    }

    void prettyForms()
    {
        // Strings as themselves, objects with sorted keys and a plain slash.
        QCOMPARE(pretty(JSONValue(u"ls -la"_s)), u"ls -la"_s);
        const QString object = pretty(json(R"({"b":1,"a":"x/y"})"));
        QVERIFY(object.indexOf(u"\"a\""_s) < object.indexOf(u"\"b\""_s));
        QVERIFY(object.contains(u"x/y"_s));
        QVERIFY(object.contains(u'\n'));
        QCOMPARE(pretty(JSONValue(std::nan(""))), QString()); // cannot be written
        QCOMPARE(pretty(JSONValue(u"中文"_s)), u"中文"_s);

        QCOMPARE(prettyJSON(u"\"just text\""_s), u"just text"_s);
        QCOMPARE(prettyJSON(u"plain word"_s), u"plain word"_s);
        QCOMPARE(prettyJSON(u"12"_s), u"12"_s);

        // The chip's argument form escapes the slash and leaves scalars alone.
        const QString arguments = prettyArguments(u"{\"b\":2,\"a\":\"x/y\"}"_s);
        QVERIFY(arguments.indexOf(u"\"a\""_s) < arguments.indexOf(u"\"b\""_s));
        QVERIFY(arguments.contains(u"x\\/y"_s));
        QCOMPARE(prettyArguments(u"\"text\""_s), u"\"text\""_s);
        QCOMPARE(prettyArguments(u"42"_s), u"42"_s);
        QCOMPARE(prettyArguments(u"not json {"_s), u"not json {"_s);
        QCOMPARE(prettyArguments(QString()), QString());
        QCOMPARE(prettyArguments(u"[1,\"/\"]"_s), u"[\n  1,\n  \"\\/\"\n]"_s);
    }

    void argumentsFormForEveryText_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("pretty");
        QTest::newRow("object: keys sorted, slash escaped")
            << u"{\"b\":1,\"a\":\"x/y\"}"_s << u"{\n  \"a\" : \"x\\/y\",\n  \"b\" : 1\n}"_s;
        QTest::newRow("array") << u"[1,2]"_s << u"[\n  1,\n  2\n]"_s;
        QTest::newRow("not JSON") << u"ls -la"_s << u"ls -la"_s;
        QTest::newRow("bare string") << u"\"a/b\""_s << u"\"a/b\""_s;
        QTest::newRow("bare number") << u"42"_s << u"42"_s;
        QTest::newRow("truncated") << u"{\"a\": "_s << u"{\"a\": "_s;
        QTest::newRow("empty") << QString() << QString();
    }
    void argumentsFormForEveryText()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, pretty);
        QCOMPARE(prettyArguments(arguments), pretty);
    }

    void cardInputOfACall()
    {
        const std::optional<JSONValue> call = json(R"({"card":"terminal","title":"call"})");
        const std::optional<JSONValue> result = json(R"({"card":"read","title":5})");
        // No presentation at all: the chip shows the raw texts, not a card.
        QCOMPARE(cardInput(std::nullopt, std::nullopt, u"{}"_s, u"out"_s, true), std::nullopt);
        const std::optional<ToolCardInput> fromCall = cardInput(call, std::nullopt, u"{}"_s, std::nullopt, false);
        QVERIFY(fromCall);
        QCOMPARE(fromCall->presentation, *call);
        QCOMPARE(fromCall->fallbackArguments, u"{}"_s);
        QCOMPARE(fromCall->fallbackResult, std::nullopt);
        const std::optional<ToolCardInput> fromResult = cardInput(call, result, u"{}"_s, u"out"_s, true);
        QVERIFY(fromResult);
        QCOMPARE(fromResult->presentation, *result);
        QCOMPARE(fromResult->fallbackResult, u"out"_s);
        QVERIFY(fromResult->isError);

        // The result's title wins only when it is a string.
        QCOMPARE(presentedTitle(call, result), u"call"_s);
        QCOMPARE(presentedTitle(call, json(R"({"title":"done"})")), u"done"_s);
        QCOMPARE(presentedTitle(json(R"(["title"])"), std::nullopt), std::nullopt);
        QCOMPARE(presentedTitle(std::nullopt, std::nullopt), std::nullopt);
    }

    void genericSections()
    {
        // rawInput wins over the arguments, in any JSON type.
        GenericCard card = makeGenericCard(input(R"({"rawInput":"ls -la"})", u"{\"x\":1}"_s));
        QCOMPARE(card.input, (PresentationSection{u"输入"_s, u"ls -la"_s, true}));
        card = makeGenericCard(input(R"({"rawInput":null})"));
        QCOMPARE(card.input->text, u"null"_s);

        card = makeGenericCard(input(R"({})"));
        QVERIFY(!card.input);
        QVERIFY(!card.output);
        card = makeGenericCard(input(R"({})", u"plain"_s));
        QCOMPARE(card.input, (PresentationSection{u"参数"_s, u"plain"_s, true}));
        card = makeGenericCard(input(R"({})", u"\"quoted\""_s));
        QCOMPARE(card.input->text, u"quoted"_s);

        // Content parts: text items, pretty forms of the rest, joined by line feeds.
        card = makeGenericCard(input(R"({"content":[{"type":"text","text":"one"},{"type":"image"},"two"]})", {}, u"r"_s));
        QCOMPARE(card.output->label, u"内容"_s);
        QVERIFY(!card.output->monospaced);
        const QStringList parts = card.output->text.split(u'\n');
        QCOMPARE(parts.first(), u"one"_s);
        QCOMPARE(parts.last(), u"two"_s);
        QVERIFY(card.output->text.contains(u"\"type\" : \"image\""_s));

        // A text item without text adds nothing; the result takes over.
        card = makeGenericCard(input(R"({"content":[{"type":"text"}]})", {}, u"result"_s));
        QCOMPARE(card.output, (PresentationSection{u"结果"_s, u"result"_s, true}));
        card = makeGenericCard(input(R"({"content":[""]})", {}, u"result"_s));
        QCOMPARE(card.output->label, u"结果"_s);
        card = makeGenericCard(input(R"({"content":[]})", {}, u""_s));
        QVERIFY(!card.output);
        card = makeGenericCard(input(R"({"content":"text"})", {}, u" "_s));
        QCOMPARE(card.output->text, u" "_s); // blanks are not empty

        QCOMPARE(contentText(nullptr), std::nullopt);
        const JSONValue mixed = json(R"([{"type":"text","text":"a"},{"type":5},{},[1]])");
        const QString joined = *contentText(&mixed);
        QVERIFY(joined.startsWith(u"a\n{"_s));
        QVERIFY(joined.contains(u"\"type\" : 5"_s));
        QVERIFY(joined.contains(u"\n{}\n"_s));
        QVERIFY(joined.endsWith(u"[\n  1\n]"_s));
    }

    void locations()
    {
        const GenericCard card = makeGenericCard(input(
            R"({"locations":[{"path":"a.txt","line":12},{"path":"b.txt"},{"line":3},{"path":"c","line":12.5},{"path":"d","line":"12"},7]})"));
        QCOMPARE(card.locations.size(), size_t(6));
        QCOMPARE(card.locations[0], (FileButton{u"a.txt:12"_s, u"a.txt"_s}));
        QCOMPARE(card.locations[1], (FileButton{u"b.txt"_s, u"b.txt"_s}));
        QCOMPARE(card.locations[2], (FileButton{u":3"_s, std::nullopt}));
        QCOMPARE(card.locations[3].label, u"c"_s);
        QCOMPARE(card.locations[4].label, u"d"_s);
        QCOMPARE(card.locations[5], (FileButton{QString(), std::nullopt}));
        QVERIFY(makeGenericCard(input(R"({"locations":{"path":"a"}})")).locations.empty());
    }

    void terminal()
    {
        TerminalCard card = makeTerminalCard(input(R"({"output":"","exitCode":0,"cwd":""})", u"args"_s, u"result"_s));
        QCOMPARE(card.output, QString()); // an empty output is still the output
        QCOMPARE(card.cwd, QString());
        QCOMPARE(card.status, u"exit 0"_s);
        QVERIFY(card.statusIsSuccess);
        QVERIFY(!card.description);

        card = makeTerminalCard(input(R"({"title":"t","exitCode":127,"signal":"SIGKILL","description":"Run it"})", u"a"_s, u"r"_s));
        QCOMPARE(card.output, u"r"_s);
        QCOMPARE(card.status, u"exit 127"_s);
        QVERIFY(!card.statusIsSuccess);
        QCOMPARE(card.description, u"Run it"_s);
        QCOMPARE(card.cwd, u"工作目录"_s);

        card = makeTerminalCard(input(R"({"title":"t","exitCode":-1})", u"a"_s));
        QCOMPARE(card.output, u"t"_s);
        QCOMPARE(card.status, u"exit -1"_s);
        card = makeTerminalCard(input(R"({"exitCode":1.5,"signal":"SIGKILL","description":""})", u"a"_s));
        QCOMPARE(card.output, u"a"_s);
        QCOMPARE(card.status, u"SIGKILL"_s);
        QVERIFY(!card.statusIsSuccess);
        QVERIFY(!card.description);
        card = makeTerminalCard(input(R"({"exitCode":"0"})"));
        QVERIFY(!card.status);
    }

    void diff()
    {
        DiffCard card = makeDiffCard(json(R"x({"diffs":[{"path":"src/a.c","oldText":"a\nb\nc","newText":"a\nB\nc"},)x"
            R"x({"path":"new.txt","newText":"x\n"},{"oldText":"gone"},5]})x"));
        QCOMPARE(card.entries.size(), size_t(4));
        QCOMPARE(card.entries[0].header, (FileButton{u"src/a.c"_s, u"src/a.c"_s}));
        QCOMPARE(card.entries[0].removed, (QStringList{u"a"_s, u"b"_s, u"c"_s}));
        QCOMPARE(card.entries[0].added, (QStringList{u"a"_s, u"B"_s, u"c"_s}));
        QVERIFY(!card.entries[1].removed); // a new file
        QCOMPARE(card.entries[1].added, (QStringList{u"x"_s, QString()})); // the final line feed is a row
        QCOMPARE(card.entries[2].header, (FileButton{u"文件"_s, std::nullopt}));
        QCOMPARE(card.entries[2].added, QStringList{QString()});
        QCOMPARE(card.entries[3].header.label, u"文件"_s);
        QVERIFY(!card.entries[3].removed);

        QVERIFY(makeDiffCard(json(R"({"diffs":[]})")).entries.empty());
        QVERIFY(makeDiffCard(json(R"({"diffs":"x"})")).entries.empty());
        QCOMPARE(splitLines(u"a\r\nb\n\n"_s), (QStringList{u"a"_s, u"b"_s, QString(), QString()}));
    }

    void search()
    {
        SearchCard card = makeSearchCard(json(R"({"shape":"paths","total":12,"truncated":true})"));
        QCOMPARE(card.title, u"路径"_s);
        QVERIFY(card.paths.isEmpty());
        QCOMPARE(card.countText, u"显示部分结果 · 共 12 项"_s);
        QVERIFY(card.truncated);

        card = makeSearchCard(json(R"({"shape":"paths","paths":["a/b*c_d.txt",3],"total":"9","truncated":"true"})"));
        QCOMPARE(card.paths, (QStringList{u"a/b*c_d.txt"_s, QString()}));
        QCOMPARE(card.countText, u"0 项"_s);
        QVERIFY(!card.truncated);
        QCOMPARE(makeSearchCard(json(R"({"total":2.5,"truncated":1})")).countText, u"0 项"_s);

        card = makeSearchCard(json(R"x({"shape":3,"total":2,"files":[{"path":"x.c","matches":[{"lineNumber":4,"line":"hit"},)x"
            R"x({"lineNumber":"5"},{}]},7]})x"));
        QCOMPARE(card.title, u"匹配项"_s);
        QVERIFY(!card.pathList);
        QCOMPARE(card.groups.size(), size_t(2));
        QCOMPARE(card.groups[0].matches,
                 (std::vector<SearchMatch>{{4, u"hit"_s}, {0, QString()}, {0, QString()}}));
        QCOMPARE(card.groups[1].path, QString());
        QVERIFY(card.groups[1].matches.empty());
        QVERIFY(makeSearchCard(json(R"({"shape":"Paths"})")).groups.empty());
    }

    void read()
    {
        QString lines;
        for (int i = 1; i <= 40; ++i)
            lines += (i > 1 ? u","_s : QString()) + u"{\"number\":%1,\"text\":\"line\"}"_s.arg(i);
        ReadCard card = makeReadCard(parseJSON((u"{\"path\":\"p.txt\",\"lines\":["_s + lines + u"]}"_s).toUtf8()));
        QCOMPARE(card.countText, u"40 / 0 行"_s);
        QCOMPARE(card.lines.size(), size_t(40));
        QCOMPARE(card.lines[39], (ReadLine{40, u"line"_s}));

        card = makeReadCard(json(R"({"totalLines":300,"lines":[{"number":"1","text":5}]})"));
        QCOMPARE(card.path, QString());
        QCOMPARE(card.countText, u"1 / 300 行"_s);
        QCOMPARE(card.lines[0], (ReadLine{0, QString()}));
        QCOMPARE(makeReadCard(json(R"({"lines":"x"})")).countText, u"0 / 0 行"_s);
    }

    void web()
    {
        WebCard card = makeWebCard(json(R"({"kind":"fetch","url":"https:\/\/e.com","statusCode":200,"truncated":true,"answer":"x"})"));
        QVERIFY(card.fetch);
        QCOMPARE(card.statusText, u"HTTP 200"_s);
        QVERIFY(card.truncated);
        QVERIFY(!card.answer);
        card = makeWebCard(json(R"({"kind":"fetch","statusCode":"200","truncated":"true"})"));
        QCOMPARE(card.statusText, u"HTTP 0"_s);
        QCOMPARE(card.url, QString());
        QVERIFY(!card.truncated);

        card = makeWebCard(json(R"({"kind":"Fetch"})"));
        QVERIFY(!card.fetch);
        QVERIFY(!card.answer);
        QVERIFY(card.sources.empty());

        card = makeWebCard(json(R"x({"answer":"","sources":[{"url":"https:\/\/a.org"},{},{"title":"","url":"u","snippet":""},)x"
            R"x({"title":"T","snippet":5},"x"]})x"));
        QVERIFY(!card.answer);
        QCOMPARE(card.sources.size(), size_t(5));
        QCOMPARE(card.sources[0], (WebSource{u"https://a.org"_s, u"https://a.org"_s, std::nullopt}));
        QCOMPARE(card.sources[1], (WebSource{u"来源"_s, QString(), std::nullopt}));
        QCOMPARE(card.sources[2], (WebSource{QString(), u"u"_s, QString()}));
        QCOMPARE(card.sources[3], (WebSource{u"T"_s, QString(), std::nullopt}));
        QCOMPARE(card.sources[4].title, u"来源"_s);

        QCOMPARE(webAddress(QString()), std::nullopt);
        QCOMPARE(webAddress(u"https://a.org/x"_s), u"https://a.org/x"_s);
        QCOMPARE(webAddress(u"http://a b"_s), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(tst_ToolPresentationModel)
#include "tst_toolpresentationmodel.moc"
