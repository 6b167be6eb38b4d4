#pragma once

#include "Domain/RecordHash.h"
#include "Wire/JSONValue.h"

#include <QString>

#include <vector>

namespace nbd {

// A project directory of the host that groups sessions. Every member is required.
struct WorkspaceView
{
    QString workspaceId;
    QString path;
    QString title;
    std::vector<QString> sessionIds; // host order; may repeat or name unknown sessions
    QString createdAt;               // the host's text form, never parsed
    QString updatedAt;

    static WorkspaceView fromJson(const JSONValue &value);
    const QString &id() const { return workspaceId; }

    bool operator==(const WorkspaceView &) const = default;
    friend size_t qHash(const WorkspaceView &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.workspaceId, v.path, v.title, v.sessionIds, v.createdAt, v.updatedAt);
    }
};

// "workspace.list"
struct WorkspaceListValue
{
    std::vector<WorkspaceView> items;
    std::vector<QString> archivedSessionIds;

    static WorkspaceListValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceListValue &) const = default;
    friend size_t qHash(const WorkspaceListValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.items, v.archivedSessionIds);
    }
};

// "workspace.create"
struct WorkspaceCreateValue
{
    WorkspaceView workspace;
    bool created = false;

    static WorkspaceCreateValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceCreateValue &) const = default;
    friend size_t qHash(const WorkspaceCreateValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.workspace, v.created);
    }
};

// "workspace.rename"
struct WorkspaceRenameValue
{
    WorkspaceView workspace;

    static WorkspaceRenameValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceRenameValue &) const = default;
    friend size_t qHash(const WorkspaceRenameValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.workspace);
    }
};

// "workspace.delete"
struct WorkspaceDeleteValue
{
    bool deleted = false;

    static WorkspaceDeleteValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceDeleteValue &) const = default;
    friend size_t qHash(const WorkspaceDeleteValue &v, size_t seed = 0) noexcept { return hashFields(seed, v.deleted); }
};

// "workspace.archiveSession": the host's whole archived set after the call.
struct WorkspaceArchiveSessionValue
{
    std::vector<QString> archivedSessionIds;

    static WorkspaceArchiveSessionValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceArchiveSessionValue &) const = default;
    friend size_t qHash(const WorkspaceArchiveSessionValue &v, size_t seed = 0) noexcept
    {
        return hashFields(seed, v.archivedSessionIds);
    }
};

} // namespace nbd
