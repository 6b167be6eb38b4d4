#include "Domain/Plugins.h"

#include "Domain/ProtocolNames.h"
#include "Wire/JSONDecode.h"

#include <array>

namespace nbd {

using namespace Qt::StringLiterals;

PluginInventoryEntry PluginInventoryEntry::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    PluginInventoryEntry e;
    e.entryId = json::string(value, u"entryId");
    e.moduleName = json::string(value, u"moduleName");
    e.enabled = json::boolean(value, u"enabled");
    e.fiberPhase = json::optString(value, u"fiberPhase");
    return e;
}

QString PluginInventoryEntry::shortName() const
{
    QStringView name = moduleName;
    if (name.startsWith(u'@')) {
        if (const qsizetype slash = name.indexOf(u'/'); slash >= 0)
            name = name.sliced(slash + 1);
    }
    // The longer "nbd-…-" prefixes come before "nbd-" so that they go whole.
    static constexpr std::array<QStringView, 5> prefixes = {u"talvor:", u"talvor-plugin-", u"nbd-host-",
                                                            u"nbd-client-", u"nbd-"};
    for (QStringView prefix : prefixes) {
        if (name.startsWith(prefix))
            return name.sliced(prefix.size()).toString();
    }
    return name.toString();
}

QString PluginInventoryEntry::statusLabel() const
{
    if (!enabled)
        return names::pluginDisabledLabel.toString();
    if (!fiberPhase)
        return names::pluginEnabledLabel.toString();
    const QString &phase = *fiberPhase;
    if (phase == names::fiberActive)
        return u"运行中"_s;
    if (phase == names::fiberLoading)
        return u"加载中"_s;
    if (phase == names::fiberWaiting)
        return u"等待依赖"_s;
    if (phase == names::fiberFailed)
        return u"失败"_s;
    if (phase == names::fiberUnloading)
        return names::pluginUnloadingLabel.toString();
    return phase;
}

PluginInventorySnapshot PluginInventorySnapshot::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::field<std::vector<PluginInventoryEntry>>(value, u"entries")};
}

DynamicPluginInventoryPackage DynamicPluginInventoryPackage::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    DynamicPluginInventoryPackage p;
    p.packageId = json::string(value, u"packageId");
    p.name = json::string(value, u"name");
    p.purpose = json::string(value, u"purpose");
    p.hasHostHalf = json::boolean(value, u"hasHostHalf");
    p.hasClientHalf = json::boolean(value, u"hasClientHalf");
    return p;
}

DynamicPluginActiveRun DynamicPluginActiveRun::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::string(value, u"packageId")};
}

DynamicPluginRunAttempt DynamicPluginRunAttempt::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    DynamicPluginRunAttempt r;
    r.packageId = json::string(value, u"packageId");
    r.status = json::string(value, u"status");
    return r;
}

DynamicPluginInventoryRow DynamicPluginInventoryRow::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    DynamicPluginInventoryRow r;
    r.pluginId = json::string(value, u"pluginId");
    r.agentId = json::string(value, u"agentId");
    r.packages = json::field<std::vector<DynamicPluginInventoryPackage>>(value, u"packages");
    r.currentPackageId = json::optString(value, u"currentPackageId");
    r.nextPackageId = json::optString(value, u"nextPackageId");
    r.activeRun = json::optField<DynamicPluginActiveRun>(value, u"activeRun");
    r.latestRun = json::optField<DynamicPluginRunAttempt>(value, u"latestRun");
    return r;
}

std::optional<DynamicPluginInventoryPackage> DynamicPluginInventoryRow::selectedPackage() const
{
    if (packages.empty())
        return std::nullopt;
    std::optional<QString> wanted;
    if (activeRun)
        wanted = activeRun->packageId;
    else if (nextPackageId)
        wanted = nextPackageId;
    else if (currentPackageId)
        wanted = currentPackageId;
    else if (latestRun)
        wanted = latestRun->packageId;
    if (wanted) {
        for (const auto &p : packages) {
            if (p.packageId == *wanted)
                return p;
        }
    }
    return packages.back();
}

QString DynamicPluginInventoryRow::statusLabel() const
{
    if (activeRun)
        return u"运行中"_s;
    if (!latestRun)
        return names::runNotStartedLabel.toString();
    const QString &status = latestRun->status;
    if (status == names::runRunning)
        return u"运行中"_s;
    if (status == names::runAwaitingApproval)
        return u"等待批准"_s;
    if (status == names::runStartingHost || status == names::runClientPending)
        return u"启动中"_s;
    if (status == names::runWaiting)
        return names::runWaitingLabel.toString();
    if (status == names::runFailed)
        return u"失败"_s;
    if (status == names::runRejected)
        return names::runRejectedLabel.toString();
    if (status == names::runCancelled)
        return names::runCancelledLabel.toString();
    if (status == names::runStopped)
        return names::runStoppedLabel.toString();
    return status;
}

bool DynamicPluginInventoryRow::isRunning() const
{
    return activeRun.has_value() || (latestRun && latestRun->status == names::runRunning);
}

} // namespace nbd
