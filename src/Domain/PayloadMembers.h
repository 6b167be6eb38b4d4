#pragma once

#include "Wire/JSONValue.h"

#include <QString>
#include <QStringView>

#include <optional>

// Lenient readings of a host payload's members, for the records decoded from frames the host
// pushes (approvals, questions, session status) and for addressing frames to their owner: a
// member counts only when it has the expected JSON type; anything else reads as absent.
namespace nbd::payload {

inline std::optional<QString> stringMember(const JSONValue &object, QStringView key)
{
    const JSONValue *value = object.find(key);
    return value ? value->string() : std::nullopt;
}

inline std::optional<bool> boolMember(const JSONValue &object, QStringView key)
{
    const JSONValue *value = object.find(key);
    return value ? value->boolean() : std::nullopt;
}

inline const JSONValue *typedMember(const JSONValue &object, QStringView key, JSONValue::Type type)
{
    const JSONValue *value = object.find(key);
    return value && value->type() == type ? value : nullptr;
}

} // namespace nbd::payload
