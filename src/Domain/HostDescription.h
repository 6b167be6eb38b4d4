#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <optional>

namespace nbd {

// The host's self-description, the answer to "host.describe".
struct HostDescription
{
    QString version;
    QString cwd;
    std::optional<QString> provider;
    std::optional<QString> model;
    qint64 attachedSessions = 0;
    bool canOpenPath = false;

    static HostDescription fromJson(const JSONValue &value);

    bool operator==(const HostDescription &) const = default;
};

} // namespace nbd
