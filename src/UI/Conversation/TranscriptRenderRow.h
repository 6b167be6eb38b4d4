#pragma once

#include "Session/Transcript.h"

#include <QString>

#include <variant>
#include <vector>

namespace nbd {

// One drawable row of the conversation: a user message, one block of an agent turn, or a
// notice, flattened out of the session's nested transcript and put in the host's event order.
struct TranscriptRenderRow
{
    using Content = std::variant<UserMessageItem, BlockItem, NoticeItem>;

    // Chosen so that no user-row id can equal a notice id ("notice-…") or a block id ("turn-…").
    static constexpr QStringView kUserPrefix = u"user-";

    QString id;
    Content content;
    int leadingSpacing = 16;
    bool isStreamingEndpoint = false;

    static QString blockId(qint64 turn, qint64 step, qint64 index);
    // The rows of a session's items, in display order. Pure: reads nothing else, keeps nothing.
    static std::vector<TranscriptRenderRow> make(const std::vector<TranscriptItem> &items);

    const UserMessageItem *user() const { return std::get_if<UserMessageItem>(&content); }
    const BlockItem *block() const { return std::get_if<BlockItem>(&content); }
    const NoticeItem *notice() const { return std::get_if<NoticeItem>(&content); }

    bool operator==(const TranscriptRenderRow &) const = default;
};

// The rows of one session kept across publishes. While text streams only the newest items
// change: their rows are made again and the rows of the items before them are kept, so a
// publish costs the changed rows rather than the whole transcript. The rows always equal
// TranscriptRenderRow::make() of the same items.
class TranscriptRowCache
{
public:
    // Makes the rows of `items`, whose positions before `unchangedBefore` hold the items the
    // previous update saw. Returns the position of the first row that may differ from the
    // previous rows.
    size_t update(const std::vector<TranscriptItem> &items, size_t unchangedBefore);
    void clear();
    const std::vector<TranscriptRenderRow> &rows() const { return m_rows; }

private:
    struct Place
    {
        qint64 seq;
        std::optional<qint64> turn;
        qint64 order;
    };
    size_t rebuildAll(const std::vector<TranscriptItem> &items);

    std::vector<TranscriptRenderRow> m_rows;
    std::vector<Place> m_places;          // by row
    std::vector<size_t> m_firstRowOfItem; // by item; valid only while the rows are in item order
    std::optional<qint64> m_lastTurn;
    bool m_inItemOrder = false;
};

} // namespace nbd
