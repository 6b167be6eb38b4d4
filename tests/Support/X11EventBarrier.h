#pragma once

#include "System/X11Connection.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QTest>

#include <xcb/xcb.h>

namespace nbd::test {

// Shows that the application has dispatched every X event the server had queued for it: a
// client message sent to a window of our own goes through the server behind those events and
// comes back through Qt's own event dispatch. For checks that an X event (a key press a grab
// would have taken) did not reach the application, without waiting for a while.
class X11EventBarrier : public QAbstractNativeEventFilter
{
public:
    X11EventBarrier() : m_connection(qtX11Connection())
    {
        if (!m_connection)
            return;
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_window = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        m_type = x11Atom(m_connection, "NBD_TEST_EVENT_BARRIER");
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~X11EventBarrier() override
    {
        if (!m_connection)
            return;
        xcb_destroy_window(m_connection, m_window);
        xcb_flush(m_connection);
    }
    X11EventBarrier(const X11EventBarrier &) = delete;
    X11EventBarrier &operator=(const X11EventBarrier &) = delete;

    // False when there is no X connection or the message did not come back in time.
    bool pass(int timeoutMs = 10000)
    {
        if (!m_connection)
            return false;
        const quint32 serial = ++m_sent;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = m_window;
        message.type = m_type;
        message.data.data32[0] = serial;
        // No event mask: the server hands it to the client that made the window, that is us.
        xcb_send_event(m_connection, 0, m_window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
        xcb_flush(m_connection);
        return QTest::qWaitFor([&] { return m_received >= serial; }, timeoutMs);
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            return false;
        const auto *client = reinterpret_cast<const xcb_client_message_event_t *>(event);
        if (client->window != m_window || client->type != m_type)
            return false;
        m_received = client->data.data32[0];
        return true;
    }

private:
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_type = XCB_ATOM_NONE;
    quint32 m_sent = 0;
    quint32 m_received = 0;
};

} // namespace nbd::test
