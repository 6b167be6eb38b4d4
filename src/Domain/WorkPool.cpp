#include "Domain/WorkPool.h"

#include <QThreadPool>

namespace nbd {

QThreadPool *workPool()
{
    static QThreadPool pool;
    return &pool;
}

} // namespace nbd
