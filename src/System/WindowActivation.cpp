#include "System/WindowActivation.h"

#include "System/X11Connection.h"

#include <QWindow>

#include <cstring>

using namespace Qt::Literals::StringLiterals;

namespace nbd::windowactivation {

namespace {

// Startup-notification messages travel in 20-byte pieces: the first as
// _NET_STARTUP_INFO_BEGIN, the rest as _NET_STARTUP_INFO, the text closed by a zero byte.
void sendStartupMessage(xcb_connection_t *connection, xcb_window_t root, xcb_window_t window,
                        const QByteArray &message)
{
    const xcb_atom_t begin = x11Atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = x11Atom(connection, "_NET_STARTUP_INFO");
    if (begin == XCB_ATOM_NONE || more == XCB_ATOM_NONE)
        return;
    const QByteArray text = message + '\0';
    for (qsizetype offset = 0; offset < text.size(); offset += 20) {
        xcb_client_message_event_t event;
        std::memset(&event, 0, sizeof event);
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = window;
        event.type = offset == 0 ? begin : more;
        std::memcpy(event.data.data8, text.constData() + offset, std::size_t(std::min<qsizetype>(20, text.size() - offset)));
        xcb_send_event(connection, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char *>(&event));
    }
}

} // namespace

std::optional<quint32> startupIdTimestamp(const QString &startupId)
{
    const qsizetype at = startupId.lastIndexOf(u"_TIME"_s);
    if (at < 0)
        return std::nullopt;
    bool ok = false;
    const quint32 time = startupId.mid(at + 5).toUInt(&ok);
    if (!ok || time == 0)
        return std::nullopt;
    return time;
}

QByteArray startupRemoveMessage(const QString &startupId)
{
    // Values with blanks, quotes or backslashes are quoted, with those escaped.
    QByteArray id = startupId.toLatin1();
    if (id.contains(' ') || id.contains('"') || id.contains('\\')) {
        id.replace('\\', "\\\\").replace('"', "\\\"");
        id = '"' + id + '"';
    }
    return "remove: ID=" + id;
}

void prepare(const ActivationToken &token)
{
    if (!token.activationToken.isEmpty() && QGuiApplication::platformName().startsWith(u"wayland"_s))
        qputenv("XDG_ACTIVATION_TOKEN", token.activationToken.toLatin1());
}

void complete(QWindow *window, const ActivationToken &token)
{
    if (!window || token.startupId.isEmpty())
        return;
    xcb_connection_t *connection = qtX11Connection();
    if (!connection)
        return;
    const xcb_window_t id = xcb_window_t(window->winId());
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const QByteArray startupId = token.startupId.toLatin1();

    const xcb_atom_t startupIdAtom = x11Atom(connection, "_NET_STARTUP_ID");
    const xcb_atom_t utf8 = x11Atom(connection, "UTF8_STRING");
    if (startupIdAtom != XCB_ATOM_NONE && utf8 != XCB_ATOM_NONE)
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, startupIdAtom, utf8, 8,
                            std::uint32_t(startupId.size()), startupId.constData());

    // Qt asked with the time of the last event it saw, which is older than the click that
    // started the launch: a window manager that prevents focus stealing would refuse it.
    if (const std::optional<quint32> time = startupIdTimestamp(token.startupId)) {
        const xcb_atom_t activeWindow = x11Atom(connection, "_NET_ACTIVE_WINDOW");
        if (activeWindow != XCB_ATOM_NONE) {
            xcb_client_message_event_t event;
            std::memset(&event, 0, sizeof event);
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = id;
            event.type = activeWindow;
            event.data.data32[0] = 1; // the request comes from an application
            event.data.data32[1] = *time;
            event.data.data32[2] = XCB_WINDOW_NONE;
            xcb_send_event(connection, 0, root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char *>(&event));
        }
    }
    sendStartupMessage(connection, root, id, startupRemoveMessage(token.startupId));
    xcb_flush(connection);
}

} // namespace nbd::windowactivation
