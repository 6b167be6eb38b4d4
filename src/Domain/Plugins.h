#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <optional>
#include <vector>

namespace nbd {

// One of the host's own plugins ("pluginInventory/list").
struct PluginInventoryEntry
{
    QString entryId;
    QString moduleName; // possibly scoped: "@scope/name"
    bool enabled = false;
    std::optional<QString> fiberPhase;

    static PluginInventoryEntry fromJson(const JSONValue &value);
    const QString &id() const { return entryId; }

    // The module name without its scope and without one well-known prefix.
    QString shortName() const;
    // A short Chinese label of the entry's state; an unknown phase word shows as sent.
    QString statusLabel() const;

    bool operator==(const PluginInventoryEntry &) const = default;
};

struct PluginInventorySnapshot
{
    std::vector<PluginInventoryEntry> entries;

    static PluginInventorySnapshot fromJson(const JSONValue &value);
    bool operator==(const PluginInventorySnapshot &) const = default;
};

struct DynamicPluginInventoryPackage
{
    QString packageId;
    QString name;
    QString purpose;
    bool hasHostHalf = false;
    bool hasClientHalf = false;

    static DynamicPluginInventoryPackage fromJson(const JSONValue &value);
    const QString &id() const { return packageId; }

    bool operator==(const DynamicPluginInventoryPackage &) const = default;
};

struct DynamicPluginActiveRun
{
    QString packageId;

    static DynamicPluginActiveRun fromJson(const JSONValue &value);
    bool operator==(const DynamicPluginActiveRun &) const = default;
};

struct DynamicPluginRunAttempt
{
    QString packageId;
    QString status;

    static DynamicPluginRunAttempt fromJson(const JSONValue &value);
    bool operator==(const DynamicPluginRunAttempt &) const = default;
};

// One plugin of the dynamic plugin runner ("dynamicTalvorRunner/inventory" answers an
// array of these).
struct DynamicPluginInventoryRow
{
    QString pluginId;
    QString agentId;
    std::vector<DynamicPluginInventoryPackage> packages;
    std::optional<QString> currentPackageId;
    std::optional<QString> nextPackageId;
    std::optional<DynamicPluginActiveRun> activeRun;
    std::optional<DynamicPluginRunAttempt> latestRun;

    static DynamicPluginInventoryRow fromJson(const JSONValue &value);
    const QString &id() const { return pluginId; }

    // The package the row stands for: the one named by the active run, the next, the
    // current or the latest run's package (first present id), else the last package.
    std::optional<DynamicPluginInventoryPackage> selectedPackage() const;
    // A short Chinese label of the run state; an unknown status word shows as sent.
    QString statusLabel() const;
    // A run in progress, or a latest run whose status is "running".
    bool isRunning() const;

    bool operator==(const DynamicPluginInventoryRow &) const = default;
};

} // namespace nbd
