#include "UI/Shared/StoreActions.h"

#include "Store/AppModel.h"

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

void startCreateSession(AppModel *appModel)
{
    if (appModel)
        startStoreTask(appModel->sessions()->createSession(std::nullopt, std::nullopt));
}

} // namespace nbd
