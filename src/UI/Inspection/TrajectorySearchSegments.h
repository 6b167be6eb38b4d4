#pragma once

#include "UI/Inspection/TrajectoryEventStore.h"
#include "UI/Inspection/TrajectorySearchKeys.h"

#include <QString>

#include <memory>
#include <vector>

namespace nbd {

// The search keys of one store's events, in segments of kSegment events. They are made ahead
// of the first search on a thread of their own once prepare() is called, so that the first
// search does not lower-case a whole run on the main thread; a search that comes before they
// are done makes the rest itself. Replacing segments made for an earlier store takes over those
// of its segments that hold only events that lead both unchanged, so that a run that streams
// while it is searched does not make its whole keys again at every change.
class TrajectorySearchSegments
{
public:
    static constexpr qsizetype kSegment = 256;

    TrajectorySearchSegments() = default;
    explicit TrajectorySearchSegments(std::shared_ptr<const TrajectoryEventStore> events,
                                      const TrajectorySearchSegments *previous = nullptr);
    TrajectorySearchSegments(TrajectorySearchSegments &&other) noexcept = default;
    TrajectorySearchSegments &operator=(TrajectorySearchSegments &&other) noexcept;
    TrajectorySearchSegments(const TrajectorySearchSegments &) = delete;
    TrajectorySearchSegments &operator=(const TrajectorySearchSegments &) = delete;
    // Work still queued for these segments is dropped.
    ~TrajectorySearchSegments();

    // Starts making the keys on the thread pool; once is enough.
    void prepare();
    // Whether every segment is made.
    bool isPrepared() const;
    // Per event, whether it holds the (settled) query; all true for an empty one. Makes what
    // is still missing first, on the calling thread.
    const std::vector<bool> &matching(const QString &query);

private:
    struct Build;

    void cancel();

    std::shared_ptr<Build> m_build;
    bool m_matched = false; // the last query matched, and its answer
    QString m_query;
    std::vector<bool> m_hits;
    // The last answer of the segments replaced, until the first search here.
    QString m_inheritedQuery;
    std::vector<bool> m_inheritedHits;
};

} // namespace nbd
