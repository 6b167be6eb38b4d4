#pragma once

#include <QString>
#include <QStringView>

#include <utility>

namespace nbd {

// Lengths and cuts of text as a person counts characters: extended grapheme clusters, not
// UTF-16 units. A cut never splits a surrogate pair, a combining sequence or an emoji sequence.
// Only the stretches around units that may join a neighbour are segmented exactly, so long
// ASCII and CJK texts are counted at the speed of a plain scan.
struct Graphemes
{
    static qsizetype count(QStringView text);
    // Where the first `limit` characters end (in UTF-16 units), and whether the text has that
    // many. A negative limit walks the whole text.
    static std::pair<qsizetype, bool> prefixEnd(QStringView text, qsizetype limit);
    // The first `limit` characters (all of the text when it is shorter; none for limit <= 0).
    static QString prefix(const QString &text, qsizetype limit);
    // Where a piece of `text` that starts at `from` (a character boundary) and holds at most
    // `length` units ends: the end of the text, else the last character boundary in reach. A
    // character longer than `length` (a base under thousands of combining marks) is cut
    // anyway, into pieces of kLongestCharacter units, never inside a surrogate pair: laying it
    // out whole would stall the window. Always past `from` for a positive length; segments at
    // most `length` units.
    static constexpr qsizetype kLongestCharacter = 64;
    static qsizetype pieceEnd(QStringView text, qsizetype from, qsizetype length);
    // The count formatted in the locale's integer format, with its digit grouping.
    static QString formattedCount(qsizetype count);
};

} // namespace nbd
