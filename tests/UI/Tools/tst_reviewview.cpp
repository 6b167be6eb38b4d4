// The review tool against real git work trees.
#include "AccessibilityWalk.h"
#include "GitWorkTree.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Tools/WorkspaceReviewView.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

using nbd::test::GitWorkTree::git;
using nbd::test::GitWorkTree::write;

class ReviewViewTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QString repo(const QString &name)
    {
        return nbd::test::GitWorkTree::create(m_tmp.filePath(name));
    }

    QString changedRepo(const QString &name)
    {
        return nbd::test::GitWorkTree::createChanged(m_tmp.filePath(name));
    }

    static QString shown(WorkspaceReviewView &view)
    {
        return view.findChild<QPlainTextEdit *>(u"workspace-review-report"_s)->toPlainText();
    }

    static void waitForReport(WorkspaceReviewView &view)
    {
        QSignalSpy spy(&view, &WorkspaceReviewView::reportChanged);
        QVERIFY(spy.wait(30000));
    }

    // The child processes of this test still running or not yet collected: the view's git.
    static int childProcessCount()
    {
        const QByteArray self = QByteArray::number(qint64(::getpid()));
        int count = 0;
        for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(u"/proc/"_s + entry + u"/stat"_s);
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            // pid (command) state ppid ...: the command may hold spaces and brackets.
            const QByteArray line = stat.readAll();
            const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields.at(1) == self)
                ++count;
        }
        return count;
    }

    // Until every git the view started has ended and the view has taken in what it printed,
    // again while that starts more.
    static void waitUntilGitIsDone()
    {
        for (int round = 0; round < 20; ++round) {
            QTRY_COMPARE_WITH_TIMEOUT(childProcessCount(), 0, 30000);
            nbd::test::drainEventLoop();
            if (childProcessCount() == 0)
                return;
        }
        QFAIL("the view kept starting git");
    }

private Q_SLOTS:
    void changesShowStatusThenDiffStatistics()
    {
        const QString dir = repo(u"changes"_s);
        write(dir + u"/a.txt"_s, "one\ntwo\n");
        write(dir + u"/new.txt"_s, "x");
        WorkspaceReviewView view(QUrl::fromLocalFile(dir));
        view.resize(500, 400);
        view.show();
        QVERIFY(view.isLoading());
        waitForReport(view);
        const QString report = view.report();
        QVERIFY2(report.startsWith(u"## main\n M a.txt\n?? new.txt\n\n a.txt | 1 +"_s), qPrintable(report));
        QCOMPARE(shown(view), report);
        QVERIFY(!view.isLoading());
        const QStringList problems = nbd::test::accessibilityProblems(&view);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
    }

    // The refresh button's accessibility action reads the work tree again as its click does:
    // a file changed after the first report shows in the next one either way.
    void refreshByActionDoesWhatAClickDoes()
    {
        const QString dir = repo(u"parity"_s);
        std::unique_ptr<WorkspaceReviewView> view;
        int reports = 0;
        nbd::test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            view.reset();
            write(dir + u"/a.txt"_s, "one\n");
            view = std::make_unique<WorkspaceReviewView>(QUrl::fromLocalFile(dir));
            view->resize(500, 400);
            view->show();
            waitForReport(*view);
            reports = 0;
            connect(view.get(), &WorkspaceReviewView::reportChanged, view.get(), [&reports] { ++reports; });
            write(dir + u"/a.txt"_s, "one\ntwo\n");
            return view.get();
        };
        check.state = [&] { return QString::number(reports) + u' ' + view->report(); };
        check.async = true;
        check.quiet = [] { waitUntilGitIsDone(); };
        const nbd::test::ActionParityReport report = nbd::test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QVERIFY2(report.changed >= 1, qPrintable(report.controls.join(u'\n')));
        view.reset();
    }

    void untrackedOnlyShowsTheStatusAlone()
    {
        const QString dir = repo(u"untracked"_s);
        write(dir + u"/new.txt"_s, "x");
        WorkspaceReviewView view(QUrl::fromLocalFile(dir));
        view.show();
        waitForReport(view);
        QCOMPARE(view.report(), u"## main\n?? new.txt\n"_s);
    }

    void aNewRootRerunsAndTheButtonRefreshes()
    {
        const QString first = repo(u"first"_s);
        const QString second = repo(u"second"_s);
        write(second + u"/b.txt"_s, "x");
        WorkspaceReviewView view(QUrl::fromLocalFile(first));
        view.show();
        waitForReport(view);
        QCOMPARE(view.report(), u"## main\n"_s);
        // A refresh of the first root still under way is dropped once the root changes.
        QStringList written;
        const QMetaObject::Connection recording =
            connect(&view, &WorkspaceReviewView::reportChanged, &view, [&] { written << view.report(); });
        view.refresh();
        view.setRootURL(QUrl::fromLocalFile(second));
        waitForReport(view);
        QCOMPARE(view.report(), u"## main\n?? b.txt\n"_s);
        // The first root's refresh has ended too, and wrote nothing.
        waitUntilGitIsDone();
        disconnect(recording);
        QCOMPARE(written, QStringList{u"## main\n?? b.txt\n"_s});

        write(second + u"/c.txt"_s, "x");
        QSignalSpy spy(&view, &WorkspaceReviewView::reportChanged);
        QTest::mouseClick(view.findChild<ChromeIconButton *>(u"workspace-review-refresh"_s), Qt::LeftButton);
        QVERIFY(spy.wait(30000));
        QCOMPARE(view.report(), u"## main\n?? b.txt\n?? c.txt\n"_s);
    }

    // A folder from anywhere can carry a configuration that names programs for git to start.
    // Each row sets one such option to a script that leaves a mark; the review must leave none
    // and still report the change.
    void theRepositoryConfigurationStartsNothing_data()
    {
        QTest::addColumn<QStringList>("configuration"); // key, value, key, value, …; "MARK" is the script
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<bool>("partialClone");
        QTest::newRow("file-system monitor") << QStringList{u"core.fsmonitor"_s, u"MARK"_s} << QByteArray() << false;
        QTest::newRow("clean filter") << QStringList{u"filter.lf.clean"_s, u"MARK"_s} << QByteArray("* filter=lf\n")
                                      << false;
        QTest::newRow("required filter with a dotted name")
            << QStringList{u"filter.a.b=c.clean"_s, u"MARK"_s, u"filter.a.b=c.smudge"_s, u"MARK"_s,
                           u"filter.a.b=c.required"_s, u"true"_s}
            << QByteArray("* filter=a.b=c\n") << false;
        QTest::newRow("long-running filter") << QStringList{u"filter.p.process"_s, u"MARK"_s}
                                             << QByteArray("* filter=p\n") << false;
        QTest::newRow("text conversion") << QStringList{u"diff.tc.textconv"_s, u"MARK"_s} << QByteArray("* diff=tc\n")
                                         << false;
        QTest::newRow("diff driver command") << QStringList{u"diff.ext.command"_s, u"MARK"_s}
                                             << QByteArray("* diff=ext\n") << false;
        QTest::newRow("external diff") << QStringList{u"diff.external"_s, u"MARK"_s} << QByteArray() << false;
        QTest::newRow("colour always") << QStringList{u"color.ui"_s, u"always"_s, u"color.status"_s, u"always"_s,
                                                      u"color.diff"_s, u"always"_s}
                                       << QByteArray() << false;
        QTest::newRow("hook after an index write") << QStringList{u"core.hooksPath"_s, u"HOOKS"_s} << QByteArray() << false;
        QTest::newRow("transport of a lazy fetch") << QStringList{u"remote.origin.uploadpack"_s, u"MARK"_s} << QByteArray()
                                                   << true;
    }

    void theRepositoryConfigurationStartsNothing()
    {
        QFETCH(QStringList, configuration);
        QFETCH(QByteArray, attributes);
        QFETCH(bool, partialClone);
        // No blank in the path: git hands most of these commands to a shell.
        QTemporaryDir scratch(QDir::tempPath() + u"/review-XXXXXX"_s);
        QVERIFY(scratch.isValid());
        const QString mark = scratch.filePath(u"mark"_s);
        // Passes its input through, so that a filter or conversion it stands for still works.
        const QString script = scratch.filePath(u"leave-mark"_s);
        write(script, "#!/bin/sh\necho \"$0 $*\" >> '" + mark.toUtf8() + "'\n"
                      "case \"$0\" in *upload-pack*) exec git-upload-pack \"$@\";; esac\nexec cat\n");
        QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QString uploadPack = scratch.filePath(u"upload-pack"_s);
        QVERIFY(QFile::link(script, uploadPack));
        const QString hooks = scratch.filePath(u"hooks"_s);
        QDir().mkpath(hooks);
        QVERIFY(QFile::link(script, hooks + u"/post-index-change"_s));

        QString dir;
        if (partialClone) {
            // A clone whose file contents stay on the origin until something asks for them.
            const QString origin = repo(u"origin-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag())).replace(u' ', u'-'));
            git(origin, {u"config"_s, u"uploadpack.allowFilter"_s, u"true"_s});
            dir = scratch.filePath(u"clone"_s);
            git(scratch.path(), {u"clone"_s, u"-q"_s, u"--no-checkout"_s, u"--filter=blob:none"_s,
                                 QUrl::fromLocalFile(origin).toString(), dir});
            git(dir, {u"read-tree"_s, u"HEAD"_s});
        } else {
            dir = changedRepo(u"hostile-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag())).replace(u' ', u'-'));
        }
        if (!attributes.isEmpty())
            write(dir + u"/.gitattributes"_s, attributes);
        for (qsizetype i = 0; i + 1 < configuration.size(); i += 2) {
            QString value = configuration[i + 1];
            if (value == u"MARK"_s)
                value = configuration[i].endsWith(u"uploadpack"_s) ? uploadPack : script;
            else if (value == u"HOOKS"_s)
                value = hooks;
            git(dir, {u"config"_s, configuration[i], value});
        }
        // Setting up ran git's own upload-pack and nothing else.
        QVERIFY(!QFile::exists(mark));

        WorkspaceReviewView view(QUrl::fromLocalFile(dir));
        view.show();
        waitForReport(view);
        QFile left(mark);
        QVERIFY2(!left.exists(), left.open(QIODevice::ReadOnly) ? left.readAll().constData() : "");
        QVERIFY2(view.report().contains(partialClone ? u" D a.txt"_s : u" M a.txt"_s), qPrintable(view.report()));
        QVERIFY2(!view.report().contains(QChar(0x1b)), qPrintable(view.report()));
    }
};

NBD_GUI_TEST_MAIN(ReviewViewTest)
#include "tst_reviewview.moc"
