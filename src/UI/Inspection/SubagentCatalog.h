#pragma once

#include "Domain/Subagents.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace nbd {

// One row of the subagent catalogue: an entry of some session's subagent list, at its depth
// below the catalogue's root.
struct SubagentCatalogRow
{
    QString parentSessionId; // the list that holds the entry
    SubagentListEntry entry;
    int depth = 0;

    // The parent, "/", the child: the same child under two parents gives two rows.
    QString id() const { return parentSessionId + u'/' + entry.id; }
    bool operator==(const SubagentCatalogRow &) const = default;
};

namespace SubagentCatalog {

inline constexpr int kMaxDepth = 7;

// The tree under `parentSessionId` as one list, depth first, each entry before its children.
// Levels 0 to 7 are listed; a session already on the path is listed but not expanded again.
std::vector<SubagentCatalogRow> flatten(const QHash<QString, SubagentListValue> &lists, const QString &parentSessionId,
                                        int depth = 0, QSet<QString> visited = {});
// Rows whose entry is a healthy child run, and rows whose entry is running (any kind).
int healthyCount(const std::vector<SubagentCatalogRow> &rows);
int runningCount(const std::vector<SubagentCatalogRow> &rows);
// "  " per level, the name, the mode word and the activity word. `displayTitle` is the
// store's title of the child session, if it has one.
QString rowTitle(const SubagentCatalogRow &row, const std::optional<QString> &displayTitle);
// "  " per level, "子代理 " and the id's first 8 characters, and why the entry is unusable.
QString diagnosticTitle(const SubagentCatalogRow &row);
QString modeIcon(const std::optional<QString> &mode);
// The menu button's accessible name and tooltip.
QString accessibleName(int healthy);
QString toolTip(int healthy, int running);

// Whether the bottom dock shows the read-only card instead of the composer for the selected
// subagent run: always for a one-shot run; for any other run when its parent cannot take
// prompts and the shown session is idle.
bool showsReadOnlyComposer(const std::optional<SelectedSubagent> &selection, bool sessionRunning);

} // namespace SubagentCatalog

} // namespace nbd
