#pragma once

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
};

// "workspace.list"
struct WorkspaceListValue
{
    std::vector<WorkspaceView> items;
    std::vector<QString> archivedSessionIds;

    static WorkspaceListValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceListValue &) const = default;
};

// "workspace.create"
struct WorkspaceCreateValue
{
    WorkspaceView workspace;
    bool created = false;

    static WorkspaceCreateValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceCreateValue &) const = default;
};

// "workspace.rename"
struct WorkspaceRenameValue
{
    WorkspaceView workspace;

    static WorkspaceRenameValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceRenameValue &) const = default;
};

// "workspace.delete"
struct WorkspaceDeleteValue
{
    bool deleted = false;

    static WorkspaceDeleteValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceDeleteValue &) const = default;
};

// "workspace.archiveSession": the host's whole archived set after the call.
struct WorkspaceArchiveSessionValue
{
    std::vector<QString> archivedSessionIds;

    static WorkspaceArchiveSessionValue fromJson(const JSONValue &value);
    bool operator==(const WorkspaceArchiveSessionValue &) const = default;
};

} // namespace nbd
