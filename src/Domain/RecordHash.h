#pragma once

#include "Wire/JSONValue.h"

#include <QHashFunctions>
#include <QString>

#include <map>
#include <optional>
#include <vector>

// Field-by-field hashing for the host records: each record's qHash feeds its fields, in
// declaration order, to hashFields. Optionals hash their presence, containers their
// elements in order, so records that compare equal hash alike.
namespace nbd {

template<class... T>
size_t hashFields(size_t seed, const T &...fields) noexcept;

namespace detail {

inline size_t combineHash(size_t seed, size_t h) noexcept
{
    return seed ^ (h + 0x9e3779b9 + (seed << 6) + (seed >> 2));
}

template<class T>
struct FieldHasher
{
    static size_t hash(size_t seed, const T &value) noexcept
    {
        using ::qHash;
        return combineHash(seed, qHash(value, 0));
    }
};

template<>
struct FieldHasher<bool>
{
    static size_t hash(size_t seed, bool value) noexcept { return combineHash(seed, value ? 1u : 2u); }
};

template<>
struct FieldHasher<double>
{
    // -0.0 equals 0.0, so both must hash alike.
    static size_t hash(size_t seed, double value) noexcept { return combineHash(seed, qHash(value == 0.0 ? 0.0 : value)); }
};

template<class T>
struct FieldHasher<std::optional<T>>
{
    static size_t hash(size_t seed, const std::optional<T> &value) noexcept
    {
        if (!value)
            return combineHash(seed, 0);
        return FieldHasher<T>::hash(combineHash(seed, 1), *value);
    }
};

template<class T>
struct FieldHasher<std::vector<T>>
{
    static size_t hash(size_t seed, const std::vector<T> &value) noexcept
    {
        seed = combineHash(seed, value.size());
        for (const auto &e : value)
            seed = FieldHasher<T>::hash(seed, e);
        return seed;
    }
};

template<class T>
struct FieldHasher<std::map<QString, T, std::less<>>>
{
    static size_t hash(size_t seed, const std::map<QString, T, std::less<>> &value) noexcept
    {
        seed = combineHash(seed, value.size());
        for (const auto &[key, v] : value)
            seed = FieldHasher<T>::hash(FieldHasher<QString>::hash(seed, key), v);
        return seed;
    }
};

} // namespace detail

template<class... T>
size_t hashFields(size_t seed, const T &...fields) noexcept
{
    ((seed = detail::FieldHasher<T>::hash(seed, fields)), ...);
    return seed;
}

} // namespace nbd
