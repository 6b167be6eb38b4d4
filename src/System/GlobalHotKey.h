#pragma once

#include <QAbstractNativeEventFilter>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace nbd {

// Why the hot key could not be registered, told in this desktop's terms: the log line says it
// once, and the tray's "快速提问" stays the way in.
struct GlobalHotKeyRegistrationError
{
    enum class Reason {
        // A Wayland session lets no application take a key for the whole desktop.
        WaylandSession,
        // No X11 display at all (offscreen, a platform other than X11 or Wayland).
        NoX11Display,
        // The keyboard map has no key for the space bar.
        NoSpaceKey,
        // Another program grabbed the combination first (X11 BadAccess).
        KeyTaken,
        // The X server refused the grab for another reason (x11Error holds its code).
        ServerRefused,
    };

    Reason reason = Reason::NoX11Display;
    // The X error code of a refused grab; 0 where the request never reached the server.
    int x11Error = 0;

    QString errorDescription() const;
};

// Tells a held key's auto-repeat from a new press. With detectable auto-repeat the server sends
// presses without releases; without it, each repeat is a release and a press with the same
// timestamp. Only a new press counts.
class HotKeyRepeatFilter
{
public:
    bool press(std::uint32_t time);
    void release(std::uint32_t time);

private:
    bool m_held = false;
    bool m_released = false;
    std::uint32_t m_lastRelease = 0;
};

// The one system-wide hot key, Ctrl+Alt+Space, grabbed on the X11 root window. Its action runs
// on the main thread, once per press, whichever window has the focus. Registering again
// replaces the earlier registration; the registration is undone on destruction.
class GlobalHotKeyRegistration : public QAbstractNativeEventFilter
{
public:
    GlobalHotKeyRegistration();
    ~GlobalHotKeyRegistration() override;
    GlobalHotKeyRegistration(const GlobalHotKeyRegistration &) = delete;
    GlobalHotKeyRegistration &operator=(const GlobalHotKeyRegistration &) = delete;

    // Throws GlobalHotKeyRegistrationError; nothing stays registered after a failure.
    void registerControlOptionSpace(std::function<void()> action);
    void unregister();
    bool isRegistered() const { return !m_grabbedModifiers.empty(); }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void invoke();

    struct Connection;
    std::unique_ptr<Connection> m_connection;
    bool m_filterInstalled = false;
    std::uint8_t m_keycode = 0;
    std::vector<std::uint16_t> m_grabbedModifiers;
    std::function<void()> m_action;
    HotKeyRepeatFilter m_repeat;
    // Lets a queued invocation notice that the registration went away.
    std::shared_ptr<GlobalHotKeyRegistration *> m_self;
};

} // namespace nbd
