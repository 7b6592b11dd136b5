#include "GroupProbe.h"

#include "UniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace locator {

bool GroupCarriesData(const QByteArray& group, quint16 port, std::chrono::milliseconds within)
{
    in_addr address{};
    if (inet_pton(AF_INET, group.constData(), &address) != 1 ||
        !IN_MULTICAST(ntohl(address.s_addr)))
        return false;
    const posix::UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return false;
    const int fd = socket.get();
    const int on = 1;
    const int off = 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr = address;
    ip_mreqn join{};
    join.imr_multiaddr = address;
    // Bound to the group itself, and deaf to the other groups this host has joined on the port
    // (Linux hands a socket every joined group's datagrams otherwise): a player of this program
    // may be receiving another channel on the same port meanwhile.
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        return false;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + within;
    char datagram[2048];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(std::max<std::int64_t>(0, left.count())));
        if (ready < 0 && errno != EINTR)
            return false;
        // A datagram longer than the buffer is cut, and still counts.
        if (ready > 0 && ::recv(fd, datagram, sizeof datagram, 0) >= 0)
            return true;
        if (Clock::now() >= deadline)
            return false;
    }
}

} // namespace locator
