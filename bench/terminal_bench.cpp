// Figures of the workspace terminal under a command that floods its output (`yes`), run by a
// real shell: first the terminal model alone, then the model with its dock shown.
//
//   terminal.flood_rss_growth_mb       peak growth of the resident set while 200 MB of output
//                                      go through the model
//   terminal.flood_records_kept        records the model holds afterwards
//   terminal.flood_mb_per_s            output read by the model per second
//   terminal.dock_flood_rss_growth_mb  the same flood with the dock shown
//   terminal.dock_flood_max_block_ms   longest the event loop did not turn during that flood
//   terminal.dock_lines_shown          lines the dock's output holds afterwards
//
// An optional argument gives the flood's size in MB (200 by default).

#include "Store/WorkspaceTerminalModel.h"
#include "UI/Tools/WorkspaceTerminalDock.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace nbd;
using namespace Qt::StringLiterals;

namespace {

double residentMB()
{
    QFile statm(u"/proc/self/statm"_s);
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * double(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

void print(const char *name, double value, int decimals)
{
    std::printf("%s: %s\n", name, QByteArray::number(value, 'f', decimals).constData());
    std::fflush(stdout);
}

struct FloodResult
{
    double peakGrowthMB = 0;
    double seconds = 0;
    double maxBlockMs = 0;
};

// Runs the flood through the model and waits for its end, sampling the resident set as
// records arrive and timing the gaps between turns of the event loop.
FloodResult flood(WorkspaceTerminalModel &model, qint64 megabytes)
{
    ::malloc_trim(0);
    const double before = residentMB();
    double peak = before;
    int appends = 0;
    auto sample = QObject::connect(&model, &WorkspaceTerminalModel::recordsChanged, [&] {
        if (++appends % 32 == 0)
            peak = std::max(peak, residentMB());
    });

    QElapsedTimer sinceBeat;
    double maxGap = 0;
    QTimer beat;
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        maxGap = std::max(maxGap, double(sinceBeat.nsecsElapsed()) / 1e6);
        sinceBeat.restart();
    });

    QElapsedTimer t;
    t.start();
    sinceBeat.start();
    beat.start();
    model.execute(u"yes | head -c %1"_s.arg(megabytes * 1024 * 1024));
    while (model.isRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    beat.stop();
    QObject::disconnect(sample);
    FloodResult result;
    result.seconds = double(t.nsecsElapsed()) / 1e9;
    result.peakGrowthMB = std::max(peak, residentMB()) - before;
    result.maxBlockMs = maxGap;
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    {
        WorkspaceTerminalModel model(QUrl::fromLocalFile(QDir::tempPath()));
        model.setShell(u"/bin/sh"_s);
        const FloodResult result = flood(model, megabytes);
        print("terminal.flood_rss_growth_mb", result.peakGrowthMB, 1);
        print("terminal.flood_records_kept", double(model.records().size()), 0);
        print("terminal.flood_mb_per_s", double(megabytes) / result.seconds, 0);
    }

    QWidget window;
    window.resize(900, 320);
    auto *model = new WorkspaceTerminalModel(QUrl::fromLocalFile(QDir::tempPath()), &window);
    model->setShell(u"/bin/sh"_s);
    auto *dock = new WorkspaceTerminalDock(model, {}, &window);
    auto *layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(dock);
    window.show();
    QCoreApplication::processEvents();
    const FloodResult result = flood(*model, megabytes);
    // What is still queued is written in its batches.
    QElapsedTimer drain;
    drain.start();
    while (drain.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    print("terminal.dock_flood_rss_growth_mb", result.peakGrowthMB, 1);
    print("terminal.dock_flood_max_block_ms", result.maxBlockMs, 1);
    print("terminal.dock_lines_shown",
          double(dock->findChild<QPlainTextEdit *>(u"workspace-terminal-output"_s)->document()->blockCount()), 0);
    return 0;
}
