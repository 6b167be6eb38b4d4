#include "Domain/SessionEvents.h"
#include "RecordTestSupport.h"

#include <QTest>

using namespace nbd;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(nbd::SessionEventValueError::Kind)

class TestSessionEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void liveDecoder_data();
    void liveDecoder();
    void liveDecoderKeepsMembers();
    void liveAndRecordAgree();
    void historyPage_data();
    void historyPage();
    void historyEntries();
    void errorDescriptions();
};

void TestSessionEvents::liveDecoder_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<nbd::SessionEventValueError::Kind>("kind");
    QTest::addColumn<QString>("key");
    QTest::addColumn<qint64>("seq");

    using K = SessionEventValueError::Kind;
    const auto ok = [](const char *name, const char *text, qint64 seq) {
        QTest::newRow(name) << QByteArray(text) << true << K::ExpectedObject << QString() << seq;
    };
    const auto bad = [](const char *name, const char *text, K kind, const QString &key) {
        QTest::newRow(name) << QByteArray(text) << false << kind << key << qint64(0);
    };

    ok("plain", R"({"type":"turn/start","seq":3,"time":1.5,"data":{}})", 3);
    ok("seq 7.0", R"({"type":"t","seq":7.0,"time":0,"data":1})", 7);
    ok("seq -2^63", R"({"type":"t","seq":-9223372036854775808,"time":0,"data":1})",
       std::numeric_limits<qint64>::min());
    ok("seq 2^53", R"({"type":"t","seq":9007199254740992,"time":0,"data":1})", 9007199254740992LL);
    ok("data null", R"({"type":"t","seq":1,"time":0,"data":null})", 1);
    ok("surfaceOp null", R"({"type":"t","seq":1,"time":0,"data":1,"surfaceOp":null})", 1);
    ok("ignorable null", R"({"type":"t","seq":1,"time":0,"data":1,"ignorable":null})", 1);
    ok("sourceEventSeqs empty", R"({"type":"t","seq":1,"time":0,"data":1,"sourceEventSeqs":[]})", 1);
    ok("sourceEventSeqs null", R"({"type":"t","seq":1,"time":0,"data":1,"sourceEventSeqs":null})", 1);
    ok("unknown members", R"({"type":"t","seq":1,"time":0,"data":1,"extra":[1,2],"view":{}})", 1);

    bad("array", R"([{"type":"t"}])", K::ExpectedObject, {});
    bad("string", R"("event")", K::ExpectedObject, {});
    bad("null", "null", K::ExpectedObject, {});
    bad("empty object", "{}", K::MissingField, u"type"_s);
    bad("type number", R"({"type":1,"seq":1,"time":0,"data":1})", K::InvalidField, u"type"_s);
    bad("type null", R"({"type":null,"seq":1,"time":0,"data":1})", K::InvalidField, u"type"_s);
    bad("seq missing", R"({"type":"t","time":0,"data":1})", K::MissingField, u"seq"_s);
    bad("seq 7.5", R"({"type":"t","seq":7.5,"time":0,"data":1})", K::InvalidField, u"seq"_s);
    bad("seq 2^63", R"({"type":"t","seq":9223372036854775808,"time":0,"data":1})", K::InvalidField, u"seq"_s);
    bad("seq string", R"({"type":"t","seq":"7","time":0,"data":1})", K::InvalidField, u"seq"_s);
    bad("seq null", R"({"type":"t","seq":null,"time":0,"data":1})", K::InvalidField, u"seq"_s);
    bad("seq bool", R"({"type":"t","seq":true,"time":0,"data":1})", K::InvalidField, u"seq"_s);
    bad("time missing", R"({"type":"t","seq":1,"data":1})", K::MissingField, u"time"_s);
    bad("time string", R"({"type":"t","seq":1,"time":"now","data":1})", K::InvalidField, u"time"_s);
    bad("data missing", R"({"type":"t","seq":1,"time":0})", K::MissingField, u"data"_s);
    bad("sourceEventSeqs fraction", R"({"type":"t","seq":1,"time":0,"data":1,"sourceEventSeqs":[1,2.5]})",
        K::InvalidField, u"sourceEventSeqs"_s);
    bad("sourceEventSeqs object", R"({"type":"t","seq":1,"time":0,"data":1,"sourceEventSeqs":{}})",
        K::InvalidField, u"sourceEventSeqs"_s);
    bad("sourceEventSeqs null element", R"({"type":"t","seq":1,"time":0,"data":1,"sourceEventSeqs":[null]})",
        K::InvalidField, u"sourceEventSeqs"_s);
    bad("ignorable string", R"({"type":"t","seq":1,"time":0,"data":1,"ignorable":"true"})", K::InvalidField,
        u"ignorable"_s);
    bad("ignorable number", R"({"type":"t","seq":1,"time":0,"data":1,"ignorable":1})", K::InvalidField,
        u"ignorable"_s);
    // The first failing member in the fixed order is the one reported.
    bad("seq before time", R"({"type":"t","seq":0.5,"data":1})", K::InvalidField, u"seq"_s);
    bad("data before ignorable", R"({"type":"t","seq":1,"time":0,"ignorable":"x"})", K::MissingField, u"data"_s);
    bad("type before all", R"({"seq":"x"})", K::MissingField, u"type"_s);
}

void TestSessionEvents::liveDecoder()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, decodes);
    QFETCH(nbd::SessionEventValueError::Kind, kind);
    QFETCH(QString, key);
    QFETCH(qint64, seq);

    const JSONValue value = parseJSON(text);
    try {
        const SessionEvent e = SessionEvent::fromLiveValue(value);
        QVERIFY2(decodes, "decoded a value that should fail");
        QCOMPARE(e.seq, seq);
    } catch (const SessionEventValueError &error) {
        QVERIFY2(!decodes, qPrintable(error.description()));
        QCOMPARE(error.kind(), kind);
        QCOMPARE(error.key(), key);
    }
}

void TestSessionEvents::liveDecoderKeepsMembers()
{
    const JSONValue value = test::json(R"({"type":"assistant/message","seq":12,"time":1700000000.25,
        "data":{"text":"你好","parts":[1,null]},"sourceEventSeqs":[9,10,11],
        "surfaceOp":{"op":"replace"},"ignorable":false})");
    const SessionEvent e = SessionEvent::fromLiveValue(value);
    QCOMPARE(e.type, u"assistant/message"_s);
    QCOMPARE(e.time, 1700000000.25);
    QCOMPARE(e.data, *value.find(u"data"));
    QCOMPARE(e.sourceEventSeqs, (std::vector<qint64>{9, 10, 11}));
    QCOMPARE(e.surfaceOp, test::json(R"({"op":"replace"})"));
    QCOMPARE(e.ignorable, std::optional<bool>(false));

    const SessionEvent nullData =
        SessionEvent::fromLiveValue(test::json(R"({"type":"t","seq":1,"time":0,"data":null,"surfaceOp":null})"));
    QVERIFY(nullData.data.isNull());
    QVERIFY(!nullData.surfaceOp);
    QVERIFY(!nullData.sourceEventSeqs);
    QVERIFY(!nullData.ignorable);

    const SessionEvent empty =
        SessionEvent::fromLiveValue(test::json(R"({"type":"t","seq":1,"time":0,"data":0,"sourceEventSeqs":[]})"));
    QVERIFY(empty.sourceEventSeqs.has_value());
    QVERIFY(empty.sourceEventSeqs->empty());
}

void TestSessionEvents::liveAndRecordAgree()
{
    const JSONValue value = test::json(R"({"type":"tool/result","seq":40,"time":3,"data":[1,"二"],
        "sourceEventSeqs":[1],"surfaceOp":{"op":"append"},"ignorable":true,"unknown":1})");
    const SessionEvent live = SessionEvent::fromLiveValue(value);
    const SessionEvent record = SessionEvent::fromJson(value);
    QCOMPARE(live, record);

    SessionEvent other = record;
    other.ignorable = std::nullopt;
    QVERIFY(other != record);
}

void TestSessionEvents::historyPage_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty page") << QByteArray(R"({"events":[],"hasMore":false})") << true << QString();
    QTest::newRow("entry view null")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":null},"view":null}],"hasMore":true})")
        << true << QString();
    QTest::newRow("seq 7.0 on history")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":7.0,"time":0,"data":1}}],"hasMore":true})") << true
        << QString();
    QTest::newRow("with projections")
        << QByteArray(R"({"events":[],"hasMore":false,"projections":{"asOfSeq":4,"values":{"title":"x"}}})") << true
        << QString();
    QTest::newRow("projections null") << QByteArray(R"({"events":[],"hasMore":false,"projections":null})") << true
                                      << QString();
    QTest::newRow("view with null presentation")
        << QByteArray(
               R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":1},"view":{"for":"call-1","view":null}}],"hasMore":false})")
        << true << QString();

    QTest::newRow("hasMore missing") << QByteArray(R"({"events":[]})") << false << u"\"hasMore\" not found"_s;
    QTest::newRow("events null") << QByteArray(R"({"events":null,"hasMore":false})") << false
                                 << u"\"events\" not found"_s;
    QTest::newRow("data missing in one entry")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":1}},
                                    {"event":{"type":"t","seq":2,"time":0}}],"hasMore":false})")
        << false << u"\"data\" not found"_s;
    QTest::newRow("seq 7.5 on history")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":7.5,"time":0,"data":1}}],"hasMore":true})") << false
        << u"\"seq\""_s;
    QTest::newRow("seq 2^63 on history")
        << QByteArray(
               R"({"events":[{"event":{"type":"t","seq":9223372036854775808,"time":0,"data":1}}],"hasMore":true})")
        << false << u"\"seq\""_s;
    QTest::newRow("sourceEventSeqs fraction on history")
        << QByteArray(
               R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":1,"sourceEventSeqs":[1,2.5]}}],"hasMore":true})")
        << false << u"\"sourceEventSeqs\""_s;
    QTest::newRow("view without for")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":1},"view":{"view":{}}}],"hasMore":false})")
        << false << u"\"for\" not found"_s;
    QTest::newRow("view without view")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":1},"view":{"for":"c"}}],"hasMore":false})")
        << false << u"\"view\" not found"_s;
    QTest::newRow("projection seq fraction")
        << QByteArray(R"({"events":[],"hasMore":false,"projections":{"asOfSeq":1.5,"values":{}}})") << false
        << u"\"asOfSeq\""_s;
    QTest::newRow("projection values array")
        << QByteArray(R"({"events":[],"hasMore":false,"projections":{"asOfSeq":1,"values":[]}})") << false
        << u"\"values\""_s;
    QTest::newRow("ignorable string on history")
        << QByteArray(R"({"events":[{"event":{"type":"t","seq":1,"time":0,"data":1,"ignorable":"true"}}],"hasMore":true})")
        << false << u"\"ignorable\""_s;
    QTest::newRow("page is an array") << QByteArray("[]") << false << u"object"_s;
    QTest::newRow("entry is a string") << QByteArray(R"({"events":["e"],"hasMore":false})") << false << u"object"_s;
}

void TestSessionEvents::historyPage()
{
    NBD_CHECK_DECODE(SessionHistoryValue, page);
}

void TestSessionEvents::historyEntries()
{
    const auto page = test::tryDecode<SessionHistoryValue>(R"({"hasMore":true,
        "projections":{"asOfSeq":9,"values":{"title":"标题","todos":[{"content":"a"}]}},
        "events":[
          {"event":{"type":"user/message","seq":8,"time":1,"data":{"text":"hi"}}},
          {"event":{"type":"tool/result","seq":9,"time":2,"data":{"ok":true},"surfaceOp":null},
           "view":{"for":"call-9","view":{"kind":"diff","lines":["+a"]}}}]})");
    QVERIFY(page);
    QVERIFY(page->hasMore);
    QCOMPARE(page->events.size(), size_t(2));
    QCOMPARE(page->events[0].event.seq, 8);
    QVERIFY(!page->events[0].view);
    QCOMPARE(page->events[1].view->for_, u"call-9"_s);
    QCOMPARE(page->events[1].view->view, test::json(R"({"kind":"diff","lines":["+a"]})"));
    QVERIFY(!page->events[1].event.surfaceOp);
    QCOMPARE(page->projections->asOfSeq, 9);
    QCOMPARE(page->projections->values.size(), size_t(2));
    QCOMPARE(page->projections->values.at(u"title"_s), JSONValue(u"标题"_s));
}

void TestSessionEvents::errorDescriptions()
{
    QCOMPARE(SessionEventValueError::missingField(u"data"_s).description(), u"missing field \"data\""_s);
    QCOMPARE(SessionEventValueError::invalidField(u"seq"_s).description(), u"invalid field \"seq\""_s);
    QCOMPARE(SessionEventValueError::expectedObject().description(), u"expected an object"_s);
    QVERIFY(SessionEventValueError::missingField(u"seq"_s) != SessionEventValueError::invalidField(u"seq"_s));
    QVERIFY(SessionEventValueError::missingField(u"seq"_s) != SessionEventValueError::missingField(u"type"_s));
}

QTEST_GUILESS_MAIN(TestSessionEvents)
#include "tst_sessionevents.moc"
