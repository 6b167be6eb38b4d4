// The composer's permission switch against a store connected to the simulated host.
#include "AppModelTestSupport.h"
#include "UI/Composer/PermissionSwitch.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;
using nbd::sim::Reply;

namespace {

constexpr int kNever = 600'000; // a settle delay no test waits for

JSONValue permissionsValue(const QString &current)
{
    JSONValue::Elements options;
    for (const QString &value : {u"read-only"_s, u"workspace-write"_s, u"danger-full-access"_s})
        options.push_back(JSONValue::object({{u"value"_s, value}, {u"name"_s, value}}));
    return JSONValue::object({{u"options"_s, JSONValue::array(std::move(options))}, {u"current"_s, current}});
}

PermissionOption option(const QString &value) { return PermissionOption{value, value, std::nullopt}; }

Reply commandResult(const QString &kind)
{
    return Reply::value(JSONValue::object(
        {{u"commandId"_s, u"c1"_s}, {u"result"_s, JSONValue::object({{u"kind"_s, kind}, {u"text"_s, u"已处理"_s}})}}));
}

} // namespace

class tst_PermissionSwitch : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::StoreHarness> m_h;

    std::shared_ptr<SessionModel> openSession(const QString &id)
    {
        const std::shared_ptr<SessionModel> model = m_h->openSession(id);
        if (!model)
            return nullptr;
        m_h->world.pushProjection(id, u"permissions"_s, permissionsValue(u"read-only"_s));
        [&] { QTRY_VERIFY(model->permissions().has_value()); }();
        return model;
    }

    int commandCalls() const { return m_h->requestCount(u"commands/execute"_s); }

private Q_SLOTS:
    void init()
    {
        m_h = std::make_unique<test::StoreHarness>();
        m_h->world.addSession(test::session(u"s1"_s, 2000));
        m_h->world.addSession(test::session(u"s2"_s, 1000));
        m_h->world.setPermissionPresets(QStringList{u"read-only"_s, u"workspace-write"_s, u"danger-full-access"_s});
        m_h->connectedAndStreaming();
    }

    void cleanup() { m_h.reset(); }

    void markGoesWhenTheHostStateArrives()
    {
        const auto session = openSession(u"s1"_s);
        PermissionSwitch permissionSwitch(m_h->store->sessionActions());
        permissionSwitch.setSettleDelayMs(kNever);
        permissionSwitch.setSession(session);

        permissionSwitch.choose(option(u"workspace-write"_s), u"read-only"_s);
        QCOMPARE(permissionSwitch.pendingValue(), std::optional<QString>(u"workspace-write"_s));
        // A second choice while the first is under way does nothing.
        permissionSwitch.choose(option(u"read-only"_s), u"read-only"_s);
        permissionSwitch.choose(option(u"danger-full-access"_s), u"read-only"_s);
        QVERIFY(!permissionSwitch.fullAccessCandidate());
        QTRY_COMPARE(m_h->world.permissionPreset(u"s1"_s), std::optional<QString>(u"workspace-write"_s));
        QCOMPARE(commandCalls(), 1);
        QCOMPARE(permissionSwitch.pendingValue(), std::optional<QString>(u"workspace-write"_s));

        m_h->world.pushProjection(u"s1"_s, u"permissions"_s, permissionsValue(u"workspace-write"_s));
        QTRY_VERIFY(!permissionSwitch.pendingValue());
        const JSONValue *args = m_h->host.requests(u"commands/execute"_s).last().payload.find(u"args");
        QVERIFY(args);
        QCOMPARE(args->find(u"line")->string(), std::optional<QString>(u"/permission workspace-write"_s));
        QCOMPARE(args->find(u"agentId")->string(), std::optional<QString>(u"s1"_s));
    }

    void markGoesAfterTheSettleDelayWithoutAnUpdate()
    {
        const auto session = openSession(u"s1"_s);
        PermissionSwitch permissionSwitch(m_h->store->sessionActions());
        permissionSwitch.setSettleDelayMs(300);
        permissionSwitch.setSession(session);
        permissionSwitch.choose(option(u"workspace-write"_s), u"read-only"_s);
        QTRY_COMPARE(m_h->world.permissionPreset(u"s1"_s), std::optional<QString>(u"workspace-write"_s));
        QTRY_VERIFY(!permissionSwitch.pendingValue());
        QCOMPARE(session->permissions()->currentValue, u"read-only"_s);
    }

    void refusalClearsTheMarkAtOnce()
    {
        const auto session = openSession(u"s1"_s);
        m_h->world.setPermissionPresets(QStringList{u"read-only"_s});
        PermissionSwitch permissionSwitch(m_h->store->sessionActions());
        permissionSwitch.setSettleDelayMs(kNever);
        permissionSwitch.setSession(session);
        permissionSwitch.choose(option(u"workspace-write"_s), u"read-only"_s);
        QVERIFY(permissionSwitch.pendingValue());
        QTRY_VERIFY(!permissionSwitch.pendingValue());
        QVERIFY(m_h->store->errors()->transientError().has_value());
        QVERIFY(m_h->store->errors()->transientError()->startsWith(u"权限切换失败："_s));
    }

    void fullAccessWaitsForTheTickedConfirmation()
    {
        const auto session = openSession(u"s1"_s);
        PermissionSwitch permissionSwitch(m_h->store->sessionActions());
        permissionSwitch.setSettleDelayMs(kNever);
        permissionSwitch.setSession(session);

        // Cancel: nothing is sent and the box starts unticked next time.
        permissionSwitch.choose(option(u"danger-full-access"_s), u"read-only"_s);
        QCOMPARE(permissionSwitch.fullAccessCandidate(), std::optional<PermissionOption>(option(u"danger-full-access"_s)));
        QVERIFY(!permissionSwitch.pendingValue());
        permissionSwitch.setFullAccessAcknowledged(true);
        permissionSwitch.cancelFullAccess();
        permissionSwitch.confirmationDismissed();
        QVERIFY(!permissionSwitch.fullAccessCandidate());
        QVERIFY(!permissionSwitch.fullAccessAcknowledged());

        // Confirming without the tick does nothing.
        permissionSwitch.choose(option(u"danger-full-access"_s), u"read-only"_s);
        QVERIFY(!permissionSwitch.fullAccessAcknowledged());
        permissionSwitch.confirmFullAccess();
        QVERIFY(permissionSwitch.fullAccessCandidate());
        QVERIFY(!permissionSwitch.pendingValue());
        QCOMPARE(test::countOf(m_h->methodsThroughBarrier(), u"commands/execute"_s), 0);

        permissionSwitch.setFullAccessAcknowledged(true);
        permissionSwitch.confirmFullAccess();
        QVERIFY(!permissionSwitch.fullAccessCandidate());
        QCOMPARE(permissionSwitch.pendingValue(), std::optional<QString>(u"danger-full-access"_s));
        QTRY_COMPARE(m_h->world.permissionPreset(u"s1"_s), std::optional<QString>(u"danger-full-access"_s));
        QCOMPARE(commandCalls(), 1);
    }

    void aSessionChangeDropsTheSwitchAndALateResultStaysWithItsSession()
    {
        const auto first = openSession(u"s1"_s);
        const auto second = openSession(u"s2"_s);
        // The first call is refused late; the second is accepted later still.
        m_h->host.setReplies(u"commands/execute"_s,
                             {commandResult(u"error"_s).delayed(300), commandResult(u"success"_s).delayed(1500)});
        PermissionSwitch permissionSwitch(m_h->store->sessionActions());
        permissionSwitch.setSettleDelayMs(kNever);
        permissionSwitch.setSession(first);
        permissionSwitch.choose(option(u"workspace-write"_s), u"read-only"_s);
        QVERIFY(permissionSwitch.pendingValue());
        // The host hands out its replies in the order the calls reach it; two calls may come
        // on two connections, so the second is made only once the first has arrived.
        QTRY_COMPARE(commandCalls(), 1);

        permissionSwitch.setSession(second);
        QVERIFY(!permissionSwitch.pendingValue());
        permissionSwitch.choose(option(u"danger-full-access"_s), u"read-only"_s);
        QVERIFY(permissionSwitch.fullAccessCandidate());
        permissionSwitch.setSession(first);
        QVERIFY(!permissionSwitch.fullAccessCandidate());
        QVERIFY(!permissionSwitch.fullAccessAcknowledged());
        permissionSwitch.setSession(second);

        // The same preset, now for the second session.
        permissionSwitch.choose(option(u"workspace-write"_s), u"read-only"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_h->store->errors()->transientError().has_value(), 10000);
        // The first session's refusal came back: the second session's switch is still pending.
        QCOMPARE(permissionSwitch.pendingValue(), std::optional<QString>(u"workspace-write"_s));
        const auto calls = m_h->host.requests(u"commands/execute"_s);
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[0].payload.find(u"args")->find(u"agentId")->string(), std::optional<QString>(u"s1"_s));
        QCOMPARE(calls[1].payload.find(u"args")->find(u"agentId")->string(), std::optional<QString>(u"s2"_s));
        // The second session's state shows the preset: its mark goes.
        m_h->world.pushProjection(u"s2"_s, u"permissions"_s, permissionsValue(u"workspace-write"_s));
        QTRY_VERIFY(!permissionSwitch.pendingValue());
    }

    void aSwitchGoneBeforeTheReplyIsLeftAlone()
    {
        const auto session = openSession(u"s1"_s);
        m_h->host.setReply(u"commands/execute"_s, commandResult(u"error"_s).delayed(200));
        auto permissionSwitch = std::make_unique<PermissionSwitch>(m_h->store->sessionActions());
        permissionSwitch->setSession(session);
        permissionSwitch->choose(option(u"workspace-write"_s), u"read-only"_s);
        permissionSwitch.reset();
        // The store still reports the refusal; nothing touches the destroyed switch.
        QTRY_VERIFY_WITH_TIMEOUT(m_h->store->errors()->transientError().has_value(), 10000);
        // Whatever the reply set off has run by the time a later call comes back.
        QCOMPARE(test::countOf(m_h->methodsThroughBarrier(), u"commands/execute"_s), 1);
    }
};

QTEST_GUILESS_MAIN(tst_PermissionSwitch)
#include "tst_permissionswitch.moc"
