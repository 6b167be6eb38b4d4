#include "AsyncTest.h"
#include "ObservableWaits.h"
#include "SimHost.h"
#include "Wire/EventStreamClient.h"
#include "Wire/WireClient.h"

#include <QCoroTask>
#include <QSignalSpy>
#include <QTest>

#include <functional>

using namespace nbd;
using namespace nbd::sim;

namespace {

struct Named
{
    QString name;
    static Named fromJson(const JSONValue &v) { return Named{json::string(v, u"name")}; }
};

// Runs a task to completion and reports what it threw (empty when it succeeded).
template<class T>
QString failureOf(QCoro::Task<T> task, std::optional<T> *result = nullptr)
{
    try {
        if constexpr (std::is_void_v<T>) {
            test::waitFor(std::move(task));
        } else {
            auto v = test::waitFor(std::move(task));
            if (result)
                *result = std::move(v);
        }
        return QString();
    } catch (const CancellationError &) {
        return QStringLiteral("<cancelled>");
    } catch (const Error &e) {
        return e.description();
    }
}

QString failureOf(QCoro::Task<void> task)
{
    try {
        test::waitFor(std::move(task));
        return QString();
    } catch (const CancellationError &) {
        return QStringLiteral("<cancelled>");
    } catch (const Error &e) {
        return e.description();
    }
}

QByteArray envelope(const QByteArray &result)
{
    return QByteArray(R"({"type":"server-response","rpcId":"x","result":)") + result + '}';
}

} // namespace

class TestWireClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void postsEnvelopeToMethodPath();
    void callErrors_data();
    void callErrors();
    void typedAndUntypedDiffer();
    void largeRepliesDecodeAsSmallOnes_data();
    void largeRepliesDecodeAsSmallOnes();
    void timeoutIsNotCancellation();
    void cancelDuringCall();
    void cancelDuringEndpointCall();
    void payloadThatCannotBeEncodedSendsNothing();
    void remoteEndpoints_data();
    void remoteEndpoints();
    void endpointResults();
    void respond_data();
    void respond();
    void respondRawNaNFailsBeforeSending();
    void exportQueryIsFullyEncoded();
    void exportFailures();
    void exportLimitIsInactivity();
    void sessionDestroyedMidCall();

    void streamFrames();
    void streamCancelClosesWith1001();
    void streamHostCloseEndsWithError();
    void streamRefusedPortEndsOnce();
    void streamUnknownPathIsRefused();
    void streamFramesKeepArrivalOrderAcrossSizes();
    void streamBurstIsHandedOnInOrder();
    void streamEndsAfterEveryEarlierFrame();
    void streamCancelledOrDeletedWhileDecodingDeliversNothingMore();

private:
    std::unique_ptr<SimHost> m_host;
    std::unique_ptr<WireSession> m_session;
    WireClient client() const { return WireClient(m_host->baseUrl(), m_session.get()); }
    QStringList methodsThroughBarrier() const { return test::methodsThroughBarrier(*m_host, client()); }
};

void TestWireClient::init()
{
    m_host = std::make_unique<SimHost>();
    QVERIFY(m_host->listen(0));
    m_session = std::make_unique<WireSession>();
}

void TestWireClient::cleanup()
{
    m_session.reset();
    m_host.reset();
}

void TestWireClient::postsEnvelopeToMethodPath()
{
    m_host->setReply(QStringLiteral("session.list"), Reply::value(JSONValue::object({{QStringLiteral("n"), 1}})));
    const JSONValue payload = JSONValue::object({{QStringLiteral("limit"), 5}});
    std::optional<JSONValue> v;
    QCOMPARE(failureOf(client().call(QStringLiteral("session.list"), payload), &v), QString());
    QCOMPARE(*v, JSONValue::object({{QStringLiteral("n"), 1}}));
    QCOMPARE(failureOf(client().call(QStringLiteral("session.list"), payload)), QString());

    const auto log = m_host->requests(QStringLiteral("session.list"));
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0].httpMethod, QStringLiteral("POST"));
    QCOMPARE(log[0].path, QStringLiteral("/api/session.list"));
    QCOMPARE(log[0].headers.value("content-type"), QByteArray("application/json"));
    QCOMPARE(log[0].body[u"type"]->string(), std::optional<QString>(QStringLiteral("client-request")));
    QCOMPARE(log[0].body[u"method"]->string(), std::optional<QString>(QStringLiteral("session.list")));
    QCOMPARE(log[0].payload, payload);
    // Fresh lower-case UUIDs per call.
    QCOMPARE(log[0].rpcId.size(), 36);
    QCOMPARE(log[0].rpcId, log[0].rpcId.toLower());
    QVERIFY(log[0].rpcId != log[1].rpcId);
}

void TestWireClient::callErrors_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("expected");
    const QByteArray errorEnvelope =
        envelope(R"({"ok":false,"error":{"code":"E","message":"m","details":null}})");
    QTest::newRow("500 with error envelope") << Reply::status(500, errorEnvelope)
                                             << QStringLiteral("session.list failed with HTTP 500");
    QTest::newRow("204") << Reply::status(204) << QStringLiteral("session.list failed with HTTP 204");
    QTest::newRow("201 with body") << Reply::status(201, envelope(R"({"ok":true,"value":1})"))
                                   << QStringLiteral("session.list failed with HTTP 201");
    QTest::newRow("not json") << Reply::raw("not json") << QStringLiteral("malformed server response for session.list");
    QTest::newRow("no ok") << Reply::raw(envelope(R"({"value":1})"))
                           << QStringLiteral("malformed server response for session.list");
    QTest::newRow("host error wins over value") << Reply::raw(envelope(
        R"({"ok":true,"value":{"name":"n"},"error":{"code":"E","message":"m","details":{"x":1}}})")) << QStringLiteral("E: m");
    // A typed value of the wrong shape fails the whole reply before its error is read.
    QTest::newRow("wrong-shaped value beside an error") << Reply::raw(envelope(
        R"({"ok":true,"value":1,"error":{"code":"E","message":"m","details":null}})")) << QStringLiteral("E: m|malformed server response for session.list");
    QTest::newRow("host error") << Reply::error(QStringLiteral("not_found"), QStringLiteral("没有这个会话"))
                                << QStringLiteral("not_found: 没有这个会话");
    QTest::newRow("dropped connection") << Reply::drop() << QStringLiteral("network error calling session.list: ");
}

void TestWireClient::callErrors()
{
    QFETCH(Reply, reply);
    QFETCH(QString, expected);
    m_host->setReply(QStringLiteral("session.list"), reply);
    const QString untyped = failureOf(client().call(QStringLiteral("session.list"), JSONValue::emptyObject()));
    const QString typed = failureOf(client().call<Named>(QStringLiteral("session.list"), JSONValue::emptyObject()));
    if (expected.contains(u'|')) {
        QCOMPARE(untyped, expected.section(u'|', 0, 0));
        QCOMPARE(typed, expected.section(u'|', 1, 1));
    } else if (expected.endsWith(u' ')) {
        QVERIFY2(untyped.startsWith(expected) && untyped.size() > expected.size(), qPrintable(untyped));
        QVERIFY2(typed.startsWith(expected), qPrintable(typed));
    } else {
        QCOMPARE(untyped, expected);
        QCOMPARE(typed, expected);
    }
}

void TestWireClient::typedAndUntypedDiffer()
{
    // A result with only "ok": null for an untyped call, malformed for a typed one.
    m_host->setReply(QStringLiteral("session.list"), Reply::raw(envelope(R"({"ok":true})")));
    std::optional<JSONValue> v;
    QCOMPARE(failureOf(client().call(QStringLiteral("session.list"), JSONValue()), &v), QString());
    QVERIFY(v->isNull());
    QCOMPARE(failureOf(client().call<Named>(QStringLiteral("session.list"), JSONValue())),
             QStringLiteral("malformed server response for session.list"));

    // A value of the wrong shape is malformed, and keeps the decoder's error underneath.
    m_host->setReply(QStringLiteral("session.list"), Reply::value(JSONValue::object({{QStringLiteral("name"), 3}})));
    try {
        test::waitFor(client().call<Named>(QStringLiteral("session.list"), JSONValue()));
        QFAIL("expected a malformed reply");
    } catch (const WireTransportError &e) {
        QCOMPARE(e.description(), QStringLiteral("malformed server response for session.list"));
        QVERIFY(e.underlyingDescription().contains(QStringLiteral("name")));
    }
    m_host->setReply(QStringLiteral("session.list"), Reply::value(JSONValue::object({{QStringLiteral("name"), QStringLiteral("会话")}})));
    std::optional<Named> named;
    QCOMPARE(failureOf(client().call<Named>(QStringLiteral("session.list"), JSONValue()), &named), QString());
    QCOMPARE(named->name, QStringLiteral("会话"));
}

void TestWireClient::largeRepliesDecodeAsSmallOnes_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("untyped");
    QTest::addColumn<QString>("typed");
    const QString malformed = QStringLiteral("malformed server response for session.list");
    QTest::newRow("value") << envelope(R"({"ok":true,"value":{"name":"会话"}})") << QString() << QString();
    QTest::newRow("not json") << QByteArray("{\"type\":") << malformed << malformed;
    QTest::newRow("no ok") << envelope(R"({"value":1})") << malformed << malformed;
    QTest::newRow("host error") << envelope(R"({"ok":false,"error":{"code":"E","message":"m","details":null}})")
                                << QStringLiteral("E: m") << QStringLiteral("E: m");
    QTest::newRow("wrong-shaped value beside an error")
        << envelope(R"({"ok":true,"value":1,"error":{"code":"E","message":"m","details":null}})") << QStringLiteral("E: m")
        << malformed;
}

// A reply body past the size decoded on the spot is decoded on a decoding thread: the same
// value or the same error text either way, typed, untyped or from a remote endpoint.
void TestWireClient::largeRepliesDecodeAsSmallOnes()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, untyped);
    QFETCH(QString, typed);
    const QString ep = QStringLiteral("commands/execute");
    for (const qsizetype padding : {qsizetype(0), WireClient::kDecodedHere + 1}) {
        const QByteArray padded = body + QByteArray(padding, ' ');
        m_host->setReply(QStringLiteral("session.list"), Reply::raw(padded));
        m_host->setReply(ep, Reply::raw(padded));
        std::optional<JSONValue> value;
        QCOMPARE(failureOf(client().call(QStringLiteral("session.list"), JSONValue()), &value), untyped);
        std::optional<Named> named;
        QCOMPARE(failureOf(client().call<Named>(QStringLiteral("session.list"), JSONValue()), &named), typed);
        std::optional<JSONValue> remote;
        const QString remoteFailure = failureOf(client().callRemote<JSONValue>(ep, JSONValue()), &remote);
        if (untyped.isEmpty()) {
            QCOMPARE(value->find(u"name")->string(), std::optional<QString>(QStringLiteral("会话")));
            QCOMPARE(named->name, QStringLiteral("会话"));
            QCOMPARE(*remote, *value);
        } else {
            QVERIFY(!remoteFailure.isEmpty());
        }
    }
}

void TestWireClient::timeoutIsNotCancellation()
{
    m_host->setReply(QStringLiteral("host.describe"), Reply::never());
    m_session->setRequestTimeout(150);
    const QString f = failureOf(client().call(QStringLiteral("host.describe"), JSONValue::emptyObject()));
    QCOMPARE(f, QStringLiteral("network error calling host.describe: The request timed out."));

    m_session->setRequestTimeout(0);
    m_session->setResourceTimeout(150);
    const QString g = failureOf(client().call(QStringLiteral("host.describe"), JSONValue::emptyObject()));
    QCOMPARE(g, QStringLiteral("network error calling host.describe: The request timed out."));
}

void TestWireClient::cancelDuringCall()
{
    m_host->setReply(QStringLiteral("session.list"), Reply::never());
    CancelToken token;
    QTimer::singleShot(50, [token] { token.cancel(); });
    QCOMPARE(failureOf(client().call(QStringLiteral("session.list"), JSONValue(), token)), QStringLiteral("<cancelled>"));
    // A token cancelled beforehand sends nothing.
    m_host->clearRequests();
    QCOMPARE(failureOf(client().call<Named>(QStringLiteral("session.list"), JSONValue(), token)),
             QStringLiteral("<cancelled>"));
    QCOMPARE(methodsThroughBarrier(), QStringList{QStringLiteral("test.barrier")});
}

void TestWireClient::cancelDuringEndpointCall()
{
    m_host->setReply(QStringLiteral("pluginInventory/list"), Reply::never());
    CancelToken token;
    QTimer::singleShot(50, [token] { token.cancel(); });
    QCOMPARE(failureOf(client().callRemote<JSONValue>(QStringLiteral("pluginInventory/list"), JSONValue(), token)),
             QStringLiteral("network error calling Remote pluginInventory/list: cancelled"));
}

void TestWireClient::payloadThatCannotBeEncodedSendsNothing()
{
    const JSONValue bad = JSONValue::object({{QStringLiteral("x"), std::numeric_limits<double>::infinity()}});
    QVERIFY_THROWS_EXCEPTION(EncodingError, test::waitFor(client().call(QStringLiteral("session.list"), bad)));
    QVERIFY_THROWS_EXCEPTION(EncodingError,
                             test::waitFor(client().callRemote<JSONValue>(QStringLiteral("a/b"), bad)));
    QCOMPARE(methodsThroughBarrier(), QStringList{QStringLiteral("test.barrier")});
}

void TestWireClient::remoteEndpoints_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<bool>("valid");
    QTest::newRow("two words") << QStringLiteral("pluginInventory/list") << true;
    QTest::newRow("one word") << QStringLiteral("x") << false;
    QTest::newRow("leading slash") << QStringLiteral("/a/b") << false;
    QTest::newRow("leading slash one word") << QStringLiteral("/a") << false;
    QTest::newRow("trailing slash") << QStringLiteral("a/") << false;
    QTest::newRow("doubled slash") << QStringLiteral("a//b") << false;
    QTest::newRow("three words") << QStringLiteral("a/b/c") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestWireClient::remoteEndpoints()
{
    QFETCH(QString, endpoint);
    QFETCH(bool, valid);
    if (!valid) {
        try {
            client().remoteURL(endpoint);
            QFAIL("expected a rejection");
        } catch (const WireTransportError &e) {
            QCOMPARE(e.description(), QStringLiteral("invalid Remote endpoint: ") + endpoint);
        }
        QCOMPARE(failureOf(client().callRemote<JSONValue>(endpoint, JSONValue())),
                 QStringLiteral("invalid Remote endpoint: ") + endpoint);
        QCOMPARE(methodsThroughBarrier(), QStringList{QStringLiteral("test.barrier")});
        return;
    }
    QCOMPARE(client().remoteURL(endpoint).path(), QStringLiteral("/api/") + endpoint);
    // A base ending in "/" still gives one "/".
    WireClient slashed(QUrl(m_host->baseUrl().toString() + u'/'), m_session.get());
    QCOMPARE(slashed.remoteURL(endpoint).path(), QStringLiteral("/api/") + endpoint);
}

void TestWireClient::endpointResults()
{
    const QString ep = QStringLiteral("commands/execute");
    // No value: an optional result gives nothing, a required one the decoder's error.
    m_host->setReply(ep, Reply::raw(envelope(R"({"ok":true})")));
    std::optional<std::optional<Named>> none;
    QCOMPARE(failureOf(client().callRemote<std::optional<Named>>(ep, JSONValue::array({1})), &none), QString());
    QVERIFY(none.has_value() && !none->has_value());
    const QString req = failureOf(client().callRemote<Named>(ep, JSONValue()));
    QVERIFY(!req.isEmpty() && !req.startsWith(QStringLiteral("malformed")));
    // Arguments are carried under "args", null included; the method is the endpoint itself.
    const auto log = m_host->requests(ep);
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0].path, QStringLiteral("/api/commands/execute"));
    QCOMPARE(log[0].payload, JSONValue::object({{QStringLiteral("args"), JSONValue::array({1})}}));
    QCOMPARE(log[1].payload, JSONValue::object({{QStringLiteral("args"), JSONValue()}}));
    QCOMPARE(log[0].body[u"method"]->string(), std::optional<QString>(ep));
    // Non-JSON body: the decoder's own error, not "malformed".
    m_host->setReply(ep, Reply::raw("garbage"));
    const QString garbage = failureOf(client().callRemote<JSONValue>(ep, JSONValue()));
    QVERIFY(garbage.startsWith(QStringLiteral("invalid JSON")));
    m_host->setReply(ep, Reply::status(503));
    QCOMPARE(failureOf(client().callRemote<JSONValue>(ep, JSONValue())),
             QStringLiteral("Remote commands/execute failed with HTTP 503"));
    m_host->setReply(ep, Reply::error(QStringLiteral("E"), QStringLiteral("m")));
    QCOMPARE(failureOf(client().callRemote<JSONValue>(ep, JSONValue())), QStringLiteral("E: m"));
}

void TestWireClient::respond_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("expected");
    QTest::newRow("accepted") << Reply::raw(R"({"accepted":true})") << QString();
    QTest::newRow("empty object") << Reply::raw("{}") << QString();
    QTest::newRow("accepted as string") << Reply::raw(R"({"accepted":"no"})") << QString();
    QTest::newRow("rejected with reason") << Reply::raw(R"({"accepted":false,"reason":"expired"})")
                                          << QStringLiteral("respond rejected: expired");
    QTest::newRow("rejected without reason") << Reply::raw(R"({"accepted":false})")
                                             << QStringLiteral("respond rejected: unknown");
    QTest::newRow("rejected numeric reason") << Reply::raw(R"({"accepted":false,"reason":7})")
                                             << QStringLiteral("respond rejected: unknown");
    QTest::newRow("empty body") << Reply::raw("") << QStringLiteral("*");
    QTest::newRow("array body") << Reply::raw("[]") << QStringLiteral("*");
    QTest::newRow("http 500") << Reply::status(500, "{}") << QStringLiteral("respond failed with HTTP 500");
}

void TestWireClient::respond()
{
    QFETCH(Reply, reply);
    QFETCH(QString, expected);
    m_host->setReply(QStringLiteral("respond"), reply);
    const QString f = failureOf(client().respond(QStringLiteral("req-1"), JSONValue::object({{QStringLiteral("outcome"), QStringLiteral("allowed-once")}})));
    if (expected == u"*")
        QVERIFY2(!f.isEmpty() && !f.startsWith(QStringLiteral("respond")), qPrintable(f));
    else
        QCOMPARE(f, expected);
    const auto log = m_host->requests(QStringLiteral("respond"));
    QCOMPARE(log.size(), 1);
    QCOMPARE(log[0].path, QStringLiteral("/api/respond"));
    QCOMPARE(log[0].body, parseJSON(R"({"type":"client-response","rpcId":"req-1","result":{"ok":true,"value":{"outcome":"allowed-once"}}})"));
}

void TestWireClient::respondRawNaNFailsBeforeSending()
{
    const JSONValue bad = JSONValue::object({{QStringLiteral("v"), std::numeric_limits<double>::quiet_NaN()}});
    QVERIFY_THROWS_EXCEPTION(EncodingError, test::waitFor(client().respondRaw(bad)));
    QVERIFY_THROWS_EXCEPTION(EncodingError, test::waitFor(client().respond(QStringLiteral("r"), bad)));
    QCOMPARE(methodsThroughBarrier(), QStringList{QStringLiteral("test.barrier")});
}

void TestWireClient::exportQueryIsFullyEncoded()
{
    const QString id = QStringLiteral("a+b&c=d#e f/中");
    m_host->setExport(id, QByteArray("PK\x03\x04zip"));
    std::optional<QByteArray> bytes;
    QCOMPARE(failureOf(client().downloadSessionLog(id), &bytes), QString());
    QCOMPARE(*bytes, QByteArray("PK\x03\x04zip"));
    const auto log = m_host->requests(QStringLiteral("session.export"));
    QCOMPARE(log.size(), 1);
    QCOMPARE(log[0].httpMethod, QStringLiteral("GET"));
    QCOMPARE(log[0].path, QStringLiteral("/api/session.export"));
    QVERIFY2(log[0].query.startsWith(QStringLiteral("sessionId=")) && !log[0].query.contains(u'&'),
             qPrintable(log[0].query));
    QVERIFY(log[0].query.contains(QStringLiteral("%2B")));
}

void TestWireClient::exportFailures()
{
    QCOMPARE(failureOf(client().downloadSessionLog(QStringLiteral("missing"))),
             QStringLiteral("session.export failed with HTTP 404"));
}

// The download has the same limit as calls, measured as time without data, and its caller
// can cancel it.
void TestWireClient::exportLimitIsInactivity()
{
    m_session->setTransferIdleTimeout(400);
    auto download = [this](CancelToken cancel = {}) -> QString {
        try {
            test::waitFor(client().downloadSessionLog(QStringLiteral("s1"), cancel), 10000);
            return QString();
        } catch (const test::WaitTimedOut &) {
            return QStringLiteral("<still waiting>");
        } catch (const CancellationError &) {
            return QStringLiteral("<cancelled>");
        } catch (const Error &e) {
            return e.description();
        }
    };

    m_host->setReply(QStringLiteral("session.export"), Reply::never());
    QCOMPARE(download(), QStringLiteral("The request timed out."));

    // Twelve pieces 150 ms apart: far longer than the limit in all, never silent that long.
    QByteArray archive("PK\x03\x04");
    for (int i = 0; i < 4000; ++i)
        archive.append(char('a' + i % 26));
    m_host->setReply(QStringLiteral("session.export"), Reply::raw(archive).trickled(12, 150));
    std::optional<QByteArray> bytes;
    QCOMPARE(failureOf(client().downloadSessionLog(QStringLiteral("s1")), &bytes), QString());
    QCOMPARE(*bytes, archive);

    // A transfer that stalls half-way is cut.
    m_host->setReply(QStringLiteral("session.export"), Reply::raw(archive).trickled(2, 2000));
    QCOMPARE(download(), QStringLiteral("The request timed out."));

    m_session->setTransferIdleTimeout(WireSession::kDefaultTransferIdleTimeoutMs);
    m_host->setReply(QStringLiteral("session.export"), Reply::never());
    CancelToken token;
    QTimer::singleShot(100, [token] { token.cancel(); });
    QCOMPARE(download(token), QStringLiteral("<cancelled>"));
}

void TestWireClient::sessionDestroyedMidCall()
{
    // Destroying the session resumes the waiting call instead of leaking it.
    m_host->setReply(QStringLiteral("session.list"), Reply::never());
    QString outcome = QStringLiteral("pending");
    auto task = [](WireClient c, QString *out) -> QCoro::Task<void> {
        try {
            co_await c.call(QStringLiteral("session.list"), JSONValue());
            *out = QStringLiteral("ok");
        } catch (const CancellationError &) {
            *out = QStringLiteral("cancelled");
        } catch (const Error &e) {
            *out = e.description();
        }
    };
    task(client(), &outcome);
    // The call is out and waiting for the answer.
    QTRY_COMPARE(m_host->requests(QStringLiteral("session.list")).size(), 1);
    QCOMPARE(outcome, QStringLiteral("pending"));
    m_session.reset();
    QCOMPARE(outcome, QStringLiteral("cancelled"));
    // A client whose session is gone fails at once.
    WireClient orphan(m_host->baseUrl(), nullptr);
    QCOMPARE(failureOf(orphan.call(QStringLiteral("session.list"), JSONValue())), QStringLiteral("<cancelled>"));
}

// ---- event streams -------------------------------------------------------------------

namespace {

struct StreamRecorder
{
    explicit StreamRecorder(EventStream *s) : stream(s)
    {
        QObject::connect(s, &EventStream::frameReceived, s, [this](const ServerRequest &f) { frames.push_back(f); });
        QObject::connect(s, &EventStream::ended, s, [this](const std::optional<QString> &e) {
            ++endings;
            error = e;
        });
    }
    EventStream *stream;
    std::vector<ServerRequest> frames;
    int endings = 0;
    std::optional<QString> error;
};

} // namespace

void TestWireClient::streamFrames()
{
    std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    StreamRecorder rec(s.get());
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    const QByteArray good = R"({"type":"server-request","rpcId":"r1","method":"session/event","payload":{}})";
    m_host->pushText(Stream::Mux, good);
    m_host->pushBinary(Stream::Mux, good);
    m_host->pushText(Stream::Mux, "not json");
    m_host->pushText(Stream::Mux, R"({"type":"server-request","rpcId":"r2","method":"m"})"); // no payload
    m_host->pushText(Stream::Mux, R"({"type":"other","rpcId":"r3","method":"m","payload":null})");
    m_host->pushFrame(Stream::Mux, QStringLiteral("approval/requested"), JSONValue::object({{QStringLiteral("k"), QStringLiteral("值")}}), QStringLiteral("r4"));
    QTRY_COMPARE(rec.frames.size(), size_t(4));
    QCOMPARE(rec.frames[0].method, QStringLiteral("session/event"));
    QCOMPARE(rec.frames[1].rpcId, QStringLiteral("r1"));
    QCOMPARE(rec.frames[2].type, QStringLiteral("other"));
    QVERIFY(rec.frames[2].payload.isNull());
    QCOMPARE(rec.frames[3].rpcId, QStringLiteral("r4"));
    QCOMPARE(*rec.frames[3].payload[u"k"]->string(), QStringLiteral("值"));
    QCOMPARE(s->droppedMessages(), 2);
    QCOMPARE(rec.endings, 0);
    QCOMPARE(m_host->messagesFromClients(), 0);
}

void TestWireClient::streamCancelClosesWith1001()
{
    std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Host)));
    StreamRecorder rec(s.get());
    // A second stream on the same path shows when a frame pushed after the end has come in.
    std::unique_ptr<EventStream> witness(EventStreamClient().frames(m_host->streamUrl(Stream::Host)));
    StreamRecorder seen(witness.get());
    QTRY_COMPARE(m_host->connectedCount(Stream::Host), 2);
    s->cancel();
    QCOMPARE(rec.endings, 1);
    QVERIFY(!rec.error.has_value());
    QTRY_COMPARE(m_host->clientCloseCodes(Stream::Host), QList<int>{1001});
    // Nothing after the end.
    m_host->pushFrame(Stream::Host, QStringLiteral("m"), JSONValue());
    QTRY_COMPARE(seen.frames.size(), size_t(1));
    QCOMPARE(rec.frames.size(), size_t(0));
    QCOMPARE(rec.endings, 1);
    QCOMPARE(m_host->messagesFromClients(), 0);
}

void TestWireClient::streamHostCloseEndsWithError()
{
    std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    StreamRecorder rec(s.get());
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    m_host->closeStreams(Stream::Mux);
    QTRY_COMPARE(rec.endings, 1);
    QVERIFY(rec.error.has_value());
    QVERIFY(!rec.error->isEmpty());

    std::unique_ptr<EventStream> t(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    StreamRecorder rec2(t.get());
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    m_host->abortStreams(Stream::Mux);
    QTRY_COMPARE(rec2.endings, 1);
    QVERIFY(rec2.error.has_value());
    // A late second error report of the first socket has come by now: the second stream
    // connected and ended after it.
    QCOMPARE(rec.endings, 1);
}

void TestWireClient::streamRefusedPortEndsOnce()
{
    const QUrl url = m_host->streamUrl(Stream::Mux);
    m_host->stop();
    std::unique_ptr<EventStream> s(EventStreamClient().frames(url));
    StreamRecorder rec(s.get());
    QTRY_COMPARE(rec.endings, 1);
    QVERIFY(rec.error.has_value());
    // A second refused stream, started after the first one ended, ends after any late report
    // of the first one's socket.
    std::unique_ptr<EventStream> later(EventStreamClient().frames(url));
    StreamRecorder laterRec(later.get());
    QTRY_COMPARE(laterRec.endings, 1);
    QCOMPARE(rec.endings, 1);
    QVERIFY(s->hasEnded());
}

void TestWireClient::streamUnknownPathIsRefused()
{
    QUrl url = m_host->streamUrl(Stream::Mux);
    url.setPath(QStringLiteral("/api/events.other"));
    std::unique_ptr<EventStream> s(EventStreamClient().frames(url));
    StreamRecorder rec(s.get());
    QTRY_COMPARE(rec.endings, 1);
    QVERIFY(rec.error.has_value());
    QCOMPARE(rec.frames.size(), size_t(0));
}

namespace {

// A frame whose payload carries `size` characters of text, numbered by its rpcId.
QByteArray numberedFrame(int n, int size)
{
    return R"({"type":"server-request","rpcId":")" + QByteArray::number(n) + R"(","method":"m","payload":{"text":")"
           + QByteArray(size, 'x') + R"("}})";
}

} // namespace

void TestWireClient::streamFramesKeepArrivalOrderAcrossSizes()
{
    std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    StreamRecorder rec(s.get());
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    // Large frames take longer to decode than the small ones after them; garbage between.
    constexpr int kFrames = 60;
    for (int n = 0; n < kFrames; ++n) {
        const int size = n % 5 == 0 ? 2 * 1024 * 1024 : n % 3;
        if (n % 2)
            m_host->pushBinary(Stream::Mux, numberedFrame(n, size));
        else
            m_host->pushText(Stream::Mux, numberedFrame(n, size));
        if (n % 7 == 0)
            m_host->pushText(Stream::Mux, "{\"truncated\":");
    }
    QTRY_COMPARE_WITH_TIMEOUT(rec.frames.size(), size_t(kFrames), 30000);
    for (int n = 0; n < kFrames; ++n) {
        QCOMPARE(rec.frames[size_t(n)].rpcId, QString::number(n));
        QCOMPARE(rec.frames[size_t(n)].payload[u"text"]->string()->size(), n % 5 == 0 ? 2 * 1024 * 1024 : n % 3);
    }
    QCOMPARE(s->droppedMessages(), (kFrames + 6) / 7);
    QCOMPARE(rec.endings, 0);
}

// A burst of frames is handed on over several event-loop turns, in arrival order, and the
// end that follows it comes after the last of them.
void TestWireClient::streamBurstIsHandedOnInOrder()
{
    std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    StreamRecorder rec(s.get());
    size_t framesAtEnd = 0;
    QObject::connect(s.get(), &EventStream::ended, s.get(), [&] { framesAtEnd = rec.frames.size(); });
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    constexpr int kFrames = 30000;
    for (int n = 0; n < kFrames; ++n)
        m_host->pushText(Stream::Mux, numberedFrame(n, n % 4));
    m_host->closeStreams(Stream::Mux);
    QTRY_COMPARE_WITH_TIMEOUT(rec.endings, 1, 60000);
    QCOMPARE(framesAtEnd, size_t(kFrames));
    for (int n = 0; n < kFrames; ++n)
        QCOMPARE(rec.frames[size_t(n)].rpcId, QString::number(n));
}

void TestWireClient::streamEndsAfterEveryEarlierFrame()
{
    std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
    StreamRecorder rec(s.get());
    size_t framesAtEnd = 0;
    QObject::connect(s.get(), &EventStream::ended, s.get(), [&] { framesAtEnd = rec.frames.size(); });
    QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 1);
    for (int n = 0; n < 10; ++n)
        m_host->pushText(Stream::Mux, numberedFrame(n, 1024 * 1024));
    m_host->closeStreams(Stream::Mux);
    QTRY_COMPARE_WITH_TIMEOUT(rec.endings, 1, 30000);
    QVERIFY(rec.error.has_value());
    QCOMPARE(framesAtEnd, size_t(10));
    QCOMPARE(rec.frames.back().rpcId, QStringLiteral("9"));
    QVERIFY(s->hasEnded());
}

void TestWireClient::streamCancelledOrDeletedWhileDecodingDeliversNothingMore()
{
    // Frames large enough that more of them arrive while the first is decoded: the batch
    // behind it is being decoded when the first frame's receiver acts. A second stream on the
    // same path gets the same frames, decoded beside the first one's, and then one more: once
    // it has that one, the first stream's decoding has long ended and whatever it would still
    // deliver has been delivered.
    constexpr int kFrames = 20;
    auto pushFramesThenMarker = [this](int size, const std::function<bool()> &ended) {
        for (int n = 0; n < kFrames; ++n)
            m_host->pushText(Stream::Mux, numberedFrame(n, size));
        QTRY_VERIFY(ended());
        m_host->pushText(Stream::Mux, numberedFrame(kFrames, 0));
    };
    {
        std::unique_ptr<EventStream> s(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
        StreamRecorder rec(s.get());
        std::unique_ptr<EventStream> witness(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
        StreamRecorder seen(witness.get());
        size_t framesAtCancel = 0;
        // The first frame cancels the stream; the frames decoded behind it are dropped.
        QObject::connect(s.get(), &EventStream::frameReceived, s.get(), [&] {
            if (!s->hasEnded()) {
                framesAtCancel = rec.frames.size();
                s->cancel();
            }
        });
        QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 2);
        pushFramesThenMarker(512 * 1024, [&] { return rec.endings == 1; });
        QTRY_COMPARE_WITH_TIMEOUT(seen.frames.size(), size_t(kFrames + 1), 30000);
        QVERIFY(!rec.error.has_value());
        QCOMPARE(framesAtCancel, size_t(1));
        QCOMPARE(rec.frames.size(), framesAtCancel);
        QCOMPARE(rec.endings, 1);
        witness.reset();
        QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 0);
    }
    {
        // A receiver deletes the stream from its frame handler while more are being decoded.
        auto *s = EventStreamClient().frames(m_host->streamUrl(Stream::Mux));
        QPointer<EventStream> guard(s);
        int received = 0;
        QObject::connect(s, &EventStream::frameReceived, s, [&] {
            ++received;
            delete guard.data();
        });
        std::unique_ptr<EventStream> witness(EventStreamClient().frames(m_host->streamUrl(Stream::Mux)));
        StreamRecorder seen(witness.get());
        QTRY_COMPARE(m_host->connectedCount(Stream::Mux), 2);
        pushFramesThenMarker(256 * 1024, [&] { return guard.isNull(); });
        QTRY_COMPARE_WITH_TIMEOUT(seen.frames.size(), size_t(kFrames + 1), 30000);
        QCOMPARE(received, 1);
    }
}

QTEST_GUILESS_MAIN(TestWireClient)
#include "tst_wireclient.moc"
