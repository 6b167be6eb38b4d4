// nbd-sim: the simulated host behind the host's own command line, so that launching,
// ready-line parsing, stopping and discovery are exercised with a real child process.
//
//   nbd-sim --profile web --port 0|N
//
// Listens on 127.0.0.1, prints "nbd web: http://127.0.0.1:<port>" on standard output when
// ready (and a line on standard error), serves the simulated host and exits cleanly on
// SIGTERM or SIGINT. Its "host.describe" reports the working directory it was started in.
//
// Environment switches for tests:
//   NBD_SIM_DEMO=1                serve a small demo world of workspaces and sessions
//   NBD_SIM_LARGE=1               with the demo world, a session of megabytes of tool output
//                                 and 10,000 todos
//   NBD_SIM_READY_DELAY_MS=N      wait N ms before the ready line (or the exit below)
//   NBD_SIM_EXIT_CODE=N           exit with status N instead of becoming ready
//   NBD_SIM_EXIT_SIGNAL=N         raise signal N instead of becoming ready
//   NBD_SIM_NEVER_READY=1         serve, but never print a ready line
//   NBD_SIM_IGNORE_SIGTERM=1      ignore SIGTERM (only SIGKILL ends it)
//   NBD_SIM_OUTPUT_LINES=N        print N numbered lines on standard output first
//   NBD_SIM_STDERR=TEXT           write TEXT to standard error first, as it is
//   NBD_SIM_READY_LINE=TEXT       print TEXT instead of the ready line, as it is, with
//                                 "{url}" replaced by the real base address
//   NBD_SIM_READY_SPLIT_AT=N      write the ready text in two pieces, the first N bytes
//                                 (a negative N: all but the last -N bytes),
//   NBD_SIM_SPLIT_PAUSE_MS=N      then after N ms (default 200) the rest

#include "SimDemoWorld.h"
#include "SimHost.h"
#include "SimWorld.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
}

void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return;
        done += n;
    }
}

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

int usage(const QString &problem)
{
    writeAll(STDERR_FILENO, (u"nbd-sim: "_s + problem + u"\nusage: nbd-sim --profile web --port <port>\n"_s).toUtf8());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    QString profile;
    int port = -1;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if ((arg == u"--profile"_s || arg == u"--port"_s) && i + 1 < args.size()) {
            const QString value = args.at(++i);
            if (arg == u"--profile"_s) {
                profile = value;
            } else {
                bool ok = false;
                port = value.toInt(&ok);
                if (!ok || port < 0 || port > 65535)
                    return usage(u"bad port: "_s + value);
            }
        } else {
            return usage(u"unknown argument: "_s + arg);
        }
    }
    if (profile != u"web"_s)
        return usage(u"only the web profile is simulated"_s);
    if (port < 0)
        return usage(u"--port is required"_s);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return 1;
    QSocketNotifier notifier(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const auto got = ::read(g_signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    if (qEnvironmentVariableIntValue("NBD_SIM_IGNORE_SIGTERM") != 0)
        ::signal(SIGTERM, SIG_IGN);
    else
        ::sigaction(SIGTERM, &action, nullptr);

    nbd::sim::SimHost host;
    // Like the real host, it reports the directory it was started in.
    const nbd::JSONValue defaults = nbd::sim::SimHost::defaultHostDescription();
    nbd::JSONValue::Members description;
    for (const nbd::JSONMember &member : defaults.members())
        description.emplace_back(member.key, member.key == u"cwd"_s ? nbd::JSONValue(QDir::currentPath()) : member.value);
    host.setHostDescription(nbd::JSONValue::object(std::move(description)));
    // NBD_SIM_DEMO=1: serve a small world of workspaces and sessions (demos, screenshots).
    const auto demo = qEnvironmentVariableIntValue("NBD_SIM_DEMO") ? nbd::sim::makeDemoWorld(&host) : nullptr;
    if (demo && qEnvironmentVariableIntValue("NBD_SIM_LARGE"))
        nbd::sim::addLargeDataSession(*demo);
    if (!host.listen(quint16(port))) {
        writeAll(STDERR_FILENO, QByteArrayLiteral("nbd-sim: cannot listen on 127.0.0.1\n"));
        return 1;
    }

    const int outputLines = envInt("NBD_SIM_OUTPUT_LINES", 0);
    for (int i = 1; i <= outputLines; ++i)
        writeAll(STDOUT_FILENO, (u"nbd-sim output line "_s + QString::number(i) + u'\n').toUtf8());
    if (qEnvironmentVariableIsSet("NBD_SIM_STDERR"))
        writeAll(STDERR_FILENO, qgetenv("NBD_SIM_STDERR"));

    const QString baseUrl = host.baseUrl().toString();
    auto becomeReady = [&] {
        if (qEnvironmentVariableIsSet("NBD_SIM_EXIT_SIGNAL")) {
            ::signal(envInt("NBD_SIM_EXIT_SIGNAL", SIGKILL), SIG_DFL);
            ::raise(envInt("NBD_SIM_EXIT_SIGNAL", SIGKILL));
            return;
        }
        if (qEnvironmentVariableIsSet("NBD_SIM_EXIT_CODE")) {
            std::fflush(nullptr);
            ::_exit(envInt("NBD_SIM_EXIT_CODE", 1));
        }
        if (qEnvironmentVariableIntValue("NBD_SIM_NEVER_READY") != 0)
            return;

        QByteArray ready = (u"nbd web: "_s + baseUrl + u'\n').toUtf8();
        if (qEnvironmentVariableIsSet("NBD_SIM_READY_LINE"))
            ready = qEnvironmentVariable("NBD_SIM_READY_LINE").replace(u"{url}"_s, baseUrl).toUtf8();
        int splitAt = envInt("NBD_SIM_READY_SPLIT_AT", 0);
        if (splitAt < 0)
            splitAt += int(ready.size());
        if (splitAt > 0 && splitAt < ready.size()) {
            writeAll(STDOUT_FILENO, ready.left(splitAt));
            const QByteArray rest = ready.mid(splitAt);
            QTimer::singleShot(envInt("NBD_SIM_SPLIT_PAUSE_MS", 200), &app, [rest] { writeAll(STDOUT_FILENO, rest); });
        } else {
            writeAll(STDOUT_FILENO, ready);
        }
        writeAll(STDERR_FILENO, (u"nbd-sim: serving the simulated host on "_s + baseUrl + u" (pid "_s
                                 + QString::number(QCoreApplication::applicationPid()) + u")\n"_s)
                                    .toUtf8());
    };
    const int delayMs = envInt("NBD_SIM_READY_DELAY_MS", 0);
    if (delayMs > 0)
        QTimer::singleShot(delayMs, &app, becomeReady);
    else
        becomeReady();

    const int status = app.exec();
    host.stop();
    return status;
}
