// Markdown in the host's answers: the block parser and the inline parser must finish in time
// linear in the input and lose none of its text. Only marker characters may disappear (and
// whatever follows a closing fence on its line); inline, only link destinations and titles
// may, and those go into the link list or, for images and titles, nowhere.
#include "FuzzSupport.h"

#include "Domain/MarkdownInline.h"
#include "Domain/MarkdownParser.h"

#include <QHash>

#include <algorithm>

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

// Blanks and tabs, as the block parser trims lines (no line breaks).
bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

bool isBlankText(QStringView text)
{
    return std::all_of(text.begin(), text.end(), isBlank);
}

// Characters that are text whatever the markup around them.
bool isContent(QChar c)
{
    return c.isLetter() || c.isMark();
}

QHash<char16_t, qsizetype> contentCounts(QStringView text)
{
    QHash<char16_t, qsizetype> counts;
    for (const QChar c : text)
        if (isContent(c))
            ++counts[c.unicode()];
    return counts;
}

// Every count of `part` is at most the one of `whole`.
bool within(const QHash<char16_t, qsizetype> &part, const QHash<char16_t, qsizetype> &whole)
{
    for (auto it = part.cbegin(); it != part.cend(); ++it)
        if (it.value() > whole.value(it.key()))
            return false;
    return true;
}

QHash<char16_t, qsizetype> minus(QHash<char16_t, qsizetype> a, const QHash<char16_t, qsizetype> &b)
{
    for (auto it = b.cbegin(); it != b.cend(); ++it)
        a[it.key()] -= it.value();
    return a;
}

void checkBlocks(const QString &text)
{
    const std::vector<MarkdownBlock> blocks = MarkdownParser::parse(text);
    NBD_FUZZ_CHECK(MarkdownParser::parse(text) == blocks, "two parses of one text differ");

    QString out;
    for (const MarkdownBlock &b : blocks) {
        switch (b.kind) {
        case MarkdownBlock::Kind::Heading:
            NBD_FUZZ_CHECK(b.level >= 1 && b.level <= 6, QString::number(b.level));
            break;
        case MarkdownBlock::Kind::Code:
            NBD_FUZZ_CHECK(!b.language || !isBlankText(*b.language), "a code block with a blank language");
            out += b.language.value_or(QString());
            break;
        case MarkdownBlock::Kind::List:
            NBD_FUZZ_CHECK(!b.items.empty(), "a list without items");
            for (const auto &item : b.items) {
                NBD_FUZZ_CHECK(item.nested.empty(), "a nested block in a list item");
                out += item.text;
            }
            break;
        case MarkdownBlock::Kind::Paragraph:
            NBD_FUZZ_CHECK(!isBlankText(b.text), "a blank paragraph");
            break;
        case MarkdownBlock::Kind::Quote:
        case MarkdownBlock::Kind::Rule:
            break;
        }
        out += b.text;
    }
    // Blank lines only: nothing.
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c == u'\n' || isBlank(c); }))
        NBD_FUZZ_CHECK(blocks.empty(), "blocks from a blank text");

    // Text lost may come only from lines that start with a fence mark (a closing fence's rest).
    QString fenceLines;
    for (const QStringView line : QStringView(text).split(u'\n'))
        if (line.startsWith(u"```"))
            fenceLines += line;
    const auto in = contentCounts(text);
    const auto kept = contentCounts(out);
    NBD_FUZZ_CHECK(within(kept, in), "the blocks hold text the input does not");
    NBD_FUZZ_CHECK(within(minus(in, kept), contentCounts(fenceLines)), "the blocks lost text");
}

void checkInline(QStringView text)
{
    const InlineText parsed = MarkdownInline::parse(text);
    NBD_FUZZ_CHECK(parsed.work <= 16 * text.size() + 16,
                   u"%1 steps for %2 characters"_s.arg(parsed.work).arg(text.size()));
    const QString plain = parsed.plainText();
    if (parsed.verbatim) {
        NBD_FUZZ_CHECK(plain == text, "a verbatim result differs from its input");
        return;
    }
    for (const InlineRun &run : parsed.runs)
        NBD_FUZZ_CHECK(run.link >= -1 && run.link < parsed.links.size(), "a run points past the links");

    const auto in = contentCounts(text);
    const auto shown = contentCounts(plain);
    NBD_FUZZ_CHECK(within(shown, in), "the runs hold text the input does not");
    // Without a destination in parentheses nothing is consumed but markers.
    if (!text.contains(u'('))
        NBD_FUZZ_CHECK(shown == in, "inline text lost characters");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(bytes(data, size));
    checkBlocks(text);
    checkInline(text);
    for (const MarkdownBlock &b : MarkdownParser::parse(text)) {
        if (b.kind != MarkdownBlock::Kind::Code)
            checkInline(b.text);
        for (const auto &item : b.items)
            checkInline(item.text);
    }
    return 0;
}
