#pragma once

#include "Domain/Settings.h"
#include "RecordTestSupport.h"
#include "SimMergePatch.h"

#include <random>

// A deterministic generator of host settings namespaces that hold secrets: nested objects
// and arrays with secret slots at any depth, set and unset, each set one shown by the host
// as a mask of some form (or not shown at all), and an editor text made from it by a few
// user edits, or by none.
namespace nbd::test {

using namespace Qt::StringLiterals;

struct GeneratedSecret
{
    std::vector<QString> path;
    bool set = false;
    JSONValue stored;               // what the host keeps
    std::optional<JSONValue> shown; // what it shows instead; nothing when it leaves it out
};

struct GeneratedSettings
{
    JSONValue stored; // the real secrets in their slots
    SettingsNamespaceView view;
    JSONValue edited;
    std::vector<GeneratedSecret> secrets;
    int edits = 0;

    // The editor still holds what the host showed for a set secret.
    bool leftAsShown(const GeneratedSecret &secret) const
    {
        if (!secret.set)
            return false;
        const JSONValue *now = settingsValueAt(edited, secret.path);
        if (secret.shown)
            return now && *now == *secret.shown;
        const std::span<const QString> parent(secret.path.data(), secret.path.size() - 1);
        const JSONValue *holder = settingsValueAt(edited, parent);
        return !now && holder && holder->isObject();
    }

    // Some array that holds a set secret is not what the host showed: only then may a save
    // be refused.
    bool changesAnArrayHoldingASecret() const
    {
        for (const GeneratedSecret &secret : secrets) {
            if (!secret.set)
                continue;
            for (size_t length = 0; length < secret.path.size(); ++length) {
                const std::span<const QString> prefix(secret.path.data(), length);
                const JSONValue *before = settingsValueAt(view.value, prefix);
                const JSONValue *after = settingsValueAt(edited, prefix);
                if (before && before->isArray() && after && *after != *before)
                    return true;
            }
        }
        return false;
    }

    // What the host should store after the save: the edit, with each secret left as shown
    // back in its slot as the host kept it.
    JSONValue intended() const
    {
        JSONValue value = edited;
        for (const GeneratedSecret &secret : secrets) {
            if (leftAsShown(secret))
                value = sim::withValueAt(value, secret.path, secret.stored);
        }
        return value;
    }
};

namespace detail {

struct SettingsNodes
{
    std::vector<std::vector<QString>> leaves, objects, arrays;
};

inline void collectNodes(const JSONValue &value, std::vector<QString> &path, SettingsNodes &nodes)
{
    if (value.isObject()) {
        nodes.objects.push_back(path);
        for (const JSONMember &m : value.members()) {
            path.push_back(m.key);
            collectNodes(m.value, path, nodes);
            path.pop_back();
        }
    } else if (value.isArray()) {
        nodes.arrays.push_back(path);
        for (size_t i = 0; i < value.elements().size(); ++i) {
            path.push_back(QString::number(i));
            collectNodes(value.elements()[i], path, nodes);
            path.pop_back();
        }
    } else {
        nodes.leaves.push_back(path);
    }
}

inline SettingsNodes nodesOf(const JSONValue &value)
{
    SettingsNodes nodes;
    std::vector<QString> path;
    collectNodes(value, path, nodes);
    return nodes;
}

inline JSONValue scalar(std::mt19937 &rng, int serial)
{
    switch (rng() % 3) {
    case 0: return JSONValue(u"v"_s + QString::number(serial));
    case 1: return JSONValue(int(rng() % 1000));
    default: return JSONValue(rng() % 2 == 0);
    }
}

inline JSONValue tree(std::mt19937 &rng, int depth, int &serial)
{
    static const QString keys[] = {u"a"_s, u"b"_s, u"key"_s, u"name"_s, u"0"_s, u"providers"_s, u"api"_s};
    const unsigned roll = rng() % 10;
    if (depth >= 4 || (depth > 0 && roll < 4))
        return scalar(rng, ++serial);
    if (roll < 7 || depth == 0) {
        JSONValue::Members members;
        const int count = 1 + int(rng() % 4);
        for (int i = 0; i < count; ++i)
            members.emplace_back(keys[rng() % std::size(keys)], tree(rng, depth + 1, serial));
        return JSONValue::object(std::move(members));
    }
    JSONValue::Elements elements;
    const int count = 1 + int(rng() % 3);
    for (int i = 0; i < count; ++i)
        elements.push_back(tree(rng, depth + 1, serial));
    return JSONValue::array(std::move(elements));
}

inline JSONValue withoutMember(const JSONValue &object, const QString &key)
{
    JSONValue::Members members;
    for (const JSONMember &m : object.members()) {
        if (m.key != key)
            members.emplace_back(m.key, m.value);
    }
    return JSONValue::object(std::move(members));
}

template<class T>
const T &pick(std::mt19937 &rng, const std::vector<T> &items)
{
    return items[rng() % items.size()];
}

} // namespace detail

inline GeneratedSettings generateSettings(quint32 seed)
{
    using namespace detail;
    std::mt19937 rng(seed);
    int serial = 0;
    GeneratedSettings g;
    g.stored = tree(rng, 0, serial);
    JSONValue shown;

    // Secret slots on some leaves, at whatever depth they are.
    const std::vector<JSONValue> masks = {u"••••••"_s, u"******"_s, u"***"_s, u""_s, JSONValue(),
                                          u"<redacted>"_s, JSONValue(0)};
    JSONValue::Elements slots;
    for (const std::vector<QString> &leaf : nodesOf(g.stored).leaves) {
        if (leaf.empty() || rng() % 3 != 0)
            continue;
        GeneratedSecret secret;
        secret.path = leaf;
        secret.set = rng() % 4 != 0;
        const QString real = u"sk-"_s + QString::number(seed) + u"-"_s + QString::number(++serial);
        secret.stored = secret.set ? JSONValue(real) : JSONValue(u""_s);
        const std::span<const QString> parent(leaf.data(), leaf.size() - 1);
        const bool inObject = settingsValueAt(g.stored, parent)->isObject();
        const unsigned form = rng() % (masks.size() + 2);
        if (!secret.set)
            secret.shown = secret.stored;
        else if (form < masks.size())
            secret.shown = masks[form];
        else if (form == masks.size() || !inObject)
            secret.shown = JSONValue(u"sk-…"_s + real.right(4)); // a hint of the real one
        g.secrets.push_back(secret);
        JSONValue::Elements path;
        for (const QString &text : leaf)
            path.emplace_back(text);
        slots.push_back(JSONValue::object({{u"path"_s, JSONValue::array(std::move(path))}, {u"set"_s, secret.set}}));
    }
    for (const GeneratedSecret &secret : g.secrets)
        g.stored = sim::withValueAt(g.stored, secret.path, secret.stored);
    shown = g.stored;
    for (const GeneratedSecret &secret : g.secrets) {
        if (secret.shown) {
            shown = sim::withValueAt(shown, secret.path, *secret.shown);
        } else {
            const std::span<const QString> parent(secret.path.data(), secret.path.size() - 1);
            shown = sim::withValueAt(shown, parent, withoutMember(*settingsValueAt(shown, parent), secret.path.back()));
        }
    }
    g.view = SettingsNamespaceView::fromJson(
        settingsNamespaceValue(u"n"_s, u"live"_s, JSONValue::array(std::move(slots)), 3, shown));

    // None, or a few edits: beside the secrets, on the structure, or a secret typed anew.
    g.edited = shown;
    const int wanted = rng() % 4 == 0 ? 0 : 1 + int(rng() % 3);
    for (int attempt = 0; g.edits < wanted && attempt < 20; ++attempt) {
        const SettingsNodes nodes = nodesOf(g.edited);
        const unsigned kind = rng() % 5;
        if (kind == 0 && !nodes.leaves.empty() && !nodes.leaves.front().empty()) {
            const std::vector<QString> &leaf = pick(rng, nodes.leaves);
            if (std::ranges::any_of(g.secrets, [&](const GeneratedSecret &s) { return s.path == leaf; }))
                continue;
            g.edited = sim::withValueAt(g.edited, leaf, JSONValue(u"edit"_s + QString::number(++serial)));
        } else if (kind == 1) {
            const std::vector<QString> &at = pick(rng, nodes.objects);
            const QString key = u"added"_s + QString::number(++serial);
            g.edited = sim::withValueAt(g.edited, at, settingsValueAt(g.edited, at)->with(key, scalar(rng, serial)));
        } else if (kind == 2) {
            const std::vector<QString> &at = pick(rng, nodes.objects);
            const JSONValue *object = settingsValueAt(g.edited, at);
            if (object->size() == 0)
                continue;
            const QString key = object->members()[rng() % object->members().size()].key;
            g.edited = sim::withValueAt(g.edited, at, withoutMember(*object, key));
        } else if (kind == 3 && !g.secrets.empty()) {
            const GeneratedSecret &secret = pick(rng, g.secrets);
            const std::span<const QString> parent(secret.path.data(), secret.path.size() - 1);
            const JSONValue *holder = settingsValueAt(g.edited, parent);
            if (!holder || !(holder->isObject() || settingsValueAt(g.edited, secret.path)))
                continue;
            g.edited = sim::withValueAt(g.edited, secret.path, JSONValue(u"typed-"_s + QString::number(++serial)));
        } else if (kind == 4 && !nodes.arrays.empty()) {
            const std::vector<QString> &at = pick(rng, nodes.arrays);
            const std::span<const JSONValue> elements = settingsValueAt(g.edited, at)->elements();
            JSONValue::Elements grown(elements.begin(), elements.end());
            grown.push_back(scalar(rng, ++serial));
            g.edited = sim::withValueAt(g.edited, at, JSONValue::array(std::move(grown)));
        } else {
            continue;
        }
        ++g.edits;
    }
    return g;
}

} // namespace nbd::test
