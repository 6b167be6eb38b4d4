// Host launch and connection timings, each the median of a few runs:
//   host.launch_ms     start() until the phase is running, with nbd-sim as the host
//   host.connect_ms    connectTo() until the phase is ready, against the simulated host
//   host.reconnect_ms  the host drops and restarts on the same port until ready again
//                      (the fixed 1.5 s pause included)

#include "SimHost.h"
#include "Connection/ConnectionController.h"
#include "Connection/NBDProcessManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

bool spinUntil(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// Milliseconds with one decimal, whatever the locale.
void print(const char *name, double ms) { std::printf("%s: %s\n", name, QByteArray::number(ms, 'f', 1).constData()); }

double msSince(const QElapsedTimer &timer) { return double(timer.nsecsElapsed()) / 1e6; }

QString simExecutable()
{
    const QString fromEnv = qEnvironmentVariable("NBD_SIM_EXE");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"../tools/nbd-sim/nbd-sim"_s);
}

double launchOnce(const QString &sim)
{
    NBDProcessManager manager;
    manager.setFixedLocations({});
    QElapsedTimer timer;
    double elapsed = -1;
    QObject::connect(&manager, &NBDProcessManager::phaseChanged, &manager, [&] {
        if (manager.phase().kind == NBDProcessManager::Phase::Kind::Running && elapsed < 0)
            elapsed = msSince(timer);
    });
    timer.start();
    manager.start(QDir::homePath(), sim);
    const bool ready = spinUntil([&] { return elapsed >= 0; }, 60000);
    manager.stopAndWait();
    return ready ? elapsed : -1;
}

double connectOnce(sim::SimHost &host)
{
    ConnectionController controller;
    QElapsedTimer timer;
    timer.start();
    controller.connectTo(host.baseUrl());
    const bool ready = spinUntil([&] { return controller.phase().isConnected(); }, 60000);
    const double elapsed = msSince(timer);
    controller.disconnect();
    return ready ? elapsed : -1;
}

double reconnectOnce()
{
    sim::SimHost host;
    if (!host.listen())
        return -1;
    ConnectionController controller;
    controller.connectTo(host.baseUrl());
    if (!spinUntil([&] {
            return controller.phase().isConnected() && host.connectedCount(sim::Stream::Mux) == 1
                   && host.connectedCount(sim::Stream::Host) == 1;
        }, 60000))
        return -1;

    bool dropped = false;
    double elapsed = -1;
    QElapsedTimer timer;
    QObject::connect(&controller, &ConnectionController::phaseChanged, &controller, [&] {
        if (controller.phase().kind() == ConnectionPhase::Kind::Reconnecting)
            dropped = true;
        else if (dropped && controller.phase().isConnected() && elapsed < 0)
            elapsed = msSince(timer);
    });
    timer.start();
    host.stop();
    if (!host.listenAgain())
        return -1;
    spinUntil([&] { return elapsed >= 0; }, 60000);
    controller.disconnect();
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString sim = simExecutable();
    if (!QFileInfo(sim).isExecutable()) {
        std::fprintf(stderr, "nbd-sim not found at %s (set NBD_SIM_EXE)\n", qPrintable(sim));
        return 1;
    }

    std::vector<double> launches;
    for (int i = 0; i < 5; ++i)
        launches.push_back(launchOnce(sim));
    print("host.launch_ms", median(launches));

    sim::SimHost host;
    if (!host.listen())
        return 1;
    std::vector<double> connects;
    for (int i = 0; i < 5; ++i)
        connects.push_back(connectOnce(host));
    print("host.connect_ms", median(connects));

    std::vector<double> reconnects;
    for (int i = 0; i < 3; ++i)
        reconnects.push_back(reconnectOnce());
    print("host.reconnect_ms", median(reconnects));
    return 0;
}
