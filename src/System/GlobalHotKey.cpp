#include "System/GlobalHotKey.h"

#include "System/X11Connection.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr xcb_keysym_t spaceKeysym = 0x20;
constexpr xcb_keysym_t numLockKeysym = 0xff7f;
constexpr std::uint16_t hotKeyModifiers = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

// The modifier bit NumLock is mapped to (usually Mod2), or 0 when no modifier carries it.
std::uint16_t numLockMask(xcb_connection_t *connection, xcb_key_symbols_t *symbols)
{
    xcb_keycode_t *numLockCodes = xcb_key_symbols_get_keycode(symbols, numLockKeysym);
    if (!numLockCodes)
        return 0;
    std::uint16_t mask = 0;
    xcb_get_modifier_mapping_reply_t *mapping =
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
    if (mapping) {
        const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(mapping);
        const int perModifier = mapping->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8 && !mask; ++modifier) {
            for (int i = 0; i < perModifier && !mask; ++i) {
                const xcb_keycode_t code = codes[modifier * perModifier + i];
                for (xcb_keycode_t *n = numLockCodes; code && *n != XCB_NO_SYMBOL; ++n) {
                    if (*n == code) {
                        mask = std::uint16_t(1u << modifier);
                        break;
                    }
                }
            }
        }
        std::free(mapping);
    }
    std::free(numLockCodes);
    return mask;
}

} // namespace

QString GlobalHotKeyRegistrationError::errorDescription() const
{
    const QString prefix = u"全局快捷键 Ctrl+Alt+Space 不可用："_s;
    switch (reason) {
    case Reason::WaylandSession:
        return prefix + u"Wayland 会话不允许应用注册全局快捷键"_s;
    case Reason::NoX11Display:
        return prefix + u"当前会话没有 X11 显示"_s;
    case Reason::NoSpaceKey:
        return prefix + u"键盘映射中没有空格键"_s;
    case Reason::KeyTaken:
        return prefix + u"这个组合键已被其他程序占用"_s;
    case Reason::ServerRefused:
        break;
    }
    return prefix + u"X 服务器拒绝了注册（错误 "_s + QString::number(x11Error) + u"）"_s;
}

bool HotKeyRepeatFilter::press(std::uint32_t time)
{
    const bool repeat = m_held || (m_released && time == m_lastRelease);
    m_held = true;
    return !repeat;
}

void HotKeyRepeatFilter::release(std::uint32_t time)
{
    m_held = false;
    m_released = true;
    m_lastRelease = time;
}

struct GlobalHotKeyRegistration::Connection
{
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
};

GlobalHotKeyRegistration::GlobalHotKeyRegistration()
    : m_self(std::make_shared<GlobalHotKeyRegistration *>(this))
{
}

GlobalHotKeyRegistration::~GlobalHotKeyRegistration()
{
    *m_self = nullptr;
    unregister();
}

void GlobalHotKeyRegistration::registerControlOptionSpace(std::function<void()> action)
{
    unregister();
    m_action = std::move(action);

    xcb_connection_t *connection = qtX11Connection();
    if (!connection) {
        m_action = nullptr;
        const bool wayland = qGuiApp && QGuiApplication::platformName().startsWith(u"wayland"_s);
        GlobalHotKeyRegistrationError error;
        error.reason = wayland ? GlobalHotKeyRegistrationError::Reason::WaylandSession
                               : GlobalHotKeyRegistrationError::Reason::NoX11Display;
        throw error;
    }
    m_connection = std::make_unique<Connection>();
    m_connection->connection = connection;
    m_connection->root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    QCoreApplication::instance()->installNativeEventFilter(this);
    m_filterInstalled = true;

    xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(connection);
    xcb_keycode_t *spaceCodes = symbols ? xcb_key_symbols_get_keycode(symbols, spaceKeysym) : nullptr;
    const std::uint16_t numLock = symbols ? numLockMask(connection, symbols) : 0;
    m_keycode = spaceCodes ? spaceCodes[0] : 0;
    std::free(spaceCodes);
    if (symbols)
        xcb_key_symbols_free(symbols);
    if (m_keycode == 0) {
        unregister();
        GlobalHotKeyRegistrationError error;
        error.reason = GlobalHotKeyRegistrationError::Reason::NoSpaceKey;
        throw error;
    }

    // A grab matches the modifier state exactly, so Caps Lock and Num Lock each need their own.
    // Events go to the root window even while one of our own windows has the focus.
    std::vector<std::uint16_t> variants{hotKeyModifiers, std::uint16_t(hotKeyModifiers | XCB_MOD_MASK_LOCK)};
    if (numLock) {
        variants.push_back(hotKeyModifiers | numLock);
        variants.push_back(hotKeyModifiers | numLock | XCB_MOD_MASK_LOCK);
    }
    std::vector<xcb_void_cookie_t> cookies;
    for (const std::uint16_t modifiers : variants)
        cookies.push_back(xcb_grab_key_checked(connection, 0, m_connection->root, modifiers, m_keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    int failure = 0;
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        if (xcb_generic_error_t *error = xcb_request_check(connection, cookies[i])) {
            if (!failure)
                failure = error->error_code;
            std::free(error);
        } else {
            m_grabbedModifiers.push_back(variants[i]);
        }
    }
    if (failure) {
        // Another client holds the key (BadAccess): release the variants we did get.
        unregister();
        GlobalHotKeyRegistrationError error;
        error.reason = failure == XCB_ACCESS ? GlobalHotKeyRegistrationError::Reason::KeyTaken
                                             : GlobalHotKeyRegistrationError::Reason::ServerRefused;
        error.x11Error = failure;
        throw error;
    }
}

void GlobalHotKeyRegistration::unregister()
{
    if (m_connection) {
        for (const std::uint16_t modifiers : m_grabbedModifiers)
            xcb_ungrab_key(m_connection->connection, m_keycode, m_connection->root, modifiers);
        if (!m_grabbedModifiers.empty())
            xcb_flush(m_connection->connection);
    }
    m_grabbedModifiers.clear();
    if (m_filterInstalled) {
        if (QCoreApplication *app = QCoreApplication::instance())
            app->removeNativeEventFilter(this);
        m_filterInstalled = false;
    }
    m_connection.reset();
    m_action = nullptr;
    m_repeat = HotKeyRepeatFilter();
}

bool GlobalHotKeyRegistration::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (m_grabbedModifiers.empty() || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    const auto *key = static_cast<const xcb_key_press_event_t *>(message);
    if (key->detail != m_keycode || key->event != m_connection->root)
        return false;
    if (type == XCB_KEY_RELEASE) {
        m_repeat.release(key->time);
        return true;
    }
    if (m_repeat.press(key->time)) {
        // Return to the event loop first; the action runs as its own main-thread task.
        std::weak_ptr<GlobalHotKeyRegistration *> self = m_self;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                if (const auto alive = self.lock(); alive && *alive)
                    (*alive)->invoke();
            },
            Qt::QueuedConnection);
    }
    return true;
}

void GlobalHotKeyRegistration::invoke()
{
    if (m_action) {
        // The action may unregister or replace itself: run a copy.
        const std::function<void()> action = m_action;
        action();
    }
}

} // namespace nbd
