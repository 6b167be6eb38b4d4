#pragma once

#include <QObject>
#include <QString>

namespace nbd {

// The process's in-app notifications: a name posted by a menu command reaches every receiver
// that is alive at that moment (none: nothing happens).
class NotificationCenter : public QObject
{
    Q_OBJECT
public:
    static NotificationCenter *defaultCenter();
    void post(const QString &name) { Q_EMIT posted(name); }

Q_SIGNALS:
    void posted(const QString &name);
};

} // namespace nbd
