#pragma once

#include "Wire/JSONValue.h"
#include "Wire/WireClient.h"
#include "Wire/WireErrors.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <exception>
#include <memory>
#include <optional>

namespace nbd {

// The store's one error banner: the transient text every action reports its failure to.
class StoreErrors : public QObject
{
    Q_OBJECT
public:
    // storeAlive: the store's token; a call that resumes after the store went away reports
    // nothing and gives nothing.
    explicit StoreErrors(std::weak_ptr<const bool> storeAlive, QObject *parent = nullptr);

    const std::optional<QString> &transientError() const { return m_transientError; }
    void setTransientError(std::optional<QString> value);
    void dismissTransientError() { setTransientError(std::nullopt); }
    // For a view's own failure after the user confirmed an action (a file that could not be
    // written): shown in the same banner as the store's errors.
    void showTransientError(const QString &message) { setTransientError(message); }
    // Sets transientError to the prefix followed by the failure's description.
    void reportFailure(const QString &prefix, std::exception_ptr error);
    // The host's "stream/error" frame: its error as "<code>: <message>"; a payload without a
    // readable error changes nothing.
    void reportStreamError(const JSONValue &payload);

    // Calls `method`; a failure becomes the transient error `failurePrefix` + its
    // description. Gives nothing when the call failed or the store went away meanwhile, so
    // a caller that gets a value may touch the store at once.
    template<class T>
    QCoro::Task<std::optional<T>> callReporting(WireClient client, QString method, JSONValue payload,
                                                QString failurePrefix);

Q_SIGNALS:
    void transientErrorChanged();

private:
    std::weak_ptr<const bool> m_storeAlive;
    std::optional<QString> m_transientError;
};

template<class T>
QCoro::Task<std::optional<T>> StoreErrors::callReporting(WireClient client, QString method, JSONValue payload,
                                                         QString failurePrefix)
{
    QPointer<StoreErrors> self(this);
    const std::weak_ptr<const bool> alive = m_storeAlive;
    std::optional<T> reply;
    std::exception_ptr failure;
    try {
        reply = co_await client.call<T>(method, payload);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired() || !self)
        co_return std::nullopt;
    if (failure)
        reportFailure(failurePrefix, failure);
    co_return reply;
}

} // namespace nbd
