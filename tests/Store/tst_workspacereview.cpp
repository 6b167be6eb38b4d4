// The review's store owner against real git work trees.
#include "GitWorkTree.h"

#include "Store/WorkspaceReview.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::test::GitWorkTree::write;

namespace {

// The review's signals in the order they came, each with the state it announced.
QStringList *recordEvents(WorkspaceReview &review)
{
    auto *log = new QStringList;
    QObject::connect(&review, &WorkspaceReview::loadingChanged, &review, [log, &review] {
        *log << (review.isLoading() ? u"loading"_s : u"idle"_s);
    });
    QObject::connect(&review, &WorkspaceReview::reportChanged, &review,
                     [log, &review] { *log << u"report: "_s + review.report(); });
    QObject::connect(&review, &QObject::destroyed, [log] { delete log; });
    return log;
}

void waitForReports(WorkspaceReview &review, int count)
{
    QSignalSpy spy(&review, &WorkspaceReview::reportChanged);
    while (spy.size() < count)
        QVERIFY(spy.wait(30000));
}

} // namespace

class WorkspaceReviewTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QString repo(const QString &name) { return nbd::test::GitWorkTree::create(m_tmp.filePath(name)); }

private Q_SLOTS:
    void aRefreshLoadsThenWritesStatusAndDiffStatistics()
    {
        const QString dir = repo(u"changes"_s);
        write(dir + u"/a.txt"_s, "one\ntwo\n");
        write(dir + u"/new.txt"_s, "x");
        WorkspaceReview review(QUrl::fromLocalFile(dir));
        const QStringList &events = *recordEvents(review);
        QVERIFY(!review.isLoading());
        QVERIFY(review.report().isEmpty());

        review.refresh();
        QVERIFY(review.isLoading());
        waitForReports(review, 1);
        QVERIFY(!review.isLoading());
        QVERIFY2(review.report().startsWith(u"## main\n M a.txt\n?? new.txt\n\n a.txt | 1 +"_s), qPrintable(review.report()));
        // The report is in place when the loading state ends.
        QCOMPARE(events, (QStringList{u"loading"_s, u"idle"_s, u"report: "_s + review.report()}));
    }

    // Overlapping refreshes share the loading state: the first to finish ends it, and each
    // still writes its report.
    void overlappingRefreshesEachWriteTheirReport()
    {
        const QString dir = repo(u"overlap"_s);
        WorkspaceReview review(QUrl::fromLocalFile(dir));
        const QStringList &events = *recordEvents(review);
        review.refresh();
        review.refresh();
        waitForReports(review, 2);
        QCOMPARE(events, (QStringList{u"loading"_s, u"idle"_s, u"report: ## main\n"_s, u"report: ## main\n"_s}));
    }

    void anotherRootEndsTheLoadingAndReadsTheNewTree()
    {
        const QString first = repo(u"first"_s);
        const QString second = repo(u"second"_s);
        write(second + u"/b.txt"_s, "x");
        WorkspaceReview review(QUrl::fromLocalFile(first));
        const QStringList &events = *recordEvents(review);

        // The folder it reviews already is no move.
        QVERIFY(!review.setRootURL(QUrl::fromLocalFile(first)));
        QVERIFY(events.isEmpty());

        review.refresh();
        QVERIFY(review.setRootURL(QUrl::fromLocalFile(second)));
        QVERIFY(!review.isLoading());
        QCOMPARE(review.rootURL(), QUrl::fromLocalFile(second));
        review.refresh();
        waitForReports(review, 1);
        QCOMPARE(review.report(), u"## main\n?? b.txt\n"_s);
        // Nothing of the first tree's refresh landed before the second tree's report.
        QCOMPARE(events, (QStringList{u"loading"_s, u"idle"_s, u"loading"_s, u"idle"_s, u"report: ## main\n?? b.txt\n"_s}));
    }

    void foldersThatAreNoWorkTreeReportWhy_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain folder") << true << u"not a git repository"_s;
        QTest::newRow("missing folder") << false << QString();
    }

    void foldersThatAreNoWorkTreeReportWhy()
    {
        QFETCH(bool, exists);
        QFETCH(QString, expected);
        const QString dir = m_tmp.filePath(u"plain-"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-'));
        if (exists)
            QVERIFY(QDir().mkpath(dir));
        WorkspaceReview review(QUrl::fromLocalFile(dir));
        review.refresh();
        waitForReports(review, 1);
        QVERIFY(!review.report().isEmpty());
        QVERIFY2(review.report().contains(expected), qPrintable(review.report()));
    }

    void longReportsAreCutAtTheLimit()
    {
        const QString dir = repo(u"long"_s);
        for (int i = 0; i < 1000; ++i)
            write(dir + u"/untracked-file-with-a-rather-long-name-number-%1.txt"_s.arg(i, 4, 10, QLatin1Char('0')), "x");
        WorkspaceReview review(QUrl::fromLocalFile(dir));
        review.refresh();
        waitForReports(review, 1);
        QCOMPARE(review.report().size(), WorkspaceReview::kReportLimit);
        QVERIFY(review.report().startsWith(u"## main\n?? untracked-file"_s));
    }

    // The agent commits in the same work tree while the review reads it.
    void theIndexIsLeftAlone()
    {
        const QString dir = nbd::test::GitWorkTree::createChanged(m_tmp.filePath(u"index"_s));
        QFile index(dir + u"/.git/index"_s);
        QVERIFY(index.open(QIODevice::ReadOnly));
        const QByteArray before = index.readAll();
        index.close();
        WorkspaceReview review(QUrl::fromLocalFile(dir));
        review.refresh();
        waitForReports(review, 1);
        QVERIFY2(review.report().contains(u" a.txt | 1 +"_s), qPrintable(review.report()));
        QVERIFY(index.open(QIODevice::ReadOnly));
        QVERIFY(index.readAll() == before);
        QVERIFY(!QFile::exists(dir + u"/.git/index.lock"_s));
    }
};

QTEST_GUILESS_MAIN(WorkspaceReviewTest)
#include "tst_workspacereview.moc"
