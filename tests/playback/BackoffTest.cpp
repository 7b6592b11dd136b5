#include "ChannelPlayback.h"
#include "LiveSource.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <vector>

namespace {

TEST(Backoff, DoublesFromOneSecondUpToThirty)
{
    std::chrono::seconds wait{0};
    std::vector<long> waits;
    for (int i = 0; i < 8; ++i)
        waits.push_back((wait = NextBackoff(wait)).count());
    EXPECT_EQ(waits, (std::vector<long>{1, 2, 4, 8, 16, 30, 30, 30}));
}

// Buffered pictures that end before libvlc shows one (as a pipe it could not open would) are not
// tried again at every reopen: the stream is opened again from its group, and a new opening of
// the address tries its buffer first again.
TEST(Reopen, BufferedPicturesThatEndBeforeAPictureAreFollowedByTheGroup)
{
    const VlcInstance instance = CreateVlcInstance();
    ASSERT_TRUE(instance);
    CChannelPlayback playback;
    playback.SetInstance(instance.get());
    int asked = 0;
    playback.SetFastSources([&asked](const QString&) {
        ++asked;
        auto source = std::make_shared<fastzap::LiveSource>(std::vector<fastzap::TsPacket>{}, 1);
        source->End();
        return source;
    });
    QSignalSpy reopening(&playback, &CChannelPlayback::Reopening);
    const QString address = QStringLiteral("udp://@224.1.1.9:1234");
    playback.Open(address);
    EXPECT_TRUE(playback.CurrentFigures().fromBuffer);
    ASSERT_TRUE(reopening.wait(15000)) << "the empty stream never ended";
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(playback.CurrentFigures().fromBuffer);
    EXPECT_TRUE(playback.IsOpen());

    playback.Open(address);
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(playback.CurrentFigures().fromBuffer);
    playback.Close();

    // A storage stream with no relay to reach it: once its buffer has ended, no player can be
    // made at all, and the next try is still counted down.
    playback.Open(QStringLiteral("http://192.168.10.11/hls/ch1/index.m3u8"));
    ASSERT_TRUE(reopening.wait(15000));
    EXPECT_EQ(playback.Player(), nullptr);
    EXPECT_EQ(playback.PendingReopen(), std::chrono::seconds(2));
    playback.Close();
}

} // namespace
