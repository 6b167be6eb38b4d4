#include "Base/WorkPool.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace nbd {

QThreadPool *workPool()
{
    static QThreadPool pool;
    // Drained where Qt drains its own pool, as the application object goes: no work is left
    // running while what it may use is torn down.
    static const bool drainedAtExit = [] {
        qAddPostRoutine([] { pool.waitForDone(); });
        return true;
    }();
    Q_UNUSED(drainedAtExit);
    return &pool;
}

} // namespace nbd
