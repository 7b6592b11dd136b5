#include "Probe.h"

#include <QString>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace locator {
namespace {

// The outcomes of a connection attempt that mean nobody took it.
bool MeansUnreachable(int error)
{
    switch (error) {
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

} // namespace

bool IsDottedIPv4(const QString& address)
{
    in_addr parsed{};
    return inet_pton(AF_INET, address.toLatin1().constData(), &parsed) == 1;
}

ConnectionProbe::ConnectionProbe(const QByteArray& address, quint16 port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    // inet_pton takes only the four-part dotted form: no name lookup, no "127.1" shorthands.
    if (inet_pton(AF_INET, address.constData(), &peer.sin_addr) != 1)
        return;

    m_socket = posix::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!m_socket.valid())
        return;

    if (::connect(m_socket.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        m_state = State::Connected;
    else if (errno == EINPROGRESS)
        m_state = State::Connecting;
}

bool ConnectionProbe::Wait(std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    if (m_state != State::Connecting)
        return m_state == State::Connected;

    const auto deadline = Clock::now() + timeout;
    pollfd wait{m_socket.get(), POLLOUT, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready =
            ::poll(&wait, 1, int(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
        if (ready > 0)
            break;
        if (ready == 0 || errno != EINTR) {
            m_state = State::Failed;
            return false;
        }
    }

    // On Linux a refused or failed connection also makes the socket writable; only the socket's
    // pending error tells the two apart. A server that accepted and at once reset the connection
    // leaves ECONNRESET there: that server answered, and is reachable.
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
        MeansUnreachable(error)) {
        m_state = State::Failed;
        return false;
    }
    m_state = State::Connected;
    return true;
}

bool IsServerReachable(const QByteArray& address, quint16 port, std::chrono::milliseconds timeout)
{
    ConnectionProbe probe(address, port);
    return probe.Wait(timeout);
}

} // namespace locator
