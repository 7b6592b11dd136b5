// A real libvlc 3 player, decoding into memory, playing live HLS through the relay.
#include "PlayerKit.h"
#include "StreamRelay.h"

#include <QDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// AddressSanitizer keeps freed memory in quarantine (256 MB) and adds its shadow: resident memory
// says nothing about the relay there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int segmentRequests(const QStringList& paths, const QString& name)
{
    int count = 0;
    for (const QString& path : paths)
        count += path.contains(name) ? 1 : 0;
    return count;
}

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

TEST_F(RelayPlayer, LiveStreamThroughARouteIsDecoded)
{
    const QString folder = liveFolder();
    const LiveHls live(m_media.clip(), folder);
    ASSERT_TRUE(live.ready());
    HostileHlsServer server({folder});
    const std::shared_ptr<relay::Route> route = m_relay.Open(server.playlistUrl());
    ASSERT_TRUE(route);
    MemoryPlayer player(m_vlc.get(), route->LocalUrl());
    ASSERT_TRUE(player.Play());

    EXPECT_TRUE(WaitUntil([&player] { return player.Pictures() >= 50; }, 30s))
        << player.Pictures() << " pictures";
    bool allRelayed = false;
    const QStringList paths = server.requests(&allRelayed);
    EXPECT_TRUE(allRelayed) << "requests that bypassed the relay: "
                            << paths.join(u' ').toStdString();
    EXPECT_GE(segmentRequests(paths, QStringLiteral(".ts")), 2) << paths.join(u' ').toStdString();
}

TEST_F(RelayPlayer, EndlessSegmentKeepsResidentMemoryBounded)
{
    HostileHlsServer server({liveFolder(), QStringLiteral("--endless"), m_media.clip()});
    const std::shared_ptr<relay::Route> route = m_relay.Open(server.playlistUrl());
    ASSERT_TRUE(route);
    MemoryPlayer player(m_vlc.get(), route->LocalUrl());
    ASSERT_TRUE(player.Play());

    qint64 peak = 0;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
        peak = std::max(peak, ResidentBytes());
        QThread::msleep(100);
    }
    if (!kSanitized) {
        EXPECT_LT(peak, qint64(400) * 1024 * 1024);
    }
    // Each endless segment was cut, so the player went on to the next one.
    EXPECT_GE(segmentRequests(server.requests(), QStringLiteral("endless.ts")), 2)
        << server.requests().join(u' ').toStdString();
    EXPECT_GT(player.Pictures(), 0);
    std::printf("peak resident memory %lld MB, %d pictures\n", peak / (qint64(1024) * 1024),
                player.Pictures());
}

TEST_F(RelayPlayer, StopReturnsPromptlyAfterCancelWithAServerFrozenMidPlay)
{
    const QString folder = liveFolder();
    const LiveHls live(m_media.clip(), folder);
    ASSERT_TRUE(live.ready());
    HostileHlsServer server({folder});
    const std::shared_ptr<relay::Route> route = m_relay.Open(server.playlistUrl());
    ASSERT_TRUE(route);
    MemoryPlayer player(m_vlc.get(), route->LocalUrl());
    ASSERT_TRUE(player.Play());
    ASSERT_TRUE(WaitUntil([&player] { return player.Pictures() >= 25; }, 30s));

    // Segments trickle in below the stream's bitrate, so that the freeze catches one mid-body.
    server.drip(20000);
    const int before = segmentRequests(server.requests(), QStringLiteral(".ts"));
    ASSERT_TRUE(WaitUntil(
        [&] { return segmentRequests(server.requests(), QStringLiteral(".ts")) > before; }, 20s));
    server.freeze();
    ASSERT_TRUE(
        server.waitForLine([](const QString& line) { return line.startsWith(u"HELD "); }, 20s));

    route->Cancel();
    const std::optional<std::chrono::milliseconds> took = player.Stop(10s);
    ASSERT_TRUE(took) << "libvlc_media_player_stop did not return within 10 s";
    EXPECT_LT(*took, 1000ms);
    std::printf("stop took %lld ms after Cancel\n", static_cast<long long>(took->count()));
}

} // namespace
