// The global hot key on a real (virtual) X server: presses sent by xdotool reach the grab from
// whichever window has the focus, one action per press, also with Caps Lock or Num Lock on; a key
// another client holds is a registration failure that leaves nothing grabbed.

#include "GuiTestMain.h"
#include "System/GlobalHotKey.h"
#include "X11EventBarrier.h"
#include "Xdotool.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>
#include <QtTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

using namespace nbd;
using nbd::test::xdotool;
using namespace Qt::StringLiterals;

namespace {

constexpr xcb_keycode_t kSpaceKeycode = 65; // the space bar on the virtual server's keymap

// Another X client: grabs keys of its own on the root window.
class OtherClient
{
public:
    OtherClient()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
    ~OtherClient() { xcb_disconnect(m_connection); }

    xcb_keycode_t spaceKeycode() const { return kSpaceKeycode; }

    // The X error code of the grab, 0 when it succeeded.
    int grab(std::uint16_t modifiers)
    {
        xcb_generic_error_t *error = xcb_request_check(
            m_connection, xcb_grab_key_checked(m_connection, 1, m_root, modifiers, spaceKeycode(),
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        const int code = error ? error->error_code : 0;
        std::free(error);
        return code;
    }
    void ungrab(std::uint16_t modifiers)
    {
        xcb_ungrab_key(m_connection, spaceKeycode(), m_root, modifiers);
        xcb_aux_sync();
    }

private:
    void xcb_aux_sync() { std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr)); }

    xcb_connection_t *m_connection;
    xcb_window_t m_root;
};

constexpr std::uint16_t ctrlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

// Counts every press of the space bar that reaches this client, auto-repeats included. Filters
// installed later see events first, so it counts before the hot key's own filter takes them.
class SpacePressCounter : public QAbstractNativeEventFilter
{
public:
    int presses = 0;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) == XCB_KEY_PRESS
            && reinterpret_cast<const xcb_key_press_event_t *>(event)->detail == kSpaceKeycode)
            ++presses;
        return false;
    }
};

} // namespace

class tst_GlobalHotKey : public QObject
{
    Q_OBJECT

    int m_count = 0;
    bool m_offMainThread = false;
    std::unique_ptr<test::X11EventBarrier> m_barrier;

    std::function<void()> counter()
    {
        return [this] {
            ++m_count;
            if (QThread::currentThread() != qApp->thread())
                m_offMainThread = true;
        };
    }

    // Every press sent so far has been seen: xdotool returns after the server took it, so the
    // events it made for us are queued ahead of the barrier's.
    void settle() { QVERIFY(m_barrier->pass()); }

private Q_SLOTS:
    void initTestCase()
    {
        auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        QVERIFY2(x11 && x11->connection(), "runs on an X server");
        // Our window in front: the grab still wins over the focused window's own key handling.
        auto *window = new QWidget;
        window->setObjectName(u"front"_s);
        window->resize(200, 100);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        m_barrier = std::make_unique<test::X11EventBarrier>();
    }

    void init()
    {
        m_count = 0;
        m_offMainThread = false;
    }

    void eachPressRunsTheActionOnceOnTheMainThread()
    {
        GlobalHotKeyRegistration registration;
        registration.registerControlOptionSpace(counter());
        QVERIFY(registration.isRegistered());
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        QTRY_COMPARE(m_count, 1);
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        QTRY_COMPARE(m_count, 2);
        // Other combinations are not ours.
        QVERIFY(xdotool({u"key"_s, u"ctrl+space"_s}));
        QVERIFY(xdotool({u"key"_s, u"alt+space"_s}));
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+shift+space"_s}));
        settle();
        QCOMPARE(m_count, 2);
        QVERIFY(!m_offMainThread);
    }

    void lockKeysDoNotHideThePress_data()
    {
        QTest::addColumn<QString>("lockKey");
        QTest::newRow("caps lock") << u"Caps_Lock"_s;
        QTest::newRow("num lock") << u"Num_Lock"_s;
    }

    void lockKeysDoNotHideThePress()
    {
        QFETCH(QString, lockKey);
        GlobalHotKeyRegistration registration;
        registration.registerControlOptionSpace(counter());
        QVERIFY(xdotool({u"key"_s, lockKey}));
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        QVERIFY(xdotool({u"key"_s, lockKey}));
        QTRY_COMPARE(m_count, 1);
        settle();
        QCOMPARE(m_count, 1);
    }

    void holdingTheKeyIsOnePress()
    {
        GlobalHotKeyRegistration registration;
        registration.registerControlOptionSpace(counter());
        SpacePressCounter seen;
        qApp->installNativeEventFilter(&seen);
        QVERIFY(xdotool({u"keydown"_s, u"ctrl+alt+space"_s}));
        // A failed wait must not leave the key down for the tests after this one.
        auto release = qScopeGuard([] { xdotool({u"keyup"_s, u"ctrl+alt+space"_s}); });
        // Held until the server's auto-repeat has sent presses of its own.
        QTRY_VERIFY_WITH_TIMEOUT(seen.presses >= 3, 10000);
        release.dismiss();
        QVERIFY(xdotool({u"keyup"_s, u"ctrl+alt+space"_s}));
        QTRY_COMPARE(m_count, 1);
        settle();
        QCOMPARE(m_count, 1);
    }

    void registeringAgainReplacesTheAction()
    {
        GlobalHotKeyRegistration registration;
        int first = 0;
        registration.registerControlOptionSpace([&first] { ++first; });
        registration.registerControlOptionSpace(counter());
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        QTRY_COMPARE(m_count, 1);
        settle();
        QCOMPARE(m_count, 1);
        QCOMPARE(first, 0);
    }

    void unregisterReleasesTheKey()
    {
        GlobalHotKeyRegistration registration;
        registration.registerControlOptionSpace(counter());
        registration.unregister();
        QVERIFY(!registration.isRegistered());
        registration.unregister(); // twice: nothing happens
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        settle();
        QCOMPARE(m_count, 0);
        // The key is free again for everyone, with and without Caps Lock.
        OtherClient other;
        QCOMPARE(other.grab(ctrlAlt), 0);
        QCOMPARE(other.grab(ctrlAlt | XCB_MOD_MASK_LOCK), 0);
        other.ungrab(ctrlAlt);
        other.ungrab(ctrlAlt | XCB_MOD_MASK_LOCK);
    }

    void destroyingTheRegistrationReleasesTheKey()
    {
        {
            GlobalHotKeyRegistration registration;
            registration.registerControlOptionSpace(counter());
        }
        OtherClient other;
        QCOMPARE(other.grab(ctrlAlt), 0);
        other.ungrab(ctrlAlt);
    }

    void aKeyHeldByAnotherClientFails()
    {
        OtherClient other;
        // The other client holds only the plain combination: our Caps Lock variant would
        // succeed and must be given back.
        QCOMPARE(other.grab(ctrlAlt), 0);
        GlobalHotKeyRegistration registration;
        bool thrown = false;
        try {
            registration.registerControlOptionSpace(counter());
        } catch (const GlobalHotKeyRegistrationError &error) {
            thrown = true;
            QCOMPARE(error.reason, GlobalHotKeyRegistrationError::Reason::KeyTaken);
            QCOMPARE(error.x11Error, 10); // BadAccess
            QCOMPARE(error.errorDescription(), u"全局快捷键 Ctrl+Alt+Space 不可用：这个组合键已被其他程序占用"_s);
        }
        QVERIFY(thrown);
        QVERIFY(!registration.isRegistered());
        QCOMPARE(other.grab(ctrlAlt | XCB_MOD_MASK_LOCK), 0);
        // Presses go to the other client; our dropped action never runs.
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        settle();
        QCOMPARE(m_count, 0);
        other.ungrab(ctrlAlt);
        other.ungrab(ctrlAlt | XCB_MOD_MASK_LOCK);

        // Once the key is free, registering works again.
        registration.registerControlOptionSpace(counter());
        QVERIFY(xdotool({u"key"_s, u"ctrl+alt+space"_s}));
        QTRY_COMPARE(m_count, 1);
    }

    void repeatFilter()
    {
        HotKeyRepeatFilter filter;
        QVERIFY(filter.press(100));
        // Detectable auto-repeat: presses without releases.
        QVERIFY(!filter.press(130));
        QVERIFY(!filter.press(160));
        filter.release(170);
        // Classic auto-repeat: a release and a press with the same time stamp.
        QVERIFY(filter.press(300));
        filter.release(330);
        QVERIFY(!filter.press(330));
        filter.release(360);
        QVERIFY(filter.press(361));
    }
};

NBD_GUI_TEST_MAIN(tst_GlobalHotKey)
#include "tst_globalhotkey.moc"
