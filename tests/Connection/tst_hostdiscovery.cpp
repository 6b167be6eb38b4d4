#include "HostTestSupport.h"
#include "ProcessPhaseText.h"

#include "ForeignListener.h"
#include "SimHost.h"
#include "Connection/NBDProcessManager.h"
#include "Store/ConnectionSettings.h"

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

    void listenerOwner_data()
    {
        QTest::addColumn<QList<QByteArray>>("tables");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<NBDProcessManager::ListenerOwner>("owner");
        using Owner = NBDProcessManager::ListenerOwner;
        const QByteArray header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        // One socket of the table: local address, state, owner.
        auto line = [](const QByteArray &local, const char *state, const char *uid) {
            return QByteArray("   0: ") + local + " 00000000:0000 " + state + " 00000000:00000000 00:00000000 00000000 "
                   + uid + "        0 4242 1 0000000000000000 100 0 0 10 0\n";
        };
        // As the kernel prints them on this machine: 32-bit words in little-endian order.
        const QByteArray v4Loopback = "0100007F";
        const QByteArray v4Any = "00000000";
        const QByteArray v6Any = "00000000000000000000000000000000";
        const QByteArray v6Loopback = "00000000000000000000000001000000";
        const QByteArray v6MappedLoopback = "0000000000000000FFFF00000100007F";
        const QByteArray v6MappedAny = "0000000000000000FFFF000000000000";
        auto at = [](const QByteArray &address, const char *port) { return address + ':' + port; };
        auto v4 = [&](const QByteArray &address, const char *port, const char *uid) {
            return QList<QByteArray>{header + line(at(address, port), "0A", uid), header};
        };
        auto v6 = [&](const QByteArray &address, const char *port, const char *uid) {
            return QList<QByteArray>{header, header + line(at(address, port), "0A", uid)};
        };

        QTest::newRow("no sockets") << QList<QByteArray>{header, header} << u"127.0.0.1"_s << 3000 << Owner::None;
        QTest::newRow("no tables") << QList<QByteArray>{} << u"127.0.0.1"_s << 3000 << Owner::None;
        QTest::newRow("own loopback listener") << v4(v4Loopback, "0BB8", "1000") << u"127.0.0.1"_s << 3000 << Owner::Own;
        QTest::newRow("another user's listener") << v4(v4Loopback, "0BB8", "1001") << u"127.0.0.1"_s << 3000 << Owner::Foreign;
        QTest::newRow("root is another user") << v4(v4Any, "0050", "0") << u"127.0.0.1"_s << 80 << Owner::Foreign;
        QTest::newRow("other port") << v4(v4Loopback, "0BB9", "1001") << u"127.0.0.1"_s << 3000 << Owner::None;
        QTest::newRow("connections are not listeners")
            << QList<QByteArray>{header + line("0100007F:0BB8", "01", "1001") + line("0100007F:0BB8", "06", "1001")}
            << u"127.0.0.1"_s << 3000 << Owner::None;
        QTest::newRow("lower-case hex") << QList<QByteArray>{header + line("0100007f:0bb8", "0a", "1000")}
                                        << u"127.0.0.1"_s << 3000 << Owner::Own;
        QTest::newRow("last port") << v4(v4Loopback, "FFFF", "1000") << u"127.0.0.1"_s << 65535 << Owner::Own;
        QTest::newRow("line without a break at the end")
            << QList<QByteArray>{(header + line("0100007F:0BB8", "0A", "1001")).chopped(1)} << u"127.0.0.1"_s << 3000
            << Owner::Foreign;

        // What listens on the wildcard address takes connections to every address.
        QTest::newRow("IPv4 wildcard, foreign") << v4(v4Any, "0BB8", "1001") << u"127.0.0.1"_s << 3000 << Owner::Foreign;
        QTest::newRow("IPv4 wildcard, own") << v4(v4Any, "0BB8", "1000") << u"127.0.0.1"_s << 3000 << Owner::Own;
        QTest::newRow("IPv6 wildcard takes IPv4 too") << v6(v6Any, "1F90", "1001") << u"127.0.0.1"_s << 8080 << Owner::Foreign;
        QTest::newRow("IPv6 wildcard, own") << v6(v6Any, "1F90", "1000") << u"127.0.0.1"_s << 8080 << Owner::Own;
        QTest::newRow("IPv4-mapped loopback in tcp6") << v6(v6MappedLoopback, "0BB8", "1001") << u"127.0.0.1"_s << 3000
                                                     << Owner::Foreign;
        QTest::newRow("IPv4-mapped wildcard in tcp6") << v6(v6MappedAny, "0BB8", "1001") << u"127.0.0.1"_s << 3000
                                                     << Owner::Foreign;
        QTest::newRow("IPv6 loopback") << v6(v6Loopback, "0BB8", "1001") << u"::1"_s << 3000 << Owner::Foreign;
        QTest::newRow("IPv6 loopback is not IPv4 loopback") << v6(v6Loopback, "0BB8", "1001") << u"127.0.0.1"_s << 3000
                                                           << Owner::None;
        QTest::newRow("IPv4 wildcard does not take IPv6") << v4(v4Any, "0BB8", "1001") << u"::1"_s << 3000 << Owner::None;
        QTest::newRow("IPv6 wildcard takes IPv6") << v6(v6Any, "0BB8", "1001") << u"::1"_s << 3000 << Owner::Foreign;
        QTest::newRow("IPv4-mapped address asked") << v4(v4Loopback, "0BB8", "1001") << u"::ffff:127.0.0.1"_s << 3000
                                                  << Owner::Foreign;
        QTest::newRow("another address on the port")
            << QList<QByteArray>{header + line("0100007F:0BB8", "0A", "1000") + line("0501A8C0:0BB8", "0A", "1001")}
            << u"127.0.0.1"_s << 3000 << Owner::Own;
        QTest::newRow("another loopback address") << v4(v4Loopback, "0BB8", "1000") << u"127.0.0.2"_s << 3000 << Owner::None;

        // Another user beside an own listener: a connection could reach either process.
        QTest::newRow("shared port, same table")
            << QList<QByteArray>{header + line("0100007F:1F90", "0A", "1000") + line("00000000:1F90", "0A", "1001")}
            << u"127.0.0.1"_s << 8080 << Owner::Foreign;
        QTest::newRow("shared port, other table")
            << QList<QByteArray>{header + line("0100007F:1F90", "0A", "1000"), header + line(at(v6Any, "1F90"), "0A", "1001")}
            << u"127.0.0.1"_s << 8080 << Owner::Foreign;

        // "localhost" is both loopback addresses.
        QTest::newRow("localhost, own IPv4 only") << v4(v4Loopback, "10F7", "1000") << u"localhost"_s << 4343 << Owner::Own;
        QTest::newRow("localhost, own IPv6 only") << v6(v6Loopback, "10F7", "1000") << u"LocalHost"_s << 4343 << Owner::Own;
        QTest::newRow("localhost, foreign IPv6 beside own IPv4")
            << QList<QByteArray>{header + line("0100007F:10F7", "0A", "1000"), header + line(at(v6Loopback, "10F7"), "0A", "1001")}
            << u"localhost"_s << 4343 << Owner::Foreign;
        QTest::newRow("localhost, foreign IPv4") << v4(v4Loopback, "10F7", "1001") << u"localhost"_s << 4343 << Owner::Foreign;
        QTest::newRow("localhost, nothing") << v4(v4Loopback, "10F8", "1000") << u"localhost"_s << 4343 << Owner::None;
        QTest::newRow("a name cannot be checked") << v4(v4Any, "0BB8", "1000") << u"example.org"_s << 3000 << Owner::None;
        QTest::newRow("wildcard address asked") << v6(v6Loopback, "0BB8", "1001") << u"0.0.0.0"_s << 3000 << Owner::Foreign;

        QTest::newRow("garbage and truncated lines")
            << QList<QByteArray>{QByteArray("garbage\n\n   1: 0100007F:0BB8 00000000:0000 0A\n\0\0\n", 49)
                                 + line("0100007F:zz", "0A", "1001") + line("0100007F:0000", "0A", "1001")
                                 + line("0100007F", "0A", "1001") + line("0100007F:0BB8", "0A", "-1")
                                 + line("0100007F:0BB8", "0A", "10x0") + line("0100007F:0BB8", "0A", "+1001")
                                 + line("0100007F:0BB8", "0A", "99999999999") + line("0100007F:0BB8", "0x0A", "1001")
                                 + line("0100007F:0BB80", "0A", "1001") + line("0100007F:BB8", "0A", "1001")
                                 + line("100007F:0BB8", "0A", "1001") + line("0x00007F:0BB8", "0A", "1001")
                                 + line("0100007F0100007F:0BB8", "0A", "1001") + line(":0BB8", "0A", "1001")
                                 + line("0000000000000000FFFF00000100007:0BB8", "0A", "1001")
                                 + line("0000000000000000FFFF00000100007G:0BB8", "0A", "1001")}
            << u"127.0.0.1"_s << 3000 << Owner::None;
        QTest::newRow("garbage beside a good line")
            << QList<QByteArray>{QByteArray("\xff\xfe garbage :::: 0A\n") + line("0100007F:0BB8", "0A", "1001")}
            << u"127.0.0.1"_s << 3000 << Owner::Foreign;
    }

    void listenerOwner()
    {
        QFETCH(QList<QByteArray>, tables);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(NBDProcessManager::ListenerOwner, owner);
        const QList<NBDProcessManager::ListeningSocket> sockets = NBDProcessManager::listeningSockets(tables);
        QCOMPARE(NBDProcessManager::listenerOwner(sockets, NBDProcessManager::connectableAddresses(host), quint16(port), 1000),
                 owner);
    }

    // On a shared machine another user's process can listen where the client looks for its
    // host: it would receive this user's prompts and credentials. Whatever address the
    // search probes, nothing at all is sent there, and the search goes on to the user's own.
    void anotherUsersListenerReceivesNothing_data()
    {
        QTest::addColumn<QString>("bindAddress");
        QTest::addColumn<QString>("preferred"); // "%1" is the foreign port
        QTest::addColumn<bool>("throughSettings");

        QTest::newRow("IPv4 loopback") << u"127.0.0.1"_s << u"http://127.0.0.1:%1"_s << false;
        QTest::newRow("IPv4 wildcard") << u"0.0.0.0"_s << u"http://127.0.0.1:%1"_s << false;
        QTest::newRow("dual-stack wildcard") << u"::"_s << u"http://127.0.0.1:%1"_s << false;
        QTest::newRow("IPv4-mapped loopback") << u"::ffff:127.0.0.1"_s << u"http://127.0.0.1:%1"_s << false;
        QTest::newRow("IPv6 loopback") << u"::1"_s << u"http://[::1]:%1"_s << false;
        QTest::newRow("IPv6 by the wildcard") << u"::"_s << u"http://[::1]:%1"_s << false;
        QTest::newRow("localhost by IPv4") << u"127.0.0.1"_s << u"http://localhost:%1"_s << false;
        QTest::newRow("localhost by IPv6") << u"::1"_s << u"http://localhost:%1"_s << false;
        QTest::newRow("configured localhost") << u"127.0.0.1"_s << u"localhost:%1"_s << true;
        QTest::newRow("configured IPv4 loopback") << u"0.0.0.0"_s << u"127.0.0.1:%1/"_s << true;
        QTest::newRow("configured IPv6 loopback") << u"::"_s << u"http://[::1]:%1"_s << true;
    }

    void anotherUsersListenerReceivesNothing()
    {
        QFETCH(QString, bindAddress);
        QFETCH(QString, preferred);
        QFETCH(bool, throughSettings);
        if (::geteuid() != 0)
            QSKIP("a listener of another user needs root to start: run as root to check that no request reaches it");
        if (bindAddress.contains(u':')) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHostIPv6))
                QSKIP("this machine has no IPv6 loopback");
        }
        ForeignListener foreign(bindAddress);
        QVERIFY2(foreign.port() != 0, "the listener of uid 65534 did not start");
        const QString address = preferred.arg(foreign.port());
        const QList<QUrl> preferredURLs =
            throughSettings ? ConnectionSettings::preferredURLs(address) : QList<QUrl>{QUrl(address)};
        QVERIFY(!preferredURLs.isEmpty());
        QCOMPARE(preferredURLs.first().port(), int(foreign.port()));

        // The user's own host is found next, by the listeners that lsof names; the foreign port
        // is among them.
        SimHost own;
        QVERIFY(own.listen());
        const QByteArray output = kLsofHeader + lsofLine("nbd", "*:" + QByteArray::number(foreign.port()))
                                  + lsofLine("node", loopback(own.port()));
        Lsof lsof(file(u"lsof-args"_s), output);
        auto manager = makeManager();
        Pending<std::optional<QUrl>> found(manager->findRunningHost(preferredURLs));
        AWAIT_DONE(found);

        const QHostAddress marker(bindAddress == u"::1" ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost);
        QCOMPARE(foreign.connectionsSoFar(marker), std::optional<QByteArray>(QByteArray()));
        QVERIFY(found.value().has_value());
        QVERIFY(found.value()->port() != foreign.port());
        // The settings' list names the default address too, where a host of this machine's
        // may answer first: only the simulated host's own address is known to win.
        if (!throughSettings)
            QCOMPARE(found.value(), std::optional<QUrl>(own.baseUrl()));
        const QUrl skipped = preferredURLs.first().adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
        QVERIFY2(manager->logLines().contains(u"已跳过其他用户的监听："_s + skipped.toString()),
                 qPrintable(manager->logLines().join(u'\n')));
    }

    // The user's own host is attached by every address shape that reaches it.
    void ownListenerAttached_data()
    {
        QTest::addColumn<QString>("preferred"); // "%1" is the host's port
        QTest::newRow("IPv4 loopback") << u"http://127.0.0.1:%1"_s;
        QTest::newRow("localhost") << u"http://localhost:%1"_s;
        QTest::newRow("IPv4-mapped loopback") << u"http://[::ffff:127.0.0.1]:%1"_s;
    }

    void ownListenerAttached()
    {
        QFETCH(QString, preferred);
        SimHost host;
        QVERIFY(host.listen());
        Lsof lsof(file(u"lsof-args"_s), QByteArray());
        auto manager = makeManager();
        const QUrl url(preferred.arg(host.port()));
        Pending<std::optional<QUrl>> found(manager->findRunningHost({url}));
        AWAIT_DONE(found);
        QCOMPARE(found.value(), std::optional<QUrl>(url));
        QCOMPARE(host.requests(u"host.describe"_s).size(), 1);
        QVERIFY(!lsofRan());
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
