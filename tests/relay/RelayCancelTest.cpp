// Cancelling a route, and the relay's end, while libvlc is blocked reading from a server that
// stopped answering: the read must return at once, whatever state the upstream is in.
#include "HttpServer.h"
#include "RelayTestKit.h"
#include "StreamRelay.h"
#include "UniqueFd.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The cut itself takes microseconds. This tells it from a hang, and from a connection that only
// notices the cut when its poll next times out (libcurl wakes it every 200 ms or so).
constexpr auto kPrompt = 100ms;

// A client blocked in recv() on a relay URL, as libvlc's reading thread is.
class BlockedClient
{
public:
    explicit BlockedClient(const QString& url, std::chrono::milliseconds timeout = 20s)
        : m_reply(std::async(std::launch::async, [this, url, timeout] {
              HttpReply reply = Fetch(url, {}, "GET", timeout, &m_received);
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

class Cancelling : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_relay->Start()); }

    QString put(const QString& name, const QByteArray& bytes) const
    {
        QString path = m_dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    static QString urlOf(const HttpServer& server)
    {
        return u"http://127.0.0.1:%1/hls/seg1.ts"_qs.arg(server.port());
    }

    // A route to `server`, and the relay URL of its segment, as libvlc reads it.
    std::pair<std::shared_ptr<relay::Route>, QString> segmentOf(const HttpServer& server)
    {
        auto route = m_relay->Open(urlOf(server));
        QString url =
            route ? RelayUrlOf(route->LocalUrl(), relay::Kind::Media, urlOf(server)) : QString();
        return {std::move(route), url};
    }

    QTemporaryDir m_dir;
    std::optional<relay::StreamRelay> m_relay{std::in_place};
};

struct UpstreamState
{
    const char* name;
    QStringList server; // FILE: a 100 kB file
    // What the client has by the time the relay has nothing left to do but wait on upstream.
    qsizetype settled;
};

void PrintTo(const UpstreamState& state, std::ostream* os)
{
    *os << state.name;
}

class CancelWhileUpstream : public Cancelling, public ::testing::WithParamInterface<UpstreamState>
{};

TEST_P(CancelWhileUpstream, EndsTheBlockedReadAtOnceAndRefusesLaterRequests)
{
    QStringList args = GetParam().server;
    args.replaceInStrings(u"FILE"_qs, put(u"seg1.ts"_qs, QByteArray(100000, 'G')));
    HttpServer server(args);
    const auto [route, segment] = segmentOf(server);
    ASSERT_TRUE(route);
    BlockedClient client(segment);
    ASSERT_TRUE(WaitUntil([&server] { return server.requests().size() == 1; }, 10s));
    ASSERT_TRUE(WaitUntil([&] { return client.received() >= GetParam().settled; }, 10s));

    const Clock::time_point cancelled = Clock::now();
    route->Cancel();
    const auto returned = client.returned(cancelled);
    ASSERT_TRUE(returned) << "the read never returned";
    EXPECT_TRUE(returned->first.closedByServer);
    EXPECT_LT(returned->second, kPrompt);

    const HttpReply later = Fetch(segment, {}, "GET", 5s);
    EXPECT_EQ(later.status, 410);
    EXPECT_EQ(server.requests().size(), 1) << "a refused request never goes upstream";
    route->Cancel(); // again: nothing more happens
}

INSTANTIATE_TEST_SUITE_P(
    States, CancelWhileUpstream,
    ::testing::Values(UpstreamState{"never_answering", {u"silent"_qs}, 0},
                      UpstreamState{
                          "frozen_mid_body", {u"stall"_qs, u"50000"_qs, u"FILE"_qs}, 50000},
                      UpstreamState{"trickling", {u"trickle"_qs}, 3},
                      UpstreamState{"sending_without_end", {u"endless"_qs}, 1000000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cancelling, OtherRoutesAreUntouched)
{
    HttpServer trickle({u"trickle"_qs});
    HttpServer files({u"serve"_qs, put(u"seg1.ts"_qs, "segment one")});
    const auto [cancelled, victimUrl] = segmentOf(trickle);
    const auto [trickling, bystanderUrl] = segmentOf(trickle);
    const auto [fresh, freshUrl] = segmentOf(files);
    ASSERT_TRUE(cancelled && trickling && fresh);
    BlockedClient victim(victimUrl);
    BlockedClient bystander(bystanderUrl, 3s);
    ASSERT_TRUE(WaitUntil([&trickle] { return trickle.requests().size() == 2; }, 10s));

    cancelled->Cancel();
    ASSERT_TRUE(victim.returned(Clock::now()));
    EXPECT_TRUE(bystander.stillWaiting());
    const HttpReply other = Fetch(freshUrl);
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(other.body, "segment one");
    // The other route's slow read went on until its own client gave up.
    const auto slow = bystander.returned(Clock::now());
    ASSERT_TRUE(slow);
    EXPECT_FALSE(slow->first.closedByServer);
    EXPECT_GE(slow->first.body.size(), 5);
}

TEST_F(Cancelling, DroppingTheRouteCancelsIt)
{
    HttpServer silent({u"silent"_qs});
    auto route = m_relay->Open(urlOf(silent));
    ASSERT_TRUE(route);
    const QString url = route->LocalUrl();
    BlockedClient client(url);
    ASSERT_TRUE(WaitUntil([&silent] { return silent.requests().size() == 1; }, 10s));

    const Clock::time_point dropped = Clock::now();
    route.reset();
    const auto returned = client.returned(dropped);
    ASSERT_TRUE(returned);
    EXPECT_LT(returned->second, kPrompt);
    EXPECT_EQ(Fetch(url, {}, "GET", 5s).status, 404) << "the route is gone";
}

TEST_F(Cancelling, CancelFromManyThreadsAtOnceEndsEveryRead)
{
    HttpServer silent({u"silent"_qs});
    const auto route = m_relay->Open(urlOf(silent));
    ASSERT_TRUE(route);
    std::vector<std::unique_ptr<BlockedClient>> clients;
    clients.reserve(6);
    for (int i = 0; i < 6; ++i)
        clients.push_back(std::make_unique<BlockedClient>(route->LocalUrl()));
    ASSERT_TRUE(WaitUntil([&silent] { return silent.requests().size() == 6; }, 10s));

    const Clock::time_point cancelled = Clock::now();
    std::vector<std::thread> cancellers;
    cancellers.reserve(8);
    for (int i = 0; i < 8; ++i)
        cancellers.emplace_back([&route] { route->Cancel(); });
    for (std::thread& canceller : cancellers)
        canceller.join();
    for (const auto& client : clients) {
        const auto returned = client->returned(cancelled);
        ASSERT_TRUE(returned);
        EXPECT_LT(returned->second, kPrompt);
    }
}

TEST_F(Cancelling, ACutConnectionEndsWithAReset)
{
    // Cut while the relay still has bytes on their way to a client that is not reading: ended
    // in order, the client would read them after the cut; reset, it reads no end of stream.
    HttpServer endless({u"endless"_qs});
    const auto [route, segment] = segmentOf(endless);
    ASSERT_TRUE(route);
    // A small window: the relay's first send of the body already leaves bytes queued on its side.
    const posix::UniqueFd client = ConnectTo(m_relay->Port(), 4096);
    ASSERT_TRUE(client.valid());
    const QByteArray request = "GET " + TargetOf(segment) + " HTTP/1.1\r\n\r\n";
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

TEST_F(Cancelling, RelayEndsPromptlyWhileUpstreamIsFrozenMidBody)
{
    HttpServer frozen({u"stall"_qs, u"50000"_qs, put(u"seg1.ts"_qs, QByteArray(100000, 'G'))});
    const auto route = m_relay->Open(urlOf(frozen));
    ASSERT_TRUE(route);
    std::vector<std::unique_ptr<BlockedClient>> clients;
    clients.reserve(4);
    for (int i = 0; i < 4; ++i)
        clients.push_back(std::make_unique<BlockedClient>(route->LocalUrl()));
    ASSERT_TRUE(WaitUntil([&frozen] { return frozen.requests().size() == 4; }, 10s));
    // Every connection has passed on what there was, and waits on the frozen server.
    ASSERT_TRUE(WaitUntil(
        [&clients] {
            return std::all_of(clients.cbegin(), clients.cend(),
                               [](const auto& client) { return client->received() > 50000; });
        },
        10s));

    // And one still sending its request head, at the door.
    const quint16 port = m_relay->Port();
    std::atomic<bool> headSent{false};
    auto halfHead = std::async(std::launch::async, [port, &headSent] {
        return Exchange(port, "GET /", 20s, nullptr, &headSent);
    });
    ASSERT_TRUE(WaitUntil([&headSent] { return headSent.load(); }, 10s));

    const Clock::time_point ending = Clock::now();
    m_relay.reset();
    EXPECT_LT(Clock::now() - ending, 200ms);
    for (const auto& client : clients) {
        const auto returned = client->returned(ending);
        ASSERT_TRUE(returned);
        EXPECT_LT(returned->second, kPrompt);
    }
    ASSERT_EQ(halfHead.wait_for(kPrompt), std::future_status::ready);
    EXPECT_TRUE(halfHead.get().reset) << "cut, not answered";
    // The route outlives the relay harmlessly.
    EXPECT_TRUE(route->LocalUrl().startsWith(u"http://127.0.0.1:"_qs));
    route->Cancel();
}

} // namespace
