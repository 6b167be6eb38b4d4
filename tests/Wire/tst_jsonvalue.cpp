#include "Wire/JSONValue.h"
#include "Wire/WireEnvelope.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <limits>

using namespace nbd;

class TestJSONValue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void intRule_data();
    void intRule();
    void scalarsKeepTheirCase();
    void memberPresenceAndNull();
    void equalityAndHashing();
    void writer_data();
    void writer();
    void nonFiniteNumbersHaveNoData();
    void parserRejects_data();
    void parserRejects();
    void parserTexts_data();
    void parserTexts();
    void duplicateKeysLastWins();
    void prettyPrintSortsKeys();
    void roundTripThroughWriter();
    void numbersBeyondADouble_data();
    void numbersBeyondADouble();
    void deepNestingIsRefusedNotACrash();
    void fuzzParserAndEnvelopes();
    void envelopes();
    void envelopeRejects_data();
    void envelopeRejects();
};

void TestJSONValue::intRule_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("hasInt");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("3") << QByteArray("3") << true << qint64(3);
    QTest::newRow("7.0") << QByteArray("7.0") << true << qint64(7);
    QTest::newRow("1.5") << QByteArray("1.5") << false << qint64(0);
    QTest::newRow("-0.0") << QByteArray("-0.0") << true << qint64(0);
    QTest::newRow("2^63") << QByteArray("9223372036854775808") << false << qint64(0);
    QTest::newRow("int64 max text rounds to 2^63") << QByteArray("9223372036854775807") << false << qint64(0);
    QTest::newRow("largest double below 2^63") << QByteArray("9223372036854774784") << true
                                               << qint64(9223372036854774784LL);
    QTest::newRow("1e19") << QByteArray("1e19") << false << qint64(0);
    QTest::newRow("-2^63") << QByteArray("-9223372036854775808") << true << std::numeric_limits<qint64>::min();
    QTest::newRow("2^53+1 rounds") << QByteArray("9007199254740993") << true << qint64(9007199254740992LL);
    QTest::newRow("bool is not a number") << QByteArray("true") << false << qint64(0);
    QTest::newRow("numeric string") << QByteArray("\"3\"") << false << qint64(0);
    QTest::newRow("null") << QByteArray("null") << false << qint64(0);
    QTest::newRow("tiny exponent underflows to 0") << QByteArray("1e-400") << true << qint64(0);
}

void TestJSONValue::intRule()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, hasInt);
    QFETCH(qint64, expected);
    const JSONValue v = parseJSON(text);
    QCOMPARE(v.toInt().has_value(), hasInt);
    if (hasInt)
        QCOMPARE(*v.toInt(), expected);
}

void TestJSONValue::scalarsKeepTheirCase()
{
    const JSONValue three = parseJSON("3");
    QCOMPARE(three.number(), std::optional<double>(3.0));
    QVERIFY(!three.boolean());
    QVERIFY(!three.string());
    const JSONValue t = parseJSON("true");
    QCOMPARE(t.boolean(), std::optional<bool>(true));
    QVERIFY(!t.number());
    const JSONValue s = parseJSON("\"true\"");
    QCOMPARE(s.string(), std::optional<QString>(QStringLiteral("true")));
    QVERIFY(!s.boolean());
    QVERIFY(parseJSON(" null ").isNull());
    QCOMPARE(JSONValue(1.0) == JSONValue(true), false);
    QCOMPARE(JSONValue(QStringLiteral("1")) == JSONValue(1.0), false);
}

void TestJSONValue::memberPresenceAndNull()
{
    const JSONValue v = parseJSON(R"({"a": null})");
    QVERIFY(v[u"a"].has_value());
    QVERIFY(v[u"a"]->isNull());
    QVERIFY(!v[u"b"].has_value());
    QVERIFY(!parseJSON("[1]")[u"a"].has_value());
    QVERIFY(!parseJSON("\"a\"")[u"a"].has_value());
    QCOMPARE(*v.data(), QByteArray(R"({"a":null})"));
    QCOMPARE(*JSONValue().data(), QByteArray("null"));
}

void TestJSONValue::equalityAndHashing()
{
    const JSONValue a = parseJSON(R"({"a":1,"b":2})");
    const JSONValue b = parseJSON(R"({"b":2,"a":1})");
    QCOMPARE(a, b);
    QCOMPARE(a.hash(), b.hash());
    QVERIFY(parseJSON("[1,2]") != parseJSON("[2,1]"));
    QCOMPARE(JSONValue(0.0), JSONValue(-0.0));
    QCOMPARE(JSONValue(0.0).hash(), JSONValue(-0.0).hash());
    const JSONValue nan(std::numeric_limits<double>::quiet_NaN());
    QVERIFY(nan != nan);
    QVERIFY(parseJSON(R"({"a":{"x":[1,{"y":null}]}})") == parseJSON(R"({"a":{"x":[1,{"y":null}]}})"));
    QVERIFY(parseJSON(R"({"a":{"x":[1,{"y":null}]}})") != parseJSON(R"({"a":{"x":[1,{"y":0}]}})"));
    QVERIFY(parseJSON(R"({"a":1})") != parseJSON(R"({"a":1,"b":null})"));
    QSet<JSONValue> set{a, b, parseJSON("[1,2]")};
    QCOMPARE(set.size(), 2);
}

void TestJSONValue::writer_data()
{
    QTest::addColumn<JSONValue>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("integral") << JSONValue(42.0) << QByteArray("42");
    QTest::newRow("negative integral") << JSONValue(-7.0) << QByteArray("-7");
    QTest::newRow("fraction") << JSONValue(1.5) << QByteArray("1.5");
    QTest::newRow("negative zero") << JSONValue(-0.0) << QByteArray("0");
    QTest::newRow("2^53 uses exponent-free shortest form") << JSONValue(9007199254740992.0)
                                                          << QByteArray("9007199254740992");
    QTest::newRow("escapes") << JSONValue(QStringLiteral("a\"b\\c\n\t\x01/"))
                             << QByteArray(R"("a\"b\\c\n\t\u0001/")");
    QTest::newRow("chinese") << JSONValue(QStringLiteral("你好")) << QByteArray("\"你好\"");
    // A lone surrogate has no UTF-8 form; its escape keeps it.
    QTest::newRow("lone high surrogate") << JSONValue(QString(QChar(0xD800))) << QByteArray(R"("\uD800")");
    QTest::newRow("lone low surrogate between text")
        << JSONValue(QStringLiteral("a") + QChar(0xDC01) + QStringLiteral("b\n")) << QByteArray(R"("a\uDC01b\n")");
    QTest::newRow("pair then a lone high surrogate at the end")
        << JSONValue(QString::fromUtf8("😀") + QChar(0xDBFF)) << QByteArray("\"😀\\uDBFF\"");
    QTest::newRow("reversed pair") << JSONValue(QString(QChar(0xDE00)) + QChar(0xD83D)) << QByteArray(R"("\uDE00\uD83D")");
    // Long texts: every kind of character, and escapes and pairs across any point of a long run.
    QTest::newRow("long mixed text") << JSONValue(QString::fromUtf8("aé你😀\n\"").repeated(400))
                                     << (QByteArray("\"") + QByteArray("aé你😀\\n\\\"").repeated(400) + QByteArray("\""));
    for (int prefix = 240; prefix < 260; ++prefix) {
        const QString ascii(prefix, u'x');
        QTest::addRow("pair after %d characters", prefix)
            << JSONValue(ascii + QString::fromUtf8("😀") + QChar(0xD800) + QStringLiteral("\x02"))
            << (QByteArray("\"") + ascii.toLatin1() + QByteArray("😀\\uD800\\u0002\""));
    }
    QTest::newRow("empty object") << JSONValue::emptyObject() << QByteArray("{}");
    QTest::newRow("empty array") << JSONValue::array({}) << QByteArray("[]");
    QTest::newRow("nested") << JSONValue::object({{QStringLiteral("b"), JSONValue::array({1, true, nullptr})},
                                                  {QStringLiteral("a"), QStringLiteral("x")}})
                            << QByteArray(R"({"a":"x","b":[1,true,null]})");
}

void TestJSONValue::writer()
{
    QFETCH(JSONValue, value);
    QFETCH(QByteArray, expected);
    QCOMPARE(*value.data(), expected);
}

void TestJSONValue::nonFiniteNumbersHaveNoData()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QVERIFY(!JSONValue(nan).data());
    QVERIFY(!JSONValue::object({{QStringLiteral("x"), JSONValue::array({1, -inf})}}).data());
    QVERIFY_THROWS_EXCEPTION(WireDecodeError, decodedAs<JSONValue>(JSONValue(nan)));
    QVERIFY_THROWS_EXCEPTION(EncodingError, encodeJSON(JSONValue::array({inf})));
    // Displaying never fails.
    QCOMPARE(JSONValue::array({nan}).prettyPrinted(), QByteArray("[\n  null\n]"));
    // A null value decodes as an optional record to nothing.
    QVERIFY(!decodedAs<std::optional<QString>>(JSONValue()).has_value());
    QVERIFY_THROWS_EXCEPTION(DecodingError, decodedAs<QString>(JSONValue()));
}

void TestJSONValue::parserRejects_data()
{
    QTest::addColumn<QByteArray>("text");
    for (const char *t : {"", " ", "{", "}", "[1,]", "[1 2]", "{\"a\" 1}", "{\"a\":1,}", "{a:1}", "tru", "nul",
                          "01", "1.", ".5", "-", "+1", "1e", "1e+", "\"abc", "\"\\x\"", "\"\\u12\"", "[\"a\nb\"]",
                          "NaN", "Infinity", "1e400", "{\"a\":1}x", "\"\xff\"", "\"\xc0\xaf\"", "[]]"})
        QTest::newRow(t) << QByteArray(t);
}

void TestJSONValue::parserRejects()
{
    QFETCH(QByteArray, text);
    QVERIFY_THROWS_EXCEPTION(DecodingError, parseJSON(text));
    QString error;
    QVERIFY(!tryParseJSON(text, &error));
    QVERIFY(!error.isEmpty());
}

void TestJSONValue::parserTexts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray(R"("abc")") << QStringLiteral("abc");
    QTest::newRow("escapes") << QByteArray(R"("a\"\\\/\b\f\n\r\t")") << QStringLiteral("a\"\\/\b\f\n\r\t");
    QTest::newRow("unicode escape") << QByteArray(R"("\u4f60\u597D")") << QStringLiteral("你好");
    QTest::newRow("surrogate pair") << QByteArray(R"("\ud83d\ude00")") << QString::fromUtf8("😀");
    QTest::newRow("utf8") << QByteArray("\"混合 text 😀\"") << QString::fromUtf8("混合 text 😀");
    QTest::newRow("escape after utf8") << QByteArray("\"é\\n\"") << QString::fromUtf8("é\n");
    QTest::newRow("empty") << QByteArray(R"("")") << QString();
}

void TestJSONValue::parserTexts()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    QCOMPARE(*parseJSON(text).string(), expected);
}

void TestJSONValue::duplicateKeysLastWins()
{
    const JSONValue v = parseJSON(R"({"a":1,"b":2,"a":3})");
    QCOMPARE(v.size(), 2);
    QCOMPARE(v[u"a"]->toInt(), std::optional<qint64>(3));
}

void TestJSONValue::prettyPrintSortsKeys()
{
    const JSONValue v = parseJSON(R"({"z":1,"a":{"y":[],"b":"t"}})");
    QCOMPARE(v.prettyPrinted(), QByteArray("{\n  \"a\" : {\n    \"b\" : \"t\",\n    \"y\" : []\n  },\n  \"z\" : 1\n}"));
    QCOMPARE(JSONValue(QStringLiteral("x")).prettyPrinted(), QByteArray("\"x\""));
}

void TestJSONValue::roundTripThroughWriter()
{
    const QByteArray text = R"({"s":"é\u0000\"","n":[0,-1,1.25,1e300,-2.5e-300],"o":{"":null,"k":[true,false,{}]}})";
    const JSONValue v = parseJSON(text);
    QCOMPARE(parseJSON(*v.data()), v);
    QCOMPARE(parseJSON(v.prettyPrinted()), v);
    const JSONValue lone = parseJSON(R"(["x\ud800y","\udfff",{"\udbff":"😀"}])");
    QCOMPARE(parseJSON(*lone.data()), lone);
    QCOMPARE(*lone.elements()[0].string(), QStringLiteral("x") + QChar(0xD800) + QStringLiteral("y"));
}

void TestJSONValue::numbersBeyondADouble_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<std::optional<double>>("expected"); // nothing: refused
    const QByteArray zeros(400, '0');
    QTest::newRow("huge integer with a small negative exponent") << "1" + zeros + "e-1" << std::optional<double>();
    QTest::newRow("huge negative integer with a negative exponent") << "-9" + zeros + "e-50" << std::optional<double>();
    QTest::newRow("huge with a fraction") << "1" + zeros + ".5" << std::optional<double>();
    QTest::newRow("positive exponent") << QByteArray("1e400") << std::optional<double>();
    QTest::newRow("tiny") << QByteArray("1e-400") << std::optional<double>(0.0);
    QTest::newRow("tiny written with leading zeros") << "0." + zeros + "1" << std::optional<double>(0.0);
    QTest::newRow("tiny despite a positive exponent") << "0." + zeros + "1e10" << std::optional<double>(0.0);
    QTest::newRow("many digits that fit") << "1" + QByteArray(300, '0') + "e-290" << std::optional<double>(1e10);
    QTest::newRow("exponent beyond any integer") << QByteArray("1e-99999999999999999999999") << std::optional<double>(0.0);
    QTest::newRow("huge exponent") << QByteArray("1e99999999999999999999999") << std::optional<double>();
}

void TestJSONValue::numbersBeyondADouble()
{
    QFETCH(QByteArray, text);
    QFETCH(std::optional<double>, expected);
    const std::optional<JSONValue> value = tryParseJSON(text);
    if (!expected) {
        QVERIFY2(!value, qPrintable(value ? QString::number(*value->number()) : QString()));
        return;
    }
    QVERIFY(value && value->isNumber());
    QCOMPARE(*value->number(), *expected);
}

void TestJSONValue::deepNestingIsRefusedNotACrash()
{
    QByteArray deep(100000, '[');
    QVERIFY_THROWS_EXCEPTION(DecodingError, parseJSON(deep));
    QByteArray ok = QByteArray(400, '[') + QByteArray(400, ']');
    QVERIFY(parseJSON(ok).isArray());

    // The limit is 512 levels for objects, arrays and any mix of the two.
    const auto nested = [](int depth, bool objects, bool alternate) {
        QByteArray open, close;
        for (int i = 0; i < depth; ++i) {
            const bool object = alternate ? (i % 2 == 0) : objects;
            open += object ? QByteArrayLiteral("{\"k\":") : QByteArrayLiteral("[");
            close.prepend(object ? '}' : ']');
        }
        return open + QByteArrayLiteral("0") + close;
    };
    for (const auto &[objects, alternate] : {std::pair{true, false}, {false, false}, {true, true}}) {
        const QByteArray label = objects ? (alternate ? "mixed" : "objects") : "arrays";
        QVERIFY2(!parseJSON(nested(512, objects, alternate)).isNull(), label.constData());
        QVERIFY_THROWS_EXCEPTION(DecodingError, parseJSON(nested(513, objects, alternate)));
    }
}

void TestJSONValue::fuzzParserAndEnvelopes()
{
    // Random and mutated texts: every failure must be a clean error, never a crash or hang.
    QRandomGenerator rng(20261209);
    const QList<QByteArray> seeds = {
        R"({"type":"server-response","rpcId":"r","result":{"ok":true,"value":{"n":[1,2.5,"x",null]}}})",
        R"({"type":"server-request","rpcId":"r1","method":"session/event","payload":{"seq":1,"data":{"t":"你好"}}})",
        R"({"type":"x","rpcId":"r","result":{"ok":false,"error":{"code":"E","message":"m","details":{}}}})",
        R"([1,-0.0,1e-5,"\u00e9\n",true,false,null,{"a":{"b":{"c":[]}}}])",
    };
    const char alphabet[] = "{}[]\":,.-+eE0123456789tfnul \\\x80\xe4\xbd\xa0";
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        QByteArray text;
        if (i % 3 == 0) {
            const int n = int(rng.bounded(64));
            for (int k = 0; k < n; ++k)
                text.append(alphabet[rng.bounded(int(sizeof alphabet - 1))]);
        } else {
            text = seeds[rng.bounded(seeds.size())];
            const int edits = 1 + int(rng.bounded(4));
            for (int k = 0; k < edits && !text.isEmpty(); ++k) {
                const int pos = int(rng.bounded(text.size()));
                switch (rng.bounded(3)) {
                case 0: text[pos] = alphabet[rng.bounded(int(sizeof alphabet - 1))]; break;
                case 1: text.remove(pos, 1 + int(rng.bounded(4))); break;
                default: text.insert(pos, alphabet[rng.bounded(int(sizeof alphabet - 1))]);
                }
            }
        }
        auto v = tryParseJSON(text);
        if (!v)
            continue;
        ++parsed;
        // Whatever parsed writes back and parses to an equal value.
        if (auto bytes = v->data())
            QCOMPARE(parseJSON(*bytes), *v);
        try {
            ServerResponse::fromJson(*v);
        } catch (const Error &) {
        }
        try {
            ServerRequest::fromJson(*v);
        } catch (const Error &) {
        }
    }
    QVERIFY(parsed > 100); // the mutations leave a good share of valid texts
}

void TestJSONValue::envelopes()
{
    // Error wins over value and ok.
    const auto r = ServerResponse::fromJson(parseJSON(
        R"({"type":"t","rpcId":"q","result":{"ok":true,"value":1,"error":{"code":"E","message":"m","details":null}}})"));
    try {
        r.result.valueOrThrow();
        QFAIL("expected the host's error");
    } catch (const RpcError &e) {
        QCOMPARE(e.description(), QStringLiteral("E: m"));
        QVERIFY(e.details.isNull());
    }
    // Neither value nor error: null untyped, emptyValue typed.
    const JSONValue okOnly = parseJSON(R"({"type":"t","rpcId":"q","result":{"ok":false}})");
    QVERIFY(ServerResponse::fromJson(okOnly).result.valueOrThrow().isNull());
    QVERIFY_THROWS_EXCEPTION(WireDecodeError, TypedServerResponse<QString>::fromJson(okOnly).result.valueOrThrow());
    const JSONValue nullValue = parseJSON(R"({"type":"t","rpcId":"q","result":{"ok":true,"value":null}})");
    QVERIFY(ServerResponse::fromJson(nullValue).result.valueOrThrow().isNull());
    QVERIFY_THROWS_EXCEPTION(WireDecodeError, TypedServerResponse<QString>::fromJson(nullValue).result.valueOrThrow());
    // A typed value of the wrong shape fails the whole envelope.
    QVERIFY_THROWS_EXCEPTION(DecodingError, TypedServerResponse<QString>::fromJson(parseJSON(
                                                R"({"type":"t","rpcId":"q","result":{"ok":true,"value":3}})")));
    // Frames: payload null kept, any type accepted.
    const auto f = ServerRequest::fromJson(parseJSON(R"({"type":"other","rpcId":"r1","method":"m","payload":null})"));
    QCOMPARE(f.type, QStringLiteral("other"));
    QVERIFY(f.payload.isNull());
    // Outgoing envelopes.
    const ClientRequest req{QStringLiteral("r1"), QStringLiteral("session.list"), JSONValue::emptyObject()};
    QCOMPARE(req.toJson(), parseJSON(R"({"type":"client-request","rpcId":"r1","method":"session.list","payload":{}})"));
    const ClientResponse resp{QStringLiteral("r2"), JSONValue()};
    QCOMPARE(*resp.toJson().data(), QByteArray(R"({"result":{"ok":true,"value":null},"rpcId":"r2","type":"client-response"})"));
}

void TestJSONValue::envelopeRejects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("isFrame");
    QTest::newRow("no ok") << QByteArray(R"({"type":"t","rpcId":"q","result":{"value":1}})") << false;
    QTest::newRow("ok not bool") << QByteArray(R"({"type":"t","rpcId":"q","result":{"ok":1}})") << false;
    QTest::newRow("error without details")
        << QByteArray(R"({"type":"t","rpcId":"q","result":{"ok":false,"error":{"code":"E","message":"m"}}})") << false;
    QTest::newRow("no rpcId") << QByteArray(R"({"type":"t","result":{"ok":true}})") << false;
    QTest::newRow("result not object") << QByteArray(R"({"type":"t","rpcId":"q","result":[]})") << false;
    QTest::newRow("array") << QByteArray(R"([])") << false;
    QTest::newRow("frame without payload") << QByteArray(R"({"type":"t","rpcId":"r","method":"m"})") << true;
    QTest::newRow("frame method not string") << QByteArray(R"({"type":"t","rpcId":"r","method":1,"payload":{}})") << true;
    QTest::newRow("frame scalar") << QByteArray(R"("frame")") << true;
}

void TestJSONValue::envelopeRejects()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, isFrame);
    const JSONValue v = parseJSON(text);
    if (isFrame)
        QVERIFY_THROWS_EXCEPTION(DecodingError, ServerRequest::fromJson(v));
    else
        QVERIFY_THROWS_EXCEPTION(DecodingError, ServerResponse::fromJson(v));
}

QTEST_GUILESS_MAIN(TestJSONValue)
#include "tst_jsonvalue.moc"
