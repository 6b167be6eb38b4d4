#include "UI/Shared/StoreActions.h"

#include "Store/SessionDirectory.h"

namespace nbd {

namespace {

QCoro::Task<void> swallow(QCoro::Task<void> task)
{
    try {
        co_await std::move(task);
    } catch (...) {
    }
}

} // namespace

void startStoreTask(QCoro::Task<void> task) { swallow(std::move(task)); }

void startCreateSession(SessionDirectory *directory)
{
    if (directory)
        startStoreTask(directory->createSession(std::nullopt, std::nullopt));
}

} // namespace nbd
