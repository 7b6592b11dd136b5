#include "Probe.h"

#include "Listeners.h"
#include "TestNames.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
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
    ListeningPort(const ListeningPort&) = delete;
    ListeningPort& operator=(const ListeningPort&) = delete;
    quint16 port() const { return m_port; }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

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
    EXPECT_LT(elapsed, 3000);
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
                                           "::1", "127.0.0.256"),
                         [](const auto& info) { return "address_" + CaseName(info.param); });

// What the server does once the probe's connection is in its accept queue, before the probe
// looks at the outcome.
enum class ServerAct
{
    LeavesItQueued,
    AcceptsAndKeepsIt,
    AcceptsAndCloses,
    AcceptsAndResets, // SO_LINGER 0: the close sends a reset instead of a FIN
};

struct OutcomeCase
{
    const char* name;
    ServerAct act;
};

void PrintTo(const OutcomeCase& c, std::ostream* os)
{
    *os << c.name;
}

class AcceptingServer
{
public:
    explicit AcceptingServer(ServerAct act) : m_act(act) {}
    ~AcceptingServer()
    {
        if (m_accepted >= 0)
            close(m_accepted);
    }
    AcceptingServer(const AcceptingServer&) = delete;
    AcceptingServer& operator=(const AcceptingServer&) = delete;

    quint16 port() const { return m_listener.port(); }
    int listener() const { return m_listener.fd(); }

    // Acts on the connection waiting in the queue; false when none arrived within 2 s.
    bool act()
    {
        if (m_act == ServerAct::LeavesItQueued)
            return true;
        pollfd p{m_listener.fd(), POLLIN, 0};
        if (poll(&p, 1, 2000) != 1)
            return false;
        m_accepted = accept(m_listener.fd(), nullptr, nullptr);
        if (m_accepted < 0)
            return false;
        if (m_act == ServerAct::AcceptsAndResets) {
            const linger abort{1, 0};
            setsockopt(m_accepted, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        if (m_act != ServerAct::AcceptsAndKeepsIt) {
            close(m_accepted);
            m_accepted = -1;
        }
        return true;
    }

private:
    ServerAct m_act;
    ListeningPort m_listener;
    int m_accepted = -1;
};

class ProbeOutcome : public ::testing::TestWithParam<OutcomeCase>
{};

TEST_P(ProbeOutcome, AnAcceptedConnectionIsReachableWhateverFollows)
{
    AcceptingServer server(GetParam().act);
    locator::ConnectionProbe probe("127.0.0.1", server.port());
    ASSERT_TRUE(server.act()) << "the probe's connection never reached the server";
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(probe.Wait(2s));
    EXPECT_LT(clock.elapsed(), 500);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ProbeOutcome,
    ::testing::Values(OutcomeCase{"left_in_the_accept_queue", ServerAct::LeavesItQueued},
                      OutcomeCase{"accepted_and_kept", ServerAct::AcceptsAndKeepsIt},
                      OutcomeCase{"accepted_and_closed", ServerAct::AcceptsAndCloses},
                      OutcomeCase{"accepted_and_reset", ServerAct::AcceptsAndResets}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
