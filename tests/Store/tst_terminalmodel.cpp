// The workspace terminal against real login shells.
#include "Store/WorkspaceTerminalModel.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using Kind = TerminalRecord::Kind;

namespace {

QString pathOf(const WorkspaceTerminalModel &model) { return model.currentDirectoryURL().toLocalFile(); }

QStringList texts(const WorkspaceTerminalModel &model, std::optional<Kind> kind = std::nullopt)
{
    QStringList out;
    for (const TerminalRecord &record : model.records())
        if (!kind || record.kind == *kind)
            out << record.text;
    return out;
}

// A process that still runs (a zombie has ended: only its parent has not collected it yet).
bool processRuns(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close > 0 && line.size() > close + 2 && line.at(close + 2) != 'Z';
}

qsizetype heldBytes(const WorkspaceTerminalModel &model)
{
    qsizetype bytes = 0;
    for (const TerminalRecord &record : model.records())
        bytes += record.text.size() * qsizetype(sizeof(QChar));
    return bytes;
}

bool waitIdle(WorkspaceTerminalModel &model, int ms = 20000)
{
    if (!model.isRunning())
        return true;
    QSignalSpy stopped(&model, &WorkspaceTerminalModel::runningChanged);
    return stopped.wait(ms) && !model.isRunning();
}

// The processes whose parent is `pid`, by command name.
QStringList childrenOf(qint64 pid)
{
    QStringList names;
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(u"/proc/"_s + entry + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const QByteArray line = stat.readAll();
        const qsizetype open = line.indexOf('(');
        const qsizetype close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (rest.size() > 1 && rest.at(1).toLongLong() == pid)
            names << QString::fromUtf8(line.mid(open + 1, close - open - 1));
    }
    return names;
}

// The first line the running command wrote, once it is there.
qint64 firstNumberWritten(const WorkspaceTerminalModel &model)
{
    if (!QTest::qWaitFor([&] { return texts(model, Kind::Output).join(QString()).contains(u'\n'); }, 10000))
        return 0;
    return texts(model, Kind::Output).join(QString()).section(u'\n', 0, 0).trimmed().toLongLong();
}

} // namespace

class TerminalModelTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_root;

private Q_SLOTS:
    void initTestCase()
    {
        m_root = QDir::cleanPath(m_dir.path());
        QVERIFY(QDir(m_root).mkpath(u"src/deep"_s));
        QVERIFY(QDir(m_root).mkpath(u"with space"_s));
        QFile file(m_root + u"/plain.txt"_s);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    void cdTargetRecognisesOnlyPlainChangesOfDirectory_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("target"); // "<shell>": goes to the shell
        QTest::newRow("alone") << u"cd"_s << u"~"_s;
        QTest::newRow("argument") << u"cd src"_s << u"src"_s;
        QTest::newRow("blanks around argument") << u"cd \t  src \t"_s << u"src"_s;
        QTest::newRow("and-and") << u"cd a && ls"_s << u"<shell>"_s;
        QTest::newRow("semicolon") << u"cd a; ls"_s << u"<shell>"_s;
        QTest::newRow("word starting with cd") << u"cdrecord x"_s << u"<shell>"_s;
        QTest::newRow("tab instead of blank") << u"cd\tsrc"_s << u"<shell>"_s;
        QTest::newRow("minus") << u"cd -"_s << u"-"_s;
        QTest::newRow("quoted") << u"cd \"with space\""_s << u"\"with space\""_s;
    }
    void cdTargetRecognisesOnlyPlainChangesOfDirectory()
    {
        QFETCH(QString, line);
        QFETCH(QString, target);
        const auto found = WorkspaceTerminalModel::cdTarget(line);
        QCOMPARE(found.value_or(u"<shell>"_s), target);
    }

    void cdMovesAndReports_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("expected"); // relative to the root, "~..." for home, or the error
        QTest::newRow("alone goes home") << u"cd"_s << u"~"_s;
        QTest::newRow("tilde goes home") << u"cd ~"_s << u"~"_s;
        QTest::newRow("into src") << u"  cd   src  "_s << u"src"_s;
        QTest::newRow("two levels") << u"cd src/deep"_s << u"src/deep"_s;
        QTest::newRow("double quotes") << u"cd \"with space\""_s << u"with space"_s;
        QTest::newRow("apostrophes") << u"cd 'with space'"_s << u"with space"_s;
        QTest::newRow("opening quote only") << u"cd \"with space"_s << u"error:\"with space"_s;
        QTest::newRow("minus") << u"cd -"_s << u"error:-"_s;
        QTest::newRow("file") << u"cd plain.txt"_s << u"error:plain.txt"_s;
        QTest::newRow("missing") << u"cd nothing"_s << u"error:nothing"_s;
        QTest::newRow("parent") << u"cd src/.."_s << u"."_s;
    }
    void cdMovesAndReports()
    {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        const QString promptBefore = model.prompt();
        QSignalSpy revisions(&model, &WorkspaceTerminalModel::revisionChanged);
        model.execute(line);
        QVERIFY(!model.isRunning());
        QCOMPARE(model.records().first().kind, Kind::Command);
        QCOMPARE(model.records().first().text, promptBefore + u' ' + line.trimmed());
        if (expected.startsWith(u"error:"_s)) {
            QCOMPARE(pathOf(model), m_root);
            QCOMPARE(texts(model, Kind::Error), QStringList{u"cd: no such directory: "_s + expected.mid(6) + u'\n'});
            QCOMPARE(revisions.size(), 3); // command, error, directory step
        } else {
            const QString want = expected == u"~"_s ? QDir::cleanPath(QDir::homePath())
                                                    : QDir::cleanPath(m_root + u'/' + expected);
            QCOMPARE(pathOf(model), want);
            QCOMPARE(model.records().size(), 1);
            QCOMPARE(revisions.size(), 2);
        }
    }

    void cdToTheRootAndUpTheTreeNamesItInThePrompt()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root + u"/src"_s));
        model.execute(u"cd .."_s);
        QVERIFY(model.prompt().endsWith(u' ' + QFileInfo(m_root).fileName() + u" %"_s));
        model.execute(u"cd /"_s);
        QCOMPARE(pathOf(model), u"/"_s);
        QVERIFY(model.prompt().endsWith(u" / %"_s));
        model.execute(u"cd .."_s);
        QCOMPARE(pathOf(model), u"/"_s);
        model.execute(u"cd ~/"_s);
        QCOMPARE(pathOf(model), QDir::cleanPath(QDir::homePath()));
    }

    void chainedCdGoesToTheShellAndLeavesTheDirectory_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("and-and") << u"cd src && pwd"_s;
        QTest::newRow("semicolon") << u"cd src; pwd"_s;
    }
    void chainedCdGoesToTheShellAndLeavesTheDirectory()
    {
        QFETCH(QString, line);
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.execute(line);
        QVERIFY(model.isRunning());
        QVERIFY(waitIdle(model));
        QCOMPARE(pathOf(model), m_root);
        QVERIFY(texts(model, Kind::Output).join(QString()).endsWith(u"/src\n"_s));
        QVERIFY(texts(model, Kind::Error).isEmpty());
    }

    void outputStatusesAndBlankLines()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.execute(u"   \n\t"_s);
        QVERIFY(model.records().isEmpty());
        QCOMPARE(model.revision(), 0);

        model.execute(u"true"_s);
        QVERIFY(waitIdle(model));
        QCOMPARE(model.records().size(), 1);

        // Output is kept as it was read, in one record per read, however the lines fall.
        model.execute(u"printf 'a\\nb\\nc\\n'"_s);
        QVERIFY(waitIdle(model));
        QCOMPARE(texts(model, Kind::Output).join(QString()), u"a\nb\nc\n"_s);

        const qsizetype before = model.records().size();
        model.execute(u"echo oops >&2; exit 1"_s);
        QVERIFY(waitIdle(model));
        QCOMPARE(texts(model).mid(before + 1), (QStringList{u"oops\n"_s, u"进程退出，状态码 1\n"_s}));
        QCOMPARE(model.records().last().kind, Kind::Error);
    }

    void runsInTheCurrentDirectoryWithNoInput()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.execute(u"cd src"_s);
        model.execute(u"pwd; cat; echo done"_s);
        QVERIFY(waitIdle(model));
        QCOMPARE(texts(model, Kind::Output).join(QString()), m_root + u"/src\ndone\n"_s);
    }

    void whileRunningInputAndDirectoryChangesAreIgnored()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.execute(u"sleep 0.5"_s);
        QVERIFY(model.isRunning());
        const int before = model.records().size();
        model.execute(u"echo second"_s);
        model.execute(u"cd src"_s);
        model.useDirectory(QUrl::fromLocalFile(m_root + u"/src"_s));
        QCOMPARE(model.records().size(), before);
        QCOMPARE(pathOf(model), m_root);
        QVERIFY(waitIdle(model));
        model.useDirectory(QUrl::fromLocalFile(m_root + u"/src/deep/.."_s));
        QCOMPARE(pathOf(model), m_root + u"/src"_s);
        model.useDirectory(QUrl::fromLocalFile(m_root + u"/plain.txt"_s));
        QCOMPARE(pathOf(model), m_root + u"/src"_s);
    }

    void interruptStopsTheWholeGroupAndReportsTheStatus()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.interrupt(); // idle: nothing
        QVERIFY(model.records().isEmpty());
        // The shell waits for a pipeline: only a signal to the group ends both commands. The app
        // may itself have been started ignoring SIGINT (a background job): its commands must not.
        const auto previous = ::signal(SIGINT, SIG_IGN);
        model.execute(u"echo $$; sleep 30 | cat; echo after"_s);
        ::signal(SIGINT, previous);
        QVERIFY(model.isRunning());
        // The signal goes out once both commands of the pipeline run.
        const qint64 shell = firstNumberWritten(model);
        QVERIFY(shell > 0);
        QTRY_VERIFY_WITH_TIMEOUT(childrenOf(shell).contains(u"sleep"_s) && childrenOf(shell).contains(u"cat"_s), 10000);
        model.interrupt();
        // Ending before the 30 s sleep would have: the signal reached the whole group.
        QVERIFY(waitIdle(model, 10000));
        const TerminalRecord last = model.records().last();
        QCOMPARE(last.kind, Kind::Error);
        QVERIFY(last.text.startsWith(u"进程退出，状态码 "_s));
        QVERIFY(!last.text.startsWith(u"进程退出，状态码 0"_s));
    }

    void clearWhileRunningKeepsLaterOutput()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.execute(u"sleep 0.3; echo late; exit 2"_s);
        const qint64 revision = model.revision();
        model.clear();
        QVERIFY(model.records().isEmpty());
        QCOMPARE(model.revision(), revision + 1);
        QVERIFY(waitIdle(model));
        QCOMPARE(texts(model), (QStringList{u"late\n"_s, u"进程退出，状态码 2\n"_s}));
    }

    void utf8SplitAcrossWritesIsDecodedWhole()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        // "终" is E7 BB 88: its first byte and the rest arrive in separate writes.
        model.execute(u"printf '\\347'; sleep 0.3; printf '\\273\\210\\377\\n'"_s);
        QVERIFY(waitIdle(model));
        QCOMPARE(texts(model, Kind::Output).join(QString()), u"终\uFFFD\n"_s);
    }

    void launchFailureIsAnErrorRecord()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.setShell(u"/nonexistent/shell"_s);
        model.execute(u"echo hi"_s);
        QVERIFY(waitIdle(model));
        QCOMPARE(model.records().size(), 2);
        QCOMPARE(model.records().last().kind, Kind::Error);
        QVERIFY(model.records().last().text.endsWith(u'\n'));
        QVERIFY(model.records().last().text.size() > 1);
    }

    void destroyingTheModelEndsItsCommand()
    {
        QTemporaryDir dir;
        const QString marker = dir.path() + u"/marker"_s;
        qint64 shell = 0;
        {
            WorkspaceTerminalModel model(QUrl::fromLocalFile(dir.path()));
            model.execute(u"echo $$; sleep 1; touch marker"_s);
            shell = firstNumberWritten(model);
            QVERIFY(shell > 0);
        }
        // The shell that would have written the marker is gone.
        QTRY_VERIFY(!processRuns(shell));
        QVERIFY(!QFile::exists(marker));
    }

    void destroyingTheModelNeverWaitsForAGroupThatIgnoresTheEndSignal()
    {
        QTemporaryDir dir;
        qint64 shell = 0;
        qint64 sleeper = 0;
        {
            WorkspaceTerminalModel model(QUrl::fromLocalFile(dir.path()));
            model.setShell(u"/bin/sh"_s);
            model.execute(u"trap '' TERM; sleep 30 & echo $$ $!; wait"_s);
            QTRY_VERIFY_WITH_TIMEOUT(texts(model, Kind::Output).join(QString()).contains(u'\n'), 10000);
            const QStringList pids = texts(model, Kind::Output).join(QString()).split(u' ');
            QCOMPARE(pids.size(), 2);
            shell = pids.at(0).toLongLong();
            sleeper = pids.at(1).trimmed().toLongLong();
            QVERIFY(processRuns(shell) && processRuns(sleeper));
        }
        // Ending the group was asked for, not waited on: both still run right after.
        QVERIFY(processRuns(shell));
        QVERIFY(processRuns(sleeper));
        // The kill that follows the grace period ends them all the same.
        QTRY_VERIFY_WITH_TIMEOUT(!processRuns(shell) && !processRuns(sleeper), 10000);
    }

    // A command that ignores the interrupt still stops: by a second press, or by itself once the
    // grace has passed, the group gets SIGTERM.
    void stopEscalatesToTermination_data()
    {
        QTest::addColumn<int>("presses");
        QTest::newRow("one press") << 1;
        QTest::newRow("two presses") << 2;
    }

    void stopEscalatesToTermination()
    {
        QFETCH(int, presses);
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.setShell(u"/bin/sh"_s);
        model.execute(u"trap '' INT; echo $$; sleep 385"_s);
        QVERIFY(firstNumberWritten(model) > 0);
        for (int i = 0; i < presses; ++i)
            model.interrupt();
        QVERIFY(waitIdle(model, 15000));
        QCOMPARE(model.records().last().text, u"进程退出，状态码 %1\n"_s.arg(SIGTERM));
    }

    // What a command left running in its group ends with the model, also once the command has
    // finished; a group that empties by itself is let go, so that its number is never signalled.
    void backgroundJobEndsWithTheModel_data()
    {
        QTest::addColumn<bool>("endsByItself");
        QTest::newRow("job still running") << false;
        QTest::newRow("job that ends by itself") << true;
    }

    void backgroundJobEndsWithTheModel()
    {
        QFETCH(bool, endsByItself);
        qint64 sleeper = 0;
        {
            WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
            model.setShell(u"/bin/sh"_s);
            model.execute(endsByItself ? u"(sleep 0.5; sleep 0.5) & echo $!"_s : u"sleep 383 & echo $!"_s);
            QVERIFY(waitIdle(model));
            sleeper = firstNumberWritten(model);
            QVERIFY(sleeper > 0);
            QCOMPARE(model.leftoverGroups().size(), 1);
            if (endsByItself)
                QTRY_VERIFY_WITH_TIMEOUT(model.leftoverGroups().isEmpty(), 10000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!processRuns(sleeper), 10000);
    }

    // However the application ends, quit or killed, what its terminal started goes with it.
    void backgroundJobEndsWithTheApplication_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("ending"); // the signal, or 0 for a quit
        const QString finished = u"sleep 383 & echo $!"_s;
        QTest::newRow("finished command, quit") << finished << 0;
        QTest::newRow("finished command, SIGKILL") << finished << SIGKILL;
        QTest::newRow("finished command, SIGABRT") << finished << SIGABRT;
        QTest::newRow("running command, SIGKILL") << u"sleep 384 & echo $!; wait"_s << SIGKILL;
    }

    void backgroundJobEndsWithTheApplication()
    {
        QFETCH(QString, command);
        QFETCH(int, ending);
        const QString harness = qEnvironmentVariable("NBD_TERMINAL_HARNESS");
        QVERIFY2(QFile::exists(harness), "NBD_TERMINAL_HARNESS names the harness");
        QProcess app;
        app.setWorkingDirectory(m_root);
        app.setChildProcessModifier([] {
            const rlimit noCore {};
            ::setrlimit(RLIMIT_CORE, &noCore);
        });
        app.start(harness, {command});
        QVERIFY(app.waitForStarted());
        const bool finishes = !command.endsWith(u"wait"_s);
        QByteArray out;
        QVERIFY(QTest::qWaitFor([&] {
            out += app.readAllStandardOutput();
            return out.contains('\n') && (!finishes || out.contains("--idle--"));
        }, 10000));
        const qint64 sleeper = out.left(out.indexOf('\n')).trimmed().toLongLong();
        QVERIFY(sleeper > 0 && processRuns(sleeper));

        if (ending == 0)
            app.closeWriteChannel();
        else
            ::kill(pid_t(app.processId()), ending);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), ending == 0 ? QProcess::NormalExit : QProcess::CrashExit);
        QTRY_VERIFY_WITH_TIMEOUT(!processRuns(sleeper), 10000);
    }

    void scrollBackKeepsTheNewestRecords()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        // Each failed change of directory adds two records at once, with no process.
        const int lines = WorkspaceTerminalModel::kMaxRecords / 2 + 500;
        for (int i = 0; i < lines; ++i)
            model.execute(u"cd missing-%1"_s.arg(i));
        QCOMPARE(model.appendedCount(), qint64(2 * lines));
        QCOMPARE(model.records().size(), WorkspaceTerminalModel::kMaxRecords);
        QCOMPARE(model.records().last().text, u"cd: no such directory: missing-%1\n"_s.arg(lines - 1));
        // The oldest kept record is the command of the first line not dropped.
        QCOMPARE(model.records().first().kind, Kind::Command);
        QVERIFY(model.records().first().text.endsWith(u" cd missing-500"_s));
        QCOMPARE(model.textBytes(), heldBytes(model));

        model.clear();
        QCOMPARE(model.textBytes(), 0);
        QCOMPARE(model.appendedCount(), qint64(2 * lines));
        model.execute(u"cd missing"_s);
        QCOMPARE(model.records().size(), 2);
        QCOMPARE(model.textBytes(), heldBytes(model));
    }

    void floodingOutputStaysWithinTheTextLimit()
    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(m_root));
        model.setShell(u"/bin/sh"_s);
        // 24 MB of lines, three times the limit, then a last line to find at the end.
        model.execute(u"yes flood | head -c 25165824; echo last"_s);
        QVERIFY(waitIdle(model, 60000));
        QCOMPARE(model.textBytes(), heldBytes(model));
        QVERIFY(model.textBytes() <= WorkspaceTerminalModel::kMaxTextBytes);
        // Full to within one read of the pipe, not emptied.
        QVERIFY2(model.textBytes() > WorkspaceTerminalModel::kMaxTextBytes - 2 * 1024 * 1024,
                 qPrintable(QString::number(model.textBytes())));
        QVERIFY(model.appendedCount() > model.records().size());
        QString tail;
        for (const TerminalRecord &record : model.records())
            if (record.kind == Kind::Output)
                tail = record.text;
        QVERIFY(tail.endsWith(u"flood\nlast\n"_s) || tail == u"last\n"_s);
        // No command record survives: it was the oldest.
        QVERIFY(std::none_of(model.records().begin(), model.records().end(),
                             [](const TerminalRecord &r) { return r.kind == Kind::Command; }));
    }
};

QTEST_GUILESS_MAIN(TerminalModelTest)
#include "tst_terminalmodel.moc"
