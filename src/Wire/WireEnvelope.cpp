#include "Wire/WireEnvelope.h"

namespace nbd {

QByteArray encodeJSON(const JSONValue &value)
{
    auto bytes = value.data();
    if (!bytes)
        throw EncodingError();
    return *bytes;
}

JSONValue ClientRequest::toJson() const
{
    return JSONValue::object({
        {QStringLiteral("type"), QStringLiteral("client-request")},
        {QStringLiteral("rpcId"), rpcId},
        {QStringLiteral("method"), method},
        {QStringLiteral("payload"), payload},
    });
}

JSONValue ClientResponse::toJson() const
{
    return JSONValue::object({
        {QStringLiteral("type"), QStringLiteral("client-response")},
        {QStringLiteral("rpcId"), rpcId},
        {QStringLiteral("result"), JSONValue::object({{QStringLiteral("ok"), true}, {QStringLiteral("value"), value}})},
    });
}

ServerRequest ServerRequest::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ServerRequest r;
    r.type = json::string(value, u"type");
    r.rpcId = json::string(value, u"rpcId");
    r.method = json::string(value, u"method");
    r.payload = json::member(value, u"payload");
    return r;
}

RpcError RpcError::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return RpcError(json::string(value, u"code"), json::string(value, u"message"), json::member(value, u"details"));
}

RpcResult RpcResult::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    RpcResult r;
    r.ok = json::boolean(value, u"ok");
    r.value = json::optValue(value, u"value");
    r.error = json::optField<RpcError>(value, u"error");
    return r;
}

JSONValue RpcResult::valueOrThrow() const
{
    if (error)
        throw *error;
    return value ? *value : JSONValue();
}

ServerResponse ServerResponse::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ServerResponse r;
    r.type = json::string(value, u"type");
    r.rpcId = json::string(value, u"rpcId");
    r.result = RpcResult::fromJson(json::object(value, u"result"));
    return r;
}

} // namespace nbd
