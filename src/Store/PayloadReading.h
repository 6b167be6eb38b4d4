#pragma once

#include "Wire/JSONValue.h"

#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

// Readings of host payloads shared by the store's owners: a member counts only when it has
// the expected JSON type.
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

inline JSONValue stringArray(const std::vector<QString> &values)
{
    JSONValue::Elements elements;
    elements.reserve(values.size());
    for (const QString &value : values)
        elements.emplace_back(value);
    return JSONValue::array(std::move(elements));
}

} // namespace nbd::payload
