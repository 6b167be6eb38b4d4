// What an approval's notification says and what one synchronisation posts and withdraws,
// decided from the store's list alone.

#include "Store/ApprovalNotifications.h"

#include <QtTest>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

PendingApproval approval(const QString &rpcId, const QString &sessionId = u"s1"_s,
                         std::optional<QString> reason = std::nullopt)
{
    PendingApproval a;
    a.id = rpcId;
    a.rpcId = rpcId;
    a.sessionId = sessionId;
    a.approvalId = u"a-"_s + rpcId;
    a.toolName = u"shell"_s;
    a.reason = std::move(reason);
    return a;
}

QStringList rpcIds(const std::vector<PendingApproval> &list)
{
    QStringList ids;
    for (const PendingApproval &a : list)
        ids << a.rpcId;
    return ids;
}

QStringList rpcIds(const std::vector<ApprovalNotificationRoute> &list)
{
    QStringList ids;
    for (const ApprovalNotificationRoute &r : list)
        ids << r.rpcId;
    return ids;
}

QSet<ApprovalNotificationRoute> routes(std::initializer_list<PendingApproval> list)
{
    QSet<ApprovalNotificationRoute> set;
    for (const PendingApproval &a : list)
        set.insert(ApprovalNotificationRoute(a));
    return set;
}

} // namespace

class ApprovalNotificationPlanTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void content_data()
    {
        QTest::addColumn<bool>("hasReason");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("sessionId");
        QTest::addColumn<QString>("subtitle");
        QTest::addColumn<QString>("body");
        const QString waiting = u"Agent 正在等待你的决定"_s;
        QTest::newRow("reason trimmed") << true << u"\n  运行 rm -rf build \r\n"_s << u"s1"_s << u"\u2068First\u2069"_s
                                        << u"运行 rm -rf build"_s;
        QTest::newRow("no reason") << false << QString() << u"s1"_s << u"\u2068First\u2069"_s << waiting;
        QTest::newRow("blanks and breaks only") << true << u" \t\n\r\u3000\u2028"_s << u"s1"_s << u"\u2068First\u2069"_s << waiting;
        QTest::newRow("empty reason") << true << QString() << u"s1"_s << u"\u2068First\u2069"_s << waiting;
        QTest::newRow("inner breaks kept") << true << u" a\nb "_s << u"s1"_s << u"\u2068First\u2069"_s << u"a\nb"_s;
        QTest::newRow("untitled session") << true << u"why"_s << u"nobody"_s << u"Nimbrel Deck"_s << u"why"_s;
    }
    void content()
    {
        QFETCH(bool, hasReason);
        QFETCH(QString, reason);
        QFETCH(QString, sessionId);
        const auto titles = [](const QString &id) -> std::optional<QString> {
            return id == u"s1" ? std::optional<QString>(u"First"_s) : std::nullopt;
        };
        const PendingApproval a = approval(u"r1"_s, sessionId, hasReason ? std::optional<QString>(reason) : std::nullopt);
        const ApprovalNotificationContent c = approvalNotificationContent(a, titles);
        QCOMPARE(c.title, u"需要批准：\u2068shell\u2069"_s);
        QTEST(c.subtitle, "subtitle");
        QTEST(c.body, "body");
        QCOMPARE(c.threadIdentifier, sessionId);
        QVERIFY(c.route == ApprovalNotificationRoute(a));
    }

    void plan()
    {
        const PendingApproval a = approval(u"a"_s), b = approval(u"b"_s), c = approval(u"c"_s),
                              d = approval(u"d"_s, u"s2"_s);

        // Posted a and b; the list now holds b, c and d while c's post is under way.
        ApprovalNotificationSyncPlan p = planApprovalNotificationSync(routes({a, b}), routes({c}), {b, c, d}, true);
        QCOMPARE(rpcIds(p.withdraw), QStringList{u"a"_s});
        QCOMPARE(rpcIds(p.post), QStringList{u"d"_s});

        // Not deliverable: everything posted goes, nothing new is posted.
        p = planApprovalNotificationSync(routes({a, b}), {}, {a, b, c}, false);
        QCOMPARE(rpcIds(p.withdraw), (QStringList{u"a"_s, u"b"_s}));
        QVERIFY(p.post.empty());

        // One approval listed twice is posted once, in list order with the others.
        p = planApprovalNotificationSync({}, {}, {c, a, c, b}, true);
        QVERIFY(p.withdraw.empty());
        QCOMPARE(rpcIds(p.post), (QStringList{u"c"_s, u"a"_s, u"b"_s}));

        // Same rpc id, another approval id: a different approval, so the old one goes.
        PendingApproval a2 = a;
        a2.approvalId = u"other"_s;
        p = planApprovalNotificationSync(routes({a}), {}, {a2}, true);
        QCOMPARE(rpcIds(p.withdraw), QStringList{u"a"_s});
        QCOMPARE(rpcIds(p.post), QStringList{u"a"_s});
    }

    void keepAfterPost()
    {
        const PendingApproval a = approval(u"a"_s), b = approval(u"b"_s);
        QVERIFY(keepPostedApprovalNotification(ApprovalNotificationRoute(a), {b, a}, true));
        QVERIFY(!keepPostedApprovalNotification(ApprovalNotificationRoute(a), {b}, true));
        QVERIFY(!keepPostedApprovalNotification(ApprovalNotificationRoute(a), {a}, false));
    }

    void responses_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("response");
        QTest::newRow("approve") << u"dev.nimbrel.Deck.approval.allow-once"_s
                                 << int(ApprovalNotificationResponse::ApproveOnce);
        QTest::newRow("reject") << u"dev.nimbrel.Deck.approval.reject"_s << int(ApprovalNotificationResponse::Reject);
        QTest::newRow("click") << u"default"_s << int(ApprovalNotificationResponse::Open);
        QTest::newRow("empty") << QString() << int(ApprovalNotificationResponse::None);
        QTest::newRow("label, not key") << u"批准一次"_s << int(ApprovalNotificationResponse::None);
        QTest::newRow("prefix only") << u"dev.nimbrel.Deck.approval."_s << int(ApprovalNotificationResponse::None);
    }
    void responses()
    {
        QFETCH(QString, key);
        QTEST(int(approvalNotificationResponse(key)), "response");
    }
};

QTEST_GUILESS_MAIN(ApprovalNotificationPlanTest)
#include "tst_approvalnotificationplan.moc"
