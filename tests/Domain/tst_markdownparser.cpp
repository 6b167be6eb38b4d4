#include "Domain/MarkdownInline.h"
#include "Domain/MarkdownParser.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

using Block = MarkdownBlock;
using Blocks = std::vector<MarkdownBlock>;

Block bullets(QStringList texts, bool ordered = false)
{
    std::vector<Block::ListItem> items;
    for (const QString &t : texts)
        items.push_back({t, {}});
    return Block::list(std::move(items), ordered);
}

// The runs of an inline text as "style:text" strings, links as "text->href".
QStringList runs(const QString &text)
{
    const InlineText parsed = MarkdownInline::parse(text);
    QStringList out;
    for (const InlineRun &run : parsed.runs) {
        QString s;
        if (run.style & InlineRun::Strong)
            s += u'S';
        if (run.style & InlineRun::Emphasis)
            s += u'E';
        if (run.style & InlineRun::Code)
            s += u'C';
        if (run.style & InlineRun::Strike)
            s += u'X';
        s += u':' + run.text;
        if (run.link >= 0)
            s += u"->"_s + parsed.links[run.link];
        out << s;
    }
    return out;
}

} // namespace

class tst_MarkdownParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void blocks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Blocks>("expected");
        QTest::newRow("empty") << QString() << Blocks{};
        QTest::newRow("blank lines") << u"  \n\t\n   "_s << Blocks{};
        QTest::newRow("hash then letter") << u"#x"_s << Blocks{Block::paragraph(u"#x"_s)};
        QTest::newRow("seven hashes") << u"####### word"_s << Blocks{Block::paragraph(u"####### word"_s)};
        QTest::newRow("lone hash") << u"#"_s << Blocks{Block::paragraph(u"#"_s)};
        QTest::newRow("hash and tab") << u"#\tword"_s << Blocks{Block::paragraph(u"#\tword"_s)};
        QTest::newRow("level six") << u"###### word  "_s << Blocks{Block::heading(6, u"word"_s)};
        QTest::newRow("indented heading") << u"  # Title\nmore"_s << Blocks{Block::paragraph(u"  # Title\nmore"_s)};
        QTest::newRow("fence") << u"```shell\nls\n  cd x\n```\nafter"_s
                               << Blocks{Block::code(u"ls\n  cd x"_s, u"shell"_s), Block::paragraph(u"after"_s)};
        QTest::newRow("fence without language") << u"```   \ncode\n```"_s << Blocks{Block::code(u"code"_s, std::nullopt)};
        QTest::newRow("unterminated fence") << u"text\n```py\na\n\n# b"_s
                                            << Blocks{Block::paragraph(u"text"_s), Block::code(u"a\n\n# b"_s, u"py"_s)};
        QTest::newRow("empty fence") << u"```\n```"_s << Blocks{Block::code(QString(), std::nullopt)};
        QTest::newRow("two list kinds") << u"1. one\n2) two\n- three"_s
                                        << Blocks{bullets({u"one"_s, u"two"_s}, true), bullets({u"three"_s})};
        QTest::newRow("numbers only") << u"1."_s << Blocks{Block::paragraph(u"1."_s)};
        QTest::newRow("numbers kept out") << u"3. a\n7. b\n9. c"_s << Blocks{bullets({u"a"_s, u"b"_s, u"c"_s}, true)};
        QTest::newRow("indented bullets") << u"  * a\n+ b\n\n- c"_s << Blocks{bullets({u"a"_s, u"b"_s}), bullets({u"c"_s})};
        QTest::newRow("quote lines") << u"> one\n  >two"_s << Blocks{Block::quote(u"one two"_s)};
        QTest::newRow("quotes apart") << u"> one\n\n> two"_s << Blocks{Block::quote(u"one"_s), Block::quote(u"two"_s)};
        QTest::newRow("rule under paragraph") << u"para\n---"_s << Blocks{Block::paragraph(u"para\n---"_s)};
        QTest::newRow("rule after blank") << u"para\n\n---"_s << Blocks{Block::paragraph(u"para"_s), Block::rule()};
        QTest::newRow("mixed rule") << u" -*_ "_s << Blocks{Block::rule()};
        QTest::newRow("spaced hyphens") << u"- - -"_s << Blocks{bullets({u"- -"_s})};
        QTest::newRow("paragraph lines keep blanks") << u"  a\n    b\nc"_s << Blocks{Block::paragraph(u"  a\n    b\nc"_s)};
        QTest::newRow("paragraph ends at markers") << u"a\n# h\nb\n> q\nc\n- l\nd\n```\nx"_s
            << Blocks{Block::paragraph(u"a"_s), Block::heading(1, u"h"_s), Block::paragraph(u"b"_s), Block::quote(u"q"_s),
                      Block::paragraph(u"c"_s), bullets({u"l"_s}), Block::paragraph(u"d"_s), Block::code(u"x"_s, std::nullopt)};
        QTest::newRow("carriage return stays") << u"# T\r\nx\r"_s << Blocks{Block::heading(1, u"T\r"_s), Block::paragraph(u"x\r"_s)};
        QTest::newRow("full-width blank trimmed") << u"\u3000> 引用"_s << Blocks{Block::quote(u"引用"_s)};
    }
    void blocks()
    {
        QFETCH(QString, text);
        QFETCH(Blocks, expected);
        const Blocks actual = MarkdownParser::parse(text);
        if (actual != expected) {
            for (const Block &b : actual)
                qWarning() << int(b.kind) << b.text << b.level << b.items.size();
        }
        QVERIFY(actual == expected);
    }

    void inlineRuns_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("plain") << u"just text"_s << QStringList{u":just text"_s};
        QTest::newRow("emphasis and strong") << u"*a* and **b**"_s << QStringList{u"E:a"_s, u": and "_s, u"S:b"_s};
        QTest::newRow("nested") << u"**bold *both* bold**"_s << QStringList{u"S:bold "_s, u"SE:both"_s, u"S: bold"_s};
        QTest::newRow("triple") << u"***x***"_s << QStringList{u"SE:x"_s};
        QTest::newRow("underscores in words") << u"snake_case_name"_s << QStringList{u":snake_case_name"_s};
        QTest::newRow("unmatched") << u"**open and *close"_s << QStringList{u":**open and *close"_s};
        QTest::newRow("leftover") << u"**a*"_s << QStringList{u":*"_s, u"E:a"_s};
        QTest::newRow("spaced stars") << u"a * b * c"_s << QStringList{u":a * b * c"_s};
        QTest::newRow("code with delimiters") << u"`*not* [x](y)` after"_s << QStringList{u"C:*not* [x](y)"_s, u": after"_s};
        QTest::newRow("double backticks") << u"`` a`b ``"_s << QStringList{u"C:a`b"_s};
        QTest::newRow("unclosed backtick") << u"`a **b**"_s << QStringList{u":`a "_s, u"S:b"_s};
        QTest::newRow("strike") << u"~~gone~~ ~x~"_s << QStringList{u"X:gone"_s, u": "_s, u"X:x"_s};
        QTest::newRow("escapes") << u"\\*a\\* \\` \\q"_s << QStringList{u":*a* ` \\q"_s};
        QTest::newRow("html literal") << u"<b>bold</b> &amp;"_s << QStringList{u":<b>bold</b> &amp;"_s};
        QTest::newRow("link") << u"see [the *docs*](https://e.com/a_(b) \"t\")."_s
                              << QStringList{u":see "_s, u":the ->https://e.com/a_(b)"_s, u"E:docs->https://e.com/a_(b)"_s, u":."_s};
        QTest::newRow("link in link") << u"[a [b](u) c](v)"_s << QStringList{u":[a "_s, u":b->u"_s, u": c](v)"_s};
        QTest::newRow("image alt") << u"![alt *x*](p.png) end"_s << QStringList{u":alt "_s, u"E:x"_s, u": end"_s};
        QTest::newRow("no destination") << u"[a] (b) [c]"_s << QStringList{u":[a] (b) [c]"_s};
        QTest::newRow("angle autolink") << u"<https://a.org/x?y=1>"_s << QStringList{u":https://a.org/x?y=1->https://a.org/x?y=1"_s};
        QTest::newRow("mail autolink") << u"<me@x.org>"_s << QStringList{u":me@x.org->mailto:me@x.org"_s};
        QTest::newRow("bare address") << u"见 https://a.org/p_(1)), ok"_s
                                      << QStringList{u":见 "_s, u":https://a.org/p_(1)->https://a.org/p_(1)"_s, u":), ok"_s};
        QTest::newRow("line breaks kept") << u"a  \n  b"_s << QStringList{u":a  \n  b"_s};
        QTest::newRow("chinese strong") << u"这是**重点**内容"_s << QStringList{u":这是"_s, u"S:重点"_s, u":内容"_s};
        QTest::newRow("emphasis across a code span") << u"*a `*` b*"_s << QStringList{u"E:a "_s, u"EC:*"_s, u"E: b"_s};
    }
    void inlineRuns()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(runs(text), expected);
    }

    // Hostile inputs finish in a number of steps proportional to their length, and their text
    // comes back whole.
    void inlineIsLinear_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::newRow("stars") << u"*"_s;
        QTest::newRow("star letter") << u"*a"_s;
        QTest::newRow("letter star space") << u"a* "_s;
        QTest::newRow("underscores") << u"_a_ *b "_s;
        QTest::newRow("mixed openers") << u"**a *b _c "_s;
        QTest::newRow("brackets") << u"[a](b"_s;
        QTest::newRow("open brackets") << u"["_s;
        QTest::newRow("closers") << u"]("_s;
        QTest::newRow("backticks") << u"`a``b"_s;
        QTest::newRow("angles") << u"<a:b"_s;
        QTest::newRow("addresses") << u"http://x"_s;
        QTest::newRow("tildes") << u"~a~~"_s;
    }
    void inlineIsLinear()
    {
        QFETCH(QString, unit);
        const QString text = unit.repeated(100 * 1024 / unit.size());
        const InlineText parsed = MarkdownInline::parse(text);
        QVERIFY2(parsed.work <= 16 * text.size(), qPrintable(QString::number(parsed.work)));
        if (!parsed.verbatim) {
            // Nothing is lost: delimiters that matched are the only characters dropped.
            QVERIFY(parsed.plainText().size() <= text.size());
            QVERIFY(parsed.plainText().size() >= text.size() / 3);
        }
    }

    // What a screen reader reads for a message: the words as drawn, never the marks or a
    // link's destination; host text that looks like HTML stays as written.
    void plainText_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("strong and emphasis") << u"**粗体** 与 *斜体* 和 ~~删除~~"_s << u"粗体 与 斜体 和 删除"_s;
        QTest::newRow("link keeps its text only") << u"见 [指南](https://example.org/a?b=1)。"_s << u"见 指南。"_s;
        QTest::newRow("autolink is its address") << u"<https://example.org>"_s << u"https://example.org"_s;
        QTest::newRow("image shows its alt text") << u"![图表](chart.png)"_s << u"图表"_s;
        QTest::newRow("code span without ticks") << u"运行 `make -j3`"_s << u"运行 make -j3"_s;
        QTest::newRow("escaped mark stays") << u"\\*不是强调\\*"_s << u"*不是强调*"_s;
        QTest::newRow("heading without hashes") << u"## 结果\n正文"_s << u"结果\n正文"_s;
        QTest::newRow("bullets without marks") << u"- 一\n- **二**"_s << u"一\n二"_s;
        QTest::newRow("ordered keeps numbers") << u"1. 一\n2. 二"_s << u"1. 一\n2. 二"_s;
        QTest::newRow("quote without bar") << u"> 引用 *文字*"_s << u"引用 文字"_s;
        QTest::newRow("rule is silent") << u"上\n\n---\n\n下"_s << u"上\n下"_s;
        QTest::newRow("code block as written") << u"```cpp\nint **p = 0;\n```"_s << u"int **p = 0;"_s;
        QTest::newRow("html stays literal") << u"<b>粗</b> &amp;"_s << u"<b>粗</b> &amp;"_s;
        QTest::newRow("unclosed marks stay") << u"**未闭合 [链接](x"_s << u"**未闭合 [链接](x"_s;
    }

    void plainText()
    {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        QCOMPARE(MarkdownParser::plainText(source), expected);
    }

    // A huge or deeply nested text still comes back, in one linear pass, without its marks
    // where the guards allow and verbatim where they trip.
    void plainTextOfHostileInput()
    {
        const QString nested = QString(200, u'[') + u"x"_s + QString(200, u']');
        QVERIFY(!MarkdownParser::plainText(nested).isEmpty());
        const QString huge = u"字"_s + QString(MarkdownInline::kMaxLength + 10, u'*');
        QCOMPARE(MarkdownParser::plainText(huge).size(), huge.size());
        QCOMPARE(MarkdownParser::plainText(u"\r\n\r\n"_s), QString());
    }

    // The words of a text that grows delta by delta, read on from where they were last found,
    // are those of the whole text read at once: blank lines inside code blocks, carriage
    // returns, lines still growing, a blank line that turns out to be a paragraph's, a text
    // that is replaced rather than extended.
    void plainTextOfAGrowingText()
    {
        const QStringList pieces = {
            u"段落 **粗体** 与 `code`\n"_s, u"\n"_s, u"  \t\n"_s, u"\u3000\n"_s, u"\r\n"_s, u" \r\n"_s,
            u"```cpp\n"_s, u"```\n"_s, u"int **p;\n"_s, u"# 标题\n"_s, u"- 项 *一*\n"_s, u"1. 第一\n"_s,
            u"> 引用\n"_s, u"---\n"_s, u"[链接](https://example.org) 后文\n"_s, u"*跨\n"_s, u"行*\n"_s,
            u"a\rb\n"_s, u"```\r\n"_s, u"\r```\n"_s, u"没有换行"_s,
        };
        QRandomGenerator random(20261211);
        for (int round = 0; round < 300; ++round) {
            QString whole;
            const int count = random.bounded(1, 40);
            for (int i = 0; i < count; ++i)
                whole += pieces[random.bounded(int(pieces.size()))];
            MarkdownParser::PlainTextPrefix prefix;
            qsizetype shown = 0;
            while (shown < whole.size()) {
                shown = std::min(whole.size(), shown + random.bounded(1, 30));
                const QString text = whole.left(shown);
                QCOMPARE(MarkdownParser::plainText(text, prefix), MarkdownParser::plainText(text));
                QVERIFY(prefix.length <= text.size());
            }
            // A text that no longer starts as before is read whole again.
            const QString replaced = u"```\n"_s + whole;
            QCOMPARE(MarkdownParser::plainText(replaced, prefix), MarkdownParser::plainText(replaced));
            const QString shorter = whole.left(whole.size() / 2);
            QCOMPARE(MarkdownParser::plainText(shorter, prefix), MarkdownParser::plainText(shorter));
        }
    }

    // Once a paragraph is closed by a blank line, the next delta reads only what follows.
    void plainTextReadsOnFromTheLastBlankLine()
    {
        MarkdownParser::PlainTextPrefix prefix;
        const QString first = u"一 **二**\n\n```\n\n代码\n"_s;
        QCOMPARE(MarkdownParser::plainText(first, prefix), u"一 二\n\n代码\n"_s);
        QCOMPARE(prefix.length, qsizetype(first.indexOf(u"```")));
        QCOMPARE(prefix.plain, u"一 二"_s);
        const QString second = first + u"```\n\n三"_s;
        QCOMPARE(MarkdownParser::plainText(second, prefix), u"一 二\n\n代码\n三"_s);
        QCOMPARE(prefix.length, second.size() - 1);
    }

    void guards()
    {
        // Deeper than the nesting limit: verbatim.
        const QString deep = u"["_s.repeated(40) + u"x"_s + u"](u)"_s.repeated(40);
        InlineText parsed = MarkdownInline::parse(deep);
        QVERIFY(parsed.verbatim);
        QCOMPARE(parsed.plainText(), deep);

        const QString emphasis = u"*a "_s.repeated(40) + u"x"_s + u" a*"_s.repeated(40);
        QVERIFY(!MarkdownInline::parse(u"*a "_s.repeated(30) + u"x"_s + u" a*"_s.repeated(30)).verbatim);
        QVERIFY(MarkdownInline::parse(emphasis).verbatim);

        const QString huge = u"*a* "_s.repeated(int(MarkdownInline::kMaxLength / 4) + 1);
        parsed = MarkdownInline::parse(huge);
        QVERIFY(parsed.verbatim);
        QCOMPARE(parsed.runs.size(), size_t(1));
        QVERIFY(!MarkdownInline::parse(u"[[[a]]]"_s).verbatim);
        QCOMPARE(MarkdownInline::parse(QString()).runs.size(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(tst_MarkdownParser)
#include "tst_markdownparser.moc"
