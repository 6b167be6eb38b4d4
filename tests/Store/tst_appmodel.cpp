// The store's configuration, connection lifecycle and list refresh, against the simulated host.

#include "AppModelTestSupport.h"
#include "AsyncTest.h"
#include "ForeignListener.h"
#include "HostTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "Session/SessionModel.h"
#include <QSignalSpy>

using namespace nbd;
using namespace nbd::test;
using nbd::sim::Reply;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::optional<QString>)

// The process manager's search, limited to the addresses the test owns: the default
// address and the machine's listeners may belong to another host running here.
static void confineLookup(AppModel *store, QList<QUrl> *asked = nullptr)
{
    store->nbdProcess()->setLsofPath(u"/nonexistent/lsof"_s);
    const QUrl defaultURL(ConnectionSettings::defaultServerURLString());
    NBDProcessManager *manager = store->nbdProcess();
    store->connectionSettings()->setHostLookup([manager, defaultURL, asked](QList<QUrl> urls, CancelToken cancel) {
        if (asked)
            *asked = urls;
        urls.removeAll(defaultURL);
        return manager->findRunningHost(urls, cancel);
    });
}

// A store in embedded mode whose host executable is `script`, waiting 0.5 s for its ready
// line; nothing when the script cannot be written.
static AppModel *embeddedStore(StoreHarness &h, const QByteArray &script)
{
    const QString path = h.dir.filePath(u"nbd"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
        return nullptr;
    file.close();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    h.seed(u"nbd.launchMode"_s, u"embedded"_s);
    h.seed(u"nbd.executablePath"_s, path);
    AppModel *store = h.makeStore();
    confineLookup(store);
    NBDProcessManager::Timing timing = store->nbdProcess()->timing();
    timing.readyTimeoutMs = 500;
    timing.stopKillDelayMs = 300;
    store->nbdProcess()->setTiming(timing);
    return store;
}

// Connected, reconnecting 0.1 s after a drop, with the host's running session "busy" selected.
static AppModel *connectToABusySession(StoreHarness &h)
{
    sim::SimWorld::Session busy = session(u"busy"_s, 2);
    busy.running = true;
    h.world.addSession(busy);
    AppModel *store = h.makeStore();
    store->connection()->setReconnectDelay(100);
    store->connect();
    h.waitForListed();
    store->selection()->selectSession(u"busy"_s);
    return store;
}

class AppModelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qRegisterMetaType<std::optional<QString>>();
    }

    void configurationDefaults_data()
    {
        QTest::addColumn<QVariant>("storedMode");
        QTest::addColumn<bool>("external");
        QTest::newRow("missing") << QVariant() << false;
        QTest::newRow("external") << QVariant(u"external"_s) << true;
        QTest::newRow("embedded") << QVariant(u"embedded"_s) << false;
        QTest::newRow("capitalised") << QVariant(u"External"_s) << false;
        QTest::newRow("empty") << QVariant(QString()) << false;
        QTest::newRow("garbage") << QVariant(u"remote"_s) << false;
    }

    void configurationDefaults()
    {
        QFETCH(QVariant, storedMode);
        QFETCH(bool, external);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"c.ini"_s);
        if (storedMode.isValid()) {
            QSettings seed(path, QSettings::IniFormat);
            seed.setValue(u"nbd.launchMode"_s, storedMode);
        }
        AppModel store(std::make_unique<QSettings>(path, QSettings::IniFormat), false);
        QCOMPARE(store.connectionSettings()->serverURLString(), u"http://127.0.0.1:3080"_s);
        QCOMPARE(store.connectionSettings()->nbdExecutablePath(), QString());
        QCOMPARE(store.connectionSettings()->launchMode(), external ? LaunchMode::External : LaunchMode::Embedded);
        // Loading writes nothing back.
        QSettings check(path, QSettings::IniFormat);
        QCOMPARE(check.contains(u"nbd.serverURL"_s), false);
        QCOMPARE(check.value(u"nbd.launchMode"_s), storedMode);
        QCOMPARE(store.connection()->phase().kind(), ConnectionPhase::Kind::Disconnected);
    }

    void configurationIsSavedOnEveryAssignment()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"c.ini"_s);
        AppModel store(std::make_unique<QSettings>(path, QSettings::IniFormat), false);
        QSignalSpy urlSpy(store.connectionSettings(), &ConnectionSettings::serverURLStringChanged);
        QSignalSpy modeSpy(store.connectionSettings(), &ConnectionSettings::launchModeChanged);

        store.connectionSettings()->setServerURLString(u"  127.0.0.1:4000/ "_s);
        QCOMPARE(store.connectionSettings()->serverURLString(), u"  127.0.0.1:4000/ "_s);
        QCOMPARE(store.settings()->value(u"nbd.serverURL"_s).toString(), u"  127.0.0.1:4000/ "_s);
        QCOMPARE(urlSpy.count(), 1);

        // The same value again is written again (the file was changed behind the store's
        // back), without a change signal.
        store.settings()->setValue(u"nbd.serverURL"_s, u"elsewhere"_s);
        store.connectionSettings()->setServerURLString(u"  127.0.0.1:4000/ "_s);
        QCOMPARE(store.settings()->value(u"nbd.serverURL"_s).toString(), u"  127.0.0.1:4000/ "_s);
        QCOMPARE(urlSpy.count(), 1);

        store.connectionSettings()->setLaunchMode(LaunchMode::External);
        QCOMPARE(store.settings()->value(u"nbd.launchMode"_s).toString(), u"external"_s);
        store.connectionSettings()->setLaunchMode(LaunchMode::Embedded);
        QCOMPARE(store.settings()->value(u"nbd.launchMode"_s).toString(), u"embedded"_s);
        QCOMPARE(modeSpy.count(), 2);

        store.connectionSettings()->setNbdExecutablePath(u"/opt/nbd/bin/nbd"_s);
        store.settings()->sync();
        QSettings reread(path, QSettings::IniFormat);
        QCOMPARE(reread.value(u"nbd.executablePath"_s).toString(), u"/opt/nbd/bin/nbd"_s);

        // A new store reads what the old one saved.
        AppModel again(std::make_unique<QSettings>(path, QSettings::IniFormat), false);
        QCOMPARE(again.connectionSettings()->serverURLString(), u"  127.0.0.1:4000/ "_s);
        QCOMPARE(again.connectionSettings()->launchMode(), LaunchMode::Embedded);
        QCOMPARE(again.connectionSettings()->nbdExecutablePath(), u"/opt/nbd/bin/nbd"_s);
    }

    void unsavableConfigurationIsSaidOnce_data()
    {
        QTest::addColumn<int>("obstacle");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a folder in its place") << 0 << u"该位置被一个文件夹占用"_s;
        QTest::newRow("a regular file as its folder") << 1 << u"路径中有一段不是文件夹"_s;
        QTest::newRow("an immutable file") << 2 << u"没有写入权限"_s;
    }

    // A configuration file that cannot be written is said once, with why, while the values
    // hold for the run; once a write works they are all saved, and a new failure is said again.
    void unsavableConfigurationIsSaidOnce()
    {
        QFETCH(int, obstacle);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString blocker = dir.filePath(u"blocker"_s);
        const QString path = obstacle == 1 ? blocker + u"/c.ini"_s : dir.filePath(u"c.ini"_s);
        auto clear = [](const QString &at) {
            QVERIFY(QFileInfo(at).isDir() ? QDir(at).removeRecursively() : !QFile::exists(at) || QFile::remove(at));
        };
        auto block = [&](bool blocked) {
            if (obstacle == 0) {
                clear(path);
                QVERIFY(!blocked || QDir().mkpath(path));
            } else if (obstacle == 1) {
                clear(blocker);
                QFile file(blocker);
                QVERIFY(!blocked || file.open(QIODevice::WriteOnly));
            } else {
                QCOMPARE(QProcess::execute(u"chattr"_s, {blocked ? u"+i"_s : u"-i"_s, path}), 0);
            }
        };
        if (obstacle == 2) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            if (QProcess::execute(u"chattr"_s, {u"+i"_s, path}) != 0)
                QSKIP("chattr cannot mark a file immutable here");
            QCOMPARE(QProcess::execute(u"chattr"_s, {u"-i"_s, path}), 0);
        }
        block(true);
        if (QTest::currentTestFailed())
            return;
        AppModel store(std::make_unique<QSettings>(path, QSettings::IniFormat), false);
        StoreErrors *errors = store.errors();
        QSignalSpy said(errors, &StoreErrors::transientErrorChanged);
        const QString message = u"设置未能保存：无法写入 "_s + path + u"（"_s + reason + u"）"_s;

        store.connectionSettings()->setServerURLString(u"127.0.0.1:4000"_s);
        QCOMPARE(errors->transientError(), std::optional(message));
        store.connectionSettings()->setLaunchMode(LaunchMode::External);
        store.connectionSettings()->setNbdExecutablePath(u"/opt/nbd/bin/nbd"_s);
        QCOMPARE(said.count(), 1);
        QCOMPARE(store.connectionSettings()->launchMode(), LaunchMode::External);
        errors->dismissTransientError();

        block(false);
        if (QTest::currentTestFailed())
            return;
        store.connectionSettings()->setNbdExecutablePath(u"/opt/nbd/bin/nbd"_s);
        QCOMPARE(errors->transientError(), std::nullopt);
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray text = saved.readAll();
        for (const char *line : {"serverURL=127.0.0.1:4000", "launchMode=external", "executablePath=/opt/nbd/bin/nbd"})
            QVERIFY2(text.contains(line), text.constData());
        saved.close();

        block(true);
        store.connectionSettings()->setServerURLString(u"127.0.0.1:4001"_s);
        QCOMPARE(errors->transientError(), std::optional(message));
        block(false);
    }

    void launchModeRawValues()
    {
        QCOMPARE(launchModeFromRawValue(u"embedded"_s), std::optional(LaunchMode::Embedded));
        QCOMPARE(launchModeFromRawValue(u"external"_s), std::optional(LaunchMode::External));
        QCOMPARE(launchModeFromRawValue(u"EXTERNAL"_s), std::nullopt);
        QCOMPARE(launchModeRawValue(LaunchMode::External), u"external"_s);
        QCOMPARE(launchModeLabel(LaunchMode::Embedded), u"本地 NBD（优先附着）"_s);
        QCOMPARE(launchModeLabel(LaunchMode::External), u"连接外部 NBD"_s);
    }

    void normalizedServerURL_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // empty: none
        QTest::newRow("blank and slash around") << u" 127.0.0.1:3080/ "_s << u"http://127.0.0.1:3080"_s;
        QTest::newRow("line breaks") << u"\n\thttp://localhost:4000\r\n"_s << u"http://localhost:4000"_s;
        QTest::newRow("no scheme") << u"localhost:4000"_s << u"http://localhost:4000"_s;
        QTest::newRow("https kept") << u"https://nbd.example/"_s << u"https://nbd.example"_s;
        QTest::newRow("several slashes") << u"http://127.0.0.1:3080///"_s << u"http://127.0.0.1:3080"_s;
        QTest::newRow("ipv6 loopback") << u"[::1]:5000"_s << u"http://[::1]:5000"_s;
        QTest::newRow("path kept") << u"http://h:1/base/"_s << u"http://h:1/base"_s;
        QTest::newRow("ideographic space trimmed") << u"\u3000localhost:1\u3000"_s << u"http://localhost:1"_s;
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("only blanks") << u"  \n "_s << QString();
        QTest::newRow("blank inside") << u"http://exa mple.com"_s << QString();
        QTest::newRow("bad port") << u"localhost:99999999999"_s << QString();
    }

    void normalizedServerURL()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const std::optional<QUrl> url = ConnectionSettings::normalizedServerURL(text);
        if (expected.isEmpty()) {
            QVERIFY2(!url, qPrintable(url ? url->toString() : QString()));
        } else {
            QVERIFY(url);
            QCOMPARE(url->toString(), expected);
        }
    }

    void preferredURLs_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QStringList>("expected");
        const QString def = u"http://127.0.0.1:3080"_s;
        QTest::newRow("localhost without scheme") << u"localhost:4000"_s << QStringList{u"http://localhost:4000"_s, def};
        QTest::newRow("upper-case localhost") << u"http://LOCALHOST:4000"_s
                                              << QStringList{u"http://localhost:4000"_s, def};
        QTest::newRow("ipv6 loopback") << u"http://[::1]:4000"_s << QStringList{u"http://[::1]:4000"_s, def};
        QTest::newRow("default twice") << u" 127.0.0.1:3080/ "_s << QStringList{def, def};
        QTest::newRow("other host") << u"nbd.example:3080"_s << QStringList{def};
        QTest::newRow("other loopback spelling") << u"http://127.0.0.2:3080"_s << QStringList{def};
        QTest::newRow("unusable") << u""_s << QStringList{def};
    }

    void preferredURLs()
    {
        QFETCH(QString, configured);
        QFETCH(QStringList, expected);
        QStringList got;
        for (const QUrl &url : ConnectionSettings::preferredURLs(configured))
            got.append(url.toString());
        QCOMPARE(got, expected);
    }

    void unusableExternalAddressFails_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("empty") << QString();
        QTest::newRow("blank inside") << u"http://a b"_s;
    }

    void unusableExternalAddressFails()
    {
        QFETCH(QString, address);
        StoreHarness h;
        h.seed(u"nbd.serverURL"_s, address);
        AppModel *store = h.makeStore(true);
        QCOMPARE(store->connection()->phase(), ConnectionPhase::failed(u"无效的服务器地址（可在设置中配置）"_s));
        QVERIFY(!store->connection()->wire());
        QCOMPARE(store->errors()->transientError(), std::nullopt);
    }

    void connectOnLaunch_data()
    {
        QTest::addColumn<bool>("connectOnLaunch");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }

    void connectOnLaunch()
    {
        QFETCH(bool, connectOnLaunch);
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        AppModel *store = h.makeStore(connectOnLaunch);
        if (connectOnLaunch) {
            h.waitForListed();
            QCOMPARE(sessionIds(*store), QStringList{u"s1"_s});
        } else {
            // A store that connects starts its list calls at once, before returning.
            QCoreApplication::processEvents();
            QCOMPARE(store->connection()->phase().kind(), ConnectionPhase::Kind::Disconnected);
            QVERIFY(!store->connection()->wire());
            QCOMPARE(h.host.requests().size(), 0);
        }
    }

    void connectListsEverything()
    {
        StoreHarness h;
        h.world.addWorkspace({u"w1"_s, u"/src/a"_s, u"A"_s, {u"s2"_s, u"s1"_s}});
        h.world.addSession(session(u"s2"_s, 20));
        h.world.addSession(session(u"s1"_s, 10));
        h.world.setArchived({u"s9"_s});
        h.world.setPluginInventory(JSONValue::array(
            {JSONValue::object({{u"entryId"_s, u"e1"_s}, {u"moduleName"_s, u"m"_s}, {u"enabled"_s, true}})}));
        AppModel *store = h.connected();
        QCOMPARE(sessionIds(*store), (QStringList{u"s2"_s, u"s1"_s})); // the host's order
        QCOMPARE(store->sessions()->workspaces().size(), size_t(1));
        QCOMPARE(store->sessions()->workspaces().front().sessionIds, (std::vector<QString>{u"s2"_s, u"s1"_s}));
        QCOMPARE(store->sessions()->archivedSessionIds(), QSet<QString>{u"s9"_s});
        QCOMPARE(store->plugins()->hostPluginInventoryAvailable(), std::optional(true));
        QCOMPARE(store->plugins()->dynamicPluginInventoryAvailable(), std::optional(true));
        QCOMPARE(store->plugins()->hostPlugins().size(), size_t(1));
        h.waitForStreams();
        QCOMPARE(store->connection()->baseURL(), std::optional(h.host.baseUrl()));
    }

    // Embedded mode attaches to a host found at the configured loopback address.
    void embeddedAttachesToRunningHost()
    {
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        h.seed(u"nbd.launchMode"_s, u"embedded"_s);
        h.seed(u"nbd.executablePath"_s, h.dir.filePath(u"missing-nbd"_s));
        AppModel *store = h.makeStore();
        QList<QUrl> asked;
        confineLookup(store, &asked);
        store->connect();
        QCOMPARE(store->connection()->phase().kind(), ConnectionPhase::Kind::Connecting);
        h.waitForListed();
        h.waitForStreams();
        QCOMPARE(sessionIds(*store), QStringList{u"s1"_s});
        QCOMPARE(asked, (QList<QUrl>{h.host.baseUrl(), QUrl(u"http://127.0.0.1:3080"_s)}));
        QCOMPARE(store->nbdProcess()->phase().kind, NBDProcessManager::Phase::Kind::Attached);
        QVERIFY(!store->nbdProcess()->hasProcess());
    }

    // When the search finds nothing and the launch fails, the configured address is the
    // fallback; a connect that was cancelled meanwhile must not take it.
    void embeddedFallbackOnlyWhenNotCancelled_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("launch fails") << false;
        QTest::newRow("cancelled during launch") << true;
    }

    void embeddedFallbackOnlyWhenNotCancelled()
    {
        QFETCH(bool, cancel);
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        // The probe of the configured address finds no host.
        h.host.setReply(u"host.describe"_s, Reply::error(u"unavailable"_s, u"not yet"_s));
        AppModel *store = embeddedStore(h, cancel ? "#!/bin/sh\nexec sleep 30\n" : "#!/bin/sh\nexit 3\n");
        QVERIFY(store);
        store->connect();
        if (cancel) {
            QTRY_VERIFY_WITH_TIMEOUT(store->nbdProcess()->hasProcess(), 20000);
            const int probes = h.requestCount(u"host.describe"_s);
            store->disconnect();
            // A stopped launch still waits for its ready line; it gives up at the time-out.
            QTRY_VERIFY_WITH_TIMEOUT(store->nbdProcess()->logLines().join(u'\n').contains(u"超时"_s), 20000);
            // The connect's continuation has run by the time a later call was answered: it
            // neither checked nor listed the fallback address again.
            const QStringList methods = h.methodsThroughBarrier();
            QCOMPARE(countOf(methods, u"host.describe"_s), probes);
            QCOMPARE(countOf(methods, u"workspace.list"_s), 0);
            QVERIFY(!store->connection()->baseURL());
            QVERIFY(store->sessions()->sessions().empty());
        } else {
            h.waitForListed();
            QCOMPARE(store->connection()->baseURL(), std::optional(h.host.baseUrl()));
            QCOMPARE(sessionIds(*store), QStringList{u"s1"_s});
        }
    }

    void embeddedLaunchFailureIsWhatTheStatusSays_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("cause");
        QTest::newRow("exits") << QByteArray("#!/bin/sh\nexit 3\n") << u"nbd 进程提前退出（退出码 3）"_s;
        QTest::newRow("never ready") << QByteArray("#!/bin/sh\nexec sleep 30\n") << u"等待 nbd 就绪超时（45s）"_s;
        QTest::newRow("not a program") << QByteArray("\x7f\x01 not a program\n") << u"启动 nbd 失败："_s;
    }

    // An embedded host that does not become ready falls back to the configured address; when
    // that is refused too, the status names the launch failure, not the fallback's refusal.
    void embeddedLaunchFailureIsWhatTheStatusSays()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, cause);
        StoreHarness h;
        h.host.setReply(u"host.describe"_s, Reply::error(u"unavailable"_s, u"not here"_s));
        AppModel *store = embeddedStore(h, script);
        QVERIFY(store);
        store->connect();
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Failed, 20000);
        const QString message = store->connection()->phase().message();
        QVERIFY2(message.startsWith(u"内置 NBD 启动失败，"_s + cause), qPrintable(message));
        QVERIFY2(!message.contains(u"not here"_s), qPrintable(message));
        QCOMPARE(store->connection()->phase().label(), u"连接失败："_s + message);
        // The fallback address was tried.
        QVERIFY(h.requestCount(u"host.describe"_s) >= 2);

        // A connect of its own to an address that refuses says so again.
        store->connectionSettings()->setLaunchMode(LaunchMode::External);
        store->connect();
        QTRY_VERIFY_WITH_TIMEOUT(store->connection()->phase().message().contains(u"not here"_s), 20000);
    }

    // Another user's listener on the configured loopback address hears nothing from an
    // embedded connect: the store launches its own host, and when that fails it does not
    // fall back to the listener either.
    void embeddedSkipsAnotherUsersListener_data()
    {
        QTest::addColumn<bool>("launches");
        QTest::newRow("own host launched") << true;
        QTest::newRow("launch fails, no fallback") << false;
    }

    void embeddedSkipsAnotherUsersListener()
    {
        QFETCH(bool, launches);
        if (::geteuid() != 0)
            QSKIP("a listener of another user needs root to start: run as root to check that no request reaches it");
        ForeignListener foreign(u"0.0.0.0"_s);
        QVERIFY2(foreign.port() != 0, "the listener of uid 65534 did not start");
        StoreHarness h;
        const QString configured = u"localhost:"_s + QString::number(foreign.port());
        const QString missing = h.dir.filePath(u"missing-nbd"_s);
        h.seed(u"nbd.serverURL"_s, configured);
        h.seed(u"nbd.launchMode"_s, u"embedded"_s);
        h.seed(u"nbd.executablePath"_s, launches ? simExecutable() : missing);
        AppModel *store = h.makeStore();
        confineLookup(store);
        store->nbdProcess()->setLoginShell(u"/bin/false"_s);
        store->nbdProcess()->setFixedLocations({});
        store->connect();
        if (launches) {
            QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Ready, 30000);
            QCOMPARE(store->nbdProcess()->phase().kind, NBDProcessManager::Phase::Kind::Running);
            QCOMPARE(store->connection()->baseURL(), std::optional(store->nbdProcess()->phase().url));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Failed, 30000);
            QCOMPARE(store->connection()->phase().message(), u"配置的 nbd 路径不存在："_s + missing);
        }
        QCOMPARE(foreign.connectionsSoFar(QHostAddress(QHostAddress::LocalHost)), std::optional(QByteArray()));
        const QString skipped = u"已跳过其他用户的监听：http://"_s + configured;
        QCOMPARE(store->nbdProcess()->logLines().count(skipped), launches ? 1 : 2);
        store->nbdProcess()->stopAndWait();
    }

    // A host found on this machine goes away and another user's process takes its port: the
    // reconnect sends that process nothing and says why it stopped.
    void reconnectSkipsAnotherUsersListenerOnTheHostsPort()
    {
        if (::geteuid() != 0)
            QSKIP("a listener of another user needs root to start: run as root to check that no request reaches it");
        StoreHarness h;
        h.seed(u"nbd.serverURL"_s, h.host.baseUrl().toString());
        h.seed(u"nbd.launchMode"_s, u"embedded"_s);
        AppModel *store = h.makeStore();
        confineLookup(store);
        store->connection()->setReconnectDelay(0);
        store->connect();
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Ready, 20000);
        // Nothing in flight when the host goes: Qt's network stack sends a request whose
        // connection closed unanswered once more, before any check of ours can run.
        h.waitForQuietHost();

        const quint16 port = h.host.baseUrl().port();
        h.host.stop();
        ForeignListener foreign(u"127.0.0.1"_s, port);
        QVERIFY2(foreign.port() == port, "the listener of uid 65534 did not take the host's port");
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase(),
                                  ConnectionPhase::failed(ConnectionController::refusedAddressMessage(h.host.baseUrl())),
                                  20000);
        QCOMPARE(foreign.connectionsSoFar(QHostAddress(QHostAddress::LocalHost)), std::optional(QByteArray()));
    }

    // A launched host that ends after it was ready is named as the cause, with how it ended,
    // also when it ends before the connection to it was made; the restart launches it again.
    void exitedHostIsWhatTheStatusSays_data()
    {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<bool>("onceConnected");
        QTest::addColumn<QString>("message");
        QTest::newRow("exit code") << QByteArray("exit 7") << true << u"内置 NBD 已退出（退出码 7）"_s;
        QTest::newRow("signal") << QByteArray("kill -KILL $$") << true << u"内置 NBD 已退出（信号 9）"_s;
        QTest::newRow("right after its ready line") << QByteArray("exit 5") << false << u"内置 NBD 已退出（退出码 5）"_s;
    }

    void exitedHostIsWhatTheStatusSays()
    {
        QFETCH(QByteArray, ending);
        QFETCH(bool, onceConnected);
        QFETCH(QString, message);
        StoreHarness h;
        // Nothing to attach to: the launch is the only way to the host.
        h.seed(u"nbd.serverURL"_s, u"http://127.0.0.1:1"_s);
        const QString go = h.dir.filePath(u"go"_s);
        const QByteArray wait = onceConnected ? "while [ ! -e '" + go.toUtf8() + "' ]; do sleep 0.05; done\n" : "";
        AppModel *store = embeddedStore(h, "#!/bin/sh\necho 'nbd web: " + h.host.baseUrl().toString().toUtf8() + "'\n"
                                               + wait + ending + "\n");
        QVERIFY(store);
        store->connect();
        if (onceConnected) {
            QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Ready, 20000);
            QVERIFY(QFile(go).open(QIODevice::WriteOnly));
        }
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase(), ConnectionPhase::failed(message), 20000);
        QCOMPARE(store->connectionStatus()->detail(), u"连接失败："_s + message);
        if (!onceConnected)
            return;

        QVERIFY(QFile::remove(go));
        store->disconnect();
        store->connect();
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Ready, 20000);
        QVERIFY(store->nbdProcess()->hasProcess());
    }

    // The host goes away mid-turn: nothing it ran shows running any more and the banner says
    // the connection is gone; once it is back, it says again what runs.
    void lostConnectionEndsWhatRan()
    {
        StoreHarness h;
        h.world.addSession(session(u"idle"_s, 1));
        AppModel *store = connectToABusySession(h);
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"busy"_s);
        QVERIFY(model && model->running());
        auto runningRows = [store] {
            QStringList ids;
            for (const SessionSummary &row : store->sessions()->sessions())
                if (row.running)
                    ids << row.sessionId;
            return ids;
        };
        QCOMPARE(runningRows(), QStringList{u"busy"_s});
        store->errors()->dismissTransientError();

        h.host.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!model->running(), 20000);
        QVERIFY(runningRows().isEmpty());
        QCOMPARE(store->errors()->transientError(), std::optional(u"与主机的连接已断开"_s));
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Failed, 20000);
        QVERIFY(!model->running());

        // The user reconnects to the host, which still runs the turn.
        QVERIFY(h.host.listenAgain());
        store->connect();
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Ready, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(runningRows(), QStringList{u"busy"_s}, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(model->running(), 20000);
    }

    // A reconnect that succeeds reads the lists again: what the host still runs shows running.
    void reconnectAfterADropReadsWhatRuns()
    {
        StoreHarness h;
        AppModel *store = connectToABusySession(h);
        const std::shared_ptr<SessionModel> model = store->selection()->sessionModel(u"busy"_s);
        QVERIFY(model && model->running());
        h.waitForStreams();
        const int lists = h.requestCount(u"session.list"_s);

        h.host.abortStreams(sim::Stream::Mux);
        QTRY_COMPARE_WITH_TIMEOUT(store->errors()->transientError(), std::optional(u"与主机的连接已断开"_s), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(store->connection()->phase().kind(), ConnectionPhase::Kind::Ready, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(h.requestCount(u"session.list"_s) > lists, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(model->running(), 20000);

        // A user's disconnect is no lost connection.
        store->errors()->dismissTransientError();
        store->disconnect();
        QCOMPARE(store->errors()->transientError(), std::nullopt);
    }

    void failedSessionListKeepsBothLists()
    {
        StoreHarness h;
        h.world.addWorkspace({u"w1"_s, u"/a"_s, u"A"_s, {}});
        h.world.addSession(session(u"s1"_s, 1));
        AppModel *store = h.connected();
        h.world.addWorkspace({u"w2"_s, u"/b"_s, u"B"_s, {}});
        h.host.setReply(u"session.list"_s, Reply::error(u"boom"_s, u"no list"_s));
        QSignalSpy workspacesSpy(store->sessions(), &SessionDirectory::workspacesChanged);
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(store->sessions()->workspaces().size(), size_t(1));
        QCOMPARE(workspacesSpy.count(), 0);
        QCOMPARE(sessionIds(*store), QStringList{u"s1"_s});
        QCOMPARE(store->errors()->transientError(), std::nullopt);
    }

    void unchangedListsNotifyNobody()
    {
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        AppModel *store = h.connected();
        QSignalSpy sessionsSpy(store->sessions(), &SessionDirectory::sessionsChanged);
        QSignalSpy archivedSpy(store->sessions(), &SessionDirectory::archivedSessionIdsChanged);
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(sessionsSpy.count(), 0);
        QCOMPARE(archivedSpy.count(), 0);
        h.world.addSession(session(u"s2"_s, 2));
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(sessionsSpy.count(), 1);
    }

    // A refresh still in flight when the connection goes away must not fill the emptied lists.
    void lateRefreshAfterDisconnectIsDropped()
    {
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        AppModel *store = h.connected();
        store->disconnect();
        QVERIFY(store->sessions()->sessions().empty());
        h.store.reset();

        AppModel *fresh = h.makeStore();
        constexpr int kLateMs = 300;
        h.host.setReply(u"workspace.list"_s, Reply::value(h.world.workspaceListValue()).delayed(kLateMs));
        fresh->connect();
        fresh->disconnect();
        QTRY_COMPARE_WITH_TIMEOUT(h.requestCount(u"workspace.list"_s), 2, 20000);
        // The host's delay started before this wait; then a later call is answered.
        QVERIFY(waitPastInterval(kLateMs));
        h.methodsThroughBarrier();
        QVERIFY(fresh->sessions()->sessions().empty());
        QVERIFY(fresh->sessions()->workspaces().empty());
        QCOMPARE(fresh->plugins()->hostPluginInventoryAvailable(), std::nullopt);
    }

    // A slow list of host A arrives after the store moved on to host B.
    void lateRefreshOfPreviousHostIsDropped()
    {
        StoreHarness a;
        a.world.addSession(session(u"from-a"_s, 1));
        constexpr int kLateMs = 400;
        a.host.setHandler(u"session.list"_s, [&a](const sim::LoggedRequest &) {
            return Reply::value(a.world.sessionListValue()).delayed(kLateMs);
        });
        sim::SimHost hostB;
        QVERIFY(hostB.listen());
        sim::SimWorld worldB(&hostB);
        worldB.addSession(session(u"from-b"_s, 1));

        AppModel *store = a.makeStore();
        store->connect();
        QTRY_COMPARE_WITH_TIMEOUT(a.requestCount(u"session.list"_s), 1, 20000);
        store->disconnect();
        store->connectionSettings()->setServerURLString(hostB.baseUrl().toString());
        store->connect();
        QTRY_COMPARE_WITH_TIMEOUT(sessionIds(*store), QStringList{u"from-b"_s}, 20000);
        // Past A's delayed answer, which went out before a later call of A's was answered.
        QVERIFY(waitPastInterval(kLateMs));
        QCOMPARE(countOf(methodsThroughBarrier(a.host), u"session.list"_s), 1);
        QCOMPARE(sessionIds(*store), QStringList{u"from-b"_s});
    }

    // Two refreshes overlap and the older one answers last: the newer lists stay.
    void overlappingRefreshesApplyInStartOrder()
    {
        StoreHarness h;
        h.world.addSession(session(u"old"_s, 1));
        AppModel *store = h.connected();
        const JSONValue older = h.world.sessionListValue();
        h.world.addSession(session(u"new"_s, 2));
        const JSONValue newer = h.world.sessionListValue();
        h.host.setReplies(u"session.list"_s, {Reply::value(older).delayed(400), Reply::value(newer)});
        const auto before = h.host.requests(u"session.list"_s).size();
        QCoro::Task<void> first = store->sessions()->refreshAll();
        // Replies are handed out in arrival order: let the first request reach the host
        // before the second one starts, or the two could swap replies.
        QTRY_COMPARE(h.host.requests(u"session.list"_s).size(), before + 1);
        QCoro::Task<void> second = store->sessions()->refreshAll();
        waitFor(std::move(second));
        QCOMPARE(sessionIds(*store), (QStringList{u"old"_s, u"new"_s}));
        waitFor(std::move(first));
        QCOMPARE(sessionIds(*store), (QStringList{u"old"_s, u"new"_s}));
    }

    // A plugin refresh still in flight at a disconnect shows nothing of the old host.
    void latePluginRefreshAfterDisconnectIsDropped()
    {
        StoreHarness h;
        AppModel *store = h.connected();
        h.host.setReply(u"pluginInventory/list"_s,
                        Reply::value(JSONValue::object({{u"entries"_s, JSONValue::array(JSONValue::Elements{})}}))
                            .delayed(200));
        QCoro::Task<void> refresh = store->plugins()->refreshPluginInventories();
        store->disconnect();
        waitFor(std::move(refresh));
        QCOMPARE(store->plugins()->hostPluginInventoryAvailable(), std::nullopt);
        QCOMPARE(store->plugins()->dynamicPluginInventoryAvailable(), std::nullopt);
        QCOMPARE(store->plugins()->pluginInventoryLoading(), false);
    }

    // A connect over a running connection (no disconnect between them) while a plugin refresh
    // is under way: the refresh of the replaced connection still releases the loading flag,
    // so later refreshes are not turned away for good.
    void pluginRefreshOfReplacedConnectionReleasesLoading()
    {
        StoreHarness h;
        h.world.addSession(session(u"s1"_s, 1));
        AppModel *store = h.connected();
        h.host.setReply(u"pluginInventory/list"_s,
                        Reply::value(JSONValue::object({{u"entries"_s, JSONValue::array(JSONValue::Elements{})}}))
                            .delayed(300));
        QCoro::Task<void> first = store->plugins()->refreshPluginInventories();
        QVERIFY(store->plugins()->pluginInventoryLoading());
        h.world.addSession(session(u"s2"_s, 2));
        store->connect();
        // The new connection's lists are applied; its plugin refresh has been decided by then.
        QTRY_COMPARE_WITH_TIMEOUT(sessionIds(*store), (QStringList{u"s1"_s, u"s2"_s}), 20000);
        waitFor(std::move(first));
        QTRY_VERIFY_WITH_TIMEOUT(!store->plugins()->pluginInventoryLoading(), 20000);

        const int before = h.requestCount(u"pluginInventory/list"_s);
        waitFor(store->plugins()->refreshPluginInventories());
        QCOMPARE(h.requestCount(u"pluginInventory/list"_s), before + 1);
        QCOMPARE(store->plugins()->pluginInventoryLoading(), false);
        QCOMPARE(store->plugins()->hostPluginInventoryAvailable(), std::optional(true));
    }

    void restoreLastSession_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QStringList>("archived");
        QTest::addColumn<QString>("expected"); // empty: nothing selected

        QTest::newRow("remembered") << u"a"_s << QStringList{} << u"a"_s;
        QTest::newRow("nothing remembered: newest") << QString() << QStringList{} << u"c"_s;
        QTest::newRow("remembered unknown") << u"zzz"_s << QStringList{} << u"c"_s;
        QTest::newRow("remembered archived") << u"a"_s << QStringList{u"a"_s} << u"c"_s;
        QTest::newRow("newest archived") << QString() << QStringList{u"c"_s} << u"d"_s;
        QTest::newRow("remembered blank") << u"blank"_s << QStringList{} << u"c"_s;
        QTest::newRow("remembered subagent") << u"child"_s << QStringList{} << u"c"_s;
        QTest::newRow("all archived") << QString() << QStringList{u"a"_s, u"c"_s, u"d"_s} << QString();
    }

    void restoreLastSession()
    {
        QFETCH(QString, remembered);
        QFETCH(QStringList, archived);
        QFETCH(QString, expected);
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 10));
        h.world.addSession(session(u"c"_s, 30));
        h.world.addSession(session(u"d"_s, 30)); // same time as c, later in the list
        auto blank = session(u"blank"_s, 99);
        blank.blank = true;
        h.world.addSession(blank);
        auto child = session(u"child"_s, 98);
        child.origin = u"subagent"_s;
        child.parentSessionId = u"a"_s;
        h.world.addSession(child);
        h.world.setArchived(archived);
        if (!remembered.isEmpty())
            h.seed(u"nbd.lastSessionId"_s, remembered);
        AppModel *store = h.connected();
        if (expected.isEmpty()) {
            QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
            QCOMPARE(store->selection()->didRestoreInitialSession(), false);
        } else {
            QCOMPARE(store->selection()->selectedSessionId(), std::optional(expected));
            QCOMPARE(store->selection()->didRestoreInitialSession(), true);
            QCOMPARE(store->settings()->value(u"nbd.lastSessionId"_s).toString(), expected);
            QVERIFY(store->selection()->sessionModel(expected));
        }
    }

    // With only blank sessions nothing is restored, and the next refresh tries again.
    void restoreRetriesAtNextRefresh()
    {
        StoreHarness h;
        auto blank = session(u"blank"_s, 5);
        blank.blank = true;
        h.world.addSession(blank);
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
        h.world.addSession(session(u"real"_s, 1));
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"real"_s));
        // Once restored, a newer session does not take the selection away.
        h.world.addSession(session(u"newer"_s, 50));
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"real"_s));
    }

    void vanishedSelectionIsCleared()
    {
        StoreHarness h;
        h.world.addSession(session(u"a"_s, 1));
        h.world.addSession(session(u"b"_s, 2));
        AppModel *store = h.connected();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"b"_s));
        h.world.removeSession(u"b"_s);
        waitFor(store->sessions()->refreshAll());
        QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
        QCOMPARE(store->selection()->selectedSubagent(), std::nullopt);
        QVERIFY(store->selection()->sessionModel(u"b"_s)); // the model stays
    }

    void pluginRefreshRunsOneAtATime()
    {
        StoreHarness h;
        AppModel *store = h.connected();
        h.host.setReply(u"pluginInventory/list"_s, Reply::error(u"gone"_s, u"no plugins"_s).delayed(200));
        const int before = h.requestCount(u"pluginInventory/list"_s);
        QCoro::Task<void> first = store->plugins()->refreshPluginInventories();
        QVERIFY(store->plugins()->pluginInventoryLoading());
        waitFor(store->plugins()->refreshPluginInventories());
        QVERIFY(store->plugins()->pluginInventoryLoading()); // the second one did not wait for the first
        waitFor(std::move(first));
        QCOMPARE(h.requestCount(u"pluginInventory/list"_s), before + 1);
        QCOMPARE(store->plugins()->pluginInventoryLoading(), false);
        QCOMPARE(store->plugins()->hostPluginInventoryAvailable(), std::optional(false));
        QCOMPARE(store->plugins()->dynamicPluginInventoryAvailable(), std::optional(true));
    }

    void disconnectEmptiesHostState()
    {
        StoreHarness h;
        h.world.addWorkspace({u"w1"_s, u"/a"_s, u"A"_s, {u"a"_s}});
        h.world.addSession(session(u"a"_s, 1));
        h.world.setArchived({u"x"_s});
        h.world.setSubagents(u"a"_s, {});
        AppModel *store = h.connected();
        QTRY_VERIFY_WITH_TIMEOUT(store->sessions()->subagentsByParent().contains(u"a"_s), 20000);
        ServerRequest approval{u"server-request"_s, u"r1"_s, u"approval/requested"_s,
                               JSONValue::object({{u"approvalId"_s, u"ap"_s}})};
        store->route(approval);
        ServerRequest error{u"server-request"_s, u"r2"_s, u"host/agent-error"_s,
                            JSONValue::object({{u"message"_s, u"oops"_s}})};
        store->route(error);
        QVERIFY(!store->interactions()->pendingApprovals().empty());

        store->disconnect();
        QVERIFY(store->sessions()->sessions().empty());
        QVERIFY(store->sessions()->workspaces().empty());
        QVERIFY(store->selection()->sessionModels().isEmpty());
        QVERIFY(store->interactions()->pendingApprovals().empty());
        QVERIFY(store->sessions()->subagentsByParent().isEmpty());
        QVERIFY(store->sessions()->subagentCatalogLoading().isEmpty());
        QCOMPARE(store->selection()->selectedSessionId(), std::nullopt);
        QCOMPARE(store->plugins()->hostPluginInventoryAvailable(), std::nullopt);
        QCOMPARE(store->selection()->didRestoreInitialSession(), false);
        QCOMPARE(store->connection()->phase().kind(), ConnectionPhase::Kind::Disconnected);
        // Kept across a disconnect.
        QCOMPARE(store->sessions()->archivedSessionIds(), QSet<QString>{u"x"_s});
        QCOMPARE(store->errors()->transientError(), std::optional(u"oops"_s));
        QCOMPARE(store->settings()->value(u"nbd.lastSessionId"_s).toString(), u"a"_s);

        // The next connect restores again.
        store->connect();
        h.waitForListed();
        QCOMPARE(store->selection()->selectedSessionId(), std::optional(u"a"_s));
    }
};

QTEST_GUILESS_MAIN(AppModelTest)
#include "tst_appmodel.moc"
