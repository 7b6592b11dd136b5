#pragma once

#include <QtGlobal>
#include <vector>

// A loopback port that nothing listens on: connections to it are refused at once.
quint16 ClosedPort();

// A loopback port whose listener never answers a new connection attempt: its accept queue is
// kept full, so the kernel drops further SYNs and the connecting side waits until it gives up.
class UnansweredPort
{
public:
    UnansweredPort();
    ~UnansweredPort();
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    std::vector<int> m_fillers;
    quint16 m_port = 0;
};

// True when `address` is one of this host's own, as it is inside the test network namespace.
bool IsLocalAddress(const char* address);
