// A stand-in for "the application with a selection": owns the X11 PRIMARY selection (or, with
// --clipboard first, the CLIPBOARD) and answers requests for it in one of several ways, so the
// selection reader and the Quick Ask capture meet real owners.
//
//   primary_owner [--clipboard] MODE …
//   primary_owner answer TEXT     UTF-8 text
//   primary_owner latin1 TEXT     refuses UTF8_STRING, answers STRING
//   primary_owner refuse          answers every request with "no conversion"
//   primary_owner hang            never answers
//   primary_owner delay MS TEXT   answers after MS milliseconds
//   primary_owner incr BYTES      answers BYTES bytes of "0123456789…" in incremental chunks
//
// Except when refusing or hanging, it also lists what it offers (TARGETS), as toolkits such as
// Qt ask that first.
// Prints "ready" once it owns the selection, and "released" each time the window of a reader
// that asked for it is destroyed (that reader has finished, answered or not); runs until killed.

#include "XcbSelection.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

xcb_connection_t *connection;

xcb_atom_t atom(const char *name) { return nbd::test::internAtom(connection, name); }

void notify(const xcb_selection_request_event_t *request, xcb_atom_t property)
{
    xcb_selection_notify_event_t n{};
    n.response_type = XCB_SELECTION_NOTIFY;
    n.time = request->time;
    n.requestor = request->requestor;
    n.selection = request->selection;
    n.target = request->target;
    n.property = property;
    xcb_send_event(connection, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&n));
    xcb_flush(connection);
}

// The arguments arrive as UTF-8; a STRING selection is Latin-1 (two-byte sequences only).
std::string toLatin1(const std::string &utf8)
{
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0xc0 && i + 1 < utf8.size()) {
            out.push_back(char(((c & 0x1f) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3f)));
            ++i;
        } else {
            out.push_back(char(c));
        }
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    const bool clipboard = argc > 1 && std::strcmp(argv[1], "--clipboard") == 0;
    if (clipboard) {
        --argc;
        ++argv;
    }
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    std::string text;
    int delayMs = 0;
    if (mode == "answer")
        text = argc > 2 ? argv[2] : "";
    else if (mode == "latin1")
        text = toLatin1(argc > 2 ? argv[2] : "");
    else if (mode == "delay") {
        delayMs = argc > 2 ? std::atoi(argv[2]) : 0;
        text = argc > 3 ? argv[3] : "";
    } else if (mode == "incr") {
        const long size = argc > 2 ? std::atol(argv[2]) : 0;
        for (long i = 0; i < size; ++i)
            text.push_back(char('0' + i % 10));
    }

    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return 3;
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t utf8 = atom("UTF8_STRING");
    const xcb_atom_t incr = atom("INCR");
    const xcb_atom_t targets = atom("TARGETS");
    const xcb_atom_t selection = clipboard ? atom("CLIPBOARD") : xcb_atom_t(XCB_ATOM_PRIMARY);
    const xcb_window_t window = nbd::test::ownSelection(connection, screen, selection);
    if (window == XCB_NONE)
        return 4;
    std::printf("ready\n");
    std::fflush(stdout);

    // The incremental transfer in progress: where it writes and how far it got.
    xcb_window_t incrRequestor = XCB_NONE;
    xcb_atom_t incrProperty = XCB_NONE;
    std::size_t incrOffset = 0;
    const std::size_t chunk = 64 * 1024;
    // The readers' windows, watched for their destruction (and the incremental transfer's for
    // its property changes).
    std::set<xcb_window_t> readers;
    const std::uint32_t watched = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;

    while (xcb_generic_event_t *event = xcb_wait_for_event(connection)) {
        const int type = event->response_type & 0x7f;
        if (type == XCB_SELECTION_REQUEST) {
            const auto *request = reinterpret_cast<const xcb_selection_request_event_t *>(event);
            const xcb_atom_t wanted = mode == "latin1" ? xcb_atom_t(XCB_ATOM_STRING) : utf8;
            if (readers.insert(request->requestor).second) {
                xcb_change_window_attributes(connection, request->requestor, XCB_CW_EVENT_MASK, &watched);
                xcb_flush(connection);
            }
            if (mode == "hang") {
                // never answer
            } else if (mode != "refuse" && request->target == targets) {
                // What it offers, as toolkits ask first.
                const xcb_atom_t offered[] = {targets, wanted};
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, request->property,
                                    XCB_ATOM_ATOM, 32, 2, offered);
                notify(request, request->property);
            } else if (mode == "refuse" || request->target != wanted) {
                notify(request, XCB_NONE);
            } else if (mode == "incr") {
                incrRequestor = request->requestor;
                incrProperty = request->property;
                incrOffset = 0;
                const std::uint32_t size = std::uint32_t(text.size());
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, incrRequestor, incrProperty, incr, 32, 1, &size);
                notify(request, request->property);
            } else {
                if (delayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, request->property, wanted, 8,
                                    std::uint32_t(text.size()), text.data());
                notify(request, request->property);
            }
        } else if (type == XCB_DESTROY_NOTIFY) {
            const auto *destroyed = reinterpret_cast<const xcb_destroy_notify_event_t *>(event);
            if (readers.erase(destroyed->window) > 0) {
                std::printf("released\n");
                std::fflush(stdout);
            }
        } else if (type == XCB_PROPERTY_NOTIFY && incrRequestor != XCB_NONE) {
            const auto *change = reinterpret_cast<const xcb_property_notify_event_t *>(event);
            if (change->window == incrRequestor && change->atom == incrProperty
                && change->state == XCB_PROPERTY_DELETE) {
                // The reader took the last piece: write the next, or the empty end marker.
                const std::size_t n = std::min(chunk, text.size() - incrOffset);
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, incrRequestor, incrProperty, utf8, 8,
                                    std::uint32_t(n), text.data() + incrOffset);
                xcb_flush(connection);
                incrOffset += n;
                if (n == 0)
                    incrRequestor = XCB_NONE;
            }
        }
        std::free(event);
    }
    return 0;
}
