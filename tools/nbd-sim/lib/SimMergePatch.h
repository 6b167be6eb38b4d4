#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <span>

namespace nbd::sim {

// A settings patch applied as a host applies it: a merge patch, where a member left out
// stays, a null member goes, an object merges member by member and any other value (an
// array too) replaces what was there.
JSONValue applyMergePatch(const JSONValue &target, const JSONValue &patch);

// `value` with the member or element at `path` set to `replacement` (a missing last member of
// an object is added); unchanged when the path leads nowhere.
JSONValue withValueAt(const JSONValue &value, std::span<const QString> path, const JSONValue &replacement);

} // namespace nbd::sim
