// JSON text from the host: whatever parses must write back to text that parses to the same
// value with the same hash, in the compact and in both pretty forms, and every number in it
// must obey the wire's integer rule.
#include "FuzzSupport.h"

#include "Wire/JSONValue.h"
#include "Wire/WireErrors.h"

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

void checkIntegerRule(const JSONValue &value)
{
    if (const std::optional<double> n = value.number()) {
        const double d = *n;
        const bool expected = std::isfinite(d) && std::trunc(d) == d && d >= -0x1p63 && d < 0x1p63;
        const std::optional<qint64> i = value.toInt();
        NBD_FUZZ_CHECK(i.has_value() == expected, QString::number(d, 'g', 17));
        if (i)
            NBD_FUZZ_CHECK(static_cast<double>(*i) == d, QString::number(d, 'g', 17));
        NBD_FUZZ_CHECK(integralInt64(d) == i, QString::number(d, 'g', 17));
        return;
    }
    NBD_FUZZ_CHECK(!value.toInt(), "a value that is no number gave an integer");
    for (const auto &m : value.members())
        checkIntegerRule(m.value);
    for (const auto &e : value.elements())
        checkIntegerRule(e);
}

// Objects hold one member per key, sorted by key, each found by its key; copies are equal.
void checkShape(const JSONValue &value)
{
    const JSONValue copy = value;
    NBD_FUZZ_CHECK(copy == value && copy.hash() == value.hash(), "a copy differs from its original");
    const auto members = value.members();
    for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0)
            NBD_FUZZ_CHECK(members[i - 1].key < members[i].key, u"members out of order or repeated: "_s + members[i].key);
        const JSONValue *found = value.find(members[i].key);
        NBD_FUZZ_CHECK(found && found == &members[i].value, u"a member not found by its key: "_s + members[i].key);
        checkShape(members[i].value);
    }
    NBD_FUZZ_CHECK(value.size() == qsizetype(value.isObject() ? members.size() : value.elements().size()),
                   "size() disagrees with the members or elements");
    for (const JSONValue &e : value.elements())
        checkShape(e);
}

void checkReparses(const JSONValue &value, const QByteArray &text, const char *form)
{
    QString error;
    const std::optional<JSONValue> again = tryParseJSON(text, &error);
    NBD_FUZZ_CHECK(again.has_value(), QStringLiteral("%1 form does not parse (%2): %3")
                                          .arg(QString::fromUtf8(form), error, QString::fromUtf8(text)));
    NBD_FUZZ_CHECK(*again == value, QStringLiteral("%1 form parses to another value: %2")
                                        .arg(QString::fromUtf8(form), QString::fromUtf8(text)));
    NBD_FUZZ_CHECK(again->hash() == value.hash(), QStringLiteral("%1 form: equal values, different hashes")
                                                      .arg(QString::fromUtf8(form)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString error;
    const std::optional<JSONValue> value = tryParseJSON(bytes(data, size), &error);
    // The throwing parser must agree with the one that does not throw.
    try {
        const JSONValue thrown = parseJSON(bytes(data, size));
        NBD_FUZZ_CHECK(value && thrown == *value, "parseJSON accepted what tryParseJSON refused");
    } catch (const DecodingError &e) {
        NBD_FUZZ_CHECK(!value, "parseJSON refused what tryParseJSON accepted");
        NBD_FUZZ_CHECK(!e.description().isEmpty(), "a parse error without a message");
    }
    if (!value) {
        NBD_FUZZ_CHECK(!error.isEmpty(), "a parse failure without a message");
        return 0;
    }

    NBD_FUZZ_CHECK(*value == *value, "a value unequal to itself");
    checkIntegerRule(*value);
    checkShape(*value);

    const std::optional<QByteArray> compactText = value->data();
    if (!compactText) {
        NBD_FUZZ_CHECK(holdsNonFinite(*value), "a finite value could not be written");
        NBD_FUZZ_CHECK(!value->prettyData(JSONValue::Slash::Plain), "strict pretty form wrote a non-finite number");
        // The display form never fails; it must still be JSON.
        NBD_FUZZ_CHECK(tryParseJSON(value->prettyPrinted()).has_value(), "display form does not parse");
        return 0;
    }
    checkReparses(*value, *compactText, "compact");
    checkReparses(*value, value->prettyPrinted(), "pretty");
    const std::optional<QByteArray> plain = value->prettyData(JSONValue::Slash::Plain);
    const std::optional<QByteArray> escaped = value->prettyData(JSONValue::Slash::Escaped);
    NBD_FUZZ_CHECK(plain && escaped, "strict pretty form failed where the compact form did not");
    checkReparses(*value, *plain, "pretty, plain slash");
    checkReparses(*value, *escaped, "pretty, escaped slash");
    // Writing is deterministic.
    NBD_FUZZ_CHECK(value->data() == compactText, "two writes of one value differ");
    return 0;
}
