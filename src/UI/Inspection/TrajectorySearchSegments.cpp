#include "UI/Inspection/TrajectorySearchSegments.h"

#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace nbd {

namespace {

// Keys are made on a pool of their own at low priority: the global pool folds history pages,
// which the user waits for.
class KeyPool : public QThreadPool
{
public:
    KeyPool()
    {
        setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 1, 1, 2));
        setThreadPriority(QThread::LowPriority);
    }
};

Q_GLOBAL_STATIC(KeyPool, keyPool)

// The keys of events [first, end) of a store.
std::shared_ptr<const TrajectorySearchKeys> makeSegment(const TrajectoryEventStore &events, qsizetype first,
                                                        qsizetype end)
{
    // The fields are gathered once to size the keys; room that stays unused is never touched.
    struct Fields
    {
        const QString *role, *title; // in the store's table
        QString summary;
        const QString *payload, *result;
    };
    std::vector<Fields> fields;
    fields.reserve(size_t(end - first));
    size_t units = 0;
    for (qsizetype i = first; i < end; ++i) {
        events.visitSearchFields(i, [&](const QString &role, const QString &title, const QString &summary,
                                        const QString *payload, const QString *result) {
            fields.push_back({&role, &title, summary, payload, result});
            units += size_t(role.size() + title.size() + summary.size()) + size_t(payload ? payload->size() : 0)
                + size_t(result ? result->size() : 0);
        });
    }
    auto segment = std::make_shared<TrajectorySearchKeys>();
    segment->reserve(units);
    for (const Fields &f : fields)
        segment->add(*f.role, *f.title, f.summary, f.payload, f.result);
    return segment;
}

} // namespace

// What the pool's threads and the owner share. The store is never changed once it is here, and
// what it reads of it may be read from any thread.
struct TrajectorySearchSegments::Build
{
    enum class State : quint8 { Waiting, Making, Made };

    explicit Build(std::shared_ptr<const TrajectoryEventStore> store)
        : events(std::move(store))
        , segments(size_t((events->size() + kSegment - 1) / kSegment))
        , states(segments.size(), State::Waiting)
        , waiting(qsizetype(segments.size()))
    {
    }

    // Takes over the made segments of `previous` that hold only events leading both
    // unchanged. Runs once, before any segment is made.
    void adopt()
    {
        std::shared_ptr<Build> from;
        {
            std::lock_guard lock(mutex);
            from = previous;
        }
        qsizetype kept = 0; // events leading both unchanged, checked so far
        for (size_t k = 0; from && k < segments.size(); ++k) {
            const qsizetype end = qsizetype(k + 1) * kSegment;
            if (end > events->size() || end > from->events->size())
                break;
            std::shared_ptr<const TrajectorySearchKeys> made;
            {
                std::lock_guard lock(from->mutex);
                if (from->states[k] == State::Made)
                    made = from->segments[k];
            }
            if (!made)
                break;
            while (kept < end && events->same(kept, *from->events, kept))
                ++kept;
            if (kept < end)
                break;
            std::lock_guard lock(mutex);
            segments[k] = std::move(made);
            states[k] = State::Made;
            --waiting;
            leading = k + 1;
        }
        std::lock_guard lock(mutex);
        previous.reset();
        adopted = true;
    }

    void adoptOnce()
    {
        std::call_once(adoption, [this] { adopt(); });
    }

    // Makes one segment that nobody makes yet; false when none is left.
    bool makeOne()
    {
        size_t k = 0;
        {
            std::lock_guard lock(mutex);
            while (next < states.size() && states[next] != State::Waiting)
                ++next;
            if (next == states.size())
                return false;
            k = next++;
            states[k] = State::Making;
        }
        const qsizetype first = qsizetype(k) * kSegment;
        auto segment = makeSegment(*events, first, std::min(events->size(), first + kSegment));
        std::lock_guard lock(mutex);
        segments[k] = std::move(segment);
        states[k] = State::Made;
        if (--waiting == 0)
            done.notify_all();
        return true;
    }

    // Makes what nobody makes yet and waits for what others make.
    void finish()
    {
        adoptOnce();
        while (makeOne()) {
        }
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return waiting == 0; });
    }

    const std::shared_ptr<const TrajectoryEventStore> events;
    std::once_flag adoption;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> started{false};

    mutable std::mutex mutex; // guards what follows
    std::condition_variable done;
    std::shared_ptr<Build> previous; // until adopted from
    bool adopted = false;
    size_t leading = 0; // the segments adopted: the first ones
    std::vector<std::shared_ptr<const TrajectorySearchKeys>> segments; // segment k: events k * kSegment on
    std::vector<State> states;
    size_t next = 0; // no segment before it is waiting
    qsizetype waiting;
};

TrajectorySearchSegments::TrajectorySearchSegments(std::shared_ptr<const TrajectoryEventStore> events,
                                                   const TrajectorySearchSegments *previous)
    : m_build(std::make_shared<Build>(std::move(events)))
{
    if (!previous || !previous->m_build)
        return;
    // One that has not adopted yet has made nothing: what it would adopt from is taken instead,
    // which has adopted (or is none). So no chain of replaced keys is ever kept alive.
    const std::shared_ptr<Build> &p = previous->m_build;
    {
        std::lock_guard lock(p->mutex);
        m_build->previous = p->adopted ? p : p->previous;
    }
    // What the last search found in the segments taken over holds for them here too: a run
    // that streams while a search is shown looks again only in what changed.
    if (previous->m_matched && !previous->m_query.isEmpty()) {
        m_inheritedQuery = previous->m_query;
        m_inheritedHits = previous->m_hits;
    }
}

TrajectorySearchSegments &TrajectorySearchSegments::operator=(TrajectorySearchSegments &&other) noexcept
{
    if (this != &other) {
        cancel();
        m_build = std::move(other.m_build);
        m_matched = other.m_matched;
        m_query = std::move(other.m_query);
        m_hits = std::move(other.m_hits);
        m_inheritedQuery = std::move(other.m_inheritedQuery);
        m_inheritedHits = std::move(other.m_inheritedHits);
    }
    return *this;
}

TrajectorySearchSegments::~TrajectorySearchSegments()
{
    cancel();
}

void TrajectorySearchSegments::cancel()
{
    if (m_build)
        m_build->cancelled = true;
}

void TrajectorySearchSegments::prepare()
{
    if (!m_build || m_build->started.exchange(true))
        return;
    // Segments are made one at a time, so that a pool thread stops soon once the keys are no
    // longer wanted (the run changed again, the view closed).
    const int threads = int(std::min<size_t>(m_build->segments.size(), size_t(keyPool()->maxThreadCount())));
    for (int i = 0; i < std::max(threads, 1); ++i) {
        keyPool()->start([build = m_build] {
            if (build->cancelled)
                return; // replaced before its turn came: not even the adoption is wanted
            build->adoptOnce();
            while (!build->cancelled && build->makeOne()) {
            }
        });
    }
}

bool TrajectorySearchSegments::isPrepared() const
{
    if (!m_build)
        return true;
    std::lock_guard lock(m_build->mutex);
    return m_build->adopted && m_build->waiting == 0;
}

const std::vector<bool> &TrajectorySearchSegments::matching(const QString &query)
{
    if (m_matched && query == m_query)
        return m_hits;
    const qsizetype count = m_build ? m_build->events->size() : 0;
    m_hits.assign(size_t(count), query.isEmpty());
    if (m_build && !query.isEmpty()) {
        m_build->finish();
        // Made and no longer changed: read without the lock.
        size_t k = 0;
        if (!m_inheritedQuery.isEmpty() && query == m_inheritedQuery) {
            const size_t known = std::min(m_build->leading * size_t(kSegment), m_inheritedHits.size());
            std::copy(m_inheritedHits.begin(), m_inheritedHits.begin() + qsizetype(known), m_hits.begin());
            k = known / size_t(kSegment);
        }
        const TrajectorySearchNeedle needle(query);
        for (; k < m_build->segments.size(); ++k)
            m_build->segments[k]->mark(needle, m_hits, k * size_t(kSegment));
    }
    m_matched = true;
    m_query = query;
    m_inheritedQuery.clear();
    m_inheritedHits = {};
    return m_hits;
}

} // namespace nbd
