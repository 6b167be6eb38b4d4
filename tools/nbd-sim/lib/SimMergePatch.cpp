#include "SimMergePatch.h"

#include "Domain/Settings.h"

namespace nbd::sim {

JSONValue applyMergePatch(const JSONValue &target, const JSONValue &patch)
{
    if (!patch.isObject())
        return patch;
    JSONValue::Members members;
    if (target.isObject()) {
        for (const JSONMember &m : target.members()) {
            if (!patch.contains(m.key))
                members.emplace_back(m.key, m.value);
        }
    }
    for (const JSONMember &m : patch.members()) {
        if (m.value.isNull())
            continue;
        const JSONValue *old = target.isObject() ? target.find(m.key) : nullptr;
        members.emplace_back(m.key, applyMergePatch(old ? *old : JSONValue(), m.value));
    }
    return JSONValue::object(std::move(members));
}

JSONValue withValueAt(const JSONValue &value, std::span<const QString> path, const JSONValue &replacement)
{
    if (path.empty())
        return replacement;
    const JSONValue *child = settingsValueAt(value, path.first(1));
    if (!child)
        return value.isObject() && path.size() == 1 ? value.with(path.front(), replacement) : value;
    const JSONValue changed = withValueAt(*child, path.subspan(1), replacement);
    if (value.isObject())
        return value.with(path.front(), changed);
    JSONValue::Elements elements(value.elements().begin(), value.elements().end());
    elements[size_t(path.front().toULongLong())] = changed;
    return JSONValue::array(std::move(elements));
}

} // namespace nbd::sim
