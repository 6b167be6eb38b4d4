#include "Domain/Settings.h"
#include "RecordTestSupport.h"

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
        const JSONValue nested = json(R"([{"path": ["api", "key"], "set": true}])");
        QTest::newRow("mask left, other key changed")
            << json(R"({"api": {"key": "********", "url": "a"}, "n": 1})") << nested
            << json(R"({"api": {"key": "********", "url": "b"}, "n": 1})") << json(R"({"api": {"url": "b"}, "n": 1})");
        QTest::newRow("secret set by the user") << json(R"({"api": {"key": "********"}})") << nested
                                                << json(R"({"api": {"key": "new-key"}})")
                                                << json(R"({"api": {"key": "new-key"}})");
        QTest::newRow("secret removed by the user") << json(R"({"api": {"key": "********"}, "n": 1})") << nested
                                                    << json(R"({"n": 2})") << json(R"({"n": 2})");
        QTest::newRow("unset slot left empty") << json(R"({"token": "", "n": 1})")
                                               << json(R"([{"path": ["token"], "set": false}])")
                                               << json(R"({"token": "", "n": 2})") << json(R"({"n": 2})");
        QTest::newRow("two slots, one changed")
            << json(R"({"a": "********", "b": "********"})")
            << json(R"([{"path": ["a"], "set": true}, {"path": ["b"], "set": true}])")
            << json(R"({"a": "********", "b": "typed"})") << json(R"({"b": "typed"})");
        QTest::newRow("path through a non-object") << json(R"({"api": [1], "n": 1})") << nested
                                                   << json(R"({"api": [1], "n": 2})")
                                                   << json(R"({"api": [1], "n": 2})");
        QTest::newRow("slot added by the user") << json(R"({"n": 1})") << nested
                                                << json(R"({"api": {"key": "k"}, "n": 1})")
                                                << json(R"({"api": {"key": "k"}, "n": 1})");
        QTest::newRow("empty path") << json(R"({"n": 1})") << json(R"([{"path": [], "set": true}])")
                                    << json(R"({"n": 1})") << json(R"({"n": 1})");
    }

    void secretsLeftAsLoaded()
    {
        QFETCH(JSONValue, loaded);
        QFETCH(JSONValue, secrets);
        QFETCH(JSONValue, edited);
        QFETCH(JSONValue, patch);
        const SettingsNamespaceView view = SettingsNamespaceView::fromJson(settingsNamespaceValue(u"n"_s, u"live"_s, secrets, 1, loaded));
        QCOMPARE(SettingsPatch::withoutUnchangedSecrets(edited, view), patch);
    }

    void editorTextToPatch_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<JSONValue>("patch");
        QTest::newRow("object, mask left") << u"{\"key\": \"****\", \"n\": 2}"_s << QString() << json(R"({"n": 2})");
        QTest::newRow("object, secret typed") << u"{\"key\": \"k\"}"_s << QString() << json(R"({"key": "k"})");
        QTest::newRow("empty object") << u" {} "_s << QString() << JSONValue::emptyObject();
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
