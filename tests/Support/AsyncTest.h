#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <exception>
#include <optional>
#include <stdexcept>

// Blocking waits for tests. QCoro's own waitFor() never returns when the task throws, so
// these capture the exception and rethrow it in the caller; a task that neither finishes
// nor throws within the limit fails the wait instead of hanging the test run.
namespace nbd::test {

struct WaitTimedOut : std::runtime_error
{
    WaitTimedOut() : std::runtime_error("task did not finish in time") {}
};

namespace detail {

struct WaitState
{
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
};

template<class T>
QCoro::Task<void> capture(QCoro::Task<T> task, WaitState *state, std::optional<T> *out)
{
    try {
        *out = co_await std::move(task);
    } catch (...) {
        state->error = std::current_exception();
    }
    state->done = true;
    state->loop.quit();
}

inline QCoro::Task<void> captureVoid(QCoro::Task<void> task, WaitState *state)
{
    try {
        co_await std::move(task);
    } catch (...) {
        state->error = std::current_exception();
    }
    state->done = true;
    state->loop.quit();
}

inline void run(WaitState &state, int timeoutMs)
{
    if (!state.done) {
        QTimer::singleShot(timeoutMs, &state.loop, &QEventLoop::quit);
        state.loop.exec();
    }
    if (!state.done)
        throw WaitTimedOut();
    if (state.error)
        std::rethrow_exception(state.error);
}

} // namespace detail

template<class T>
T waitFor(QCoro::Task<T> task, int timeoutMs = 30000)
{
    detail::WaitState state;
    std::optional<T> out;
    detail::capture(std::move(task), &state, &out);
    detail::run(state, timeoutMs);
    return std::move(*out);
}

inline void waitFor(QCoro::Task<void> task, int timeoutMs = 30000)
{
    detail::WaitState state;
    detail::captureVoid(std::move(task), &state);
    detail::run(state, timeoutMs);
}

} // namespace nbd::test
