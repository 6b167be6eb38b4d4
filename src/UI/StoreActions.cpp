#include "UI/StoreActions.h"

#include "Store/AppModel.h"

#include <QDebug>
#include <QPointer>

#include <exception>

namespace nbd {

namespace {

// Compiles against the store as it is: the call is made once the store offers the action.
template<typename Model>
QCoro::Task<void> createSessionTask(QPointer<Model> model)
{
    if constexpr (requires(Model &m) { m.createSession(std::optional<QString>(), std::optional<QString>()); }) {
        try {
            if (model)
                co_await model->createSession(std::nullopt, std::nullopt);
        } catch (const std::exception &error) {
            qWarning("new session failed: %s", error.what());
        } catch (...) {
            qWarning("new session failed");
        }
    } else {
        qWarning("new session: the store cannot create sessions yet");
    }
    co_return;
}

} // namespace

void startCreateSession(AppModel *appModel)
{
    if (!appModel)
        return;
    createSessionTask(QPointer<AppModel>(appModel));
}

} // namespace nbd
