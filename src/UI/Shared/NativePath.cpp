#include "UI/Shared/NativePath.h"

#include <QDir>

namespace nbd::NativePath {

QByteArray fromURL(const QUrl &url)
{
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

QUrl toURL(QByteArrayView path)
{
    const QByteArray encoded = path.toByteArray().toPercentEncoding("/");
    return QUrl::fromEncoded((path.startsWith('/') ? QByteArrayLiteral("file://") : QByteArrayLiteral("file:")) + encoded,
                             QUrl::StrictMode);
}

QByteArray cleaned(QByteArrayView path)
{
    // Latin-1 maps each byte to one character and back: cleaning only looks at '/' and '.'.
    return QDir::cleanPath(QString::fromLatin1(path)).toLatin1();
}

QByteArray fileName(QByteArrayView path)
{
    const QByteArray clean = cleaned(path);
    if (clean == "/")
        return clean;
    return clean.mid(clean.lastIndexOf('/') + 1);
}

QByteArray parent(QByteArrayView path)
{
    const QByteArray clean = cleaned(path);
    const qsizetype slash = clean.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : clean.left(slash);
}

QString shown(QByteArrayView path) { return QString::fromUtf8(path); }

} // namespace nbd::NativePath
