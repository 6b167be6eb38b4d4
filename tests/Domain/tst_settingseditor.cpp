#include "Domain/Settings.h"
#include "RecordTestSupport.h"
#include "SettingsGenerator.h"
#include "SimMergePatch.h"

#include <QtTest>

using namespace nbd;
using namespace Qt::Literals::StringLiterals;

using nbd::test::json;
using nbd::test::settingsNamespaceValue;

// The host settings editor's text: how a value is shown, and what a saved text sends.
class tst_SettingsEditor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void editorTextOfAValue_data()
    {
        QTest::addColumn<JSONValue>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("nested, keys out of order")
            << json(R"({"b": 1, "a": {"d": true, "c": null}})")
            << u"{\n  \"a\" : {\n    \"c\" : null,\n    \"d\" : true\n  },\n  \"b\" : 1\n}"_s;
        QTest::newRow("empty object") << JSONValue::emptyObject() << u"{}"_s;
        QTest::newRow("array inside") << json(R"({"list": [2, {"y": 1, "x": "中"}]})")
                                      << u"{\n  \"list\" : [\n    2,\n    {\n      \"x\" : \"中\",\n      \"y\" : 1\n    }\n  ]\n}"_s;
    }

    void editorTextOfAValue()
    {
        QFETCH(JSONValue, value);
        QFETCH(QString, text);
        QCOMPARE(editorText(value), text);
        // What the editor shows parses back to the same value.
        QCOMPARE(parseJSON(text.toUtf8()), value);
    }

    void secretsLeftAsLoaded_data()
    {
        QTest::addColumn<JSONValue>("loaded");
        QTest::addColumn<JSONValue>("secrets");
        QTest::addColumn<JSONValue>("edited");
        QTest::addColumn<JSONValue>("patch");
        QTest::addColumn<QString>("refusal");
        const JSONValue nested = json(R"([{"path": ["api", "key"], "set": true}])");
        const JSONValue masked = json(R"({"api":{"key":"••••••"},"providers":[{"name":"p","key":"******"}],"other":1})");
        const JSONValue maskedSlots =
            json(R"([{"path": ["api", "key"], "set": true}, {"path": ["providers", "0", "key"], "set": true}])");
        const QString providersRefused =
            u"无法保存：providers 有改动，整体发送会覆盖已保存的密钥 providers.0.key；请在编辑器中重新填写 providers.0.key 后再保存"_s;
        QTest::newRow("mask left, other key changed")
            << json(R"({"api": {"key": "********", "url": "a"}, "n": 1})") << nested
            << json(R"({"api": {"key": "********", "url": "b"}, "n": 1})") << json(R"({"api": {"url": "b"}, "n": 1})")
            << QString();
        QTest::newRow("secret set by the user") << json(R"({"api": {"key": "********"}})") << nested
                                                << json(R"({"api": {"key": "new-key"}})")
                                                << json(R"({"api": {"key": "new-key"}})") << QString();
        QTest::newRow("secret removed by the user") << json(R"({"api": {"key": "********"}, "n": 1})") << nested
                                                    << json(R"({"n": 2})") << json(R"({"api": null, "n": 2})")
                                                    << QString();
        QTest::newRow("unset slot is a plain value") << json(R"({"token": "", "n": 1})")
                                                     << json(R"([{"path": ["token"], "set": false}])")
                                                     << json(R"({"token": "", "n": 2})")
                                                     << json(R"({"token": "", "n": 2})") << QString();
        QTest::newRow("two slots, one changed")
            << json(R"({"a": "********", "b": "********"})")
            << json(R"([{"path": ["a"], "set": true}, {"path": ["b"], "set": true}])")
            << json(R"({"a": "********", "b": "typed"})") << json(R"({"b": "typed"})") << QString();
        QTest::newRow("path through a non-object") << json(R"({"api": [1], "n": 1})") << nested
                                                   << json(R"({"api": [1], "n": 2})") << json(R"({"n": 2})")
                                                   << QString();
        QTest::newRow("slot added by the user") << json(R"({"n": 1})") << nested
                                                << json(R"({"api": {"key": "k"}, "n": 1})")
                                                << json(R"({"api": {"key": "k"}, "n": 1})") << QString();
        QTest::newRow("empty path") << json(R"({"n": 1})") << json(R"([{"path": [], "set": true}])")
                                    << json(R"({"n": 2})") << json(R"({"n": 2})") << QString();
        QTest::newRow("removed member inside an object") << json(R"({"a": {"x": 1, "y": 2}, "z": null})")
                                                         << json("[]") << json(R"({"a": {"x": 1}, "z": null})")
                                                         << json(R"({"a": {"x": 1, "y": null}})") << QString();
        QTest::newRow("untouched, masks in an object and an array")
            << masked << maskedSlots << masked << JSONValue() << SettingsPatch::unchangedMessage();
        QTest::newRow("change beside masks in an object and an array")
            << masked << maskedSlots << masked.with(u"other"_s, 2) << json(R"({"other": 2})") << QString();
        QTest::newRow("array with a mask changed")
            << masked << maskedSlots
            << masked.with(u"providers"_s, json(R"([{"name": "q", "key": "******"}])")) << JSONValue()
            << providersRefused;
        QTest::newRow("mask moved to another element")
            << masked << maskedSlots
            << masked.with(u"providers"_s, json(R"([{"name": "new", "key": "k"}, {"name": "p", "key": "******"}])"))
            << JSONValue() << providersRefused;
        QTest::newRow("array with its secret typed anew")
            << masked << maskedSlots
            << masked.with(u"providers"_s, json(R"([{"name": "q", "key": "sk-new"}])"))
            << json(R"({"other": 1, "providers": [{"name": "q", "key": "sk-new"}]})") << QString();
        QTest::newRow("secret deep in nested arrays")
            << json(R"({"a": [{"b": [0, {"k": "•"}]}], "n": 1})")
            << json(R"([{"path": ["a", "0", "b", "1", "k"], "set": true}])")
            << json(R"({"a": [{"b": [0, {"k": "•"}]}], "n": 2})") << json(R"({"n": 2})") << QString();
    }

    // What "保存" sends: a merge patch that leaves out each stored secret the editor still
    // shows as the host gave it, removes with null, and refuses to replace an array whole
    // while it holds such a secret.
    void secretsLeftAsLoaded()
    {
        QFETCH(JSONValue, loaded);
        QFETCH(JSONValue, secrets);
        QFETCH(JSONValue, edited);
        QFETCH(JSONValue, patch);
        QFETCH(QString, refusal);
        const SettingsNamespaceView view = SettingsNamespaceView::fromJson(settingsNamespaceValue(u"n"_s, u"live"_s, secrets, 1, loaded));
        const std::variant<SettingsPatch, QString> result = SettingsPatch::fromEdit(edited, view);
        if (const QString *message = std::get_if<QString>(&result))
            QCOMPARE(*message, refusal);
        else
            QCOMPARE(std::get<SettingsPatch>(result).value, patch);
    }

    // Generated namespaces: nested objects and arrays with secret slots at every depth, set
    // and unset, each set one shown by a mask of some form; the editor left alone, edited
    // beside the secrets, or with a secret typed anew. The patch applied to the stored value,
    // as the simulated host applies it, keeps every secret the editor left as shown.
    void generatedEditsKeepStoredSecrets()
    {
        int sent = 0, refused = 0, unchanged = 0;
        for (quint32 seed = 1; seed <= 600; ++seed) {
            const test::GeneratedSettings g = test::generateSettings(seed);
            const std::variant<SettingsPatch, QString> result = SettingsPatch::fromEdit(g.edited, g.view);
            const QByteArray where = "seed " + QByteArray::number(seed) + ": " + *g.edited.data();
            QVERIFY(g.edits > 0 || g.edited == g.view.value);
            if (g.edited == g.view.value) {
                QVERIFY2(std::holds_alternative<QString>(result), where.constData());
                QCOMPARE(std::get<QString>(result), SettingsPatch::unchangedMessage());
                ++unchanged;
                continue;
            }
            if (const QString *message = std::get_if<QString>(&result)) {
                QVERIFY2(g.changesAnArrayHoldingASecret(), qPrintable(QString::fromUtf8(where) + u" → "_s + *message));
                ++refused;
                continue;
            }
            const JSONValue &patch = std::get<SettingsPatch>(result).value;
            for (const test::GeneratedSecret &secret : g.secrets) {
                if (!g.leftAsShown(secret))
                    continue;
                QVERIFY2(!settingsValueAt(patch, secret.path), where.constData());
            }
            QCOMPARE(sim::applyMergePatch(g.stored, patch), g.intended());
            ++sent;
        }
        // Every outcome was met often enough for the properties above to mean something.
        QVERIFY(sent > 150 && refused > 20 && unchanged > 50);
    }

    void editorTextToPatch_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<JSONValue>("patch");
        QTest::newRow("object, mask left") << u"{\"key\": \"****\", \"n\": 2}"_s << QString() << json(R"({"n": 2})");
        QTest::newRow("object, secret typed") << u"{\"key\": \"k\"}"_s << QString() << json(R"({"key": "k", "n": null})");
        QTest::newRow("empty object") << u" {} "_s << QString() << json(R"({"key": null, "n": null})");
        QTest::newRow("as loaded, laid out anew") << u"{\"n\":1,\n\"key\":\"****\"}"_s << SettingsPatch::unchangedMessage()
                                                 << JSONValue();
        QTest::newRow("array") << u"[1, 2]"_s << u"值必须是 JSON 对象"_s << JSONValue();
        QTest::newRow("bare number") << u"3"_s << u"值必须是 JSON 对象"_s << JSONValue();
        QTest::newRow("null") << u"null"_s << u"值必须是 JSON 对象"_s << JSONValue();
        QTest::newRow("truncated") << u"{\"n\": "_s << u"不是合法的 JSON"_s << JSONValue();
        QTest::newRow("garbage") << u"n = 2"_s << u"不是合法的 JSON"_s << JSONValue();
        QTest::newRow("empty") << QString() << u"不是合法的 JSON"_s << JSONValue();
        QTest::newRow("two values") << u"{} {}"_s << u"不是合法的 JSON"_s << JSONValue();
    }

    void editorTextToPatch()
    {
        QFETCH(QString, text);
        QFETCH(QString, failure);
        QFETCH(JSONValue, patch);
        const SettingsNamespaceView loaded = SettingsNamespaceView::fromJson(settingsNamespaceValue(
            u"n"_s, u"live"_s, json(R"([{"path": ["key"], "set": true}])"), 1, json(R"({"key": "****", "n": 1})")));
        const std::variant<SettingsPatch, QString> result = SettingsPatch::fromEditorText(text, loaded);
        if (failure.isEmpty()) {
            QVERIFY(std::holds_alternative<SettingsPatch>(result));
            QCOMPARE(std::get<SettingsPatch>(result).value, patch);
        } else {
            QVERIFY(std::holds_alternative<QString>(result));
            QCOMPARE(std::get<QString>(result), failure);
        }
    }
};

QTEST_GUILESS_MAIN(tst_SettingsEditor)
#include "tst_settingseditor.moc"
