#pragma once

// What the helper processes that own an X11 selection share.

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace nbd::test {

inline xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return a;
}

// A 1 × 1 input-only window of `screen` made the owner of `selection`; XCB_NONE when the
// server says another client owns it.
inline xcb_window_t ownSelection(xcb_connection_t *connection, const xcb_screen_t *screen, xcb_atom_t selection)
{
    const xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(connection, window, selection, XCB_CURRENT_TIME);
    xcb_get_selection_owner_reply_t *owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owns = owner && owner->owner == window;
    std::free(owner);
    return owns ? window : xcb_window_t(XCB_NONE);
}

} // namespace nbd::test
