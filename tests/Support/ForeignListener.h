#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <csignal>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>

namespace nbd::test {

// A TCP listener owned by another user (uid and gid 65534): a forked child that drops its
// ids, listens, and reports the first byte of every connection it accepts (or 'e' for one
// closed before it sent anything) through a pipe. Needs root. After fork the child makes
// system calls only, as a child of a threaded process must.
class ForeignListener
{
public:
    static constexpr uid_t kUid = 65534;

    // bindAddress: "127.0.0.1", "0.0.0.0", "::", "::1", "::ffff:127.0.0.1"; port 0 for any.
    explicit ForeignListener(const QString &bindAddress, quint16 port = 0)
    {
        sockaddr_storage address = {};
        socklen_t length = 0;
        const QByteArray text = bindAddress.toLatin1();
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
        if (::inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            length = sizeof(sockaddr_in);
        } else if (::inet_pton(AF_INET6, text.constData(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            length = sizeof(sockaddr_in6);
        } else {
            return;
        }
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            serve(fds[1], address, length);
        }
        ::close(fds[1]);
        if (m_pid < 0)
            return;
        m_report = fds[0];
        quint16 bound = 0;
        if (readFully(&bound, sizeof bound) && bound != 0)
            m_port = bound;
    }

    ~ForeignListener()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_report >= 0)
            ::close(m_report);
    }

    ForeignListener(const ForeignListener &) = delete;
    ForeignListener &operator=(const ForeignListener &) = delete;

    // 0 when the child could not listen.
    quint16 port() const { return m_port; }

    // The first bytes of the connections accepted so far, in order. A marker connection made
    // here goes last in the listener's queue: once its byte comes back, every connection made
    // before it has been reported. Nothing when the listener is gone.
    std::optional<QByteArray> connectionsSoFar(const QHostAddress &via)
    {
        QTcpSocket marker;
        marker.connectToHost(via, m_port);
        if (!marker.waitForConnected(10000))
            return std::nullopt;
        marker.write("M");
        if (!marker.waitForBytesWritten(10000))
            return std::nullopt;
        QByteArray seen;
        char byte = 0;
        while (readFully(&byte, 1)) {
            if (byte == 'M')
                return seen;
            seen.append(byte);
        }
        return std::nullopt;
    }

private:
    [[noreturn]] static void serve(int report, const sockaddr_storage &address, socklen_t length)
    {
        const gid_t gid = gid_t(kUid);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(kUid, kUid, kUid) != 0)
            ::_exit(1);
        const int family = address.ss_family;
        const int listener = ::socket(family, SOCK_STREAM, 0);
        const int on = 1;
        const int off = 0;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (family == AF_INET6)
            ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr *>(&address), length) != 0
            || ::listen(listener, 64) != 0)
            ::_exit(1);
        sockaddr_storage bound = {};
        socklen_t boundLength = sizeof bound;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &boundLength);
        const quint16 port = ntohs(family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&bound)->sin6_port
                                                      : reinterpret_cast<const sockaddr_in *>(&bound)->sin_port);
        if (::write(report, &port, sizeof port) != sizeof port)
            ::_exit(1);
        for (;;) {
            const int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0)
                continue;
            char first = 'e';
            if (::read(connection, &first, 1) != 1)
                first = 'e';
            ::close(connection);
            if (::write(report, &first, 1) != 1)
                ::_exit(1);
        }
    }

    bool readFully(void *data, size_t size)
    {
        auto *bytes = static_cast<char *>(data);
        while (size > 0) {
            const ssize_t n = ::read(m_report, bytes, size);
            if (n <= 0)
                return false;
            bytes += n;
            size -= size_t(n);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_report = -1;
    quint16 m_port = 0;
};

} // namespace nbd::test
