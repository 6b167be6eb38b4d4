#include "UI/StoreActions.h"

#include "Store/AppModel.h"

#include <QPointer>

namespace nbd {

namespace {

QCoro::Task<void> createSessionTask(QPointer<AppModel> model)
{
    // The store reports its own failures; anything escaping a detached task would be lost.
    try {
        if (model)
            co_await model->createSession(std::nullopt, std::nullopt);
    } catch (...) {
    }
}

} // namespace

void startCreateSession(AppModel *appModel)
{
    if (!appModel)
        return;
    createSessionTask(QPointer<AppModel>(appModel));
}

} // namespace nbd
