#include "Probe.h"

#include "Listeners.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using namespace std::chrono_literals;

namespace {

// A loopback listener: connections wait in its accept queue until the test takes them.
struct ListeningPort
{
    ListeningPort()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd.get(), 16);
        socklen_t len = sizeof a;
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    posix::UniqueFd fd{socket(AF_INET, SOCK_STREAM, 0)};
    quint16 port = 0;
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

TEST(ProbeAddress, OnlyDottedIPv4IsTried)
{
    ListeningPort listener;
    for (const char* address :
         {"localhost", "127.1", "0x7f.0.0.1", "", "127.0.0.1 ", "::1", "127.0.0.256"}) {
        SCOPED_TRACE(::testing::Message() << '"' << address << '"');
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(locator::IsServerReachable(address, listener.port));
        EXPECT_LT(clock.elapsed(), 100) << "no name lookup, no waiting";
    }
}

// Whatever the server does with the probe's connection once it is in its accept queue, before
// the probe looks at the outcome, the server was reachable.
TEST(ProbeOutcome, AnAcceptedConnectionIsReachableWhateverFollows)
{
    const struct
    {
        const char* name;
        bool accepts;
        bool closes;
        bool resets; // SO_LINGER 0: the close sends a reset instead of a FIN
    } cases[] = {{"left in the accept queue", false, false, false},
                 {"accepted and kept", true, false, false},
                 {"accepted and closed", true, true, false},
                 {"accepted and reset", true, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ListeningPort server;
        locator::ConnectionProbe probe("127.0.0.1", server.port);
        posix::UniqueFd accepted;
        if (c.accepts) {
            pollfd p{server.fd.get(), POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 2000), 1) << "the probe's connection never reached the server";
            accepted.reset(accept(server.fd.get(), nullptr, nullptr));
            ASSERT_TRUE(accepted.valid());
        }
        if (c.resets) {
            const linger abort{1, 0};
            setsockopt(accepted.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        if (c.closes)
            accepted.reset();
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(probe.Wait(2s));
        EXPECT_LT(clock.elapsed(), 500);
    }
}

} // namespace
