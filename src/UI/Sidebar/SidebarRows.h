#pragma once

#include "Domain/Models.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace nbd {

// One session row of the sidebar list: the session as listed under one workspace, or in the
// "最近" section (scope "recent").
struct SidebarSessionRowData
{
    static constexpr qreal kWorkspaceIndent = 22;
    static constexpr qreal kRecentIndent = 4;

    QString scope;
    SessionSummary session;
    QString displayTitle;
    bool isSelected = false;
    qreal indent = 0;

    // The scope is part of the identity: a session listed by two workspaces has two rows.
    QString id() const { return scope + u'-' + session.sessionId; }
    bool operator==(const SidebarSessionRowData &) const = default;
};

// One row of the flat sidebar list: a workspace header, a session, or a section label.
struct SidebarListRow
{
    struct Workspace
    {
        WorkspaceView workspace;
        bool collapsed = false;
        bool operator==(const Workspace &) const = default;
    };
    struct Section
    {
        QString title;
        bool operator==(const Section &) const = default;
    };

    std::variant<Workspace, SidebarSessionRowData, Section> value;

    static SidebarListRow workspaceRow(WorkspaceView workspace, bool collapsed);
    static SidebarListRow sessionRow(SidebarSessionRowData data);
    static SidebarListRow sectionRow(QString title);

    const Workspace *workspace() const { return std::get_if<Workspace>(&value); }
    const SidebarSessionRowData *session() const { return std::get_if<SidebarSessionRowData>(&value); }
    const Section *section() const { return std::get_if<Section>(&value); }

    // "workspace-<id>", "session-<scope>-<sessionId>" or "section-<title>".
    QString id() const;
    bool operator==(const SidebarListRow &) const = default;
};

inline constexpr QStringView kRecentScope = u"recent";
inline constexpr QStringView kRecentSectionTitle = u"最近";

// Everything the list is built from. The spans point into the caller's lists, which must
// outlive the call.
struct SidebarListInput
{
    std::span<const SessionSummary> sessions;
    QSet<QString> archivedSessionIds;
    std::span<const WorkspaceView> workspaces;
    // Titles of the open session models, by session id (present and possibly empty).
    QHash<QString, QString> modelTitles;
    std::optional<QString> selectedSessionId;
    // The search field's text as typed; it is trimmed here.
    QString searchText;
    QSet<QString> collapsedWorkspaceIds;
    QSet<QString> remoteSearchMatches;
};

// The search field's text without blanks and line breaks at either end; not case-folded.
QString normalizedSearchText(const QString &searchText);

// The whole sidebar list: each workspace with its visible, matching sessions (newest first),
// then the sessions no workspace claims under "最近". Archived, subagent and blank sessions
// are listed nowhere.
std::vector<SidebarListRow> makeListRows(const SidebarListInput &input);

} // namespace nbd
