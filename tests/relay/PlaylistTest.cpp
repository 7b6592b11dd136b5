// Playlists and responses on their way to libvlc, without a network: every URI form a server may
// write must come back pointing through the route, whatever the chunks the body arrives in.
#include "Playlist.h"

#include "Response.h"

#include <gtest/gtest.h>

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

constexpr QByteArrayView kRouteBase = "http://127.0.0.1:4000/k/";
constexpr char kPlaylistUrl[] = "http://origin:8080/hls/ch1/index.m3u8";
#define RELAYED "http://127.0.0.1:4000/k/"

struct Line
{
    const char* name;
    const char* line;
    const char* rewritten;
};

class PlaylistLine : public ::testing::TestWithParam<Line>
{};

TEST_P(PlaylistLine, IsRewrittenThroughTheRoute)
{
    const relay::PlaylistRewriter rewriter(QUrl(kPlaylistUrl), kRouteBase.toByteArray(), 1 << 20);
    EXPECT_EQ(rewriter.RewriteLine(GetParam().line), GetParam().rewritten);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PlaylistLine,
    ::testing::Values(
        Line{"relative", "seg1.ts", RELAYED "http/origin:8080/hls/ch1/seg1.ts"},
        Line{"root_relative", "/other/seg.ts", RELAYED "http/origin:8080/other/seg.ts"},
        Line{"absolute", "http://cdn/x/seg.ts?t=1", RELAYED "http/cdn/x/seg.ts?t=1"},
        Line{"absolute_https", "https://cdn:444/seg.ts", RELAYED "https/cdn:444/seg.ts"},
        Line{"scheme_relative", "//cdn2/seg.ts", RELAYED "http/cdn2/seg.ts"},
        Line{"dot_segments", "../ch2/./seg.ts", RELAYED "http/origin:8080/hls/ch2/seg.ts"},
        Line{"padded", " \tseg1.ts  ", RELAYED "http/origin:8080/hls/ch1/seg1.ts"},
        Line{"space_and_chinese", "频道 1.ts",
             RELAYED "http/origin:8080/hls/ch1/%E9%A2%91%E9%81%93%201.ts"},
        Line{"data_uri_kept", "data:text/plain,abc", "data:text/plain,abc"},
        Line{"key_system_kept", "skd://key-id", "skd://key-id"},
        Line{"comment_kept", "# seg1.ts", "# seg1.ts"}, Line{"empty_kept", "  ", "  "},
        Line{"title_is_not_an_attribute", "#EXTINF:1.0,URI=\"x.ts\"", "#EXTINF:1.0,URI=\"x.ts\""},
        Line{"key", "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\",IV=0x1",
             "#EXT-X-KEY:METHOD=AES-128,URI=\"" RELAYED
             "http/origin:8080/hls/ch1/key.bin\",IV=0x1"},
        Line{"map", "#EXT-X-MAP:URI=\"/init.mp4\",BYTERANGE=\"1000@0\"",
             "#EXT-X-MAP:URI=\"" RELAYED "http/origin:8080/init.mp4\",BYTERANGE=\"1000@0\""},
        Line{"media_with_comma_in_name",
             "#EXT-X-MEDIA:TYPE=AUDIO,NAME=\"English, URI=main\",URI=\"en/a.m3u8\",DEFAULT=YES",
             "#EXT-X-MEDIA:TYPE=AUDIO,NAME=\"English, URI=main\",URI=\"" RELAYED
             "http/origin:8080/hls/ch1/en/a.m3u8\",DEFAULT=YES"},
        Line{"iframe_stream", "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=9,CODECS=\"a,b\",URI=\"i.m3u8\"",
             "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=9,CODECS=\"a,b\",URI=\"" RELAYED
             "http/origin:8080/hls/ch1/i.m3u8\""},
        Line{"other_attribute_named_like_uri", "#EXT-X-FOO:ALT-URI=\"x.ts\"",
             "#EXT-X-FOO:ALT-URI=\"x.ts\""},
        Line{"unterminated_quote", "#EXT-X-MAP:URI=\"init.mp4",
             "#EXT-X-MAP:URI=\"" RELAYED "http/origin:8080/hls/ch1/init.mp4"}),
    [](const auto& info) { return std::string(info.param.name); });

QByteArray samplePlaylist()
{
    QByteArray text = "#EXTM3U\r\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\r\n";
    for (int i = 0; i < 40; ++i)
        text += "#EXTINF:1.0,\nseg" + QByteArray::number(i) + ".ts" + (i % 2 ? "\r\n" : "\n");
    return text + "#EXT-X-ENDLIST"; // no final line break
}

QByteArray rewrite(const QByteArray& playlist, qsizetype chunk, qsizetype maxBytes)
{
    relay::PlaylistRewriter rewriter(QUrl(kPlaylistUrl), kRouteBase.toByteArray(), maxBytes);
    QByteArray out;
    for (qsizetype at = 0; at < playlist.size(); at += chunk)
        rewriter.Feed(QByteArrayView(playlist).sliced(at, std::min(chunk, playlist.size() - at)),
                      out);
    rewriter.Finish(out);
    return out;
}

struct Feeding
{
    qsizetype chunk;
    qsizetype maxBytes;
};

class PlaylistFeed : public ::testing::TestWithParam<Feeding>
{};

TEST_P(PlaylistFeed, GivesThePrefixOfWholeLinesThatFitsTheBound)
{
    const QByteArray playlist = samplePlaylist();
    const QByteArray whole = rewrite(playlist, playlist.size(), 1 << 20);
    ASSERT_EQ(whole.count('\n'), playlist.count('\n'));
    ASSERT_EQ(whole.count(RELAYED "http/origin:8080/hls/ch1/seg"), 40);

    const QByteArray bounded = rewrite(playlist, GetParam().chunk, GetParam().maxBytes);
    EXPECT_TRUE(whole.startsWith(bounded));
    EXPECT_LE(bounded.size(), GetParam().maxBytes);
    if (bounded.size() < whole.size()) {
        EXPECT_TRUE(bounded.isEmpty() || bounded.endsWith('\n'));
        // Cut at the last line end that fits, not earlier.
        const qsizetype nextEnd = whole.indexOf('\n', bounded.size());
        EXPECT_GT(nextEnd + 1, GetParam().maxBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Chunks, PlaylistFeed,
                         ::testing::Values(Feeding{1, 1 << 20}, Feeding{3, 1 << 20},
                                           Feeding{1000, 1 << 20}, Feeding{1, 500},
                                           Feeding{7, 1234}, Feeding{4096, 2000}, Feeding{5, 8}),
                         [](const auto& info) {
                             return "chunk_" + std::to_string(info.param.chunk) + "_bound_" +
                                    std::to_string(info.param.maxBytes);
                         });

TEST(PlaylistFeed, LineLongerThanTheBoundEndsThePlaylistBeforeIt)
{
    relay::PlaylistRewriter rewriter(QUrl(kPlaylistUrl), kRouteBase.toByteArray(), 100);
    QByteArray out;
    rewriter.Feed("#EXTM3U\n#EXT-X-TARGETDURATION:1\n", out);
    rewriter.Feed(QByteArray(150, 'a'), out);
    EXPECT_TRUE(rewriter.Full());
    rewriter.Feed("\nseg1.ts\n", out);
    rewriter.Finish(out);
    EXPECT_EQ(out, "#EXTM3U\n#EXT-X-TARGETDURATION:1\n");
}

struct Sniff
{
    const char* name;
    QByteArrayView prefix;
    bool complete;
    std::optional<bool> playlist;
};

class PlaylistSniff : public ::testing::TestWithParam<Sniff>
{};

TEST_P(PlaylistSniff, TellsFromTheFirstBytes)
{
    EXPECT_EQ(relay::SniffPlaylist(GetParam().prefix, GetParam().complete), GetParam().playlist);
}

INSTANTIATE_TEST_SUITE_P(Bodies, PlaylistSniff,
                         ::testing::Values(Sniff{"header", "#EXTM3U\n", false, true},
                                           Sniff{"after_bom", "\xEF\xBB\xBF#EXTM3U", false, true},
                                           Sniff{"part_of_bom", "\xEF\xBB", false, std::nullopt},
                                           Sniff{"part_of_header", "#EXT", false, std::nullopt},
                                           Sniff{"part_of_header_at_end", "#EXT", true, false},
                                           Sniff{"other_tag", "#EXTINF:1", false, false},
                                           Sniff{"transport_stream", "G@\x11", false, false},
                                           Sniff{"empty_at_end", "", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlaylistContentType, NamesThePlaylistTypesOnly)
{
    for (const char* type : {"application/vnd.apple.mpegurl", "application/x-mpegURL",
                             "audio/mpegurl", "AUDIO/X-MPEGURL ; charset=utf-8"})
        EXPECT_TRUE(relay::IsPlaylistContentType(type)) << type;
    for (const char* type : {"", "video/mp2t", "text/plain", "application/vnd.apple.mpegurl2",
                             "application/json; x=application/x-mpegurl"})
        EXPECT_FALSE(relay::IsPlaylistContentType(type)) << type;
}

// --- whole responses ------------------------------------------------------------------------

struct Shaping
{
    const char* name;
    relay::UpstreamResponse upstream;
    QByteArray body;
    qsizetype chunk;
    QByteArray expected; // head and body as libvlc receives them
    bool full;           // the relay stops reading upstream
};

relay::UpstreamResponse upstream(int status, QByteArray type, qint64 length, QByteArray range = {})
{
    return {status, std::move(type), std::move(range), length, kPlaylistUrl};
}

class ShapedResponse : public ::testing::TestWithParam<Shaping>
{};

TEST_P(ShapedResponse, IsWhatLibvlcReceives)
{
    relay::Limits limits;
    limits.maxBodyBytes = 10;
    relay::ResponseShaper shaper(GetParam().upstream, limits, kRouteBase.toByteArray());
    QByteArray out;
    const QByteArray& body = GetParam().body;
    for (qsizetype at = 0; at < body.size() && !shaper.Full(); at += GetParam().chunk)
        shaper.Feed(QByteArrayView(body).sliced(at, std::min(GetParam().chunk, body.size() - at)),
                    out);
    EXPECT_EQ(shaper.Full(), GetParam().full);
    if (!shaper.Full())
        shaper.Finish(out);
    EXPECT_EQ(out, GetParam().expected);
}

#define HEAD_200(extra) "HTTP/1.1 200 OK\r\n" extra "Connection: close\r\n\r\n"

INSTANTIATE_TEST_SUITE_P(
    Responses, ShapedResponse,
    ::testing::Values(
        Shaping{"length_within_bound", upstream(200, "video/mp2t", 4), "abcd", 1,
                HEAD_200("Content-Type: video/mp2t\r\nContent-Length: 4\r\n") "abcd", false},
        Shaping{"length_beyond_bound_is_cut_without_length", upstream(200, "video/mp2t", 12),
                "abcdefghijkl", 5, HEAD_200("Content-Type: video/mp2t\r\n") "abcdefghij", true},
        Shaping{"endless_is_cut", upstream(200, "", -1), QByteArray(100, 'x'), 3,
                HEAD_200("") + QByteArray(10, 'x'), true},
        Shaping{"playlist_by_type_loses_its_length", upstream(200, "audio/mpegurl", 8),
                "#EXTM3U\na", 2,
                HEAD_200("Content-Type: audio/mpegurl\r\n") "#EXTM3U\n" RELAYED
                                                            "http/origin:8080/hls/ch1/a",
                false},
        Shaping{"playlist_by_first_bytes", upstream(200, "text/plain", 13),
                "\xEF\xBB\xBF#EXTM3U\nb.ts\n", 1,
                HEAD_200("Content-Type: text/plain\r\n") "\xEF\xBB\xBF#EXTM3U\n" RELAYED
                                                         "http/origin:8080/hls/ch1/b.ts\n",
                false},
        Shaping{"short_body_that_could_have_been_a_playlist", upstream(200, "text/plain", 3), "#EX",
                1, HEAD_200("Content-Type: text/plain\r\nContent-Length: 3\r\n") "#EX", false},
        Shaping{"playlist_range_from_the_start_is_whole",
                upstream(206, "application/x-mpegurl", 10, "bytes 0-9/10"), "#EXTM3U\nc\n", 4,
                HEAD_200("Content-Type: application/x-mpegurl\r\n") "#EXTM3U\n" RELAYED
                                                                    "http/origin:8080/hls/ch1/c\n",
                false},
        Shaping{"playlist_range_from_the_middle_is_refused",
                upstream(206, "application/x-mpegurl", 4, "bytes 6-9/10"), "U\nc\n", 4,
                "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: "
                "close\r\n\r\n",
                true},
        Shaping{"range_of_a_segment_passes", upstream(206, "video/mp2t", 2, "bytes 3-4/10"), "de",
                1,
                "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp2t\r\nContent-Range: "
                "bytes 3-4/10\r\nContent-Length: 2\r\nConnection: close\r\n\r\nde",
                false},
        Shaping{"not_found_passes", upstream(404, "text/html", 5), "nope\n", 5,
                "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: "
                "5\r\nConnection: close\r\n\r\nnope\n",
                false},
        Shaping{"header_injection_dropped", upstream(200, "a/b\r\nX-Evil: 1", 0), "", 1,
                HEAD_200("Content-Length: 0\r\n"), false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
