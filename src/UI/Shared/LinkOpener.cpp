#include "UI/Shared/LinkOpener.h"

#include <QDesktopServices>
#include <QHash>
#include <QObject>
#include <QWidget>

namespace nbd::LinkOpener {

namespace {

QHash<const QWidget *, Handler> &handlers()
{
    static QHash<const QWidget *, Handler> table;
    return table;
}

} // namespace

void install(QWidget *owner, Handler handler)
{
    if (!owner)
        return;
    const bool known = handlers().contains(owner);
    handlers().insert(owner, std::move(handler));
    if (!known)
        QObject::connect(owner, &QObject::destroyed, [owner] { handlers().remove(owner); });
}

void open(QWidget *source, const QUrl &url)
{
    for (const QWidget *w = source; w; w = w->parentWidget()) {
        const auto it = handlers().constFind(w);
        if (it == handlers().constEnd())
            continue;
        // Copy first: the handler may install or remove handlers.
        const Handler handler = it.value();
        if (handler && handler(url))
            return;
        break;
    }
    QDesktopServices::openUrl(url);
}

} // namespace nbd::LinkOpener
