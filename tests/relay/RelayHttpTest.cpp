// The relay between a real HTTP client and real loopback HTTP servers: what a playlist names
// comes back through the route, a response is what its relay URL says it is, and of HTTP only
// what the relay parsed passes, either way.
#include "RelayTestKit.h"
#include "StreamRelay.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

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

// The URIs a playlist names: its URI lines and its URI="..." attributes.
QStringList urisIn(const QByteArray& playlist)
{
    QStringList uris;
    for (QByteArray line : playlist.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        if (!line.startsWith('#')) {
            uris << QString::fromUtf8(line);
            continue;
        }
        for (qsizetype at = line.indexOf("URI=\""); at >= 0; at = line.indexOf("URI=\"", at + 1)) {
            const qsizetype end = line.indexOf('"', at + 5);
            uris << QString::fromUtf8(line.mid(at + 5, end - at - 5));
        }
    }
    return uris;
}

// Everything up to and including the route's key: what every relayed URI must start with.
QString routePrefix(const relay::Route& route)
{
    return QString::fromLatin1(RouteBaseOf(route.LocalUrl()));
}

constexpr QByteArrayView kEmptyPlaylist = "#EXTM3U\n#EXT-X-ENDLIST\n";

class Folder
{
public:
    QString path() const { return m_dir.path(); }
    void put(const QString& name, const QByteArray& bytes) const
    {
        const QString file = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }

private:
    QTemporaryDir m_dir;
};

class RelayOverHttp : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_relay.Start()); }

    std::shared_ptr<relay::Route> open(const QString& upstream)
    {
        std::shared_ptr<relay::Route> route = m_relay.Open(upstream);
        EXPECT_TRUE(route) << upstream.toStdString();
        return route;
    }

    Folder m_files;
    Folder m_farFiles;
    OriginServer m_origin{m_files.path()};
    OriginServer m_far{m_farFiles.path()}; // another server, named by absolute URIs
    relay::StreamRelay m_relay;
};

// --- playlists --------------------------------------------------------------------------------

struct UriForm
{
    const char* name;
    const char* line;      // ORIGIN, FAR: the origin's port, the other server's
    bool far;              // the URI names the other server
    const char* file;      // the file it names, in that server's folder
    const char* requested; // the request line's target that server must see
    bool list = false;     // libvlc reads it as a playlist: it is one, and comes back rewritten
};

class PlaylistUri : public RelayOverHttp, public ::testing::WithParamInterface<UriForm>
{};

TEST_P(PlaylistUri, ComesBackThroughTheRouteAndReachesItsFile)
{
    const UriForm& form = GetParam();
    const QString line = QString::fromUtf8(form.line)
                             .replace(u"ORIGIN"_qs, QString::number(m_origin.port()))
                             .replace(u"FAR"_qs, QString::number(m_far.port()));
    m_files.put(QStringLiteral("hls/live/index.m3u8"),
                "#EXTM3U\n#EXT-X-TARGETDURATION:1\n" + line.toUtf8() + "\n#EXTINF:1.0,\n");
    const QByteArray content =
        form.list ? kEmptyPlaylist.toByteArray() : QByteArray("content of ") + form.name;
    (form.far ? m_farFiles : m_files).put(QString::fromUtf8(form.file), content);
    const auto route = open(m_origin.url(QStringLiteral("/hls/live/index.m3u8")));
    ASSERT_TRUE(route);
    // A body passed as bytes is seen whole, once, by an observer of its own; a playlist by none.
    auto observed = std::make_shared<QByteArray>();
    auto observers = std::make_shared<std::atomic<int>>(0);
    route->ObserveBodies([observed, observers] {
        ++*observers;
        return [observed](QByteArrayView chunk) {
            observed->append(chunk);
        };
    });

    const HttpReply playlist = Fetch(route->LocalUrl());
    ASSERT_EQ(playlist.status, 200);
    EXPECT_FALSE(playlist.has("content-length")) << "a rewritten body has a new length";
    const QStringList uris = urisIn(playlist.body);
    ASSERT_EQ(uris.size(), 1) << playlist.body.constData();
    EXPECT_TRUE(uris[0].startsWith(routePrefix(*route))) << uris[0].toStdString();

    const HttpReply item = Fetch(uris[0]);
    EXPECT_EQ(item.status, 200) << uris[0].toStdString();
    EXPECT_EQ(item.body, content);
    EXPECT_EQ(observers->load(), form.list ? 0 : 1);
    EXPECT_EQ(*observed, form.list ? QByteArray() : content);
    OriginServer& server = form.far ? m_far : m_origin;
    EXPECT_TRUE(server.requests().contains(u"GET "_qs + form.requested))
        << server.requests().join(u", ").toStdString();
    EXPECT_TRUE(server.requests(true).isEmpty()) << "every request came through the relay";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PlaylistUri,
    ::testing::Values(
        UriForm{"relative", "seg1.ts", false, "hls/live/seg1.ts", "/hls/live/seg1.ts"},
        UriForm{"absolute_same_server", "http://127.0.0.1:ORIGIN/abs/seg1.ts", false, "abs/seg1.ts",
                "/abs/seg1.ts"},
        UriForm{"absolute_other_server", "http://127.0.0.1:FAR/far/seg1.ts", true, "far/seg1.ts",
                "/far/seg1.ts"},
        UriForm{"query_kept", "seg1.ts?session=a%2Fb&n=1", false, "hls/live/seg1.ts",
                "/hls/live/seg1.ts?session=a%2Fb&n=1"},
        UriForm{"space_and_chinese", "频道 1.ts", false, "hls/live/频道 1.ts",
                "/hls/live/%E9%A2%91%E9%81%93%201.ts"},
        UriForm{"key_attribute", "#EXT-X-KEY:METHOD=AES-128,URI=\"keys/k1.bin\",IV=0x01", false,
                "hls/live/keys/k1.bin", "/hls/live/keys/k1.bin"},
        UriForm{"unquoted_map_attribute", "#EXT-X-MAP:URI=http://127.0.0.1:FAR/i.mp4", true,
                "i.mp4", "/i.mp4"},
        UriForm{"media_attribute",
                "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"A, b\",URI=\"audio/a.m3u8\"", false,
                "hls/live/audio/a.m3u8", "/hls/live/audio/a.m3u8", true},
        UriForm{"iframe_attribute",
                "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1,URI=http://127.0.0.1:FAR/if/i.m3u8", true,
                "if/i.m3u8", "/if/i.m3u8", true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- redirects --------------------------------------------------------------------------------

struct Redirect
{
    int code;
    bool elsewhere; // to the other server, by an absolute Location
};

class RedirectedPlaylist : public RelayOverHttp, public ::testing::WithParamInterface<Redirect>
{};

TEST_P(RedirectedPlaylist, ResolvesAgainstWhereItWasFound)
{
    const Folder& target = GetParam().elsewhere ? m_farFiles : m_files;
    target.put(QStringLiteral("moved/index.m3u8"), "#EXTM3U\n#EXTINF:1.0,\nseg.ts\n");
    target.put(QStringLiteral("moved/seg.ts"), "moved segment");
    const QString location = GetParam().elsewhere ? m_far.url(QStringLiteral("/moved/index.m3u8"))
                                                  : QStringLiteral("/moved/index.m3u8");
    const auto route =
        open(m_origin.url(QStringLiteral("/redirect/%1?to=%2")
                              .arg(GetParam().code)
                              .arg(QString::fromLatin1(QUrl::toPercentEncoding(location)))));
    ASSERT_TRUE(route);

    const HttpReply playlist = Fetch(route->LocalUrl());
    ASSERT_EQ(playlist.status, 200);
    const QStringList uris = urisIn(playlist.body);
    ASSERT_EQ(uris.size(), 1) << playlist.body.constData();
    EXPECT_TRUE(uris[0].startsWith(routePrefix(*route)));
    const HttpReply segment = Fetch(uris[0]);
    EXPECT_EQ(segment.status, 200);
    EXPECT_EQ(segment.body, "moved segment");
}

INSTANTIATE_TEST_SUITE_P(Codes, RedirectedPlaylist,
                         ::testing::Values(Redirect{301, false}, Redirect{302, false},
                                           Redirect{303, true}, Redirect{307, false},
                                           Redirect{308, true}, Redirect{302, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.code) +
                                    (info.param.elsewhere ? "_to_another_server" : "_same_server");
                         });

struct Unfollowed
{
    const char* name;
    const char* location; // RELAY: the relay's port
};

class UnfollowedRedirect : public RelayOverHttp, public ::testing::WithParamInterface<Unfollowed>
{};

TEST_P(UnfollowedRedirect, IsABadGatewayAndNeverComesBack)
{
    m_files.put(QStringLiteral("seg.ts"), "segment");
    const auto other = open(m_origin.url(QStringLiteral("/seg.ts")));
    ASSERT_TRUE(other);
    // A redirect into the relay, to another route's own URL: followed, it would be the relay
    // asking itself, without end.
    const QString location = QString::fromUtf8(GetParam().location)
                                 .replace(u"ROUTE"_qs, other->LocalUrl())
                                 .replace(u"RELAY"_qs, QString::number(m_relay.Port()));
    const auto route = open(m_origin.url(u"/redirect/302?to="_qs +
                                         QString::fromLatin1(QUrl::toPercentEncoding(location))));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl());
    EXPECT_EQ(reply.status, 502);
    EXPECT_TRUE(reply.body.isEmpty());
    EXPECT_LE(m_origin.requests().size(), 11) << m_origin.requests().join(u", ").toStdString();
    EXPECT_FALSE(m_origin.requests().contains(u"GET /seg.ts"_qs));
}

INSTANTIATE_TEST_SUITE_P(
    Locations, UnfollowedRedirect,
    ::testing::Values(Unfollowed{"ftp", "ftp://127.0.0.1/x"},
                      Unfollowed{"file", "file:///etc/passwd"}, Unfollowed{"without_end", ""},
                      Unfollowed{"into_the_relay", "ROUTE"},
                      Unfollowed{"into_the_relay_by_name", "http://localhost:RELAY/x"},
                      Unfollowed{"into_the_relay_by_another_loopback", "http://127.1.2.3:RELAY/x"},
                      Unfollowed{"into_the_relay_by_any", "http://0.0.0.0:RELAY/x"},
                      Unfollowed{"into_the_relay_mapped", "http://[::ffff:127.0.0.1]:RELAY/x"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- what passes ------------------------------------------------------------------------------

class StatusCode : public RelayOverHttp, public ::testing::WithParamInterface<int>
{};

TEST_P(StatusCode, PassesWithoutItsBody)
{
    const auto route = open(m_origin.url(QStringLiteral("/status/%1").arg(GetParam())));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl());
    EXPECT_EQ(reply.status, GetParam());
    EXPECT_TRUE(reply.body.isEmpty());
    EXPECT_EQ(reply.header("content-length"), "0");
    EXPECT_EQ(reply.header("connection"), "close");
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusCode, ::testing::Values(403, 404, 410, 500, 503),
                         [](const auto& info) { return std::to_string(info.param); });

struct RangeCase
{
    const char* name;
    const char* range;
    int status;
    const char* contentRange;
    int first;
    int size;
};

class ByteRange : public RelayOverHttp, public ::testing::WithParamInterface<RangeCase>
{};

TEST_P(ByteRange, PassesBothWays)
{
    QByteArray data;
    for (int i = 0; i < 1000; ++i)
        data += char(i * 7);
    m_files.put(QStringLiteral("data.ts"), data);
    const auto route = open(m_origin.url(QStringLiteral("/index.m3u8")));
    ASSERT_TRUE(route);
    const QString segment =
        RelayUrlOf(route->LocalUrl(), relay::Kind::Media, m_origin.url(u"/data.ts"_qs));
    const HttpReply reply = Fetch(segment, {QByteArray("Range: ") + GetParam().range});
    EXPECT_EQ(reply.status, GetParam().status);
    EXPECT_EQ(reply.header("content-range"),
              GetParam().status == 206 ? GetParam().contentRange : "");
    EXPECT_EQ(reply.body, data.mid(GetParam().first, GetParam().size));
    EXPECT_EQ(reply.header("content-length").toInt(), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ByteRange,
    ::testing::Values(RangeCase{"first_ten", "bytes=0-9", 206, "bytes 0-9/1000", 0, 10},
                      RangeCase{"from_990", "bytes=990-", 206, "bytes 990-999/1000", 990, 10},
                      RangeCase{"last_five", "bytes=-5", 206, "bytes 995-999/1000", 995, 5},
                      RangeCase{"whole_from_zero", "bytes=0-", 206, "bytes 0-999/1000", 0, 1000},
                      RangeCase{"beyond_the_end", "bytes=1000-", 416, "", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelayOverHttp, PlaylistAskedFromTheStartIsWholeAndFromTheMiddleIsRefused)
{
    m_files.put(QStringLiteral("index.m3u8"), "#EXTM3U\n#EXTINF:1.0,\nseg.ts\n");
    const auto route = open(m_origin.url(QStringLiteral("/index.m3u8")));
    ASSERT_TRUE(route);
    // libvlc's first request for the stream asks for "bytes=0-".
    const HttpReply whole = Fetch(route->LocalUrl(), {"Range: bytes=0-"});
    EXPECT_EQ(whole.status, 200);
    EXPECT_FALSE(whole.has("content-range"));
    EXPECT_EQ(urisIn(whole.body).size(), 1);
    EXPECT_TRUE(whole.body.startsWith("#EXTM3U\n#EXTINF:1.0,\nhttp://127.0.0.1:"));
    const HttpReply middle = Fetch(route->LocalUrl(), {"Range: bytes=5-"});
    EXPECT_EQ(middle.status, 416);
    EXPECT_TRUE(middle.body.isEmpty());
}

TEST_F(RelayOverHttp, HeadPassesTheLengthWithoutABody)
{
    m_files.put(QStringLiteral("seg.ts"), QByteArray(1234, 'G'));
    const auto route = open(m_origin.url(QStringLiteral("/index.m3u8")));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(
        RelayUrlOf(route->LocalUrl(), relay::Kind::Media, m_origin.url(u"/seg.ts"_qs)), {}, "HEAD");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("content-length"), "1234");
    EXPECT_TRUE(reply.body.isEmpty());
    EXPECT_TRUE(m_origin.requests().contains(u"HEAD /seg.ts"_qs));
}

// --- request heads ----------------------------------------------------------------------------

struct Head
{
    const char* name;
    QByteArray request; // ROUTE: a media relay URL's target, of the origin's /echo
    int status;
    QByteArray echoed; // what the origin received of the headers; empty: nothing reached it
};

class RequestHead : public RelayOverHttp, public ::testing::WithParamInterface<Head>
{};

TEST_P(RequestHead, IsServedOnlyAsTheRelayParsedIt)
{
    const auto route = open(m_origin.url(QStringLiteral("/index.m3u8")));
    ASSERT_TRUE(route);
    QByteArray request = GetParam().request;
    request.replace("ROUTE", TargetOf(RelayUrlOf(route->LocalUrl(), relay::Kind::Media,
                                                 m_origin.url(u"/echo"_qs))));
    const HttpReply reply = Exchange(m_relay.Port(), request, std::chrono::seconds(10));
    EXPECT_EQ(reply.status, GetParam().status);
    EXPECT_TRUE(reply.closedByServer);
    if (GetParam().echoed.isEmpty()) {
        EXPECT_TRUE(m_origin.requests().isEmpty()) << m_origin.requests().join(u", ").toStdString();
        return;
    }
    // Each '|'-separated part is in what the origin got; "!part" is not.
    for (const QByteArray& part : GetParam().echoed.split('|')) {
        const bool absent = part.startsWith('!');
        EXPECT_NE(reply.body.contains(absent ? part.mid(1) : part), absent)
            << part.constData() << " in\n"
            << reply.body.constData();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestHead,
    ::testing::Values(
        Head{"agent_and_cache_control_go_on_and_nothing_else",
             "GET ROUTE HTTP/1.1\r\nUser-Agent: VLC/3.0.24 LibVLC/3.0.24\r\nCache-Control: "
             "no-cache\r\nCookie: secret=1\r\nReferer: http://x/\r\n\r\n",
             200,
             "user-agent: VLC/3.0.24 LibVLC/3.0.24\n|cache-control: no-cache\n|via: 1.1 "
             "quorvel\n|!cookie|!referer"},
        Head{"bare_line_feeds", "GET ROUTE HTTP/1.0\nRange: bytes=0-\nUser-Agent: lf\n\n", 200,
             "user-agent: lf\n|range: bytes=0-\n"},
        Head{"bare_cr_in_range", "GET ROUTE HTTP/1.1\r\nRange: bytes=0-\rX-Evil: 1\r\n\r\n", 400,
             ""},
        Head{"bare_cr_in_user_agent", "GET ROUTE HTTP/1.1\r\nUser-Agent: a\rX-Evil: 1\r\n\r\n", 400,
             ""},
        Head{"nul_in_cache_control",
             QByteArray("GET ROUTE HTTP/1.1\r\nCache-Control: a\0b\r\n\r\n", 42), 400, ""},
        Head{"escape_in_user_agent", "GET ROUTE HTTP/1.1\r\nUser-Agent: a\x1B[31m\r\n\r\n", 400,
             ""},
        Head{"folded_header", "GET ROUTE HTTP/1.1\r\nUser-Agent: a\r\n X-Evil: 1\r\n\r\n", 400, ""},
        Head{"no_version", "GET ROUTE\r\n\r\n", 400, ""},
        Head{"other_version", "GET ROUTE HTTP/2.0\r\n\r\n", 400, ""},
        Head{"not_http", "GET ROUTE XTTP/1.1\r\n\r\n", 400, ""},
        Head{"unknown_route", "GET /0123456789abcdef/media/aHR0cDovL2gv/x HTTP/1.1\r\n\r\n", 404,
             ""},
        Head{"not_a_relay_path", "GET /favicon.ico HTTP/1.1\r\n\r\n", 404, ""},
        Head{"post", "POST ROUTE HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405, ""},
        Head{"connect", "CONNECT 127.0.0.1:80 HTTP/1.1\r\n\r\n", 405, ""},
        Head{"huge_head", "GET ROUTE HTTP/1.1\r\nX: " + QByteArray(40000, 'a') + "\r\n\r\n", 400,
             ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StreamRelay, OpensRoutesOnlyOnceStartedAndStartsOnce)
{
    relay::StreamRelay relay;
    EXPECT_FALSE(relay.Open(QStringLiteral("http://127.0.0.1/x.m3u8")));
    ASSERT_TRUE(relay.Start());
    EXPECT_FALSE(relay.Start());
    EXPECT_FALSE(relay.Open(QStringLiteral("http://[192.168.10.11]:8081/hls/index.m3u8")));
    const auto first = relay.Open(QStringLiteral("http://127.0.0.1/x.m3u8"));
    const auto second = relay.Open(QStringLiteral("http://127.0.0.1/x.m3u8"));
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(
        first->LocalUrl().startsWith(QStringLiteral("http://127.0.0.1:%1/").arg(relay.Port())));
    EXPECT_NE(first->LocalUrl(), second->LocalUrl()) << "each player has a route of its own";
}

} // namespace
