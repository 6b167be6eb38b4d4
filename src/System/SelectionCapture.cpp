#include "System/SelectionCapture.h"

#include "Domain/ProtocolNames.h"

#include <xcb/xcb.h>

#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace nbd::SelectionCapture {

namespace {

using Clock = std::chrono::steady_clock;

struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};
template<class T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

class Reader
{
public:
    Reader(const QByteArray &display, Selection selection, Clock::time_point deadline)
        : m_which(selection)
        , m_deadline(deadline)
    {
        m_connection = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &m_screen);
    }
    ~Reader()
    {
        if (m_window)
            xcb_destroy_window(m_connection, m_window);
        xcb_disconnect(m_connection);
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    QuickAskSelectionReadResult read()
    {
        if (xcb_connection_has_error(m_connection))
            return QuickAskSelectionReadResult::value(std::nullopt);
        // PRIMARY is predefined; CLIPBOARD is only a name the clients agree on.
        m_selection = m_which == Selection::primary ? xcb_atom_t(XCB_ATOM_PRIMARY) : atom("CLIPBOARD");
        if (!m_selection)
            return QuickAskSelectionReadResult::failed();
        XcbPtr<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
            m_connection, xcb_get_selection_owner(m_connection, m_selection), nullptr));
        if (!owner)
            return QuickAskSelectionReadResult::failed();
        if (owner->owner == XCB_NONE)
            return QuickAskSelectionReadResult::value(std::nullopt);

        const xcb_atom_t utf8 = atom("UTF8_STRING");
        m_incr = atom("INCR");
        const QByteArray propertyName = names::selectionCaptureProperty.toLatin1();
        m_property = atom(propertyName.constData());
        if (!utf8 || !m_incr || !m_property)
            return QuickAskSelectionReadResult::failed();

        xcb_screen_t *screen = screenAt(m_screen);
        if (!screen)
            return QuickAskSelectionReadResult::failed();
        m_window = xcb_generate_id(m_connection);
        const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);

        // Old owners only know STRING (Latin-1).
        if (std::optional<QuickAskSelectionReadResult> result = convert(utf8, true))
            return *result;
        if (std::optional<QuickAskSelectionReadResult> result = convert(XCB_ATOM_STRING, false))
            return *result;
        return QuickAskSelectionReadResult::failed();
    }

private:
    // Nothing when the owner refused this target.
    std::optional<QuickAskSelectionReadResult> convert(xcb_atom_t target, bool isUtf8)
    {
        xcb_convert_selection(m_connection, m_window, m_selection, target, m_property, XCB_CURRENT_TIME);
        xcb_flush(m_connection);
        XcbPtr<xcb_generic_event_t> notify = waitFor([this](const xcb_generic_event_t *event) {
            if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY)
                return false;
            const auto *n = reinterpret_cast<const xcb_selection_notify_event_t *>(event);
            return n->requestor == m_window && n->selection == m_selection;
        });
        if (!notify)
            return QuickAskSelectionReadResult::failed();
        const auto *n = reinterpret_cast<const xcb_selection_notify_event_t *>(notify.get());
        if (n->property == XCB_NONE)
            return std::nullopt;

        QByteArray bytes;
        XcbPtr<xcb_get_property_reply_t> first = takeProperty();
        if (!first)
            return QuickAskSelectionReadResult::failed();
        if (first->type == m_incr) {
            // Large selections come in chunks: each one announced by a new value of the property,
            // an empty chunk ends the transfer.
            for (;;) {
                XcbPtr<xcb_generic_event_t> changed = waitFor([this](const xcb_generic_event_t *event) {
                    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
                        return false;
                    const auto *p = reinterpret_cast<const xcb_property_notify_event_t *>(event);
                    return p->window == m_window && p->atom == m_property && p->state == XCB_PROPERTY_NEW_VALUE;
                });
                if (!changed)
                    return QuickAskSelectionReadResult::failed();
                XcbPtr<xcb_get_property_reply_t> chunk = takeProperty();
                if (!chunk)
                    return QuickAskSelectionReadResult::failed();
                const int length = xcb_get_property_value_length(chunk.get());
                if (length == 0)
                    break;
                if (bytes.size() < maximumBytes)
                    bytes.append(static_cast<const char *>(xcb_get_property_value(chunk.get())),
                                 qMin<qsizetype>(length, maximumBytes - bytes.size()));
            }
        } else {
            if (first->format != 8)
                return QuickAskSelectionReadResult::failed();
            bytes = QByteArray(static_cast<const char *>(xcb_get_property_value(first.get())),
                               xcb_get_property_value_length(first.get()));
        }
        const QString text = isUtf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
        return QuickAskSelectionReadResult::value(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
    }

    // Reads and deletes the property (deleting it asks an incremental owner for the next chunk).
    XcbPtr<xcb_get_property_reply_t> takeProperty()
    {
        const std::uint32_t words = std::uint32_t(maximumBytes / 4);
        XcbPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 1, m_window, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0, words),
            nullptr));
        xcb_flush(m_connection);
        return reply;
    }

    xcb_atom_t atom(const char *name)
    {
        XcbPtr<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, std::uint16_t(std::strlen(name)), name), nullptr));
        return reply ? reply->atom : XCB_NONE;
    }

    xcb_screen_t *screenAt(int index)
    {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
        for (int i = 0; it.rem; ++i, xcb_screen_next(&it)) {
            if (i == index)
                return it.data;
        }
        return nullptr;
    }

    // The first event the predicate accepts, or nothing at the deadline or on a broken connection.
    XcbPtr<xcb_generic_event_t> waitFor(const std::function<bool(const xcb_generic_event_t *)> &accept)
    {
        for (;;) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
                XcbPtr<xcb_generic_event_t> owned(event);
                if (accept(event))
                    return owned;
            }
            if (xcb_connection_has_error(m_connection))
                return nullptr;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
            if (left.count() <= 0)
                return nullptr;
            pollfd fd{xcb_get_file_descriptor(m_connection), POLLIN, 0};
            ::poll(&fd, 1, int(left.count()) + 1);
        }
    }

    xcb_connection_t *m_connection = nullptr;
    int m_screen = 0;
    Selection m_which;
    xcb_atom_t m_selection = XCB_NONE;
    Clock::time_point m_deadline;
    xcb_window_t m_window = 0;
    xcb_atom_t m_incr = XCB_NONE;
    xcb_atom_t m_property = XCB_NONE;
};

} // namespace

QuickAskSelectionReadResult selectionText(Selection selection, std::chrono::milliseconds limit,
                                          const QByteArray &display)
{
    if (display.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY"))
        return QuickAskSelectionReadResult::value(std::nullopt);
    Reader reader(display, selection, Clock::now() + limit);
    return reader.read();
}

QuickAskSelectionReadResult selectedText(std::chrono::milliseconds limit, const QByteArray &display)
{
    return selectionText(Selection::primary, limit, display);
}

} // namespace nbd::SelectionCapture
