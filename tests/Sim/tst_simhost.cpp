#include "SimDemoWorld.h"
#include "SimHost.h"
#include "SimWorld.h"

#include "Domain/SessionEvents.h"
#include "Session/TranscriptFold.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

using namespace Qt::StringLiterals;
using namespace nbd;
using nbd::sim::Reply;
using nbd::sim::SimHost;
using nbd::sim::Stream;

namespace {

constexpr int kWait = 10000; // a bound against hangs, not a timing check

QByteArray callBody(const QString &method, const JSONValue &payload = JSONValue::emptyObject(), const QString &rpcId = u"r1"_s)
{
    return *JSONValue::object({{u"type"_s, u"client-request"_s}, {u"rpcId"_s, rpcId}, {u"method"_s, method}, {u"payload"_s, payload}})
                .data();
}

QByteArray respondBody(const QString &rpcId = u"h1"_s)
{
    return *JSONValue::object({{u"type"_s, u"client-response"_s},
                               {u"rpcId"_s, rpcId},
                               {u"result"_s, JSONValue::object({{u"ok"_s, true}, {u"value"_s, nullptr}})}})
                .data();
}

JSONValue envelope(const JSONValue &result, const QString &rpcId = u"r1"_s)
{
    return JSONValue::object({{u"type"_s, u"server-response"_s}, {u"rpcId"_s, rpcId}, {u"result"_s, result}});
}

JSONValue okResult(const JSONValue &value) { return JSONValue::object({{u"ok"_s, true}, {u"value"_s, value}}); }

JSONValue errorResult(const QString &code, const QString &message, const JSONValue &details = {})
{
    return JSONValue::object(
        {{u"ok"_s, false},
         {u"error"_s, JSONValue::object({{u"code"_s, code}, {u"message"_s, message}, {u"details"_s, details}})}});
}

struct HttpResult
{
    bool finished = false;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray contentType;
};

class Client
{
public:
    Client() { m_nam.setProxy(QNetworkProxy::NoProxy); }

    QNetworkReply *start(const QByteArray &verb, const QUrl &url, const QByteArray &body = {})
    {
        QNetworkRequest request(url);
        if (verb == "POST")
            request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        return m_nam.sendCustomRequest(request, verb, body);
    }

    static HttpResult finish(QNetworkReply *reply)
    {
        HttpResult r;
        if (!reply->isFinished()) {
            QSignalSpy done(reply, &QNetworkReply::finished);
            done.wait(kWait);
        }
        r.finished = reply->isFinished();
        r.error = reply->error();
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.body = reply->readAll();
        r.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        reply->deleteLater();
        return r;
    }

    HttpResult send(const QByteArray &verb, const QUrl &url, const QByteArray &body = {})
    {
        return finish(start(verb, url, body));
    }

private:
    QNetworkAccessManager m_nam;
};

QUrl at(const SimHost &host, const QString &pathAndQuery)
{
    return host.baseUrl().resolved(QUrl(pathAndQuery));
}

// The path and body that reach a reply key.
std::pair<QString, QByteArray> requestFor(const QString &key)
{
    if (key == u"respond"_s)
        return {u"/api/respond"_s, respondBody()};
    return {u"/api/"_s + key, callBody(key)};
}

std::unique_ptr<QWebSocket> openStream(const QUrl &url)
{
    auto socket = std::make_unique<QWebSocket>();
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->open(url);
    return socket;
}

bool waitConnected(QWebSocket &socket)
{
    if (socket.state() == QAbstractSocket::ConnectedState)
        return true;
    QSignalSpy connected(&socket, &QWebSocket::connected);
    return connected.wait(kWait);
}

} // namespace

class tst_SimHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_host = std::make_unique<SimHost>();
        QVERIFY(m_host->listen());
        QVERIFY(m_host->port() != 0);
        QCOMPARE(m_host->baseUrl(), QUrl(u"http://127.0.0.1:%1"_s.arg(m_host->port())));
    }
    void cleanup() { m_host.reset(); }

    void routes_data();
    void routes();
    void replyKinds_data();
    void replyKinds();
    void repliesInOrderAndHandlers();
    void exportAndRequestLog();
    void neverAnswersUntilStopAndListenAgain();
    void delayedRepliesAreDueUntilCarriedOut();
    void streams();
    void upgradesElsewhereAreRefused_data();
    void upgradesElsewhereAreRefused();
    void destroyedWhileBusy();
    void demoWorldServesItsSessions();
    void runsGoOnFromTheLoggedTurns();

private:
    std::unique_ptr<SimHost> m_host;
    Client m_client;
};

void tst_SimHost::routes_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<JSONValue>("expected"); // null: body not compared

    const JSONValue none;
    QTest::newRow("host.describe default") << QByteArray("POST") << u"/api/host.describe"_s << callBody(u"host.describe"_s)
                                           << 200 << envelope(okResult(SimHost::defaultHostDescription()));
    QTest::newRow("unknown method") << QByteArray("POST") << u"/api/session.list"_s << callBody(u"session.list"_s) << 200
                                    << envelope(errorResult(u"method_not_found"_s, u"unknown method session.list"_s));
    QTest::newRow("unknown endpoint")
        << QByteArray("POST") << u"/api/commands/execute"_s
        << callBody(u"commands/execute"_s, JSONValue::object({{u"args"_s, nullptr}}), u"r2"_s) << 200
        << envelope(errorResult(u"method_not_found"_s, u"unknown method commands/execute"_s), u"r2"_s);
    QTest::newRow("respond default") << QByteArray("POST") << u"/api/respond"_s << respondBody() << 200
                                     << JSONValue::object({{u"accepted"_s, true}});
    QTest::newRow("export not set") << QByteArray("GET") << u"/api/session.export?sessionId=s1"_s << QByteArray() << 404 << none;
    QTest::newRow("stream path, plain GET") << QByteArray("GET") << u"/api/events.mux"_s << QByteArray() << 426 << none;
    QTest::newRow("GET of a method") << QByteArray("GET") << u"/api/host.describe"_s << QByteArray() << 404 << none;
    QTest::newRow("three words") << QByteArray("POST") << u"/api/a/b/c"_s << callBody(u"a/b/c"_s) << 404 << none;
    QTest::newRow("outside api") << QByteArray("POST") << u"/host.describe"_s << callBody(u"host.describe"_s) << 404 << none;
    QTest::newRow("empty method") << QByteArray("POST") << u"/api/"_s << callBody(QString()) << 404 << none;
    QTest::newRow("empty endpoint word") << QByteArray("POST") << u"/api/a//b"_s << callBody(u"a//b"_s) << 404 << none;
    QTest::newRow("body not JSON") << QByteArray("POST") << u"/api/host.describe"_s << QByteArray("not json") << 400 << none;
    QTest::newRow("body empty") << QByteArray("POST") << u"/api/host.describe"_s << QByteArray() << 400 << none;
    QTest::newRow("body truncated") << QByteArray("POST") << u"/api/host.describe"_s
                                    << callBody(u"host.describe"_s).chopped(1) << 400 << none;
    QTest::newRow("payload missing") << QByteArray("POST") << u"/api/host.describe"_s
                                     << QByteArray(R"({"type":"client-request","rpcId":"r","method":"host.describe"})") << 400
                                     << none;
    QTest::newRow("wrong type") << QByteArray("POST") << u"/api/host.describe"_s
                                << QByteArray(R"({"type":"client-response","rpcId":"r","method":"host.describe","payload":{}})")
                                << 400 << none;
    QTest::newRow("rpcId a number") << QByteArray("POST") << u"/api/host.describe"_s
                                    << QByteArray(R"({"type":"client-request","rpcId":1,"method":"host.describe","payload":{}})")
                                    << 400 << none;
    QTest::newRow("method differs from path") << QByteArray("POST") << u"/api/session.list"_s << callBody(u"host.describe"_s)
                                              << 400 << none;
    QTest::newRow("respond, array body") << QByteArray("POST") << u"/api/respond"_s << QByteArray("[1]") << 400 << none;
    QTest::newRow("respond, no result") << QByteArray("POST") << u"/api/respond"_s
                                        << QByteArray(R"({"type":"client-response","rpcId":"h"})") << 400 << none;
}

void tst_SimHost::routes()
{
    QFETCH(QByteArray, verb);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(JSONValue, expected);

    const HttpResult r = m_client.send(verb, at(*m_host, path), body);
    QVERIFY(r.finished);
    QCOMPARE(r.status, status);
    if (!expected.isNull()) {
        QCOMPARE(r.contentType, QByteArray("application/json"));
        QCOMPARE(parseJSON(r.body), expected);
    }
}

void tst_SimHost::replyKinds_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // exact bytes, or JSON when it parses

    const JSONValue n1 = JSONValue::object({{u"n"_s, 1}});
    const QByteArray errorEnvelope = *envelope(errorResult(u"E"_s, u"m"_s), u"other"_s).data();
    const auto ok = QNetworkReply::NoError;

    QTest::newRow("value") << u"session.list"_s << Reply::value(n1) << ok << 200 << *envelope(okResult(n1)).data();
    QTest::newRow("null value") << u"session.list"_s << Reply::value({}) << ok << 200 << *envelope(okResult({})).data();
    QTest::newRow("error with details") << u"a/b"_s << Reply::error(u"E"_s, u"m"_s, n1) << ok << 200
                                        << *envelope(errorResult(u"E"_s, u"m"_s, n1)).data();
    QTest::newRow("500 with an error envelope") << u"session.list"_s << Reply::status(500, errorEnvelope)
                                                << QNetworkReply::InternalServerError << 500 << errorEnvelope;
    QTest::newRow("204 empty") << u"session.list"_s << Reply::status(204) << ok << 204 << QByteArray();
    QTest::newRow("raw not json") << u"session.list"_s << Reply::raw("not json") << ok << 200 << QByteArray("not json");
    QTest::newRow("raw 201") << u"session.list"_s << Reply::raw("{}", 201) << ok << 201 << QByteArray("{}");
    QTest::newRow("delayed value") << u"host.describe"_s << Reply::value(n1).delayed(50) << ok << 200
                                   << *envelope(okResult(n1)).data();
    QTest::newRow("drop") << u"session.list"_s << Reply::drop() << QNetworkReply::RemoteHostClosedError << 0 << QByteArray();
    QTest::newRow("delayed drop") << u"a/b"_s << Reply::drop().delayed(50) << QNetworkReply::RemoteHostClosedError << 0
                                  << QByteArray();
    QTest::newRow("respond value is bare")
        << u"respond"_s << Reply::value(JSONValue::object({{u"accepted"_s, false}, {u"reason"_s, u"busy"_s}})) << ok << 200
        << QByteArray(R"({"accepted":false,"reason":"busy"})");
}

void tst_SimHost::replyKinds()
{
    QFETCH(QString, key);
    QFETCH(Reply, reply);
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    m_host->setReply(key, reply);
    QSignalSpy written(m_host.get(), &SimHost::requestFinished);
    const auto [path, requestBody] = requestFor(key);
    const HttpResult r = m_client.send("POST", at(*m_host, path), requestBody);
    QVERIFY(r.finished);
    // Every answer the client saw was announced first, delayed ones included, and none is
    // still counted as due.
    QVERIFY(!written.isEmpty());
    QCOMPARE(m_host->repliesDue(), 0);
    QCOMPARE(written.size(), m_host->requests(key).size());
    QCOMPARE(written.at(0).at(0).value<sim::LoggedRequest>().path, path);
    QCOMPARE(r.error, error);
    QCOMPARE(r.status, status);
    if (auto json = tryParseJSON(body))
        QCOMPARE(parseJSON(r.body), *json);
    else
        QCOMPARE(r.body, body);
    if (error == QNetworkReply::RemoteHostClosedError)
        QVERIFY(!m_host->requests(key).isEmpty()); // Qt's client sends a dropped request again
    else
        QCOMPARE(m_host->requests(key).size(), 1);
}

void tst_SimHost::repliesInOrderAndHandlers()
{
    const QString method = u"session.list"_s;
    m_host->setReplies(method, {Reply::value(1), Reply::error(u"E"_s, u"m"_s), Reply::value(3)});
    const QUrl url = at(*m_host, u"/api/session.list"_s);
    const JSONValue expected[] = {envelope(okResult(1)), envelope(errorResult(u"E"_s, u"m"_s)), envelope(okResult(3)),
                                  envelope(okResult(3))};
    for (const JSONValue &e : expected)
        QCOMPARE(parseJSON(m_client.send("POST", url, callBody(method)).body), e);

    m_host->setHandler(method, [](const sim::LoggedRequest &request) {
        return Reply::value(JSONValue::object({{u"echo"_s, request.payload}, {u"id"_s, request.rpcId}}));
    });
    const JSONValue payload = JSONValue::object({{u"q"_s, u"x"_s}});
    QCOMPARE(parseJSON(m_client.send("POST", url, callBody(method, payload, u"r7"_s)).body),
             envelope(okResult(JSONValue::object({{u"echo"_s, payload}, {u"id"_s, u"r7"_s}})), u"r7"_s));

    // Back to the default, and a description set for every later call.
    m_host->clearReply(method);
    QCOMPARE(parseJSON(m_client.send("POST", url, callBody(method)).body),
             envelope(errorResult(u"method_not_found"_s, u"unknown method session.list"_s)));
    const JSONValue description = SimHost::defaultHostDescription().with(u"version"_s, u"9.9.9"_s);
    m_host->setHostDescription(description);
    QCOMPARE(parseJSON(m_client.send("POST", at(*m_host, u"/api/host.describe"_s), callBody(u"host.describe"_s)).body),
             envelope(okResult(description)));
}

void tst_SimHost::exportAndRequestLog()
{
    QSignalSpy received(m_host.get(), &SimHost::requestReceived);
    const QByteArray zip("PK\x03\x04 archive\x00\xff", 14);
    m_host->setExport(u"s 1"_s, zip);

    HttpResult r = m_client.send("GET", at(*m_host, u"/api/session.export?sessionId=s%201"_s));
    QCOMPARE(r.status, 200);
    QCOMPARE(r.body, zip);
    QCOMPARE(r.contentType, QByteArray("application/zip"));
    QCOMPARE(m_client.send("GET", at(*m_host, u"/api/session.export?sessionId=s2"_s)).status, 404);

    const JSONValue payload = JSONValue::object({{u"args"_s, JSONValue::array({1, 2})}});
    r = m_client.send("POST", at(*m_host, u"/api/pluginInventory/list"_s), callBody(u"pluginInventory/list"_s, payload, u"r5"_s));
    QCOMPARE(r.status, 200);

    const QList<sim::LoggedRequest> all = m_host->requests();
    QCOMPARE(all.size(), 3);
    QCOMPARE(received.size(), 3);
    QCOMPARE(all[0].method, u"session.export"_s);
    QCOMPARE(all[0].httpMethod, u"GET"_s);
    QCOMPARE(all[0].path, u"/api/session.export"_s);
    QCOMPARE(all[0].query, u"sessionId=s%201"_s);
    const sim::LoggedRequest &call = all[2];
    QCOMPARE(call.httpMethod, u"POST"_s);
    QCOMPARE(call.path, u"/api/pluginInventory/list"_s);
    QCOMPARE(call.method, u"pluginInventory/list"_s);
    QCOMPARE(call.rpcId, u"r5"_s);
    QCOMPARE(call.payload, payload);
    QCOMPARE(call.body, parseJSON(call.rawBody));
    QCOMPARE(call.headers.value("content-type"), QByteArray("application/json"));
    QVERIFY(call.headers.contains("host"));
    QCOMPARE(received.at(2).at(0).value<sim::LoggedRequest>().rpcId, u"r5"_s);
    QCOMPARE(m_host->requests(u"session.export"_s).size(), 2);
    QCOMPARE(m_host->requests(u"host.describe"_s).size(), 0);

    m_host->clearRequests();
    QVERIFY(m_host->requests().isEmpty());
}

void tst_SimHost::neverAnswersUntilStopAndListenAgain()
{
    m_host->setReply(u"session.list"_s, Reply::never());
    QSignalSpy written(m_host.get(), &SimHost::requestFinished);
    QNetworkReply *pending = m_client.start("POST", at(*m_host, u"/api/session.list"_s), callBody(u"session.list"_s));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->requests(u"session.list"_s).size(), 1, kWait);

    // Another request is answered while the first still waits; only its answer is announced.
    QCOMPARE(m_client.send("POST", at(*m_host, u"/api/host.describe"_s), callBody(u"host.describe"_s)).status, 200);
    QVERIFY(!pending->isFinished());
    QCOMPARE(written.size(), 1);
    QCOMPARE(written.at(0).at(0).value<sim::LoggedRequest>().method, u"host.describe"_s);

    auto stream = openStream(m_host->streamUrl(Stream::Mux));
    QVERIFY(waitConnected(*stream));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connectedCount(Stream::Mux), 1, kWait);
    QSignalSpy gone(m_host.get(), &SimHost::streamDisconnected);
    QSignalSpy clientGone(stream.get(), &QWebSocket::disconnected);

    const quint16 port = m_host->port();
    m_host->stop();
    QVERIFY(!m_host->isListening());
    const HttpResult dropped = Client::finish(pending);
    QVERIFY(dropped.finished);
    // Qt's client retries once when the connection closes unanswered, and finds no listener.
    QVERIFY2(dropped.error == QNetworkReply::RemoteHostClosedError || dropped.error == QNetworkReply::ConnectionRefusedError,
             QByteArray::number(int(dropped.error)).constData());
    QCOMPARE(m_host->connectedCount(Stream::Mux), 0);
    QCOMPARE(gone.size(), 1);
    QVERIFY(clientGone.size() == 1 || clientGone.wait(kWait));
    QVERIFY(m_host->clientCloseCodes(Stream::Mux).isEmpty()); // the host ended it

    Client fresh; // no pooled connection to the old listener
    QCOMPARE(fresh.send("POST", at(*m_host, u"/api/host.describe"_s), callBody(u"host.describe"_s)).error,
             QNetworkReply::ConnectionRefusedError);

    QVERIFY(m_host->listenAgain());
    QCOMPARE(m_host->port(), port);
    QCOMPARE(fresh.send("POST", at(*m_host, u"/api/host.describe"_s), callBody(u"host.describe"_s)).status, 200);
    auto again = openStream(m_host->streamUrl(Stream::Mux));
    QVERIFY(waitConnected(*again));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connectedCount(Stream::Mux), 1, kWait);
}

void tst_SimHost::delayedRepliesAreDueUntilCarriedOut()
{
    // Far off, so that it is still due whenever it is looked at.
    m_host->setReply(u"session.list"_s, Reply::value(1).delayed(600000));
    m_host->setReply(u"session.get"_s, Reply::never());
    QNetworkReply *delayed = m_client.start("POST", at(*m_host, u"/api/session.list"_s), callBody(u"session.list"_s));
    QNetworkReply *never = m_client.start("POST", at(*m_host, u"/api/session.get"_s), callBody(u"session.get"_s));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->requests().size(), 2, kWait);
    // The answer that never comes leaves the host nothing to do; the delayed one is owed.
    QCOMPARE(m_host->repliesDue(), 1);
    // One answered at once is never counted, not even while the delayed one waits.
    QCOMPARE(m_client.send("POST", at(*m_host, u"/api/host.describe"_s), callBody(u"host.describe"_s)).status, 200);
    QCOMPARE(m_host->repliesDue(), 1);
    QVERIFY(!delayed->isFinished() && !never->isFinished());
    delayed->abort();
    never->abort();
    delete delayed;
    delete never;
}

void tst_SimHost::streams()
{
    QSignalSpy connected(m_host.get(), &SimHost::streamConnected);
    auto mux = openStream(m_host->streamUrl(Stream::Mux));
    auto host = openStream(m_host->streamUrl(Stream::Host));
    QVERIFY(waitConnected(*mux));
    QVERIFY(waitConnected(*host));
    QCOMPARE(connected.size(), 2);
    QCOMPARE(m_host->connectedCount(Stream::Mux), 1);
    QCOMPARE(m_host->connectedCount(Stream::Host), 1);
    QCOMPARE(m_host->upgradeRequests().size(), 2);
    QVERIFY(m_host->requests().isEmpty());

    QSignalSpy muxText(mux.get(), &QWebSocket::textMessageReceived);
    QSignalSpy muxBinary(mux.get(), &QWebSocket::binaryMessageReceived);
    QSignalSpy hostText(host.get(), &QWebSocket::textMessageReceived);

    const JSONValue payload = JSONValue::object({{u"a"_s, 1}});
    QCOMPARE(m_host->pushFrame(Stream::Mux, u"session/event"_s, payload, u"r9"_s), u"r9"_s);
    const QString freshId = m_host->pushFrame(Stream::Host, u"host/event"_s, {});
    QCOMPARE(freshId.size(), 36);
    QCOMPARE(freshId, freshId.toLower());
    m_host->pushText(Stream::Mux, "garbage");
    m_host->pushBinary(Stream::Mux, "\x01\x02");

    QTRY_COMPARE_WITH_TIMEOUT(muxText.size(), 2, kWait);
    QCOMPARE(parseJSON(muxText.at(0).at(0).toString().toUtf8()),
             JSONValue::object({{u"type"_s, u"server-request"_s},
                                {u"rpcId"_s, u"r9"_s},
                                {u"method"_s, u"session/event"_s},
                                {u"payload"_s, payload}}));
    QCOMPARE(muxText.at(1).at(0).toString(), u"garbage"_s);
    QTRY_COMPARE_WITH_TIMEOUT(muxBinary.size(), 1, kWait);
    QCOMPARE(muxBinary.at(0).at(0).toByteArray(), QByteArray("\x01\x02"));
    // Each stream got only its own frame.
    QTRY_COMPARE_WITH_TIMEOUT(hostText.size(), 1, kWait);
    QCOMPARE(parseJSON(hostText.at(0).at(0).toString().toUtf8()),
             JSONValue::object({{u"type"_s, u"server-request"_s},
                                {u"rpcId"_s, freshId},
                                {u"method"_s, u"host/event"_s},
                                {u"payload"_s, nullptr}}));

    QCOMPARE(m_host->messagesFromClients(), 0);
    mux->sendTextMessage(u"hello"_s);
    QTRY_COMPARE_WITH_TIMEOUT(m_host->messagesFromClients(), 1, kWait);

    // Client-side endings are recorded: a close frame's code, or -1 for a dropped socket.
    QSignalSpy gone(m_host.get(), &SimHost::streamDisconnected);
    mux->close(QWebSocketProtocol::CloseCodeGoingAway);
    host->abort();
    QTRY_COMPARE_WITH_TIMEOUT(gone.size(), 2, kWait);
    QCOMPARE(m_host->clientCloseCodes(Stream::Mux), QList<int>{1001});
    QCOMPARE(m_host->clientCloseCodes(Stream::Host), QList<int>{-1});
    QCOMPARE(m_host->connectedCount(Stream::Mux), 0);
    QCOMPARE(m_host->connectedCount(Stream::Host), 0);

    // Host-side endings reach the client and are not counted as the client's.
    auto closed = openStream(m_host->streamUrl(Stream::Host));
    auto aborted = openStream(m_host->streamUrl(Stream::Mux));
    QVERIFY(waitConnected(*closed));
    QVERIFY(waitConnected(*aborted));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connectedCount(Stream::Host) + m_host->connectedCount(Stream::Mux), 2, kWait);
    QSignalSpy closedGone(closed.get(), &QWebSocket::disconnected);
    QSignalSpy abortedGone(aborted.get(), &QWebSocket::disconnected);
    m_host->closeStreams(Stream::Host, QWebSocketProtocol::CloseCodePolicyViolated);
    m_host->abortStreams(Stream::Mux);
    QVERIFY(closedGone.size() == 1 || closedGone.wait(kWait));
    QVERIFY(abortedGone.size() == 1 || abortedGone.wait(kWait));
    QCOMPARE(closed->closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connectedCount(Stream::Host) + m_host->connectedCount(Stream::Mux), 0, kWait);
    QCOMPARE(m_host->clientCloseCodes(Stream::Host), QList<int>{-1});
    QCOMPARE(m_host->clientCloseCodes(Stream::Mux), QList<int>{1001});
    QCOMPARE(m_host->messagesFromClients(), 1);
}

void tst_SimHost::upgradesElsewhereAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("other stream name") << u"/api/events.other"_s;
    QTest::newRow("a method path") << u"/api/session.list"_s;
    QTest::newRow("below a stream") << u"/api/events.mux/x"_s;
    QTest::newRow("doubled slash") << u"//api/events.mux"_s;
    QTest::newRow("root") << u"/"_s;
}

void tst_SimHost::upgradesElsewhereAreRefused()
{
    QFETCH(QString, path);
    QUrl url = m_host->streamUrl(Stream::Mux);
    url.setPath(path);
    auto socket = openStream(url);
    QSignalSpy failed(socket.get(), qOverload<QAbstractSocket::SocketError>(&QWebSocket::error));
    QSignalSpy connected(socket.get(), &QWebSocket::connected);
    QVERIFY(failed.wait(kWait));
    QCOMPARE(connected.size(), 0);
    QCOMPARE(m_host->connectedCount(Stream::Mux) + m_host->connectedCount(Stream::Host), 0);
    QCOMPARE(m_host->upgradeRequests().size(), 1);
    QCOMPARE(m_host->upgradeRequests().first().path, path);
}

void tst_SimHost::destroyedWhileBusy()
{
    m_host->setReply(u"session.list"_s, Reply::never());
    m_host->setReply(u"host.describe"_s, Reply::value(1).delayed(60000));
    QNetworkReply *never = m_client.start("POST", at(*m_host, u"/api/session.list"_s), callBody(u"session.list"_s));
    QNetworkReply *late = m_client.start("POST", at(*m_host, u"/api/host.describe"_s), callBody(u"host.describe"_s));
    auto stream = openStream(m_host->streamUrl(Stream::Host));
    QVERIFY(waitConnected(*stream));
    QTRY_COMPARE_WITH_TIMEOUT(m_host->requests().size(), 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(m_host->connectedCount(Stream::Host), 1, kWait);
    QSignalSpy streamGone(stream.get(), &QWebSocket::disconnected);

    m_host.reset();
    QVERIFY(Client::finish(never).error != QNetworkReply::NoError);
    QVERIFY(Client::finish(late).error != QNetworkReply::NoError);
    QVERIFY(streamGone.size() == 1 || streamGone.wait(kWait));
}

// A prompt to a session with history starts the turn after the last one in its log.
void tst_SimHost::runsGoOnFromTheLoggedTurns()
{
    sim::SimWorld world(m_host.get());
    sim::SimWorld::Session session;
    session.id = u"s1"_s;
    world.addSession(session);
    world.appendEvent(u"s1"_s, sim::events::userMessage(u"u1"_s, u"earlier"_s));
    world.appendEvent(u"s1"_s, sim::events::turnStart(3));
    world.appendEvent(u"s1"_s, sim::events::turnEnd(3));
    world.setScript(sim::SimWorld::textScript(u"again"_s));
    auto turnsStarted = [&] {
        QList<qint64> turns;
        for (const JSONValue &entry : world.logs().entries(u"s1"_s)) {
            const JSONValue *event = entry.find(u"event");
            if (event && event->find(u"type")->string() == std::optional<QString>(u"turn/start"_s))
                turns << event->find(u"data")->find(u"turn")->toInt().value_or(-1);
        }
        return turns;
    };
    world.promptAsUser(u"s1"_s, u"next"_s);
    QTRY_COMPARE(turnsStarted(), (QList<qint64>{3, 4}));
    QTRY_VERIFY(!world.isRunActive(u"s1"_s));
    world.promptAsUser(u"s1"_s, u"and next"_s);
    QTRY_COMPARE(turnsStarted(), (QList<qint64>{3, 4, 5}));
}

QTEST_GUILESS_MAIN(tst_SimHost)
#include "tst_simhost.moc"

// The demo world (scripts/run, screenshots) is built from hand-written JSON: every piece of it
// must parse, and the client must decode what it serves.
void tst_SimHost::demoWorldServesItsSessions()
{
    std::unique_ptr<sim::SimWorld> world;
    try {
        world = sim::makeDemoWorld(m_host.get());
    } catch (const std::exception &error) {
        QFAIL(error.what());
    }
    QVERIFY(world);

    const HttpResult list = m_client.send("POST", at(*m_host, u"/api/session.list"_s), callBody(u"session.list"_s));
    QCOMPARE(list.status, 200);
    QVERIFY(list.body.contains("s-parser"));

    const auto historyOf = [this](const QString &sessionId) {
        const JSONValue payload = JSONValue::object({{u"sessionId"_s, sessionId}, {u"maxMessages"_s, 200}});
        const HttpResult page = m_client.send("POST", at(*m_host, u"/api/session.history"_s),
                                              callBody(u"session.history"_s, payload));
        const JSONValue reply = parseJSON(page.body);
        const JSONValue *value = reply.find(u"result"_s) ? reply.find(u"result"_s)->find(u"value"_s) : nullptr;
        if (page.status != 200 || !value)
            throw std::runtime_error(page.body.toStdString());
        return SessionHistoryValue::fromJson(*value);
    };
    SessionHistoryValue history;
    SessionHistoryValue login;
    try {
        history = historyOf(u"s-parser"_s);
        login = historyOf(u"s-login"_s);
    } catch (const std::exception &error) {
        QFAIL(error.what());
    }

    // The transcript shows a step's blocks by the place they took in the log: each step of the
    // working history must keep its message's order (reasoning, text, then the tool call), not
    // put the call that was logged apart before the text it follows.
    FoldState folded;
    TranscriptFold::foldHistory(login.events, folded);
    int steps = 0;
    for (const TranscriptItem &item : folded.items) {
        const auto *turn = std::get_if<TurnItem>(&item);
        if (!turn)
            continue;
        for (const StepItem &step : turn->steps) {
            std::vector<BlockItem> shown = step.blocks;
            std::stable_sort(shown.begin(), shown.end(), [](const BlockItem &a, const BlockItem &b) { return a.seq < b.seq; });
            std::vector<qint64> order;
            for (const BlockItem &block : shown)
                order.push_back(block.index);
            std::vector<qint64> message = order;
            std::sort(message.begin(), message.end());
            QCOMPARE(order, message);
            steps += step.blocks.size() > 1 ? 1 : 0;
        }
    }
    QVERIFY(steps >= 2);
    QStringList cards;
    for (const HistoryEntry &entry : history.events) {
        if (!entry.view)
            continue;
        const JSONValue *card = entry.view->view.find(u"card"_s);
        cards.append(card && card->isString() ? *card->string() : u"-"_s);
    }
    QCOMPARE(cards, (QStringList{u"search"_s, u"read"_s, u"diff"_s, u"terminal"_s, u"web"_s, u"web"_s, u"-"_s}));

    // Its turns end as the host reports a finished turn: completed, not for an unknown reason.
    FoldState state;
    TranscriptFold::foldHistory(history.events, state);
    qsizetype turns = 0;
    for (const TranscriptItem &item : state.items) {
        if (const auto *turn = std::get_if<TurnItem>(&item)) {
            ++turns;
            QVERIFY(turn->status.endReason());
            QCOMPARE(*turn->status.endReason(), TurnEndReason::completed);
        }
    }
    QVERIFY(turns > 0);

    // The login session's calls keep their blocks, each with its result.
    QStringList calls;
    for (const TranscriptItem &item : folded.items) {
        if (const auto *turn = std::get_if<TurnItem>(&item)) {
            for (const StepItem &step : turn->steps) {
                for (const BlockItem &block : step.blocks) {
                    if (block.kind == BlockKind::toolCall && block.resultText)
                        calls << block.toolName.value_or(QString()) + u' ' + block.arguments;
                }
            }
        } else if (const auto *notice = std::get_if<NoticeItem>(&item)) {
            QVERIFY2(!notice->text.contains(u"工具结果"_s), qPrintable(notice->text));
        }
    }
    QCOMPARE(calls, (QStringList{u"read {\"path\": \"src/middleware/session.ts\"}"_s,
                                 u"bash {\"command\": \"npm test -- login\"}"_s}));
}
