// The cost of the "Deep diving..." status line while it is shown: the share of one core the
// process uses over 5 s with the sweep running in a window (offscreen), started the way the
// application starts.
//
//   status.shimmer_cpu_pct   process CPU time / wall time over 5 s, in percent
//   status.shimmer_frames    repaints of the status line in that time

#include "WidgetBenchSupport.h"
#include "UI/Shared/DeepDivingStatusView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <ctime>

using namespace nbd;

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    bench::StartedApplication<> app(argc, argv);

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *status = new DeepDivingStatusView(&window);
    layout->addWidget(status);
    layout->addStretch(1);
    window.resize(720, 200);
    window.show();
    PaintCounter counter;
    status->installEventFilter(&counter);

    // Settle first, then measure.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    counter.paints = 0;
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(5000, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = processCpuSeconds() - cpu0;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    std::printf("status.shimmer_cpu_pct: %.2f\n", 100.0 * cpu / seconds);
    std::printf("status.shimmer_frames: %d\n", counter.paints);
    return status->isAnimating() ? 0 : 1;
}
