// The bounds the relay puts between a hostile or broken server and libvlc, against real servers
// that misbehave: bytes without end, huge playlists, silence.
#include "HttpServer.h"
#include "Listeners.h"
#include "PlayerKit.h"
#include "StreamRelay.h"
#include "UniqueFd.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <list>
#include <sys/socket.h>

using namespace std::chrono_literals;

namespace {

// Cases print as their names in gtest's messages.
template <typename Case>
concept Named = requires(const Case& c)
{
    c.name;
};

void PrintTo(const Named auto& c, std::ostream* os)
{
    *os << c.name;
}

class Bounded : public ::testing::Test
{
protected:
    std::shared_ptr<relay::Route> open(const relay::Limits& limits, const QString& upstream)
    {
        m_relay.emplace(limits);
        EXPECT_TRUE(m_relay->Start());
        return m_relay->Open(upstream);
    }

    // The relay URL a playlist of `route` gives the segment at `upstream`.
    static QString segment(const relay::Route& route, const QString& upstream)
    {
        return RelayUrlOf(route.LocalUrl(), relay::Kind::Media, upstream);
    }

    QString put(const QString& name, const QByteArray& bytes) const
    {
        QString path = m_dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QTemporaryDir m_dir;
    std::optional<relay::StreamRelay> m_relay;
};

// --- bodies -----------------------------------------------------------------------------------

class EndlessBody : public Bounded, public ::testing::WithParamInterface<qsizetype>
{};

TEST_P(EndlessBody, IsCutAtTheBound)
{
    HttpServer server({u"endless"_qs});
    relay::Limits limits;
    limits.maxBodyBytes = GetParam();
    const QString url = u"http://127.0.0.1:%1/segment.ts"_qs.arg(server.port());
    const auto route = open(limits, url);
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(segment(*route, url));
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_EQ(reply.body.size(), GetParam());
    EXPECT_FALSE(reply.has("content-length")) << "the body ends with the connection";
}

INSTANTIATE_TEST_SUITE_P(Bounds, EndlessBody,
                         ::testing::Values(qsizetype(64 * 1024), qsizetype(1024 * 1024 + 3),
                                           qsizetype(32) * 1024 * 1024),
                         [](const auto& info) { return std::to_string(info.param) + "_bytes"; });

struct LengthCase
{
    const char* name;
    qsizetype bound;
    bool lengthSent;
};

class DeclaredLength : public Bounded, public ::testing::WithParamInterface<LengthCase>
{};

TEST_P(DeclaredLength, PassesOnlyWhenTheWholeBodyPasses)
{
    QByteArray body(100000, 'G');
    body[99999] = 'E';
    HttpServer server({u"serve"_qs, put(u"segment.ts"_qs, body)});
    relay::Limits limits;
    limits.maxBodyBytes = GetParam().bound;
    const auto route = open(limits, u"http://127.0.0.1:%1/segment.ts"_qs.arg(server.port()));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl());
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, body.first(std::min(body.size(), GetParam().bound)));
    EXPECT_EQ(reply.has("content-length"), GetParam().lengthSent);
    if (GetParam().lengthSent) {
        EXPECT_EQ(reply.header("content-length"), "100000");
    }
}

INSTANTIATE_TEST_SUITE_P(Bounds, DeclaredLength,
                         ::testing::Values(LengthCase{"one_byte_short", 99999, false},
                                           LengthCase{"exactly", 100000, true},
                                           LengthCase{"ample", qsizetype(32) * 1024 * 1024, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- playlists --------------------------------------------------------------------------------

struct HugePlaylistCase
{
    const char* name;
    bool crlf; // served from a file with CRLF line ends; else by the hostile HLS server
    qsizetype bound;
};

class HugePlaylist : public Bounded, public ::testing::WithParamInterface<HugePlaylistCase>
{};

TEST_P(HugePlaylist, IsCutAtALineEndUnderTheBound)
{
    constexpr int kEntries = 200000;
    std::optional<HostileHlsServer> hostile;
    std::optional<HttpServer> plain;
    QString upstream;
    if (GetParam().crlf) {
        QByteArray text = "#EXTM3U\r\n#EXT-X-TARGETDURATION:1\r\n";
        for (int i = 0; i < kEntries; ++i)
            text += "#EXTINF:1.0,\r\nseg" + QByteArray::number(i) + ".ts\r\n";
        plain.emplace(QStringList{u"serve"_qs, put(u"index.m3u8"_qs, text)});
        upstream = u"http://127.0.0.1:%1/hls/index.m3u8"_qs.arg(plain->port());
    } else {
        hostile.emplace(QStringList{m_dir.path(), u"--entries"_qs, QString::number(kEntries)});
        upstream = hostile->playlistUrl();
    }
    relay::Limits limits;
    limits.maxPlaylistBytes = GetParam().bound;
    const auto route = open(limits, upstream);
    ASSERT_TRUE(route);

    const HttpReply reply = Fetch(route->LocalUrl());
    ASSERT_EQ(reply.status, 200);
    EXPECT_FALSE(reply.has("content-length"));
    EXPECT_LE(reply.body.size(), GetParam().bound);
    // Cut at the last line that fits: the next line is shorter than 200 bytes.
    EXPECT_GT(reply.body.size(), GetParam().bound - 200);
    ASSERT_TRUE(reply.body.endsWith('\n'));
    EXPECT_FALSE(reply.body.contains('\r'));

    const QByteArray prefix = RouteBaseOf(route->LocalUrl()) + "media/";
    int uris = 0;
    int entries = 0;
    for (const QByteArray& line : reply.body.split('\n')) {
        if (line.startsWith("#EXTINF"))
            ++entries;
        else if (!line.isEmpty() && !line.startsWith('#')) {
            ++uris;
            ASSERT_TRUE(line.startsWith(prefix)) << line.constData();
            ASSERT_TRUE(line.endsWith(".ts")) << line.constData();
        }
    }
    EXPECT_GT(uris, 100);
    EXPECT_LE(entries - uris, 1) << "only the last entry may have lost its URI";
}

INSTANTIATE_TEST_SUITE_P(
    Playlists, HugePlaylist,
    ::testing::Values(HugePlaylistCase{"hostile_64_KiB", false, qsizetype(64) * 1024},
                      HugePlaylistCase{"hostile_default_4_MiB", false,
                                       relay::Limits{}.maxPlaylistBytes},
                      HugePlaylistCase{"crlf_64_KiB", true, qsizetype(64) * 1024},
                      HugePlaylistCase{"crlf_1_MiB", true, qsizetype(1024) * 1024}),
    [](const auto& info) { return std::string(info.param.name); });

// --- silence ----------------------------------------------------------------------------------

struct SilenceCase
{
    const char* name;
    QStringList server; // FILE: a 5000-byte file
    int status;
    qsizetype bodyBytes; // -1: some, but the client gave up first
    bool stalls;         // ends after the stall limit; else at once
};

class SilentUpstream : public Bounded, public ::testing::WithParamInterface<SilenceCase>
{};

TEST_P(SilentUpstream, EndsTheResponseAfterTheStallLimit)
{
    constexpr auto kStall = 700ms;
    QStringList args = GetParam().server;
    args.replaceInStrings(u"FILE"_qs, put(u"segment.ts"_qs, QByteArray(5000, 'G')));
    HttpServer server(args);
    relay::Limits limits;
    limits.stallTimeout = kStall;
    const QString url = u"http://127.0.0.1:%1/segment.ts"_qs.arg(server.port());
    const auto route = open(limits, url);
    ASSERT_TRUE(route);

    const HttpReply reply = Fetch(segment(*route, url), {}, "GET", 3s);
    EXPECT_EQ(reply.status, GetParam().status);
    if (GetParam().bodyBytes < 0) {
        EXPECT_FALSE(reply.closedByServer) << "a slow upstream is not a silent one";
        EXPECT_GE(reply.body.size(), 3);
        return;
    }
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_EQ(reply.body.size(), GetParam().bodyBytes);
    if (GetParam().stalls) {
        EXPECT_GE(reply.elapsed, kStall - 50ms);
        EXPECT_LT(reply.elapsed, kStall + 1500ms);
    } else {
        EXPECT_LT(reply.elapsed, kStall);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SilentUpstream,
    ::testing::Values(
        SilenceCase{"never_answers", {u"silent"_qs}, 504, 0, true},
        SilenceCase{"stops_mid_body", {u"stall"_qs, u"1000"_qs, u"FILE"_qs}, 200, 1000, true},
        SilenceCase{"reset_mid_body", {u"reset"_qs, u"1000"_qs, u"FILE"_qs}, 200, 1000, false},
        SilenceCase{"closes_at_once", {u"close"_qs}, 502, 0, false},
        SilenceCase{"trickles", {u"trickle"_qs}, 200, -1, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Bounded, UnansweredConnectionIsAGatewayTimeoutAfterTheConnectLimit)
{
    const UnansweredPort port;
    relay::Limits limits;
    limits.connectTimeout = 400ms;
    const auto route = open(limits, u"http://127.0.0.1:%1/index.m3u8"_qs.arg(port.port()));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl(), {}, "GET", 5s);
    EXPECT_EQ(reply.status, 504);
    EXPECT_GE(reply.elapsed, 350ms);
    EXPECT_LT(reply.elapsed, 2500ms);
}

TEST_F(Bounded, RefusedConnectionIsABadGatewayAtOnce)
{
    const auto route = open({}, u"http://127.0.0.1:%1/index.m3u8"_qs.arg(ClosedPort()));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl(), {}, "GET", 5s);
    EXPECT_EQ(reply.status, 502);
    EXPECT_LT(reply.elapsed, 1000ms);
}

// --- connections ------------------------------------------------------------------------------

// Whether the relay has closed `client`: with a reset (true), in order (false), or not yet.
std::optional<bool> closedHow(int client)
{
    char byte = 0;
    const ssize_t got = ::recv(client, &byte, 1, MSG_DONTWAIT);
    if (got == 0)
        return false;
    if (got < 0 && errno == ECONNRESET)
        return true;
    return std::nullopt;
}

TEST_F(Bounded, ConnectionsBeyondTheBoundAreRefusedUntilOneEndsAndIdleOnesTakeNone)
{
    HttpServer silent({u"silent"_qs});
    HttpServer files({u"serve"_qs, put(u"segment.ts"_qs, "segment")});
    relay::Limits limits;
    limits.firstByteTimeout = limits.headTimeout = 60s; // the strangers stay all along
    const auto stuck = open(limits, u"http://127.0.0.1:%1/segment.ts"_qs.arg(silent.port()));
    const auto good = m_relay->Open(u"http://127.0.0.1:%1/index.m3u8"_qs.arg(files.port()));
    ASSERT_TRUE(stuck && good);
    const QString goodSegment =
        segment(*good, u"http://127.0.0.1:%1/segment.ts"_qs.arg(files.port()));

    // Another user's connections that send nothing, or half a head: they wait at the door.
    std::list<posix::UniqueFd> strangers;
    for (int i = 0; i < 40; ++i) {
        strangers.push_back(ConnectTo(m_relay->Port()));
        if (i % 2 == 0) {
            ASSERT_EQ(::send(strangers.back().get(), "GET /", 5, MSG_NOSIGNAL), 5);
        }
    }
    // Clients that send their request and wait, as libvlc does with a stuck server: every slot.
    std::list<posix::UniqueFd> waiting;
    const QByteArray request = "GET " + TargetOf(stuck->LocalUrl()) + " HTTP/1.1\r\n\r\n";
    for (int i = 0; i < relay::StreamRelay::kMaxConnections; ++i) {
        waiting.push_back(ConnectTo(m_relay->Port()));
        ASSERT_EQ(
            ::send(waiting.back().get(), request.constData(), size_t(request.size()), MSG_NOSIGNAL),
            request.size());
    }
    ASSERT_TRUE(WaitUntil(
        [&silent] { return silent.requests().size() == relay::StreamRelay::kMaxConnections; },
        10s));

    EXPECT_EQ(Fetch(goodSegment, {}, "GET", 5s).status, 503);
    waiting.pop_front(); // a client that goes frees its place
    EXPECT_TRUE(WaitUntil([&] { return Fetch(goodSegment, {}, "GET", 5s).status == 200; }, 5s));
    for (const posix::UniqueFd& stranger : strangers)
        EXPECT_FALSE(closedHow(stranger.get()).has_value()) << "still waiting at the door";
}

TEST_F(Bounded, StrangersAtTheDoorAreDroppedWithAResetAndNeverKeepARequestOut)
{
    HttpServer files({u"serve"_qs, put(u"segment.ts"_qs, "segment")});
    relay::Limits limits;
    limits.firstByteTimeout = 300ms;
    limits.headTimeout = 600ms;
    const QString url = u"http://127.0.0.1:%1/segment.ts"_qs.arg(files.port());
    const auto route = open(limits, url);
    ASSERT_TRUE(route);

    // More than may wait at once: the oldest are pushed out as new ones come.
    std::vector<posix::UniqueFd> silent;
    std::vector<posix::UniqueFd> slow;
    for (int i = 0; i < 100; ++i)
        silent.push_back(ConnectTo(m_relay->Port()));
    for (int i = 0; i < 10; ++i) {
        slow.push_back(ConnectTo(m_relay->Port()));
        ASSERT_EQ(::send(slow.back().get(), "GET /", 5, MSG_NOSIGNAL), 5);
    }
    const HttpReply reply = Fetch(segment(*route, url), {}, "GET", 5s);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "segment");

    // Each is dropped by its own limit, or pushed out: all with a reset.
    for (const auto* group : {&silent, &slow})
        for (const posix::UniqueFd& stranger : *group) {
            std::optional<bool> reset;
            ASSERT_TRUE(
                WaitUntil([&] { return (reset = closedHow(stranger.get())).has_value(); }, 5s));
            EXPECT_TRUE(*reset);
        }
}

} // namespace
