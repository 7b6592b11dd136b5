// Playlists and responses on their way to libvlc, without a network: whatever a server writes,
// what passes is the relay's own text, every URI a relay URL, whatever the chunks the body
// arrives in; and a response is what its relay URL says it is, never what the server says.
#include "Playlist.h"

#include "PeakMemory.h"
#include "RelayTestKit.h"
#include "Response.h"
#include "TestNames.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

constexpr QByteArrayView kRouteBase = "http://127.0.0.1:4000/k/";
constexpr char kPlaylistUrl[] = "http://origin:8080/hls/ch1/index.m3u8";

// The relay URLs in `text` written as <kind upstream> (<refused>), decoded here on their own.
QByteArray readable(const QByteArray& text)
{
    static const QRegularExpression relayUrl(QStringLiteral(
        R"(http://127\.0\.0\.1:4000/k/(?:(\w+)/([A-Za-z0-9_-]+)/[A-Za-z0-9._-]+|refused))"));
    QString out = QString::fromUtf8(text);
    for (QRegularExpressionMatch m = relayUrl.match(out); m.hasMatch(); m = relayUrl.match(out)) {
        const QString shown =
            m.captured(1).isEmpty()
                ? QStringLiteral("<refused>")
                : u'<' + m.captured(1) + u' ' +
                      QString::fromLatin1(QByteArray::fromBase64(m.captured(2).toLatin1(),
                                                                 QByteArray::Base64UrlEncoding)) +
                      u'>';
        out.replace(m.capturedStart(), m.capturedLength(), shown);
    }
    return out.toUtf8();
}

QByteArray rewrite(const QByteArray& playlist, qsizetype chunk, qsizetype maxBytes = 1 << 20)
{
    relay::PlaylistRewriter rewriter(kPlaylistUrl, kRouteBase.toByteArray(), maxBytes);
    QByteArray out;
    for (qsizetype at = 0; at < playlist.size(); at += chunk)
        rewriter.Feed(QByteArrayView(playlist).sliced(at, std::min(chunk, playlist.size() - at)),
                      out);
    rewriter.Finish(out);
    return out;
}

// A literal's bytes, NULs included.
template <qsizetype N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

struct Text
{
    const char* name;
    QByteArray playlist;
    QByteArray rewritten; // relay URLs as readable() shows them
};

class PlaylistText : public ::testing::TestWithParam<Text>
{};

TEST_P(PlaylistText, IsWrittenAgainFromWhatTheRelayUnderstood)
{
    const QByteArray whole = rewrite(GetParam().playlist, GetParam().playlist.size() + 1);
    EXPECT_EQ(readable(whole), GetParam().rewritten);
    EXPECT_EQ(rewrite(GetParam().playlist, 1), whole) << "byte by byte";
}

#define MEDIA(url) "<media " url ">"
#define LIST(url) "<list " url ">"
#define HERE "http://origin:8080/hls/ch1/"

INSTANTIATE_TEST_SUITE_P(
    Playlists, PlaylistText,
    ::testing::Values(
        // An I-frame playlist is named by its attribute: the lines after it stay segments.
        Text{"relative_segment",
             "#EXT-X-I-FRAME-STREAM-INF:URI=\"i.m3u8\"\n#EXTINF:1.0,\nseg1.ts\n",
             "#EXT-X-I-FRAME-STREAM-INF:URI=\"" LIST(HERE "i.m3u8") "\"\n#EXTINF:1.0,\n" MEDIA(
                 HERE "seg1.ts") "\n"},
        Text{"cr_only", "#EXTM3U\r#EXTINF:1,\rs.ts\r",
             "#EXTM3U\n#EXTINF:1,\n" MEDIA(HERE "s.ts") "\n"},
        Text{"crlf_blanks_and_padding", "#EXTM3U\r\n\r\n \t s.ts  \r\n",
             "#EXTM3U\n" MEDIA(HERE "s.ts") "\n"},
        Text{"byte_order_mark_and_no_final_break", "\xEF\xBB\xBF#EXTM3U\ns.ts",
             "#EXTM3U\n" MEDIA(HERE "s.ts") "\n"},
        Text{"network_path", "//cdn2/s.ts\n", MEDIA("http://cdn2/s.ts") "\n"},
        Text{"unroutable_and_other_schemes",
             "http://127.0.0.1:8080\\x/s.ts\nftp://h/x\ndata:text/plain,abc\nskd://k\n",
             "<refused>\n<refused>\n<refused>\n<refused>\n"},
        Text{"control_bytes_drop_the_line",
             bytes("a\x01"
                   "b.ts\nok.ts\nnul\0.ts\nd\x7F\n"),
             MEDIA(HERE "ok.ts") "\n"},
        Text{"comments_and_tags_libvlc_ignores",
             "# seg1.ts\n#EXT-X-FOO:URI=\"x.ts\"\n#EXTX\n#EXT-X-KEY "
             ":URI=\"k\"\n#ext-x-map:URI=\"m\"\n"
             "#EXT-X-VERSION:3\n",
             "#EXT-X-VERSION:3\n"},
        Text{"title_is_dropped",
             "#EXTINF:9.5,URI=\"http://evil/x\" title\n#EXTINF:abc,\n#EXTINF:2\n",
             "#EXTINF:9.5,\n#EXTINF:2,\n"},
        Text{"quoted_key", "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\",IV=0x1",
             "#EXT-X-KEY:METHOD=AES-128,URI=\"" MEDIA(HERE "key.bin") "\",IV=0x1\n"},
        Text{"unquoted_map", "#EXT-X-MAP:URI=/init.mp4,BYTERANGE=\"1000@0\"",
             "#EXT-X-MAP:URI=\"" MEDIA("http://origin:8080/init.mp4") "\",BYTERANGE=\"1000@0\"\n"},
        Text{"unquoted_media_with_comma_in_name",
             "#EXT-X-MEDIA:TYPE=AUDIO,NAME=\"English, main\",URI=http://far:81/a.m3u8,DEFAULT=YES",
             "#EXT-X-MEDIA:TYPE=AUDIO,NAME=\"English, main\",URI=\"" LIST(
                 "http://far:81/a.m3u8") "\",DEFAULT=YES\n"},
        Text{"variants_make_later_lines_playlists",
             "a.ts\n#EXT-X-STREAM-INF: BANDWIDTH = 1 , CODECS=\"a,b\"\nlow.m3u8\nhigh.m3u8\n",
             MEDIA(HERE "a.ts") "\n#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"a,b\"\n" LIST(
                 HERE "low.m3u8") "\n" LIST(HERE "high.m3u8") "\n"},
        Text{"variant_uri_attribute", "#EXT-X-STREAM-INF:BANDWIDTH=1,URI=http://evil/x",
             "#EXT-X-STREAM-INF:BANDWIDTH=1,URI=\"" LIST("http://evil/x") "\"\n"},
        Text{"values_that_look_like_locations",
             "#EXT-X-MEDIA:TYPE=AUDIO,NAME=\"see http://x/\",GROUP-ID=\"uri = y\",LANGUAGE=\"en\","
             "X-URI=z.m3u8",
             "#EXT-X-MEDIA:TYPE=AUDIO,LANGUAGE=\"en\",X-URI=\"" LIST(HERE "z.m3u8") "\"\n"},
        Text{"attribute_lists_that_do_not_parse",
             "#EXT-X-KEY:METHOD=AES-128,URI=\"k\" junk\n#EXT-X-KEY:method=x\n"
             "#EXT-X-MAP:URI=\"a\\\"b\"\n#EXT-X-KEY:\n#EXT-X-START:TIME-OFFSET=1:2\n"
             "#EXT-X-MEDIA:NAME=\"a\\b\",TYPE=AUDIO\n#EXT-X-MAP:URI=\"x\n#EXT-X-MAP:URI=a\"b\"\n",
             ""},
        Text{"single_value_tags",
             "#EXT-X-TARGETDURATION: 6 \n#EXT-X-MEDIA-SEQUENCE:x\n#EXT-X-PLAYLIST-TYPE:VOD\n"
             "#EXT-X-BYTERANGE:100@5\n#EXT-X-BYTERANGE:5@\n#EXT-X-PROGRAM-DATE-TIME:2024-01-01T00:"
             "00:00.000+08:00\n#EXT-X-PROGRAM-DATE-TIME:http://x\n#EXT-X-ENDLIST:junk",
             "#EXT-X-TARGETDURATION:6\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-BYTERANGE:100@5\n"
             "#EXT-X-PROGRAM-DATE-TIME:2024-01-01T00:00:00.000+08:00\n#EXT-X-ENDLIST\n"}),
    ByName());

TEST(PlaylistFeed, GivesThePrefixOfWholeLinesThatFitsTheBound)
{
    QByteArray playlist = "#EXTM3U\r\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\r\n";
    for (int i = 0; i < 40; ++i)
        playlist += "#EXTINF:1.0,\nseg" + QByteArray::number(i) + ".ts" + (i % 2 ? "\r\n" : "\n");
    playlist += "#EXT-X-ENDLIST"; // no final line break
    const QByteArray whole = rewrite(playlist, playlist.size());
    ASSERT_EQ(whole.count('\n'), 84);
    // Chunk sizes and bounds; a bound of 0 stands for exactly the whole rewritten playlist.
    const qsizetype feeds[][2] = {{1, 1 << 20}, {3, 1 << 20}, {1, 500}, {7, 1234},
                                  {4096, 2000}, {5, 8},       {1, 0},   {4096, 0}};
    for (const auto& [chunk, maxBytes] : feeds) {
        const qsizetype bound = maxBytes > 0 ? maxBytes : whole.size();
        SCOPED_TRACE("chunk " + std::to_string(chunk) + ", bound " + std::to_string(bound));
        const QByteArray bounded = rewrite(playlist, chunk, bound);
        EXPECT_TRUE(whole.startsWith(bounded));
        EXPECT_LE(bounded.size(), bound);
        EXPECT_TRUE(bounded.isEmpty() || bounded.endsWith('\n'));
        // Cut at the last line end that fits, not earlier.
        if (bounded.size() < whole.size()) {
            EXPECT_GT(whole.indexOf('\n', bounded.size()) + 1, bound);
        }
    }
}

TEST(PlaylistFeed, LineLongerThanTheBoundEndsThePlaylistBeforeIt)
{
    relay::PlaylistRewriter rewriter(kPlaylistUrl, kRouteBase.toByteArray(), 100);
    QByteArray out;
    rewriter.Feed("#EXTM3U\n#EXT-X-TARGETDURATION:1\n", out);
    rewriter.Feed(QByteArray(150, 'a'), out);
    EXPECT_TRUE(rewriter.Full());
    rewriter.Feed("\nseg1.ts\n", out);
    rewriter.Finish(out);
    EXPECT_EQ(out, "#EXTM3U\n#EXT-X-TARGETDURATION:1\n");
}

TEST(PlaylistFeed, ManyShortUrisOnOneLineAreNotBuiltPastTheBound)
{
    // Every URI=a becomes a relay URL as long as the playlist's address: 40,000 of them from a
    // 4 kB address would be 200 MB of text for a line that cannot be passed on.
    const QByteArray longBase = "http://origin:8080/" + QByteArray(4000, 'p') + "/index.m3u8";
    relay::PlaylistRewriter rewriter(longBase, kRouteBase.toByteArray(), 256 * 1024);
    QByteArray line = "#EXT-X-KEY:METHOD=AES-128";
    while (line.size() < 240 * 1024)
        line += ",URI=a";
    const long before = PeakResidentKb();
    QByteArray out;
    rewriter.Feed("#EXTM3U\n" + line + "\nseg1.ts\n", out);
    EXPECT_TRUE(rewriter.Full());
    EXPECT_EQ(out, "#EXTM3U\n");
    EXPECT_LT(PeakResidentKb() - before, 32 * 1024);
}

struct Sniff
{
    const char* name;
    QByteArray prefix;
    bool complete;
    std::optional<bool> playlist;
    std::optional<bool> stream;
};

class BodySniff : public ::testing::TestWithParam<Sniff>
{};

TEST_P(BodySniff, TellsFromTheFirstBytes)
{
    EXPECT_EQ(relay::SniffPlaylist(GetParam().prefix, GetParam().complete), GetParam().playlist);
    EXPECT_EQ(relay::SniffTransportStream(GetParam().prefix, GetParam().complete),
              GetParam().stream);
}

QByteArray packets(int count, qsizetype extra = 0)
{
    QByteArray body(count * 188 + extra, '\x11');
    for (int i = 0; i <= count && i * 188 < body.size(); ++i)
        body[i * 188] = 'G';
    return body;
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, BodySniff,
    ::testing::Values(Sniff{"header", "#EXTM3U\n", false, true, false},
                      Sniff{"after_bom", "\xEF\xBB\xBF#EXTM3U", false, true, false},
                      Sniff{"part_of_bom", "\xEF\xBB", false, std::nullopt, false},
                      Sniff{"part_of_header", "#EXT", false, std::nullopt, false},
                      Sniff{"part_of_header_at_end", "#EXT", true, false, false},
                      Sniff{"other_tag", "#EXTINF:1", false, false, false},
                      Sniff{"utf16_playlist", bytes("\xFF\xFE#\0E\0X\0M\0"), false, false, false},
                      Sniff{"three_packets", packets(3), false, false, true},
                      Sniff{"two_packets_so_far", packets(2), false, false, std::nullopt},
                      Sniff{"one_packet_at_end", packets(1), true, false, true},
                      Sniff{"less_than_a_packet_at_end", packets(0, 100), true, false, false},
                      Sniff{"second_sync_missing", packets(1) + "x" + QByteArray(200, 'G'), false,
                            false, false},
                      Sniff{"empty_at_end", "", true, false, false}),
    ByName());

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
    relay::Kind kind;
    relay::UpstreamResponse upstream;
    QByteArray body;
    QByteArray expected; // head and body as libvlc receives them, relay URLs as readable()
    bool full;           // the relay stops reading upstream
    bool channelWasPlaylist = false;
};

relay::UpstreamResponse upstream(int status, QByteArray type, qint64 length, QByteArray range = {})
{
    return {status, std::move(type), std::move(range), length, kPlaylistUrl};
}

class ShapedResponse : public ::testing::TestWithParam<Shaping>
{};

TEST_P(ShapedResponse, IsWhatTheRelayUrlSaysItIs)
{
    relay::Limits limits;
    limits.maxBodyBytes = 600;
    for (const qsizetype chunk : {qsizetype(1), qsizetype(7), qsizetype(1000)}) {
        relay::ResponseShaper shaper(GetParam().upstream, limits, kRouteBase.toByteArray(),
                                     GetParam().kind, false, GetParam().channelWasPlaylist);
        QByteArray out;
        const QByteArray& body = GetParam().body;
        for (qsizetype at = 0; at < body.size() && !shaper.Full(); at += chunk)
            shaper.Feed(QByteArrayView(body).sliced(at, std::min(chunk, body.size() - at)), out);
        EXPECT_EQ(shaper.Full(), GetParam().full) << "chunk " << chunk;
        if (!shaper.Full())
            shaper.Finish(out);
        EXPECT_EQ(readable(out), GetParam().expected) << "chunk " << chunk;
    }
}

#define HEAD(status, extra) "HTTP/1.1 " status "\r\n" extra "Connection: close\r\n\r\n"
#define EMPTY(status) HEAD(status, "Content-Length: 0\r\n")
#define PLAYLIST_HEAD HEAD("200 OK", "Content-Type: application/vnd.apple.mpegurl\r\n")
#define TS_HEAD(length) HEAD("200 OK", "Content-Type: video/mp2t\r\nContent-Length: " length "\r\n")

using relay::Kind;

INSTANTIATE_TEST_SUITE_P(
    Responses, ShapedResponse,
    ::testing::Values(
        Shaping{"media_with_its_length", Kind::Media, upstream(200, "text/html", 4), "Gabc",
                TS_HEAD("4") "Gabc", false},
        Shaping{"media_type_is_the_relays", Kind::Media, upstream(200, "video/mp2t", 4), "abcd",
                HEAD("200 OK",
                     "Content-Type: application/octet-stream\r\nContent-Length: 4\r\n") "abcd",
                false},
        Shaping{"media_beyond_the_bound_is_cut_without_length", Kind::Media, upstream(200, "", 700),
                QByteArray(700, 'G'),
                HEAD("200 OK", "Content-Type: video/mp2t\r\n") + QByteArray(600, 'G'), true},
        Shaping{"media_range_passes", Kind::Media, upstream(206, "", 2, " bytes 3-4/10"), "de",
                HEAD("206 Partial Content",
                     "Content-Type: application/octet-stream\r\nContent-Range: bytes "
                     "3-4/10\r\nContent-Length: 2\r\n") "de",
                false},
        Shaping{"media_range_that_does_not_parse", Kind::Media,
                upstream(206, "", 2, "bytes 3-4/10\r\nX: 1"), "de", EMPTY("502 Bad Gateway"), true},
        Shaping{
            "media_is_never_rewritten", Kind::Media,
            upstream(200, "application/vnd.apple.mpegurl", -1), "#EXTM3U\nhttp://x/y\n",
            HEAD("200 OK", "Content-Type: application/octet-stream\r\n") "#EXTM3U\nhttp://x/y\n",
            false},
        Shaping{"channel_playlist_by_first_bytes", Kind::Channel, upstream(200, "text/plain", 16),
                "\xEF\xBB\xBF#EXTM3U\nb.ts\n", PLAYLIST_HEAD "#EXTM3U\n" MEDIA(HERE "b.ts") "\n",
                false},
        Shaping{"channel_playlist_by_type", Kind::Channel, upstream(200, "audio/mpegurl", 2), "a",
                PLAYLIST_HEAD MEDIA(HERE "a") "\n", false},
        Shaping{"channel_transport_stream", Kind::Channel, upstream(200, "text/html", 564),
                packets(3), TS_HEAD("564") + packets(3), false},
        Shaping{"channel_stream_once_it_was_a_playlist", Kind::Channel,
                upstream(200, "video/mp2t", 564), packets(3), EMPTY("502 Bad Gateway"), true, true},
        Shaping{"channel_dash_manifest", Kind::Channel, upstream(200, "application/dash+xml", -1),
                "<?xml version=\"1.0\"?><MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\"/>",
                EMPTY("502 Bad Gateway"), true},
        Shaping{"channel_gzip", Kind::Channel, upstream(200, "application/octet-stream", -1),
                QByteArray("\x1F\x8B\x08\0\0\0\0\0", 8) + QByteArray(600, 'G'),
                EMPTY("502 Bad Gateway"), true},
        Shaping{"channel_smooth_manifest", Kind::Channel, upstream(200, "text/xml", -1),
                "<SmoothStreamingMedia MajorVersion=\"2\"/>", EMPTY("502 Bad Gateway"), true},
        Shaping{"channel_hds_manifest", Kind::Channel, upstream(200, "video/f4m", -1),
                "<manifest xmlns=\"http://ns.adobe.com/f4m/1.0\"><media url=\"http://x/\"/>",
                EMPTY("502 Bad Gateway"), true},
        Shaping{"channel_utf16_playlist", Kind::Channel, upstream(200, "text/plain", -1),
                bytes("\xFF\xFE#\0E\0X\0T\0M\0"
                      "3\0U\0\n\0"),
                EMPTY("502 Bad Gateway"), true},
        Shaping{"channel_plain_text", Kind::Channel, upstream(200, "text/plain", -1),
                "seg.ts\n#EXTM3U\n", EMPTY("502 Bad Gateway"), true},
        Shaping{"channel_too_short_to_tell", Kind::Channel, upstream(200, "text/plain", 3), "#EX",
                EMPTY("502 Bad Gateway"), false},
        Shaping{"list_is_rewritten_whatever_it_holds", Kind::Playlist,
                upstream(200, "video/mp2t", -1), "G@\x11\x10seg.ts\nhttp://x/y\n",
                PLAYLIST_HEAD MEDIA("http://x/y") "\n", false},
        Shaping{"list_of_nothing_to_pass_is_cut_at_the_body_bound", Kind::Playlist,
                upstream(200, "", -1), "#EXTM3U\n" + QByteArray(700, '\n'),
                PLAYLIST_HEAD "#EXTM3U\n", true},
        Shaping{"list_range_from_the_start_is_whole", Kind::Playlist,
                upstream(206, "", 8, "bytes 0-7/8"), "#EXTM3U\n", PLAYLIST_HEAD "#EXTM3U\n", false},
        Shaping{"list_range_from_the_middle_is_refused", Kind::Playlist,
                upstream(206, "", 4, "bytes 6-9/10"), "U\nc\n", EMPTY("416 Range Not Satisfiable"),
                true},
        Shaping{"error_status_comes_without_its_body", Kind::Media, upstream(404, "text/html", 5),
                "nope\n", EMPTY("404 Not Found"), true},
        Shaping{"redirect_left_over", Kind::Media, upstream(302, "", 0), "",
                EMPTY("502 Bad Gateway"), false},
        Shaping{"not_modified", Kind::Channel, upstream(304, "", 0), "", EMPTY("502 Bad Gateway"),
                false}),
    ByName());

} // namespace
