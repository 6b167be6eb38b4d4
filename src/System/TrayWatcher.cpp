#include "System/TrayWatcher.h"

#include "System/X11Connection.h"

#include <xcb/xfixes.h>

#include <QCoreApplication>
#include <QTimer>

#include <string>

namespace nbd {

namespace {

// Adds events to what this connection already selects on a window (Qt selects its own there).
void addEventMask(xcb_connection_t *connection, xcb_window_t window, std::uint32_t mask)
{
    xcb_get_window_attributes_reply_t *attributes =
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr);
    if (!attributes)
        return; // the window is gone already
    const std::uint32_t value = attributes->your_event_mask | mask;
    std::free(attributes);
    xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &value);
}

} // namespace

TrayWatcher::TrayWatcher(QObject *parent)
    : QObject(parent)
{
    xcb_connection_t *connection = qtX11Connection();
    if (!connection)
        return;
    m_connection = connection;
    // The display's default screen: the number after the dot of DISPLAY (":0.1"), else 0.
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const qsizetype colon = display.lastIndexOf(':');
    int screen = dot > colon ? display.mid(dot + 1).toInt() : 0;
    if (screen < 0 || screen >= xcb_setup_roots_length(xcb_get_setup(connection)))
        screen = 0;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screen; ++i)
        xcb_screen_next(&screens);
    m_root = screens.data->root;
    m_selection = x11Atom(connection, ("_NET_SYSTEM_TRAY_S" + std::to_string(screen)).c_str());
    m_manager = x11Atom(connection, "MANAGER");
    // A tray's MANAGER announcement goes to the root window's structure listeners.
    addEventMask(connection, m_root, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (xfixes && xfixes->present) {
        // The version must be agreed before the extension's requests are used.
        std::free(xcb_xfixes_query_version_reply(
            connection, xcb_xfixes_query_version(connection, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
            nullptr));
        m_xfixesEvent = xfixes->first_event;
        xcb_xfixes_select_selection_input(connection, m_root, m_selection,
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER
                                              | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY
                                              | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    }
    watchOwner();
    xcb_flush(connection);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

TrayWatcher::~TrayWatcher()
{
    if (m_connection) {
        if (QCoreApplication *app = QCoreApplication::instance())
            app->removeNativeEventFilter(this);
    }
}

void TrayWatcher::watchOwner()
{
    auto *connection = static_cast<xcb_connection_t *>(m_connection);
    xcb_get_selection_owner_reply_t *reply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, m_selection), nullptr);
    m_owner = reply ? reply->owner : xcb_window_t(XCB_WINDOW_NONE);
    std::free(reply);
    m_ownerSeen |= m_owner != XCB_WINDOW_NONE;
    // The tray's window goes when the tray does: its destruction is the tray leaving.
    if (m_owner != XCB_WINDOW_NONE)
        addEventMask(connection, m_owner, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
}

bool TrayWatcher::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (!m_connection || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (m_xfixesEvent && type == m_xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto *notify = static_cast<const xcb_xfixes_selection_notify_event_t *>(message);
        if (notify->selection == m_selection) {
            // A new owner, or none: the tray gave up, its window went or its client closed.
            watchOwner();
            xcb_flush(static_cast<xcb_connection_t *>(m_connection));
            announce();
        }
        return false;
    }
    switch (type) {
    case XCB_CLIENT_MESSAGE: {
        const auto *client = static_cast<const xcb_client_message_event_t *>(message);
        if (client->window == m_root && client->type == m_manager && client->format == 32
            && client->data.data32[1] == m_selection) {
            watchOwner();
            xcb_flush(static_cast<xcb_connection_t *>(m_connection));
            announce();
        }
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto *destroyed = static_cast<const xcb_destroy_notify_event_t *>(message);
        if (m_owner != XCB_WINDOW_NONE && destroyed->window == m_owner) {
            m_owner = XCB_WINDOW_NONE;
            announce();
        }
        break;
    }
    default:
        break;
    }
    return false; // Qt's own tray tracking needs the same events
}

void TrayWatcher::announce()
{
    if (m_announceQueued)
        return;
    m_announceQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_announceQueued = false;
        Q_EMIT trayMayHaveChanged();
    });
}

} // namespace nbd
