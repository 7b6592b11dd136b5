#include "PlayerDlg.h"

#include "MediaLibrary.h"
#include "StreamRelay.h"

#include <QTest>
#include <gtest/gtest.h>
#include <vlc/vlc.h>

namespace {

class PlayerWindow : public ::testing::Test
{
protected:
    VlcInstance m_instance = CreateVlcInstance();
};

TEST_F(PlayerWindow, TitleIsCaptionDashAddressAndAnHttpAddressReachesLibvlcOnlyThroughTheRelay)
{
    ASSERT_TRUE(m_instance);
    const QString address = QStringLiteral("http://127.0.0.1:9/hls/频道3/index.m3u8");
    CPlayerDlg alone;
    alone.SetInstance(m_instance.get());
    alone.SetAddress(address);
    alone.OnInitDialog();
    EXPECT_EQ(alone.windowTitle(), QStringLiteral(" - ") + address);
    EXPECT_EQ(alone.Player(), nullptr) << "without a relay, libvlc would fetch it by itself";

    relay::StreamRelay relay;
    ASSERT_TRUE(relay.Start());
    auto playback = std::make_unique<CChannelPlayback>();
    playback->SetInstance(m_instance.get());
    playback->SetRelay(&relay);
    CPlayerDlg player;
    player.SetAddress(address);
    player.AdoptPlayback(std::move(playback));
    player.OnInitDialog();
    EXPECT_EQ(player.windowTitle(), QStringLiteral(" - ") + address);
    ASSERT_NE(player.Player(), nullptr);
    libvlc_media_t* media = libvlc_media_player_get_media(player.Player());
    ASSERT_NE(media, nullptr);
    char* mrl = libvlc_media_get_mrl(media);
    EXPECT_TRUE(QByteArray(mrl).startsWith(
        QStringLiteral("http://127.0.0.1:%1/").arg(relay.Port()).toLatin1()))
        << mrl;
    libvlc_free(mrl);
    libvlc_media_release(media);

    CPlayerDlg captioned;
    captioned.SetCaption(QStringLiteral("新闻"));
    captioned.SetAddress(QStringLiteral("udp://@224.1.1.1:1234"));
    captioned.OnInitDialog();
    EXPECT_EQ(captioned.windowTitle(), QStringLiteral("新闻 - udp://@224.1.1.1:1234"));
}

TEST_F(PlayerWindow, WithoutAnInstanceTheWindowStaysEmpty)
{
    CPlayerDlg player;
    player.SetAddress(QStringLiteral("udp://@224.1.1.1:1234"));
    player.OnInitDialog();
    EXPECT_EQ(player.windowTitle(), QStringLiteral(" - udp://@224.1.1.1:1234"));
    EXPECT_EQ(player.Player(), nullptr);
    player.show();
    QTest::keyClick(&player, Qt::Key_Escape);
    EXPECT_FALSE(player.isVisible());
}

TEST_F(PlayerWindow, EnterKeepsItOpenAndEscapeStopsAndReleasesThePlayer)
{
    CPlayerDlg player;
    player.SetInstance(m_instance.get());
    player.SetAddress(QStringLiteral("udp://@224.1.1.9:1234"));
    player.OnInitDialog();
    player.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&player));
    ASSERT_NE(player.Player(), nullptr);
    QTest::keyClick(&player, Qt::Key_Return);
    EXPECT_TRUE(player.isVisible());
    EXPECT_NE(player.Player(), nullptr);
    QTest::keyClick(&player, Qt::Key_Escape);
    EXPECT_FALSE(player.isVisible());
    EXPECT_EQ(player.Player(), nullptr);
}

} // namespace
