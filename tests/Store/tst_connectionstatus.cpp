// What the window shows of the connection, followed through a real connection to the
// simulated host.
#include "AppModelTestSupport.h"

#include "Store/ConnectionStatus.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::test::StoreHarness;

namespace {

// Each changed() with the state it announced: "label | title | detail".
QStringList *recordChanges(ConnectionStatus &status)
{
    auto *log = new QStringList;
    QObject::connect(&status, &ConnectionStatus::changed, &status, [log, &status] {
        *log << status.phase().label() + u" | "_s + status.title() + u" | "_s + status.detail();
    });
    QObject::connect(&status, &QObject::destroyed, [log] { delete log; });
    return log;
}

} // namespace

class ConnectionStatusTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void followsTheConnectionAndReportsOnlyRealChanges()
    {
        StoreHarness h;
        AppModel *store = h.makeStore();
        ConnectionStatus status(store->connection(), store->nbdProcess(), store->connectionSettings());
        const QStringList &changes = *recordChanges(status);
        QCOMPARE(status.phase(), ConnectionPhase::disconnected());
        QCOMPARE(status.title(), u"Nimbrel Deck"_s);
        QCOMPARE(status.detail(), u"未连接"_s);
        QVERIFY(!status.isReady());

        // The launch mode shows only once a host is connected.
        store->connectionSettings()->setLaunchMode(LaunchMode::Embedded);
        store->connectionSettings()->setLaunchMode(LaunchMode::External);
        QVERIFY(changes.isEmpty());

        store->connect();
        QTRY_VERIFY_WITH_TIMEOUT(status.isReady(), 20000);
        QCOMPARE(status.title(), u"NBD 0.0.0-sim"_s);
        QCOMPARE(status.detail(), u"外部 Host"_s);
        QCOMPARE(changes.first(), u"连接中… | Nimbrel Deck | 连接中…"_s);
        QCOMPARE(changes.last(), status.phase().label() + u" | NBD 0.0.0-sim | 外部 Host"_s);
        for (qsizetype i = 1; i < changes.size(); ++i)
            QVERIFY2(changes[i] != changes[i - 1], qPrintable(changes.join(u'\n')));

        store->disconnect();
        QCOMPARE(status.phase(), ConnectionPhase::disconnected());
        QCOMPARE(changes.last(), u"未连接 | Nimbrel Deck | 未连接"_s);
        for (qsizetype i = 1; i < changes.size(); ++i)
            QVERIFY2(changes[i] != changes[i - 1], qPrintable(changes.join(u'\n')));
    }

    // The settings page reads the phase and the host's description in the slots of the passed-on
    // signals: by then the status must already hold what the controller holds.
    void passesOnChangesAfterTakingThemIn()
    {
        StoreHarness h;
        AppModel *store = h.makeStore();
        ConnectionStatus *status = store->connectionStatus();
        QStringList mismatches;
        int phases = 0;
        int descriptions = 0;
        QObject::connect(status, &ConnectionStatus::phaseChanged, status, [&] {
            ++phases;
            if (!(status->phase() == store->connection()->phase()))
                mismatches << u"phase "_s + status->phase().label();
        });
        QObject::connect(status, &ConnectionStatus::hostDescriptionChanged, status, [&] {
            ++descriptions;
            if (status->hostDescription() != store->connection()->hostDescription())
                mismatches << u"description"_s;
        });
        QVERIFY(!status->hostDescription());

        store->connect();
        QTRY_VERIFY_WITH_TIMEOUT(status->isReady(), 20000);
        QVERIFY(status->hostDescription());
        QCOMPARE(status->hostDescription()->version, u"0.0.0-sim"_s);
        store->disconnect();
        QVERIFY(phases >= 2);
        QVERIFY(descriptions >= 1);
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(u", "_s)));
    }

    void aStatusWithoutAStoreStaysDisconnected()
    {
        ConnectionStatus status(nullptr, nullptr, nullptr);
        QCOMPARE(status.phase(), ConnectionPhase::disconnected());
        QCOMPARE(status.title(), u"Nimbrel Deck"_s);
        QCOMPARE(status.detail(), u"未连接"_s);
    }
};

QTEST_GUILESS_MAIN(ConnectionStatusTest)
#include "tst_connectionstatus.moc"
