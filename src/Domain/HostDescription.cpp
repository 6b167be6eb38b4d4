#include "Domain/HostDescription.h"

#include "Wire/JSONDecode.h"

namespace nbd {

HostDescription HostDescription::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    HostDescription d;
    d.version = json::string(value, u"version");
    d.cwd = json::string(value, u"cwd");
    d.provider = json::optString(value, u"provider");
    d.model = json::optString(value, u"model");
    d.attachedSessions = json::integer(value, u"attachedSessions");
    d.canOpenPath = json::boolean(value, u"canOpenPath");
    return d;
}

} // namespace nbd
