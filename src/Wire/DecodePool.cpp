#include "Wire/DecodePool.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace nbd {

QThreadPool *decodePool()
{
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setMaxThreadCount(2);
        pool.setExpiryTimeout(30000);
        // Drained as the application object goes: no decode is left running while what it
        // reports to is torn down.
        qAddPostRoutine([] { pool.waitForDone(); });
        return true;
    }();
    Q_UNUSED(configured);
    return &pool;
}

} // namespace nbd
