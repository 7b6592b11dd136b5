#include "GroupProbe.h"

#include "GroupSocket.h"

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
    const posix::UniqueFd socket = posix::JoinGroupSocket(address, port);
    if (!socket.valid())
        return false;
    const int fd = socket.get();

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
