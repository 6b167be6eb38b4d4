// The review tool against real git work trees.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Tools/WorkspaceReviewView.h"

#include <QPlainTextEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

void git(const QString &dir, QStringList args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(u"git"_s, QStringList{u"-c"_s, u"user.name=t"_s, u"-c"_s, u"user.email=t@t"_s, u"-c"_s, u"init.defaultBranch=main"_s} + args);
    QVERIFY(p.waitForFinished(-1));
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
}

void write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

class ReviewViewTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QString repo(const QString &name)
    {
        const QString dir = m_tmp.filePath(name);
        QDir().mkpath(dir);
        git(dir, {u"init"_s, u"-q"_s});
        write(dir + u"/a.txt"_s, "one\n");
        git(dir, {u"add"_s, u"a.txt"_s});
        git(dir, {u"commit"_s, u"-q"_s, u"-m"_s, u"first"_s});
        return dir;
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

    void untrackedOnlyShowsTheStatusAlone()
    {
        const QString dir = repo(u"untracked"_s);
        write(dir + u"/new.txt"_s, "x");
        WorkspaceReviewView view(QUrl::fromLocalFile(dir));
        view.show();
        waitForReport(view);
        QCOMPARE(view.report(), u"## main\n?? new.txt\n"_s);
    }

    void outsideAWorkTreeShowsGitsOwnError()
    {
        QTemporaryDir plain;
        WorkspaceReviewView view(QUrl::fromLocalFile(plain.path()));
        view.show();
        waitForReport(view);
        QVERIFY2(view.report().contains(u"not a git repository"_s), qPrintable(view.report()));
    }

    void aMissingDirectoryReportsTheStartError()
    {
        WorkspaceReviewView view(QUrl::fromLocalFile(m_tmp.filePath(u"missing"_s)));
        view.show();
        waitForReport(view);
        QVERIFY(!view.report().isEmpty());
        QVERIFY(view.report() != u"工作区无待审阅改动"_s);
    }

    void longReportsAreCut()
    {
        const QString dir = repo(u"long"_s);
        // About 60 characters a status line, 1,000 lines.
        for (int i = 0; i < 1000; ++i)
            write(dir + u"/untracked-file-with-a-rather-long-name-number-%1.txt"_s.arg(i, 4, 10, QLatin1Char('0')), "x");
        WorkspaceReviewView view(QUrl::fromLocalFile(dir));
        view.show();
        waitForReport(view);
        QCOMPARE(view.report().size(), WorkspaceReviewView::kReportLimit);
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
        view.refresh();
        view.setRootURL(QUrl::fromLocalFile(second));
        waitForReport(view);
        QCOMPARE(view.report(), u"## main\n?? b.txt\n"_s);
        QTest::qWait(200);
        QCOMPARE(view.report(), u"## main\n?? b.txt\n"_s);

        write(second + u"/c.txt"_s, "x");
        QSignalSpy spy(&view, &WorkspaceReviewView::reportChanged);
        QTest::mouseClick(view.findChild<ChromeIconButton *>(u"workspace-review-refresh"_s), Qt::LeftButton);
        QVERIFY(spy.wait(30000));
        QCOMPARE(view.report(), u"## main\n?? b.txt\n?? c.txt\n"_s);
    }
};

NBD_GUI_TEST_MAIN(ReviewViewTest)
#include "tst_reviewview.moc"
