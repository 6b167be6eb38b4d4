#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUrl>

// Paths as the system names files: bytes, which need not be UTF-8. A file URL keeps such bytes
// percent-encoded, so a URL built here opens the very file it was listed for; the URL's
// QString forms (toLocalFile(), path()) replace them with U+FFFD and are for showing only.
namespace nbd::NativePath {

// The path of a file URL (or of a URL without a scheme) as bytes.
QByteArray fromURL(const QUrl &url);
// The file URL of a path given as bytes.
QUrl toURL(QByteArrayView path);
// Without "." segments, ".." segments resolved and repeated or trailing slashes, as
// QDir::cleanPath does for text.
QByteArray cleaned(QByteArrayView path);
// The last segment of a path ("/" for the root).
QByteArray fileName(QByteArrayView path);
// The folder holding a path ("/" for the root and its direct entries, "." for a bare name).
QByteArray parent(QByteArrayView path);
// Bytes as shown to the user: UTF-8, every ill-formed sequence as U+FFFD.
QString shown(QByteArrayView path);

} // namespace nbd::NativePath
