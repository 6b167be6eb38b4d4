// Tool presentations from the host: any JSON value, with any raw argument and result texts,
// selects exactly one card and builds its model without failing. The cards keep every entry
// the presentation lists, and the display texts built from JSON read back as that JSON.
#include "FuzzSupport.h"

#include "Domain/ToolPresentationModel.h"

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

qsizetype arraySize(const JSONValue &object, QStringView key)
{
    const JSONValue *v = object.find(key);
    return v && v->isArray() ? v->size() : 0;
}

void checkPretty(const JSONValue &value)
{
    const QString shown = pretty(value);
    if (value.isString()) {
        NBD_FUZZ_CHECK(shown == *value.stringPtr(), "a string is not shown as itself");
        return;
    }
    if (holdsNonFinite(value)) {
        NBD_FUZZ_CHECK(shown.isEmpty(), "a value that cannot be written was shown");
        return;
    }
    const std::optional<JSONValue> back = tryParseJSON(shown.toUtf8());
    NBD_FUZZ_CHECK(back && *back == value, u"the pretty form does not read back: "_s + shown);
}

void checkSplitLines(const QString &text)
{
    const QStringList lines = splitLines(text);
    NBD_FUZZ_CHECK(!lines.isEmpty(), "no line at all");
    NBD_FUZZ_CHECK(lines.size() == text.count(u'\n') + 1, "a line feed lost or invented");
    QString expected = text;
    expected.replace(u"\r\n"_s, u"\n"_s);
    if (expected.endsWith(u'\r'))
        expected.chop(1);
    NBD_FUZZ_CHECK(lines.join(u'\n') == expected, "the lines do not rebuild the text");
}

void checkCard(const ToolCardInput &input)
{
    const JSONValue &p = input.presentation;
    const ToolCardModel card = makeToolCard(input);
    NBD_FUZZ_CHECK(makeToolCard(input) == card, "two builds of one card differ");

    const QString kind = cardKind(p);
    const JSONValue *cardMember = p.find(u"card");
    NBD_FUZZ_CHECK(kind == (cardMember && cardMember->isString() ? *cardMember->stringPtr() : u"generic"_s),
                   u"card kind "_s + kind);
    static const QStringList kinds = {u"generic"_s, u"terminal"_s, u"diff"_s, u"search"_s, u"read"_s, u"web"_s};
    const qsizetype index = kinds.indexOf(kind);
    NBD_FUZZ_CHECK(qsizetype(card.index()) == (index < 0 ? 0 : index), u"the card drawn for "_s + kind);

    if (const auto *terminal = std::get_if<TerminalCard>(&card)) {
        NBD_FUZZ_CHECK(!terminal->statusIsSuccess || terminal->status == u"exit 0"_s, "success without exit 0");
        NBD_FUZZ_CHECK(!terminal->description || !terminal->description->isEmpty(), "an empty description shown");
    } else if (const auto *diff = std::get_if<DiffCard>(&card)) {
        NBD_FUZZ_CHECK(qsizetype(diff->entries.size()) == arraySize(p, u"diffs"), "a diff entry lost");
        for (const DiffEntry &entry : diff->entries) {
            NBD_FUZZ_CHECK(!entry.added.isEmpty(), "a diff without a line of new text");
            NBD_FUZZ_CHECK(entry.header.path.has_value() || entry.header.label == u"文件"_s, "an unnamed file header");
        }
    } else if (const auto *search = std::get_if<SearchCard>(&card)) {
        if (search->pathList)
            NBD_FUZZ_CHECK(search->paths.size() == arraySize(p, u"paths"), "a path lost");
        else
            NBD_FUZZ_CHECK(qsizetype(search->groups.size()) == arraySize(p, u"files"), "a match group lost");
    } else if (const auto *read = std::get_if<ReadCard>(&card)) {
        NBD_FUZZ_CHECK(qsizetype(read->lines.size()) == arraySize(p, u"lines"), "a read line lost");
        NBD_FUZZ_CHECK(read->countText.startsWith(QString::number(read->lines.size()) + u" / "_s), read->countText);
    } else if (const auto *web = std::get_if<WebCard>(&card)) {
        if (!web->fetch)
            NBD_FUZZ_CHECK(qsizetype(web->sources.size()) == arraySize(p, u"sources"), "a web source lost");
        for (const WebSource &source : web->sources)
            if (const std::optional<QString> address = webAddress(source.url))
                NBD_FUZZ_CHECK(*address == source.url, "an address changed on the way to the link router");
    } else if (const auto *generic = std::get_if<GenericCard>(&card)) {
        NBD_FUZZ_CHECK(qsizetype(generic->locations.size()) == arraySize(p, u"locations"), "a location lost");
        if (generic->output)
            NBD_FUZZ_CHECK(!generic->output->text.isEmpty(), "an empty output section");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView all = bytes(data, size);
    const QString text = QString::fromUtf8(all);
    const JSONValue presentation = tryParseJSON(all).value_or(JSONValue());

    checkPretty(presentation);
    checkSplitLines(text);
    const QString arguments = prettyArguments(text);
    if (arguments != text) {
        const std::optional<JSONValue> original = tryParseJSON(text.toUtf8());
        const std::optional<JSONValue> shown = tryParseJSON(arguments.toUtf8());
        NBD_FUZZ_CHECK(original && shown && *original == *shown, u"arguments changed meaning: "_s + arguments);
    }
    contentText(presentation.find(u"content"));

    // The same presentation with and without the call's raw texts.
    checkCard(ToolCardInput{presentation, QString(), std::nullopt, false});
    checkCard(ToolCardInput{presentation, text, text, size % 2 == 1});
    // Each member that is an object may itself be a presentation (call and result views).
    for (const JSONMember &m : presentation.members())
        if (m.value.isObject())
            checkCard(ToolCardInput{m.value, QString(), std::nullopt, false});
    return 0;
}
