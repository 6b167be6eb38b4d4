#pragma once

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace nbd {

// Qt's own connection to the X server, or null where the application does not run on X11.
// Offscreen still offers the X11 interface, with a null connection: both are checked.
inline xcb_connection_t *qtX11Connection()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The atom of a name, interned on the server (XCB_ATOM_NONE when the server does not answer).
inline xcb_atom_t x11Atom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

} // namespace nbd
