#include "UI/Inspection/SubagentCatalog.h"

#include "Domain/BidiIsolate.h"
#include "Domain/Graphemes.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd::SubagentCatalog {

namespace {

const QString kSeparator = u"  ·  "_s;

QString indentation(int depth)
{
    return u"  "_s.repeated(std::max(depth, 0));
}

} // namespace

std::vector<SubagentCatalogRow> flatten(const QHash<QString, SubagentListValue> &lists, const QString &parentSessionId,
                                        int depth, QSet<QString> visited)
{
    std::vector<SubagentCatalogRow> rows;
    if (depth > kMaxDepth || visited.contains(parentSessionId))
        return rows;
    const auto list = lists.constFind(parentSessionId);
    if (list == lists.constEnd())
        return rows;
    // Only the ancestors on this path: siblings do not share what they visited.
    visited.insert(parentSessionId);
    for (const SubagentListEntry &entry : list->entries) {
        rows.push_back({parentSessionId, entry, depth});
        if (entry.isChild() && entry.hasChildren.value_or(false)) {
            std::vector<SubagentCatalogRow> children = flatten(lists, entry.id, depth + 1, visited);
            std::move(children.begin(), children.end(), std::back_inserter(rows));
        }
    }
    return rows;
}

int healthyCount(const std::vector<SubagentCatalogRow> &rows)
{
    return int(std::count_if(rows.begin(), rows.end(), [](const SubagentCatalogRow &r) { return r.entry.isChild(); }));
}

int runningCount(const std::vector<SubagentCatalogRow> &rows)
{
    return int(std::count_if(rows.begin(), rows.end(), [](const SubagentCatalogRow &r) { return r.entry.isRunning(); }));
}

QString rowTitle(const SubagentCatalogRow &row, const std::optional<QString> &displayTitle)
{
    QString name;
    if (displayTitle)
        name = text::bidiIsolated(*displayTitle);
    else if (row.entry.label)
        name = text::bidiIsolated(*row.entry.label);
    else
        name = u"子代理 "_s + Graphemes::prefix(row.entry.id, 8);
    const QString mode = row.entry.mode && *row.entry.mode == u"continuable" ? u"持续"_s : u"单次"_s;
    const QString activity = row.entry.isRunning() ? u"运行中"_s : u"空闲"_s;
    return indentation(row.depth) + name + kSeparator + mode + kSeparator + activity;
}

QString diagnosticTitle(const SubagentCatalogRow &row)
{
    QString reason = u"暂时不可用"_s;
    if (row.entry.reason && *row.entry.reason == u"corrupt")
        reason = u"描述已损坏"_s;
    else if (row.entry.reason && *row.entry.reason == u"unsupported")
        reason = u"版本不支持"_s;
    return indentation(row.depth) + u"子代理 "_s + Graphemes::prefix(row.entry.id, 8) + kSeparator + reason;
}

QString modeIcon(const std::optional<QString> &mode)
{
    return mode && *mode == u"continuable" ? u"bubble.left.and.bubble.right"_s : u"doc.text.magnifyingglass"_s;
}

QString accessibleName(int healthy)
{
    return u"子代理，共 %1 个"_s.arg(healthy);
}

QString toolTip(int healthy, int running)
{
    if (running > 0)
        return u"%1 个子代理，%2 个运行中"_s.arg(healthy).arg(running);
    return u"%1 个子代理"_s.arg(healthy);
}

bool showsReadOnlyComposer(const std::optional<SelectedSubagent> &selection, bool sessionRunning)
{
    if (!selection)
        return false;
    if (selection->address.mode == u"one-shot")
        return true;
    return !selection->parentAvailable && !sessionRunning;
}

} // namespace nbd::SubagentCatalog
