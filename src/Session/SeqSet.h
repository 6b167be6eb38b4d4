#pragma once

#include <QtGlobal>

#include <map>
#include <optional>

namespace nbd {

// A set of signed 64-bit sequence numbers kept as disjoint, non-adjacent runs.
// A session's event numbers are nearly contiguous, so the set of numbers already folded
// stays a handful of runs however long the session is: membership and insertion of the
// next number are O(1), any other insertion O(log runs).
class SeqSet
{
public:
    // Inclusive bounds: first <= last.
    struct Run
    {
        qint64 first = 0;
        qint64 last = 0;
        bool operator==(const Run &) const = default;
    };

    bool contains(qint64 seq) const noexcept;
    // True when the number was not in the set before.
    bool insert(qint64 seq);
    // Every number of the run first..last (inclusive, first <= last).
    void insertRun(qint64 first, qint64 last);
    // Every member of the other set.
    void insert(const SeqSet &other);
    // The largest member; nothing for an empty set.
    std::optional<qint64> last() const noexcept;

    bool isEmpty() const noexcept { return m_runs.empty(); }
    // Number of members; saturates at the largest signed 64-bit value.
    qint64 count() const noexcept;
    // Number of runs the set is kept in.
    qsizetype runCount() const noexcept { return qsizetype(m_runs.size()); }
    // The runs in ascending order.
    template<class F>
    void forEachRun(F &&f) const
    {
        for (const auto &[first, last] : m_runs)
            f(Run{first, last});
    }

    bool operator==(const SeqSet &other) const = default;

private:
    // first -> last
    std::map<qint64, qint64> m_runs;
};

} // namespace nbd
