#include "GuiTestMain.h"
#include "SettingsTestSupport.h"
#include "UI/Settings/ConnectionSettingsTab.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/Theme.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

// An embedded connect finds no running host here: the machine may run hosts of its own.
QCoro::Task<std::optional<QUrl>> noRunningHost(QList<QUrl>, CancelToken)
{
    co_return std::nullopt;
}

QString simExecutable()
{
    return qEnvironmentVariable("NBD_SIM_EXE");
}

} // namespace

class tst_ConnectionSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::SettingsFixture> fixture;
    // Every test starts with a host and a configuration of its own.
    test::SettingsFixture &fx() const { return *fixture; }

    void openEmbedded()
    {
        fx().harness.seed(u"nbd.launchMode"_s, u"embedded"_s);
        fx().harness.makeStore();
        fx().store()->connectionSettings()->setHostLookup(&noRunningHost);
        // The lookup's own search finds nothing on this machine either.
        fx().store()->nbdProcess()->setLoginShell(u"/bin/false"_s);
        fx().store()->nbdProcess()->setFixedLocations({});
        fx().open(false);
    }

    QStringList hostRows() const
    {
        QStringList rows;
        for (const QString &name : {u"settings-host-version"_s, u"settings-host-cwd"_s, u"settings-host-model"_s}) {
            if (auto *label = fx().find<QLabel>(name))
                rows << label->text();
        }
        return rows;
    }

private Q_SLOTS:
    void init() { fixture = std::make_unique<test::SettingsFixture>(); }

    void cleanup()
    {
        if (fixture && fixture->store())
            fixture->store()->disconnect();
        fixture.reset();
    }

    // The picker writes the mode into the store at once and the page follows it; switching
    // neither connects nor disconnects.
    void launchModeSwitch()
    {
        fx().open();
        auto *embedded = fx().find<QRadioButton>(u"settings-launch-mode-embedded"_s);
        auto *external = fx().find<QRadioButton>(u"settings-launch-mode-external"_s);
        QCOMPARE(embedded->text(), u"本地 NBD（优先附着）"_s);
        QCOMPARE(external->text(), u"连接外部 NBD"_s);
        QVERIFY(external->isChecked());
        QVERIFY(fx().find(u"settings-server-section"_s)->isVisible());
        QVERIFY(!fx().find(u"settings-executable-section"_s)->isVisible());
        QVERIFY(!fx().find(u"settings-log-section"_s)->isVisible());
        QCOMPARE(fx().find<QLabel>(u"settings-launch-mode-description"_s)->accessibleName(), u"连接到一个已在运行的 NBD Web 主机。"_s);
        const int describes = fx().harness.requestCount(u"host.describe"_s);

        test::click(embedded);
        QCOMPARE(fx().store()->connectionSettings()->launchMode(), LaunchMode::Embedded);
        QCOMPARE(fx().harness.openSettings()->value(u"nbd.launchMode"_s).toString(), u"embedded"_s);
        QVERIFY(!fx().find(u"settings-server-section"_s)->isVisible());
        QVERIFY(fx().find(u"settings-executable-section"_s)->isVisible());
        QVERIFY(fx().find(u"settings-log-section"_s)->isVisible());
        QCOMPARE(fx().find<QLabel>(u"settings-launch-mode-description"_s)->accessibleName(),
                 u"启动时先附着已有的 NBD Web Host；未发现时才拉起并管理 nbd --profile web 子进程。"_s);
        QVERIFY(fx().store()->connection()->phase().isConnected());

        test::click(external);
        QCOMPARE(fx().store()->connectionSettings()->launchMode(), LaunchMode::External);
        QVERIFY(fx().find(u"settings-server-section"_s)->isVisible());
        // No reconnect: the barrier finds the connection as it was and no new describe.
        QCOMPARE(test::countOf(fx().harness.methodsThroughBarrier(), u"host.describe"_s), describes);
        QVERIFY(fx().store()->connection()->phase().isConnected());
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }

    // What is typed is stored as typed; the store makes an address of it at the next connect.
    void addressIsStoredAsTypedAndNormalisedOnConnect()
    {
        fx().harness.makeStore();
        fx().open(false);
        auto *field = fx().find<QLineEdit>(u"settings-server-url"_s);
        QCOMPARE(field->text(), fx().harness.host.baseUrl().toString());
        QCOMPARE(field->placeholderText(), u"http://127.0.0.1:3080"_s);
        const QString typed = u"  127.0.0.1:%1/ "_s.arg(fx().harness.host.port());
        test::typeInto(field, typed);
        QCOMPARE(fx().store()->connectionSettings()->serverURLString(), typed);
        QCOMPARE(fx().harness.openSettings()->value(u"nbd.serverURL"_s).toString(), typed);
        QCOMPARE(fx().harness.requestCount(u"host.describe"_s), 0);

        auto *button = fx().find<QPushButton>(u"settings-connect-button"_s);
        QCOMPARE(button->text(), u"连接"_s);
        test::click(button);
        fx().harness.waitForStreams();
        QCOMPARE(fx().store()->connection()->baseURL(), std::optional<QUrl>(fx().harness.host.baseUrl()));
        QCOMPARE(button->text(), u"断开"_s);
        QCOMPARE(fx().find<QLabel>(u"settings-connection-phase"_s)->text(), u"已连接"_s);
    }

    // A failed connect shows the phase and, under it, the bare message in red; one click retries.
    void failedPhaseShowsTwoLines()
    {
        fx().harness.makeStore();
        fx().open(false);
        test::typeInto(fx().find<QLineEdit>(u"settings-server-url"_s), u"http://exa mple"_s);
        auto *button = fx().find<QPushButton>(u"settings-connect-button"_s);
        test::click(button);
        const ConnectionPhase phase = fx().store()->connection()->phase();
        QCOMPARE(phase.kind(), ConnectionPhase::Kind::Failed);
        auto *failure = fx().find<ThemedLabel>(u"settings-connection-failure"_s);
        QCOMPARE(fx().find<QLabel>(u"settings-connection-phase"_s)->text(), u"连接失败："_s + phase.message());
        QVERIFY(failure->isVisible());
        QCOMPARE(failure->text(), phase.message());
        QCOMPARE(failure->toneColor(), Theme::systemRed());
        QCOMPARE(button->text(), u"连接"_s);

        test::typeInto(fx().find<QLineEdit>(u"settings-server-url"_s), fx().harness.host.baseUrl().toString());
        test::click(button);
        fx().harness.waitForStreams();
        QVERIFY(!failure->isVisible());
    }

    void hostDescriptionRows_data()
    {
        QTest::addColumn<JSONValue>("description");
        QTest::addColumn<QStringList>("rows");
        const JSONValue base = JSONValue::object(
            {{u"version"_s, u"1.2.3"_s}, {u"cwd"_s, u"/srv/work"_s}, {u"attachedSessions"_s, 0}, {u"canOpenPath"_s, true}});
        QTest::newRow("both") << base.with(u"provider"_s, u"acme"_s).with(u"model"_s, u"m-1"_s)
                              << QStringList{u"1.2.3"_s, u"/srv/work"_s, u"acme · m-1"_s};
        QTest::newRow("provider only") << base.with(u"provider"_s, u"acme"_s) << QStringList{u"1.2.3"_s, u"/srv/work"_s};
        QTest::newRow("model only") << base.with(u"model"_s, u"m-1"_s) << QStringList{u"1.2.3"_s, u"/srv/work"_s};
        QTest::newRow("neither") << base << QStringList{u"1.2.3"_s, u"/srv/work"_s};
    }

    // The status section holds only the status row until the host has described itself, and
    // again after "断开".
    void hostDescriptionRows()
    {
        QFETCH(JSONValue, description);
        QFETCH(QStringList, rows);
        fx().harness.host.setHostDescription(description);
        fx().harness.makeStore();
        fx().open(false);
        auto *status = fx().find<FormSection>(u"settings-status-section"_s);
        QCOMPARE(status->rowCount(), 1);
        QVERIFY(hostRows().isEmpty());
        test::click(fx().find<QPushButton>(u"settings-connect-button"_s));
        fx().harness.waitForStreams();
        QCOMPARE(hostRows(), rows);
        QCOMPARE(status->rowCount(), 1 + rows.size());
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());

        auto *button = fx().find<QPushButton>(u"settings-connect-button"_s);
        QCOMPARE(button->text(), u"断开"_s);
        test::click(button);
        QCOMPARE(fx().store()->connection()->phase().kind(), ConnectionPhase::Kind::Disconnected);
        QCOMPARE(status->rowCount(), 1);
        QVERIFY(hostRows().isEmpty());
        QCOMPARE(button->text(), u"连接"_s);
    }

    // "检测" shows where the executable is, in green, or "未找到 nbd" in red; the configured
    // path stays as it was either way.
    void detectShowsTheExecutable()
    {
        openEmbedded();
        auto *field = fx().find<QLineEdit>(u"settings-executable-path"_s);
        auto *detect = fx().find<QPushButton>(u"settings-detect-button"_s);
        auto *result = fx().find<ThemedLabel>(u"settings-detect-result"_s);
        QVERIFY(!result->isVisible());
        QCOMPARE(field->placeholderText(), u"留空则自动检测(登录 shell PATH)"_s);

        const QString typed = u" "_s + simExecutable() + u"  "_s;
        test::typeInto(field, typed);
        QCOMPARE(fx().store()->connectionSettings()->nbdExecutablePath(), typed);
        test::click(detect);
        QTRY_VERIFY(result->isVisible());
        const auto *page = qobject_cast<ConnectionSettingsTab *>(fx().view->page());
        QCOMPARE(page->detectResult(), std::optional(ConnectionSettingsTab::foundLabel(simExecutable())));
        QVERIFY(result->text().startsWith(u"已找到"_s));
        QVERIFY(result->text().endsWith(simExecutable()));
        QCOMPARE(result->toneColor(), Theme::success());
        QCOMPARE(fx().store()->connectionSettings()->nbdExecutablePath(), typed);

        test::typeInto(field, u"/nonexistent/nbd"_s);
        test::click(detect);
        QVERIFY(!result->isVisible()); // cleared while looking
        QTRY_VERIFY(result->isVisible());
        QCOMPARE(result->text(), u"未找到 nbd"_s);
        QCOMPARE(result->toneColor(), Theme::systemRed());
        QCOMPARE(fx().store()->connectionSettings()->nbdExecutablePath(), u"/nonexistent/nbd"_s);
        // The lookup said why in the host log, which the page shows.
        QTRY_VERIFY(fx().find<QPlainTextEdit>(u"settings-host-log"_s)->toPlainText().contains(u"/nonexistent/nbd"_s));
    }

    // The log shows the process manager's lines, the newest 300; a reader's scroll position
    // stays put while lines arrive. "重启内置 NBD" stops the launched host and connects again.
    void logAndRestart()
    {
        QTemporaryDir dir;
        const QString wrapper = dir.filePath(u"nbd"_s);
        {
            QFile script(wrapper);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nNBD_SIM_OUTPUT_LINES=400 exec '" + simExecutable().toUtf8() + "' \"$@\"\n");
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        openEmbedded();
        test::typeInto(fx().find<QLineEdit>(u"settings-executable-path"_s), wrapper);
        auto *log = fx().find<QPlainTextEdit>(u"settings-host-log"_s);
        QCOMPARE(log->height(), 160);
        QVERIFY(log->toPlainText().isEmpty());
        test::click(fx().find<QPushButton>(u"settings-connect-button"_s));
        QTRY_VERIFY_WITH_TIMEOUT(fx().store()->connection()->phase().isConnected(), 20000);
        const QStringList lines = fx().store()->nbdProcess()->logLines();
        QCOMPARE(lines.size(), 300);
        QTRY_COMPARE(log->toPlainText(), lines.join(u'\n'));
        QCOMPARE(log->document()->blockCount(), 300);
        QVERIFY(!log->toPlainText().contains(u"nbd-sim output line 1\n"_s));
        QVERIFY(log->toPlainText().contains(u"nbd-sim output line 400"_s));

        log->verticalScrollBar()->setValue(0);
        // A lookup of a path that is not executable writes to the log.
        auto *path = fx().find<QLineEdit>(u"settings-executable-path"_s);
        test::typeInto(path, u"/nonexistent/nbd"_s);
        test::click(fx().find<QPushButton>(u"settings-detect-button"_s));
        QTRY_VERIFY(fx().find<QLabel>(u"settings-detect-result"_s)->isVisible());
        test::typeInto(path, wrapper);
        QVERIFY(fx().store()->nbdProcess()->logLines() != lines);
        QCOMPARE(log->toPlainText(), fx().store()->nbdProcess()->logLines().join(u'\n'));
        QCOMPARE(log->verticalScrollBar()->value(), 0);

        // Restart: disconnect (the launched host is stopped, the lists empty), then connect.
        auto *restart = fx().find<QPushButton>(u"settings-restart-host"_s);
        const QUrl before = *fx().store()->connection()->baseURL();
        test::click(restart);
        QVERIFY(!fx().store()->connection()->phase().isConnected());
        QVERIFY(fx().store()->sessions()->sessions().empty());
        QTRY_VERIFY_WITH_TIMEOUT(fx().store()->connection()->phase().isConnected(), 20000);
        QVERIFY(fx().store()->connection()->baseURL() != std::optional(before));
        QVERIFY(test::accessibilityProblems(fx().window.get()).isEmpty());
    }
};

NBD_GUI_TEST_MAIN(tst_ConnectionSettings)
#include "tst_connectionsettings.moc"
