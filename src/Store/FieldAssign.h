#pragma once

#include <utility>

namespace nbd {

// The owners' field setters: stores the value and says whether it changed, so that the
// field's signal is emitted on a real change only.
template<class T>
bool assignChanged(T &field, T value)
{
    if (field == value)
        return false;
    field = std::move(value);
    return true;
}

} // namespace nbd
