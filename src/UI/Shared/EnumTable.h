#pragma once

// The fixed texts of a small closed enum (raw value, label, symbol, …) kept as one row per value
// instead of one switch per text: a value's texts sit together and a new value is one new row.
// A row type's first member is `value`; the rows stand in the enum's declaration order.

#include <QString>
#include <QStringView>

#include <cstddef>
#include <optional>

namespace nbd {

// True when `rows` holds every value from the first to `last` once, in declaration order.
template <typename Row, std::size_t N>
constexpr bool listsEnumInOrder(const Row (&rows)[N], decltype(Row::value) last)
{
    if (std::size_t(last) + 1 != N)
        return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (std::size_t(rows[i].value) != i)
            return false;
    }
    return true;
}

// The row of `value`; nothing for a number outside the enum.
template <typename Row, std::size_t N>
constexpr const Row *enumRow(const Row (&rows)[N], decltype(Row::value) value)
{
    const auto index = std::size_t(value);
    return index < N ? &rows[index] : nullptr;
}

// One text column of `value`'s row; empty outside the enum.
template <typename Row, std::size_t N>
QString enumText(const Row (&rows)[N], decltype(Row::value) value, QStringView Row::*column)
{
    const Row *row = enumRow(rows, value);
    return row ? (row->*column).toString() : QString();
}

// The value whose `column` is exactly `text` (case-sensitive, whole string).
template <typename Row, std::size_t N>
std::optional<decltype(Row::value)> enumFromText(const Row (&rows)[N], QStringView Row::*column, QStringView text)
{
    for (const Row &row : rows) {
        if (row.*column == text)
            return row.value;
    }
    return std::nullopt;
}

} // namespace nbd
