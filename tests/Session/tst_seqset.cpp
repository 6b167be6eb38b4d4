#include "Session/SeqSet.h"

#include <QTest>

#include <limits>
#include <random>
#include <set>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kMin = std::numeric_limits<qint64>::min();
constexpr qint64 kMax = std::numeric_limits<qint64>::max();

QString runsOf(const SeqSet &set)
{
    QStringList runs;
    set.forEachRun([&](SeqSet::Run r) { runs << QString::number(r.first) + u'-' + QString::number(r.last); });
    return runs.join(u',');
}

} // namespace

class TestSeqSet : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void insert_data();
    void insert();
    void matchesAnOrderedSet();
    void runsAndSetsMergeLikeSingleInserts();
    void runsAtTheExtremes();
};

void TestSeqSet::insert_data()
{
    QTest::addColumn<QList<qint64>>("inserted");
    QTest::addColumn<QString>("runs");
    QTest::addColumn<qint64>("count");

    QTest::newRow("ascending run") << QList<qint64>{0, 1, 2, 3} << u"0-3"_s << qint64(4);
    QTest::newRow("descending run") << QList<qint64>{3, 2, 1, 0} << u"0-3"_s << qint64(4);
    QTest::newRow("gap filled joins both sides") << QList<qint64>{1, 3, 2} << u"1-3"_s << qint64(3);
    QTest::newRow("duplicates") << QList<qint64>{5, 5, 4, 5, 4} << u"4-5"_s << qint64(2);
    QTest::newRow("separate runs") << QList<qint64>{10, 1, 5, 6, 2} << u"1-2,5-6,10-10"_s << qint64(5);
    QTest::newRow("before the first run") << QList<qint64>{10, 11, 9, 3} << u"3-3,9-11"_s << qint64(4);
    QTest::newRow("extremes do not overflow") << QList<qint64>{kMax, kMin, kMax - 1, kMin + 1, -1}
                                              << u"%1-%2,-1--1,%3-%4"_s.arg(kMin).arg(kMin + 1).arg(kMax - 1).arg(kMax)
                                              << qint64(5);
    QTest::newRow("negative numbers") << QList<qint64>{-1, -3, -2} << u"-3--1"_s << qint64(3);
}

void TestSeqSet::insert()
{
    QFETCH(QList<qint64>, inserted);
    QFETCH(QString, runs);
    QFETCH(qint64, count);

    SeqSet set;
    std::set<qint64> reference;
    for (qint64 seq : inserted) {
        QCOMPARE(set.insert(seq), reference.insert(seq).second);
        QVERIFY(set.contains(seq));
    }
    QCOMPARE(runsOf(set), runs);
    QCOMPARE(set.count(), count);
    QVERIFY(!set.contains(kMin + 2));
    QVERIFY(!set.contains(kMax - 2));
}

void TestSeqSet::matchesAnOrderedSet()
{
    std::mt19937_64 random(42);
    for (int round = 0; round < 50; ++round) {
        SeqSet set;
        std::set<qint64> reference;
        const qint64 span = 8 + qint64(random() % 200);
        for (int i = 0; i < 300; ++i) {
            const qint64 seq = qint64(random() % quint64(span)) - span / 2;
            QCOMPARE(set.insert(seq), reference.insert(seq).second);
        }
        for (qint64 seq = -span; seq <= span; ++seq)
            QCOMPARE(set.contains(seq), reference.count(seq) == 1);
        QCOMPARE(set.count(), qint64(reference.size()));
        // Runs are disjoint and never adjacent, so equal sets have equal runs.
        SeqSet rebuilt;
        for (auto it = reference.rbegin(); it != reference.rend(); ++it)
            rebuilt.insert(*it);
        QVERIFY(rebuilt == set);
    }
}

// Inserting a run or a whole set gives the same set, with the same runs, as inserting
// each number on its own.
void TestSeqSet::runsAndSetsMergeLikeSingleInserts()
{
    std::mt19937_64 random(7);
    for (int round = 0; round < 200; ++round) {
        SeqSet byRuns;
        SeqSet byNumbers;
        SeqSet other;
        for (int i = 0; i < 12; ++i) {
            const qint64 first = qint64(random() % 120) - 60;
            const qint64 last = first + qint64(random() % 8);
            if (i % 3 == 0) {
                for (qint64 seq = first; seq <= last; ++seq) {
                    other.insert(seq);
                    byNumbers.insert(seq);
                }
                continue;
            }
            byRuns.insertRun(first, last);
            for (qint64 seq = first; seq <= last; ++seq)
                byNumbers.insert(seq);
        }
        byRuns.insert(other);
        QCOMPARE(runsOf(byRuns), runsOf(byNumbers));
        QVERIFY(byRuns == byNumbers);
        QCOMPARE(byRuns.last(), byNumbers.last());
    }
    QCOMPARE(SeqSet().last(), std::nullopt);
}

void TestSeqSet::runsAtTheExtremes()
{
    SeqSet set;
    set.insertRun(kMax - 2, kMax);
    set.insertRun(kMin, kMin + 1);
    set.insertRun(kMin + 2, kMin + 2); // touches the run before it
    set.insertRun(kMax - 5, kMax - 3); // touches the run after it
    QCOMPARE(runsOf(set), u"%1-%2,%3-%4"_s.arg(kMin).arg(kMin + 2).arg(kMax - 5).arg(kMax));
    QCOMPARE(set.last(), std::optional<qint64>(kMax));
    set.insertRun(kMin, kMax);
    QCOMPARE(runsOf(set), u"%1-%2"_s.arg(kMin).arg(kMax));
}

QTEST_GUILESS_MAIN(TestSeqSet)
#include "tst_seqset.moc"
