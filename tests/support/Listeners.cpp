#include "Listeners.h"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

quint16 boundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

} // namespace

quint16 ClosedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const quint16 port = boundPort(fd);
    close(fd); // bound but never listening: the port refuses until someone else takes it
    return port;
}

UnansweredPort::UnansweredPort()
{
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_listener, 0);
    m_port = boundPort(m_listener);

    // Connect until one attempt does not complete: from then on the queue is full.
    for (int i = 0; i < 16; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in peer = loopback(m_port);
        m_fillers.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0)
            continue;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 200) == 0)
            return;
    }
    ADD_FAILURE() << "could not fill the accept queue of port " << m_port;
}

UnansweredPort::~UnansweredPort()
{
    for (int fd : m_fillers)
        close(fd);
    close(m_listener);
}

bool IsLocalAddress(const char* address)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    const bool local = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return local;
}
