#include "Domain/Subagents.h"

#include "Domain/ProtocolNames.h"
#include "Wire/JSONDecode.h"
#include "Wire/WireEnvelope.h"

#include <array>

namespace nbd {

SubagentListEntry SubagentListEntry::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SubagentListEntry e;
    e.kind = json::string(value, u"kind");
    e.id = json::string(value, u"id");
    e.mode = json::optString(value, u"mode");
    e.activity = json::optString(value, u"activity");
    e.hasChildren = json::optBoolean(value, u"hasChildren");
    e.label = json::optString(value, u"label");
    e.reason = json::optString(value, u"reason");
    return e;
}

bool SubagentListEntry::isChild() const { return kind == names::childEntryKind && mode.has_value(); }

bool SubagentListEntry::isRunning() const { return activity && *activity == names::runningActivity; }

SubagentListValue SubagentListValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SubagentListValue v;
    v.entries = json::field<std::vector<SubagentListEntry>>(value, u"entries");
    v.parentAvailable = json::boolean(value, u"parentAvailable");
    return v;
}

SubagentPromptValue SubagentPromptValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    return {json::string(value, u"messageId")};
}

JobView JobView::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    JobView j;
    j.id = json::string(value, u"id");
    j.kind = json::string(value, u"kind");
    j.label = json::string(value, u"label");
    j.status = json::string(value, u"status");
    j.detail = json::optString(value, u"detail");
    j.startedAt = json::number(value, u"startedAt");
    j.finishedAt = json::optNumber(value, u"finishedAt");
    return j;
}

std::vector<JobView> JobView::decodeEach(std::span<const JSONValue> elements)
{
    std::vector<JobView> jobs;
    jobs.reserve(elements.size());
    for (const auto &e : elements) {
        try {
            // Through the element's JSON text, so an element that cannot be written
            // (a NaN or infinite number) is left out like one that does not decode.
            jobs.push_back(decodedAs<JobView>(e));
        } catch (const Error &) {
        }
    }
    return jobs;
}

ImageAttachmentRef ImageAttachmentRef::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ImageAttachmentRef r;
    r.attachmentId = json::string(value, u"attachmentId");
    r.mediaType = json::string(value, u"mediaType");
    r.bytes = json::integer(value, u"bytes");
    r.width = json::integer(value, u"width");
    r.height = json::integer(value, u"height");
    r.name = json::optString(value, u"name");
    return r;
}

SessionAttachmentValue SessionAttachmentValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionAttachmentValue v;
    v.attachment = json::field<ImageAttachmentRef>(value, u"attachment");
    v.data = json::string(value, u"data");
    return v;
}

std::optional<QByteArray> SessionAttachmentValue::imageData() const { return decodeBase64Strict(data); }

namespace {

constexpr std::array<signed char, 128> base64Table()
{
    std::array<signed char, 128> t{};
    for (auto &v : t)
        v = -1;
    for (int i = 0; i < 26; ++i) {
        t['A' + i] = static_cast<signed char>(i);
        t['a' + i] = static_cast<signed char>(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        t['0' + i] = static_cast<signed char>(52 + i);
    t['+'] = 62;
    t['/'] = 63;
    return t;
}

} // namespace

std::optional<QByteArray> decodeBase64Strict(QStringView text)
{
    static constexpr auto table = base64Table();
    const qsizetype n = text.size();
    if (n % 4 != 0)
        return std::nullopt;
    qsizetype padding = 0;
    if (n > 0 && text[n - 1] == u'=')
        padding = (text[n - 2] == u'=') ? 2 : 1;

    QByteArray out;
    out.reserve(n / 4 * 3);
    for (qsizetype i = 0; i < n; i += 4) {
        const bool lastGroup = i + 4 == n;
        const qsizetype digits = lastGroup ? 4 - padding : 4;
        quint32 group = 0;
        for (qsizetype k = 0; k < 4; ++k) {
            const char16_t c = text[i + k].unicode();
            int v = 0;
            if (k < digits) {
                if (c >= 128 || table[c] < 0)
                    return std::nullopt;
                v = table[c];
            } else if (c != u'=') {
                return std::nullopt;
            }
            group = (group << 6) | quint32(v);
        }
        out.append(char(group >> 16));
        if (digits > 2)
            out.append(char((group >> 8) & 0xff));
        if (digits > 3)
            out.append(char(group & 0xff));
    }
    return out;
}

} // namespace nbd
