#include "HostTestSupport.h"
#include "ProcessPhaseText.h"

#include "SimHost.h"
#include "Connection/NBDProcessManager.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
using nbd::sim::Reply;
using nbd::sim::SimHost;
using Phase = NBDProcessManager::Phase;

namespace {

const QString kNothingFound = u"未发现可附着的 NBD Host"_s;
const QByteArray kLsofHeader = "COMMAND     PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n";

// One line of `lsof -nP -iTCP -sTCP:LISTEN` for a listening socket.
QByteArray lsofLine(const QByteArray &command, const QByteArray &address)
{
    return command + "   4242 user   23u  IPv4 0x5f3e2a1c      0t0  TCP " + address + " (LISTEN)\n";
}

QByteArray loopback(quint16 port) { return "127.0.0.1:" + QByteArray::number(port); }

} // namespace

class HostDiscoveryTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString file(const QString &name) const { return m_dir.filePath(name); }

    // The lsof stand-in prints what the test asks for, records that it ran and its arguments,
    // and may linger.
    std::unique_ptr<NBDProcessManager> makeManager()
    {
        auto manager = std::make_unique<NBDProcessManager>();
        manager->setLsofPath(file(u"fake-lsof"_s));
        return manager;
    }

    struct Lsof
    {
        Lsof(const QString &argsFile, const QByteArray &output, const QByteArray &sleep = {})
            : args("NBD_TEST_LSOF_ARGS", argsFile.toUtf8())
            , out("NBD_TEST_LSOF_OUTPUT", output)
            , linger("NBD_TEST_LSOF_SLEEP", sleep)
        {
            QFile::remove(argsFile);
        }
        ScopedEnv args;
        ScopedEnv out;
        ScopedEnv linger;
    };

    bool lsofRan() const { return QFile::exists(file(u"lsof-args"_s)); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(writeScript(file(u"fake-lsof"_s), "printf '%s\\n' \"$@\" > \"$NBD_TEST_LSOF_ARGS\"\n"
                                                   "printf '%s' \"$NBD_TEST_LSOF_OUTPUT\"\n"
                                                   "[ -n \"$NBD_TEST_LSOF_SLEEP\" ] && sleep \"$NBD_TEST_LSOF_SLEEP\"\n"
                                                   "exit 0\n"));
    }

    void listenerURLs_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QList<int>>("ports");

        const QString header = QString::fromUtf8(kLsofHeader);
        auto line = [](const char *command, const char *address) { return QString::fromUtf8(lsofLine(command, address)); };

        QTest::newRow("empty") << QString() << QList<int>{};
        QTest::newRow("header only") << header << QList<int>{};
        QTest::newRow("host-like command names, case and prefix")
            << header + line("node", "127.0.0.1:3080") + line("Node", "127.0.0.1:3081") + line("nodejs", "127.0.0.1:3082")
                   + line("nbd", "127.0.0.1:3083") + line("bun", "127.0.0.1:3084") + line("DENO", "127.0.0.1:3085")
            << QList<int>{3080, 3081, 3082, 3083, 3084, 3085};
        QTest::newRow("other commands skipped")
            << line("python3", "127.0.0.1:8000") + line("postgres", "127.0.0.1:5432") + line("xnode", "127.0.0.1:1")
            << QList<int>{};
        QTest::newRow("any address, IPv6 included")
            << line("node", "*:8080") + line("node", "[::1]:3080") + line("node", "0.0.0.0:4000") << QList<int>{3080, 4000, 8080};
        QTest::newRow("same port on several lines counts once")
            << line("node", "127.0.0.1:5173") + line("node", "[::1]:5173") + line("bun", "*:5173") << QList<int>{5173};
        QTest::newRow("ascending order") << line("node", "*:5173") + line("node", "*:3000") << QList<int>{3000, 5173};
        QTest::newRow("ports out of range skipped")
            << line("node", "*:0") + line("node", "*:70000") + line("node", "*:65535") + line("node", "*:-1")
            << QList<int>{65535};
        QTest::newRow("sign accepted") << line("node", "*:+3080") << QList<int>{3080};
        QTest::newRow("service names and garbage ports skipped")
            << line("node", "localhost:http") + line("node", "*:30x0") + line("node", "*:") + line("node", "*:99999999999999999999")
            << QList<int>{};
        QTest::newRow("address without a colon skipped") << line("node", "3080") << QList<int>{};
        QTest::newRow("no TCP column") << u"node 1 user 3u IPv4 0x1 0t0 UDP *:3080\n"_s << QList<int>{};
        QTest::newRow("TCP in another case") << u"node 1 user 3u IPv4 0x1 0t0 tcp *:3080\n"_s << QList<int>{};
        QTest::newRow("TCP as the last column") << u"node 1 user 3u IPv4 0x1 0t0 TCP\n"_s << QList<int>{};
        QTest::newRow("first TCP column counts") << u"node TCP *:3000 TCP *:4000\n"_s << QList<int>{3000};
        QTest::newRow("tabs and runs of blanks") << u"node\t1   user\t\tTCP\t*:3080\t(LISTEN)"_s << QList<int>{3080};
        QTest::newRow("other line breaks")
            << u"node TCP *:1001\r\nnode TCP *:1002\rnode TCP *:1003\u000Bnode TCP *:1004\u000Cnode TCP *:1005\u0085"
               u"node TCP *:1006\u2028node TCP *:1007\u2029node TCP *:1008"_s
            << QList<int>{1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008};
        QTest::newRow("blank lines and a malformed line in between")
            << u"\n\n   \nnode\nnode TCP\ngarbage ::: (((\nnode 1 u TCP *:2000\n"_s << QList<int>{2000};
    }

    void listenerURLs()
    {
        QFETCH(QString, output);
        QFETCH(QList<int>, ports);
        QList<QUrl> expected;
        for (const int port : std::as_const(ports))
            expected.append(QUrl(u"http://127.0.0.1:"_s + QString::number(port)));
        QCOMPARE(NBDProcessManager::listenerURLs(output), expected);
    }

    void listeningPortsOwnedBy_data()
    {
        QTest::addColumn<QList<QByteArray>>("tables");
        QTest::addColumn<QList<int>>("ports");
        const QByteArray header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        // One socket of the table: local address, state, owner.
        auto line = [](const char *local, const char *state, const char *uid) {
            return QByteArray("   0: ") + local + " 00000000:0000 " + state + " 00000000:00000000 00:00000000 00000000 "
                   + uid + "        0 4242 1 0000000000000000 100 0 0 10 0\n";
        };
        const char *v6Any = "00000000000000000000000000000000:1F90";
        QTest::newRow("no sockets") << QList<QByteArray>{header, header} << QList<int>{};
        QTest::newRow("own loopback listener") << QList<QByteArray>{header + line("0100007F:0BB8", "0A", "1000")}
                                               << QList<int>{3000};
        QTest::newRow("another user's listener") << QList<QByteArray>{header + line("0100007F:0BB8", "0A", "1001")}
                                                 << QList<int>{};
        QTest::newRow("root is another user") << QList<QByteArray>{header + line("00000000:0050", "0A", "0")}
                                              << QList<int>{};
        QTest::newRow("connections are not listeners")
            << QList<QByteArray>{header + line("0100007F:0BB8", "01", "1000") + line("0100007F:0BB9", "06", "1000")}
            << QList<int>{};
        QTest::newRow("IPv6 table") << QList<QByteArray>{header, header + line(v6Any, "0A", "1000")} << QList<int>{8080};
        // Another user on the same port, on any address or in the other table: a connection
        // could reach either process.
        QTest::newRow("shared port, same table")
            << QList<QByteArray>{header + line("0100007F:1F90", "0A", "1000") + line("00000000:1F90", "0A", "1001")}
            << QList<int>{};
        QTest::newRow("shared port, other table")
            << QList<QByteArray>{header + line("0100007F:1F90", "0A", "1000"), header + line(v6Any, "0A", "1001")}
            << QList<int>{};
        QTest::newRow("several own, in order")
            << QList<QByteArray>{header + line("0100007F:FFFF", "0A", "1000") + line("0100007F:0001", "0a", "1000")}
            << QList<int>{1, 65535};
        QTest::newRow("garbage and truncated lines")
            << QList<QByteArray>{QByteArray("garbage\n\n   1: 0100007F:0BB8 00000000:0000 0A\n")
                                 + line("0100007F:zz", "0A", "1000") + line("0100007F:0000", "0A", "1000")
                                 + line("0100007F", "0A", "1000") + line("0100007F:0BB8", "0A", "-1")
                                 + line("0100007F:0BB8", "0A", "10x0")}
            << QList<int>{};
    }

    void listeningPortsOwnedBy()
    {
        QFETCH(QList<QByteArray>, tables);
        QFETCH(QList<int>, ports);
        const std::set<int> found = NBDProcessManager::listeningPortsOwnedBy(tables, 1000);
        QCOMPARE(QList<int>(found.begin(), found.end()), ports);
    }

    // On a shared machine another user's process can answer like a host: it would receive
    // this user's prompts. Only the user's own listeners are attached.
    void anotherUsersListenerIsNotAttached()
    {
        if (::geteuid() != 0)
            QSKIP("starting a process as another user needs root");
        const QString setpriv = QStandardPaths::findExecutable(u"setpriv"_s);
        if (setpriv.isEmpty())
            QSKIP("setpriv is not installed");
        QProcess foreign;
        foreign.setWorkingDirectory(u"/"_s);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, u"/nonexistent"_s);
        foreign.setProcessEnvironment(environment);
        foreign.start(setpriv, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, u"--"_s, simExecutable(),
                                u"--profile"_s, u"web"_s, u"--port"_s, u"0"_s});
        QVERIFY(foreign.waitForStarted(10000));
        QByteArray ready;
        QTRY_VERIFY_WITH_TIMEOUT((ready += foreign.readAllStandardOutput()).contains('\n'), 20000);
        const QUrl foreignURL(QString::fromUtf8(ready.mid(ready.indexOf("http"))).trimmed());
        QVERIFY2(foreignURL.port() > 0, ready.constData());
        // It does answer as a host (an address the user names is theirs to choose): only its
        // owner keeps it out of the search.
        auto manager = makeManager();
        {
            Lsof none(file(u"lsof-args"_s), QByteArray());
            Pending<std::optional<QUrl>> named(manager->findRunningHost({foreignURL}));
            AWAIT_DONE(named);
            QVERIFY(named.value().has_value());
        }

        SimHost own;
        QVERIFY(own.listen());
        const QByteArray output = kLsofHeader + lsofLine("nbd-sim", loopback(quint16(foreignURL.port())))
                                  + lsofLine("node", loopback(own.port()));
        Lsof lsof(file(u"lsof-args"_s), output);
        Pending<std::optional<QUrl>> found(manager->findRunningHost({}));
        AWAIT_DONE(found);
        QVERIFY(found.value().has_value());
        QCOMPARE(found.value()->port(), int(own.port()));
        foreign.terminate();
        QVERIFY(foreign.waitForFinished(10000));
    }

    void preferredAddressesReducedAndProbedOnce()
    {
        SimHost host;
        QVERIFY(host.listen());
        const QString base = host.baseUrl().toString();
        Lsof lsof(file(u"lsof-args"_s), QByteArray());
        auto manager = makeManager();

        const QList<QUrl> preferred = {
            QUrl(u"ws://127.0.0.1:1/"_s),
            QUrl(u"file:///tmp/nbd"_s),
            QUrl(),
            QUrl(base + u"/some/path?x=1#frag"_s),
            QUrl(base + u"/"_s),
        };
        Pending<std::optional<QUrl>> found(manager->findRunningHost(preferred));
        AWAIT_DONE(found);

        QVERIFY(found.value());
        QCOMPARE(found.value()->toString(), base);
        QCOMPARE(manager->phase(), Phase::attached(QUrl(base)));
        QCOMPARE(manager->logLines(), QStringList{u"已附着运行中的 NBD："_s + base});
        QCOMPARE(host.requests(u"host.describe"_s).size(), 1);
        QCOMPARE(host.requests().first().path, u"/api/host.describe"_s);
        QVERIFY(!lsofRan());
    }

    void preferredAddressesProbedOneAtATime()
    {
        // The first address accepts the connection and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QStringList events;
        QList<QTcpSocket *> sockets;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *socket = silent.nextPendingConnection()) {
                events.append(u"silent: connected"_s);
                sockets.append(socket);
                connect(socket, &QTcpSocket::disconnected, this, [&events] { events.append(u"silent: closed"_s); });
            }
        });
        SimHost host;
        QVERIFY(host.listen());
        connect(&host, &SimHost::requestReceived, this, [&events] { events.append(u"host: request"_s); });

        Lsof lsof(file(u"lsof-args"_s), QByteArray());
        auto manager = makeManager();
        NBDProcessManager::Timing timing;
        timing.probeRequestTimeoutMs = 300;
        timing.probeResourceTimeoutMs = 500;
        manager->setTiming(timing);
        const QUrl silentURL(u"http://127.0.0.1:"_s + QString::number(silent.serverPort()));
        Pending<std::optional<QUrl>> found(manager->findRunningHost({silentURL, host.baseUrl()}));
        AWAIT_DONE(found);

        QCOMPARE(found.value(), std::optional<QUrl>(host.baseUrl()));
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 3, 30000);
        QCOMPARE(events, (QStringList{u"silent: connected"_s, u"silent: closed"_s, u"host: request"_s}));
        qDeleteAll(sockets);
    }

    void notAHost_data()
    {
        QTest::addColumn<Reply>("reply");

        JSONValue::Members noVersion;
        JSONValue::Members noCwd;
        const JSONValue description = SimHost::defaultHostDescription();
        for (const JSONMember &member : description.members()) {
            noVersion.emplace_back(member.key, member.key == u"version"_s ? JSONValue(QString()) : member.value);
            noCwd.emplace_back(member.key, member.key == u"cwd"_s ? JSONValue(QString()) : member.value);
        }
        QTest::newRow("empty version") << Reply::value(JSONValue::object(noVersion));
        QTest::newRow("empty cwd") << Reply::value(JSONValue::object(noCwd));
        QTest::newRow("host error") << Reply::error(u"E"_s, u"no"_s);
        QTest::newRow("HTTP error") << Reply::status(500);
        QTest::newRow("not a description") << Reply::value(JSONValue(u"nbd"_s));
    }

    void notAHost()
    {
        QFETCH(Reply, reply);
        SimHost host;
        QVERIFY(host.listen());
        host.setReply(u"host.describe"_s, reply);
        // The same port is listed by lsof: it is not probed a second time.
        Lsof lsof(file(u"lsof-args"_s), kLsofHeader + lsofLine("node", loopback(host.port())));
        auto manager = makeManager();
        QList<Phase> phases;
        connect(manager.get(), &NBDProcessManager::phaseChanged, this, [&] { phases.append(manager->phase()); });

        Pending<std::optional<QUrl>> found(manager->findRunningHost({host.baseUrl()}));
        AWAIT_DONE(found);
        QCOMPARE(found.value(), std::nullopt);
        QCOMPARE(phases, (QList<Phase>{Phase::probing(), Phase::idle()}));
        QCOMPARE(manager->logLines(), QStringList{kNothingFound});
        QCOMPARE(host.requests(u"host.describe"_s).size(), 1);
        QVERIFY(lsofRan());
    }

    void listenerPassFirstAnswerWins()
    {
        SimHost a;
        SimHost b;
        SimHost other;
        QVERIFY(a.listen());
        QVERIFY(b.listen());
        QVERIFY(other.listen());
        // The lower port answers late: the winner is the first to answer, not the lowest port.
        SimHost &slow = a.port() < b.port() ? a : b;
        SimHost &fast = a.port() < b.port() ? b : a;
        slow.setReply(u"host.describe"_s, Reply::value(SimHost::defaultHostDescription()).delayed(1500));

        const QByteArray fastPort = QByteArray::number(fast.port());
        const QByteArray output = kLsofHeader + lsofLine("node", loopback(slow.port())) + lsofLine("Node", "*:" + fastPort)
                                  + lsofLine("nodejs", "[::1]:" + fastPort) + lsofLine("python3", loopback(other.port()));
        Lsof lsof(file(u"lsof-args"_s), output);
        auto manager = makeManager();
        Pending<std::optional<QUrl>> found(manager->findRunningHost({}));
        AWAIT_DONE(found);

        QCOMPARE(found.value(), std::optional<QUrl>(fast.baseUrl()));
        QCOMPARE(manager->phase(), Phase::attached(fast.baseUrl()));
        QCOMPARE(manager->logLines(), QStringList{u"已发现并附着运行中的 NBD："_s + fast.baseUrl().toString()});
        QCOMPARE(slow.requests(u"host.describe"_s).size(), 1);
        QCOMPARE(fast.requests(u"host.describe"_s).size(), 1);
        QVERIFY(other.requests().isEmpty());
        QFile args(file(u"lsof-args"_s));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), QByteArray("-nP\n-iTCP\n-sTCP:LISTEN\n"));
    }

    void sameHostThroughAnotherAddressIsProbedAgain()
    {
        // "[::1]" is not "127.0.0.1": the listener on the same port is still probed.
        SimHost host;
        QVERIFY(host.listen());
        Lsof lsof(file(u"lsof-args"_s), lsofLine("node", "*:" + QByteArray::number(host.port())));
        auto manager = makeManager();
        const QUrl viaIPv6(u"http://[::1]:"_s + QString::number(host.port()));
        Pending<std::optional<QUrl>> found(manager->findRunningHost({viaIPv6}));
        AWAIT_DONE(found);
        QCOMPARE(found.value(), std::optional<QUrl>(host.baseUrl()));
        QCOMPARE(manager->logLines(), QStringList{u"已发现并附着运行中的 NBD："_s + host.baseUrl().toString()});
    }

    void noListeners_data()
    {
        QTest::addColumn<QString>("lsofPath");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("lsof missing") << file(u"no-such-lsof"_s) << QByteArray();
        QTest::newRow("lsof prints nothing") << QString() << QByteArray();
        QTest::newRow("no likely host") << QString() << kLsofHeader + lsofLine("python3", "*:8000");
        QTest::newRow("listener that is not a host") << QString() << lsofLine("node", "127.0.0.1:1");
    }

    void noListeners()
    {
        QFETCH(QString, lsofPath);
        QFETCH(QByteArray, output);
        Lsof lsof(file(u"lsof-args"_s), output);
        auto manager = makeManager();
        if (!lsofPath.isEmpty())
            manager->setLsofPath(lsofPath);
        Pending<std::optional<QUrl>> found(manager->findRunningHost({}));
        AWAIT_DONE(found);
        QCOMPARE(found.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::idle());
        QCOMPARE(manager->logLines(), QStringList{kNothingFound});
    }

    void cancellation_data()
    {
        QTest::addColumn<int>("when");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<bool>("lsofRuns");

        QTest::newRow("while a preferred address is probed") << 0 << QStringList{} << false;
        QTest::newRow("before the call") << 1 << QStringList{} << false;
        QTest::newRow("while lsof runs") << 2 << QStringList{kNothingFound} << true;
    }

    void cancellation()
    {
        QFETCH(int, when);
        QFETCH(QStringList, log);
        QFETCH(bool, lsofRuns);

        // A real host everywhere: only the cancellation keeps it from being attached.
        SimHost host;
        QVERIFY(host.listen());
        const QString started = file(u"lsof-args"_s);
        Lsof lsof(started, lsofLine("node", loopback(host.port())), when == 2 ? "0.5" : QByteArray());
        auto manager = makeManager();
        CancelToken cancel;
        if (when == 0) {
            host.setReply(u"host.describe"_s, Reply::never());
            connect(&host, &SimHost::requestReceived, this, [cancel] { cancel.cancel(); });
        }
        if (when == 1)
            cancel.cancel();
        const QList<QUrl> preferred = when == 2 ? QList<QUrl>{} : QList<QUrl>{host.baseUrl()};
        Pending<std::optional<QUrl>> found(manager->findRunningHost(preferred, cancel));
        if (when == 2) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 30000);
            cancel.cancel();
        }
        AWAIT_DONE(found);

        QCOMPARE(found.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::idle());
        QCOMPARE(manager->logLines(), log);
        QCOMPARE(lsofRan(), lsofRuns);
        if (when != 0)
            QVERIFY(host.requests().isEmpty());
    }

    void destroyedWhileProbing()
    {
        SimHost host;
        QVERIFY(host.listen());
        host.setReply(u"host.describe"_s, Reply::never());
        auto manager = makeManager();
        Pending<std::optional<QUrl>> found(manager->findRunningHost({host.baseUrl()}));
        QTRY_COMPARE_WITH_TIMEOUT(host.requests().size(), 1, 30000);
        manager.reset();
        AWAIT_DONE(found);
        QCOMPARE(found.value(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(HostDiscoveryTest)
#include "tst_hostdiscovery.moc"
