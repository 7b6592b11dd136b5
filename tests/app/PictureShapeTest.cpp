// The first picture after a channel change in the player window, as painted: the stream's shape
// from that very picture, for streams whose decoder pads the picture, stretches its samples or
// is larger than any screen, over fast channel change and the plain multicast path.
#include "ChannelDlg.h"
#include "ModalWatcher.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "StreamSender.h"
#include "TestClips.h"
#include "VideoSurface.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

struct Clip
{
    const char* name;
    const char* size;
    const char* sar;
};

// A solid orange: any black or green line, or picture where none should be, shows.
bool Orange(QRgb p)
{
    return qRed(p) > 190 && qGreen(p) > 90 && qGreen(p) < 165 && qBlue(p) < 90;
}

// The rectangle the orange covers in `image`, from its middle row and column.
QRect OrangeRect(const QImage& image)
{
    int top = -1;
    int bottom = -1;
    int left = -1;
    int right = -1;
    for (int y = 0; y < image.height(); ++y) {
        if (Orange(image.pixel(image.width() / 2, y))) {
            top = top < 0 ? y : top;
            bottom = y;
        }
    }
    for (int x = 0; x < image.width(); ++x) {
        if (Orange(image.pixel(x, image.height() / 2))) {
            left = left < 0 ? x : left;
            right = x;
        }
    }
    return top < 0 || left < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

class FirstPicture : public SiteFolderTest,
                     public ::testing::WithParamInterface<std::tuple<Clip, bool>>
{};

TEST_P(FirstPicture, AfterAChannelChangeHasTheStreamsShape)
{
    const auto& [clip, fast] = GetParam();
    const QString path = MakeClip(
        QStringLiteral("orange-") + QLatin1String(clip.name),
        QStringLiteral("color=c=0xE08030:size=%1:rate=25").arg(QLatin1String(clip.size)), 50,
        {"-vf", QStringLiteral("setsar=") + QLatin1String(clip.sar), "-c:v", "libx264", "-preset",
         "ultrafast", "-g", "12", "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(path.isEmpty()) << "ffmpeg could not make the clip";
    settings(QByteArray("[Default]\nMutiMode=1\nPreStart=0\nFastChannelChange=") +
             (fast ? "1" : "0") + "\n");
    const StreamSender first(QStringLiteral(CORVESSA_TEST_CLIP), 1);
    const StreamSender second(path, 2);
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

    QImage painted;
    bool channelOne = false;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        CVideoSurface* surface = player->findChild<CVideoSurface*>();
        // A second of channel 1's pictures: by then channel 2's receiver holds a group of
        // pictures (a keyframe every 12 frames), so the change goes the fast way when it can.
        int pictures = 0;
        QObject::connect(&player->Playback(), &CChannelPlayback::PictureChanged, surface,
                         [&] { ++pictures; });
        channelOne = QTest::qWaitFor([&] { return pictures >= 25; }, 20000);
        if (!channelOne)
            return;
        QTest::keyClick(player, Qt::Key_PageDown);
        // The next picture is channel 2's first: take the window as it is painted then.
        const QMetaObject::Connection taken =
            QObject::connect(&player->Playback(), &CChannelPlayback::PictureChanged, surface,
                             [&] { painted = surface->grab().toImage(); });
        (void)QTest::qWaitFor([&] { return !painted.isNull(); }, 30000); // checked below
        QObject::disconnect(taken);
    });
    QTest::keyClick(&dialog, Qt::Key_1);
    ASSERT_TRUE(channelOne) << "channel 1 showed no picture";
    ASSERT_FALSE(painted.isNull()) << "channel 2 showed no picture";
    ASSERT_EQ(painted.size(), QSize(800, 600));
    // Every stream here is 16:9 as shown: 800 x 450, in the middle.
    EXPECT_EQ(OrangeRect(painted), QRect(0, 75, 800, 450));
    for (int x = 0; x < 800; x += 8) {
        ASSERT_TRUE(Orange(painted.pixel(x, 75))) << "top edge at " << x;
        ASSERT_TRUE(Orange(painted.pixel(x, 524))) << "bottom edge at " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, FirstPicture,
                         ::testing::Combine(::testing::Values(Clip{"640x360", "640x360", "1"},
                                                              Clip{"anamorphic_720x576", "720x576",
                                                                   "64/45"},
                                                              Clip{"1920x1080", "1920x1080", "1"},
                                                              Clip{"7680x4320", "7680x4320", "1"}),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_fast_channel_change" : "_plain");
                         });

} // namespace
