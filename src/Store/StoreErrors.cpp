#include "Store/StoreErrors.h"

#include "Base/LogCategories.h"
#include "Store/FieldAssign.h"

using namespace Qt::StringLiterals;

namespace nbd {

StoreErrors::StoreErrors(std::weak_ptr<const bool> storeAlive, QObject *parent)
    : QObject(parent)
    , m_storeAlive(std::move(storeAlive))
{
}

void StoreErrors::setTransientError(std::optional<QString> value)
{
    if (assignChanged(m_transientError, std::move(value))) {
        if (m_transientError)
            qCInfo(lcStore).noquote() << "error shown:" << m_transientError->left(300);
        Q_EMIT transientErrorChanged();
    }
}

void StoreErrors::reportFailure(const QString &prefix, std::exception_ptr error)
{
    setTransientError(prefix + describeError(error));
}

void StoreErrors::reportStreamError(const JSONValue &payload)
{
    const JSONValue *errorValue = payload.find(u"error");
    if (!errorValue)
        return;
    try {
        const RpcError error = RpcError::fromJson(*errorValue);
        setTransientError(error.code + u": "_s + error.message);
    } catch (...) {
    }
}

} // namespace nbd
