#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace nbd {

// The output of one stream of the host, cut into whole lines. The unfinished end of a read
// is carried over to the next one, so that a line the host wrote in two pieces (or a pipe
// read that splits it) still counts as one line.
struct LineBuffer
{
    // A host that never ends a line must not grow the carried text without bound.
    static constexpr qsizetype kMaxCarriedLine = 64 * 1024;

    QByteArray carried;

    QStringList take(const QByteArray &chunk, bool atEnd);
    // The held unfinished line, up to its last whole character (a multi-byte character
    // cut by the read is left out). It stays held: the rest of the line may still come.
    QString heldLine() const;

    // Splits at every newline character (CR LF counts once), keeping empty pieces. A text that
    // ends with a newline has no piece after it.
    static QStringList splitLines(const QString &text);
};

} // namespace nbd
