#pragma once

#include "Wire/JSONValue.h"
#include "Wire/WireErrors.h"

#include <QString>

#include <map>
#include <optional>
#include <type_traits>
#include <vector>

// Shared field readers for the host's records. Strict: a required member that is absent,
// null or of another type throws DecodingError naming the key; an optional member that is
// absent or null is nothing, and present with another type throws.
namespace nbd::json {

[[noreturn]] void keyNotFound(QStringView key);
[[noreturn]] void wrongType(QStringView key, const char *expected);
[[noreturn]] void notAnObject(const char *what = nullptr);

// The value itself must be an object; returns it for chaining.
const JSONValue &expectObject(const JSONValue &value, const char *what = nullptr);

// Present member (null allowed).
const JSONValue &member(const JSONValue &object, QStringView key);
// Present and non-null member.
const JSONValue &required(const JSONValue &object, QStringView key);
// Absent or null gives nullptr.
const JSONValue *optionalMember(const JSONValue &object, QStringView key);

QString string(const JSONValue &object, QStringView key);
double number(const JSONValue &object, QStringView key);
qint64 integer(const JSONValue &object, QStringView key);
bool boolean(const JSONValue &object, QStringView key);
const JSONValue &object(const JSONValue &object, QStringView key);
const JSONValue &array(const JSONValue &object, QStringView key);

std::optional<QString> optString(const JSONValue &object, QStringView key);
std::optional<double> optNumber(const JSONValue &object, QStringView key);
std::optional<qint64> optInteger(const JSONValue &object, QStringView key);
std::optional<bool> optBoolean(const JSONValue &object, QStringView key);
// A present non-null value of any type.
std::optional<JSONValue> optValue(const JSONValue &object, QStringView key);

// Element readers for arrays of scalars.
QString asString(const JSONValue &value, QStringView what);
qint64 asInteger(const JSONValue &value, QStringView what);

// Generic decoding of a value as a record type: T::fromJson, or one of the scalar and
// container shapes below. Every element must decode, or the whole array fails.
template<class T>
struct Decoder
{
    static T decode(const JSONValue &value) { return T::fromJson(value); }
};
template<>
struct Decoder<JSONValue>
{
    static JSONValue decode(const JSONValue &value) { return value; }
};
template<>
struct Decoder<QString>
{
    static QString decode(const JSONValue &value) { return asString(value, u"value"); }
};
template<>
struct Decoder<qint64>
{
    static qint64 decode(const JSONValue &value) { return asInteger(value, u"value"); }
};
template<>
struct Decoder<double>
{
    static double decode(const JSONValue &value);
};
template<>
struct Decoder<bool>
{
    static bool decode(const JSONValue &value);
};
template<class T>
struct Decoder<std::optional<T>>
{
    static std::optional<T> decode(const JSONValue &value)
    {
        if (value.isNull())
            return std::nullopt;
        return Decoder<T>::decode(value);
    }
};
template<class T>
struct Decoder<std::vector<T>>
{
    static std::vector<T> decode(const JSONValue &value)
    {
        if (!value.isArray())
            throw DecodingError(QStringLiteral("expected an array"));
        std::vector<T> out;
        out.reserve(size_t(value.size()));
        const auto items = value.elements();
        for (size_t i = 0; i < items.size(); ++i) {
            try {
                out.push_back(Decoder<T>::decode(items[i]));
            } catch (const DecodingError &e) {
                throw DecodingError(QStringLiteral("index %1: %2").arg(i).arg(e.description()));
            }
        }
        return out;
    }
};

// An object read as a map from each key to its decoded value; one bad member fails it.
template<class T>
struct Decoder<std::map<QString, T, std::less<>>>
{
    static std::map<QString, T, std::less<>> decode(const JSONValue &value)
    {
        if (!value.isObject())
            throw DecodingError(QStringLiteral("expected an object"));
        std::map<QString, T, std::less<>> out;
        // Members arrive sorted by key, so each insertion lands at the end.
        for (const auto &m : value.members()) {
            try {
                out.emplace_hint(out.end(), m.key, Decoder<T>::decode(m.value));
            } catch (const DecodingError &e) {
                throw DecodingError(QStringLiteral("key \"%1\": %2").arg(m.key, e.description()));
            }
        }
        return out;
    }
};

template<class T>
struct IsOptional : std::false_type
{
};
template<class T>
struct IsOptional<std::optional<T>> : std::true_type
{
};

template<class T>
T decode(const JSONValue &value)
{
    return Decoder<T>::decode(value);
}

// A required member decoded as T (null fails unless T is optional).
template<class T>
T field(const JSONValue &object, QStringView key)
{
    const JSONValue &v = member(object, key);
    if (v.isNull()) {
        if constexpr (IsOptional<T>::value)
            return std::nullopt;
        else
            keyNotFound(key);
    }
    try {
        return Decoder<T>::decode(v);
    } catch (const DecodingError &e) {
        throw DecodingError(QStringLiteral("key \"%1\": %2").arg(key.toString(), e.description()));
    }
}

// An optional member decoded as T: absent or null gives nothing.
template<class T>
std::optional<T> optField(const JSONValue &object, QStringView key)
{
    const JSONValue *v = optionalMember(object, key);
    if (!v)
        return std::nullopt;
    try {
        return Decoder<T>::decode(*v);
    } catch (const DecodingError &e) {
        throw DecodingError(QStringLiteral("key \"%1\": %2").arg(key.toString(), e.description()));
    }
}

} // namespace nbd::json
