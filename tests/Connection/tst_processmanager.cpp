#include "HostTestSupport.h"
#include "ProcessPhaseText.h"
#include "ObservableWaits.h"

#include "Domain/HostDescription.h"
#include "Connection/CapturedCommand.h"
#include "Connection/NBDProcessManager.h"
#include "Wire/WireClient.h"
#include "Wire/WireSession.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using namespace nbd::test;
using Phase = NBDProcessManager::Phase;

namespace {

const QString kLaunchFailed = u"内置 NBD 启动失败"_s;
const QString kNotFound = u"找不到 nbd 可执行文件（尝试了登录 shell PATH 与常见位置）"_s;
const QString kTimeoutLine = u"等待 nbd 就绪超时（45s）"_s;

using EnvList = QList<QPair<QByteArray, QByteArray>>;

bool hasLineStartingWith(const QStringList &log, const QString &prefix)
{
    return std::any_of(log.begin(), log.end(), [&prefix](const QString &line) { return line.startsWith(prefix); });
}

// The address and process id that nbd-sim names on its standard error once it serves.
struct SimInfo
{
    QUrl url;
    qint64 pid = 0;
};

std::optional<SimInfo> simInfo(const QStringList &log)
{
    static const QRegularExpression pattern(u"^\\[stderr\\] nbd-sim: serving the simulated host on (\\S+) \\(pid (\\d+)\\)$"_s);
    for (const QString &line : log) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch())
            return SimInfo{QUrl(match.captured(1)), match.captured(2).toLongLong()};
    }
    return std::nullopt;
}

bool processExists(qint64 pid) { return ::kill(pid_t(pid), 0) == 0; }

// Running, as opposed to gone or a zombie nobody has reaped yet (an orphan's new parent may
// take its time).
bool processRuns(qint64 pid)
{
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
}

// The pids a fake host wrote, one a line, once it wrote all `count` of them.
QList<qint64> pidsIn(const QString &path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<qint64> pids;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            pids << line.trimmed().toLongLong();
    return pids.size() >= count ? pids : QList<qint64>();
}

} // namespace

class ProcessManagerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_sim;

    QString file(const QString &name) const { return m_dir.filePath(name); }

    QString expand(QString text) const
    {
        text.replace(u"{exe}"_s, file(u"bin/nbd"_s));
        text.replace(u"{exe2}"_s, file(u"bin2/nbd"_s));
        text.replace(u"{dir}"_s, file(u"adir"_s));
        text.replace(u"{plain}"_s, file(u"plain.txt"_s));
        text.replace(u"{missing}"_s, file(u"missing/nbd"_s));
        return text;
    }

    // A manager that finds nothing by itself: each test names the executable. The quiet
    // grace before an unfinished ready line is read is longer than the shipped one, so that
    // a loaded machine cannot stretch the pauses the tests write within it.
    std::unique_ptr<NBDProcessManager> makeManager(int readyTimeoutMs = 60000)
    {
        auto manager = std::make_unique<NBDProcessManager>();
        manager->setLoginShell(file(u"fake-shell"_s));
        manager->setFixedLocations({});
        NBDProcessManager::Timing timing;
        timing.readyTimeoutMs = readyTimeoutMs;
        timing.readyGraceMs = 1000;
        timing.stopKillDelayMs = 500;
        timing.toolKillDelayMs = 500;
        manager->setTiming(timing);
        return manager;
    }

    struct ReadyHost
    {
        QUrl url;
        qint64 pid = 0;
    };

    // Starts nbd-sim and waits until it is ready and has logged its pid; a failed check fails
    // the test, which then stops.
    ReadyHost startReadyHost(NBDProcessManager &manager)
    {
        ReadyHost ready;
        Pending<std::optional<QUrl>> launch(manager.start(m_dir.path(), m_sim));
        [&] {
            AWAIT_DONE(launch);
            QVERIFY(launch.value());
            QTRY_VERIFY_WITH_TIMEOUT(simInfo(manager.logLines()).has_value(), 30000);
            ready = {*launch.value(), simInfo(manager.logLines())->pid};
        }();
        return ready;
    }

    static std::vector<std::unique_ptr<ScopedEnv>> applyEnv(const EnvList &env)
    {
        std::vector<std::unique_ptr<ScopedEnv>> scoped;
        for (const auto &[name, value] : env)
            scoped.push_back(std::make_unique<ScopedEnv>(name.constData(), value));
        return scoped;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_sim = simExecutable();
        QVERIFY2(QFileInfo(m_sim).isExecutable(), qPrintable(u"NBD_SIM_EXE is not an executable: "_s + m_sim));
        QVERIFY(QDir(m_dir.path()).mkpath(u"bin"_s));
        QVERIFY(QDir(m_dir.path()).mkpath(u"bin2"_s));
        QVERIFY(QDir(m_dir.path()).mkpath(u"adir"_s));
        QVERIFY(writeScript(file(u"bin/nbd"_s), "exit 0\n"));
        QVERIFY(writeScript(file(u"bin2/nbd"_s), "exit 0\n"));
        QFile plain(file(u"plain.txt"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.write("not a program\n");
        plain.close();
        // The login shell stand-in: prints what the test asks for and records its arguments.
        QVERIFY(writeScript(file(u"fake-shell"_s),
                            "if [ -n \"$NBD_TEST_SHELL_GATE\" ]; then\n"
                            "  while [ ! -e \"$NBD_TEST_SHELL_GATE\" ]; do sleep 0.02; done\n"
                            "fi\n"
                            "printf '%s' \"$NBD_TEST_SHELL_OUTPUT\"\n"
                            "[ -n \"$NBD_TEST_SHELL_ARGS\" ] && printf '%s\\n' \"$@\" > \"$NBD_TEST_SHELL_ARGS\"\n"
                            "exit 0\n"));
    }

    // ---- Captured command runner ----------------------------------------------------------

    void capture_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("expected");

        const QString sh = u"/bin/sh"_s;
        QTest::newRow("prints nothing") << sh << QStringList{u"-c"_s, u"true"_s} << 10000 << QString();
        QTest::newRow("line breaks kept") << sh << QStringList{u"-c"_s, u"printf 'a\\n\\nb\\n'"_s} << 10000 << u"a\n\nb\n"_s;
        QTest::newRow("standard error discarded")
            << sh << QStringList{u"-c"_s, u"echo out; echo err >&2"_s} << 10000 << u"out\n"_s;
        QTest::newRow("ill-formed UTF-8 replaced")
            << sh << QStringList{u"-c"_s, u"printf 'x\\377y\\300z'"_s} << 10000 << u"x\uFFFDy\uFFFDz"_s;
        QTest::newRow("non-zero exit keeps output")
            << sh << QStringList{u"-c"_s, u"echo partial; exit 3"_s} << 10000 << u"partial\n"_s;
        QTest::newRow("time-out returns what was printed")
            << sh << QStringList{u"-c"_s, u"echo early; exec sleep 30"_s} << 200 << u"early\n"_s;
        QTest::newRow("tool ignoring SIGTERM is killed")
            << sh << QStringList{u"-c"_s, u"trap '' TERM; echo early; exec sleep 30"_s} << 200 << u"early\n"_s;
        QTest::newRow("large output drained") << sh << QStringList{u"-c"_s, u"head -c 300000 /dev/zero | tr '\\0' a"_s}
                                              << 30000 << QString(300000, u'a');
        QTest::newRow("missing executable") << file(u"missing/tool"_s) << QStringList{} << 10000 << QString();
        QTest::newRow("directory") << file(u"adir"_s) << QStringList{} << 10000 << QString();
        QTest::newRow("not executable") << file(u"plain.txt"_s) << QStringList{} << 10000 << QString();
        // The path is a file path, never a name to look up: "sh" is ./sh, which is not there.
        QTest::newRow("bare name is not looked up on PATH")
            << u"sh"_s << QStringList{u"-c"_s, u"echo found"_s} << 10000 << QString();
    }

    void capture()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, timeoutMs);
        QFETCH(QString, expected);

        QObject owner;
        Pending<QString> run(CapturedCommand::run(program, arguments, timeoutMs, &owner, 300));
        AWAIT_DONE(run);
        QCOMPARE(run.value(), expected);
    }

    void captureEndsWhenOwnerGoes()
    {
        const QString marker = file(u"capture-started"_s);
        QFile::remove(marker);
        auto *owner = new QObject;
        const QStringList arguments = {u"-c"_s, u"echo early; touch \"$0\"; exec sleep 30"_s, marker};
        Pending<QString> run(CapturedCommand::run(u"/bin/sh"_s, arguments, 60000, owner));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 30000);
        QVERIFY(!run.isDone());
        delete owner;
        AWAIT_DONE(run);
        QCOMPARE(run.value(), u"early\n"_s);
    }

    // ---- Executable lookup ----------------------------------------------------------------

    void lookup_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("shellOutput");
        QTest::addColumn<QStringList>("fixed");
        QTest::addColumn<QString>("expected"); // empty: nothing found
        QTest::addColumn<QStringList>("expectedLog");
        QTest::addColumn<bool>("shellAsked");

        QTest::newRow("configured path trimmed of blanks")
            << u" \t{exe}\t "_s << u"{exe2}\n"_s << QStringList{} << u"{exe}"_s << QStringList{} << false;
        QTest::newRow("configured directory is not an executable")
            << u"{dir}"_s << u"{exe2}\n"_s << QStringList{} << u"{exe2}"_s
            << QStringList{u"配置的 nbd 路径不可执行：{dir}"_s, u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("configured file without execute permission")
            << u"{plain}"_s << u"{exe2}\n"_s << QStringList{} << u"{exe2}"_s
            << QStringList{u"配置的 nbd 路径不可执行：{plain}"_s, u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("line break is not trimmed from the configured path")
            << u"{exe}\n"_s << QString() << QStringList{} << QString() << QStringList{u"配置的 nbd 路径不可执行：{exe}\n"_s} << true;
        QTest::newRow("blank configured path is passed over silently")
            << u" \t "_s << u"{exe2}\n"_s << QStringList{} << u"{exe2}"_s << QStringList{u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("shell output trimmed of line breaks")
            << QString() << u"\n  {exe2}\r\n"_s << QStringList{} << u"{exe2}"_s
            << QStringList{u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("shell names an alias, fixed location wins")
            << QString() << u"nbd\n"_s << QStringList{u"{missing}"_s, u"{exe}"_s} << u"{exe}"_s
            << QStringList{u"在常见位置找到 nbd：{exe}"_s} << true;
        QTest::newRow("shell path not executable, second fixed location")
            << QString() << u"{plain}\n"_s << QStringList{u"{plain}"_s, u"{exe2}"_s} << u"{exe2}"_s
            << QStringList{u"在常见位置找到 nbd：{exe2}"_s} << true;
        QTest::newRow("directories are skipped everywhere")
            << QString() << u"{dir}\n"_s << QStringList{u"{dir}"_s, u"{exe}"_s} << u"{exe}"_s
            << QStringList{u"在常见位置找到 nbd：{exe}"_s} << true;
        // Login shells with chatty profiles print banners around the answer.
        QTest::newRow("banner before the path")
            << QString() << u"Welcome to the machine\n\n  {exe2}\n"_s << QStringList{} << u"{exe2}"_s
            << QStringList{u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("greeting after the path")
            << QString() << u"motd: all good\n{exe2}\nhave a nice day\n\n"_s << QStringList{} << u"{exe2}"_s
            << QStringList{u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("the last of several paths")
            << QString() << u"{exe}\n{exe2}\n"_s << QStringList{} << u"{exe2}"_s
            << QStringList{u"通过登录 shell 找到 nbd：{exe2}"_s} << true;
        QTest::newRow("last path not executable, no earlier path tried")
            << QString() << u"{exe}\n{missing}\n"_s << QStringList{u"{exe2}"_s} << u"{exe2}"_s
            << QStringList{u"在常见位置找到 nbd：{exe2}"_s} << true;
        QTest::newRow("only a banner") << QString() << u"welcome\nnbd\n"_s << QStringList{} << QString() << QStringList{}
                                       << true;
        QTest::newRow("nothing anywhere") << QString() << QString() << QStringList{u"{missing}"_s, u"{dir}"_s} << QString()
                                          << QStringList{} << true;
    }

    void lookup()
    {
        QFETCH(QString, configured);
        QFETCH(QString, shellOutput);
        QFETCH(QStringList, fixed);
        QFETCH(QString, expected);
        QFETCH(QStringList, expectedLog);
        QFETCH(bool, shellAsked);

        const QString argsFile = file(u"shell-args"_s);
        QFile::remove(argsFile);
        ScopedEnv output("NBD_TEST_SHELL_OUTPUT", expand(shellOutput).toUtf8());
        ScopedEnv args("NBD_TEST_SHELL_ARGS", argsFile.toUtf8());

        auto manager = makeManager();
        QStringList fixedPaths;
        for (const QString &path : std::as_const(fixed))
            fixedPaths.append(expand(path));
        manager->setFixedLocations(fixedPaths);
        QList<Phase> phases;
        connect(manager.get(), &NBDProcessManager::phaseChanged, this, [&] { phases.append(manager->phase()); });

        Pending<std::optional<QString>> lookup(manager->locateExecutable(expand(configured)));
        AWAIT_DONE(lookup);

        if (expected.isEmpty())
            QCOMPARE(lookup.value(), std::nullopt);
        else
            QCOMPARE(lookup.value(), std::optional<QString>(expand(expected)));
        QStringList log;
        for (const QString &line : std::as_const(expectedLog))
            log.append(expand(line));
        QCOMPARE(manager->logLines(), log);
        QCOMPARE(phases, (QList<Phase>{Phase::locating(), Phase::idle()}));

        // The shell is asked only when the configured path did not do.
        QFile recorded(argsFile);
        QCOMPARE(recorded.exists(), shellAsked);
        if (recorded.open(QIODevice::ReadOnly))
            QCOMPARE(recorded.readAll(), QByteArray("-l\n-c\ncommand -v nbd\n"));
    }

    void lookupWhileHostRunsLeavesPhaseIdle()
    {
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(launch);
        QVERIFY(launch.value());
        QCOMPARE(manager->phase().kind, Phase::Kind::Running);

        Pending<std::optional<QString>> lookup(manager->locateExecutable(m_sim));
        AWAIT_DONE(lookup);
        QCOMPARE(lookup.value(), std::optional<QString>(m_sim));
        QCOMPARE(manager->phase(), Phase::idle());
        QVERIFY(manager->hasProcess());
        manager->stopAndWait();
    }

    // ---- Launch and ready line ------------------------------------------------------------

    void readyLine_data()
    {
        QTest::addColumn<EnvList>("env");
        QTest::addColumn<bool>("becomesReady");
        QTest::addColumn<QStringList>("loggedLines"); // "{url}" is the simulated host's address

        QTest::newRow("plain") << EnvList{} << true << QStringList{u"nbd web: {url}"_s};
        QTest::newRow("leading blanks") << EnvList{{"NBD_SIM_READY_LINE", " \t nbd web: {url}\n"}} << true
                                        << QStringList{u"nbd web: {url}"_s};
        QTest::newRow("parenthesis right after the address")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: {url}(pid 42)\n"}} << true << QStringList{u"nbd web: {url}(pid 42)"_s};
        QTest::newRow("words after the address")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: \t{url} (ready)\n"}} << true << QStringList{};
        QTest::newRow("carriage return and line feed")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: {url}\r\n"}} << true << QStringList{u"nbd web: {url}"_s};
        QTest::newRow("several ready lines, the first wins")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: {url}\nnbd web: http://127.0.0.1:1/\n"}} << true
            << QStringList{u"nbd web: {url}"_s, u"nbd web: http://127.0.0.1:1/"_s};
        QTest::newRow("address without scheme is skipped")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: localhost:3080\nnbd web: {url}\n"}} << true
            << QStringList{u"nbd web: localhost:3080"_s};
        QTest::newRow("relative address is skipped")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: /api\nnbd web: {url}\n"}} << true << QStringList{u"nbd web: /api"_s};
        QTest::newRow("other scheme is skipped")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: ftp://127.0.0.1:21\nnbd web: {url}\n"}} << true
            << QStringList{u"nbd web: ftp://127.0.0.1:21"_s};
        // Pieces written within the quiet grace are one line.
        QTest::newRow("split inside the port, 40 ms apart")
            << EnvList{{"NBD_SIM_READY_SPLIT_AT", "28"}, {"NBD_SIM_SPLIT_PAUSE_MS", "40"}} << true
            << QStringList{u"nbd web: {url}"_s};
        QTest::newRow("split inside the prefix")
            << EnvList{{"NBD_SIM_READY_SPLIT_AT", "5"}, {"NBD_SIM_SPLIT_PAUSE_MS", "40"}} << true
            << QStringList{u"nbd web: {url}"_s};
        QTest::newRow("split inside a multi-byte character")
            << EnvList{{"NBD_SIM_READY_LINE", "启动中\nnbd web: {url}\n"}, {"NBD_SIM_READY_SPLIT_AT", "2"},
                       {"NBD_SIM_SPLIT_PAUSE_MS", "40"}}
            << true << QStringList{u"启动中"_s, u"nbd web: {url}"_s};
        // A host that ends its ready line without a line break and keeps running.
        QTest::newRow("no line break after the ready line")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: {url}"}} << true << QStringList{};
        QTest::newRow("no line break, last character cut by the first read")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: {url} (就绪)"}, {"NBD_SIM_READY_SPLIT_AT", "-3"},
                       {"NBD_SIM_SPLIT_PAUSE_MS", "2500"}}
            << true << QStringList{};
        // A line held past the grace that is not a ready line is logged whole once complete.
        QTest::newRow("slow line before the ready line")
            << EnvList{{"NBD_SIM_READY_LINE", "启动中……完成\nnbd web: {url}\n"}, {"NBD_SIM_READY_SPLIT_AT", "10"},
                       {"NBD_SIM_SPLIT_PAUSE_MS", "2500"}}
            << true << QStringList{u"启动中……完成"_s, u"nbd web: {url}"_s};
        QTest::newRow("missing trailing space")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web:{url}\n"}} << false << QStringList{u"nbd web:{url}"_s};
        QTest::newRow("different case") << EnvList{{"NBD_SIM_READY_LINE", "NBD web: {url}\n"}} << false
                                        << QStringList{u"NBD web: {url}"_s};
        QTest::newRow("nothing after the prefix")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: \n"}} << false << QStringList{u"nbd web:"_s};
        QTest::newRow("only a parenthesis after the prefix")
            << EnvList{{"NBD_SIM_READY_LINE", "nbd web: (starting)\n"}} << false << QStringList{u"nbd web: (starting)"_s};
    }

    void readyLine()
    {
        QFETCH(EnvList, env);
        QFETCH(bool, becomesReady);
        QFETCH(QStringList, loggedLines);

        const auto scoped = applyEnv(env);
        auto manager = makeManager(becomesReady ? 60000 : 4000);
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(launch);
        QTRY_VERIFY_WITH_TIMEOUT(simInfo(manager->logLines()).has_value(), 30000);
        const SimInfo sim = *simInfo(manager->logLines());
        const QStringList log = manager->logLines();
        QCOMPARE(log.first(), u"已启动 nbd："_s + m_sim + u" --profile web --port 0"_s);

        if (becomesReady) {
            QCOMPARE(launch.value(), std::optional<QUrl>(sim.url));
            QCOMPARE(manager->phase(), Phase::running(sim.url));
            QVERIFY(log.contains(u"nbd 就绪："_s + sim.url.toString()));
        } else {
            QCOMPARE(launch.value(), std::nullopt);
            QCOMPARE(manager->phase(), Phase::failed(kLaunchFailed));
            QVERIFY(log.contains(kTimeoutLine));
        }
        for (QString line : std::as_const(loggedLines)) {
            line.replace(u"{url}"_s, sim.url.toString());
            QVERIFY2(log.contains(line), qPrintable(line));
        }
        QVERIFY(!log.contains(QString()));
        manager->stopAndWait();
    }

    // A host written as a script that prints exactly the given bytes, with pauses.
    void readyTextWithoutTrailingBreak_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QUrl>("expected");
        QTest::addColumn<QStringList>("loggedLines");

        QTest::newRow("no line break, the host keeps running")
            << QByteArray("printf 'nbd web: http://127.0.0.1:4321'\nexec sleep 30\n") << QUrl(u"http://127.0.0.1:4321"_s)
            << QStringList{u"nbd 就绪：http://127.0.0.1:4321"_s};
        QTest::newRow("rest of the port 2 ms later")
            << QByteArray("printf 'nbd web: http://127.0.0.1:30'\nsleep 0.002\nprintf '80\\n'\nexec sleep 30\n")
            << QUrl(u"http://127.0.0.1:3080"_s) << QStringList{u"nbd web: http://127.0.0.1:3080"_s};
        QTest::newRow("rest of the port 50 ms later, no line break")
            << QByteArray("printf 'nbd web: http://127.0.0.1:30'\nsleep 0.05\nprintf '80'\nexec sleep 30\n")
            << QUrl(u"http://127.0.0.1:3080"_s) << QStringList{u"nbd 就绪：http://127.0.0.1:3080"_s};
        QTest::newRow("a line break ends the wait without the grace")
            << QByteArray("printf 'nbd web: http://127.0.0.1:3080\\nstill starting'\nexec sleep 30\n")
            << QUrl(u"http://127.0.0.1:3080"_s) << QStringList{u"nbd web: http://127.0.0.1:3080"_s};
    }

    void readyTextWithoutTrailingBreak()
    {
        QFETCH(QByteArray, script);
        QFETCH(QUrl, expected);
        QFETCH(QStringList, loggedLines);

        const QString host = file(u"script-host"_s);
        QVERIFY(writeScript(host, script));
        auto manager = makeManager(30000);
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), host));
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::optional<QUrl>(expected));
        QCOMPARE(manager->phase(), Phase::running(expected));
        for (const QString &line : std::as_const(loggedLines))
            QTRY_VERIFY2(manager->logLines().contains(line), qPrintable(manager->logLines().join(u'\n')));
        manager->stopAndWait();
    }

    void earlyExit_data()
    {
        QTest::addColumn<EnvList>("env");
        QTest::addColumn<QString>("exitLine");

        QTest::newRow("killed by a signal") << EnvList{{"NBD_SIM_EXIT_SIGNAL", "9"}} << u"nbd 进程提前退出（信号 9）"_s;
        QTest::newRow("exit status") << EnvList{{"NBD_SIM_EXIT_CODE", "1"}} << u"nbd 进程提前退出（退出码 1）"_s;
        QTest::newRow("exit status after a pause")
            << EnvList{{"NBD_SIM_EXIT_CODE", "3"}, {"NBD_SIM_READY_DELAY_MS", "200"}} << u"nbd 进程提前退出（退出码 3）"_s;
    }

    void earlyExit()
    {
        QFETCH(EnvList, env);
        QFETCH(QString, exitLine);

        env.emplaceBack("NBD_SIM_OUTPUT_LINES", "2");
        env.emplaceBack("NBD_SIM_STDERR", "  indented warning\n\n\tsecond\n");
        const auto scoped = applyEnv(env);
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(launch);

        QCOMPARE(launch.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::failed(kLaunchFailed));
        QVERIFY(manager->hasProcess());
        const QStringList log = manager->logLines();
        const qsizetype first = log.indexOf(u"nbd-sim output line 1"_s);
        const qsizetype second = log.indexOf(u"nbd-sim output line 2"_s);
        const qsizetype exit = log.indexOf(exitLine);
        QVERIFY2(first >= 0 && second > first && exit > second, qPrintable(log.join(u'\n')));
        // Standard error lines keep their blanks; empty ones are dropped.
        QVERIFY(log.contains(u"[stderr]   indented warning"_s));
        QVERIFY(log.contains(u"[stderr] \tsecond"_s));
        QVERIFY(!log.contains(u"[stderr] "_s));
        // What went wrong is named with the failure, not only in the log.
        QCOMPARE(manager->failureDescription(), kLaunchFailed + u"，"_s + exitLine);
        manager->stop();
        QVERIFY(!manager->hasProcess());
        QCOMPARE(manager->failureDescription(), QString());
    }

    void launchError_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("cwd");

        QTest::newRow("not a program format") << u"{garbage}"_s << QString();
        QTest::newRow("missing working directory") << m_sim << u"nowhere"_s;
    }

    void launchError()
    {
        QFETCH(QString, executable);
        QFETCH(QString, cwd);

        const QString garbage = file(u"garbage-nbd"_s);
        QFile program(garbage);
        QVERIFY(program.open(QIODevice::WriteOnly | QIODevice::Truncate));
        program.write("\x7f\x01\x02 not a program\n");
        program.close();
        QVERIFY(program.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        executable.replace(u"{garbage}"_s, garbage);

        auto manager = makeManager();
        const QString directory = cwd.isEmpty() ? m_dir.path() : file(cwd);
        Pending<std::optional<QUrl>> launch(manager->start(directory, executable));
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::failed(kLaunchFailed));
        QVERIFY(!manager->hasProcess());
        QCOMPARE(manager->logLines().size(), 1);
        QVERIFY2(manager->logLines().first().startsWith(u"启动 nbd 失败："_s), qPrintable(manager->logLines().first()));
        QCOMPARE(manager->failureDescription(), kLaunchFailed + u"，"_s + manager->logLines().first());
    }

    // A configured path relative to the client's own directory runs that very file, even
    // though the host starts in another directory and the name is not on PATH.
    void relativeConfiguredPath_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::newRow("bare name") << u"sim-link"_s;
        QTest::newRow("relative path") << u"./sim-link"_s;
    }

    void relativeConfiguredPath()
    {
        QFETCH(QString, configured);
        const QString link = file(u"sim-link"_s);
        QFile::remove(link);
        QVERIFY(QFile::link(m_sim, link));
        const QString previous = QDir::currentPath();
        const auto restore = qScopeGuard([&previous] { QDir::setCurrent(previous); });
        QVERIFY(QDir::setCurrent(m_dir.path()));
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(file(u"adir"_s), configured));
        AWAIT_DONE(launch);
        QVERIFY2(launch.value().has_value(), qPrintable(manager->logLines().join(u'\n')));
        QCOMPARE(manager->phase(), Phase::running(*launch.value()));
        QVERIFY(manager->logLines().contains(u"已启动 nbd："_s + configured + u" --profile web --port 0"_s));
        manager->stopAndWait();
    }

    void notFound()
    {
        ScopedEnv output("NBD_TEST_SHELL_OUTPUT", QByteArray());
        auto manager = makeManager();
        QList<Phase> phases;
        connect(manager.get(), &NBDProcessManager::phaseChanged, this, [&] { phases.append(manager->phase()); });
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), QString()));
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::nullopt);
        QCOMPARE(phases, (QList<Phase>{Phase::starting(), Phase::locating(), Phase::idle(), Phase::failed(kNotFound)}));
        QCOMPARE(manager->failureDescription(), kNotFound);
        QVERIFY(manager->logLines().isEmpty());
        QVERIFY(!manager->hasProcess());

        // With no host to stop, stop() only resets the phase.
        manager->stop();
        QCOMPARE(manager->phase(), Phase::idle());
        QVERIFY(manager->logLines().isEmpty());
    }

    // A configured path that cannot be launched, with nothing else found: the headline names
    // the path and what is wrong with it, not a file that could not be found.
    void unusableConfiguredPathNamed_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("headline");
        QTest::newRow("file without execute permission") << u"{plain}"_s << u"配置的 nbd 路径不可执行：{plain}"_s;
        QTest::newRow("trimmed of blanks") << u"\t {plain} "_s << u"配置的 nbd 路径不可执行：{plain}"_s;
        QTest::newRow("link to such a file") << u"{dir}/to-plain"_s << u"配置的 nbd 路径不可执行：{dir}/to-plain"_s;
        QTest::newRow("folder") << u"{dir}"_s << u"配置的 nbd 路径是文件夹，不是可执行文件：{dir}"_s;
        QTest::newRow("link to a folder") << u"{dir}/to-dir"_s << u"配置的 nbd 路径是文件夹，不是可执行文件：{dir}/to-dir"_s;
        QTest::newRow("dangling link") << u"{dir}/dangling"_s << u"配置的 nbd 路径是失效的链接：{dir}/dangling"_s;
        QTest::newRow("link loop") << u"{dir}/loop"_s << u"配置的 nbd 路径是失效的链接：{dir}/loop"_s;
        QTest::newRow("missing") << u"{missing}"_s << u"配置的 nbd 路径不存在：{missing}"_s;
        QTest::newRow("only blanks: nothing configured") << u" \t"_s << kNotFound;
    }

    void unusableConfiguredPathNamed()
    {
        QFETCH(QString, configured);
        QFETCH(QString, headline);
        QFile::link(file(u"plain.txt"_s), file(u"adir/to-plain"_s));
        QFile::link(file(u"bin"_s), file(u"adir/to-dir"_s));
        QFile::link(file(u"adir/gone"_s), file(u"adir/dangling"_s));
        QFile::link(file(u"adir/loop"_s), file(u"adir/loop"_s));
        ScopedEnv output("NBD_TEST_SHELL_OUTPUT", QByteArray());
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), expand(configured)));
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::failed(expand(headline)));
        QCOMPARE(manager->failureDescription(), expand(headline));
        QVERIFY(!manager->hasProcess());
    }

    void noReadyLineInTime()
    {
        ScopedEnv never("NBD_SIM_NEVER_READY", "1");
        auto manager = makeManager(800);
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::failed(kLaunchFailed));
        QVERIFY(manager->logLines().contains(kTimeoutLine));
        QCOMPARE(manager->failureDescription(), kLaunchFailed + u"，"_s + kTimeoutLine);
        // The host was asked to terminate, and the simulated host honours it.
        QTRY_VERIFY_WITH_TIMEOUT(manager->logLines().contains(u"nbd 进程提前退出（退出码 0）"_s), 30000);
        QCOMPARE(manager->phase(), Phase::failed(kLaunchFailed));
    }

    // ---- Stopping -------------------------------------------------------------------------

    void stop_data()
    {
        QTest::addColumn<bool>("ignoresTerm");
        QTest::newRow("honours SIGTERM") << false;
        QTest::newRow("ignores SIGTERM") << true;
    }

    void stop()
    {
        QFETCH(bool, ignoresTerm);
        ScopedEnv ignore("NBD_SIM_IGNORE_SIGTERM", ignoresTerm ? "1" : "0");
        auto manager = makeManager();
        const qint64 pid = startReadyHost(*manager).pid;
        if (QTest::currentTestFailed())
            return;
        QVERIFY(processExists(pid));

        manager->stop();
        QCOMPARE(manager->phase(), Phase::idle());
        QVERIFY(!manager->hasProcess());
        const QString expected = ignoresTerm ? u"已强制结束 nbd（pid "_s + QString::number(pid) + u"）"_s : u"nbd 已退出"_s;
        QTRY_VERIFY_WITH_TIMEOUT(manager->logLines().contains(expected), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), 30000);
        QVERIFY(!hasLineStartingWith(manager->logLines(), u"nbd 进程提前退出"_s));
        QCOMPARE(manager->phase(), Phase::idle());
    }

    void stopAfterHostExited()
    {
        auto manager = makeManager();
        const ReadyHost ready = startReadyHost(*manager);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(::kill(pid_t(ready.pid), SIGKILL) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(manager->logLines().contains(u"nbd 进程提前退出（信号 9）"_s), 30000);
        // A host that dies after it was ready leaves the phase alone.
        QCOMPARE(manager->phase(), Phase::running(ready.url));
        QVERIFY(manager->hasProcess());

        const qsizetype lines = manager->logLines().size();
        manager->stop();
        QCOMPARE(manager->phase(), Phase::idle());
        QVERIFY(!manager->hasProcess());
        // Past the kill delay: no delayed kill was scheduled, or it would have logged by now.
        QVERIFY(waitPastInterval(manager->timing().stopKillDelayMs));
        QCOMPARE(manager->logLines().size(), lines);
    }

    void stopDuringWait()
    {
        ScopedEnv never("NBD_SIM_NEVER_READY", "1");
        auto manager = makeManager(1500);
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        QTRY_VERIFY_WITH_TIMEOUT(hasLineStartingWith(manager->logLines(), u"已启动 nbd："_s), 30000);
        manager->stop();
        QCOMPARE(manager->phase(), Phase::idle());
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::nullopt);
        QCOMPARE(manager->phase(), Phase::failed(kLaunchFailed));
        QVERIFY(manager->logLines().contains(kTimeoutLine));
        QTRY_VERIFY_WITH_TIMEOUT(manager->logLines().contains(u"nbd 已退出"_s), 30000);
        QVERIFY(!hasLineStartingWith(manager->logLines(), u"nbd 进程提前退出"_s));
    }

    void newerStartKeepsItsPhase()
    {
        auto manager = makeManager(5000);
        std::optional<Pending<std::optional<QUrl>>> first;
        {
            ScopedEnv never("NBD_SIM_NEVER_READY", "1");
            first.emplace(manager->start(m_dir.path(), m_sim));
            QTRY_VERIFY_WITH_TIMEOUT(hasLineStartingWith(manager->logLines(), u"已启动 nbd："_s), 30000);
        }
        manager->stop();
        Pending<std::optional<QUrl>> second(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(second);
        QVERIFY(second.value());
        QCOMPARE(manager->phase(), Phase::running(*second.value()));

        // The first launch's wait ends at its time-out, after the second one is running.
        AWAIT_DONE(*first);
        QCOMPARE(first->value(), std::nullopt);
        QVERIFY(manager->logLines().contains(kTimeoutLine));
        QCOMPARE(manager->phase(), Phase::running(*second.value()));
        QVERIFY(manager->hasProcess());
        manager->stopAndWait();
    }

    void newerStartDuringLookup()
    {
        // The first start is still looking up the executable when the second begins: it must
        // not launch a host of its own afterwards.
        ScopedEnv output("NBD_TEST_SHELL_OUTPUT", QByteArray());
        auto manager = makeManager();
        Pending<std::optional<QUrl>> first(manager->start(m_dir.path(), QString()));
        Pending<std::optional<QUrl>> second(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(first);
        AWAIT_DONE(second);
        QCOMPARE(first.value(), std::nullopt);
        QVERIFY(second.value());
        QCOMPARE(manager->phase(), Phase::running(*second.value()));
        const QStringList log = manager->logLines();
        QCOMPARE(std::count_if(log.begin(), log.end(), [](const QString &l) { return l.startsWith(u"已启动 nbd："_s); }), 1);
        manager->stopAndWait();
    }

    void supersededLookupLeavesTheNewerPhase()
    {
        // The first launch's login-shell lookup hangs until the test lets it go; meanwhile a
        // second launch with a configured path becomes running.
        const QString gate = file(u"shell-gate"_s);
        QFile::remove(gate);
        ScopedEnv holdShell("NBD_TEST_SHELL_GATE", gate.toUtf8());
        ScopedEnv output("NBD_TEST_SHELL_OUTPUT", m_sim.toUtf8());
        auto manager = makeManager();
        Pending<std::optional<QUrl>> first(manager->start(m_dir.path(), QString()));
        QCOMPARE(manager->phase(), Phase::locating());
        Pending<std::optional<QUrl>> second(manager->start(m_dir.path(), m_sim));
        AWAIT_DONE(second);
        QVERIFY(second.value());
        const Phase running = Phase::running(*second.value());
        QCOMPARE(manager->phase(), running);
        QVERIFY(!first.isDone());

        QList<Phase> later;
        connect(manager.get(), &NBDProcessManager::phaseChanged, this, [&] { later.append(manager->phase()); });
        QFile touch(gate);
        QVERIFY(touch.open(QIODevice::WriteOnly));
        touch.close();
        AWAIT_DONE(first);
        QCOMPARE(first.value(), std::nullopt);
        QCOMPARE(manager->phase(), running);
        QCOMPARE(later, QList<Phase>());
        QVERIFY(manager->hasProcess());
        manager->stopAndWait();
    }

    void logKeepsLast300()
    {
        ScopedEnv never("NBD_SIM_NEVER_READY", "1");
        ScopedEnv lines("NBD_SIM_OUTPUT_LINES", "300");
        auto manager = makeManager(2000);
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        QTRY_VERIFY_WITH_TIMEOUT(manager->logLines().contains(u"nbd-sim output line 300"_s), 30000);
        // 301 lines were logged: the launch line went, the newest 300 stay.
        QCOMPARE(manager->logLines().size(), 300);
        QCOMPARE(manager->logLines().first(), u"nbd-sim output line 1"_s);
        QCOMPARE(manager->logLines().last(), u"nbd-sim output line 300"_s);
        manager->stopAndWait();
        QCOMPARE(manager->logLines().size(), 300);
        QCOMPARE(manager->logLines().first(), u"nbd-sim output line 2"_s);
        QCOMPARE(manager->logLines().last(), u"nbd 已退出"_s);
        AWAIT_DONE(launch);
    }

    void launchesInTheGivenDirectory()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(u"home"_s));
        ScopedEnv home("HOME", file(u"home"_s).toUtf8());
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(QDir::homePath(), m_sim));
        AWAIT_DONE(launch);
        QVERIFY(launch.value());

        WireSession session;
        const WireClient client(*launch.value(), &session);
        const JSONValue payload = JSONValue::emptyObject();
        Pending<HostDescription> describe(client.call<HostDescription>(u"host.describe"_s, payload));
        AWAIT_DONE(describe);
        QCOMPARE(QFileInfo(describe.value().cwd).canonicalFilePath(), QFileInfo(file(u"home"_s)).canonicalFilePath());
        manager->stopAndWait();
    }

    void destroyingTheManagerStopsTheHost()
    {
        auto manager = makeManager();
        const qint64 pid = startReadyHost(*manager).pid;
        if (QTest::currentTestFailed())
            return;
        manager.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), 30000);
    }

    // ---- What the host starts ends with it ----------------------------------------------------

    void hostChildrenEnd_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("hostExitsFirst");
        for (const char *how : {"stop", "stopAndWait", "destroy"}) {
            QTest::addRow("%s", how) << QString::fromLatin1(how) << false;
            QTest::addRow("%s after the host exited", how) << QString::fromLatin1(how) << true;
        }
    }

    // A host that starts a helper and one that ignores SIGTERM: every way of ending the host
    // ends both, the stubborn one after the grace; also when the host has gone already.
    void hostChildrenEnd()
    {
        QFETCH(QString, how);
        QFETCH(bool, hostExitsFirst);
        const QString pidFile = file(u"children-"_s + how + (hostExitsFirst ? u"-early"_s : u""_s));
        QFile::remove(pidFile);
        const QString host = file(u"bin/parent-nbd"_s);
        QVERIFY(writeScript(host, "sleep 600 &\n"
                                  "echo $! >> \"$NBD_TEST_PIDS\"\n"
                                  "sh -c 'trap \"\" TERM; exec sleep 600' &\n"
                                  "echo $! >> \"$NBD_TEST_PIDS\"\n"
                                  "echo 'nbd web: http://127.0.0.1:9'\n"
                                  "[ -n \"$NBD_TEST_EXIT_FIRST\" ] && exit 0\n"
                                  "wait\n"));
        ScopedEnv pids("NBD_TEST_PIDS", pidFile.toLocal8Bit());
        ScopedEnv exitFirst("NBD_TEST_EXIT_FIRST", hostExitsFirst ? "1" : "");
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), host));
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::optional(QUrl(u"http://127.0.0.1:9"_s)));
        QTRY_VERIFY_WITH_TIMEOUT(pidsIn(pidFile, 2).size() == 2, 30000);
        const QList<qint64> children = pidsIn(pidFile, 2);
        // Guards the machine, whatever the outcome.
        const auto reap = qScopeGuard([&] {
            for (qint64 pid : children)
                ::kill(pid_t(pid), SIGKILL);
        });
        if (hostExitsFirst)
            QTRY_VERIFY_WITH_TIMEOUT(hasLineStartingWith(manager->logLines(), u"nbd 进程提前退出"_s), 30000);
        for (qint64 pid : children)
            QVERIFY(processRuns(pid));

        if (how == u"stop")
            manager->stop();
        else if (how == u"stopAndWait")
            manager->stopAndWait();
        else
            manager.reset();
        for (qint64 pid : children)
            QTRY_VERIFY2_WITH_TIMEOUT(!processRuns(pid), qPrintable(QString::number(pid)), 30000);
    }

    void destroyingTheManagerEndsAPendingStart()
    {
        ScopedEnv never("NBD_SIM_NEVER_READY", "1");
        auto manager = makeManager();
        Pending<std::optional<QUrl>> launch(manager->start(m_dir.path(), m_sim));
        QTRY_VERIFY_WITH_TIMEOUT(hasLineStartingWith(manager->logLines(), u"已启动 nbd："_s), 30000);
        manager.reset();
        AWAIT_DONE(launch);
        QCOMPARE(launch.value(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(ProcessManagerTest)
#include "tst_processmanager.moc"
