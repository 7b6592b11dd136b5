// The player window as a viewer meets it: the mouse, the keys, its size and colour, the texts
// over the picture, the volume, and what happens when a stream stops and comes back.
#include "ChannelDlg.h"
#include "ImageButton.h"
#include "MediaLibrary.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "StreamRelay.h"
#include "StreamSender.h"
#include "VideoSurface.h"

#include <QApplication>
#include <QElapsedTimer>
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

TEST_F(PlayerView, TitleIsCaptionDashAddressAndAnHttpAddressReachesLibvlcOnlyThroughTheRelay)
{
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
    const QByteArray mrl = mrlOf(player.Player());
    EXPECT_TRUE(mrl.startsWith(QStringLiteral("http://127.0.0.1:%1/").arg(relay.Port()).toLatin1()))
        << mrl.constData();

    // Without an instance the window stays empty, and still closes.
    CPlayerDlg captioned;
    captioned.SetCaption(QStringLiteral("新闻"));
    captioned.SetAddress(QStringLiteral("udp://@224.1.1.1:1234"));
    captioned.OnInitDialog();
    EXPECT_EQ(captioned.windowTitle(), QStringLiteral("新闻 - udp://@224.1.1.1:1234"));
    EXPECT_EQ(captioned.Player(), nullptr);
    captioned.show();
    QTest::keyClick(&captioned, Qt::Key_Escape);
    EXPECT_FALSE(captioned.isVisible());
}

TEST_F(PlayerView, F11AndEscapeLeaveFullScreenFirstEnterKeepsItOpenEscapeReleasesThePlayer)
{
    CPlayerDlg player;
    open(player, 2);
    QTest::keyClick(&player, Qt::Key_F11);
    EXPECT_TRUE(player.isFullScreen());
    QTest::keyClick(&player, Qt::Key_Escape);
    EXPECT_FALSE(player.isFullScreen());
    QTest::keyClick(&player, Qt::Key_Return);
    EXPECT_TRUE(player.isVisible());
    EXPECT_NE(player.Player(), nullptr);
    QTest::keyClick(&player, Qt::Key_Escape);
    EXPECT_FALSE(player.isVisible());
    EXPECT_EQ(player.Player(), nullptr);
}

TEST_F(PlayerView, MuteAndVolumeFromKeysAndWheelWithinZeroToAHundred)
{
    CPlayerDlg player;
    open(player, 2);
    QTest::keyClick(&player, Qt::Key_M);
    EXPECT_TRUE(player.Muted());
    QTest::keyClick(&player, Qt::Key_M);
    EXPECT_FALSE(player.Muted());

    QTest::keyClick(&player, Qt::Key_Up);
    EXPECT_EQ(player.Volume(), 100) << "at most 100";
    QTest::keyClick(&player, Qt::Key_Down);
    QTest::keyClick(&player, Qt::Key_Down);
    EXPECT_EQ(player.Volume(), 90);

    CVideoSurface* video = surfaceOf(player);
    const auto wheel = [&](int notches) {
        const QPointF at(100, 100);
        QWheelEvent event(at, video->mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(video, &event);
    };
    wheel(-2);
    EXPECT_EQ(player.Volume(), 80);

    QTest::keyClick(&player, Qt::Key_M);
    QTest::keyClick(&player, Qt::Key_Up);
    EXPECT_FALSE(player.Muted()) << "changing the volume unmutes";
    EXPECT_EQ(player.Volume(), 85);

    for (int i = 0; i < 30; ++i)
        QTest::keyClick(&player, Qt::Key_Down);
    wheel(-40);
    EXPECT_EQ(player.Volume(), 0);
    EXPECT_EQ(video->NoticeText(), QStringLiteral("音量 0%"));
    wheel(40);
    EXPECT_EQ(player.Volume(), 100);
    EXPECT_EQ(video->NoticeText(), QStringLiteral("音量 100%"));

    CPlayerDlg given;
    given.SetAudio(-20, false);
    EXPECT_EQ(given.Volume(), 0);
    given.SetAudio(250, false);
    EXPECT_EQ(given.Volume(), 100);
}

TEST_F(PlayerView, ADoubleClickTogglesFullScreenWherePointerHidesWhenStillAndShowsWhenMoved)
{
    CPlayerDlg player;
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    QTest::mouseMove(surface, QPoint(50, 50));
    QTest::qWait(int(CPlayerDlg::kHidePointerAfter.count()) + 200);
    EXPECT_NE(surface->cursor().shape(), Qt::BlankCursor) << "never in a window";

    QWindow* window = player.windowHandle();
    QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(400, 300));
    ASSERT_TRUE(QTest::qWaitFor([&] { return player.isFullScreen(); }, 2000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return surface->cursor().shape() == Qt::BlankCursor; },
                                int(CPlayerDlg::kHidePointerAfter.count()) + 1000));
    QTest::mouseMove(surface, QPoint(60, 60));
    EXPECT_NE(surface->cursor().shape(), Qt::BlankCursor);

    QTest::mouseDClick(window, Qt::LeftButton, {},
                       player.mapFromGlobal(player.geometry().center()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !player.isFullScreen(); }, 2000));
}

// Without the buttons' pictures in the site folder, plain buttons open the channels all the same.
TEST_F(PlayerView, ADoubleClickOnAPlainChannelButtonOpensTheChannelInAWindow)
{
    openChannels("[Default]\nMutiMode=1\n");
    for (int channel = 1; channel <= 8; ++channel) {
        EXPECT_EQ(m_dialog->ChannelButton(channel)->ShownPicture(), ButtonPicture::Fallback);
        EXPECT_EQ(m_dialog->ChannelButton(channel)->size(), QSize(180, 180));
    }
    QString title;
    bool fullScreen = true;
    QSize size;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        title = player->windowTitle();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(player));
        // The second press of the double click, as fast after the first as a viewer makes it:
        // only it lands in the window, the first opened it.
        QTest::lastMouseTimestamp -= QTest::mouseDoubleClickInterval;
        QTest::mousePress(player->windowHandle(), Qt::LeftButton, {}, QPoint(400, 300), 20);
        QTest::mouseRelease(player->windowHandle(), Qt::LeftButton, {}, QPoint(400, 300));
        QTest::qWait(50);
        fullScreen = player->isFullScreen();
        size = player->size();
    });
    CImageButton* button = m_dialog->ChannelButton(2);
    QTest::mouseClick(m_dialog->windowHandle(), Qt::LeftButton, {},
                      button->mapTo(m_dialog.get(), button->rect().center()));
    EXPECT_EQ(title, QStringLiteral(" - udp://@224.1.1.2:1234"));
    EXPECT_FALSE(fullScreen);
    EXPECT_EQ(size, CPlayerDlg::kSize);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "back to the channel window";
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

TEST_F(PlayerView, NamesTheChannelForAMomentOnOpeningAndOnEverySwitchThenSaysConnecting)
{
    CPlayerDlg player;
    open(player, 3);
    CVideoSurface* surface = surfaceOf(player);
    EXPECT_EQ(surface->ChannelText(), QStringLiteral("频道 3"));
    EXPECT_TRUE(surface->StatusText().isEmpty()) << "not at once: most channels start sooner";
    QTest::keyClick(&player, Qt::Key_5);
    EXPECT_EQ(surface->ChannelText(), QStringLiteral("频道 5"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return surface->ChannelText().isEmpty(); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return surface->StatusText() == QStringLiteral("正在连接…"); }, 3000));

    CPlayerDlg captioned;
    captioned.SetCaption(QStringLiteral("新闻"));
    open(captioned, 4);
    EXPECT_EQ(surfaceOf(captioned)->ChannelText(), QStringLiteral("新闻"));
}

TEST_F(PlayerView, CountsDownToTheReopenOfALostStreamThenConnectsAndClosesAtOnceMeanwhile)
{
    CPlayerDlg player;
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    player.ReopenLater();
    player.ReopenLater();
    player.ReopenLater();
    EXPECT_EQ(player.PendingReopen(), 1s) << "a repeated stop report doubled the wait";
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

    ASSERT_TRUE(player.PendingReopen());
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(&player, Qt::Key_Escape);
    EXPECT_FALSE(player.isVisible());
    EXPECT_EQ(player.Player(), nullptr);
    EXPECT_LT(clock.elapsed(), 300) << "closing waited for the reopen";
}

TEST_F(PlayerView, APreparedPlayerThatLostItsStreamCountsDownInTheWindow)
{
    // Prepared while the mouse rested on a silent channel, it lost its stream three times
    // before the click: its next reopen is four seconds away when the window takes it. The
    // window's one-shot "connecting" timer updates the text once, a second after the open; only
    // a running countdown brings it down to two seconds.
    auto prepared = std::make_unique<CChannelPlayback>();
    prepared->SetInstance(m_instance.get());
    prepared->Open(QStringLiteral("udp://@224.1.1.9:1234"));
    for (int lost = 0; lost < 2; ++lost) {
        prepared->ReopenLater();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !prepared->PendingReopen(); }, 5000));
    }
    prepared->ReopenLater();
    CPlayerDlg player;
    player.AdoptPlayback(std::move(prepared));
    open(player, 9);
    CVideoSurface* surface = surfaceOf(player);
    EXPECT_EQ(surface->StatusText(), QStringLiteral("信号中断，4 秒后重新连接"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return surface->StatusText() == QStringLiteral("信号中断，2 秒后重新连接"); }, 3500));
}

TEST_F(PlayerView, PicturesClearTheTextsAndTheBackoffStartsAgainAtOneSecond)
{
    const StreamSender sender(QStringLiteral(CORVESSA_TEST_CLIP), 6);
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

} // namespace
