#include "Probe.h"

#include "Listeners.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class ListeningPort
{
public:
    ListeningPort()
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_fd, 16);
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~ListeningPort() { close(m_fd); }
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

TEST(Probe, ListeningPortIsReachableAtOnce)
{
    ListeningPort listener;
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(locator::IsServerReachable("127.0.0.1", listener.port()));
    EXPECT_LT(clock.elapsed(), 500);
}

TEST(Probe, RefusedConnectionIsUnreachableAtOnce)
{
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(locator::IsServerReachable("127.0.0.1", ClosedPort()));
    EXPECT_LT(clock.elapsed(), 500);
}

TEST(Probe, SilentAddressIsUnreachableAfterTheTimeout)
{
    UnansweredPort silent;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(locator::IsServerReachable("127.0.0.1", silent.port()));
    const qint64 elapsed = clock.elapsed();
    EXPECT_GE(elapsed, 1990);
    EXPECT_LT(elapsed, 2300);
}

class ProbeAddress : public ::testing::TestWithParam<const char*>
{};

TEST_P(ProbeAddress, OnlyDottedIPv4IsTried)
{
    ListeningPort listener;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(locator::IsServerReachable(GetParam(), listener.port()));
    EXPECT_LT(clock.elapsed(), 100) << "no name lookup, no waiting";
}

INSTANTIATE_TEST_SUITE_P(NotAnAddress, ProbeAddress,
                         ::testing::Values("localhost", "127.1", "0x7f.0.0.1", "", "127.0.0.1 ",
                                           "::1", "127.0.0.256"));

} // namespace
