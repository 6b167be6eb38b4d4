#include "GuiTestMain.h"
#include "RecordTestSupport.h"
#include "SettingsTestSupport.h"
#include "UI/Settings/HostSettingsTab.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/StatusPill.h"

#include <QCoroTask>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::Reply;

namespace {

using nbd::test::settingsNamespaceValue;

JSONValue parsed(const char *text)
{
    return nbd::test::json(text);
}

} // namespace

class tst_HostSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::SettingsFixture> fixture;
    test::SettingsFixture &fx() const { return *fixture; }

    HostSettingsTab *openHost(bool connect = true)
    {
        fx().open(connect);
        fx().select(SettingsSection::Host);
        auto *page = qobject_cast<HostSettingsTab *>(fx().view->page());
        if (page && !QTest::qWaitFor([page] { return page->loaded() || page->loadFailure(); }, 5000))
            qWarning("the host settings page did not finish loading");
        return page;
    }

    QWidget *card(const QString &ns) const { return fx().find(u"settings-namespace-"_s + ns); }

    template<class T = QWidget>
    T *inCard(const QString &ns, const QString &name) const
    {
        QWidget *c = card(ns);
        return c ? c->findChild<T *>(name) : nullptr;
    }

    // Replaces the editor's text the way a user does.
    void typeInEditor(const QString &ns, const QString &text)
    {
        auto *editor = inCard<QPlainTextEdit>(ns, u"settings-namespace-editor"_s);
        QVERIFY(editor);
        editor->setFocus();
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(editor, Qt::Key_Delete);
        QTest::keyClicks(editor, text);
        QCOMPARE(editor->toPlainText(), text);
    }

    // Selects `from` in the editor (its last occurrence when asked) and types `to` over it.
    void replaceInEditor(const QString &ns, const QString &from, const QString &to, bool last = false)
    {
        auto *editor = inCard<QPlainTextEdit>(ns, u"settings-namespace-editor"_s);
        QVERIFY(editor);
        const qsizetype at = last ? editor->toPlainText().lastIndexOf(from) : editor->toPlainText().indexOf(from);
        QVERIFY2(at >= 0, qPrintable(from));
        editor->setFocus();
        QTest::keyClick(editor, Qt::Key_Home, Qt::ControlModifier);
        for (qsizetype i = 0; i < at; ++i)
            QTest::keyClick(editor, Qt::Key_Right);
        for (qsizetype i = 0; i < from.size(); ++i)
            QTest::keyClick(editor, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClicks(editor, to);
    }

    QString editorText(const QString &ns) const
    {
        return inCard<QPlainTextEdit>(ns, u"settings-namespace-editor"_s)->toPlainText();
    }

    std::optional<QString> shownError(const QString &ns) const
    {
        auto *label = inCard<QLabel>(ns, u"settings-namespace-error"_s);
        auto *frame = label->parentWidget()->findChildren<CardFrame *>().value(0);
        if (frame && frame->alert() != label->isVisibleTo(card(ns)))
            return u"<border and message disagree>"_s;
        return label->isVisibleTo(card(ns)) ? std::optional(label->text()) : std::nullopt;
    }

private Q_SLOTS:
    void init() { fixture = std::make_unique<test::SettingsFixture>(); }
    void cleanup() { fixture.reset(); }

    // Cards follow the host's order; the header shows when a change applies, the revision and
    // the secret slots; editing one card leaves the other alone.
    void cardsInHostOrder()
    {
        const JSONValue secrets = parsed(R"([{"path": ["api", "key"], "set": true}, {"path": ["token"], "set": false}])");
        const JSONValue describe = JSONValue::object(
            {{u"writable"_s, true},
             {u"hasDocument"_s, true},
             {u"namespaces"_s, JSONValue::array({settingsNamespaceValue(u"zeta"_s, u"restart"_s, secrets, 12, parsed(R"({"k": 1})")),
                                                 settingsNamespaceValue(u"alpha"_s, u"live"_s, JSONValue::array({}), 3,
                                                                parsed(R"({"m": "x"})"))})}});
        fx().harness.host.setReply(u"settings.describe"_s, Reply::value(describe));
        HostSettingsTab *page = openHost();
        QVERIFY(page);
        QCOMPARE(page->namespaces().size(), size_t(2));
        QCOMPARE(page->namespaces()[0].ns, u"zeta"_s);
        QVERIFY(card(u"zeta"_s)->y() < card(u"alpha"_s)->y());

        auto *pill = inCard<StatusPill>(u"zeta"_s, u"settings-namespace-applies"_s);
        QCOMPARE(pill->text(), u"重启生效"_s);
        QCOMPARE(pill->kind(), StatusPill::Kind::Warning);
        QCOMPARE(inCard<QLabel>(u"zeta"_s, u"settings-namespace-revision"_s)->text(), u"rev 12"_s);
        QWidget *apiKey = inCard(u"zeta"_s, u"settings-secret-api.key"_s);
        QVERIFY(apiKey);
        QCOMPARE(apiKey->findChild<IconView *>()->symbolName(), u"lock.fill"_s);
        QVERIFY(inCard(u"zeta"_s, u"settings-secret-token"_s)->findChild<IconView *>()->symbolName() != u"lock.fill"_s);
        QCOMPARE(inCard<StatusPill>(u"alpha"_s, u"settings-namespace-applies"_s)->text(), u"即时生效"_s);
        QCOMPARE(card(u"alpha"_s)->findChildren<IconView *>().size(), 0);
        QCOMPARE(editorText(u"alpha"_s), u"{\n  \"m\" : \"x\"\n}"_s);

        typeInEditor(u"zeta"_s, u"[1]"_s);
        test::click(inCard(u"zeta"_s, u"settings-namespace-save"_s));
        QCOMPARE(shownError(u"zeta"_s), std::optional(u"值必须是 JSON 对象"_s));
        QCOMPARE(shownError(u"alpha"_s), std::nullopt);
        QCOMPARE(editorText(u"alpha"_s), u"{\n  \"m\" : \"x\"\n}"_s);
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    void appliesBadge_data()
    {
        QTest::addColumn<QString>("applies");
        QTest::addColumn<QString>("text");
        QTest::addColumn<StatusPill::Kind>("kind");
        QTest::newRow("live") << u"live"_s << u"即时生效"_s << StatusPill::Kind::Success;
        QTest::newRow("Live") << u"Live"_s << u"重启生效"_s << StatusPill::Kind::Warning;
        QTest::newRow("empty") << QString() << u"重启生效"_s << StatusPill::Kind::Warning;
        QTest::newRow("restart") << u"restart"_s << u"重启生效"_s << StatusPill::Kind::Warning;
    }

    void appliesBadge()
    {
        QFETCH(QString, applies);
        QFETCH(QString, text);
        QFETCH(StatusPill::Kind, kind);
        fx().harness.world.addSettingsNamespace(u"n"_s, JSONValue::emptyObject(), JSONValue::emptyObject(), applies);
        QVERIFY(openHost());
        auto *pill = inCard<StatusPill>(u"n"_s, u"settings-namespace-applies"_s);
        QCOMPARE(pill->text(), text);
        QCOMPARE(pill->kind(), kind);
    }

    void refusedText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("array") << u"[1, 2]"_s << u"值必须是 JSON 对象"_s;
        QTest::newRow("number") << u"3"_s << u"值必须是 JSON 对象"_s;
        QTest::newRow("string") << u"\"text\""_s << u"值必须是 JSON 对象"_s;
        QTest::newRow("null") << u"null"_s << u"值必须是 JSON 对象"_s;
        QTest::newRow("lone brace") << u"{"_s << u"不是合法的 JSON"_s;
        QTest::newRow("empty") << QString() << u"不是合法的 JSON"_s;
        QTest::newRow("trailing garbage") << u"{} x"_s << u"不是合法的 JSON"_s;
        QTest::newRow("unquoted key") << u"{a: 1}"_s << u"不是合法的 JSON"_s;
    }

    // Text that is not a JSON object is refused under the editor and nothing is sent; the
    // text stays for the user to fix.
    void refusedText()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        fx().harness.world.addSettingsNamespace(u"n"_s, JSONValue::emptyObject(), parsed(R"({"a": 1})"));
        QVERIFY(openHost());
        typeInEditor(u"n"_s, text);
        test::click(inCard(u"n"_s, u"settings-namespace-save"_s));
        QCOMPARE(shownError(u"n"_s), std::optional(message));
        QCOMPARE(editorText(u"n"_s), text);
        QCOMPARE(test::countOf(fx().harness.methodsThroughBarrier(), u"settings.update"_s), 0);
        QCOMPARE(inCard<QLabel>(u"n"_s, u"settings-namespace-revision"_s)->text(), u"rev 1"_s);
    }

    // A save sends the whole object with the revision the card was loaded at; the editor
    // then shows the host's value with sorted keys, and the card its new revision.
    void saveSendsTheExpectedRevision()
    {
        fx().harness.world.addSettingsNamespace(u"n"_s, JSONValue::emptyObject(), parsed(R"({"a": 1})"));
        HostSettingsTab *page = openHost();
        typeInEditor(u"n"_s, u"{\"z\": 1, \"a\": {\"y\": 2, \"b\": [3]}}"_s);
        test::click(inCard(u"n"_s, u"settings-namespace-save"_s));
        QTRY_COMPARE(inCard<QLabel>(u"n"_s, u"settings-namespace-revision"_s)->text(), u"rev 2"_s);
        const auto requests = fx().harness.host.requests(u"settings.update"_s);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].payload, JSONValue::object({{u"ns"_s, u"n"_s},
                                                         {u"patch"_s, parsed(R"({"z": 1, "a": {"y": 2, "b": [3]}})")},
                                                         {u"expectedRevision"_s, 1}}));
        QCOMPARE(editorText(u"n"_s), u"{\n  \"a\" : {\n    \"b\" : [\n      3\n    ],\n    \"y\" : 2\n  },\n  \"z\" : 1\n}"_s);
        QCOMPARE(shownError(u"n"_s), std::nullopt);
        QCOMPARE(page->namespaces()[0].revision, 2);
        QCOMPARE(fx().harness.world.settingsValue(u"n"_s), std::optional(parsed(R"({"z": 1, "a": {"y": 2, "b": [3]}})")));
    }

    // A host that has moved on refuses the save: its error shows, the card keeps its old
    // revision and a second save sends that same revision. "重置" brings back the last value
    // received and clears the message.
    void rejectedRevisionKeepsTheOldOne()
    {
        fx().harness.world.addSettingsNamespace(u"n"_s, JSONValue::emptyObject(), parsed(R"({"a": 1})"));
        QVERIFY(openHost());
        // Someone else changes the namespace after the page loaded it.
        const auto elsewhere =
            QCoro::waitFor(fx().store()->hostSettings()->updateSettings(u"n"_s, parsed(R"({"a": 2})"), 1));
        QVERIFY(std::holds_alternative<SettingsNamespaceView>(elsewhere));
        QCOMPARE(std::get<SettingsNamespaceView>(elsewhere).revision, 2);

        typeInEditor(u"n"_s, u"{\"a\": 3}"_s);
        auto *save = inCard(u"n"_s, u"settings-namespace-save"_s);
        test::click(save);
        QTRY_VERIFY(shownError(u"n"_s).has_value());
        QCOMPARE(*shownError(u"n"_s), u"revision_conflict: settings changed since revision 1"_s);
        QCOMPARE(inCard<QLabel>(u"n"_s, u"settings-namespace-revision"_s)->text(), u"rev 1"_s);
        QCOMPARE(editorText(u"n"_s), u"{\"a\": 3}"_s);
        test::click(save);
        QTRY_COMPARE(fx().harness.requestCount(u"settings.update"_s), 3);
        QCOMPARE(fx().harness.host.requests(u"settings.update"_s).last().payload.find(u"expectedRevision")->toInt(), 1);
        QTRY_VERIFY(shownError(u"n"_s).has_value());

        test::click(inCard(u"n"_s, u"settings-namespace-reset"_s));
        QCOMPARE(editorText(u"n"_s), u"{\n  \"a\" : 1\n}"_s);
        QCOMPARE(shownError(u"n"_s), std::nullopt);
        QCOMPARE(fx().harness.world.settingsValue(u"n"_s), std::optional(parsed(R"({"a": 2})")));
    }

    void saveFailures_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        QTest::newRow("not connected") << 0 << u"未连接"_s;
        QTest::newRow("reply that does not decode") << 1 << u"malformed server response for settings.update"_s;
        QTest::newRow("host error") << 2 << u"forbidden: read-only settings"_s;
    }

    // Every failed save shows the store's description of it and keeps the text and record.
    void saveFailures()
    {
        QFETCH(int, failure);
        QFETCH(QString, message);
        fx().harness.world.addSettingsNamespace(u"n"_s, JSONValue::emptyObject(), parsed(R"({"a": 1})"));
        QVERIFY(openHost());
        if (failure == 0)
            fx().store()->disconnect();
        else if (failure == 1)
            fx().harness.host.setReply(u"settings.update"_s, Reply::value(parsed(R"({"unexpected": true})")));
        else
            fx().harness.host.setReply(u"settings.update"_s, Reply::error(u"forbidden"_s, u"read-only settings"_s));
        typeInEditor(u"n"_s, u"{\"a\": 5}"_s);
        test::click(inCard(u"n"_s, u"settings-namespace-save"_s));
        QTRY_COMPARE(shownError(u"n"_s), std::optional(message));
        QCOMPARE(editorText(u"n"_s), u"{\"a\": 5}"_s);
        QCOMPARE(inCard<QLabel>(u"n"_s, u"settings-namespace-revision"_s)->text(), u"rev 1"_s);
    }

    void unreadableSettingsSayWhy_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not connected") << 0 << u"未连接"_s;
        QTest::newRow("answer that does not decode") << 1 << u"malformed server response for settings.describe"_s;
        QTest::newRow("host error") << 2 << u"internal: settings store unavailable"_s;
        QTest::newRow("HTTP failure") << 3 << u"settings.describe failed with HTTP 503"_s;
    }

    // Settings that cannot be read are not "none": the page says so and why, and "重试" reads
    // them again once the cause is gone.
    void unreadableSettingsSayWhy()
    {
        QFETCH(int, failure);
        QFETCH(QString, reason);
        const Reply readable = Reply::value(JSONValue::object(
            {{u"writable"_s, true},
             {u"hasDocument"_s, true},
             {u"namespaces"_s, JSONValue::array({settingsNamespaceValue(u"n"_s, u"live"_s, JSONValue::array({}), 1,
                                                                parsed(R"({"a": 1})"))})}}));
        sim::SimHost &host = fx().harness.host;
        const QList<Reply> failures = {readable, Reply::value(parsed(R"({"namespaces": 3})")),
                                       Reply::error(u"internal"_s, u"settings store unavailable"_s), Reply::status(503)};
        // The first read fails, the one after it works.
        host.setReplies(u"settings.describe"_s, {failures[failure], readable});
        HostSettingsTab *page = openHost(failure != 0);
        QVERIFY(page);
        QCOMPARE(page->loadFailure(), std::optional(reason));
        QVERIFY(!fx().find(u"settings-host-empty"_s));
        auto *state = fx().find<ContentUnavailableState>(u"settings-host-failure"_s);
        QVERIFY(state && state->isVisible());
        QCOMPARE(state->title(), u"无法读取主机设置"_s);
        QStringList texts;
        for (QLabel *label : state->findChildren<QLabel *>())
            texts << label->text();
        QVERIFY2(texts.contains(*page->loadFailure()), qPrintable(texts.join(u" | "_s)));
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());

        if (failure == 0)
            fx().harness.connected();
        test::click(fx().find(u"settings-host-retry"_s));
        QTRY_VERIFY(page->loaded());
        QCOMPARE(page->loadFailure(), std::nullopt);
        QTRY_VERIFY(card(u"n"_s) && card(u"n"_s)->isVisible());
        QVERIFY(!fx().find(u"settings-host-failed"_s) || !fx().find(u"settings-host-failed"_s)->isVisible());
    }

    // A host that really has no namespaces gets the empty state, not a failure.
    void hostWithoutNamespacesShowsTheEmptyState()
    {
        HostSettingsTab *page = openHost();
        QVERIFY(page->loaded());
        QVERIFY(page->namespaces().empty());
        QCOMPARE(page->loadFailure(), std::nullopt);
        QWidget *empty = fx().find(u"settings-host-empty"_s);
        QVERIFY(empty && empty->isVisible());
        QCOMPARE(empty->property("symbolName").toString(), u"slider.horizontal.3"_s);
        QVERIFY(!fx().find(u"settings-host-failure"_s));
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // A host that masks its secrets: the card left as shown sends nothing, also after a
    // change of layout only ("没有更改", said plainly); a change beside the secrets keeps
    // both as stored; changing the array that holds one is refused until it is typed anew.
    void saveKeepsStoredSecrets()
    {
        const JSONValue stored = parsed(R"({"api": {"key": "sk-api"}, "providers": [{"name": "p", "key": "sk-prov"}], "other": 1})");
        fx().harness.world.addSettingsNamespace(
            u"secrets"_s, JSONValue::emptyObject(), stored, u"live"_s,
            parsed(R"([{"path": ["api", "key"], "set": true}, {"path": ["providers", "0", "key"], "set": true}])"));
        HostSettingsTab *page = openHost();
        QVERIFY(page);
        const QString shown = editorText(u"secrets"_s);
        QVERIFY(!shown.contains(u"sk-"_s));
        auto *save = inCard<QPushButton>(u"secrets"_s, u"settings-namespace-save"_s);
        auto *message = inCard<QLabel>(u"secrets"_s, u"settings-namespace-error"_s);
        QVERIFY(!save->isEnabled());
        test::click(save);

        auto *editor = inCard<QPlainTextEdit>(u"secrets"_s, u"settings-namespace-editor"_s);
        editor->setFocus();
        QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(editor, Qt::Key_Return);
        QVERIFY(save->isEnabled());
        test::click(save);
        QVERIFY(message->isVisibleTo(card(u"secrets"_s)));
        QCOMPARE(message->text(), SettingsPatch::unchangedMessage());
        QCOMPARE(page->error(u"secrets"_s), std::nullopt);
        QCOMPARE(test::countOf(fx().harness.methodsThroughBarrier(), u"settings.update"_s), 0);

        replaceInEditor(u"secrets"_s, u"\"other\" : 1"_s, u"\"other\" : 2"_s);
        test::click(save);
        QTRY_COMPARE(fx().harness.requestCount(u"settings.update"_s), 1);
        QCOMPARE(*fx().harness.host.requests(u"settings.update"_s)[0].payload.find(u"patch"), parsed(R"({"other": 2})"));
        QTRY_COMPARE(inCard<QLabel>(u"secrets"_s, u"settings-namespace-revision"_s)->text(), u"rev 2"_s);
        QCOMPARE(fx().harness.world.settingsValue(u"secrets"_s), std::optional(stored.with(u"other"_s, 2)));
        QVERIFY(!editorText(u"secrets"_s).contains(u"sk-"_s));
        QVERIFY(!save->isEnabled());
        QVERIFY(!message->isVisibleTo(card(u"secrets"_s)));

        replaceInEditor(u"secrets"_s, u"\"p\""_s, u"\"q\""_s);
        test::click(save);
        QCOMPARE(shownError(u"secrets"_s),
                 std::optional(u"无法保存：providers 有改动，整体发送会覆盖已保存的密钥 providers.0.key；请在编辑器中重新填写 providers.0.key 后再保存"_s));
        QCOMPARE(test::countOf(fx().harness.methodsThroughBarrier(), u"settings.update"_s), 1);

        const QString mask = *page->namespaces()[0].value.find(u"api")->find(u"key")->stringPtr();
        replaceInEditor(u"secrets"_s, mask, u"sk-new"_s, true);
        test::click(save);
        QTRY_COMPARE(fx().harness.requestCount(u"settings.update"_s), 2);
        QTRY_COMPARE(shownError(u"secrets"_s), std::nullopt);
        QCOMPARE(fx().harness.world.settingsValue(u"secrets"_s),
                 std::optional(parsed(R"({"api": {"key": "sk-api"}, "providers": [{"name": "q", "key": "sk-new"}], "other": 2})")));
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }
};

NBD_GUI_TEST_MAIN(tst_HostSettings)
#include "tst_hostsettings.moc"
