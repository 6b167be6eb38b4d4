#include "Connection/ProcessGroupWatchdog.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

#include <cstdint>
#include <set>

namespace nbd::ProcessGroupWatchdog {

namespace {

// One message from the application: add or remove a group.
struct Message
{
    std::int32_t add = 0;
    std::int32_t group = 0;
};

int s_socket = -1;
pid_t s_pid = 0;
std::set<qint64> s_groups;

// ---- The watchdog process ---------------------------------------------------------------
// It is forked from a process with many threads: from the fork on, only async-signal-safe
// calls, no allocation, no locks, no Qt.

constexpr int kMaxGroups = 4096;
pid_t s_watched[kMaxGroups];
int s_watchedCount = 0;

void closeOtherDescriptors(int keep)
{
    auto closeRange = [](unsigned first, unsigned last) {
        if (first > last)
            return;
#ifdef SYS_close_range
        if (::syscall(SYS_close_range, first, last, 0) == 0)
            return;
#endif
        rlimit limit {};
        rlim_t end = 65536;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            end = limit.rlim_cur;
        for (rlim_t fd = first; fd <= last && fd < end; ++fd)
            ::close(int(fd));
    };
    closeRange(3, unsigned(keep) - 1);
    closeRange(unsigned(keep) + 1, ~0U);
}

long long monotonicMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool anyGroupLeft()
{
    for (int i = 0; i < s_watchedCount; ++i)
        if (::kill(-s_watched[i], 0) == 0)
            return true;
    return false;
}

[[noreturn]] void endGroupsAndExit()
{
    for (int i = 0; i < s_watchedCount; ++i)
        ::kill(-s_watched[i], SIGTERM);
    const long long deadline = monotonicMs() + kGraceMs;
    // The groups are no children of the watchdog: nothing to wait on but their absence.
    while (anyGroupLeft() && monotonicMs() < deadline) {
        const timespec step {0, 20 * 1000 * 1000};
        ::nanosleep(&step, nullptr);
    }
    for (int i = 0; i < s_watchedCount; ++i)
        ::kill(-s_watched[i], SIGKILL);
    ::_exit(0);
}

void apply(const Message &message)
{
    if (message.group <= 0)
        return;
    for (int i = 0; i < s_watchedCount; ++i) {
        if (s_watched[i] != message.group)
            continue;
        if (!message.add)
            s_watched[i] = s_watched[--s_watchedCount];
        return;
    }
    if (message.add && s_watchedCount < kMaxGroups)
        s_watched[s_watchedCount++] = message.group;
}

[[noreturn]] void runWatchdog(int socket)
{
    // Out of the application's group: a terminal's Ctrl+C or a signal to that group does not
    // end the watchdog before the application.
    ::setpgid(0, 0);
    // The application's handlers write into descriptors the watchdog does not have.
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP)
            continue;
        const bool ignored = signal == SIGINT || signal == SIGHUP || signal == SIGQUIT || signal == SIGPIPE
                             || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
        action.sa_handler = ignored ? SIG_IGN : SIG_DFL;
        ::sigaction(signal, &action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_NAME, "nbd-watchdog", 0, 0, 0);

    if (socket < 3)
        socket = ::fcntl(socket, F_DUPFD, 3);
    if (socket < 0)
        ::_exit(1);
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3 && null >= 0; ++fd)
        if (null != fd)
            ::dup2(null, fd);
    closeOtherDescriptors(socket);

    char buffer[sizeof(Message) * 64];
    std::size_t held = 0;
    for (;;) {
        const ssize_t n = ::read(socket, buffer + held, sizeof(buffer) - held);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            endGroupsAndExit(); // the application's end is closed: it has gone
        held += std::size_t(n);
        std::size_t used = 0;
        for (; held - used >= sizeof(Message); used += sizeof(Message)) {
            Message message;
            __builtin_memcpy(&message, buffer + used, sizeof(Message));
            apply(message);
        }
        for (std::size_t i = used; i < held; ++i)
            buffer[i - used] = buffer[i];
        held -= used;
    }
}

// ---- The application's side ------------------------------------------------------------

bool send(const Message &message)
{
    if (s_socket < 0)
        return false;
    const char *data = reinterpret_cast<const char *>(&message);
    std::size_t sent = 0;
    while (sent < sizeof(Message)) {
        const ssize_t n = ::send(s_socket, data + sent, sizeof(Message) - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

void dropWatchdog()
{
    if (s_socket >= 0)
        ::close(s_socket);
    s_socket = -1;
    if (s_pid > 0)
        ::waitpid(s_pid, nullptr, WNOHANG);
    s_pid = 0;
}

bool watchdogGone()
{
    if (s_pid <= 0)
        return true;
    const pid_t waited = ::waitpid(s_pid, nullptr, WNOHANG);
    return waited == s_pid || (waited < 0 && errno == ECHILD && ::kill(s_pid, 0) != 0);
}

} // namespace

bool ensureRunning()
{
    if (s_pid > 0 && !watchdogGone())
        return true;
    dropWatchdog();
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        runWatchdog(ends[1]);
    }
    ::close(ends[1]);
    if (child < 0) {
        ::close(ends[0]);
        return false;
    }
    s_socket = ends[0];
    s_pid = child;
    for (const qint64 group : s_groups)
        send({1, std::int32_t(group)});
    return true;
}

void watch(qint64 group)
{
    if (group <= 0)
        return;
    s_groups.insert(group);
    // A watchdog that has gone is replaced, and told of every group again.
    if (!send({1, std::int32_t(group)}))
        ensureRunning();
}

void forget(qint64 group)
{
    if (group <= 0 || s_groups.erase(group) == 0)
        return;
    send({0, std::int32_t(group)});
}

} // namespace nbd::ProcessGroupWatchdog
