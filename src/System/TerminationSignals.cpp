#include "System/TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nbd {

namespace {

int g_pipe[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const auto written = ::write(g_pipe[1], &byte, 1);
}

} // namespace

TerminationSignals *TerminationSignals::install()
{
    static TerminationSignals *instance = nullptr;
    if (instance)
        return instance;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0)
        return nullptr;
    // A full buffer must never block the handler.
    ::fcntl(g_pipe[1], F_SETFL, ::fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    ::fcntl(g_pipe[0], F_SETFL, ::fcntl(g_pipe[0], F_GETFL) | O_NONBLOCK);
    instance = new TerminationSignals(g_pipe[0]);
    instance->setParent(QCoreApplication::instance());

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    // Closing the terminal the app was started from hangs it up: quit the same way.
    ::sigaction(SIGHUP, &action, nullptr);
    return instance;
}

TerminationSignals::TerminationSignals(int readFd)
    : m_notifier(new QSocketNotifier(readFd, QSocketNotifier::Read, this))
    , m_readFd(readFd)
{
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);
}

void TerminationSignals::readPending()
{
    unsigned char byte = 0;
    while (::read(m_readFd, &byte, 1) == 1)
        Q_EMIT terminationRequested(int(byte));
}

} // namespace nbd
