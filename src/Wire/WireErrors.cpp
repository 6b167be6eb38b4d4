#include "Wire/WireErrors.h"

namespace nbd {

const char *Error::what() const noexcept
{
    if (m_what.isEmpty())
        m_what = description().toUtf8();
    return m_what.constData();
}

QString WireTransportError::underlyingDescription() const
{
    return m_underlying ? describeError(m_underlying) : QString();
}

QString describeError(const std::exception &error)
{
    if (const auto *e = dynamic_cast<const Error *>(&error))
        return e->description();
    return QString::fromUtf8(error.what());
}

QString describeError(std::exception_ptr error)
{
    if (!error)
        return QString();
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return describeError(e);
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

} // namespace nbd
