#pragma once

#include <QString>

#include <optional>

namespace nbd {

// One event of a session's run: a user message, an assistant block, one half of a tool call
// (or the whole call) or a notice. The trajectory hands it out when the user picks an event,
// and the inspector's event panel shows it. Passed whole, by value.
struct TrajectoryEventSelection
{
    QString id;   // unique within the session's trajectory; rows, marks and scrolling use it
    QString role; // "USER", "ASSISTANT", "TOOL" or "SYSTEM"
    QString title;
    std::optional<qint64> turn; // none for user messages and notices
    std::optional<qint64> step;
    QString summary; // one line
    std::optional<QString> payload;
    std::optional<QString> result;
    bool isError = false;

    bool operator==(const TrajectoryEventSelection &) const = default;
};

} // namespace nbd
