#pragma once

#include "UniqueFd.h"

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

namespace posix {

// A non-blocking UDP socket bound to `group` and `port` that has joined the group; invalid on
// any failure. It hears that group alone: bound to the group's address, and deaf to the other
// groups this host has joined on the port (Linux hands a socket every joined group's datagrams
// otherwise), so another player of this program may take a different channel on the same port.
// SO_REUSEADDR lets libvlc bind the same group and port: both sockets get every datagram.
inline UniqueFd JoinGroupSocket(in_addr group, std::uint16_t port)
{
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return socket;
    const int fd = socket.get();
    const int on = 1;
    const int off = 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr = group;
    ip_mreqn join{};
    join.imr_multiaddr = group;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        return {};
    return socket;
}

} // namespace posix
