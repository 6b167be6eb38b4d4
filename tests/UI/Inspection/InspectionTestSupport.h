#pragma once

#include "AppModelTestSupport.h"
#include "SimSessions.h"

#include <QAbstractButton>
#include <QWidget>

// Runs written into the simulated host's session logs, as the host records them.
namespace nbd::test {

// One finished turn: a user message, then step 1 with a text and one tool call, the tool's
// result, and the end of the turn. `error` makes the result a failure.
inline void appendTurn(sim::SimWorld &world, const QString &sessionId, qint64 turn, const QString &text,
                       const QString &tool, const QString &result, bool error = false)
{
    const QString callId = QStringLiteral("call-%1").arg(turn);
    world.appendEvent(sessionId, sim::events::userMessage(QStringLiteral("u-%1").arg(turn),
                                                          QStringLiteral("ask %1").arg(turn)));
    world.appendEvent(sessionId, sim::events::turnStart(turn));
    world.appendEvent(sessionId, sim::events::stepStart(turn, 1));
    world.appendEvent(sessionId, sim::events::assistantMessage(turn, 1, text, {{callId, tool}}));
    world.appendEvent(sessionId, sim::events::toolResult(turn, 1, callId, result, error));
    world.appendEvent(sessionId, sim::events::turnEnd(turn));
}

// Connects the harness's store and waits until the session's history is folded.
inline std::shared_ptr<SessionModel> openSession(StoreHarness &h, const QString &sessionId)
{
    AppModel *store = h.store ? h.store.get() : h.connected();
    if (store->selection()->selectedSessionId() != sessionId)
        store->selection()->selectSession(sessionId);
    std::shared_ptr<SessionModel> model = store->selection()->sessionModel(sessionId);
    if (!model)
        return nullptr;
    const bool loaded = QTest::qWaitFor([&] { return model->historyLoaded() && !model->isLoadingHistory(); }, 20000);
    return loaded ? model : nullptr;
}

template<typename T = QWidget>
T *child(QWidget *root, const QString &name)
{
    return root->findChild<T *>(name);
}

} // namespace nbd::test
