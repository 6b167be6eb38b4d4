#pragma once

#include "UI/Shared/TrajectoryEventSelection.h"
#include "UI/Shared/Utf8Search.h"

#include <QString>

#include <string>
#include <vector>

namespace nbd {

// A settled query (trimmed and lower-cased) as it is looked for in search keys: composed the
// way the keys are, with its matcher made once for all the texts it is looked for in.
class TrajectorySearchNeedle
{
public:
    explicit TrajectorySearchNeedle(const QString &query);

    bool isEmpty() const { return m_text.isEmpty(); }
    const QString &text() const { return m_text; }
    // The needle in UTF-8, when it holds whole characters only (no stray half of a pair).
    const std::string *bytes() const { return m_whole ? &m_bytes : nullptr; }

private:
    QString m_text;
    std::string m_bytes;
    bool m_whole = true;
};

// The lower-cased searchable fields (role, title, summary, payload, result) of a list of
// events, laid end to end so that a query is found in one pass over all of them. They are
// kept in UTF-8 (Utf8Search): one byte for each character of ASCII, the bulk of a run's text.
class TrajectorySearchKeys
{
public:
    // The search key of one text: lower case, and composed so that canonically equivalent
    // spellings compare equal.
    static QString key(const QString &text);

    // Room for `units` UTF-16 units of fields.
    void reserve(size_t units) { m_text.reserve(units * 3); }
    void add(const TrajectoryEventSelection &event);
    // The same from its fields; payload and result are null when the event has none.
    void add(const QString &role, const QString &title, const QString &summary, const QString *payload,
             const QString *result);

    // Per event, whether it holds the (settled) query in one of its fields; all true for an
    // empty query. The same answer as TrajectoryLedger::matches() for each event.
    std::vector<bool> matching(const QString &query) const;
    // Sets hits[offset + i] for each event i that holds the needle; leaves the others as they are.
    void mark(const TrajectorySearchNeedle &needle, std::vector<bool> &hits, size_t offset) const;
    qsizetype size() const { return m_events; }

private:
    void addField(const QString &field);

    Utf8Search::Buffer m_text;         // the keys of the fields end to end, in UTF-8
    std::vector<qsizetype> m_start{0}; // where each field begins; one more at the end
    std::vector<qsizetype> m_event;    // the event each field belongs to
    qsizetype m_events = 0;
};

} // namespace nbd
