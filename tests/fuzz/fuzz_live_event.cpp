// The "event" member of a live "session/event" frame, read by the live decoder, and the same
// value inside a history page, read by the record decoders: for anything the JSON parser can
// produce the two must accept the same events and read them alike.
#include "FuzzSupport.h"

#include "Domain/SessionEvents.h"
#include "Wire/JSONDecode.h"

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

const QStringList kLiveKeys = {u"type"_s, u"seq"_s, u"time"_s, u"data"_s, u"sourceEventSeqs"_s, u"ignorable"_s};

std::optional<SessionEvent> fromHistoryPage(const JSONValue &value, QString *error)
{
    const JSONValue entry = JSONValue::object({{u"event"_s, value}});
    const JSONValue page = JSONValue::object({{u"events"_s, JSONValue::array({entry})}, {u"hasMore"_s, false}});
    try {
        const SessionHistoryValue decoded = json::decode<SessionHistoryValue>(page);
        NBD_FUZZ_CHECK(decoded.events.size() == 1, "a page of one entry decoded to another count");
        NBD_FUZZ_CHECK(!decoded.events.front().view, "a view appeared from nowhere");
        return decoded.events.front().event;
    } catch (const DecodingError &e) {
        *error = e.description();
        NBD_FUZZ_CHECK(!error->isEmpty(), "a record error without a message");
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<JSONValue> value = tryParseJSON(bytes(data, size));
    if (!value)
        return 0;

    std::optional<SessionEvent> live;
    std::optional<SessionEventValueError> liveError;
    try {
        live = SessionEvent::fromLiveValue(*value);
    } catch (const SessionEventValueError &e) {
        liveError = e;
    }

    QString historyError;
    const std::optional<SessionEvent> history = fromHistoryPage(*value, &historyError);

    if (live) {
        NBD_FUZZ_CHECK(history.has_value(), u"live decoded, history refused: "_s + historyError);
        NBD_FUZZ_CHECK(*live == *history, "live and history read the event differently");
        // What was read is what was sent.
        NBD_FUZZ_CHECK(live->data == *value->find(u"data"), "data changed on the way in");
        NBD_FUZZ_CHECK(live->seq == value->find(u"seq")->toInt(), "seq changed on the way in");
        return 0;
    }

    NBD_FUZZ_CHECK(liveError.has_value(), "the live decoder neither decoded nor failed");
    NBD_FUZZ_CHECK(!history.has_value(), u"history decoded, live refused: "_s + liveError->description());
    // The live error names a member the event has rules for, and one that is wrong there.
    switch (liveError->kind()) {
    case SessionEventValueError::Kind::ExpectedObject:
        NBD_FUZZ_CHECK(!value->isObject() && liveError->key().isEmpty(), "expectedObject for an object");
        break;
    case SessionEventValueError::Kind::MissingField:
        NBD_FUZZ_CHECK(kLiveKeys.contains(liveError->key()) && !value->contains(liveError->key()),
                       u"missingField for a present or unknown member: "_s + liveError->key());
        break;
    case SessionEventValueError::Kind::InvalidField:
        NBD_FUZZ_CHECK(kLiveKeys.contains(liveError->key()) && value->contains(liveError->key()),
                       u"invalidField for an absent or unknown member: "_s + liveError->key());
        break;
    }
    NBD_FUZZ_CHECK(!liveError->description().isEmpty(), "a live error without a message");
    return 0;
}
