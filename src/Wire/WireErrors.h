#pragma once

#include "Wire/JSONValue.h"

#include <QString>

#include <exception>
#include <memory>
#include <optional>

namespace nbd {

// Base of every error the wire and record layers throw. description() is the text
// callers show (the store prefixes its own action text).
class Error : public std::exception
{
public:
    virtual QString description() const = 0;
    const char *what() const noexcept override;

private:
    mutable QByteArray m_what;
};

// A value that should carry data carries none (a NaN payload, a missing result value).
class WireDecodeError : public Error
{
public:
    enum class Kind { EmptyValue };
    explicit WireDecodeError(Kind kind = Kind::EmptyValue) : m_kind(kind) {}
    static WireDecodeError emptyValue() { return WireDecodeError(Kind::EmptyValue); }
    Kind kind() const { return m_kind; }
    QString description() const override { return QStringLiteral("emptyValue"); }
    bool operator==(const WireDecodeError &other) const { return m_kind == other.m_kind; }

private:
    Kind m_kind;
};

// JSON text that does not parse, or a value whose shape does not fit the record wanted.
// The message names the key or the position that failed.
class DecodingError : public Error
{
public:
    explicit DecodingError(QString message) : m_message(std::move(message)) {}
    QString description() const override { return m_message; }

private:
    QString m_message;
};

// A host-side error carried in a reply or a frame: shown as "<code>: <message>".
class RpcError : public Error
{
public:
    RpcError() = default;
    RpcError(QString code, QString message, JSONValue details = {})
        : code(std::move(code)), message(std::move(message)), details(std::move(details)) {}
    static RpcError fromJson(const JSONValue &value); // throws DecodingError
    QString description() const override { return code + QStringLiteral(": ") + message; }
    bool operator==(const RpcError &other) const
    {
        return code == other.code && message == other.message && details == other.details;
    }

    QString code;
    QString message;
    JSONValue details;
};

// The client's own transport failures, with English messages naming the method.
class WireTransportError : public Error
{
public:
    explicit WireTransportError(QString message, std::exception_ptr underlying = {})
        : m_message(std::move(message)), m_underlying(std::move(underlying)) {}
    QString description() const override { return m_message; }
    const QString &message() const { return m_message; }
    std::exception_ptr underlying() const { return m_underlying; }
    // The underlying error's description, when it is one of ours.
    QString underlyingDescription() const;

private:
    QString m_message;
    std::exception_ptr m_underlying;
};

// The host refused an answer to one of its requests; `reason()` tells a request it had
// settled already (another surface answered first) from any other refusal.
class RespondRejectedError : public WireTransportError
{
public:
    enum class Reason { AlreadyAnswered, Other };

    // hostReason: the reply's "reason", when it was a string.
    explicit RespondRejectedError(std::optional<QString> hostReason)
        : WireTransportError(QStringLiteral("respond rejected: ") + hostReason.value_or(QStringLiteral("unknown")))
        , m_reason(hostReason == QStringLiteral("already answered") ? Reason::AlreadyAnswered : Reason::Other)
    {
    }
    Reason reason() const { return m_reason; }

private:
    Reason m_reason;
};

// An operation stopped because its caller cancelled it.
class CancellationError : public Error
{
public:
    QString description() const override { return QStringLiteral("cancelled"); }
};

// A transfer failure of the network layer, as the platform describes it.
class NetworkError : public Error
{
public:
    NetworkError(int code, QString text) : m_code(code), m_text(std::move(text)) {}
    int code() const { return m_code; }
    QString description() const override { return m_text; }

private:
    int m_code;
    QString m_text;
};

// Description of any exception, for messages built from a caught error.
QString describeError(const std::exception &error);
QString describeError(std::exception_ptr error);

} // namespace nbd
