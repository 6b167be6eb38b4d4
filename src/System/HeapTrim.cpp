#include "System/HeapTrim.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace nbd {

namespace {
// Long enough for the deletions asked for by then to have run (they wait for the event loop),
// and to make one trim of a burst of collapses or of a scroll.
constexpr int kDelayMs = 250;
} // namespace

void HeapTrim::soon()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    static QPointer<QTimer> timer;
    if (!timer) {
        timer = new QTimer(app);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(kDelayMs);
        QObject::connect(timer, &QTimer::timeout, app, &HeapTrim::now);
    }
    if (!timer->isActive())
        timer->start();
}

void HeapTrim::now()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace nbd
