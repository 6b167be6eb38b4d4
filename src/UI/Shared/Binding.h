#pragma once

#include <functional>
#include <utility>

namespace nbd {

// A two-way reference to a value that another view owns.
template<typename T>
struct Binding
{
    std::function<T()> get;
    std::function<void(T)> set;
};

} // namespace nbd
