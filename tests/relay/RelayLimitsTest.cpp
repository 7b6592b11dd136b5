// The bounds the relay puts between a hostile or broken server and libvlc, against real servers
// that misbehave: bytes without end, huge playlists, silence.
#include "HttpServer.h"
#include "Listeners.h"
#include "RelayTestKit.h"
#include "TestNames.h"

#include <list>
#include <sys/socket.h>

namespace {

// --- bodies and silence ---------------------------------------------------------------------

struct UpstreamCase
{
    const char* name;
    // http_server.py's mode and arguments, FILE for 100000 bytes of MPEG-TS; or "unanswered" or
    // "refused": no server, a port that never answers a connection, or one that refuses it.
    const char* server;
    qsizetype bound; // the body bound; 0: the program's
    bool channel;    // asked for as the route's own address; else as a segment of it
    int status;
    qsizetype bodyBytes; // -1: some, but the client gave up first
    const char* length;  // the Content-Length libvlc is told ("": none); null: not checked
    std::chrono::milliseconds least = 0ms, most = 20s;
    // A connection is given up after 400 ms and a silent upstream after 700 ms; the other limit
    // is the program's, so that each row tells which of the two ended it.
    bool connecting = false;
};

class Upstream : public RelayTest, public ::testing::WithParamInterface<UpstreamCase>
{};

TEST_P(Upstream, ResponseEndsAtItsBoundOrItsLimit)
{
    const UpstreamCase& c = GetParam();
    QByteArray file(100000, 'G');
    file.back() = 'E';
    QStringList args = QString::fromLatin1(c.server).split(u' ');
    args.replaceInStrings(u"FILE"_qs, m_files.put(u"segment.ts"_qs, file));
    std::optional<HttpServer> server;
    std::optional<UnansweredPort> unanswered;
    quint16 port = 0;
    if (args[0] == u"unanswered")
        port = unanswered.emplace().port();
    else if (args[0] == u"refused")
        port = ClosedPort();
    else
        port = server.emplace(args).port();
    relay::Limits limits;
    if (c.bound > 0)
        limits.maxBodyBytes = c.bound;
    if (c.connecting)
        limits.connectTimeout = 400ms;
    else
        limits.stallTimeout = 700ms;
    const QString url = LoopbackUrl(port, u"/segment.ts"_qs);
    const auto route = open(url, limits);
    ASSERT_TRUE(route);

    const HttpReply reply = Fetch(
        c.channel ? route->LocalUrl() : RelayUrlOf(route->LocalUrl(), relay::Kind::Media, url), {},
        "GET", c.most + 1s);
    EXPECT_EQ(reply.status, c.status);
    if (c.length != nullptr) {
        EXPECT_EQ(reply.header("content-length"), c.length);
    }
    if (c.bodyBytes < 0) {
        EXPECT_FALSE(reply.closedByServer) << "a slow upstream is not a silent one";
        EXPECT_GE(reply.body.size(), 3);
        return;
    }
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_EQ(reply.body.size(), c.bodyBytes);
    if (args[0] == u"serve" || args[0] == u"stall") {
        EXPECT_EQ(reply.body, file.first(c.bodyBytes));
    }
    EXPECT_GE(reply.elapsed, c.least);
    EXPECT_LT(reply.elapsed, c.most);
}

constexpr qsizetype kDefaultBound = relay::Limits{}.maxBodyBytes;

INSTANTIATE_TEST_SUITE_P(
    Servers, Upstream,
    ::testing::Values(
        UpstreamCase{"endless_64_KiB", "endless", 65536, false, 200, 65536, ""},
        UpstreamCase{"endless_1_MiB_and_3", "endless", 1048579, false, 200, 1048579, ""},
        UpstreamCase{"endless_default", "endless", 0, false, 200, kDefaultBound, ""},
        UpstreamCase{"file_over_the_bound", "serve FILE", 99999, true, 200, 99999, ""},
        UpstreamCase{"file_at_the_bound", "serve FILE", 100000, true, 200, 100000, "100000"},
        UpstreamCase{"file_under_the_bound", "serve FILE", 0, true, 200, 100000, "100000"},
        UpstreamCase{"never_answers", "silent", 0, false, 504, 0, "0", 650ms, 2200ms},
        UpstreamCase{"stops_mid_body", "stall 1000 FILE", 0, false, 200, 1000, nullptr, 650ms,
                     2200ms},
        UpstreamCase{"reset_mid_body", "reset 1000 FILE", 0, false, 200, 1000, nullptr, 0ms, 700ms},
        UpstreamCase{"closes_at_once", "close", 0, false, 502, 0, "0", 0ms, 700ms},
        UpstreamCase{"trickles", "trickle", 0, false, 200, -1, "", 0ms, 1000ms},
        UpstreamCase{"connection_unanswered", "unanswered", 0, false, 504, 0, "0", 350ms, 2500ms,
                     true},
        UpstreamCase{"connection_refused", "refused", 0, false, 502, 0, "0", 0ms, 1000ms, true}),
    ByName());

// --- playlists --------------------------------------------------------------------------------

struct HugePlaylistCase
{
    const char* name;
    QByteArray lineEnd;
    qsizetype bound;
};

class HugePlaylist : public RelayTest, public ::testing::WithParamInterface<HugePlaylistCase>
{};

TEST_P(HugePlaylist, IsCutAtALineEndUnderTheBound)
{
    const QByteArray& end = GetParam().lineEnd;
    QByteArray text = "#EXTM3U" + end + "#EXT-X-TARGETDURATION:1" + end;
    for (int i = 0; i < 200000; ++i)
        text += "#EXTINF:1.0," + end + "seg" + QByteArray::number(i) + ".ts" + end;
    HttpServer server({u"serve"_qs, m_files.put(u"index.m3u8"_qs, text)});
    relay::Limits limits;
    limits.maxPlaylistBytes = GetParam().bound;
    const auto route = open(LoopbackUrl(server.port(), u"/index.m3u8"_qs), limits);
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
            ASSERT_TRUE(line.startsWith(prefix) && line.endsWith(".ts")) << line.constData();
        }
    }
    EXPECT_GT(uris, 100);
    EXPECT_LE(entries - uris, 1) << "only the last entry may have lost its URI";
}

INSTANTIATE_TEST_SUITE_P(
    Playlists, HugePlaylist,
    ::testing::Values(HugePlaylistCase{"lf_64_KiB", "\n", qsizetype(64) * 1024},
                      HugePlaylistCase{"lf_default_4_MiB", "\n", relay::Limits{}.maxPlaylistBytes},
                      HugePlaylistCase{"crlf_64_KiB", "\r\n", qsizetype(64) * 1024},
                      HugePlaylistCase{"crlf_1_MiB", "\r\n", qsizetype(1024) * 1024}),
    ByName());

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

TEST_F(RelayTest, ConnectionsBeyondTheBoundAreRefusedUntilOneEndsAndIdleOnesTakeNone)
{
    HttpServer silent({u"silent"_qs});
    HttpServer files({u"serve"_qs, m_files.put(u"segment.ts"_qs, "segment")});
    relay::Limits limits;
    limits.firstByteTimeout = limits.headTimeout = 60s; // the strangers stay all along
    const auto stuck = open(LoopbackUrl(silent.port(), u"/segment.ts"_qs), limits);
    const auto good = open(LoopbackUrl(files.port(), u"/index.m3u8"_qs));
    ASSERT_TRUE(stuck && good);
    const QString goodSegment = RelayUrlOf(good->LocalUrl(), relay::Kind::Media,
                                           LoopbackUrl(files.port(), u"/segment.ts"_qs));

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

TEST_F(RelayTest, StrangersAtTheDoorAreDroppedWithAResetAndNeverKeepARequestOut)
{
    HttpServer files({u"serve"_qs, m_files.put(u"segment.ts"_qs, "segment")});
    relay::Limits limits;
    limits.firstByteTimeout = 300ms;
    limits.headTimeout = 600ms;
    const QString url = LoopbackUrl(files.port(), u"/segment.ts"_qs);
    const auto route = open(url, limits);
    ASSERT_TRUE(route);

    // More than may wait at once: the oldest are pushed out as new ones come. The last ten send
    // half a head.
    std::vector<posix::UniqueFd> strangers;
    for (int i = 0; i < 110; ++i) {
        strangers.push_back(ConnectTo(m_relay->Port()));
        if (i >= 100) {
            ASSERT_EQ(::send(strangers.back().get(), "GET /", 5, MSG_NOSIGNAL), 5);
        }
    }
    const HttpReply reply =
        Fetch(RelayUrlOf(route->LocalUrl(), relay::Kind::Media, url), {}, "GET", 5s);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "segment");

    // Each is dropped by its own limit, or pushed out: all with a reset.
    for (const posix::UniqueFd& stranger : strangers) {
        std::optional<bool> reset;
        ASSERT_TRUE(WaitUntil([&] { return (reset = closedHow(stranger.get())).has_value(); }, 5s));
        EXPECT_TRUE(*reset);
    }
}

} // namespace
