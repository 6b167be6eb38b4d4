#include "Domain/SessionEvents.h"

#include "Wire/JSONDecode.h"

#include <cmath>

namespace nbd {

using namespace Qt::StringLiterals;

SessionProjectionsBlock SessionProjectionsBlock::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionProjectionsBlock b;
    b.asOfSeq = json::integer(value, u"asOfSeq");
    b.values = json::field<std::map<QString, JSONValue, std::less<>>>(value, u"values");
    return b;
}

QString SessionEventValueError::description() const
{
    switch (m_kind) {
    case Kind::MissingField: return u"missing field \"%1\""_s.arg(m_key);
    case Kind::InvalidField: return u"invalid field \"%1\""_s.arg(m_key);
    case Kind::ExpectedObject: break;
    }
    return u"expected an object"_s;
}

// ---- record decoder (history pages) ----------------------------------------------------

SessionEvent SessionEvent::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionEvent e;
    e.type = json::string(value, u"type");
    e.seq = json::integer(value, u"seq");
    e.time = json::number(value, u"time");
    e.data = json::member(value, u"data");
    e.sourceEventSeqs = json::optField<std::vector<qint64>>(value, u"sourceEventSeqs");
    e.surfaceOp = json::optValue(value, u"surfaceOp");
    e.ignorable = json::optBoolean(value, u"ignorable");
    return e;
}

// ---- live decoder ----------------------------------------------------------------------

qint64 SessionEvent::requiredInt(QStringView key, const JSONValue &object)
{
    const JSONValue *v = object.find(key);
    if (!v)
        throw SessionEventValueError::missingField(key.toString());
    if (auto n = v->toInt())
        return *n;
    throw SessionEventValueError::invalidField(key.toString());
}

double SessionEvent::requiredDouble(QStringView key, const JSONValue &object)
{
    const JSONValue *v = object.find(key);
    if (!v)
        throw SessionEventValueError::missingField(key.toString());
    if (auto n = v->number(); n && std::isfinite(*n))
        return *n;
    throw SessionEventValueError::invalidField(key.toString());
}

std::optional<std::vector<qint64>> SessionEvent::optionalIntArray(QStringView key, const JSONValue &object)
{
    const JSONValue *v = object.find(key);
    if (!v || v->isNull())
        return std::nullopt;
    if (!v->isArray())
        throw SessionEventValueError::invalidField(key.toString());
    std::vector<qint64> out;
    out.reserve(size_t(v->size()));
    for (const auto &e : v->elements()) {
        auto n = e.toInt();
        if (!n)
            throw SessionEventValueError::invalidField(key.toString());
        out.push_back(*n);
    }
    return out;
}

std::optional<bool> SessionEvent::optionalBool(QStringView key, const JSONValue &object)
{
    const JSONValue *v = object.find(key);
    if (!v || v->isNull())
        return std::nullopt;
    if (auto b = v->boolean())
        return b;
    throw SessionEventValueError::invalidField(key.toString());
}

SessionEvent SessionEvent::fromLiveValue(const JSONValue &value)
{
    if (!value.isObject())
        throw SessionEventValueError::expectedObject();

    SessionEvent e;
    const JSONValue *type = value.find(u"type");
    if (!type)
        throw SessionEventValueError::missingField(u"type"_s);
    const QString *typeText = type->stringPtr();
    if (!typeText)
        throw SessionEventValueError::invalidField(u"type"_s);
    e.type = *typeText;

    e.seq = requiredInt(u"seq", value);
    e.time = requiredDouble(u"time", value);

    const JSONValue *data = value.find(u"data");
    if (!data)
        throw SessionEventValueError::missingField(u"data"_s);
    e.data = *data;

    e.sourceEventSeqs = optionalIntArray(u"sourceEventSeqs", value);
    if (const JSONValue *op = value.find(u"surfaceOp"); op && !op->isNull())
        e.surfaceOp = *op;
    e.ignorable = optionalBool(u"ignorable", value);
    return e;
}

// ---- history records -------------------------------------------------------------------

ToolEventView ToolEventView::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    ToolEventView v;
    v.for_ = json::string(value, u"for");
    v.view = json::member(value, u"view");
    return v;
}

HistoryEntry HistoryEntry::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    HistoryEntry h;
    h.event = json::field<SessionEvent>(value, u"event");
    h.view = json::optField<ToolEventView>(value, u"view");
    return h;
}

SessionHistoryValue SessionHistoryValue::fromJson(const JSONValue &value)
{
    json::expectObject(value);
    SessionHistoryValue page;
    page.events = json::field<std::vector<HistoryEntry>>(value, u"events");
    page.hasMore = json::boolean(value, u"hasMore");
    page.projections = json::optField<SessionProjectionsBlock>(value, u"projections");
    return page;
}

} // namespace nbd
