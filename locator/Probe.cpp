#include "Probe.h"

#include <QString>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace locator {
namespace {

class UniqueFd
{
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

} // namespace

bool IsDottedIPv4(const QString& address)
{
    in_addr parsed{};
    return inet_pton(AF_INET, address.toLatin1().constData(), &parsed) == 1;
}

bool IsServerReachable(const QByteArray& address, quint16 port, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    // inet_pton takes only the four-part dotted form: no name lookup, no "127.1" shorthands.
    if (inet_pton(AF_INET, address.constData(), &peer.sin_addr) != 1)
        return false;

    const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return false;

    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;

    const auto deadline = Clock::now() + timeout;
    pollfd wait{socket.get(), POLLOUT, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready =
            ::poll(&wait, 1, int(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
        if (ready > 0)
            break;
        if (ready == 0 || errno != EINTR)
            return false;
    }

    // On Linux a refused or failed connection also makes the socket writable; only the socket's
    // pending error tells the two apart.
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return false;
    return error == 0;
}

} // namespace locator
