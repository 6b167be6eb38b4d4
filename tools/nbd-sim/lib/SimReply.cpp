// The answers a script gives the simulated host: values, errors, raw bodies and the faults
// (never, dropped, late, trickled) tests provoke.
#include "SimHost.h"

using namespace Qt::StringLiterals;

namespace nbd::sim {

Reply Reply::value(JSONValue value)
{
    Reply r;
    r.m_kind = Kind::Value;
    r.m_value = std::move(value);
    return r;
}

Reply Reply::error(QString code, QString message, JSONValue details)
{
    Reply r;
    r.m_kind = Kind::Error;
    r.m_code = std::move(code);
    r.m_message = std::move(message);
    r.m_details = std::move(details);
    return r;
}

Reply Reply::status(int httpStatus, QByteArray body)
{
    Reply r;
    r.m_kind = Kind::Status;
    r.m_status = httpStatus;
    r.m_body = std::move(body);
    return r;
}

Reply Reply::raw(QByteArray body, int status)
{
    Reply r;
    r.m_kind = Kind::Raw;
    r.m_status = status;
    r.m_body = std::move(body);
    return r;
}

Reply Reply::never()
{
    Reply r;
    r.m_kind = Kind::Never;
    return r;
}

Reply Reply::drop()
{
    Reply r;
    r.m_kind = Kind::Drop;
    return r;
}

Reply Reply::delayed(int ms) const
{
    Reply r = *this;
    r.m_delayMs = ms;
    return r;
}

Reply Reply::trickled(int pieces, int intervalMs) const
{
    Reply r = *this;
    r.m_tricklePieces = pieces;
    r.m_trickleIntervalMs = intervalMs;
    return r;
}

Reply Reply::withContentType(QByteArray contentType) const
{
    Reply r = *this;
    r.m_contentType = std::move(contentType);
    return r;
}

} // namespace nbd::sim
