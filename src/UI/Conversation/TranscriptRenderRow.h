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

} // namespace nbd
