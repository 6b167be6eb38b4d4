// The review's command runner against real child processes.
#include "Connection/WorkspaceCommand.h"

#include "AsyncTest.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

class WorkspaceCommandTest : public QObject
{
    Q_OBJECT

    static WorkspaceCommandResult sh(const QString &script, const QUrl &directory = QUrl::fromLocalFile(QDir::tempPath()))
    {
        return test::waitFor(WorkspaceCommand::capture(u"/bin/sh"_s, {u"-c"_s, script}, directory));
    }

private Q_SLOTS:
    void silentSuccessIsEmptyWithStatusZero()
    {
        const auto result = sh(u"true"_s);
        QCOMPARE(result.output, QString());
        QCOMPARE(result.status, 0);
    }

    void bothStreamsArriveInOneTextInOrder()
    {
        const auto result = sh(u"echo out; echo err >&2; echo again"_s);
        QCOMPARE(result.output, u"out\nerr\nagain\n"_s);
        QCOMPARE(result.status, 0);
    }

    void exitStatusAndErrorTextAreKept()
    {
        const auto result = sh(u"echo broken >&2; exit 3"_s);
        QCOMPARE(result.output, u"broken\n"_s);
        QCOMPARE(result.status, 3);
    }

    void startFailuresReportMinusOneWithAReason_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("directory");
        QTest::newRow("missing directory") << u"/bin/sh"_s << u"/nonexistent/nowhere"_s;
        QTest::newRow("missing executable") << u"/nonexistent/tool"_s << QDir::tempPath();
        QTest::newRow("not executable") << u"/etc/hostname"_s << QDir::tempPath();
    }
    void startFailuresReportMinusOneWithAReason()
    {
        QFETCH(QString, executable);
        QFETCH(QString, directory);
        const auto result = test::waitFor(
            WorkspaceCommand::capture(executable, {u"-c"_s, u"true"_s}, QUrl::fromLocalFile(directory)));
        QCOMPARE(result.status, -1);
        QVERIFY(!result.output.trimmed().isEmpty());
    }

    void invalidUtf8BecomesReplacementCharacters()
    {
        const auto result = sh(u"printf 'a\\377b\\n'"_s);
        QCOMPARE(result.output, u"a\uFFFDb\n"_s);
    }

    void outputLargerThanAPipeBufferIsComplete()
    {
        const auto result = sh(u"head -c 1000000 /dev/zero | tr '\\0' x"_s);
        QCOMPARE(result.output.size(), 1000000);
        QCOMPARE(result.status, 0);
    }

    void runsInTheGivenDirectoryAndPassesArgumentsUnchanged()
    {
        QTemporaryDir dir;
        const auto result = test::waitFor(WorkspaceCommand::capture(
            u"/bin/sh"_s, {u"-c"_s, u"pwd; printf '%s|' \"$0\""_s, u"a b;$HOME"_s}, QUrl::fromLocalFile(dir.path())));
        QCOMPARE(result.output, QFileInfo(dir.path()).canonicalFilePath() + u"\na b;$HOME|"_s);
    }

    void gitFilterNames_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<QStringList>("names");
        const QChar nul(u'\0');
        QTest::newRow("nothing") << QString() << QStringList{};
        QTest::newRow("one driver, several keys")
            << u"filter.lfs.clean"_s + nul + u"filter.lfs.smudge"_s + nul + u"filter.lfs.required"_s + nul << QStringList{u"lfs"_s};
        QTest::newRow("dots and equals in the name")
            << u"filter.a.b=c.clean"_s + nul + u"filter.x.process"_s + nul << QStringList{u"a.b=c"_s, u"x"_s};
        QTest::newRow("case kept, each once, in order")
            << u"filter.Z.clean"_s + nul + u"filter.z.clean"_s + nul + u"filter.Z.process"_s + nul
            << QStringList{u"Z"_s, u"z"_s};
        QTest::newRow("no name, or no filter")
            << u"filter.clean"_s + nul + u"filter..clean"_s + nul + u"diff.tc.textconv"_s + nul + u"garbage"_s << QStringList{};
    }

    void gitFilterNames()
    {
        QFETCH(QString, listing);
        QFETCH(QStringList, names);
        QCOMPARE(WorkspaceCommand::gitFilterNames(listing), names);
    }

    void gitIsFoundOrNamed()
    {
        const QString git = WorkspaceCommand::gitExecutable();
        QVERIFY(git.endsWith(u"/git"_s));
        QVERIFY(QDir::isAbsolutePath(git));
    }
};

QTEST_GUILESS_MAIN(WorkspaceCommandTest)
#include "tst_workspacecommand.moc"
