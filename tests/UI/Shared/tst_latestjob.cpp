#include "Base/WorkPool.h"
#include "UI/Shared/LatestJob.h"

#include <QSemaphore>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace nbd;

// Background parses of a text that keeps changing: one run at a time, only the newest result
// applied, nothing applied once cancelled or destroyed, and the work kept off the main thread
// and off Qt's global pool, whose threads the raster engine's fills wait for.
class tst_LatestJob : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void appliesOnlyTheNewestOfRunsAskedForMeanwhile()
    {
        QObject owner;
        LatestJob<int> job(&owner);
        QSemaphore firstMayEnd;
        std::atomic<int> runs = 0;
        QList<int> applied;
        const auto record = [&](int value) { applied << value; };

        job.start([&] { ++runs; firstMayEnd.acquire(); return 1; }, record);
        QTRY_COMPARE(runs.load(), 1);
        // Asked for while the first is under way: the second is replaced before it starts.
        job.start([&] { ++runs; return 2; }, record);
        job.start([&] { ++runs; return 3; }, record);
        QVERIFY(job.isBusy());
        firstMayEnd.release();
        QTRY_VERIFY(!job.isBusy());
        QCOMPARE(runs.load(), 2);
        QCOMPARE(applied, QList<int>{3});
    }

    void appliesNothingOnceCancelledOrDestroyed()
    {
        QObject owner;
        QList<int> applied;
        QSemaphore mayEnd;
        std::atomic<bool> ran = false;
        {
            LatestJob<int> job(&owner);
            job.start([&] { mayEnd.acquire(); ran = true; return 1; }, [&](int v) { applied << v; });
            job.cancel();
            mayEnd.release();
            QTRY_VERIFY(!job.isBusy());
            QVERIFY(ran);
        }
        ran = false;
        {
            auto job = std::make_unique<LatestJob<int>>(&owner);
            job->start([&] { mayEnd.acquire(); ran = true; return 2; }, [&](int v) { applied << v; });
            job.reset();
            mayEnd.release();
            QTRY_VERIFY(ran.load());
        }
        workPool()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(applied.isEmpty());
    }

    void runsOnTheClientsOwnThreads()
    {
        QObject owner;
        LatestJob<int> job(&owner);
        std::atomic<bool> onMainThread = true, onQtsPool = true, onOwnPool = false;
        bool applied = false;
        QThread *const main = QThread::currentThread();
        job.start(
            [&] {
                onMainThread = QThread::currentThread() == main;
                onQtsPool = QThreadPool::globalInstance()->contains(QThread::currentThread());
                onOwnPool = workPool()->contains(QThread::currentThread());
                return 0;
            },
            [&](int) { applied = QThread::currentThread() == main; });
        QTRY_VERIFY(applied);
        QVERIFY(!onMainThread);
        QVERIFY(!onQtsPool);
        QVERIFY(onOwnPool);
    }
};

QTEST_GUILESS_MAIN(tst_LatestJob)
#include "tst_latestjob.moc"
