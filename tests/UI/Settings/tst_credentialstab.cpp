#include "GuiTestMain.h"
#include "SettingsTestSupport.h"
#include "UI/Settings/CredentialsTab.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/StatusPill.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::Reply;

class tst_CredentialsTab : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::SettingsFixture> fixture;
    test::SettingsFixture &fx() const { return *fixture; }

    CredentialsTab *openCredentials(bool connect = true)
    {
        sim::SimWorld &world = fx().harness.world;
        world.setCredential(u"API_KEY"_s, u"keychain"_s);
        world.setCredential(u"api_key"_s, std::nullopt);
        world.setCredential(u"GITHUB_TOKEN"_s, std::nullopt);
        world.setCredential(u"RO_KEY"_s, std::nullopt, false);
        fx().open(connect);
        fx().select(SettingsSection::Credentials);
        return qobject_cast<CredentialsTab *>(fx().view->page());
    }

    void press(const QString &button) { test::click(fx().find(u"settings-credential-"_s + button)); }

    void lookUp(const QString &name)
    {
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), name);
        const int before = fx().harness.requestCount(u"credentials.describe"_s);
        press(u"query"_s);
        QTRY_COMPARE(fx().harness.requestCount(u"credentials.describe"_s), before + 1);
        fx().harness.methodsThroughBarrier(); // the answer has come back
    }

    QStringList rowNames(CredentialsTab *page) const
    {
        QStringList names;
        for (const CredentialsTab::Entry &e : page->entries())
            names << e.ref;
        return names;
    }

    QWidget *row(const QString &ref) const { return fx().find(u"settings-credential-"_s + ref); }

    QDialog *dialog() const
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == u"settings-credential-dialog" && w->isVisible())
                return qobject_cast<QDialog *>(w);
        }
        return nullptr;
    }

    QString shownMessage() const
    {
        auto *label = fx().find<QLabel>(u"settings-credential-message"_s);
        return label->isVisible() ? label->text() : QString();
    }

private Q_SLOTS:
    void init() { fixture = std::make_unique<test::SettingsFixture>(); }
    void cleanup() { fixture.reset(); }

    void trimming_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("name");
        QTest::newRow("bare") << u"API_KEY"_s << u"API_KEY"_s;
        QTest::newRow("blanks and tabs") << u" \tAPI_KEY \t"_s << u"API_KEY"_s;
        QTest::newRow("no-break and ideographic space") << u"\u00a0API_KEY\u3000"_s << u"API_KEY"_s;
        QTest::newRow("line breaks stay") << u"\nAPI_KEY\n"_s << u"\nAPI_KEY\n"_s;
        QTest::newRow("inner blank stays") << u" A B "_s << u"A B"_s;
        QTest::newRow("only blanks") << u" \t "_s << QString();
    }

    void trimming()
    {
        QFETCH(QString, typed);
        QFETCH(QString, name);
        QCOMPARE(CredentialsTab::trimmedName(typed), name);
    }

    // A name looked up twice keeps one row in its first place; blanks around it address the
    // same row; letter case makes another; an unknown name fails and leaves the rows alone.
    void lookUpKeepsOneRowPerName()
    {
        CredentialsTab *page = openCredentials();
        lookUp(u"  API_KEY\t"_s);
        QCOMPARE(rowNames(page), QStringList{u"API_KEY"_s});
        QWidget *apiRow = row(u"API_KEY"_s);
        QCOMPARE(apiRow->findChild<IconView *>()->symbolName(), u"checkmark.circle.fill"_s);
        QCOMPARE(apiRow->findChild<QLabel *>(u"settings-credential-status"_s)->text(), u"已配置"_s);
        QCOMPARE(apiRow->findChild<QLabel *>(u"settings-credential-source"_s)->text(), u"来源: keychain"_s);
        QVERIFY(!apiRow->findChild<StatusPill *>());
        QCOMPARE(shownMessage(), QString());

        lookUp(u"RO_KEY"_s);
        QWidget *roRow = row(u"RO_KEY"_s);
        QCOMPARE(roRow->findChild<IconView *>()->symbolName(), u"circle"_s);
        QCOMPARE(roRow->findChild<QLabel *>(u"settings-credential-status"_s)->text(), u"未配置"_s);
        QVERIFY(!roRow->findChild<QLabel *>(u"settings-credential-source"_s));
        QCOMPARE(roRow->findChild<StatusPill *>()->text(), u"只读"_s);

        fx().harness.world.setCredential(u"API_KEY"_s, std::nullopt);
        lookUp(u"API_KEY"_s);
        QCOMPARE(rowNames(page), (QStringList{u"API_KEY"_s, u"RO_KEY"_s}));
        QCOMPARE(page->entries()[0].view.configured, false);
        QCOMPARE(row(u"API_KEY"_s)->findChild<IconView *>()->symbolName(), u"circle"_s);

        lookUp(u"api_key"_s);
        QCOMPARE(rowNames(page), (QStringList{u"API_KEY"_s, u"RO_KEY"_s, u"api_key"_s}));

        lookUp(u"UNKNOWN"_s);
        QTRY_COMPARE(shownMessage(), u"查询失败"_s);
        QCOMPARE(rowNames(page).size(), 3);
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // A blank name: none of the three buttons does anything.
    void blankNameDoesNothing()
    {
        CredentialsTab *page = openCredentials();
        lookUp(u"UNKNOWN"_s);
        QTRY_COMPARE(shownMessage(), u"查询失败"_s);
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u" \t "_s);
        const qsizetype requests = fx().harness.host.requests().size();
        press(u"query"_s);
        press(u"set"_s);
        press(u"unset"_s);
        fx().harness.methodsThroughBarrier();
        QCOMPARE(fx().harness.methodsSince(requests), test::kBarrierMethod);
        QVERIFY(!dialog());
        QCOMPARE(page->message(), std::optional(u"查询失败"_s));
    }

    // "设置…": the value goes into a password field, is sent once when confirmed, and is kept
    // nowhere; "已保存" shows while the follow-up lookup runs, which then clears it.
    void setSendsTheValueOnce()
    {
        CredentialsTab *page = openCredentials();
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u" GITHUB_TOKEN "_s);
        press(u"set"_s);
        QDialog *d = dialog();
        QVERIFY(d);
        QCOMPARE(d->windowModality(), Qt::WindowModal);
        QCOMPARE(d->findChild<QLabel *>(u"settings-credential-dialog-title"_s)->text(), u"设置凭据 GITHUB_TOKEN"_s);
        auto *field = d->findChild<QLineEdit *>(u"settings-credential-value"_s);
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        QCOMPARE(field->size(), QSize(280, 24));
        const QStringList problems = test::accessibilityProblems(d);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        QTest::keyClicks(field, u"s3cret-v@lue"_s);

        // The follow-up lookup answers late, so the confirmation can be seen meanwhile.
        fx().harness.host.setReply(
            u"credentials.describe"_s,
            Reply::value(JSONValue::object({{u"credentials"_s,
                                             JSONValue::object({{u"GITHUB_TOKEN"_s,
                                                                 JSONValue::object({{u"configured"_s, true},
                                                                                    {u"source"_s, u"user"_s},
                                                                                    {u"writable"_s, true}})}})}}))
                .delayed(400));
        QPointer<QDialog> guard = d;
        test::click(d->findChild<QPushButton *>(u"settings-credential-save"_s));
        QTRY_VERIFY(guard.isNull());
        QTRY_COMPARE(shownMessage(), u"已保存"_s);
        const auto sets = fx().harness.host.requests(u"credentials.set"_s);
        QCOMPARE(sets.size(), 1);
        QCOMPARE(sets[0].payload, JSONValue::object({{u"ref"_s, u"GITHUB_TOKEN"_s}, {u"value"_s, u"s3cret-v@lue"_s}}));
        QVERIFY(fx().harness.world.credentialConfigured(u"GITHUB_TOKEN"_s));

        QTRY_COMPARE(rowNames(page), QStringList{u"GITHUB_TOKEN"_s});
        QCOMPARE(page->message(), std::nullopt);
        QCOMPARE(row(u"GITHUB_TOKEN"_s)->findChild<IconView *>()->symbolName(), u"checkmark.circle.fill"_s);
        // The value is nowhere in the interface any more.
        for (QLineEdit *edit : fx().window->findChildren<QLineEdit *>())
            QVERIFY(!edit->text().contains(u"s3cret"_s));
        for (QLabel *label : fx().window->findChildren<QLabel *>())
            QVERIFY(!label->text().contains(u"s3cret"_s));
    }

    // An empty value is still sent; the host's refusal stays in view.
    void emptyValueIsSentAndCancelSendsNothing()
    {
        CredentialsTab *page = openCredentials();
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u"GITHUB_TOKEN"_s);
        press(u"set"_s);
        QPointer<QDialog> cancelled = dialog();
        QVERIFY(cancelled);
        test::click(cancelled->findChild<QPushButton *>(u"settings-credential-cancel"_s));
        QTRY_VERIFY(cancelled.isNull()); // a new one can be opened once it has gone
        QCOMPARE(test::countOf(fx().harness.methodsThroughBarrier(), u"credentials.set"_s), 0);
        QCOMPARE(page->message(), std::nullopt);

        press(u"set"_s);
        QVERIFY(dialog());
        // Return in the field confirms, like the default button.
        QTest::keyClick(dialog()->findChild<QLineEdit *>(u"settings-credential-value"_s), Qt::Key_Return);
        QTRY_COMPARE(fx().harness.requestCount(u"credentials.set"_s), 1);
        QCOMPARE(fx().harness.host.requests(u"credentials.set"_s)[0].payload.find(u"value")->string(),
                 std::optional(QString()));
        QTRY_COMPARE(rowNames(page), QStringList{u"GITHUB_TOKEN"_s});
        // The host refuses an empty value; the refusal outlives the lookup.
        QVERIFY(page->message().has_value());
        QVERIFY2(page->message()->contains(u"value must not be empty"_s), qPrintable(*page->message()));
    }

    void failedWriteStaysInView_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<int>("failure");
        QTest::addColumn<bool>("lookupSucceeds");
        QTest::addColumn<QString>("message");
        const QString refused = u"read_only: credential RO_KEY is read-only"_s;
        QTest::newRow("delete refused, lookup answers") << u"unset"_s << 0 << true << refused;
        QTest::newRow("delete refused, lookup fails") << u"unset"_s << 0 << false << refused;
        QTest::newRow("set refused") << u"set"_s << 1 << true << u"forbidden: not allowed"_s;
        QTest::newRow("set, HTTP failure") << u"set"_s << 2 << true << u"credentials.set failed with HTTP 500"_s;
        QTest::newRow("delete, HTTP failure, lookup fails") << u"unset"_s << 2 << false << u"credentials.unset failed with HTTP 500"_s;
    }

    // A refused or failed write stays in view after the follow-up lookup, which still shows
    // the row as the host holds it; the user's next action replaces the message.
    void failedWriteStaysInView()
    {
        QFETCH(QString, method);
        QFETCH(int, failure);
        QFETCH(bool, lookupSucceeds);
        QFETCH(QString, message);
        CredentialsTab *page = openCredentials();
        sim::SimHost &host = fx().harness.host;
        const QString call = method == u"set" ? u"credentials.set"_s : u"credentials.unset"_s;
        if (failure == 1)
            host.setReply(call, Reply::error(u"forbidden"_s, u"not allowed"_s));
        else if (failure == 2)
            host.setReply(call, Reply::status(500));
        const Reply answer = Reply::value(JSONValue::object(
            {{u"credentials"_s, JSONValue::object({{u"RO_KEY"_s, JSONValue::object({{u"configured"_s, true},
                                                                                   {u"writable"_s, false}})}})}}));
        // The follow-up lookup answers or fails; the user's own query after it answers.
        host.setReplies(u"credentials.describe"_s, {lookupSucceeds ? answer : Reply::status(502), answer});
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u"RO_KEY"_s);
        if (method == u"set") {
            press(u"set"_s);
            QTest::keyClicks(dialog()->findChild<QLineEdit *>(u"settings-credential-value"_s), u"v"_s);
            test::click(dialog()->findChild<QPushButton *>(u"settings-credential-save"_s));
        } else {
            press(u"unset"_s);
        }
        QTRY_COMPARE(fx().harness.requestCount(u"credentials.describe"_s), 1);
        if (lookupSucceeds) {
            QTRY_COMPARE(rowNames(page), QStringList{u"RO_KEY"_s});
        } else {
            fx().harness.methodsThroughBarrier(); // the failed lookup has ended
            QVERIFY(page->entries().empty());
        }
        QCOMPARE(shownMessage(), message);
        QCOMPARE(page->message(), std::optional(shownMessage()));

        press(u"query"_s);
        QTRY_COMPARE(page->message(), std::nullopt);
        QCOMPARE(rowNames(page), QStringList{u"RO_KEY"_s});
    }

    // Deleting a name never looked up adds its row through the follow-up lookup.
    void deleteAddsTheRow()
    {
        CredentialsTab *page = openCredentials();
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u"API_KEY"_s);
        press(u"unset"_s);
        QTRY_COMPARE(rowNames(page), QStringList{u"API_KEY"_s});
        QCOMPARE(fx().harness.host.requests(u"credentials.unset"_s)[0].payload,
                 JSONValue::object({{u"ref"_s, u"API_KEY"_s}}));
        QCOMPARE(page->entries()[0].view.configured, false);
        QCOMPARE(page->message(), std::nullopt);
    }

    // Without a host: the set says it is not connected, also after the lookup that cannot
    // run either; no row and no request. A query of its own still says "查询失败".
    void noHost()
    {
        CredentialsTab *page = openCredentials(false);
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u"API_KEY"_s);
        press(u"set"_s);
        QTest::keyClicks(dialog()->findChild<QLineEdit *>(u"settings-credential-value"_s), u"x"_s);
        test::click(dialog()->findChild<QPushButton *>(u"settings-credential-save"_s));
        QTRY_COMPARE(shownMessage(), u"未连接"_s);
        // Without a client the lookup after the set has no reply to wait for; whatever it
        // had queued runs while the barrier goes through a client of its own.
        QCOMPARE(fx().harness.methodsThroughBarrier(), QStringList{test::kBarrierMethod});
        QCOMPARE(shownMessage(), u"未连接"_s);
        QVERIFY(page->entries().empty());
        press(u"query"_s);
        QTRY_COMPARE(shownMessage(), u"查询失败"_s);
        QCOMPARE(fx().harness.methodsThroughBarrier(), (QStringList{test::kBarrierMethod, test::kBarrierMethod}));
    }

    // The page goes while the dialog is open: the dialog goes with it and nothing is sent.
    void leavingClosesTheDialog()
    {
        openCredentials();
        test::typeInto(fx().find<QLineEdit>(u"settings-credential-ref"_s), u"API_KEY"_s);
        press(u"set"_s);
        QPointer<QDialog> d = dialog();
        QVERIFY(d);
        QTest::keyClicks(d->findChild<QLineEdit *>(u"settings-credential-value"_s), u"x"_s);
        d->hide(); // the window-modal dialog would take the click meant for the section row
        fx().select(SettingsSection::About);
        QVERIFY(d.isNull());
        QCOMPARE(test::countOf(fx().harness.methodsThroughBarrier(), u"credentials.set"_s), 0);
    }
};

NBD_GUI_TEST_MAIN(tst_CredentialsTab)
#include "tst_credentialstab.moc"
