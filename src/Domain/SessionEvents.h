#pragma once

#include "Wire/JSONValue.h"
#include "Wire/WireErrors.h"

#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace nbd {

// The host's projected values of one session ("title" and others), as of event "asOfSeq".
struct SessionProjectionsBlock
{
    qint64 asOfSeq = 0;
    std::map<QString, JSONValue, std::less<>> values;

    static SessionProjectionsBlock fromJson(const JSONValue &value);

    bool operator==(const SessionProjectionsBlock &) const = default;
};

// Why a live event value could not be read: the first member that failed, by key.
class SessionEventValueError : public Error
{
public:
    enum class Kind { MissingField, InvalidField, ExpectedObject };

    static SessionEventValueError missingField(QString key) { return {Kind::MissingField, std::move(key)}; }
    static SessionEventValueError invalidField(QString key) { return {Kind::InvalidField, std::move(key)}; }
    static SessionEventValueError expectedObject() { return {Kind::ExpectedObject, {}}; }

    Kind kind() const { return m_kind; }
    // The failing member's key; empty for ExpectedObject.
    const QString &key() const { return m_key; }
    QString description() const override;

    bool operator==(const SessionEventValueError &other) const
    {
        return m_kind == other.m_kind && m_key == other.m_key;
    }

private:
    SessionEventValueError(Kind kind, QString key) : m_kind(kind), m_key(std::move(key)) {}

    Kind m_kind;
    QString m_key;
};

// One event of a session's log.
struct SessionEvent
{
    QString type;
    qint64 seq = 0;
    double time = 0; // carried as the host sends it
    JSONValue data;  // any value, null included
    std::optional<std::vector<qint64>> sourceEventSeqs;
    std::optional<JSONValue> surfaceOp;
    std::optional<bool> ignorable;

    // History pages: the strict record decoder (throws DecodingError).
    static SessionEvent fromJson(const JSONValue &value);
    // Live "session/event" frames: throws SessionEventValueError for the first member that
    // fails, checked in a fixed order.
    static SessionEvent fromLiveValue(const JSONValue &value);

    bool operator==(const SessionEvent &) const = default;

private:
    static qint64 requiredInt(QStringView key, const JSONValue &object);
    static double requiredDouble(QStringView key, const JSONValue &object);
    static std::optional<std::vector<qint64>> optionalIntArray(QStringView key, const JSONValue &object);
    static std::optional<bool> optionalBool(QStringView key, const JSONValue &object);
};

// The host's presentation of a tool event.
struct ToolEventView
{
    QString for_;   // JSON key "for": what the view belongs to, carried uninterpreted
    JSONValue view; // required key; null is a value

    static ToolEventView fromJson(const JSONValue &value);

    bool operator==(const ToolEventView &) const = default;
};

// One entry of a history page.
struct HistoryEntry
{
    SessionEvent event;
    std::optional<ToolEventView> view;

    static HistoryEntry fromJson(const JSONValue &value);

    bool operator==(const HistoryEntry &) const = default;
};

// One page of history ("session.history", "subagent.history"), oldest entry first.
struct SessionHistoryValue
{
    std::vector<HistoryEntry> events;
    bool hasMore = false;
    std::optional<SessionProjectionsBlock> projections;

    static SessionHistoryValue fromJson(const JSONValue &value);

    bool operator==(const SessionHistoryValue &) const = default;
};

} // namespace nbd
