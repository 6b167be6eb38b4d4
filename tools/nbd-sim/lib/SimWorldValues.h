#pragma once

// Value helpers the simulated world's state and its action handlers share.

#include "Wire/JSONValue.h"
#include "SimHost.h"

#include <QStringList>

#include <optional>

namespace nbd::sim::detail {

inline JSONValue stringArray(const QStringList &items)
{
    JSONValue::Elements elements;
    for (const QString &item : items)
        elements.emplace_back(item);
    return JSONValue::array(std::move(elements));
}

inline std::optional<QString> payloadString(const LoggedRequest &request, QStringView key)
{
    const JSONValue *value = request.payload.find(key);
    return value ? value->string() : std::nullopt;
}

// An unset field is left out of the value, not sent as null.
template <typename T>
void addIfSet(JSONValue::Members &members, const QString &key, const std::optional<T> &value)
{
    if (value)
        members.emplace_back(key, JSONValue(*value));
}

inline QString stringOf(const JSONValue &object, QStringView key)
{
    const JSONValue *value = object.find(key);
    return value && value->isString() ? *value->stringPtr() : QString();
}

} // namespace nbd::sim::detail
