#include "Domain/Subagents.h"
#include "RecordTestSupport.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace nbd;
using namespace Qt::StringLiterals;

class TestRunRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void subagentList_data();
    void subagentList();
    void subagentEntryFlags_data();
    void subagentEntryFlags();
    void jobsDecodedEachByItself_data();
    void jobsDecodedEachByItself();
    void jobsSkipUnwritableElement();
    void attachment_data();
    void attachment();
    void base64_data();
    void base64();
};

void TestRunRecords::subagentList_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("empty") << QByteArray(R"({"entries":[],"parentAvailable":false})") << true << QString();
    QTest::newRow("entries") << QByteArray(R"({"parentAvailable":true,"entries":[
        {"kind":"child","id":"c1","mode":"continuable","activity":"running","hasChildren":true,"label":"L"},
        {"kind":"corrupt","id":"c2","reason":"corrupt","hasChildren":null,"extra":1}]})") << true << QString();
    QTest::newRow("entry without id") << QByteArray(R"({"entries":[{"kind":"child"}],"parentAvailable":true})") << false
                                      << u"\"id\""_s;
    QTest::newRow("hasChildren string")
        << QByteArray(R"({"entries":[{"kind":"child","id":"c","hasChildren":"true"}],"parentAvailable":true})") << false
        << u"\"hasChildren\""_s;
    QTest::newRow("parentAvailable missing") << QByteArray(R"({"entries":[]})") << false << u"\"parentAvailable\""_s;
    QTest::newRow("extra keys") << QByteArray(R"({"entries":[],"parentAvailable":true,"messageId":"m"})") << true
                                  << QString();
}

void TestRunRecords::subagentList()
{
    NBD_CHECK_DECODE(SubagentListValue, v);
}

void TestRunRecords::subagentEntryFlags_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("isChild");
    QTest::addColumn<bool>("isRunning");
    QTest::addColumn<bool>("hasChildren");
    QTest::newRow("continuable child") << QByteArray(
        R"({"kind":"child","id":"c","mode":"continuable","activity":"running","hasChildren":true})") << true << true
                                       << true;
    QTest::newRow("one-shot child idle") << QByteArray(R"({"kind":"child","id":"c","mode":"one-shot","activity":"idle"})")
                                         << true << false << false;
    QTest::newRow("child without mode") << QByteArray(R"({"kind":"child","id":"c","hasChildren":true})") << false
                                        << false << true;
    QTest::newRow("child mode null") << QByteArray(R"({"kind":"child","id":"c","mode":null})") << false << false
                                     << false;
    QTest::newRow("other kind with mode") << QByteArray(R"({"kind":"Child","id":"c","mode":"continuable"})") << false
                                          << false << false;
    QTest::newRow("hasChildren null") << QByteArray(R"({"kind":"child","id":"c","mode":"m","hasChildren":null})")
                                      << true << false << false;
    QTest::newRow("activity case differs") << QByteArray(R"({"kind":"child","id":"c","mode":"m","activity":"Running"})")
                                           << true << false << false;
}

void TestRunRecords::subagentEntryFlags()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, isChild);
    QFETCH(bool, isRunning);
    QFETCH(bool, hasChildren);
    const auto e = test::tryDecode<SubagentListEntry>(text);
    QVERIFY(e);
    QCOMPARE(e->isChild(), isChild);
    QCOMPARE(e->isRunning(), isRunning);
    QCOMPARE(e->hasChildren.value_or(false), hasChildren);
}

void TestRunRecords::jobsDecodedEachByItself_data()
{
    QTest::addColumn<QByteArray>("jobs");
    QTest::addColumn<QStringList>("ids");
    QTest::newRow("empty") << QByteArray("[]") << QStringList();
    QTest::newRow("middle lacks startedAt") << QByteArray(R"([
        {"id":"a","kind":"k","label":"A","status":"running","startedAt":1},
        {"id":"b","kind":"k","label":"B","status":"done"},
        {"id":"c","kind":"k","label":"C","status":"failed","startedAt":2,"finishedAt":3,"detail":"d"}])")
                                           << QStringList{u"a"_s, u"c"_s};
    QTest::newRow("garbage elements") << QByteArray(R"([1,"x",null,[],
        {"id":"a","kind":"k","label":"A","status":"s","startedAt":1,"finishedAt":null},
        {"id":"b","kind":"k","label":"B","status":"s","startedAt":"1"},
        {"id":"c","kind":"k","label":"C","status":"s","startedAt":1,"detail":5}])") << QStringList{u"a"_s};
}

void TestRunRecords::jobsDecodedEachByItself()
{
    QFETCH(QByteArray, jobs);
    QFETCH(QStringList, ids);
    const JSONValue array = parseJSON(jobs);
    const std::vector<JobView> decoded = JobView::decodeEach(array.elements());
    QStringList got;
    for (const auto &j : decoded)
        got << j.id;
    QCOMPARE(got, ids);
    for (const auto &j : decoded) {
        if (j.id == u"a")
            QVERIFY(!j.finishedAt); // null: still open
        if (j.id == u"c") {
            QCOMPARE(j.finishedAt, std::optional<double>(3));
            QCOMPARE(j.detail, std::optional<QString>(u"d"_s));
        }
    }
}

void TestRunRecords::jobsSkipUnwritableElement()
{
    const JSONValue good = test::json(R"({"id":"a","kind":"k","label":"A","status":"running","startedAt":1})");
    const JSONValue nan = good.with(u"id"_s, u"b"_s).with(u"startedAt"_s, std::numeric_limits<double>::quiet_NaN());
    const std::vector<JSONValue> elements{good, nan, good.with(u"id"_s, u"c"_s)};
    const auto jobs = JobView::decodeEach(elements);
    QCOMPARE(jobs.size(), size_t(2));
    QCOMPARE(jobs[0].id, u"a"_s);
    QCOMPARE(jobs[1].id, u"c"_s);
    QVERIFY(jobs[0] != jobs[1]);
}

static QByteArray attachmentWith(const char *ref, const char *data = R"("aGk=")")
{
    return QByteArray(R"({"attachment":)") + ref + R"(,"data":)" + data + "}";
}

void TestRunRecords::attachment_data()
{
    NBD_DECODE_COLUMNS();
    QTest::newRow("good") << attachmentWith(
        R"({"attachmentId":"i1","mediaType":"image/png","bytes":2048,"width":10,"height":20,"name":"a.png"})") << true
                          << QString();
    QTest::newRow("integral doubles") << attachmentWith(
        R"({"attachmentId":"i1","mediaType":"image/png","bytes":2048.0,"width":1e1,"height":20})") << true << QString();
    QTest::newRow("bytes fraction") << attachmentWith(
        R"({"attachmentId":"i1","mediaType":"image/png","bytes":1.5,"width":10,"height":20})") << false << u"\"bytes\""_s;
    QTest::newRow("width string") << attachmentWith(
        R"({"attachmentId":"i1","mediaType":"image/png","bytes":1,"width":"10","height":20})") << false
                                  << u"\"width\""_s;
    QTest::newRow("height missing") << attachmentWith(
        R"({"attachmentId":"i1","mediaType":"image/png","bytes":1,"width":10})") << false << u"\"height\""_s;
    QTest::newRow("data missing") << QByteArray(
        R"({"attachment":{"attachmentId":"i1","mediaType":"m","bytes":1,"width":1,"height":1}})") << false
                                  << u"\"data\""_s;
    QTest::newRow("data number") << attachmentWith(
        R"({"attachmentId":"i1","mediaType":"m","bytes":1,"width":1,"height":1})", "12") << false << u"\"data\""_s;
}

void TestRunRecords::attachment()
{
    NBD_CHECK_DECODE(SessionAttachmentValue, v);
    if (v) {
        QCOMPARE(v->attachment.bytes, 2048);
        QCOMPARE(v->imageData(), std::optional<QByteArray>("hi"));
    }
}

void TestRunRecords::base64_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QString() << true << QByteArray();
    QTest::newRow("no padding needed") << u"YWJj"_s << true << QByteArray("abc");
    QTest::newRow("one pad") << u"YWI="_s << true << QByteArray("ab");
    QTest::newRow("two pads") << u"YQ=="_s << true << QByteArray("a");
    QTest::newRow("plus and slash") << u"+/+/"_s << true << QByteArray("\xfb\xff\xbf");
    QTest::newRow("missing padding") << u"YWI"_s << false << QByteArray();
    QTest::newRow("missing both pads") << u"YQ"_s << false << QByteArray();
    QTest::newRow("line break") << u"YWJj\nYWJj"_s << false << QByteArray();
    QTest::newRow("CRLF at end") << u"YWJj\r\n"_s << false << QByteArray();
    QTest::newRow("space") << u"YW Jj"_s << false << QByteArray();
    QTest::newRow("url alphabet") << u"-_-_"_s << false << QByteArray();
    QTest::newRow("padding inside") << u"YQ==YWJj"_s << false << QByteArray();
    QTest::newRow("three pads") << u"Y==="_s << false << QByteArray();
    QTest::newRow("all pads") << u"===="_s << false << QByteArray();
    QTest::newRow("non-ASCII") << u"YWJ€"_s << false << QByteArray();
}

void TestRunRecords::base64()
{
    QFETCH(QString, text);
    QFETCH(bool, decodes);
    QFETCH(QByteArray, bytes);
    const auto decoded = decodeBase64Strict(text);
    QCOMPARE(decoded.has_value(), decodes);
    if (decoded)
        QCOMPARE(*decoded, bytes);
    if (decodes) // the strict reading agrees with Qt's on valid text
        QCOMPARE(QByteArray::fromBase64(text.toLatin1()), bytes);
}

QTEST_GUILESS_MAIN(TestRunRecords)
#include "tst_runrecords.moc"
