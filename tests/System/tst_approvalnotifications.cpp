// Approval notifications on a private session bus (run under dbus-run-session): a notification
// service of the test's own answers on its own bus connection, the store talks to the
// simulated host. What the service receives and what the host is answered are the checks.

#include "AppModelTestSupport.h"
#include "FakeNotificationServer.h"
#include "System/ApprovalNotificationCoordinator.h"
#include "System/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QtTest>

using namespace nbd;
using namespace nbd::test;
using namespace Qt::StringLiterals;

namespace {

// A connected store with the sessions "s1" ("First") and "s2" listed, and a way to raise approvals.
// The host can also leave the first session list unanswered, or fail it.
struct Fixture
{
    enum class Listing { Answered, Held, Failed };

    explicit Fixture(Listing listing = Listing::Answered)
    {
        sim::SimWorld::Session s = session(u"s1"_s, 1);
        s.title = u"First"_s;
        h.world.addSession(s);
        h.world.addSession(session(u"s2"_s, 2));
        if (listing == Listing::Answered) {
            store = h.connected();
        } else {
            h.host.setReply(u"session.list"_s, listing == Listing::Held
                                                   ? sim::Reply::never()
                                                   : sim::Reply::error(u"internal"_s, u"list failed"_s));
            store = h.makeStore();
            store->connect();
        }
        h.waitForStreams();
    }

    PendingApproval raise(const QString &rpcId, const QString &sessionId, const QString &toolName,
                          std::optional<QString> reason = std::nullopt)
    {
        JSONValue::Members payload{{u"sessionId"_s, sessionId},
                                   {u"approvalId"_s, u"approval-"_s + rpcId},
                                   {u"toolName"_s, toolName}};
        if (reason)
            payload.emplace_back(u"reason"_s, *reason);
        const size_t before = store->interactions()->pendingApprovals().size();
        h.world.pushApprovalRequested(rpcId, JSONValue::object(std::move(payload)));
        [&] { QTRY_COMPARE_WITH_TIMEOUT(store->interactions()->pendingApprovals().size(), before + 1, 10000); }();
        for (const PendingApproval &approval : store->interactions()->pendingApprovals()) {
            if (approval.rpcId == rpcId)
                return approval;
        }
        return {};
    }

    QStringList outcomes() const
    {
        QStringList list;
        for (const sim::SimWorld::Answer &answer : h.world.answers()) {
            const JSONValue *value = answer.result.find(u"value");
            const JSONValue *outcome = value ? value->find(u"outcome") : nullptr;
            list << answer.rpcId + u'=' + (outcome && outcome->isString() ? *outcome->stringPtr() : u"?"_s);
        }
        return list;
    }

    StoreHarness h;
    AppModel *store = nullptr;
};

// Waits until everything the coordinator sent before now has reached the service: one more
// capabilities read travels behind it on the same connection, and the synchronisation that
// follows it has run.
void settle(ApprovalNotificationCoordinator &coordinator, FakeNotificationServer &server)
{
    QSignalSpy synced(&coordinator, &ApprovalNotificationCoordinator::synchronized);
    const int reads = server.capabilityReads;
    coordinator.refreshAuthorization(false);
    QTRY_COMPARE_WITH_TIMEOUT(server.capabilityReads, reads + 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!synced.isEmpty(), 10000);
}

// The fixture with a coordinator over its store that has not started yet, posting through a
// notification service on the bus (registered unless the test brings it later).
struct Rig : Fixture
{
    enum class Service { Registered, Absent };

    explicit Rig(Service service = Service::Registered, Listing listing = Listing::Answered)
        : Fixture(listing)
    {
        // Registered before the centre exists, so the centre never sees it arrive.
        if (service == Service::Registered)
            QVERIFY2(server.registerOnBus(), "notification service registers");
        center = std::make_unique<DesktopNotificationCenter>(QDBusConnection::sessionBus());
        coordinator = std::make_unique<ApprovalNotificationCoordinator>(store, center.get());
    }

    // Starts the coordinator and waits until it has posted and scheduled `count` approvals.
    void startAndPost(int count)
    {
        coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(server.posted.size(), count, 10000);
        QTRY_COMPARE(coordinator->scheduledRoutes().size(), count);
    }

    FakeNotificationServer server;
    std::unique_ptr<DesktopNotificationCenter> center;
    std::unique_ptr<ApprovalNotificationCoordinator> coordinator;
};

} // namespace

class ApprovalNotificationsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
    }

    // Nothing is posted until the service has been read; then one notification per approval
    // with the texts, buttons and desktop entry.
    void nothingBeforeAuthorisationThenOnePerApproval()
    {
        Rig f;
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s, u"  运行 make test\n"_s);
        f.raise(u"rpc-2"_s, u"s-unknown"_s, u"edit"_s, u" \n\t"_s);
        QCOMPARE(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::NotDetermined);
        QCOMPARE(f.coordinator->authorizationLabel(), u"审批通知未设置"_s);
        QCOMPARE(f.server.posted.size(), 0);

        QSignalSpy status(f.coordinator.get(), &ApprovalNotificationCoordinator::authorizationStatusChanged);
        f.coordinator->start();
        f.coordinator->start(); // a second start changes nothing
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 2, 10000);
        QCOMPARE(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Authorized);
        QCOMPARE(f.coordinator->authorizationLabel(), u"审批通知已开启"_s);
        QCOMPARE(status.size(), 1);

        const FakeNotificationServer::Posted &first = f.server.posted.at(0);
        QCOMPARE(first.summary, u"需要批准：\u2068shell\u2069"_s);
        QCOMPARE(first.body, u"\u2068First\u2069\n运行 make test"_s);
        QCOMPARE(first.appName, u"Nimbrel Deck"_s);
        QCOMPARE(first.hints.value(u"desktop-entry"_s).toString(), u"dev.nimbrel.Deck"_s);
        QCOMPARE(first.actions,
                 (QStringList{u"default"_s, u"在主窗口中查看"_s, u"dev.nimbrel.Deck.approval.allow-once"_s,
                              u"批准一次"_s, u"dev.nimbrel.Deck.approval.reject"_s, u"拒绝"_s}));
        QCOMPARE(first.timeout, 0);
        const FakeNotificationServer::Posted &second = f.server.posted.at(1);
        QCOMPARE(second.summary, u"需要批准：\u2068edit\u2069"_s);
        QCOMPARE(second.body, u"Nimbrel Deck\nAgent 正在等待你的决定"_s);

        settle(*f.coordinator, f.server);
        QCOMPARE(f.server.posted.size(), 2); // a later synchronisation posts nothing again
        QCOMPARE(f.coordinator->scheduledRoutes().size(), 2);
    }

    // Approvals the host holds when the app connects arrive before the session list: their
    // notifications wait for it and name their session, never the app in its place.
    void approvalsAheadOfTheSessionListWaitForTheirTitle()
    {
        Rig f(Rig::Service::Registered, Rig::Listing::Held);
        QVERIFY(f.store->sessions()->isAwaitingSessionList());
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.raise(u"rpc-2"_s, u"s-gone"_s, u"edit"_s);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Authorized,
                                  10000);
        settle(*f.coordinator, f.server);
        QCOMPARE(f.server.posted.size(), 0);
        QVERIFY(f.coordinator->scheduledRoutes().isEmpty());

        f.h.host.setHandler(u"session.list"_s, [world = &f.h.world](const sim::LoggedRequest &) {
            return sim::Reply::value(world->sessionListValue());
        });
        f.store->sessions()->refreshAll();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 2, 10000);
        QVERIFY(!f.store->sessions()->isAwaitingSessionList());
        QCOMPARE(f.server.posted.at(0).body, u"\u2068First\u2069\nAgent 正在等待你的决定"_s);
        // Listed without it: the session is gone, and the app's name is all there is.
        QCOMPARE(f.server.posted.at(1).body, u"Nimbrel Deck\nAgent 正在等待你的决定"_s);
        QTRY_COMPARE(f.coordinator->scheduledRoutes().size(), 2);
        settle(*f.coordinator, f.server);
        QCOMPARE(f.server.posted.size(), 2);
    }

    // A session list the host cannot give holds nothing back for good.
    void aFailedSessionListHoldsNothingBack()
    {
        Rig f(Rig::Service::Registered, Rig::Listing::Failed);
        QTRY_VERIFY_WITH_TIMEOUT(!f.store->sessions()->isAwaitingSessionList(), 10000);
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 1, 10000);
        QCOMPARE(f.server.posted.at(0).body, u"Nimbrel Deck\nAgent 正在等待你的决定"_s);
    }

    // A service that reads markup must not render tags from the host's text.
    void markupIsEscapedWhereTheServiceReadsIt()
    {
        Rig f;
        f.server.capabilities << u"body-markup"_s;
        f.raise(u"rpc-1"_s, u"s1"_s, u"<i>shell</i>"_s, u"<b>rm</b> -rf a & b"_s);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 1, 10000);
        QCOMPARE(f.server.posted.at(0).body, u"\u2068First\u2069\n&lt;b&gt;rm&lt;/b&gt; -rf a &amp; b"_s);
        // The summary is never markup.
        QCOMPARE(f.server.posted.at(0).summary, u"需要批准：\u2068<i>shell</i>\u2069"_s);
    }

    void noServiceMeansUnavailable()
    {
        Rig f(Rig::Service::Absent);
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        QSignalSpy synced(f.coordinator.get(), &ApprovalNotificationCoordinator::synchronized);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Unavailable,
                                  10000);
        QCOMPARE(f.coordinator->authorizationLabel(), u"审批通知不可用"_s);
        QVERIFY(!f.coordinator->lastError());
        QTRY_VERIFY_WITH_TIMEOUT(!synced.isEmpty(), 10000);
        QVERIFY(f.coordinator->scheduledRoutes().isEmpty());

        // The service appears; coming back to the app finds it and posts the pending approval.
        QVERIFY(f.server.registerOnBus());
        f.coordinator->refreshAuthorization(false);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 1, 10000);
        QCOMPARE(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Authorized);
    }

    // Without buttons the notification could not answer anything: unavailable as well. When
    // the service stops offering them every posted notification is removed, and all come back
    // once it offers them again.
    void allRemovedWhenNoLongerDeliverable()
    {
        Rig f;
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.raise(u"rpc-2"_s, u"s1"_s, u"edit"_s);
        f.startAndPost(2);

        f.server.capabilities = {u"body"_s};
        settle(*f.coordinator, f.server);
        QCOMPARE(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Unavailable);
        QTRY_COMPARE(f.server.closedIds.size(), 2);
        QCOMPARE(QSet<uint>(f.server.closedIds.begin(), f.server.closedIds.end()),
                 QSet<uint>({f.server.posted.at(0).id, f.server.posted.at(1).id}));
        QVERIFY(f.coordinator->scheduledRoutes().isEmpty());
        QCOMPARE(f.server.posted.size(), 2);

        f.server.capabilities = {u"actions"_s, u"body"_s};
        settle(*f.coordinator, f.server);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 4, 10000);
        QCOMPARE(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Authorized);
        QCOMPARE(f.coordinator->scheduledRoutes().size(), 2);
    }

    // The buttons answer the host; the answered approvals' notifications are withdrawn.
    void buttonsAnswerTheHost()
    {
        Rig f;
        f.h.world.setAnnounceResolutions(false);
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.raise(u"rpc-2"_s, u"s1"_s, u"edit"_s);
        f.startAndPost(2);

        f.server.invoke(f.server.posted.at(0).id, approvalnotification::allowOnceActionIdentifier());
        f.server.invoke(f.server.posted.at(1).id, approvalnotification::rejectActionIdentifier());
        QTRY_COMPARE_WITH_TIMEOUT(f.outcomes(), (QStringList{u"rpc-1=allowed-once"_s, u"rpc-2=rejected"_s}), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(f.store->interactions()->pendingApprovals().empty(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.closedIds.size(), 2, 10000);
        QVERIFY(f.coordinator->scheduledRoutes().isEmpty());
        QVERIFY(!f.coordinator->lastError());
        QCOMPARE(f.h.requestCount(u"respond"_s), 2);
    }

    // Signals are taken only from the service, and only for ids it gave us.
    void foreignSignalsAreIgnored()
    {
        Rig f;
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.startAndPost(1);
        const uint id = f.server.posted.at(0).id;

        // Another client on the bus sends a look-alike signal for our notification.
        const QString spoofName = u"spoofer"_s;
        {
            QDBusConnection spoof = QDBusConnection::connectToBus(QDBusConnection::SessionBus, spoofName);
            QDBusMessage signal = QDBusMessage::createSignal(FakeNotificationServer::objectPath(), FakeNotificationServer::serviceName(), u"ActionInvoked"_s);
            signal.setArguments({id, approvalnotification::allowOnceActionIdentifier()});
            QVERIFY(spoof.send(signal));
        }
        QDBusConnection::disconnectFromBus(spoofName);
        // The service itself, for an id that is not ours.
        f.server.invoke(id + 1000, approvalnotification::allowOnceActionIdentifier());
        settle(*f.coordinator, f.server);
        QCOMPARE(f.h.requestCount(u"respond"_s), 0);
        QCOMPARE(f.store->interactions()->pendingApprovals().size(), size_t(1));
        QVERIFY(!f.coordinator->lastError());

        // The same signal from the service for our id is taken.
        f.server.invoke(id, approvalnotification::allowOnceActionIdentifier());
        QTRY_COMPARE_WITH_TIMEOUT(f.h.requestCount(u"respond"_s), 1, 10000);
    }

    // The service goes away and another takes its place (a restarted daemon): what the old
    // one showed is gone, so every pending approval is posted to the new one, and the old one
    // can no longer press buttons, even with an id the new one also uses.
    void replacedServiceGetsEveryApprovalAnew()
    {
        Rig f;
        f.h.world.setAnnounceResolutions(false);
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.startAndPost(1);

        f.server.unregister();
        QTRY_COMPARE_WITH_TIMEOUT(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Unavailable,
                                  10000);
        QVERIFY(f.coordinator->scheduledRoutes().isEmpty());

        FakeNotificationServer second;
        QVERIFY(second.registerOnBus());
        QTRY_COMPARE_WITH_TIMEOUT(second.posted.size(), 1, 10000);
        QCOMPARE(f.coordinator->authorizationStatus(), NotificationAuthorizationStatus::Authorized);
        QCOMPARE(second.posted.at(0).id, f.server.posted.at(0).id); // both count from the same start
        QTRY_COMPARE(f.coordinator->scheduledRoutes().size(), 1);

        f.server.invoke(f.server.posted.at(0).id, approvalnotification::rejectActionIdentifier());
        settle(*f.coordinator, second);
        QCOMPARE(f.h.requestCount(u"respond"_s), 0);
        QVERIFY(second.closedIds.isEmpty());

        second.invoke(second.posted.at(0).id, approvalnotification::allowOnceActionIdentifier());
        QTRY_COMPARE_WITH_TIMEOUT(f.outcomes(), QStringList{u"rpc-1=allowed-once"_s}, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(second.closedIds, QList<uint>{second.posted.at(0).id}, 10000);
        QVERIFY(f.server.closedIds.isEmpty());
    }

    // A button pressed for an approval the host resolved meanwhile sends nothing and says so.
    void staleActionReportsAndSendsNothing()
    {
        Rig f;
        f.server.confirmClose = false; // the service is slow to take the notification away
        const PendingApproval approval = f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.startAndPost(1);

        f.h.world.pushApprovalResolved(approval.sessionId, approval.approvalId);
        QTRY_VERIFY_WITH_TIMEOUT(f.store->interactions()->pendingApprovals().empty(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.closedIds, QList<uint>{f.server.posted.at(0).id}, 10000);

        QSignalSpy errors(f.coordinator.get(), &ApprovalNotificationCoordinator::lastErrorChanged);
        f.server.invoke(f.server.posted.at(0).id, approvalnotification::allowOnceActionIdentifier());
        QTRY_COMPARE_WITH_TIMEOUT(f.coordinator->lastError(), std::optional<QString>(u"这项审批已处理或已失效"_s), 10000);
        settle(*f.coordinator, f.server);
        QCOMPARE(f.h.requestCount(u"respond"_s), 0);
        QCOMPARE(errors.size(), 1);
    }

    // Clicking the notification selects its session when listed and always opens the window;
    // dismissing it changes nothing and does not bring it back.
    void clickOpensDismissKeeps()
    {
        Rig f;
        int opened = 0;
        f.coordinator->installMainWindowOpener([&opened] { ++opened; });
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.raise(u"rpc-2"_s, u"gone"_s, u"edit"_s);
        f.startAndPost(2);
        f.store->selection()->selectSession(u"s2"_s);
        QTRY_COMPARE(f.store->selection()->selectedSessionId(), std::optional<QString>(u"s2"_s));

        f.server.invoke(f.server.posted.at(1).id, u"default"_s);
        QTRY_COMPARE_WITH_TIMEOUT(opened, 1, 10000);
        QCOMPARE(f.store->selection()->selectedSessionId(), std::optional<QString>(u"s2"_s));
        f.server.invoke(f.server.posted.at(0).id, u"default"_s);
        QTRY_COMPARE_WITH_TIMEOUT(opened, 2, 10000);
        QCOMPARE(f.store->selection()->selectedSessionId(), std::optional<QString>(u"s1"_s));

        f.server.closed(f.server.posted.at(0).id, 2);
        settle(*f.coordinator, f.server);
        QCOMPARE(f.server.posted.size(), 2);
        QCOMPARE(f.coordinator->scheduledRoutes().size(), 2);
        QCOMPARE(f.store->interactions()->pendingApprovals().size(), size_t(2));
        QCOMPARE(f.h.requestCount(u"respond"_s), 0);
        QVERIFY(f.server.closedIds.isEmpty());
    }

    // A synchronisation that runs while a post is still unanswered must not post the same
    // approval again; an approval answered during its post is withdrawn when the post lands.
    void postInFlightIsNotRepeated()
    {
        Rig f;
        f.h.world.setAnnounceResolutions(false);
        f.server.holdReplies = true;
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.heldCount(), 1, 10000);

        settle(*f.coordinator, f.server); // a second synchronisation while the first post waits
        f.raise(u"rpc-2"_s, u"s1"_s, u"edit"_s); // and a third with a changed list
        QTRY_COMPARE_WITH_TIMEOUT(f.server.heldCount(), 2, 10000);
        settle(*f.coordinator, f.server);
        QCOMPARE(f.server.posted.size(), 2);

        // rpc-2 is answered from elsewhere while its post is still under way.
        f.coordinator->answer(ApprovalNotificationRoute(f.store->interactions()->pendingApprovals().at(1)), true);
        QTRY_COMPARE_WITH_TIMEOUT(f.store->interactions()->pendingApprovals().size(), size_t(1), 10000);
        f.server.releaseHeld();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.closedIds, QList<uint>{f.server.posted.at(1).id}, 10000);
        QTRY_COMPARE(f.coordinator->scheduledRoutes(),
                     QSet<ApprovalNotificationRoute> {
                         ApprovalNotificationRoute(f.store->interactions()->pendingApprovals().at(0))});
        f.server.holdReplies = false;
        settle(*f.coordinator, f.server);
        QCOMPARE(f.server.posted.size(), 2);
    }

    // A failed post is reported and tried again by the next synchronisation; the error stays
    // until an answer is handed over.
    void failedPostIsRetried()
    {
        Rig f;
        f.h.world.setAnnounceResolutions(false);
        f.server.failWith = u"too many notifications"_s;
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.coordinator->lastError(),
                                  std::optional<QString>(u"无法发送审批通知：too many notifications"_s), 10000);
        QVERIFY(f.coordinator->scheduledRoutes().isEmpty());

        f.server.failWith.clear();
        settle(*f.coordinator, f.server);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.posted.size(), 1, 10000);
        QTRY_COMPARE(f.coordinator->scheduledRoutes().size(), 1);
        QCOMPARE(f.coordinator->lastError(), std::optional<QString>(u"无法发送审批通知：too many notifications"_s));

        f.server.invoke(f.server.posted.at(0).id, approvalnotification::allowOnceActionIdentifier());
        QTRY_COMPARE_WITH_TIMEOUT(f.outcomes(), QStringList{u"rpc-1=allowed-once"_s}, 10000);
        QVERIFY(!f.coordinator->lastError());
    }

    // Gone before its calls come back: nothing is touched afterwards.
    void coordinatorGoneWhilePosting()
    {
        Rig f;
        f.server.holdReplies = true;
        f.raise(u"rpc-1"_s, u"s1"_s, u"shell"_s);
        f.coordinator->start();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.heldCount(), 1, 10000);
        f.coordinator.reset();
        f.server.releaseHeld();
        f.server.invoke(f.server.posted.at(0).id, approvalnotification::allowOnceActionIdentifier());
        // A round trip on the centre's connection: the reply and the signal have arrived.
        QTRY_VERIFY_WITH_TIMEOUT(QCoro::waitFor(f.center->readServer()).present, 10000);
        QCOMPARE(f.h.requestCount(u"respond"_s), 0);
        QVERIFY(f.server.closedIds.isEmpty());
    }
};

QTEST_GUILESS_MAIN(ApprovalNotificationsTest)
#include "tst_approvalnotifications.moc"
