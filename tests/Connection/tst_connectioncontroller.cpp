#include "HostTestSupport.h"
#include "ObservableWaits.h"

#include "SimHost.h"
#include "Connection/ConnectionController.h"

#include <QSet>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
using nbd::sim::Reply;
using nbd::sim::SimHost;
using nbd::sim::Stream;
using Kind = ConnectionPhase::Kind;

namespace nbd {
char *toString(const ConnectionPhase &phase) { return qstrdup(phase.label().toUtf8().constData()); }
} // namespace nbd

namespace {

constexpr int kShortDelayMs = 150;

// The paths of the stream upgrades a host received.
QStringList upgradePaths(const SimHost &host)
{
    QStringList paths;
    for (const auto &request : host.upgradeRequests())
        paths.append(request.path);
    paths.sort();
    return paths;
}

const QStringList kBothStreams = {u"/api/events.host"_s, u"/api/events.mux"_s};

} // namespace

class ConnectionControllerTest : public QObject
{
    Q_OBJECT

private:
    // Every phase the controller passes through, in order.
    static std::shared_ptr<QList<ConnectionPhase>> recordPhases(ConnectionController &controller)
    {
        auto phases = std::make_shared<QList<ConnectionPhase>>();
        connect(&controller, &ConnectionController::phaseChanged, &controller,
                [phases, &controller] { phases->append(controller.phase()); });
        return phases;
    }

    static bool bothStreamsLive(const SimHost &host)
    {
        return host.connectedCount(Stream::Mux) == 1 && host.connectedCount(Stream::Host) == 1;
    }

    // Connects to `host` and waits until the connection is ready with both streams open.
    static void connectLive(ConnectionController &controller, const SimHost &host)
    {
        controller.connectTo(host.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(host), 30000);
    }

    // A controller that reconnects after a short delay, connected to a host with both streams live.
    struct LiveConnection
    {
        SimHost host;
        ConnectionController controller;

        LiveConnection()
        {
            QVERIFY(host.listen());
            controller.setReconnectDelay(kShortDelayMs);
            connectLive(controller, host);
        }
    };

private Q_SLOTS:
    void streamURL_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("mux");

        QTest::newRow("http") << u"http://127.0.0.1:3080"_s << u"ws://127.0.0.1:3080/api/events.mux"_s;
        QTest::newRow("https") << u"https://host.example:8443"_s << u"wss://host.example:8443/api/events.mux"_s;
        QTest::newRow("trailing slash") << u"http://127.0.0.1:3080/"_s << u"ws://127.0.0.1:3080/api/events.mux"_s;
        QTest::newRow("several trailing slashes") << u"http://127.0.0.1:3080//"_s << u"ws://127.0.0.1:3080/api/events.mux"_s;
        QTest::newRow("path prefix") << u"https://h/nbd/"_s << u"wss://h/nbd/api/events.mux"_s;
        QTest::newRow("http inside the path stays") << u"http://h/http://x"_s << u"ws://h/http://x/api/events.mux"_s;
    }

    void streamURL()
    {
        QFETCH(QString, base);
        QFETCH(QString, mux);
        QCOMPARE(ConnectionController::streamURL(QUrl(base), u"api/events.mux").toString(), mux);
    }

    void phaseLabels()
    {
        QCOMPARE(ConnectionPhase::disconnected().label(), u"未连接"_s);
        QCOMPARE(ConnectionPhase::connecting().label(), u"连接中…"_s);
        QCOMPARE(ConnectionPhase::reconnecting().label(), u"重连中…"_s);
        QCOMPARE(ConnectionPhase::failed(u"E: m"_s).label(), u"连接失败：E: m"_s);
        QVERIFY(!ConnectionPhase::ready().label().isEmpty());
        QVERIFY(ConnectionPhase::ready().isConnected());
        QVERIFY(!ConnectionPhase::connecting().isConnected());
        QVERIFY(ConnectionPhase::failed(u"a"_s) != ConnectionPhase::failed(u"b"_s));

        // Writing the phase it already has notifies nobody.
        ConnectionController controller;
        int changes = 0;
        connect(&controller, &ConnectionController::phaseChanged, this, [&changes] { ++changes; });
        controller.markConnecting();
        controller.markConnecting();
        controller.fail(u"无效的服务器地址（可在设置中配置）"_s);
        controller.fail(u"无效的服务器地址（可在设置中配置）"_s);
        QCOMPARE(changes, 2);
        controller.disconnect();
        controller.disconnect();
        QCOMPARE(changes, 3);
        QCOMPARE(controller.phase(), ConnectionPhase::disconnected());
    }

    void connectsAndOpensBothStreams_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("bare base") << QString();
        QTest::newRow("base ending in a slash") << u"/"_s;
    }

    void connectsAndOpensBothStreams()
    {
        QFETCH(QString, suffix);
        SimHost host;
        QVERIFY(host.listen());
        ConnectionController controller;
        int wireChanges = 0;
        connect(&controller, &ConnectionController::wireChanged, this, [&wireChanges] { ++wireChanges; });
        const auto phases = recordPhases(controller);

        const QUrl base(host.baseUrl().toString() + suffix);
        controller.connectTo(base);
        QCOMPARE(controller.baseURL(), std::optional<QUrl>(base));
        QCOMPARE(controller.phase(), ConnectionPhase::connecting());
        QVERIFY(controller.wire());
        QCOMPARE(controller.wire()->baseURL(), base);
        QCOMPARE(wireChanges, 1);

        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
        QCOMPARE(*phases, (QList<ConnectionPhase>{ConnectionPhase::connecting(), ConnectionPhase::ready()}));
        QVERIFY(controller.hostDescription());
        QCOMPARE(controller.hostDescription()->version, u"0.0.0-sim"_s);
        QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(host), 30000);
        QCOMPARE(upgradePaths(host), kBothStreams);
        QCOMPARE(host.requests(u"host.describe"_s).size(), 1);

        controller.disconnect();
        QCOMPARE(controller.baseURL(), std::nullopt);
        QVERIFY(!controller.wire());
        QVERIFY(!controller.hostDescription());
        QCOMPARE(wireChanges, 2);
        QTRY_COMPARE_WITH_TIMEOUT(host.connectedCount(Stream::Mux) + host.connectedCount(Stream::Host), 0, 30000);
        QCOMPARE(host.clientCloseCodes(Stream::Mux), QList<int>{1001});
    }

    void describeError_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("message");

        QTest::newRow("host error") << Reply::error(u"E"_s, u"m"_s) << u"E: m"_s;
        QTest::newRow("HTTP status") << Reply::status(503) << u"host.describe failed with HTTP 503"_s;
        QTest::newRow("unreadable answer") << Reply::raw("{\"nope\"") << u"malformed server response for host.describe"_s;
        QTest::newRow("not a description") << Reply::value(JSONValue::object({{u"version"_s, 3}}))
                                           << u"malformed server response for host.describe"_s;
    }

    void describeError()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, message);
        SimHost host;
        QVERIFY(host.listen());
        host.setReply(u"host.describe"_s, reply);
        ConnectionController controller;
        controller.setReconnectDelay(kShortDelayMs);

        controller.connectTo(host.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase().kind(), Kind::Failed, 30000);
        QCOMPARE(controller.phase(), ConnectionPhase::failed(message));
        QCOMPARE(controller.phase().label(), u"连接失败："_s + message);
        QVERIFY(!controller.hostDescription());
        // No streams and no retry: a retry's timer would have fired before this one.
        QVERIFY(waitPastInterval(kShortDelayMs));
        QCOMPARE(methodsThroughBarrier(host), (QStringList{u"host.describe"_s, kBarrierMethod}));
        QVERIFY(host.upgradeRequests().isEmpty());
        QCOMPARE(controller.phase(), ConnectionPhase::failed(message));
    }

    void lateAnswerIsDropped_data()
    {
        QTest::addColumn<bool>("firstSucceeds");
        QTest::addColumn<bool>("moveToSecond"); // else: disconnect
        QTest::addColumn<bool>("secondSucceeds");

        QTest::newRow("disconnect, late success") << true << false << false;
        QTest::newRow("disconnect, late failure") << false << false << false;
        QTest::newRow("another address, late success") << true << true << false;
        QTest::newRow("another address, late failure") << false << true << true;
    }

    void lateAnswerIsDropped()
    {
        QFETCH(bool, firstSucceeds);
        QFETCH(bool, moveToSecond);
        QFETCH(bool, secondSucceeds);

        SimHost first;
        SimHost second;
        QVERIFY(first.listen());
        QVERIFY(second.listen());
        const Reply answer = firstSucceeds ? Reply::value(SimHost::defaultHostDescription()) : Reply::error(u"A"_s, u"late"_s);
        first.setReply(u"host.describe"_s, answer.delayed(300));
        if (!secondSucceeds)
            second.setReply(u"host.describe"_s, Reply::error(u"B"_s, u"down"_s));
        bool firstAnswered = false;
        // The delayed answer goes out after the request is logged; wait for the request, then
        // past the delay, with the event loop turning.
        connect(&first, &SimHost::requestReceived, this, [&firstAnswered] {
            QTimer::singleShot(600, [&firstAnswered] { firstAnswered = true; });
        });

        ConnectionController controller;
        controller.connectTo(first.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(first.requests(u"host.describe"_s).size(), 1, 30000);
        if (moveToSecond)
            controller.connectTo(second.baseUrl());
        else
            controller.disconnect();
        QTRY_VERIFY_WITH_TIMEOUT(firstAnswered, 30000);

        if (!moveToSecond) {
            QCOMPARE(controller.phase(), ConnectionPhase::disconnected());
            QVERIFY(!controller.hostDescription());
        } else if (secondSucceeds) {
            QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
            QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(second), 30000);
        } else {
            QCOMPARE(controller.phase(), ConnectionPhase::failed(u"B: down"_s));
            QVERIFY(!controller.hostDescription());
        }
        QVERIFY(first.upgradeRequests().isEmpty());
    }

    void reconnectsAfterTheHostClosesBothStreams()
    {
        LiveConnection live;
        if (QTest::currentTestFailed())
            return;
        auto &[host, controller] = live;
        const auto phases = recordPhases(controller);

        host.closeStreams(Stream::Mux);
        host.closeStreams(Stream::Host);
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::reconnecting(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
        QCOMPARE(phases->mid(0, 3), (QList<ConnectionPhase>{ConnectionPhase::reconnecting(), ConnectionPhase::connecting(),
                                                            ConnectionPhase::ready()}));
        // Each ended stream started its own attempt; once both settled one pair is live.
        QTRY_COMPARE_WITH_TIMEOUT(host.requests(u"host.describe"_s).size(), 3, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(host), 30000);
        // Settled: no further reconnect is pending.
        QVERIFY(waitPastInterval(kShortDelayMs));
        QCOMPARE(countOf(methodsThroughBarrier(host), u"host.describe"_s), 3);
        QVERIFY(bothStreamsLive(host));
        QCOMPARE(controller.phase(), ConnectionPhase::ready());
        QCOMPARE(phases->last(), ConnectionPhase::ready());
    }

    void hostDownStaysFailed()
    {
        LiveConnection live;
        if (QTest::currentTestFailed())
            return;
        auto &[host, controller] = live;
        const auto phases = recordPhases(controller);

        host.stop();
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase().kind(), Kind::Failed, 30000);
        QVERIFY2(controller.phase().message().startsWith(u"network error calling host.describe: "_s),
                 qPrintable(controller.phase().message()));
        QCOMPARE(phases->first(), ConnectionPhase::reconnecting());
        // Each ended stream scheduled an attempt; once both have run and the last one failed,
        // nothing tries again.
        QVERIFY(waitPastInterval(kShortDelayMs));
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase().kind(), Kind::Failed, 30000);
        const qsizetype settled = phases->size();
        QVERIFY(waitPastInterval(kShortDelayMs));
        QCOMPARE(phases->size(), settled);
        QCOMPARE(phases->last().kind(), Kind::Failed);
        QCOMPARE(controller.phase().kind(), Kind::Failed);
    }

    void restartedHostIsReachedAgain()
    {
        SimHost host;
        QVERIFY(host.listen());
        ConnectionController controller;
        controller.setReconnectDelay(kShortDelayMs);
        controller.connectTo(host.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
        host.stop();
        QVERIFY(host.listenAgain());
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::reconnecting(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(host), 30000);
    }

    void framesReachTheHandlerUntilDisconnect()
    {
        SimHost host;
        QVERIFY(host.listen());
        ConnectionController controller;
        QList<QString> received;
        controller.setFrameHandler([&received](const ServerRequest &frame) { received.append(frame.method); });
        connectLive(controller, host);
        if (QTest::currentTestFailed())
            return;

        host.pushFrame(Stream::Mux, u"session/event"_s, JSONValue::emptyObject());
        host.pushFrame(Stream::Host, u"host/notice"_s, JSONValue::emptyObject());
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, 30000);
        QCOMPARE(QSet<QString>(received.begin(), received.end()), (QSet<QString>{u"session/event"_s, u"host/notice"_s}));

        controller.disconnect();
        host.pushFrame(Stream::Mux, u"session/event"_s, JSONValue::emptyObject());
        host.pushFrame(Stream::Host, u"host/notice"_s, JSONValue::emptyObject());
        QTRY_COMPARE_WITH_TIMEOUT(host.connectedCount(Stream::Mux) + host.connectedCount(Stream::Host), 0, 30000);
        // Once the ended streams are gone nothing can deliver a frame any more.
        QTRY_VERIFY(controller.findChildren<EventStream *>().isEmpty());
        QCOMPARE(received.size(), 2);
        QCOMPARE(controller.phase(), ConnectionPhase::disconnected());
    }

    void handlerMayDisconnect()
    {
        SimHost host;
        QVERIFY(host.listen());
        ConnectionController controller;
        controller.setReconnectDelay(kShortDelayMs);
        int calls = 0;
        controller.setFrameHandler([&calls, &controller](const ServerRequest &) {
            ++calls;
            controller.disconnect();
        });
        connectLive(controller, host);
        if (QTest::currentTestFailed())
            return;

        // Several frames in one burst on both streams: the first handler call disconnects.
        for (int i = 0; i < 3; ++i) {
            host.pushFrame(Stream::Mux, u"session/event"_s, JSONValue::emptyObject());
            host.pushFrame(Stream::Host, u"host/notice"_s, JSONValue::emptyObject());
        }
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 30000);
        QCOMPARE(controller.phase(), ConnectionPhase::disconnected());
        QTRY_COMPARE_WITH_TIMEOUT(host.connectedCount(Stream::Mux) + host.connectedCount(Stream::Host), 0, 30000);
        QTRY_VERIFY(controller.findChildren<EventStream *>().isEmpty());
        QVERIFY(waitPastInterval(kShortDelayMs));
        QCOMPARE(methodsThroughBarrier(host), (QStringList{u"host.describe"_s, kBarrierMethod}));
        QCOMPARE(calls, 1);
        QCOMPARE(controller.phase(), ConnectionPhase::disconnected());
    }

    void handlerMayReconnectElsewhere()
    {
        SimHost first;
        SimHost second;
        QVERIFY(first.listen());
        QVERIFY(second.listen());
        ConnectionController controller;
        int calls = 0;
        controller.setFrameHandler([&](const ServerRequest &) {
            if (++calls == 1)
                controller.connectTo(second.baseUrl());
        });
        connectLive(controller, first);
        if (QTest::currentTestFailed())
            return;
        first.pushFrame(Stream::Mux, u"session/event"_s, JSONValue::emptyObject());
        QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(second), 30000);
        QCOMPARE(controller.phase(), ConnectionPhase::ready());
        QTRY_COMPARE_WITH_TIMEOUT(first.connectedCount(Stream::Mux) + first.connectedCount(Stream::Host), 0, 30000);
    }

    void disconnectThenConnectInOneTurn()
    {
        LiveConnection live;
        if (QTest::currentTestFailed())
            return;
        auto &[host, controller] = live;
        const auto phases = recordPhases(controller);

        controller.disconnect();
        controller.connectTo(host.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::ready(), 30000);
        QVERIFY(waitPastInterval(kShortDelayMs));
        // The old streams ended without scheduling a reconnect.
        QCOMPARE(methodsThroughBarrier(host), (QStringList{u"host.describe"_s, u"host.describe"_s, kBarrierMethod}));
        QCOMPARE(*phases, (QList<ConnectionPhase>{ConnectionPhase::disconnected(), ConnectionPhase::connecting(),
                                                  ConnectionPhase::ready()}));
        QTRY_VERIFY_WITH_TIMEOUT(bothStreamsLive(host), 30000);
    }

    void pendingReconnectDoesNotOutliveDisconnect()
    {
        LiveConnection live;
        if (QTest::currentTestFailed())
            return;
        auto &[host, controller] = live;

        host.closeStreams(Stream::Mux);
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), ConnectionPhase::reconnecting(), 30000);
        controller.disconnect();
        QVERIFY(waitPastInterval(kShortDelayMs));
        QCOMPARE(methodsThroughBarrier(host), (QStringList{u"host.describe"_s, kBarrierMethod}));
        QCOMPARE(controller.phase(), ConnectionPhase::disconnected());
    }

    void destroyedWhileDescribing()
    {
        SimHost host;
        QVERIFY(host.listen());
        host.setReply(u"host.describe"_s, Reply::never());
        auto controller = std::make_unique<ConnectionController>();
        const auto phases = recordPhases(*controller);
        controller->connectTo(host.baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(host.requests(u"host.describe"_s).size(), 1, 30000);
        controller.reset();
        // The aborted call is no failure to show: a controller going announces no phase.
        QCOMPARE(*phases, QList<ConnectionPhase>{ConnectionPhase::connecting()});
        // The abandoned call sends nothing more, and the event loop turns with the frame of
        // the describing task released.
        QCOMPARE(methodsThroughBarrier(host), (QStringList{u"host.describe"_s, kBarrierMethod}));
    }
};

QTEST_GUILESS_MAIN(ConnectionControllerTest)
#include "tst_connectioncontroller.moc"
