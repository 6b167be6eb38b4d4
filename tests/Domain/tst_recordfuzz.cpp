// Generated and mutated host values through every record decoder: each must decode or
// fail with its own error, never crash or throw anything else.
#include "../../bench/HistoryDocGen.h"

#include "Domain/Models.h"
#include "RecordTestSupport.h"
#include "Wire/JSONDecode.h"

#include <QTest>

#include <functional>
#include <limits>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

using Rng = bench::HistoryDocGen; // its xorshift stream is all we need

JSONValue randomScalar(Rng &rng)
{
    switch (rng.below(10)) {
    case 0: return JSONValue();
    case 1: return JSONValue(u"x"_s);
    case 2: return JSONValue(1.5);
    case 3: return JSONValue(9223372036854775808.0);
    case 4: return JSONValue(7.0);
    case 5: return JSONValue(true);
    case 6: return JSONValue::array({});
    case 7: return JSONValue::emptyObject();
    case 8: return JSONValue(-9223372036854775807.0 - 1.0);
    default: return JSONValue(u""_s);
    }
}

// A copy of `value` with one node changed somewhere inside it.
JSONValue mutate(const JSONValue &value, Rng &rng, int depth = 0)
{
    const bool container = value.isObject() || value.isArray();
    if (!container || value.size() == 0 || rng.below(4) == 0 || depth > 8) {
        if (value.isObject() && value.size() > 0 && rng.below(2) == 0) {
            // Drop one member.
            const auto members = value.members();
            const size_t drop = size_t(rng.below(int(members.size())));
            JSONValue::Members kept;
            for (size_t i = 0; i < members.size(); ++i)
                if (i != drop)
                    kept.emplace_back(members[i].key, members[i].value);
            return JSONValue::object(std::move(kept));
        }
        if (rng.below(6) == 0)
            return JSONValue::array({value});
        return randomScalar(rng);
    }
    if (value.isObject()) {
        const auto members = value.members();
        const auto &m = members[size_t(rng.below(int(members.size())))];
        return value.with(m.key, mutate(m.value, rng, depth + 1));
    }
    JSONValue::Elements elements(value.elements().begin(), value.elements().end());
    auto &e = elements[size_t(rng.below(int(elements.size())))];
    e = mutate(e, rng, depth + 1);
    return JSONValue::array(std::move(elements));
}

struct Family
{
    const char *name;
    QByteArray good;
    std::function<void(const JSONValue &)> decode; // throws DecodingError on a bad value
};

template<class T>
std::function<void(const JSONValue &)> decoderOf(std::function<void(const T &)> use = {})
{
    return [use](const JSONValue &v) {
        const T record = T::fromJson(v);
        // A record decodes the same way twice.
        const T again = T::fromJson(v);
        if (!(record == again))
            throw std::logic_error("decoding is not deterministic");
        if (use)
            use(record);
    };
}

std::vector<Family> families()
{
    return {
        {"host", R"({"version":"1","cwd":"/h","provider":"p","attachedSessions":2,"canOpenPath":true})",
         decoderOf<HostDescription>()},
        {"sessions", R"({"items":[{"sessionId":"a","updatedAt":1.5,"running":true,"blank":false,"cwd":"/a/b",
            "projections":{"asOfSeq":3,"values":{"title":" t "}}},{"sessionId":"b","updatedAt":2,"running":false,"blank":true}]})",
         decoderOf<SessionListValue>([](const SessionListValue &v) {
             for (const auto &s : v.items)
                 (void)s.displayTitle();
         })},
        {"search", R"({"items":[{"sessionId":"a","snippet":"s"}],"hasMore":false})", decoderOf<SessionSearchValue>()},
        {"prompt", R"({"accepted":true,"command":{"kind":"k","text":"t"}})", decoderOf<SessionPromptValue>()},
        {"execute", R"({"commandId":"c","result":{"kind":"k","sourceEventSeq":4}})", decoderOf<CommandExecutionValue>()},
        {"rename", R"({"title":"t","seq":3})", decoderOf<SessionRenameValue>()},
        {"models", R"({"current":{"provider":"p","model":"m","reasoningEffort":"low"},"routable":true,
            "groups":[{"id":"p","name":"P","models":[{"id":"m","name":"M","reasoning":{"efforts":[{"id":"low","name":"L"}],
            "defaultEffort":"low"}}]}],"failures":[{"id":"q","name":"Q","message":"down"}]})",
         decoderOf<SessionModelsValue>()},
        {"workspaces", R"({"items":[{"workspaceId":"w","path":"/p","title":"t","sessionIds":["a"],"createdAt":"c",
            "updatedAt":"u"}],"archivedSessionIds":["z"]})",
         decoderOf<WorkspaceListValue>()},
        {"subagents", R"({"entries":[{"kind":"child","id":"c","mode":"continuable","activity":"running",
            "hasChildren":true,"label":"l","reason":"r"}],"parentAvailable":true})",
         decoderOf<SubagentListValue>([](const SubagentListValue &v) {
             for (const auto &e : v.entries)
                 (void)(e.isChild() && e.isRunning());
         })},
        {"attachment", R"({"attachment":{"attachmentId":"i","mediaType":"image/png","bytes":3,"width":1,"height":1,
            "name":"n"},"data":"aGk="})",
         decoderOf<SessionAttachmentValue>([](const SessionAttachmentValue &v) { (void)v.imageData(); })},
        {"plugins", R"({"entries":[{"entryId":"e","moduleName":"@s/nbd-host-x","enabled":true,"fiberPhase":"active"}]})",
         decoderOf<PluginInventorySnapshot>([](const PluginInventorySnapshot &v) {
             for (const auto &e : v.entries)
                 (void)(e.shortName() + e.statusLabel());
         })},
        {"plugin row", R"({"pluginId":"p","agentId":"a","packages":[{"packageId":"k","name":"n","purpose":"u",
            "hasHostHalf":true,"hasClientHalf":false}],"currentPackageId":"k","nextPackageId":"k",
            "activeRun":{"packageId":"k"},"latestRun":{"packageId":"k","status":"failed"}})",
         decoderOf<DynamicPluginInventoryRow>([](const DynamicPluginInventoryRow &r) {
             (void)r.selectedPackage();
             (void)r.statusLabel();
         })},
        {"settings", R"({"writable":true,"hasDocument":true,"namespaces":[{"ns":"a","schema":{},"value":{"k":1},
            "base":{},"user":null,"applies":"live","secrets":[{"path":["k"],"set":true}],"revision":2}]})",
         decoderOf<SettingsDescribeValue>()},
        {"credentials", R"({"credentials":{"a":{"configured":true,"source":"env","writable":false}}})",
         decoderOf<CredentialsDescribeValue>()},
        {"skills", R"({"skills":[{"name":"s","description":"d","whenToUse":"w","modelInvocable":true}]})",
         decoderOf<SkillListValue>()},
    };
}

} // namespace

class TestRecordFuzz : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mutatedRecords();
    void unknownKeysChangeNothing();
    void liveAndHistoryDecodersAgree();
    void truncatedPages();
};

void TestRecordFuzz::mutatedRecords()
{
    Rng rng(20240611);
    int decoded = 0, rejected = 0;
    for (const Family &f : families()) {
        const JSONValue good = parseJSON(f.good);
        try {
            f.decode(good);
        } catch (const Error &e) {
            QFAIL(qPrintable(QString::fromLatin1(f.name) + u": good value fails: "_s + e.description()));
        }
        for (int i = 0; i < 300; ++i) {
            JSONValue v = mutate(good, rng);
            if (rng.below(3) == 0)
                v = mutate(v, rng);
            try {
                f.decode(v);
                ++decoded;
            } catch (const DecodingError &e) {
                QVERIFY(!e.description().isEmpty());
                ++rejected;
            } catch (const std::exception &e) {
                QFAIL(qPrintable(QString::fromLatin1(f.name) + u": unexpected error: "_s + QString::fromUtf8(e.what())));
            }
        }
    }
    // Mutations hit both optional and required members: both outcomes must occur.
    QVERIFY(decoded > 100);
    QVERIFY(rejected > 1000);
}

void TestRecordFuzz::unknownKeysChangeNothing()
{
    Rng rng(77);
    for (const Family &f : families()) {
        const JSONValue good = parseJSON(f.good);
        for (int i = 0; i < 20; ++i) {
            const QString key = u"zz_unknown_"_s + QString::number(rng.below(1000));
            const JSONValue extended = good.with(key, randomScalar(rng));
            try {
                f.decode(extended);
            } catch (const Error &e) {
                QFAIL(qPrintable(QString::fromLatin1(f.name) + u": "_s + e.description()));
            }
        }
    }
    // The record itself is unchanged by an unknown member.
    const JSONValue host = parseJSON(families().front().good);
    QCOMPARE(HostDescription::fromJson(host.with(u"extra"_s, JSONValue(1.0))), HostDescription::fromJson(host));
}

void TestRecordFuzz::liveAndHistoryDecodersAgree()
{
    bench::HistoryDocGen gen(99);
    Rng rng(4242);
    int liveOk = 0, liveFailed = 0;
    for (int i = 0; i < 4000; ++i) {
        const JSONValue original = parseJSON(gen.event(i));
        const JSONValue v = (i % 4 == 0) ? original : mutate(original, rng);
        std::optional<SessionEvent> live, record;
        try {
            live = SessionEvent::fromLiveValue(v);
        } catch (const SessionEventValueError &) {
        }
        try {
            record = SessionEvent::fromJson(v);
        } catch (const DecodingError &) {
        }
        // One integer rule and one notion of required, absent and null on both paths.
        QCOMPARE(live.has_value(), record.has_value());
        if (live) {
            QCOMPARE(*live, *record);
            ++liveOk;
        } else {
            ++liveFailed;
        }
    }
    QVERIFY(liveOk > 1000);
    QVERIFY(liveFailed > 500);
}

void TestRecordFuzz::truncatedPages()
{
    bench::HistoryDocGen gen(7);
    const QByteArray page = gen.page(40);
    QVERIFY(SessionHistoryValue::fromJson(parseJSON(page)).events.size() == 40);
    Rng rng(1);
    int parsed = 0;
    for (int i = 0; i < 500; ++i) {
        QByteArray text = page;
        const int cut = rng.below(int(text.size()));
        if (i % 2)
            text.truncate(cut);
        else
            text[cut] = char(rng.below(256));
        const auto value = tryParseJSON(text);
        if (!value)
            continue;
        ++parsed;
        try {
            const auto history = SessionHistoryValue::fromJson(*value);
            QVERIFY(history.events.size() <= 40);
        } catch (const DecodingError &) {
        }
    }
    QVERIFY(parsed > 0);
}

QTEST_GUILESS_MAIN(TestRecordFuzz)
#include "tst_recordfuzz.moc"
