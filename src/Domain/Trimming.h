#pragma once

#include <QString>
#include <QStringView>

// Explicit trimming rules. QString::trimmed() decides for itself what counts as blank
// (it strips \r and U+3000 too); each rule here names the characters it removes.
namespace nbd::text {

// Blanks and line breaks: the space separators (U+0020, U+00A0, U+2000–U+200A, U+3000, …),
// U+2028, U+2029, tab, U+000A–U+000D and U+0085.
bool isWhitespaceOrNewline(QChar c) noexcept;
QStringView trimWhitespaceAndNewlines(QStringView text) noexcept;

// Only the characters listed in `set` (each one UTF-16 unit).
QStringView trimCharacters(QStringView text, QStringView set) noexcept;

} // namespace nbd::text
