#pragma once

#include "UniqueFd.h"

#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

namespace posix {

// A non-blocking UDP socket bound to `group` and `port` that has joined the group, or the step
// that failed and its errno. It hears that group alone: bound to the group's address, and deaf
// to the other groups this host has joined on the port (Linux hands a socket every joined
// group's datagrams otherwise), so another player of this program may take a different channel
// on the same port. SO_REUSEADDR lets libvlc bind the same group and port: both sockets get
// every datagram. A `receiveBuffer` above zero is asked for (the kernel may give less).
struct GroupJoin
{
    UniqueFd socket;
    const char* failedStep = nullptr; // "socket", "SO_REUSEADDR on", "bind" or "join"
    int error = 0;
};

inline GroupJoin JoinGroup(in_addr group, std::uint16_t port, int receiveBuffer = 0)
{
    GroupJoin joined;
    const auto fail = [&joined](const char* step) {
        joined.failedStep = step;
        joined.error = errno;
        joined.socket = UniqueFd();
        return std::move(joined);
    };
    joined.socket = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!joined.socket.valid())
        return fail("socket");
    const int fd = joined.socket.get();
    const int on = 1;
    const int off = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return fail("SO_REUSEADDR on");
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr = group;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return fail("bind");
    ip_mreqn join{};
    join.imr_multiaddr = group;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        return fail("join");
    return joined;
}

// The joined socket alone; invalid on any failure.
inline UniqueFd JoinGroupSocket(in_addr group, std::uint16_t port)
{
    return JoinGroup(group, port).socket;
}

} // namespace posix
