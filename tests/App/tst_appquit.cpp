// The application as a real process: a termination signal or the Quit command takes the
// normal quit path, which stops the host the application launched; however else it ends, the
// host and everything under it go with it.
#include "GuiTestMain.h"

#include "Connection/NBDProcessManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QFile>
#include <QMultiHash>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <csignal>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

// The pids of the processes whose parent is `parent` and whose command name is `name`.
QList<qint64> childrenNamed(qint64 parent, const QString &name)
{
    QList<qint64> found;
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile stat(u"/proc/"_s + entry + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(stat.readAll());
        const auto open = text.indexOf(u'(');
        const auto close = text.lastIndexOf(u')');
        if (open < 0 || close < 0)
            continue;
        const QStringList rest = text.mid(close + 2).split(u' ');
        if (rest.size() > 1 && text.mid(open + 1, close - open - 1) == name && rest[1].toLongLong() == parent
            && rest[0] != u"Z"_s)
            found.append(pid);
    }
    return found;
}

// `root` and every process under it.
QList<qint64> processTree(qint64 root)
{
    QMultiHash<qint64, qint64> children;
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile stat(u"/proc/"_s + entry + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(stat.readAll());
        const QStringList rest = text.mid(text.lastIndexOf(u')') + 2).split(u' ');
        if (rest.size() > 1)
            children.insert(rest[1].toLongLong(), entry.toLongLong());
    }
    QList<qint64> tree{root};
    for (qsizetype i = 0; i < tree.size(); ++i)
        tree.append(children.values(tree[i]));
    return tree;
}

QString commandName(qint64 pid)
{
    QFile comm(u"/proc/"_s + QString::number(pid) + u"/comm"_s);
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
}

bool processGone(qint64 pid)
{
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QString text = QString::fromLatin1(stat.readAll());
    return text.mid(text.lastIndexOf(u')') + 2, 1) == u"Z"_s;
}

// The application attaches to a host that is already running instead of launching one; such
// a host (another test run on this machine, a demo) makes this test meaningless.
bool someHostIsListening()
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, 3080);
    if (probe.waitForConnected(500))
        return true;
    const QString lsof = nbd::NBDProcessManager::defaultLsofPath();
    if (lsof.isEmpty())
        return false;
    QProcess process;
    process.start(lsof, {u"-nP"_s, u"-iTCP"_s, u"-sTCP:LISTEN"_s});
    if (!process.waitForFinished(5000))
        return false;
    return !nbd::NBDProcessManager::listenerURLs(QString::fromLocal8Bit(process.readAllStandardOutput())).isEmpty();
}

// The file a library whose file name starts with `name` is mapped from in process `pid`; empty
// when none is mapped.
QString mappedLibrary(qint64 pid, const QString &name)
{
    QFile maps(u"/proc/"_s + QString::number(pid) + u"/maps"_s);
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    const QStringList lines = QString::fromLocal8Bit(maps.readAll()).split(u'\n');
    for (const QString &line : lines) {
        const auto slash = line.indexOf(u'/');
        if (slash >= 0 && QFileInfo(line.mid(slash)).fileName().startsWith(name))
            return line.mid(slash);
    }
    return {};
}

quint16 unusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A private X server for the test: Xvfb picks a free display and reports it.
class VirtualScreen
{
public:
    bool start()
    {
        m_server.setProgram(u"Xvfb"_s);
        m_server.setArguments({u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1400x1000x24"_s, u"-nolisten"_s,
                               u"tcp"_s});
        m_server.start();
        if (!m_server.waitForStarted(5000))
            return false;
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (!out.contains('\n') && timer.elapsed() < 15000) {
            m_server.waitForReadyRead(500);
            out += m_server.readAllStandardOutput();
        }
        if (!out.contains('\n'))
            return false;
        m_display = u":"_s + QString::fromLatin1(out.trimmed());
        return true;
    }

    ~VirtualScreen() { stop(); }

    void stop()
    {
        m_server.terminate();
        m_server.waitForFinished(5000);
    }

    QString display() const { return m_display; }

    // Runs xdotool on this screen; its standard output, trimmed.
    QString xdotool(const QStringList &arguments, bool *ok = nullptr, int timeoutMs = 30000) const
    {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DISPLAY"_s, m_display);
        tool.setProcessEnvironment(env);
        tool.start(u"xdotool"_s, arguments);
        const bool finished = tool.waitForFinished(timeoutMs);
        if (ok)
            *ok = finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
        return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
    }

private:
    QProcess m_server;
    QString m_display;
};

} // namespace

class tst_AppQuit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The application started here inherits the runtime folder and the sandbox switch.
    void initTestCase() { nbd::test::prepareTestEnvironment(); }

    void terminationSignalStopsTheLaunchedHost_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void terminationSignalStopsTheLaunchedHost()
    {
        QFETCH(int, signalNumber);
        QProcess process;
        qint64 host = 0;
        launch(process, host, {});
        if (QTest::currentTestFailed() || host == 0) // failed or skipped: no process to signal
            return;

        ::kill(pid_t(process.processId()), signalNumber);
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(host), 5000);
    }

    // However the application ends, the host it launched goes with everything under it: also a
    // host behind a wrapper script that starts a helper of its own and does not exec the host,
    // and also when the application gets no chance to stop it (killed, crashed, or left at
    // once by Qt when its X server goes).
    void applicationEndTakesTheHostTreeAlong_data()
    {
        QTest::addColumn<bool>("wrapped");
        QTest::addColumn<int>("ending"); // the signal sent to the application; 0: its X server ends
        QTest::newRow("SIGKILL") << false << SIGKILL;
        QTest::newRow("wrapper, SIGKILL") << true << SIGKILL;
        QTest::newRow("wrapper, SIGSEGV") << true << SIGSEGV;
        QTest::newRow("wrapper, SIGABRT") << true << SIGABRT;
        QTest::newRow("wrapper, SIGTERM") << true << SIGTERM;
        QTest::newRow("wrapper, X server gone") << true << 0;
    }

    void applicationEndTakesTheHostTreeAlong()
    {
        QFETCH(bool, wrapped);
        QFETCH(int, ending);
        VirtualScreen screen;
        QList<QPair<QString, QString>> environment;
        if (ending == 0) {
            if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
                QSKIP("Xvfb gives the application an X server to lose");
            QVERIFY(screen.start());
            environment = {{u"QT_QPA_PLATFORM"_s, u"xcb"_s}, {u"DISPLAY"_s, screen.display()}};
        }
        QString hostExecutable = qEnvironmentVariable("NBD_SIM_EXE");
        if (wrapped) {
            hostExecutable = m_home.filePath(u"nbd-wrapper"_s);
            QFile script(hostExecutable);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nsleep 1000 &\n\"" + qgetenv("NBD_SIM_EXE") + "\" \"$@\"\necho host ended\n");
            script.close();
            script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        }
        QProcess process;
        qint64 host = 0;
        launch(process, host, environment, qEnvironmentVariable("NBD_APP_EXE"), hostExecutable);
        if (QTest::currentTestFailed() || host == 0) // failed or skipped: no process to end
            return;
        const QString simName = QFileInfo(qEnvironmentVariable("NBD_SIM_EXE")).fileName().left(15);
        QList<qint64> tree;
        const auto treeHolds = [&tree](const QString &name) {
            return std::any_of(tree.cbegin(), tree.cend(), [&name](qint64 pid) { return commandName(pid) == name; });
        };
        QTRY_VERIFY_WITH_TIMEOUT((tree = processTree(host), treeHolds(simName) && (!wrapped || treeHolds(u"sleep"_s))),
                                 30000);

        if (ending == 0)
            screen.stop();
        else
            ::kill(pid_t(process.processId()), ending);
        QVERIFY(process.waitForFinished(15000));
        if (ending != 0 && ending != SIGTERM)
            QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(tree.cbegin(), tree.cend(), processGone), 10000);
    }

    // On a real (virtual) screen, driven by keyboard and mouse like a user would: every
    // animated part of the window toggled several times in a row with motion on, then the
    // Settings window by its shortcut, then quit by a signal or by Ctrl+Q.
    void drivenOnAScreenThenQuit_data()
    {
        QTest::addColumn<bool>("byShortcut");
        QTest::newRow("SIGTERM") << false;
        QTest::newRow("Ctrl+Q") << true;
    }

    void drivenOnAScreenThenQuit()
    {
        QFETCH(bool, byShortcut);
        // The build tree's application finds the web view library where the build put it.
        driveOnAScreenThenQuit(qEnvironmentVariable("NBD_APP_EXE"), byShortcut,
                               QFileInfo(qEnvironmentVariable("NBD_WEBVIEW_LIB")).canonicalFilePath());
    }

    // An installed copy runs on its own: its browser loads the web view library installed with
    // it, not the one in the build tree (which stays where it is while the copy runs).
    void installedCopyUsesItsOwnWebViewLibrary()
    {
        const QString cmake = qEnvironmentVariable("NBD_CMAKE");
        const QString buildTree = qEnvironmentVariable("NBD_BUILD_DIR");
        QVERIFY2(QFile::exists(cmake) && QFileInfo(buildTree).isDir(), "NBD_CMAKE and NBD_BUILD_DIR name cmake and the build");
        QVERIFY(QFile::exists(qEnvironmentVariable("NBD_WEBVIEW_LIB")));
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(cmake, {u"--install"_s, buildTree, u"--prefix"_s, prefix.path()});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0, install.readAll().constData());

        const QString app = prefix.filePath(u"bin/nimbrel-deck"_s);
        QVERIFY(QFileInfo(app).isExecutable());
        const QStringList installed = QDir(prefix.path()).entryList({u"lib*"_s}, QDir::Dirs);
        QString library;
        for (const QString &libraryDir : {u"lib"_s, u"lib64"_s}) {
            const QString candidate = prefix.filePath(libraryDir + u"/nimbrel-deck/libnimbrel_webview.so"_s);
            if (QFile::exists(candidate))
                library = candidate;
        }
        QVERIFY2(!library.isEmpty(), qPrintable(u"no web view library installed; "_s + installed.join(u' ')));
        driveOnAScreenThenQuit(app, false, QFileInfo(library).canonicalFilePath());
    }

private:
    QTemporaryDir m_home;

    // Starts `app` on a virtual screen and drives it; its browser tab must load the web view
    // library from `webViewLibrary`, and nothing before it may load a GL driver.
    void driveOnAScreenThenQuit(const QString &app, bool byShortcut, const QString &webViewLibrary)
    {
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty() || QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("Xvfb and xdotool drive the application on a virtual screen");
        VirtualScreen screen;
        QVERIFY(screen.start());

        QProcess process;
        qint64 host = 0;
        launch(process, host, {{u"QT_QPA_PLATFORM"_s, u"xcb"_s}, {u"DISPLAY"_s, screen.display()}}, app);
        if (QTest::currentTestFailed() || host == 0) // failed or skipped: no process to signal
            return;

        bool ok = false;
        QString window = screen.xdotool({u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--pid"_s,
                                                QString::number(process.processId()), u"--name"_s,
                                                u"^Nimbrel Deck$"_s}, &ok).split(u'\n').value(0);
        QVERIFY2(ok && !window.isEmpty(), "the main window is on the screen");
        screen.xdotool({u"windowfocus"_s, u"--sync"_s, window}, &ok);
        QVERIFY(ok);
        // A start that shows no web view loads neither the web engine nor a GL driver.
        QCOMPARE(mappedLibrary(process.processId(), u"libnimbrel_webview"_s), QString());
        QCOMPARE(mappedLibrary(process.processId(), u"libQt6WebEngineCore"_s), QString());
        QCOMPARE(mappedLibrary(process.processId(), u"libLLVM"_s), QString());
        // Nor Qt's image-format plugins: the first window reads no image file (Qt loads all of
        // them for the first one).
        QCOMPARE(mappedLibrary(process.processId(), u"libqjpeg"_s), QString());

        // The terminal dock: each toggle left to finish (0.22 s), then three in quick succession.
        screen.xdotool({u"key"_s, u"--delay"_s, u"600"_s, u"ctrl+grave"_s, u"ctrl+grave"_s, u"ctrl+grave"_s,
                        u"ctrl+grave"_s});
        screen.xdotool({u"key"_s, u"--delay"_s, u"40"_s, u"ctrl+grave"_s, u"ctrl+grave"_s, u"ctrl+grave"_s});
        // The tools panel opens with a tool. The browser's web view makes Qt re-create the main
        // window's native window; the new one must still have the keyboard.
        screen.xdotool({u"key"_s, u"--delay"_s, u"600"_s, u"ctrl+t"_s, u"ctrl+p"_s});
        QTRY_COMPARE_WITH_TIMEOUT(screen.xdotool({u"getwindowfocus"_s, u"getwindowname"_s}), u"Nimbrel Deck"_s, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(mappedLibrary(process.processId(), u"libnimbrel_webview"_s)).canonicalFilePath(),
                                  webViewLibrary, 30000);
        window = screen.xdotool({u"getwindowfocus"_s});
        // The sidebar: its collapse button at the top right of the 280 px column, then the
        // rail's logo to expand it again; both below the window's menu bar (about 25 px).
        const int top = 25;
        for (int i = 0; i < 3; ++i) {
            screen.xdotool({u"mousemove"_s, u"--window"_s, window, u"254"_s, QString::number(top + 29), u"click"_s,
                            u"1"_s, u"sleep"_s, u"0.6"_s, u"mousemove"_s, u"--window"_s, window, u"40"_s,
                            QString::number(top + 26), u"click"_s, u"1"_s, u"sleep"_s, u"0.6"_s});
        }
        QVERIFY2(process.state() == QProcess::Running, "the application survives the toggles");

        // Input reaches the application: Ctrl+, opens the Settings window.
        screen.xdotool({u"key"_s, u"ctrl+comma"_s});
        screen.xdotool({u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(process.processId()),
                        u"--name"_s, u"^设置$"_s}, &ok, 15000);
        QVERIFY2(ok, "Ctrl+, opened the Settings window");

        if (byShortcut) {
            // Typed into the Settings window: the command is application-wide.
            QTRY_COMPARE_WITH_TIMEOUT(screen.xdotool({u"getwindowfocus"_s, u"getwindowname"_s}), u"设置"_s, 10000);
            screen.xdotool({u"key"_s, u"ctrl+q"_s});
        } else {
            ::kill(pid_t(process.processId()), SIGTERM);
        }
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(host), 5000);
    }


    // Starts the application with a private configuration (embedded mode, an address where no
    // host answers, the simulated host as the host executable) and waits for the host it
    // launches. Fails or skips the current test when it cannot.
    void launch(QProcess &process, qint64 &host, const QList<QPair<QString, QString>> &extraEnvironment,
                const QString &app = qEnvironmentVariable("NBD_APP_EXE"),
                const QString &sim = qEnvironmentVariable("NBD_SIM_EXE"))
    {
        QVERIFY2(QFile::exists(app) && QFile::exists(sim), "NBD_APP_EXE and NBD_SIM_EXE name the executables");
        if (someHostIsListening())
            QSKIP("a host is already listening on this machine; the application would attach to it");

        const QString config = m_home.filePath(u"config"_s);
        {
            QSettings settings(config + u"/Nimbrel/Nimbrel Deck.conf"_s, QSettings::IniFormat);
            settings.setValue(u"nbd.serverURL"_s, u"http://127.0.0.1:%1"_s.arg(unusedPort()));
            settings.setValue(u"nbd.launchMode"_s, u"embedded"_s);
            settings.setValue(u"nbd.executablePath"_s, sim);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, m_home.path());
        env.insert(u"XDG_CONFIG_HOME"_s, config);
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent"_s);
        for (const auto &[name, value] : extraEnvironment)
            env.insert(name, value);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A crash is to end the application, not to write its memory out.
        process.setChildProcessModifier([] {
            const rlimit noCore {};
            ::setrlimit(RLIMIT_CORE, &noCore);
        });
        process.start(app, {});
        QVERIFY(process.waitForStarted());

        const QString simName = QFileInfo(sim).fileName().left(15);
        QList<qint64> hosts;
        QTRY_VERIFY_WITH_TIMEOUT(!(hosts = childrenNamed(process.processId(), simName)).isEmpty(), 30000);
        QCOMPARE(hosts.size(), 1);
        host = hosts.first();
    }
};

QTEST_GUILESS_MAIN(tst_AppQuit)
#include "tst_appquit.moc"
