#include "Session/SeqSet.h"

#include <algorithm>
#include <limits>

namespace nbd {

bool SeqSet::contains(qint64 seq) const noexcept
{
    if (m_runs.empty())
        return false;
    const auto &[lastFirst, lastLast] = *m_runs.rbegin();
    if (seq >= lastFirst)
        return seq <= lastLast;
    auto it = m_runs.upper_bound(seq); // first run starting after seq
    if (it == m_runs.begin())
        return false;
    --it;
    return seq <= it->second;
}

bool SeqSet::insert(qint64 seq)
{
    if (m_runs.empty()) {
        m_runs.emplace(seq, seq);
        return true;
    }
    // The common case: the next number of a live or sorted stream.
    auto &[tailFirst, tailLast] = *m_runs.rbegin();
    if (seq > tailLast) {
        // seq > tailLast, so tailLast + 1 cannot overflow.
        if (seq == tailLast + 1)
            tailLast = seq;
        else
            m_runs.emplace_hint(m_runs.end(), seq, seq);
        return true;
    }
    if (seq >= tailFirst)
        return false;

    auto next = m_runs.upper_bound(seq); // first run starting after seq; never end() here
    auto prev = next == m_runs.begin() ? m_runs.end() : std::prev(next);
    if (prev != m_runs.end() && seq <= prev->second)
        return false;
    // prev->second < seq and seq < next->first, so neither + 1 can overflow.
    const bool joinsPrev = prev != m_runs.end() && prev->second + 1 == seq;
    const bool joinsNext = next != m_runs.end() && seq + 1 == next->first;
    if (joinsPrev && joinsNext) {
        prev->second = next->second;
        m_runs.erase(next);
    } else if (joinsPrev) {
        prev->second = seq;
    } else if (joinsNext) {
        const qint64 last = next->second;
        auto hint = m_runs.erase(next);
        m_runs.emplace_hint(hint, seq, last);
    } else {
        m_runs.emplace_hint(next, seq, seq);
    }
    return true;
}

void SeqSet::insertRun(qint64 first, qint64 last)
{
    // Start at the run that holds first or ends right before it, if any.
    auto it = m_runs.upper_bound(first);
    if (it != m_runs.begin()) {
        auto prev = std::prev(it);
        // prev->second < first makes prev->second + 1 safe.
        if (prev->second >= first || prev->second + 1 == first)
            it = prev;
    }
    qint64 mergedFirst = first;
    qint64 mergedLast = last;
    // Absorb every run that overlaps or touches first..last; it->first > last makes
    // it->first - 1 safe.
    while (it != m_runs.end() && (it->first <= last || it->first - 1 == last)) {
        mergedFirst = std::min(mergedFirst, it->first);
        mergedLast = std::max(mergedLast, it->second);
        it = m_runs.erase(it);
    }
    m_runs.emplace_hint(it, mergedFirst, mergedLast);
}

void SeqSet::insert(const SeqSet &other)
{
    for (const auto &[first, last] : other.m_runs)
        insertRun(first, last);
}

std::optional<qint64> SeqSet::last() const noexcept
{
    if (m_runs.empty())
        return std::nullopt;
    return m_runs.rbegin()->second;
}

qint64 SeqSet::count() const noexcept
{
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    qint64 total = 0;
    for (const auto &[first, last] : m_runs) {
        // A run spanning most of the 64-bit range has more members than qint64 holds.
        quint64 size = quint64(last) - quint64(first) + 1u;
        if (size == 0 || size > quint64(max) || quint64(max - total) < size)
            return max;
        total += qint64(size);
    }
    return total;
}

} // namespace nbd
