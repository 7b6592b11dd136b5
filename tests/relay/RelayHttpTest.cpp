// The relay between a real HTTP client and real loopback HTTP servers: what a playlist names
// comes back through the route, a response is what its relay URL says it is, and of HTTP only
// what the relay parsed passes, either way.
#include "RelayTestKit.h"
#include "TestNames.h"

#include <QUrl>

namespace {

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

constexpr QByteArrayView kEmptyPlaylist = "#EXTM3U\n#EXT-X-ENDLIST\n";

class RelayOverHttp : public RelayTest
{
protected:
    Folder m_farFiles;
    OriginServer m_origin{m_files.path()};
    OriginServer m_far{m_farFiles.path()}; // another server, named by absolute URIs
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
    // The route's address redirects to the playlist with this code: on the same server by its
    // path, or, when `far`, on the other one by its URL; URIs resolve against where it is.
    int redirect = 0;
};

class PlaylistUri : public RelayOverHttp, public ::testing::WithParamInterface<UriForm>
{};

TEST_P(PlaylistUri, ComesBackThroughTheRouteAndReachesItsFile)
{
    const UriForm& form = GetParam();
    const QString line = QString::fromUtf8(form.line)
                             .replace(u"ORIGIN"_qs, QString::number(m_origin.port()))
                             .replace(u"FAR"_qs, QString::number(m_far.port()));
    const QString path = QStringLiteral("/hls/live/index.m3u8");
    (form.redirect != 0 && form.far ? m_farFiles : m_files)
        .put(path.mid(1),
             "#EXTM3U\n#EXT-X-TARGETDURATION:1\n" + line.toUtf8() + "\n#EXTINF:1.0,\n");
    const QByteArray content =
        form.list ? kEmptyPlaylist.toByteArray() : QByteArray("content of ") + form.name;
    (form.far ? m_farFiles : m_files).put(QString::fromUtf8(form.file), content);
    const QString location = form.far ? m_far.url(path) : path;
    const auto route =
        open(form.redirect == 0
                 ? m_origin.url(path)
                 : m_origin.url(u"/redirect/%1?to=%2"_qs.arg(form.redirect)
                                    .arg(QString::fromLatin1(QUrl::toPercentEncoding(location)))));
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
    EXPECT_TRUE(uris[0].startsWith(QString::fromLatin1(RouteBaseOf(route->LocalUrl()))))
        << uris[0].toStdString();

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
                "if/i.m3u8", "/if/i.m3u8", true},
        UriForm{"after_301", "seg1.ts", false, "hls/live/seg1.ts", "/hls/live/seg1.ts", false, 301},
        UriForm{"after_302", "seg1.ts", false, "hls/live/seg1.ts", "/hls/live/seg1.ts", false, 302},
        UriForm{"after_307", "seg1.ts", false, "hls/live/seg1.ts", "/hls/live/seg1.ts", false, 307},
        UriForm{"after_302_to_another_server", "seg1.ts", true, "hls/live/seg1.ts",
                "/hls/live/seg1.ts", false, 302},
        UriForm{"after_303_to_another_server", "seg1.ts", true, "hls/live/seg1.ts",
                "/hls/live/seg1.ts", false, 303},
        UriForm{"after_308_to_another_server", "seg1.ts", true, "hls/live/seg1.ts",
                "/hls/live/seg1.ts", false, 308}),
    ByName());

// --- what passes ------------------------------------------------------------------------------

// 1000 bytes, each different from its neighbours.
QByteArray data()
{
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += char(i * 7);
    return bytes;
}

struct Answer
{
    const char* name;
    const char* path;   // on the origin; the route is opened there
    bool channel;       // the route's own address is asked for; else the path, as a segment
    QByteArray request; // URL: the target of the relay URL asked for
    int status;
    QByteArray headers; // '|'-separated "name: value", or "!name" for one that is absent
    // SEG: the relay URL of the origin's /seg.ts; "~a|~!b": the body holds a and not b.
    QByteArray body;
    const char* seen; // a request the origin received, "!..." one it did not; "": it got none
    // The Location of a redirect: ROUTE, another route's own URL; RELAY, the relay's port.
    const char* location;
};

Answer answer(const char* name, const char* path, bool channel, const QByteArray& method,
              const QByteArray& headers, int status, const QByteArray& expected,
              const QByteArray& body = {}, const char* seen = nullptr,
              const char* location = nullptr)
{
    return {name,    path,
            channel, method + " URL HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n",
            status,  expected,
            body,    seen,
            location};
}

// A response that comes to libvlc empty, the route's own address asked for.
Answer refused(const char* name, const char* path, int status, const char* location = nullptr,
               const char* seen = nullptr)
{
    return answer(name, path, true, "GET", "", status, "content-length: 0", "", seen, location);
}

Answer range(const char* name, const QByteArray& asked, int first, int last)
{
    const QByteArray length = QByteArray::number(last - first + 1);
    return answer(name, "/data.ts", false, "GET", "Range: bytes=" + asked + "\r\n", 206,
                  "content-range: bytes " + QByteArray::number(first) + '-' +
                      QByteArray::number(last) + "/1000|content-length: " + length,
                  data().mid(first, last - first + 1));
}

// A request head as it comes, for a segment of the origin's /echo, whose body is the headers it
// received: what reaches the server of the request, or nothing when `echoed` is empty.
Answer head(const char* name, const QByteArray& request, int status, const QByteArray& echoed)
{
    return {name,   "/echo", false, request, status, "", echoed, echoed.isEmpty() ? "" : nullptr,
            nullptr};
}

class Answered : public RelayOverHttp, public ::testing::WithParamInterface<Answer>
{};

TEST_P(Answered, IsWhatTheRelayMakesOfTheRequestAndTheResponse)
{
    const Answer& c = GetParam();
    m_files.put(QStringLiteral("data.ts"), data());
    m_files.put(QStringLiteral("seg.ts"), QByteArray(1234, 'G'));
    m_files.put(QStringLiteral("index.m3u8"), "#EXTM3U\n#EXTINF:1.0,\nseg.ts\n");
    const auto other = open(m_origin.url(QStringLiteral("/seg.ts")));
    ASSERT_TRUE(other);
    QString path = QString::fromLatin1(c.path);
    if (c.location != nullptr) {
        const QString location = QString::fromUtf8(c.location)
                                     .replace(u"ROUTE"_qs, other->LocalUrl())
                                     .replace(u"RELAY"_qs, QString::number(m_relay->Port()));
        path += u"?to="_qs + QString::fromLatin1(QUrl::toPercentEncoding(location));
    }
    const auto route = open(m_origin.url(path));
    ASSERT_TRUE(route);
    const QString url = c.channel ? route->LocalUrl()
                                  : RelayUrlOf(route->LocalUrl(), relay::Kind::Media,
                                               m_origin.url(QString::fromLatin1(c.path)));
    const HttpReply reply =
        Exchange(m_relay->Port(), QByteArray(c.request).replace("URL", TargetOf(url)), 10s);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_EQ(reply.header("connection"), "close");
    for (const QByteArray& header : c.headers.split('|')) {
        if (header.startsWith('!')) {
            EXPECT_FALSE(reply.has(header.mid(1))) << header.constData();
        } else if (!header.isEmpty()) {
            const qsizetype colon = header.indexOf(": ");
            EXPECT_EQ(reply.header(header.first(colon)), header.mid(colon + 2));
        }
    }
    if (c.body.startsWith('~')) {
        for (const QByteArray& part : c.body.split('|')) {
            const bool absent = part.startsWith("~!");
            EXPECT_NE(reply.body.contains(part.mid(absent ? 2 : 1)), absent)
                << part.constData() << " in\n"
                << reply.body.constData();
        }
    } else {
        EXPECT_EQ(reply.body, QByteArray(c.body).replace(
                                  "SEG", RelayUrlOf(route->LocalUrl(), relay::Kind::Media,
                                                    m_origin.url(QStringLiteral("/seg.ts")))
                                             .toLatin1()));
    }
    const QStringList requests = m_origin.requests();
    EXPECT_LE(requests.size(), 11) << requests.join(u", ").toStdString();
    if (c.seen != nullptr && *c.seen == '\0') {
        EXPECT_TRUE(requests.isEmpty()) << requests.join(u", ").toStdString();
    } else if (c.seen != nullptr) {
        const bool absent = *c.seen == '!';
        EXPECT_NE(requests.contains(QString::fromLatin1(c.seen + (absent ? 1 : 0))), absent)
            << requests.join(u", ").toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, Answered,
    ::testing::Values(
        // An error's body is the server's, not libvlc's business.
        refused("status_403", "/status/403", 403), refused("status_404", "/status/404", 404),
        refused("status_410", "/status/410", 410), refused("status_500", "/status/500", 500),
        refused("status_503", "/status/503", 503), range("range_first_ten", "0-9", 0, 9),
        range("range_from_990", "990-", 990, 999), range("range_last_five", "-5", 995, 999),
        range("range_whole_from_zero", "0-", 0, 999),
        answer("range_beyond_the_end", "/data.ts", false, "GET", "Range: bytes=1000-\r\n", 416,
               "content-length: 0|!content-range"),
        answer("head_passes_the_length", "/seg.ts", false, "HEAD", "", 200, "content-length: 1234",
               "", "HEAD /seg.ts"),
        // libvlc's first request for the stream asks for "bytes=0-".
        answer("playlist_from_the_start_is_whole", "/index.m3u8", true, "GET",
               "Range: bytes=0-\r\n", 200,
               "content-type: application/vnd.apple.mpegurl|!content-range|!content-length",
               "#EXTM3U\n#EXTINF:1.0,\nSEG\n"),
        answer("playlist_from_the_middle_is_refused", "/index.m3u8", true, "GET",
               "Range: bytes=5-\r\n", 416, "content-length: 0"),
        // Redirects the relay does not follow: a bad gateway, that never comes back. One into
        // the relay, followed, would be the relay asking itself, without end.
        refused("redirect_to_ftp", "/redirect/302", 502, "ftp://127.0.0.1/x"),
        refused("redirect_to_file", "/redirect/302", 502, "file:///etc/passwd"),
        refused("redirect_without_end", "/redirect/302", 502),
        refused("redirect_into_the_relay", "/redirect/302", 502, "ROUTE", "!GET /seg.ts"),
        refused("redirect_into_the_relay_by_name", "/redirect/302", 502,
                "http://localhost:RELAY/x"),
        refused("redirect_into_the_relay_by_another_loopback", "/redirect/302", 502,
                "http://127.1.2.3:RELAY/x"),
        refused("redirect_into_the_relay_by_any", "/redirect/302", 502, "http://0.0.0.0:RELAY/x"),
        refused("redirect_into_the_relay_mapped", "/redirect/302", 502,
                "http://[::ffff:127.0.0.1]:RELAY/x"),
        // Of the request, only what the relay parsed goes on.
        head("agent_and_cache_control_go_on_and_nothing_else",
             "GET URL HTTP/1.1\r\nUser-Agent: VLC/3.0.24 LibVLC/3.0.24\r\nCache-Control: "
             "no-cache\r\nCookie: secret=1\r\nReferer: http://x/\r\n\r\n",
             200,
             "~user-agent: VLC/3.0.24 LibVLC/3.0.24\n|~cache-control: no-cache\n|~via: 1.1 "
             "quorvel\n|~!cookie|~!referer"),
        head("bare_line_feeds", "GET URL HTTP/1.0\nRange: bytes=0-\nUser-Agent: lf\n\n", 200,
             "~user-agent: lf\n|~range: bytes=0-\n"),
        head("bare_cr_in_range", "GET URL HTTP/1.1\r\nRange: bytes=0-\rX-Evil: 1\r\n\r\n", 400, ""),
        head("bare_cr_in_user_agent", "GET URL HTTP/1.1\r\nUser-Agent: a\rX-Evil: 1\r\n\r\n", 400,
             ""),
        head("nul_in_cache_control",
             QByteArray("GET URL HTTP/1.1\r\nCache-Control: a\0b\r\n\r\n", 40), 400, ""),
        head("escape_in_user_agent", "GET URL HTTP/1.1\r\nUser-Agent: a\x1B[31m\r\n\r\n", 400, ""),
        head("folded_header", "GET URL HTTP/1.1\r\nUser-Agent: a\r\n X-Evil: 1\r\n\r\n", 400, ""),
        head("no_version", "GET URL\r\n\r\n", 400, ""),
        head("other_version", "GET URL HTTP/2.0\r\n\r\n", 400, ""),
        head("not_http", "GET URL XTTP/1.1\r\n\r\n", 400, ""),
        head("unknown_route", "GET /0123456789abcdef/media/aHR0cDovL2gv/x HTTP/1.1\r\n\r\n", 404,
             ""),
        head("not_a_relay_path", "GET /favicon.ico HTTP/1.1\r\n\r\n", 404, ""),
        head("post", "POST URL HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405, ""),
        head("connect", "CONNECT 127.0.0.1:80 HTTP/1.1\r\n\r\n", 405, ""),
        head("huge_head", "GET URL HTTP/1.1\r\nX: " + QByteArray(40000, 'a') + "\r\n\r\n", 400,
             "")),
    ByName());

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
