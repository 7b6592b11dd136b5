// Cancelling a route, and the relay's end, while libvlc is blocked reading from a server that
// stopped answering: the read must return at once, whatever state the upstream is in.
#include "HttpServer.h"
#include "RelayTestKit.h"
#include "TestNames.h"

#include <algorithm>
#include <future>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {

// The cut itself takes microseconds. This tells it from a hang, and from a connection that only
// notices the cut when its poll next times out (libcurl wakes it every 200 ms or so).
constexpr auto kPrompt = 100ms;

// A client blocked in recv() on a relay URL, as libvlc's reading thread is.
class BlockedClient
{
public:
    explicit BlockedClient(const QString& url)
        : m_reply(std::async(std::launch::async, [this, url] {
              HttpReply reply = Fetch(url, {}, "GET", 20s, &m_received);
              return std::make_pair(reply, Clock::now());
          }))
    {}
    // Bytes received so far, the response head included.
    qsizetype received() const { return m_received.load(); }
    // The reply, and how long after `since` the read returned; waits at most 30 s.
    std::optional<std::pair<HttpReply, std::chrono::milliseconds>> returned(Clock::time_point since)
    {
        if (m_reply.wait_for(30s) != std::future_status::ready)
            return std::nullopt;
        auto [reply, at] = m_reply.get();
        return std::make_pair(reply,
                              std::chrono::duration_cast<std::chrono::milliseconds>(at - since));
    }
    bool stillWaiting() const { return m_reply.wait_for(0s) != std::future_status::ready; }

private:
    std::atomic<qsizetype> m_received{0};
    std::future<std::pair<HttpReply, Clock::time_point>> m_reply;
};

using Clients = std::vector<std::unique_ptr<BlockedClient>>;

Clients blockedOn(const QString& url, int count)
{
    Clients clients;
    for (int i = 0; i < count; ++i)
        clients.push_back(std::make_unique<BlockedClient>(url));
    return clients;
}

// Every client's read returns within kPrompt of `since`, ended by the relay.
void expectPromptEnds(Clients& clients, Clock::time_point since)
{
    for (const auto& client : clients) {
        const auto returned = client->returned(since);
        ASSERT_TRUE(returned) << "the read never returned";
        EXPECT_TRUE(returned->first.closedByServer);
        EXPECT_LT(returned->second, kPrompt);
    }
}

QString segmentUrlOf(const HttpServer& server)
{
    return LoopbackUrl(server.port(), u"/hls/seg1.ts"_qs);
}

// The relay URL of the server's segment on `route`, as libvlc reads it.
QString segmentOf(const relay::Route& route, const HttpServer& server)
{
    return RelayUrlOf(route.LocalUrl(), relay::Kind::Media, segmentUrlOf(server));
}

// How the blocked reads are ended.
enum class Ending
{
    Cancel,   // Route::Cancel, from several threads at once
    Drop,     // the last reference to the route goes
    RelayEnd, // the relay itself goes, while a stranger is still sending its head at the door
};

struct UpstreamState
{
    const char* name;
    const char* server; // http_server.py's mode and arguments; FILE: a 100 kB file
    // What each client has by the time the relay has nothing left to do but wait on upstream.
    qsizetype settled;
    Ending ending = Ending::Cancel;
};

class CancelWhileUpstream : public RelayTest, public ::testing::WithParamInterface<UpstreamState>
{};

TEST_P(CancelWhileUpstream, EndsEveryBlockedReadOfTheRouteAtOnceAndNoOther)
{
    const Ending ending = GetParam().ending;
    QStringList args = QString::fromLatin1(GetParam().server).split(u' ');
    args.replaceInStrings(u"FILE"_qs, m_files.put(u"seg1.ts"_qs, QByteArray(100000, 'G')));
    HttpServer server(args);
    auto route = open(segmentUrlOf(server));
    const auto other = open(segmentUrlOf(server));
    ASSERT_TRUE(route && other);
    const QString segment = segmentOf(*route, server);
    Clients clients = blockedOn(segment, 3);
    Clients bystander = blockedOn(segmentOf(*other, server), 1);
    ASSERT_TRUE(WaitUntil(
        [&, settled = GetParam().settled] {
            const auto settledAll = [settled](const Clients& all) {
                return std::all_of(all.cbegin(), all.cend(), [settled](const auto& client) {
                    return client->received() >= settled;
                });
            };
            return server.requests().size() == 4 && settledAll(clients) && settledAll(bystander);
        },
        10s));
    std::future<HttpReply> halfHead;
    std::atomic<bool> headSent{false};
    if (ending == Ending::RelayEnd) {
        halfHead = std::async(std::launch::async, [port = m_relay->Port(), &headSent] {
            return Exchange(port, "GET /", 20s, nullptr, &headSent);
        });
        ASSERT_TRUE(WaitUntil([&headSent] { return headSent.load(); }, 10s));
    }

    const Clock::time_point cancelled = Clock::now();
    switch (ending) {
    case Ending::Cancel: {
        std::vector<std::jthread> cancellers;
        for (int i = 0; i < 4; ++i)
            cancellers.emplace_back([&route] { route->Cancel(); });
        break;
    }
    case Ending::Drop:
        route.reset();
        break;
    case Ending::RelayEnd:
        m_relay.reset();
        EXPECT_LT(Clock::now() - cancelled, 200ms);
        expectPromptEnds(bystander, cancelled);
        ASSERT_EQ(halfHead.wait_for(kPrompt), std::future_status::ready);
        EXPECT_TRUE(halfHead.get().reset) << "cut, not answered";
        break;
    }
    expectPromptEnds(clients, cancelled);
    if (ending == Ending::RelayEnd) {
        route->Cancel(); // the route outlives the relay harmlessly
        return;
    }

    EXPECT_TRUE(bystander[0]->stillWaiting()) << "another route's read goes on";
    // A dropped route is gone; a cancelled one is refused.
    EXPECT_EQ(Fetch(segment, {}, "GET", 5s).status, ending == Ending::Drop ? 404 : 410);
    EXPECT_EQ(server.requests().size(), 4) << "a refused request never goes upstream";
    Clients newcomer = blockedOn(segmentOf(*other, server), 1);
    EXPECT_TRUE(WaitUntil([&server] { return server.requests().size() == 5; }, 10s))
        << "another route still takes new requests upstream";
    if (route)
        route->Cancel(); // again: nothing more happens
    const Clock::time_point later = Clock::now();
    other->Cancel();
    expectPromptEnds(bystander, later);
    expectPromptEnds(newcomer, later);
}

INSTANTIATE_TEST_SUITE_P(
    States, CancelWhileUpstream,
    ::testing::Values(UpstreamState{"never_answering", "silent", 0},
                      UpstreamState{"frozen_mid_body", "stall 50000 FILE", 50000},
                      UpstreamState{"trickling", "trickle", 3},
                      UpstreamState{"sending_without_end", "endless", 1000000},
                      UpstreamState{"never_answering_dropped", "silent", 0, Ending::Drop},
                      UpstreamState{"frozen_mid_body_relay_ends", "stall 50000 FILE", 50000,
                                    Ending::RelayEnd}),
    ByName());

TEST_F(RelayTest, ACutConnectionEndsWithAReset)
{
    // Cut while the relay still has bytes on their way to a client that is not reading: ended
    // in order, the client would read them after the cut; reset, it reads no end of stream.
    HttpServer endless({u"endless"_qs});
    const auto route = open(segmentUrlOf(endless));
    ASSERT_TRUE(route);
    // A small window: the relay's first send of the body already leaves bytes queued on its side.
    const posix::UniqueFd client = ConnectTo(m_relay->Port(), 4096);
    ASSERT_TRUE(client.valid());
    const QByteArray request = "GET " + TargetOf(segmentOf(*route, endless)) + " HTTP/1.1\r\n\r\n";
    ASSERT_EQ(::send(client.get(), request.constData(), size_t(request.size()), MSG_NOSIGNAL),
              request.size());
    ASSERT_TRUE(WaitUntil(
        [&client] {
            int queued = 0;
            return ::ioctl(client.get(), FIONREAD, &queued) == 0 && queued >= 1000;
        },
        10s));

    route->Cancel();
    char buffer[65536];
    ssize_t got = 0;
    const auto deadline = Clock::now() + 10s;
    while ((got = ::recv(client.get(), buffer, sizeof buffer, 0)) > 0 && Clock::now() < deadline) {
    }
    EXPECT_EQ(got, -1);
    EXPECT_EQ(errno, ECONNRESET);
}

} // namespace
