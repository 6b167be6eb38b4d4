#pragma once

// moc cannot parse the standard coroutine header.
#ifndef Q_MOC_RUN

#include <coroutine>
#include <optional>
#include <utility>

namespace nbd {

// A value that arrives once and is awaited by at most one coroutine, on the main thread.
// The first resolve() wins and every later one does nothing, so several sources (a
// process's output, its exit, a time-out) can race to end one wait. resolve() resumes the
// waiting coroutine before it returns: a caller that goes on afterwards must re-check
// whatever that coroutine may have changed.
template<class T>
class OneShot
{
public:
    OneShot() = default;
    OneShot(const OneShot &) = delete;
    OneShot &operator=(const OneShot &) = delete;

    bool isSettled() const { return m_value.has_value(); }

    // Settles the value and resumes the waiting coroutine. True when this call settled it.
    bool resolve(T value)
    {
        const bool settled = settle(std::move(value));
        resumeWaiter();
        return settled;
    }

    // Settles the value without resuming anyone yet (for callers that must not run the
    // waiter inside their own stack); resumeWaiter() does that later.
    bool settle(T value)
    {
        if (m_value)
            return false;
        m_value.emplace(std::move(value));
        return true;
    }

    void resumeWaiter()
    {
        if (!m_value)
            return;
        if (std::coroutine_handle<> waiter = std::exchange(m_waiter, {}))
            waiter.resume();
    }

    auto operator co_await() noexcept
    {
        struct Awaiter
        {
            OneShot &shot;
            bool await_ready() const noexcept { return shot.m_value.has_value(); }
            void await_suspend(std::coroutine_handle<> waiter) noexcept { shot.m_waiter = waiter; }
            T await_resume() { return *shot.m_value; }
        };
        return Awaiter{*this};
    }

private:
    std::optional<T> m_value;
    std::coroutine_handle<> m_waiter;
};

} // namespace nbd

#endif // Q_MOC_RUN
