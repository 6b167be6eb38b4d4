// A stand-in for a desktop panel's system tray: owns the X11 selection _NET_SYSTEM_TRAY_S0 with
// a window of its own and announces itself with the MANAGER message on the root window, as a
// tray does when it starts. Prints "ready" once it owns the selection. When its standard input
// closes (or on SIGTERM) it destroys its window and exits, as a panel that goes away does.
// A line "leave" on its standard input makes it go the way its argument names and print "left":
// "destroy" its window and exit, "close" its connection without destroying anything and exit,
// or "release" the selection and keep its window until its input closes.
// Dock requests are accepted and ignored: nothing is drawn.

#include "XcbSelection.h"

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onTerminate(int) { stopRequested = 1; }

} // namespace

using namespace nbd::test;

int main(int argc, char **argv)
{
    std::signal(SIGTERM, onTerminate);
    const char *way = argc > 1 ? argv[1] : "destroy";
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return 2;
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t selection = internAtom(connection, "_NET_SYSTEM_TRAY_S0");
    const xcb_window_t window = ownSelection(connection, screen, selection);
    if (window == XCB_NONE)
        return 3;

    xcb_client_message_event_t manager{};
    manager.response_type = XCB_CLIENT_MESSAGE;
    manager.format = 32;
    manager.window = screen->root;
    manager.type = internAtom(connection, "MANAGER");
    manager.data.data32[0] = XCB_CURRENT_TIME;
    manager.data.data32[1] = selection;
    manager.data.data32[2] = window;
    xcb_send_event(connection, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&manager));
    xcb_flush(connection);
    std::printf("ready\n");
    std::fflush(stdout);

    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(connection), POLLIN, 0}};
    bool released = false;
    while (!stopRequested) {
        if (poll(fds, 2, -1) < 0) // SIGTERM interrupts the wait
            continue;
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buffer[64];
            const ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
            if (length <= 0)
                break;
            if (!released && memmem(buffer, std::size_t(length), "leave", 5)) {
                if (std::strcmp(way, "release") == 0) {
                    xcb_set_selection_owner(connection, XCB_NONE, selection, XCB_CURRENT_TIME);
                    xcb_flush(connection);
                    released = true;
                    std::printf("left\n");
                    std::fflush(stdout);
                    continue;
                }
                if (std::strcmp(way, "close") == 0) {
                    xcb_disconnect(connection);
                    std::printf("left\n");
                    return 0;
                }
                break;
            }
        }
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
            std::free(event);
        if (xcb_connection_has_error(connection))
            return 4;
    }
    xcb_destroy_window(connection, window);
    xcb_flush(connection);
    xcb_disconnect(connection);
    std::printf("left\n");
    return 0;
}
