#pragma once

#include <QObject>

#include <memory>

namespace nbd {

class CancelState : public QObject
{
    Q_OBJECT
public:
    bool cancelled = false;
Q_SIGNALS:
    void cancelRequested();
};

// An explicit cancellation handle shared between the owner of a flow and the operations
// it starts. Copies share one state; a default token can be cancelled like any other.
class CancelToken
{
public:
    CancelToken() : m_state(std::make_shared<CancelState>()) {}

    void cancel() const
    {
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
        Q_EMIT m_state->cancelRequested();
    }
    bool isCancelled() const { return m_state->cancelled; }
    // The object that emits cancelRequested(), for connecting a reaction.
    CancelState *notifier() const { return m_state.get(); }

private:
    std::shared_ptr<CancelState> m_state;
};

} // namespace nbd
