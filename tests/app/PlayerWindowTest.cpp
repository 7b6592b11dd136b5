// The player window as a viewer meets it: the mouse, its size and colour, the texts over the
// picture, the volume, and what happens when a stream stops and comes back.
#include "ChannelDlg.h"
#include "ImageButton.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "StreamSender.h"
#include "VideoSurface.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <vlc/vlc.h>

using namespace std::chrono_literals;

namespace {

constexpr QRgb kGrey = 0xFF3A3A3A;

CVideoSurface* surfaceOf(CPlayerDlg& player)
{
    return player.findChild<CVideoSurface*>(QStringLiteral("video"));
}

// Share of the window's pixels that are the windows' dark grey, outside the texts' corners.
double greyShare(QWidget& window)
{
    const QImage image = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int grey = 0;
    int total = 0;
    for (int y = image.height() / 8; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7, ++total)
            grey += image.pixel(x, y) == kGrey ? 1 : 0;
    return double(grey) / total;
}

class PlayerView : public SiteFolderTest
{
protected:
    void SetUp() override
    {
        SiteFolderTest::SetUp();
        ASSERT_TRUE(m_instance);
    }

    // A player window on `channel`'s multicast group, shown.
    void open(CPlayerDlg& player, int channel)
    {
        player.SetInstance(m_instance.get());
        player.SetAddress(QStringLiteral("udp://@224.1.1.%1:1234").arg(channel));
        player.SetChannel(channel, [](int other, QWidget*) {
            return std::optional(
                ChannelAddress{QStringLiteral("udp://@224.1.1.%1:1234").arg(other), {}, {}});
        });
        player.OnInitDialog();
        player.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&player));
    }

    VlcInstance m_instance = CreateVlcInstance();
};

TEST_F(PlayerView, ADoubleClickTogglesFullScreenOnlyWhenBothPressesLandInIt)
{
    CPlayerDlg player;
    open(player, 9);
    QWindow* window = player.windowHandle();
    const QPoint middle(400, 300);

    QTest::mouseDClick(window, Qt::LeftButton, {}, middle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return player.isFullScreen(); }, 2000));
    QTest::mouseDClick(window, Qt::LeftButton, {},
                       player.mapFromGlobal(player.geometry().center()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !player.isFullScreen(); }, 2000));

    // Only the second press of a double click lands here: its first opened the window.
    CPlayerDlg fresh;
    open(fresh, 9);
    QTest::mouseDClick(surfaceOf(fresh), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_FALSE(fresh.isFullScreen());
    EXPECT_EQ(fresh.size(), CPlayerDlg::kSize);
}

TEST_F(PlayerView, ADoubleClickOnAChannelButtonOpensTheChannelInAWindow)
{
    settings("[Default]\nMutiMode=1\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    bool fullScreen = true;
    QSize size;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(player));
        // The second press of the double click, as fast after the first as a viewer makes it.
        QTest::lastMouseTimestamp -= QTest::mouseDoubleClickInterval;
        QTest::mousePress(player->windowHandle(), Qt::LeftButton, {}, QPoint(400, 300), 20);
        QTest::mouseRelease(player->windowHandle(), Qt::LeftButton, {}, QPoint(400, 300));
        QTest::qWait(50);
        fullScreen = player->isFullScreen();
        size = player->size();
    });
    CImageButton* button = dialog.ChannelButton(2);
    QTest::mouseClick(dialog.windowHandle(), Qt::LeftButton, {},
                      button->mapTo(&dialog, button->rect().center()));
    EXPECT_FALSE(fullScreen);
    EXPECT_EQ(size, CPlayerDlg::kSize);
}

TEST_F(PlayerView, IsDarkGreyWhereNoPictureIsBeforeTheFirstAndAfterAStall)
{
    CPlayerDlg player;
    open(player, 9); // nobody sends to this group: the stream never starts
    EXPECT_GT(greyShare(player), 0.97);
    // The test is the watchdog's clock: nothing has come in for four ticks, then for five.
    CChannelPlayback& playback = player.Playback();
    for (int tick = 1; tick < CChannelPlayback::kStallTime.count(); ++tick)
        playback.Watch();
    EXPECT_FALSE(player.PendingReopen()) << "stalled before " << CChannelPlayback::kStallTime;
    playback.Watch();
    ASSERT_TRUE(player.PendingReopen());
    EXPECT_EQ(CChannelPlayback::kStallTime, 5s);
    EXPECT_GT(greyShare(player), 0.97);
}

TEST_F(PlayerView, NamesTheChannelForAMomentOnOpeningAndOnEverySwitch)
{
    CPlayerDlg player;
    open(player, 3);
    CVideoSurface* surface = surfaceOf(player);
    EXPECT_EQ(surface->ChannelText(), QStringLiteral("频道 3"));
    QTest::keyClick(&player, Qt::Key_5);
    EXPECT_EQ(surface->ChannelText(), QStringLiteral("频道 5"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return surface->ChannelText().isEmpty(); }, 3000));

    CPlayerDlg captioned;
    captioned.SetCaption(QStringLiteral("新闻"));
    open(captioned, 4);
    EXPECT_EQ(surfaceOf(captioned)->ChannelText(), QStringLiteral("新闻"));
}

TEST_F(PlayerView, SaysConnectingWhileNoPictureHasComeAfterASecond)
{
    CPlayerDlg player;
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    EXPECT_TRUE(surface->StatusText().isEmpty()) << "not at once: most channels start sooner";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return surface->StatusText() == QStringLiteral("正在连接…"); }, 3000));
}

TEST_F(PlayerView, CountsDownToTheReopenOfALostStreamThenConnects)
{
    CPlayerDlg player;
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    player.ReopenLater();
    EXPECT_EQ(surface->StatusText(), QStringLiteral("信号中断，1 秒后重新连接"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return surface->StatusText() == QStringLiteral("正在连接…"); }, 3000));
    EXPECT_FALSE(player.PendingReopen());

    // Not answered: the next wait is two seconds, counted down from two.
    player.ReopenLater();
    EXPECT_EQ(surface->StatusText(), QStringLiteral("信号中断，2 秒后重新连接"));
    // The text is refreshed five times a second: with more than a second left, it still says 2.
    const auto left = [&] {
        return player.Playback().UntilReopen();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return left() < 1300ms; }, 3000));
    if (left() > 1000ms) {
        EXPECT_EQ(surface->StatusText(), QStringLiteral("信号中断，2 秒后重新连接"));
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return surface->StatusText() == QStringLiteral("信号中断，1 秒后重新连接"); }, 2000));
}

TEST_F(PlayerView, APreparedPlayerThatLostItsStreamCountsDownInTheWindow)
{
    // Prepared while the mouse rested on a silent channel, it lost its stream twice before the
    // click: its next reopen is two seconds away when the window takes it.
    auto prepared = std::make_unique<CChannelPlayback>();
    prepared->SetInstance(m_instance.get());
    prepared->Open(QStringLiteral("udp://@224.1.1.9:1234"));
    prepared->ReopenLater();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !prepared->PendingReopen(); }, 3000));
    prepared->ReopenLater();
    CPlayerDlg player;
    player.AdoptPlayback(std::move(prepared));
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    EXPECT_EQ(surface->StatusText(), QStringLiteral("信号中断，2 秒后重新连接"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return surface->StatusText() == QStringLiteral("信号中断，1 秒后重新连接"); }, 2000));
}

TEST_F(PlayerView, ARepeatedStopReportDoesNotDoubleAPendingWait)
{
    CPlayerDlg player;
    open(player, 9);
    player.ReopenLater();
    player.ReopenLater();
    player.ReopenLater();
    EXPECT_EQ(player.PendingReopen(), 1s);
}

class LiveChannel : public PlayerView
{
protected:
    StreamSender m_sender{QStringLiteral(CORVESSA_TEST_CLIP), 6};
};

TEST_F(LiveChannel, PicturesClearTheTextsAndTheBackoffStartsAgainAtOneSecond)
{
    CPlayerDlg player;
    open(player, 6);
    CVideoSurface* surface = surfaceOf(player);
    ASSERT_TRUE(QTest::qWaitFor([&] { return surface->HasPicture(); }, 15000));
    // The clip is 160 x 90; libvlc's decoder pads its buffers.
    const QRect shown = surface->PictureRect();
    EXPECT_NEAR(double(shown.width()) / shown.height(), 160.0 / 90.0, 0.02)
        << "the first picture keeps its shape";
    EXPECT_TRUE(surface->StatusText().isEmpty());
    EXPECT_LT(greyShare(player), 0.5);

    for (int round = 0; round < 2; ++round) {
        player.ReopenLater();
        EXPECT_EQ(player.PendingReopen(), 1s) << "round " << round;
        EXPECT_FALSE(surface->HasPicture());
        ASSERT_TRUE(QTest::qWaitFor([&] { return surface->HasPicture(); }, 15000));
        EXPECT_TRUE(surface->StatusText().isEmpty());
    }
}

TEST_F(PlayerView, VolumeAndMuteHoldAcrossWindowsAndChannels)
{
    settings("[Default]\nMutiMode=1\n");
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    {
        const auto watch = WhenModalOpens<CPlayerDlg>([](CPlayerDlg* player) {
            QTest::keyClick(player, Qt::Key_Down);
            QTest::keyClick(player, Qt::Key_Down);
            QTest::keyClick(player, Qt::Key_M);
            QTest::keyClick(player, Qt::Key_PageDown);
            EXPECT_EQ(player->Volume(), 90);
            EXPECT_TRUE(player->Muted()) << "a channel switch keeps them";
            // The switch makes a new libvlc player: they reach it too.
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return player->Playback().Address() == locator::MulticastAddress(2); },
                5000));
            ASSERT_NE(player->Player(), nullptr);
            EXPECT_EQ(libvlc_audio_get_mute(player->Player()), 1);
            EXPECT_EQ(libvlc_audio_get_volume(player->Player()), 90);
        });
        QTest::keyClick(&dialog, Qt::Key_1);
    }
    int volume = -1;
    bool muted = false;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        volume = player->Volume();
        muted = player->Muted();
    });
    QTest::keyClick(&dialog, Qt::Key_7);
    EXPECT_EQ(volume, 90);
    EXPECT_TRUE(muted);
}

TEST_F(PlayerView, InFullScreenThePointerHidesWhenStillAndComesBackWhenMoved)
{
    CPlayerDlg player;
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    QTest::mouseMove(surface, QPoint(50, 50));
    QTest::qWait(int(CPlayerDlg::kHidePointerAfter.count()) + 200);
    EXPECT_NE(surface->cursor().shape(), Qt::BlankCursor) << "never in a window";

    QTest::keyClick(&player, Qt::Key_F11);
    ASSERT_TRUE(QTest::qWaitFor([&] { return player.isFullScreen(); }, 2000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return surface->cursor().shape() == Qt::BlankCursor; },
                                int(CPlayerDlg::kHidePointerAfter.count()) + 1000));
    QTest::mouseMove(surface, QPoint(60, 60));
    EXPECT_NE(surface->cursor().shape(), Qt::BlankCursor);
}

} // namespace
