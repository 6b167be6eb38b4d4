#pragma once

#include <QDateTime>
#include <QEvent>
#include <QWindow>

#include <cstdio>

namespace nbd {

// Prints the wall-clock time at which the watched window was first exposed, for the start-up
// benchmark (bench/app_start). Header-only, so that the benchmark's plain Widgets floor
// reports the same moment the same way without linking any of the application.
class ExposeReporter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            auto *window = static_cast<QWindow *>(watched);
            if (window->isExposed()) {
                std::printf("window_exposed_epoch_ms: %lld\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
                std::fflush(stdout);
                window->removeEventFilter(this);
            }
        }
        return false;
    }
};

} // namespace nbd
