#pragma once

#include "AsyncTest.h"
#include "Base/WorkPool.h"
#include "SimHost.h"
#include "Wire/DecodePool.h"
#include "Wire/WireClient.h"
#include "Wire/WireSession.h"

#include <QAbstractAnimation>
#include <QCoreApplication>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <optional>

// Waits on observable events instead of fixed sleeps, for checks that something did NOT
// happen: a sleep only shows that nothing happened yet, and passes by luck when it is short.
namespace nbd::test {

inline const QString kBarrierMethod = QStringLiteral("test.barrier");

// The methods of every request `host` logged so far, after one more call has been answered
// through `client`. The host logs requests in arrival order, so what the client had sent
// before that call is listed ahead of the final "test.barrier", and the client has taken in
// the answers the host gave before it. A list ending in a barrier that nothing else follows
// means the barrier went through; a failed barrier call leaves it off.
inline QStringList methodsThroughBarrier(sim::SimHost &host, const WireClient &client)
{
    host.setReply(kBarrierMethod, sim::Reply::value(JSONValue()));
    try {
        test::waitFor(client.call(kBarrierMethod, JSONValue()));
    } catch (const Error &e) {
        qWarning("barrier call failed: %s", qPrintable(e.description()));
    } catch (const std::exception &e) {
        qWarning("barrier call failed: %s", e.what());
    }
    QStringList methods;
    for (const sim::LoggedRequest &request : host.requests())
        methods << request.method;
    return methods;
}

// The same through a client of its own, for when the code under test has none at hand (it
// disconnected, or was destroyed).
inline QStringList methodsThroughBarrier(sim::SimHost &host)
{
    WireSession session;
    return methodsThroughBarrier(host, WireClient(host.baseUrl(), &session));
}

// The requests to `method` the host finished while `written`, a spy on
// SimHost::requestFinished, listened. For a delayed answer: once it is listed, a barrier
// shows that it has reached the client.
inline QList<sim::LoggedRequest> answered(const QSignalSpy &written, const QString &method)
{
    QList<sim::LoggedRequest> requests;
    for (const QList<QVariant> &args : written) {
        sim::LoggedRequest request = args.at(0).value<sim::LoggedRequest>();
        if (request.method == method)
            requests << std::move(request);
    }
    return requests;
}

// How often `method` occurs in a list of methods.
inline int countOf(const QStringList &methods, const QString &method) { return int(methods.count(method)); }

// Lets a precise single-shot timer of `ms` started now fire while the event loop turns. Every
// precise timer of the same length that was started before it (a retry, a coalescing window,
// a delayed kill) has fired by then, so what it would have done has been done.
inline bool waitPastInterval(int ms)
{
    QTimer witness;
    witness.setSingleShot(true);
    witness.setTimerType(Qt::PreciseTimer);
    QSignalSpy fired(&witness, &QTimer::timeout);
    witness.start(ms);
    return fired.wait(ms + 30000);
}

// Lets the event loop deliver what is already queued (queued calls and signals, posted layout
// requests, zero-length timers) without waiting for anything new to arrive.
inline void drainEventLoop()
{
    for (int turn = 0; turn < 3; ++turn) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

// Whether `client` has a call on its way: sent or queued to be, and its answer not yet taken in.
inline bool callsInFlight(const WireClient &client)
{
    WireSession *session = client.session();
    if (!session)
        return false;
    const auto replies = session->manager()->findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
    return std::any_of(replies.begin(), replies.end(), [](const QNetworkReply *reply) { return reply->isRunning(); });
}

// Until nothing is on its way between the code under test and `host`: the host owes no delayed
// answer, `client` (the code's own, when it has one) waits for none, the answers have been
// taken in (decoded and folded on the thread pools, handed back) and, once what they queued is delivered,
// set off no further call. For the calls a view makes as it opens or acts, however many steps
// deep. A call the host never answers keeps it from falling quiet: false after `timeoutMs`.
inline bool waitUntilHostQuiet(const sim::SimHost &host, const std::optional<WireClient> &client,
                               int timeoutMs = 20000)
{
    auto quiet = [&] {
        return host.repliesDue() == 0 && !(client && callsInFlight(*client))
            && workPool()->activeThreadCount() == 0 && decodePool()->activeThreadCount() == 0;
    };
    for (int round = 0; round < 50; ++round) {
        if (!QTest::qWaitFor(quiet, timeoutMs))
            return false;
        const qsizetype before = host.requests().size();
        drainEventLoop();
        if (quiet() && host.requests().size() == before)
            return true;
    }
    return false;
}

// Whether every animation under `root` that has an end has reached it. One that loops for ever
// (a spinner) never settles and is left out.
inline bool motionSettled(const QObject *root)
{
    for (const QAbstractAnimation *animation : root->findChildren<QAbstractAnimation *>()) {
        if (animation->state() == QAbstractAnimation::Running && animation->loopCount() >= 0)
            return false;
    }
    return true;
}

// Until the animations under `root` have come to their end and what they posted is delivered.
inline bool waitUntilMotionSettles(const QObject *root, int timeoutMs = 20000)
{
    if (!QTest::qWaitFor([root] { return motionSettled(root); }, timeoutMs))
        return false;
    drainEventLoop();
    return motionSettled(root);
}

} // namespace nbd::test
