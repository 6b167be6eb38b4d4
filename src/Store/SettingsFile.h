#pragma once

#include <QString>
#include <QVariant>

class QSettings;

namespace nbd {

class StoreErrors;

// The application's own settings file, written through: every change goes to the disk at
// once. A change that cannot be saved (a read-only file, a folder in its place, a full disk)
// is said in the store's banner with its reason, once, and not again until a write works.
class SettingsFile
{
public:
    SettingsFile(QSettings *settings, StoreErrors *errors);

    QVariant value(const QString &key, const QVariant &fallback = {}) const;
    void setValue(const QString &key, const QVariant &value);
    void remove(const QString &key);

private:
    void written();

    QSettings *m_settings;
    StoreErrors *m_errors;
    bool m_failing = false;
};

} // namespace nbd
