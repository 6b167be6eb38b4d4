#pragma once

#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

namespace nbd {

// One block of the application's line-based Markdown. Lists and quotes hold no other blocks.
struct MarkdownBlock
{
    enum class Kind { Paragraph, Heading, Code, List, Quote, Rule };

    struct ListItem
    {
        QString text;
        std::vector<MarkdownBlock> nested; // always empty: lists do not nest
        bool operator==(const ListItem &) const = default;
    };

    Kind kind = Kind::Paragraph;
    QString text;                    // paragraph, heading, quote; the code of a code block
    int level = 0;                   // heading: 1 to 6
    std::optional<QString> language; // code
    std::vector<ListItem> items;     // list
    bool ordered = false;            // list
    qsizetype firstNumber = 1;       // ordered list: the number of its first item

    bool operator==(const MarkdownBlock &) const = default;

    static MarkdownBlock paragraph(QString text);
    static MarkdownBlock heading(int level, QString text);
    static MarkdownBlock code(QString code, std::optional<QString> language);
    static MarkdownBlock list(std::vector<ListItem> items, bool ordered);
    static MarkdownBlock quote(QString text);
    static MarkdownBlock rule();
};

// Cuts a text into blocks in one forward pass over its lines; never fails.
namespace MarkdownParser {
std::vector<MarkdownBlock> parse(QStringView text);

// The words as the rendered text shows them, for a screen reader: no Markdown syntax, link
// texts without their destinations, code as written, one line per block or list item
// (ordered items keep their numbers).
QString plainText(QStringView text);

// What plainText found in the start of a text that keeps growing: the text as it was, and how
// far into it the parse last started afresh (after a blank line outside a code block, where no
// block reaches back across), with the words up to there.
struct PlainTextPrefix
{
    QString source;
    qsizetype length = 0;
    QString plain;
};

// plainText(text), reading again only what follows `prefix` while the text still starts with
// it; `prefix` moves on to the text's last fresh start. An appended delta so costs its own
// paragraph, not the whole text again.
QString plainText(const QString &text, PlainTextPrefix &prefix);
} // namespace MarkdownParser

} // namespace nbd
