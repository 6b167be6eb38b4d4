#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

namespace nbd {

// Tells when the desktop's system tray may have come or gone after start-up: a panel that
// restarts, a tray started after the app at login. Under X11 the tray is whoever owns the
// selection _NET_SYSTEM_TRAY_S<screen>; it announces itself with a MANAGER message to the root
// window and leaves by destroying its window. Elsewhere nothing is watched.
//
// The signal comes from the event loop after the event, so the platform has taken the change
// in as well by the time a slot asks QSystemTrayIcon::isSystemTrayAvailable().
class TrayWatcher : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    explicit TrayWatcher(QObject *parent = nullptr);
    ~TrayWatcher() override;

    // False where there is no X11 display to watch.
    bool isWatching() const { return m_connection != nullptr; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

Q_SIGNALS:
    void trayMayHaveChanged();

private:
    void watchOwner();
    void announce();

    void *m_connection = nullptr; // xcb_connection_t, Qt's own
    std::uint32_t m_root = 0;
    std::uint32_t m_selection = 0;
    std::uint32_t m_manager = 0;
    std::uint32_t m_owner = 0;
    bool m_announceQueued = false;
};

} // namespace nbd
