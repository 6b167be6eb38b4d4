#include "UI/Tools/FileManagerReveal.h"

#include "UI/Shared/NativePath.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// By the item's own bytes: its name need not be UTF-8.
void openContainingFolder(const QUrl &item)
{
    const QByteArray path = NativePath::cleaned(NativePath::fromURL(item));
    struct stat status;
    const bool isFolder = ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    QDesktopServices::openUrl(NativePath::toURL(isFolder ? path : NativePath::parent(path)));
}

} // namespace

void revealInFileManager(const QUrl &item)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(item);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.FileManager1"_s, u"/org/freedesktop/FileManager1"_s,
                                                       u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    call << QStringList{item.toString(QUrl::FullyEncoded)} << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [item](QDBusPendingCallWatcher *w) {
        if (w->isError())
            openContainingFolder(item);
        w->deleteLater();
    });
}

} // namespace nbd
