// Figures of the Markdown view.
//
//   markdown.parse_mbps      block and inline parsing of a 1 MB mixed document (headings,
//                            paragraphs with emphasis, code spans and links, lists, quotes,
//                            fenced code), in MB of UTF-16 text per second (median of 5)
//   markdown.render_ms_10k   a 10,000-character reply made into its widget and laid out at
//                            the transcript's width (median of 5)

#include "WidgetBenchSupport.h"
#include "Domain/MarkdownInline.h"
#include "Domain/MarkdownParser.h"
#include "UI/Shared/MarkdownText.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLayout>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString section(int i)
{
    return u"## Section %1\n\n"_s.arg(i)
        + u"The resolver caches **positive** answers and *negative* ones, see `resolve()` and "
          "[the notes](https://example.org/notes/%1). 中文段落也会出现，**加粗**和`代码`混排。\n"
          "A second line of the same paragraph with ~~old~~ text and <https://example.org>.\n\n"_s.arg(i)
        + u"1. first step with `code`\n2. second step\n3. third step with a [link](docs/a.md)\n\n"_s
        + u"- bullet *one*\n- bullet **two**\n\n> A quoted remark that goes on for a while.\n\n"_s
        + u"```cpp\nint main()\n{\n    return 0;\n}\n```\n\n"_s;
}

qsizetype parseAll(const QString &text)
{
    qsizetype runs = 0;
    for (const MarkdownBlock &block : MarkdownParser::parse(text)) {
        if (block.kind == MarkdownBlock::Kind::List) {
            for (const auto &item : block.items)
                runs += qsizetype(MarkdownInline::parse(item.text).runs.size());
        } else if (block.kind != MarkdownBlock::Kind::Code && block.kind != MarkdownBlock::Kind::Rule) {
            runs += qsizetype(MarkdownInline::parse(block.text).runs.size());
        }
    }
    return runs;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    bench::StartedApplication<> app(argc, argv);

    QString big;
    for (int i = 0; big.size() < 1024 * 1024 / 2; ++i)
        big += section(i);
    const double megabytes = double(big.size()) * 2 / (1024.0 * 1024.0);
    std::vector<double> rates;
    qsizetype sink = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        sink += parseAll(big);
        rates.push_back(megabytes / (double(t.nsecsElapsed()) / 1e9));
    }

    QString reply;
    for (int i = 0; reply.size() < 10'000; ++i)
        reply += section(i);
    reply.truncate(10'000);
    std::vector<double> renders;
    for (int run = 0; run < 6; ++run) {
        QElapsedTimer t;
        t.start();
        MarkdownText view(reply, false);
        view.resize(720, 4000);
        view.layout()->activate();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        if (run > 0) // the first run loads fonts
            renders.push_back(ms);
    }
    std::printf("markdown.parse_mbps: %.1f\n", median(rates));
    std::printf("markdown.render_ms_10k: %.2f\n", median(renders));
    return sink > 0 ? 0 : 1;
}
