// Reply bodies and event-stream messages from the host. A reply is read the way the typed
// call reads it and the way the untyped call reads it; both must agree, and every failure
// must be one of the wire's own errors with its text. A stream message either becomes a
// frame or is dropped with a describable error.
#include "FuzzSupport.h"

#include "Domain/Models.h"
#include "Wire/WireClient.h"
#include "Wire/WireEnvelope.h"

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

void checkErrorText(const Error &error)
{
    const QString text = error.description();
    NBD_FUZZ_CHECK(!text.isEmpty(), "an error without a description");
    NBD_FUZZ_CHECK(QByteArray(error.what()) == text.toUtf8(), "what() differs from the description");
    NBD_FUZZ_CHECK(describeError(error) == text, "describeError differs from the description");
}

// The untyped call's reading of the same body: the host's error, or the value (null when absent).
std::optional<JSONValue> untypedValue(const QByteArray &body, std::optional<RpcError> *rpcError)
{
    try {
        const ServerResponse response = ServerResponse::fromJson(parseJSON(body));
        return response.result.valueOrThrow();
    } catch (const RpcError &e) {
        *rpcError = e;
    } catch (const DecodingError &e) {
        checkErrorText(e);
    }
    return std::nullopt;
}

template<class T>
void checkReply(const QString &method, const QByteArray &body)
{
    std::optional<RpcError> untypedError;
    const std::optional<JSONValue> untyped = untypedValue(body, &untypedError);
    try {
        const T record = WireClient::decodeReply<T>(method, body);
        NBD_FUZZ_CHECK(untyped.has_value(), method + u": the typed reply decoded, the untyped one did not"_s);
        // The typed value is exactly the untyped value decoded as the record.
        NBD_FUZZ_CHECK(decodedAs<T>(*untyped) == record, method + u": the two readings differ"_s);
    } catch (const RpcError &e) {
        checkErrorText(e);
        NBD_FUZZ_CHECK(e.description() == e.code + u": "_s + e.message, "the host's error text is not code: message");
        NBD_FUZZ_CHECK(untypedError && *untypedError == e, method + u": only the typed reading saw the host's error"_s);
    } catch (const WireTransportError &e) {
        checkErrorText(e);
        NBD_FUZZ_CHECK(e.message() == u"malformed server response for "_s + method, e.message());
        NBD_FUZZ_CHECK(!e.underlyingDescription().isEmpty(), "a malformed reply without its cause");
    }
}

void checkFrame(const QByteArray &message)
{
    // As the event stream reads a message.
    try {
        const ServerRequest frame = ServerRequest::fromJson(parseJSON(message));
        // Rebuilt from its parts, the frame reads back the same.
        const JSONValue again = JSONValue::object({{u"type"_s, frame.type},
                                                   {u"rpcId"_s, frame.rpcId},
                                                   {u"method"_s, frame.method},
                                                   {u"payload"_s, frame.payload}});
        NBD_FUZZ_CHECK(ServerRequest::fromJson(again) == frame, "a frame does not read back");
    } catch (const Error &e) {
        checkErrorText(e);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = bytes(data, size).toByteArray();
    checkFrame(body);
    checkReply<SessionHistoryValue>(u"session.history"_s, body);
    checkReply<SessionListValue>(u"session.list"_s, body);
    checkReply<WorkspaceListValue>(u"workspace.list"_s, body);
    checkReply<SessionModelsValue>(u"session.models"_s, body);
    checkReply<SubagentListValue>(u"subagent.list"_s, body);
    checkReply<SessionCreateValue>(u"session.create"_s, body);
    checkReply<SessionPromptValue>(u"session.prompt"_s, body);
    checkReply<SettingsDescribeValue>(u"settings.describe"_s, body);
    checkReply<PluginInventorySnapshot>(u"plugin.inventory"_s, body);
    checkReply<SessionSearchValue>(u"session.search"_s, body);
    checkReply<JSONValue>(u"session.cancel"_s, body);
    return 0;
}
