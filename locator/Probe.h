#pragma once

#include "UniqueFd.h"

#include <QByteArray>
#include <chrono>

namespace locator {

// True when a storage server at `address`:`port` accepts a TCP connection within `timeout`.
// The address must be a dotted-decimal IPv4 address; anything else is unreachable, and no name
// is looked up. A refused connection is unreachable at once. No data is sent.
bool IsServerReachable(const QByteArray& address, quint16 port = 80,
                       std::chrono::milliseconds timeout = std::chrono::seconds(2));

// The same probe in its two steps: the constructor starts the connection without waiting, and
// Wait() waits for its outcome.
class ConnectionProbe
{
public:
    ConnectionProbe(const QByteArray& address, quint16 port);
    ConnectionProbe(const ConnectionProbe&) = delete;
    ConnectionProbe& operator=(const ConnectionProbe&) = delete;

    // True when the server took the connection. Only a refusal, an unreachable network or host,
    // or no answer within `timeout` make it unreachable: once the connection was accepted, a
    // server that resets or closes it at once (its pending error is then ECONNRESET or EPIPE)
    // is reachable, and what it does next is the download's business.
    bool Wait(std::chrono::milliseconds timeout);

private:
    enum class State
    {
        Failed,
        Connected,
        Connecting
    };
    posix::UniqueFd m_socket;
    State m_state = State::Failed;
};

// True for a dotted-decimal IPv4 address, the only form the storage servers are named in.
bool IsDottedIPv4(const QString& address);

} // namespace locator
