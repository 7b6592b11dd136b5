// A real libvlc 3 player, decoding into memory, playing live HLS through the relay.
#include "PlayerKit.h"
#include "TestNames.h"

#include <QDir>
#include <QFile>
#include <poll.h>
#include <thread>

namespace {

class RelayPlayer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_relay.Start());
        ASSERT_TRUE(m_vlc);
        ASSERT_FALSE(m_media.clip().isEmpty());
    }

    QString liveFolder()
    {
        QString folder = m_media.path(QStringLiteral("live"));
        QDir().mkpath(folder);
        return folder;
    }

    relay::StreamRelay m_relay;
    Vlc m_vlc = NewVlc();
    MediaFolder m_media;
};

// --- nothing but the relay reaches a server ---------------------------------------------------

struct Bypass
{
    const char* name;
    const char* channel; // the channel's path and query on the origin
    // The origin's files, name and content; PORT is the origin's port. clip.ts, init.ts and
    // sentinel.ts are real segments; a player that asks for the sentinel has been past
    // everything listed before it.
    std::vector<std::pair<const char*, QByteArray>> files;
    std::optional<bool> sentinel; // empty: libvlc may or may not get that far
};

class PlayerBehindTheRelay : public RelayPlayer, public ::testing::WithParamInterface<Bypass>
{};

TEST_P(PlayerBehindTheRelay, ReachesNoServerButThroughIt)
{
    const QString folder = liveFolder();
    OriginServer origin(folder);
    for (const QString& name : {u"clip.ts"_qs, u"init.ts"_qs, u"sentinel.ts"_qs})
        ASSERT_TRUE(QFile::copy(m_media.clip(), folder + u'/' + name));
    for (const auto& [name, content] : GetParam().files) {
        QFile out(folder + u'/' + QString::fromLatin1(name));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(content).replace("PORT", QByteArray::number(origin.port())));
    }
    const std::shared_ptr<relay::Route> route =
        m_relay.Open(origin.url(QString::fromLatin1(GetParam().channel)));
    ASSERT_TRUE(route);
    MemoryPlayer player(m_vlc.get(), route->LocalUrl());
    ASSERT_TRUE(player.Play());

    const auto sentinelAsked = [&origin] {
        return origin.requests().filter(u"/sentinel.ts"_qs).size() > 0;
    };
    ASSERT_TRUE(WaitUntil(
        [&] { return sentinelAsked() || player.Ended() || !origin.requests(true).isEmpty(); },
        60s));
    EXPECT_TRUE(origin.requests(true).isEmpty())
        << "straight to the server: " << origin.requests(true).join(u' ').toStdString();
    if (GetParam().sentinel) {
        EXPECT_EQ(sentinelAsked(), *GetParam().sentinel)
            << origin.requests().join(u' ').toStdString();
    }
}

#define VOD "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-PLAYLIST-TYPE:VOD\n"
#define ENTRY(uri) "#EXTINF:4,\n" uri "\n"

// Segment lines libvlc's URL parser reads as a host and port, and a strict one does not. libvlc
// may give up the playlist at the first that fails: AddressTest refuses each on its own.
QByteArray oddSegmentLines()
{
    QByteArray text = VOD;
    for (const char* port : {"PORT\\x", "PORT|x", "PORT^x", "PORT{x}", "PORT\"x", "PORT<x>",
                             "PORT`x", "PORT x", "PORT%00", "PORT%2f", "PORT:PORT", "+PORT"})
        text += "#EXTINF:4,\nhttp://127.0.0.1:" + QByteArray(port) + "/clip.ts\n";
    return text + ENTRY("http://[127.0.0.1]:PORT/clip.ts");
}

std::vector<Bypass> bypasses()
{
    return {
        {"unquoted_media_and_map_uris",
         "/master.m3u8",
         {{"master.m3u8",
           "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"a\",DEFAULT=YES,"
           "URI=http://127.0.0.1:PORT/audio.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=100000,AUDIO=\"a\"\n"
           "video.m3u8\n"},
          {"audio.m3u8", VOD ENTRY("http://127.0.0.1:PORT/clip.ts") "#EXT-X-ENDLIST\n"},
          {"video.m3u8", VOD "#EXT-X-MAP:URI=http://127.0.0.1:PORT/init.ts\n" ENTRY(
                             "http://127.0.0.1:PORT/sentinel.ts") "#EXT-X-ENDLIST\n"}},
         true},
        {"cr_only_line_ends",
         "/index.m3u8",
         {{"index.m3u8", "#EXTM3U\r#EXT-X-TARGETDURATION:4\r#EXT-X-PLAYLIST-TYPE:VOD\r"
                         "#EXTINF:4,\rhttp://127.0.0.1:PORT/clip.ts\r#EXTINF:4,\rsentinel.ts\r"
                         "#EXT-X-ENDLIST\r"}},
         true},
        {"dash_manifest",
         "/manifest.mpd?type=application/dash%2Bxml",
         {{"manifest.mpd",
           "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
           "type=\"static\" mediaPresentationDuration=\"PT8S\" minBufferTime=\"PT1S\" "
           "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\"><Period><AdaptationSet "
           "mimeType=\"video/mp2t\"><Representation id=\"1\" bandwidth=\"100000\"><BaseURL>"
           "http://127.0.0.1:PORT/clip.ts</BaseURL></Representation></AdaptationSet></Period>"
           "</MPD>\n"}},
         false},
        {"gzip_playlist",
         "/index.m3u8?type=application/x-gzip&gzip=1",
         {{"index.m3u8", VOD ENTRY("http://127.0.0.1:PORT/clip.ts") "#EXT-X-ENDLIST\n"}},
         false},
        {"segment_lines_of_odd_authorities",
         "/index.m3u8",
         {{"index.m3u8", oddSegmentLines() + ENTRY("sentinel.ts") "#EXT-X-ENDLIST\n"}},
         std::nullopt},
    };
}

INSTANTIATE_TEST_SUITE_P(Forms, PlayerBehindTheRelay, ::testing::ValuesIn(bypasses()), ByName());

// --- strangers at the door --------------------------------------------------------------------

// Another user of the machine holding `count` idle connections to the relay, and opening a new
// one as soon as one is dropped.
class IdleStranger
{
public:
    IdleStranger(quint16 port, int count) : m_thread([this, port, count] { run(port, count); }) {}
    ~IdleStranger()
    {
        m_stop = true;
        m_thread.join();
    }
    IdleStranger(const IdleStranger&) = delete;
    IdleStranger& operator=(const IdleStranger&) = delete;
    int Reopened() const { return m_reopened.load(); }

private:
    void run(quint16 port, int count)
    {
        std::vector<posix::UniqueFd> held;
        for (int i = 0; i < count; ++i)
            held.push_back(ConnectTo(port));
        while (!m_stop) {
            std::vector<pollfd> polls;
            for (const posix::UniqueFd& socket : held)
                polls.push_back({socket.get(), POLLIN, 0});
            ::poll(polls.data(), polls.size(), 50);
            for (std::size_t i = 0; i < held.size(); ++i) {
                if (polls[i].revents == 0)
                    continue;
                held[i] = ConnectTo(port);
                ++m_reopened;
            }
        }
    }

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_reopened{0};
    std::thread m_thread;
};

// --- bounds -----------------------------------------------------------------------------------

TEST_F(RelayPlayer, EndlessSegmentKeepsResidentMemoryBounded)
{
    // A smaller body bound than the program's, so that the endless segment is cut sooner; the
    // memory bound is the program's all the same.
    relay::Limits limits;
    limits.maxBodyBytes = qsizetype(8) * 1024 * 1024;
    relay::StreamRelay relay(limits);
    ASSERT_TRUE(relay.Start());
    HostileHlsServer server({liveFolder(), QStringLiteral("--endless"), m_media.clip()});
    const std::shared_ptr<relay::Route> route = relay.Open(server.playlistUrl());
    ASSERT_TRUE(route);
    MemoryPlayer player(m_vlc.get(), route->LocalUrl());
    ASSERT_TRUE(player.Play());

    // Until an endless segment has been cut and the player has gone on to the next one.
    qint64 peak = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            peak = std::max(peak, ResidentBytes());
            return player.Pictures() > 0 &&
                   server.requests().filter(QStringLiteral("endless.ts")).size() >= 2;
        },
        60s))
        << server.requests().join(u' ').toStdString();
#ifndef CORVESSA_SANITIZED // AddressSanitizer's quarantine and shadow hide what the relay takes
    EXPECT_LT(peak, qint64(400) * 1024 * 1024);
#endif
    std::printf("peak resident memory %lld MB, %d pictures\n", peak / (qint64(1024) * 1024),
                player.Pictures());
}

// A live HLS channel served by a server whose faults the test can turn on, opened on a route.
class LiveRoute : public RelayPlayer
{
protected:
    void SetUp() override
    {
        RelayPlayer::SetUp();
        const QString folder = liveFolder();
        ASSERT_TRUE(m_live.emplace(m_media.clip(), folder).ready());
        m_server.emplace(QStringList{folder});
        m_route = m_relay.Open(m_server->playlistUrl());
        ASSERT_TRUE(m_route);
    }

    std::optional<LiveHls> m_live;
    std::optional<HostileHlsServer> m_server;
    std::shared_ptr<relay::Route> m_route;
};

TEST_F(LiveRoute, PlaysWithAStrangerAtTheDoor)
{
    HostileHlsServer& server = *m_server;
    const IdleStranger stranger(m_relay.Port(), 40);
    MemoryPlayer player(m_vlc.get(), m_route->LocalUrl());
    ASSERT_TRUE(player.Play());

    // The stranger's connections are dropped at the first-byte limit and opened again, all
    // the while.
    ASSERT_TRUE(
        WaitUntil([&] { return player.Pictures() >= 50 && stranger.Reopened() >= 40; }, 30s))
        << player.Pictures() << " pictures, " << stranger.Reopened() << " reopened";
    bool allRelayed = false;
    const QStringList paths = server.requests(&allRelayed);
    EXPECT_TRUE(allRelayed) << "requests that bypassed the relay: "
                            << paths.join(u' ').toStdString();
    EXPECT_GE(paths.filter(QStringLiteral(".ts")).size(), 2) << paths.join(u' ').toStdString();
}

// Kept apart from the stranger: with its connections still coming and going while the player
// stops, LeakSanitizer's check at exit sometimes crashed in its own tracer.
TEST_F(LiveRoute, StopReturnsPromptlyAfterCancelWithAServerFrozenMidPlay)
{
    HostileHlsServer& server = *m_server;
    MemoryPlayer player(m_vlc.get(), m_route->LocalUrl());
    ASSERT_TRUE(player.Play());
    ASSERT_TRUE(WaitUntil([&player] { return player.Pictures() >= 25; }, 30s));

    // Segments trickle in below the stream's bitrate, so that the freeze catches one mid-body.
    server.drip(20000);
    const auto before = server.requests().filter(QStringLiteral(".ts")).size();
    ASSERT_TRUE(WaitUntil(
        [&] { return server.requests().filter(QStringLiteral(".ts")).size() > before; }, 20s));
    server.freeze();
    ASSERT_TRUE(
        server.waitForLine([](const QString& line) { return line.startsWith(u"HELD "); }, 20s));

    m_route->Cancel();
    const std::optional<std::chrono::milliseconds> took = player.Stop(10s);
    ASSERT_TRUE(took) << "libvlc_media_player_stop did not return within 10 s";
    EXPECT_LT(*took, 1000ms);
    std::printf("stop took %lld ms after Cancel\n", static_cast<long long>(took->count()));
}

} // namespace
