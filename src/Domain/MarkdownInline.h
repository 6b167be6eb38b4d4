#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

namespace nbd {

// The inline Markdown inside a block: escapes, code spans, emphasis and strong by delimiter
// runs, strike-through, links (image links show their alt text), autolinks in angle brackets
// and bare http(s) addresses. HTML and entities stay literal; line breaks stay as written.
// One pass plus a linear emphasis step; a text over the size limit or nested deeper than the
// nesting limit comes back verbatim as one plain run.
struct InlineRun
{
    enum Style : quint8 { Plain = 0, Emphasis = 1, Strong = 2, Code = 4, Strike = 8 };

    QString text;
    quint8 style = Plain;
    int link = -1; // index into InlineText::links

    bool operator==(const InlineRun &) const = default;
};

struct InlineText
{
    std::vector<InlineRun> runs;
    QStringList links;
    bool verbatim = false; // a guard tripped
    qsizetype work = 0;    // steps taken, for the linearity checks of the tests

    QString plainText() const;
};

namespace MarkdownInline {
inline constexpr qsizetype kMaxLength = 256 * 1024;
inline constexpr int kMaxNesting = 32;

InlineText parse(QStringView text);
} // namespace MarkdownInline

} // namespace nbd
