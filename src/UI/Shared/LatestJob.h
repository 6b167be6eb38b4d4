#pragma once

#include "Base/WorkPool.h"

#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>

#include <functional>
#include <memory>
#include <optional>

namespace nbd {

// Pure work on the thread pool of which only the newest result is wanted (the parse of a text
// that keeps changing). At most one run is under way at a time: a run asked for meanwhile waits,
// replacing any run that waited before it, so a text changing fast costs one run at a time, not
// one per change. A result is handed to its apply function on the owner's thread, and only if
// no newer run was asked for and nothing was cancelled since; none once the job is destroyed.
// The work must own what it reads (value copies).
template<typename Result>
class LatestJob
{
public:
    using Work = std::function<Result()>;
    using Apply = std::function<void(Result)>;

    // Results are applied while `owner` lives, on its thread.
    explicit LatestJob(QObject *owner) : m_watcher(std::make_unique<QFutureWatcher<Result>>())
    {
        QObject::connect(m_watcher.get(), &QFutureWatcherBase::finished, owner, [this] { finished(); });
    }
    LatestJob(const LatestJob &) = delete;
    LatestJob &operator=(const LatestJob &) = delete;
    // The run under way goes on on the pool with its copies; its result goes nowhere.
    ~LatestJob() = default;

    void start(Work work, Apply apply)
    {
        m_waiting = Run{std::move(work), std::move(apply), ++m_generation};
        if (!m_running)
            launch();
    }

    // Drops the waiting run and the result of the one under way.
    void cancel()
    {
        ++m_generation;
        m_waiting.reset();
    }

    // A run is under way (its result may already be unwanted) or waiting.
    bool isBusy() const { return m_running || m_waiting; }

private:
    struct Run
    {
        Work work;
        Apply apply;
        quint64 generation = 0;
    };

    void launch()
    {
        Run run = std::move(*m_waiting);
        m_waiting.reset();
        m_running = true;
        m_runningGeneration = run.generation;
        m_apply = std::move(run.apply);
        m_watcher->setFuture(QtConcurrent::run(workPool(), std::move(run.work)));
    }

    void finished()
    {
        m_running = false;
        Apply apply = std::exchange(m_apply, nullptr);
        const QFuture<Result> done = m_watcher->future();
        const bool current = m_runningGeneration == m_generation;
        // The next run starts before this result is applied: apply may ask for another one.
        if (m_waiting)
            launch();
        if (current && apply)
            apply(done.result());
    }

    std::unique_ptr<QFutureWatcher<Result>> m_watcher;
    std::optional<Run> m_waiting;
    Apply m_apply;
    quint64 m_generation = 0;
    quint64 m_runningGeneration = 0;
    bool m_running = false;
};

} // namespace nbd
