#include "UI/Sidebar/SidebarRows.h"

#include "Domain/Trimming.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

SidebarListRow SidebarListRow::workspaceRow(WorkspaceView workspace, bool collapsed)
{
    return {Workspace{std::move(workspace), collapsed}};
}

SidebarListRow SidebarListRow::sessionRow(SidebarSessionRowData data) { return {std::move(data)}; }

SidebarListRow SidebarListRow::sectionRow(QString title) { return {Section{std::move(title)}}; }

QString SidebarListRow::id() const
{
    if (const auto *w = workspace())
        return u"workspace-"_s + w->workspace.workspaceId;
    if (const auto *s = session())
        return u"session-"_s + s->id();
    return u"section-"_s + section()->title;
}

QString normalizedSearchText(const QString &searchText)
{
    return text::trimWhitespaceAndNewlines(searchText).toString();
}

namespace {

struct Builder
{
    const SidebarListInput &input;
    QString query;
    QHash<QString, const SessionSummary *> visible;
    QHash<QString, QString> titles;

    const QString &titleOf(const SessionSummary &session) const
    {
        const auto it = titles.constFind(session.sessionId);
        Q_ASSERT(it != titles.constEnd());
        return *it;
    }

    bool matches(const SessionSummary &session) const
    {
        if (query.isEmpty())
            return true;
        return titleOf(session).contains(query, Qt::CaseInsensitive)
            || session.sessionId.contains(query, Qt::CaseInsensitive)
            || input.remoteSearchMatches.contains(session.sessionId);
    }

    // Newest first; equal times keep their input order.
    std::vector<const SessionSummary *> filterAndOrder(const std::vector<const SessionSummary *> &sessions) const
    {
        std::vector<const SessionSummary *> kept;
        kept.reserve(sessions.size());
        for (const SessionSummary *s : sessions) {
            if (matches(*s))
                kept.push_back(s);
        }
        std::stable_sort(kept.begin(), kept.end(),
                         [](const SessionSummary *a, const SessionSummary *b) { return a->updatedAt > b->updatedAt; });
        return kept;
    }

    SidebarListRow row(const SessionSummary &session, QString scope, qreal indent) const
    {
        SidebarSessionRowData data;
        data.scope = std::move(scope);
        data.session = session;
        data.displayTitle = titleOf(session);
        data.isSelected = input.selectedSessionId && *input.selectedSessionId == session.sessionId;
        data.indent = indent;
        return SidebarListRow::sessionRow(std::move(data));
    }
};

} // namespace

std::vector<SidebarListRow> makeListRows(const SidebarListInput &input)
{
    Builder b{input, normalizedSearchText(input.searchText), {}, {}};

    std::vector<const SessionSummary *> visibleInOrder;
    visibleInOrder.reserve(input.sessions.size());
    b.visible.reserve(qsizetype(input.sessions.size()));
    b.titles.reserve(qsizetype(input.sessions.size()));
    for (const SessionSummary &session : input.sessions) {
        if (input.archivedSessionIds.contains(session.sessionId))
            continue;
        if (session.origin && *session.origin == names::subagentOrigin)
            continue;
        if (session.blank)
            continue;
        visibleInOrder.push_back(&session);
        b.visible.insert(session.sessionId, &session);
        const auto modelTitle = input.modelTitles.constFind(session.sessionId);
        b.titles.insert(session.sessionId, modelTitle != input.modelTitles.constEnd() && !modelTitle->isEmpty()
                                               ? *modelTitle
                                               : session.displayTitle());
    }

    std::vector<SidebarListRow> rows;
    rows.reserve(visibleInOrder.size() + input.workspaces.size() + 1);
    QSet<QString> claimed;

    for (const WorkspaceView &workspace : input.workspaces) {
        for (const QString &id : workspace.sessionIds)
            claimed.insert(id);
        QSet<QString> met;
        std::vector<const SessionSummary *> members;
        for (const QString &id : workspace.sessionIds) {
            if (met.contains(id))
                continue;
            met.insert(id);
            if (const SessionSummary *s = b.visible.value(id))
                members.push_back(s);
        }
        const auto kept = b.filterAndOrder(members);
        if (!b.query.isEmpty() && kept.empty())
            continue;
        const bool collapsed = input.collapsedWorkspaceIds.contains(workspace.workspaceId);
        rows.push_back(SidebarListRow::workspaceRow(workspace, collapsed));
        if (collapsed)
            continue;
        for (const SessionSummary *s : kept)
            rows.push_back(b.row(*s, workspace.workspaceId, SidebarSessionRowData::kWorkspaceIndent));
    }

    std::vector<const SessionSummary *> candidates;
    for (const SessionSummary *s : visibleInOrder) {
        if (!claimed.contains(s->sessionId))
            candidates.push_back(s);
    }
    const auto recent = b.filterAndOrder(candidates);
    if (recent.empty())
        return rows;
    rows.push_back(SidebarListRow::sectionRow(kRecentSectionTitle.toString()));
    for (const SessionSummary *s : recent)
        rows.push_back(b.row(*s, kRecentScope.toString(), SidebarSessionRowData::kRecentIndent));
    return rows;
}

} // namespace nbd
