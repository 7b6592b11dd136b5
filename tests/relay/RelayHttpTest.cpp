// The relay between a real HTTP client and real loopback HTTP servers: what a playlist names
// comes back through the route, and the rest of HTTP passes as the server said it.
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
    const QString local = route.LocalUrl();
    return local.left(local.indexOf(u'/', local.indexOf(u'/', 7) + 1) + 1);
}

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
    const QByteArray content = QByteArray("content of ") + form.name;
    (form.far ? m_farFiles : m_files).put(QString::fromUtf8(form.file), content);
    const auto route = open(m_origin.url(QStringLiteral("/hls/live/index.m3u8")));
    ASSERT_TRUE(route);

    const HttpReply playlist = Fetch(route->LocalUrl());
    ASSERT_EQ(playlist.status, 200);
    EXPECT_FALSE(playlist.has("content-length")) << "a rewritten body has a new length";
    const QStringList uris = urisIn(playlist.body);
    ASSERT_EQ(uris.size(), 1) << playlist.body.constData();
    EXPECT_TRUE(uris[0].startsWith(routePrefix(*route))) << uris[0].toStdString();

    const HttpReply item = Fetch(uris[0]);
    EXPECT_EQ(item.status, 200) << uris[0].toStdString();
    EXPECT_EQ(item.body, content);
    EXPECT_TRUE((form.far ? m_far : m_origin).requests().contains(u"GET "_qs + form.requested))
        << (form.far ? m_far : m_origin).requests().join(u", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PlaylistUri,
    ::testing::Values(
        UriForm{"relative", "seg1.ts", false, "hls/live/seg1.ts", "/hls/live/seg1.ts"},
        UriForm{"subfolder", "low/seg1.ts", false, "hls/live/low/seg1.ts", "/hls/live/low/seg1.ts"},
        UriForm{"dot_segments", "../ch2/./seg1.ts", false, "hls/ch2/seg1.ts", "/hls/ch2/seg1.ts"},
        UriForm{"root_relative", "/hls/other/seg1.ts", false, "hls/other/seg1.ts",
                "/hls/other/seg1.ts"},
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
        UriForm{"map_attribute", "#EXT-X-MAP:URI=\"/init/map.mp4\"", false, "init/map.mp4",
                "/init/map.mp4"},
        UriForm{"media_attribute",
                "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"A, b\",URI=\"audio/a.aac\"", false,
                "hls/live/audio/a.aac", "/hls/live/audio/a.aac"},
        UriForm{"iframe_attribute",
                "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1,URI=\"http://127.0.0.1:FAR/if/i.bin\"", true,
                "if/i.bin", "/if/i.bin"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Kind
{
    const char* name;
    const char* type; // empty: the server's own by extension
    QByteArray body;
    bool playlist;
};

class PlaylistKind : public RelayOverHttp, public ::testing::WithParamInterface<Kind>
{};

TEST_P(PlaylistKind, IsRewrittenOnlyWhenItIsOne)
{
    m_files.put(QStringLiteral("list.txt"), GetParam().body);
    QString path = QStringLiteral("/list.txt");
    if (*GetParam().type != '\0')
        path += u"?type="_qs + QString::fromLatin1(QUrl::toPercentEncoding(GetParam().type));
    const auto route = open(m_origin.url(path));
    ASSERT_TRUE(route);
    // A media body is seen whole, once, by an observer of its own; a playlist by none.
    auto observed = std::make_shared<QByteArray>();
    auto observers = std::make_shared<std::atomic<int>>(0);
    route->ObserveBodies([observed, observers] {
        ++*observers;
        return [observed](QByteArrayView chunk) {
            observed->append(chunk);
        };
    });
    const HttpReply reply = Fetch(route->LocalUrl());
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(observers->load(), GetParam().playlist ? 0 : 1);
    EXPECT_EQ(*observed, GetParam().playlist ? QByteArray() : GetParam().body);
    if (GetParam().playlist) {
        EXPECT_NE(reply.body, GetParam().body);
        EXPECT_TRUE(reply.body.contains(routePrefix(*route).toLatin1() + "http/127.0.0.1:" +
                                        QByteArray::number(m_origin.port()) + "/seg.ts\n"))
            << reply.body.constData();
        EXPECT_FALSE(reply.has("content-length"));
    } else {
        EXPECT_EQ(reply.body, GetParam().body);
        EXPECT_EQ(reply.header("content-length").toLongLong(), GetParam().body.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlaylistKind,
    ::testing::Values(
        Kind{"apple_type", "application/vnd.apple.mpegurl", "#EXTM3U\nseg.ts\n", true},
        Kind{"x_mpegurl_with_charset", "application/x-mpegURL; charset=utf-8", "seg.ts\n", true},
        Kind{"audio_mpegurl", "audio/mpegurl", "seg.ts\n", true},
        Kind{"audio_x_mpegurl", "audio/x-mpegurl", "seg.ts\n", true},
        Kind{"text_starting_like_one", "text/plain", "#EXTM3U\r\nseg.ts\n", true},
        Kind{"octet_stream_with_bom", "application/octet-stream", "\xEF\xBB\xBF#EXTM3U\nseg.ts\n",
             true},
        Kind{"plain_text", "text/plain", "seg.ts\n#EXTM3U\n", false},
        Kind{"transport_stream", "video/mp2t", "G@\x11\x10seg.ts\n", false}),
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

TEST_F(RelayOverHttp, RedirectThatLeavesHttpOrNeverEndsIsABadGateway)
{
    for (const QString& path :
         {u"/redirect/302?to=ftp%3A%2F%2F127.0.0.1%2Fx"_qs,
          u"/redirect/302?to=file%3A%2F%2F%2Fetc%2Fpasswd"_qs, u"/redirect/301"_qs}) {
        const auto route = open(m_origin.url(path));
        ASSERT_TRUE(route);
        const HttpReply reply = Fetch(route->LocalUrl());
        EXPECT_EQ(reply.status, 502) << path.toStdString();
        EXPECT_TRUE(reply.body.isEmpty());
    }
}

// --- what passes ------------------------------------------------------------------------------

class StatusCode : public RelayOverHttp, public ::testing::WithParamInterface<int>
{};

TEST_P(StatusCode, PassesWithItsBody)
{
    const auto route = open(m_origin.url(QStringLiteral("/status/%1").arg(GetParam())));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl());
    EXPECT_EQ(reply.status, GetParam());
    EXPECT_EQ(reply.body, "status " + QByteArray::number(GetParam()) + "\n");
    EXPECT_EQ(reply.header("content-length"), QByteArray::number(reply.body.size()));
    EXPECT_EQ(reply.header("connection"), "close");
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusCode, ::testing::Values(200, 403, 404, 410, 500, 503),
                         [](const auto& info) { return std::to_string(info.param); });

TEST_F(RelayOverHttp, MissingFilePassesAs404)
{
    const auto route = open(m_origin.url(QStringLiteral("/hls/nothing.ts")));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl());
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, "not found\n");
}

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
    const auto route = open(m_origin.url(QStringLiteral("/data.ts")));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl(), {QByteArray("Range: ") + GetParam().range});
    EXPECT_EQ(reply.status, GetParam().status);
    EXPECT_EQ(reply.header("content-range"), GetParam().contentRange);
    EXPECT_EQ(reply.body, data.mid(GetParam().first, GetParam().size));
    EXPECT_EQ(reply.header("content-length").toInt(), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ByteRange,
    ::testing::Values(RangeCase{"first_ten", "bytes=0-9", 206, "bytes 0-9/1000", 0, 10},
                      RangeCase{"from_990", "bytes=990-", 206, "bytes 990-999/1000", 990, 10},
                      RangeCase{"last_five", "bytes=-5", 206, "bytes 995-999/1000", 995, 5},
                      RangeCase{"whole_from_zero", "bytes=0-", 206, "bytes 0-999/1000", 0, 1000},
                      RangeCase{"beyond_the_end", "bytes=1000-", 416, "bytes */1000", 0, 0}),
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
    const auto route = open(m_origin.url(QStringLiteral("/seg.ts")));
    ASSERT_TRUE(route);
    const HttpReply reply = Fetch(route->LocalUrl(), {}, "HEAD");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("content-length"), "1234");
    EXPECT_EQ(reply.header("content-type"), "video/mp2t");
    EXPECT_TRUE(reply.body.isEmpty());
    EXPECT_TRUE(m_origin.requests().contains(u"HEAD /seg.ts"_qs));
}

TEST_F(RelayOverHttp, AgentAndCacheControlGoUpstreamAndNothingElseOfTheClients)
{
    const auto route = open(m_origin.url(QStringLiteral("/echo")));
    ASSERT_TRUE(route);
    const HttpReply reply =
        Fetch(route->LocalUrl(), {"User-Agent: VLC/3.0.24 LibVLC/3.0.24", "Cache-Control: no-cache",
                                  "Cookie: secret=1", "Referer: http://x/"});
    ASSERT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body.contains("user-agent: VLC/3.0.24 LibVLC/3.0.24\n"))
        << reply.body.constData();
    EXPECT_TRUE(reply.body.contains("cache-control: no-cache\n"));
    EXPECT_TRUE(reply.body.contains("via: 1.1 quorvel\n"));
    EXPECT_FALSE(reply.body.contains("cookie"));
    EXPECT_FALSE(reply.body.contains("referer"));
}

TEST_F(RelayOverHttp, RawSpaceAndUtf8InTheRequestArePercentEncodedUpstream)
{
    m_files.put(QStringLiteral("频道 8/段.ts"), "channel eight");
    const auto route = open(m_origin.url(QStringLiteral("/")));
    ASSERT_TRUE(route);
    const QByteArray target = TargetOf(route->LocalUrl()) + QStringLiteral("频道 8/段.ts").toUtf8();
    const HttpReply reply =
        Exchange(m_relay.Port(), "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "channel eight");
    EXPECT_TRUE(m_origin.requests().contains(u"GET /%E9%A2%91%E9%81%93%208/%E6%AE%B5.ts"_qs))
        << m_origin.requests().join(u", ").toStdString();
}

// --- what is refused --------------------------------------------------------------------------

struct Refusal
{
    const char* name;
    QByteArray request; // %ROUTE%: a live route's target
    int status;
};

class RefusedRequest : public RelayOverHttp, public ::testing::WithParamInterface<Refusal>
{};

TEST_P(RefusedRequest, NeverReachesUpstream)
{
    m_files.put(QStringLiteral("seg.ts"), "x");
    const auto route = open(m_origin.url(QStringLiteral("/seg.ts")));
    ASSERT_TRUE(route);
    QByteArray request = GetParam().request;
    request.replace("%ROUTE%", TargetOf(route->LocalUrl()));
    const HttpReply reply = Exchange(m_relay.Port(), request);
    EXPECT_EQ(reply.status, GetParam().status);
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_TRUE(m_origin.requests().isEmpty()) << m_origin.requests().join(u", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedRequest,
    ::testing::Values(Refusal{"unknown_route",
                              "GET /0123456789abcdef/http/127.0.0.1:1/seg.ts HTTP/1.1\r\n\r\n",
                              404},
                      Refusal{"not_a_relay_path", "GET /favicon.ico HTTP/1.1\r\n\r\n", 404},
                      Refusal{"post", "POST %ROUTE% HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
                      Refusal{"not_http", "HELLO\r\n\r\n", 400},
                      Refusal{"huge_head",
                              "GET %ROUTE% HTTP/1.1\r\nX: " + QByteArray(40000, 'a') + "\r\n\r\n",
                              400}),
    [](const auto& info) { return std::string(info.param.name); });

struct Upstream
{
    const char* name;
    const char* url;
};

class UnusableUpstream : public ::testing::TestWithParam<Upstream>
{};

TEST_P(UnusableUpstream, OpensNoRoute)
{
    relay::StreamRelay relay;
    ASSERT_TRUE(relay.Start());
    EXPECT_FALSE(relay.Open(QString::fromUtf8(GetParam().url)));
}

INSTANTIATE_TEST_SUITE_P(Addresses, UnusableUpstream,
                         ::testing::Values(Upstream{"udp", "udp://@224.1.1.1:1234"},
                                           Upstream{"file", "file:///etc/passwd"},
                                           Upstream{"ftp", "ftp://h/x.m3u8"},
                                           Upstream{"no_host", "http:///x.m3u8"},
                                           Upstream{"relative", "/hls/index.m3u8"},
                                           Upstream{"empty", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StreamRelay, OpensRoutesOnlyOnceStartedAndStartsOnce)
{
    relay::StreamRelay relay;
    EXPECT_FALSE(relay.Open(QStringLiteral("http://127.0.0.1/x.m3u8")));
    ASSERT_TRUE(relay.Start());
    EXPECT_FALSE(relay.Start());
    const auto first = relay.Open(QStringLiteral("http://127.0.0.1/x.m3u8"));
    const auto second = relay.Open(QStringLiteral("http://127.0.0.1/x.m3u8"));
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(
        first->LocalUrl().startsWith(QStringLiteral("http://127.0.0.1:%1/").arg(relay.Port())));
    EXPECT_NE(first->LocalUrl(), second->LocalUrl()) << "each player has a route of its own";
}

} // namespace
