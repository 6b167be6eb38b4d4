#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

namespace nbd {

// Tells when the desktop's system tray may have come or gone after start-up: a panel that
// restarts, a tray started after the app at login. Under X11 the tray is whoever owns the
// selection _NET_SYSTEM_TRAY_S<screen>; it announces itself with a MANAGER message to the root
// window. It leaves by giving the selection up (keeping its window or not), by destroying its
// window or by closing its connection: the X server reports each of these as a change of the
// selection's owner (XFixes), and the owner window's destruction is watched as well where the
// server lacks XFixes. Elsewhere nothing is watched.
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
    // The tray that owned the selection has left it and none has taken it since. Qt keeps
    // counting a tray whose window still exists as there, so this is asked alongside it.
    bool hasTrayLeft() const { return m_ownerSeen && m_owner == 0; }

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
    // The first event number of the XFixes extension; 0 without it.
    std::uint8_t m_xfixesEvent = 0;
    bool m_ownerSeen = false;
    bool m_announceQueued = false;
};

} // namespace nbd
