#pragma once

#include <QString>

namespace nbd {

// Lengths and cuts of text as a person counts characters: extended grapheme clusters, not
// UTF-16 units.
struct Graphemes
{
    static qsizetype count(const QString &text);
    // The first `limit` characters (all of the text when it is shorter).
    static QString prefix(const QString &text, qsizetype limit);
    // The count formatted in the locale's integer format, with its digit grouping.
    static QString formattedCount(qsizetype count);
};

} // namespace nbd
