#pragma once

#include <QAbstractNativeEventFilter>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace nbd {

// Why the hot key could not be registered: the step that failed and the X error code (or one
// of the negative codes below when the step never reached the server).
struct GlobalHotKeyRegistrationError
{
    QString operation;
    qint32 status = 0;

    QString errorDescription() const;

    // The application does not run on an X11 display (offscreen, Wayland).
    static constexpr qint32 noX11Connection = -1;
    // The keyboard map has no key for the space bar.
    static constexpr qint32 noSpaceKey = -2;
};

inline constexpr auto installHandlerOperation = u"安装全局快捷键处理器";
inline constexpr auto registerHotKeyOperation = u"注册 ⌃⌥Space";

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
