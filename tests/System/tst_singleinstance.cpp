// One client per session, with two real processes: this test is the running instance (the
// application's own entry and main window), and the real executable ($NBD_APP_EXE) is launched
// as the second one, on the test's private session bus and virtual X server. The second launch
// must hand its startup or activation token over, bring the hidden window back and exit 0; the
// window must carry the startup id, be activated with the launch's time, and end the launch's
// startup sequence. Without a session bus a local socket in XDG_RUNTIME_DIR serves instead.
// An instance that holds the name but does not answer (frozen, or not ours) costs the second
// launch a bounded wait, and that launch says so in a dialog on screen before it exits 1.

#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "Xdotool.h"
#include "App/AppDelegate.h"
#include "App/MainWindow.h"
#include "App/NativeApp.h"
#include "App/UnresponsiveInstanceDialog.h"
#include "System/SingleInstance.h"
#include "System/WindowActivation.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

// Another X client watching the root window: the startup-notification messages and the
// activation requests sent there, and properties of our windows.
class RootListener
{
public:
    struct Activation
    {
        quint32 window = 0;
        quint32 source = 0;
        quint32 time = 0;
    };

    RootListener()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        m_begin = atom("_NET_STARTUP_INFO_BEGIN");
        m_more = atom("_NET_STARTUP_INFO");
        m_active = atom("_NET_ACTIVE_WINDOW");
        xcb_flush(m_connection);
    }
    ~RootListener() { xcb_disconnect(m_connection); }

    QStringList startupMessages()
    {
        drain();
        return m_messages;
    }
    QList<Activation> activations()
    {
        drain();
        return m_activations;
    }
    QByteArray property(quint32 window, const char *name)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, window, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
            nullptr);
        QByteArray value;
        if (reply)
            value = QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply));
        std::free(reply);
        return value;
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return a;
    }

    void drain()
    {
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto *message = reinterpret_cast<const xcb_client_message_event_t *>(event);
                if (message->type == m_begin || message->type == m_more) {
                    if (message->type == m_begin)
                        m_partial.clear();
                    const char *data = reinterpret_cast<const char *>(message->data.data8);
                    const qsizetype length = qsizetype(strnlen(data, 20));
                    m_partial += QByteArray(data, length);
                    if (length < 20)
                        m_messages << QString::fromLatin1(m_partial);
                } else if (message->type == m_active) {
                    m_activations << Activation{message->window, message->data.data32[0], message->data.data32[1]};
                }
            }
            std::free(event);
        }
    }

    xcb_connection_t *m_connection;
    xcb_window_t m_root = 0;
    xcb_atom_t m_begin = 0;
    xcb_atom_t m_more = 0;
    xcb_atom_t m_active = 0;
    QByteArray m_partial;
    QStringList m_messages;
    QList<Activation> m_activations;
};

// The real executable launched once more with the given environment; it must end on its own,
// or once the dialog it shows is dismissed with Escape as a user would.
struct SecondLaunch
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray errors;
    // The titles of the windows it showed.
    QStringList shownWindows;
};

// The windows a process has on screen, by the X server's account.
QStringList windowsShownBy(qint64 pid)
{
    QProcess search;
    search.start(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid)});
    search.waitForFinished(10000);
    return QString::fromLatin1(search.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

QString windowTitle(const QString &window)
{
    QProcess name;
    name.start(u"xdotool"_s, {u"getwindowname"_s, window});
    name.waitForFinished(10000);
    return QString::fromUtf8(name.readAllStandardOutput()).trimmed();
}

void launchSecond(const QList<QPair<QString, QString>> &environment, SecondLaunch &result)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"DESKTOP_STARTUP_ID"_s);
    env.remove(u"XDG_ACTIVATION_TOKEN"_s);
    for (const auto &[name, value] : environment)
        env.insert(name, value);
    process.setProcessEnvironment(env);
    process.start(qEnvironmentVariable("NBD_APP_EXE"), QStringList());
    QVERIFY(process.waitForStarted(10000));
    const qint64 pid = process.processId();
    // The second launch waits for this process's answer: keep the event loop running. A window
    // it shows is read and answered with Escape (again, until it goes).
    const auto endedOrAnswered = [&] {
        if (process.state() == QProcess::NotRunning)
            return true;
        for (const QString &window : windowsShownBy(pid)) {
            const QString title = windowTitle(window);
            if (!result.shownWindows.contains(title))
                result.shownWindows << title;
            test::xdotool({u"windowfocus"_s, window});
            test::xdotool({u"key"_s, u"Escape"_s});
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(endedOrAnswered(), 30000);
    result.exitCode = process.exitCode();
    result.status = process.exitStatus();
    result.errors = process.readAllStandardError();
}

// The real executable as the first instance, frozen once it holds the name, as a process that
// hangs is; it goes on and quits when the test ends.
class FrozenInstance
{
public:
    // environment: as launchSecond() takes it; without a bus the instance meets the next one on
    // the socket in runtimeDirectory. The caller checks QTest::currentTestFailed() afterwards.
    void startAndFreeze(const QList<QPair<QString, QString>> &environment, const QString &runtimeDirectory)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : environment)
            env.insert(name, value);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(qEnvironmentVariable("NBD_APP_EXE"), QStringList());
        QVERIFY(m_process.waitForStarted(10000));
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        const auto serves = [&] {
            if (!runtimeDirectory.isEmpty())
                return QFile::exists(QDir(runtimeDirectory).filePath(SingleInstance::serviceName()));
            return bus->serviceOwner(SingleInstance::serviceName()).value()
                       != QDBusConnection::sessionBus().baseService()
                && bus->isServiceRegistered(SingleInstance::serviceName()).value();
        };
        QTRY_VERIFY_WITH_TIMEOUT(serves(), 20000);
        QCOMPARE(::kill(pid_t(m_process.processId()), SIGSTOP), 0);
    }
    ~FrozenInstance()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGCONT);
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
};

// The running instance: the application's entry with its main window, serving launches.
struct RunningApp
{
    explicit RunningApp(QDBusConnection bus, const QString &runtimeDirectory)
        : instance(std::move(bus), runtimeDirectory)
    {
        outcome = instance.claimOrHandOver(ActivationToken());
        entry.showScenes();
        QObject::connect(&instance, &SingleInstance::activationRequested, &entry,
                         [this](const ActivationToken &token) { entry.activateFromLaunch(token); });
    }

    SingleInstance instance;
    SingleInstance::Outcome outcome = SingleInstance::Outcome::HandOverFailed;
    AppDelegate delegate;
    nbd_nativeApp entry{&delegate, false};
};

// A socket file left behind by an instance that died: bound once, never listened on.
bool leaveStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), std::size_t(std::min<qsizetype>(encoded.size(), 100)));
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound && QFile::exists(path);
}

} // namespace

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        QVERIFY2(!qEnvironmentVariableIsEmpty("NBD_APP_EXE"), "the application is built");
        QVERIFY(!qEnvironmentVariableIsEmpty("DISPLAY"));
    }

    // The launcher's startup id reaches the running window: shown again, marked with the id,
    // activated with the click's time, and the startup sequence ended.
    void aSecondLaunchRaisesTheRunningWindow()
    {
        QTemporaryDir runtime;
        RunningApp app(QDBusConnection::sessionBus(), runtime.path());
        QCOMPARE(app.outcome, SingleInstance::Outcome::Primary);
        QVERIFY(app.instance.isPrimary());
        QCOMPARE(QDBusConnection::sessionBus().interface()->serviceOwner(u"dev.nimbrel.Deck"_s).value(),
                 QDBusConnection::sessionBus().baseService());
        QPointer<MainWindow> window = app.entry.mainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->hide();
        QTRY_VERIFY(!window->isVisible());

        RootListener root;
        QSignalSpy requests(&app.instance, &SingleInstance::activationRequested);
        SecondLaunch second;
        launchSecond({{u"DESKTOP_STARTUP_ID"_s, u"launcher-42-host-nimbrel_TIME4242"_s}}, second);
        QCOMPARE(second.status, QProcess::NormalExit);
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(requests.size(), 1);
        const auto token = requests.at(0).at(0).value<ActivationToken>();
        QCOMPARE(token.startupId, u"launcher-42-host-nimbrel_TIME4242"_s);
        QCOMPARE(token.activationToken, QString());

        QCOMPARE(app.entry.mainWindow(), window.data());
        QTRY_VERIFY(window->isVisible());
        const quint32 id = quint32(window->windowHandle()->winId());
        QTRY_COMPARE(root.property(id, "_NET_STARTUP_ID"), QByteArray("launcher-42-host-nimbrel_TIME4242"));
        QTRY_VERIFY(root.startupMessages().contains(u"remove: ID=launcher-42-host-nimbrel_TIME4242"_s));
        bool activatedAtLaunchTime = false;
        for (const RootListener::Activation &activation : root.activations())
            activatedAtLaunchTime |= activation.window == id && activation.source == 1 && activation.time == 4242;
        QVERIFY(activatedAtLaunchTime);
        // Still the one instance.
        QVERIFY(app.instance.isPrimary());
    }

    // A Wayland launcher's activation token is handed over as it came; a closed window is
    // built again.
    void theActivationTokenIsHandedOver()
    {
        QTemporaryDir runtime;
        RunningApp app(QDBusConnection::sessionBus(), runtime.path());
        QCOMPARE(app.outcome, SingleInstance::Outcome::Primary);
        QPointer<MainWindow> window = app.entry.mainWindow();
        app.entry.createTray(); // with a tray a closed window is deleted and the app goes on
        window->close();
        QTRY_VERIFY(!window);

        QSignalSpy requests(&app.instance, &SingleInstance::activationRequested);
        SecondLaunch second;
        launchSecond({{u"XDG_ACTIVATION_TOKEN"_s, u"wl-token:1-2"_s}}, second);
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.at(0).at(0).value<ActivationToken>().activationToken, u"wl-token:1-2"_s);
        QVERIFY(app.entry.mainWindow());
        QTRY_VERIFY(app.entry.mainWindow()->isVisible());
    }

    // A name holder that does not answer is a failure, never reported as a hand-over: the
    // launch says so on screen and exits 1, whether the holder refuses the call at once or is
    // frozen and lets it wait out its bound.
    void aHolderThatDoesNotAnswerFailsTheLaunch_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::newRow("refuses at once") << u"squatter"_s;
        QTest::newRow("frozen") << u"frozen"_s;
        QTest::newRow("frozen, on the socket") << u"frozen socket"_s;
    }
    void aHolderThatDoesNotAnswerFailsTheLaunch()
    {
        QFETCH(QString, holder);
        QTemporaryDir runtime;
        QList<QPair<QString, QString>> environment;
        FrozenInstance first;
        if (holder == u"squatter"_s) {
            QDBusConnection squatter = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"squatter"_s);
            QVERIFY(squatter.registerService(u"dev.nimbrel.Deck"_s));
        } else {
            const bool socket = holder == u"frozen socket"_s;
            if (socket)
                environment = {{u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + runtime.filePath(u"no-bus"_s)},
                               {u"XDG_RUNTIME_DIR"_s, runtime.path()}};
            first.startAndFreeze(environment, socket ? runtime.path() : QString());
            if (QTest::currentTestFailed())
                return;
        }
        SecondLaunch second;
        launchSecond(environment, second);
        if (holder == u"squatter"_s) {
            QDBusConnection(u"squatter"_s).unregisterService(u"dev.nimbrel.Deck"_s);
            QDBusConnection::disconnectFromBus(u"squatter"_s);
        }
        QCOMPARE(second.status, QProcess::NormalExit);
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.errors.contains("already running but did not answer"), second.errors.constData());
        QCOMPARE(second.shownWindows, QStringList{u"Nimbrel Deck"_s});
    }

    // What that dialog says, in the user's language, and that it can be answered.
    void theUnresponsiveInstanceDialog()
    {
        const std::unique_ptr<QMessageBox> dialog = unresponsiveInstanceDialog();
        QCOMPARE(dialog->objectName(), u"instance-unresponsive-dialog"_s);
        QCOMPARE(dialog->windowTitle(), u"Nimbrel Deck"_s);
        QCOMPARE(dialog->text(), u"Nimbrel Deck 已在运行，但没有响应。"_s);
        QVERIFY(!dialog->informativeText().isEmpty());
        dialog->open();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QCOMPARE(test::accessibilityProblems(dialog.get()), QStringList());
        QAbstractButton *ok = dialog->findChild<QAbstractButton *>(u"instance-unresponsive-ok"_s);
        QVERIFY(ok);
        QCOMPARE(ok->text(), u"好"_s);
        QTest::mouseClick(ok, Qt::LeftButton);
        QTRY_VERIFY(!dialog->isVisible());
    }

    // Without a session bus the running instance listens in XDG_RUNTIME_DIR, and the second
    // launch hands over there.
    void withoutABusTheSocketServes()
    {
        QTemporaryDir runtime;
        const QString path = runtime.filePath(u"dev.nimbrel.Deck"_s);
        QVERIFY(leaveStaleSocket(path));
        {
            RunningApp app(QDBusConnection(u"no-bus"_s), runtime.path());
            // The stale socket of a dead instance does not stop this one.
            QCOMPARE(app.outcome, SingleInstance::Outcome::Primary);
            QCOMPARE(app.instance.socketPath(), path);
            QPointer<MainWindow> window = app.entry.mainWindow();
            window->hide();

            QSignalSpy requests(&app.instance, &SingleInstance::activationRequested);
            SecondLaunch second;
            launchSecond({{u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + runtime.filePath(u"no-bus"_s)},
                          {u"XDG_RUNTIME_DIR"_s, runtime.path()},
                          {u"DESKTOP_STARTUP_ID"_s, u"socket-launch_TIME7"_s}},
                         second);
            QCOMPARE(second.status, QProcess::NormalExit);
            QCOMPARE(second.exitCode, 0);
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests.at(0).at(0).value<ActivationToken>().startupId, u"socket-launch_TIME7"_s);
            QTRY_VERIFY(window->isVisible());
        }
        // The instance's end frees the place for the next first launch.
        QVERIFY(!QFile::exists(path));
    }

    // What arrives on the socket comes from any process of the user: an endless request is cut
    // off, and a token that is not a token is dropped.
    void socketRequestsAreChecked()
    {
        QTemporaryDir runtime;
        SingleInstance instance(QDBusConnection(u"no-bus"_s), runtime.path());
        QCOMPARE(instance.claimOrHandOver(ActivationToken()), SingleInstance::Outcome::Primary);
        QSignalSpy requests(&instance, &SingleInstance::activationRequested);

        QLocalSocket flood;
        flood.connectToServer(instance.socketPath());
        QVERIFY(flood.waitForConnected(5000));
        flood.write(QByteArray(8000, 'x'));
        QTRY_COMPARE(flood.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(requests.size(), 0);

        QLocalSocket odd;
        odd.connectToServer(instance.socketPath());
        QVERIFY(odd.waitForConnected(5000));
        odd.write("desktop-startup-id=bad\x1b[2Jid\nactivation-token=fine-token\nunknown=1\n\n");
        QTRY_COMPARE(requests.size(), 1);
        const auto token = requests.at(0).at(0).value<ActivationToken>();
        QCOMPARE(token.startupId, QString());
        QCOMPARE(token.activationToken, u"fine-token"_s);
        QTRY_VERIFY(odd.bytesAvailable() > 0 || odd.state() == QLocalSocket::UnconnectedState);
        QCOMPARE(odd.readAll(), QByteArray("ok\n"));
    }

    void startupIdTimestamps_data()
    {
        QTest::addColumn<QString>("startupId");
        QTest::addColumn<qint64>("time");
        QTest::newRow("launcher") << u"gnome-shell-1234-host-app-0_TIME98765"_s << qint64(98765);
        QTest::newRow("no time") << u"xdg-launch-1234"_s << qint64(-1);
        QTest::newRow("time not a number") << u"a_TIMEsoon"_s << qint64(-1);
        QTest::newRow("zero") << u"a_TIME0"_s << qint64(-1);
        QTest::newRow("too large") << u"a_TIME99999999999"_s << qint64(-1);
        QTest::newRow("last marker wins") << u"x_TIME1-y_TIME22"_s << qint64(22);
        QTest::newRow("empty") << QString() << qint64(-1);
    }
    void startupIdTimestamps()
    {
        QFETCH(QString, startupId);
        QFETCH(qint64, time);
        const std::optional<quint32> parsed = windowactivation::startupIdTimestamp(startupId);
        QCOMPARE(parsed ? qint64(*parsed) : qint64(-1), time);
    }

    void startupRemoveMessages()
    {
        QCOMPARE(windowactivation::startupRemoveMessage(u"plain_TIME5"_s), QByteArray("remove: ID=plain_TIME5"));
        QCOMPARE(windowactivation::startupRemoveMessage(u"with space \"q\" \\"_s),
                 QByteArray("remove: ID=\"with space \\\"q\\\" \\\\\""));
    }
};

NBD_GUI_TEST_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
