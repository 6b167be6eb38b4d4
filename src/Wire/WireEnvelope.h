#pragma once

#include "Wire/JSONDecode.h"
#include "Wire/JSONValue.h"
#include "Wire/WireErrors.h"

#include <QString>

#include <optional>

namespace nbd {

// The encoder's failure: a value holding a NaN or infinite number cannot be written.
class EncodingError : public Error
{
public:
    QString description() const override
    {
        return QStringLiteral("Unable to encode the value as JSON: it holds a NaN or infinite number");
    }
};

// The value's JSON bytes, or EncodingError.
QByteArray encodeJSON(const JSONValue &value);

// decoded(as:): the value as a record of type T. A value that cannot be encoded (NaN,
// infinity anywhere inside) throws WireDecodeError::emptyValue; shape errors throw
// DecodingError.
template<class T>
T decodedAs(const JSONValue &value)
{
    if (!value.data())
        throw WireDecodeError::emptyValue();
    return json::decode<T>(value);
}

// One remote call, as posted to the host.
struct ClientRequest
{
    QString rpcId;
    QString method;
    JSONValue payload;

    JSONValue toJson() const;
};

// The client's answer to a host request; always "ok" true.
struct ClientResponse
{
    QString rpcId;
    JSONValue value;

    JSONValue toJson() const;
};

// A frame pushed by the host on an event stream.
struct ServerRequest
{
    QString type;
    QString rpcId;
    QString method;
    JSONValue payload;

    static ServerRequest fromJson(const JSONValue &value);
    bool operator==(const ServerRequest &) const = default;
};

struct RpcResult
{
    bool ok = false;
    std::optional<JSONValue> value; // absent and null alike give nothing
    std::optional<RpcError> error;

    static RpcResult fromJson(const JSONValue &value);
    // The error when present; otherwise the value, or null.
    JSONValue valueOrThrow() const;
    bool operator==(const RpcResult &) const = default;
};

struct ServerResponse
{
    QString type;
    QString rpcId;
    RpcResult result;

    static ServerResponse fromJson(const JSONValue &value);
    bool operator==(const ServerResponse &) const = default;
};

template<class T>
struct TypedRpcResult
{
    bool ok = false;
    std::optional<T> value;
    std::optional<RpcError> error;

    static TypedRpcResult fromJson(const JSONValue &value)
    {
        TypedRpcResult r;
        r.ok = json::boolean(value, u"ok");
        r.value = json::optField<T>(value, u"value");
        r.error = json::optField<RpcError>(value, u"error");
        return r;
    }
    T valueOrThrow() const
    {
        if (error)
            throw *error;
        if (!value)
            throw WireDecodeError::emptyValue();
        return *value;
    }
};

template<class T>
struct TypedServerResponse
{
    QString type;
    QString rpcId;
    TypedRpcResult<T> result;

    static TypedServerResponse fromJson(const JSONValue &value)
    {
        TypedServerResponse r;
        json::expectObject(value);
        r.type = json::string(value, u"type");
        r.rpcId = json::string(value, u"rpcId");
        r.result = TypedRpcResult<T>::fromJson(json::object(value, u"result"));
        return r;
    }
};

} // namespace nbd
