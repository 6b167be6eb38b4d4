#include "Domain/Workspaces.h"

#include "Wire/JSONDecode.h"

namespace nbd {

WorkspaceView WorkspaceView::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    WorkspaceView v;
    v.workspaceId = json::string(value, u"workspaceId");
    v.path = json::string(value, u"path");
    v.title = json::string(value, u"title");
    v.sessionIds = json::field<std::vector<QString>>(value, u"sessionIds");
    v.createdAt = json::string(value, u"createdAt");
    v.updatedAt = json::string(value, u"updatedAt");
    return v;
}

WorkspaceListValue WorkspaceListValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    WorkspaceListValue v;
    v.items = json::field<std::vector<WorkspaceView>>(value, u"items");
    v.archivedSessionIds = json::field<std::vector<QString>>(value, u"archivedSessionIds");
    return v;
}

WorkspaceCreateValue WorkspaceCreateValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    WorkspaceCreateValue v;
    v.workspace = json::field<WorkspaceView>(value, u"workspace");
    v.created = json::boolean(value, u"created");
    return v;
}

WorkspaceRenameValue WorkspaceRenameValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::field<WorkspaceView>(value, u"workspace")};
}

WorkspaceDeleteValue WorkspaceDeleteValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::boolean(value, u"deleted")};
}

WorkspaceArchiveSessionValue WorkspaceArchiveSessionValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::field<std::vector<QString>>(value, u"archivedSessionIds")};
}

} // namespace nbd
