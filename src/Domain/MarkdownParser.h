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
} // namespace MarkdownParser

} // namespace nbd
