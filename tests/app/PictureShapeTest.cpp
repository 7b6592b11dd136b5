// A channel change in the player window, over fast channel change and the plain multicast path.
// The first picture after it, as painted, has the stream's shape from that very picture, for
// streams whose decoder pads the picture, stretches its samples or is larger than any screen; and
// the panel of figures the I key shows over the picture tells what plays, from a real stream with
// sound.
#include "ChannelDlg.h"
#include "ModalWatcher.h"
#include "PlayerDlg.h"
#include "SiteFolder.h"
#include "StreamSender.h"
#include "TestClips.h"
#include "VideoSurface.h"

#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

namespace {

struct Clip
{
    const char* name;
    const char* size;
    const char* sar;
    bool panel; // for the panel: a moving picture with sound, rather than a solid orange
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

// The number after `label` in the panel's lines; -1 when there is none.
double Figure(const QStringList& lines, const QString& label)
{
    const QRegularExpression number(QRegularExpression::escape(label) +
                                    QStringLiteral("\\s*([0-9]+(\\.[0-9]+)?)"));
    for (const QString& line : lines) {
        if (const auto match = number.match(line); match.hasMatch())
            return match.captured(1).toDouble();
    }
    return -1;
}

// Everything the stream can tell, once a few seconds of it have been measured; and how far behind
// live it plays, which takes a few of libvlc's time readings more. False if it never tells.
bool ReadPanel(CPlayerDlg* player, bool fast, QStringList& lines)
{
    auto* surface = player->findChild<CVideoSurface*>();
    QTest::keyClick(player, Qt::Key_I);
    const bool complete = QTest::qWaitFor(
        [&] {
            lines = surface->PanelLines();
            return Figure(lines, QStringLiteral("码率：")) > 0 &&
                   Figure(lines, QStringLiteral("已解码")) >= 50 &&
                   !lines.filter(QStringLiteral("音频：")).value(0).endsWith(u'无');
        },
        20000);
    if (complete && fast)
        (void)QTest::qWaitFor(
            [&] {
                lines = surface->PanelLines();
                return Figure(lines, QStringLiteral("落后直播：")) >= 0;
            },
            10000); // checked by the caller
    QTest::keyClick(player, Qt::Key_I);
    EXPECT_TRUE(surface->PanelLines().isEmpty() && !player->PanelShown())
        << "I again hides the panel";
    return complete;
}

void CheckPanel(const QStringList& lines, bool fast)
{
    EXPECT_EQ(lines.value(0), fast ? QStringLiteral("来源：组播 224.1.1.2:1234，从缓存的图像组开始")
                                   : QStringLiteral("来源：组播 224.1.1.2:1234，直接接收"));
    EXPECT_TRUE(lines.value(1).contains(QStringLiteral("H264"))) << lines.value(1).toStdString();
    EXPECT_EQ(lines.value(2), QStringLiteral("画面：720 × 576，像素 64:45，宽高比 1.78"));
    EXPECT_DOUBLE_EQ(Figure(lines, QStringLiteral("帧率：")), 25.0);
    // The clip's video at ultrafast is a few megabits; the sound alone is 0.128.
    const double megabits = Figure(lines, QStringLiteral("码率："));
    EXPECT_GT(megabits, 0.2);
    EXPECT_LT(megabits, 50.0);
    // Counted, whatever a loaded machine lets through.
    EXPECT_GE(Figure(lines, QStringLiteral("丢弃")), 0);
    EXPECT_GE(Figure(lines, QStringLiteral("迟到")), 0);
    const double behind = Figure(lines, QStringLiteral("落后直播："));
    if (fast) {
        // The network caching and the decoder's delay, not the clip's loop or a stale buffer.
        EXPECT_GE(behind, 0.0) << lines.join(u'\n').toStdString();
        EXPECT_LT(behind, 5.0);
    } else {
        EXPECT_LT(behind, 0) << "libvlc reading the group itself tells no timestamps";
    }
    EXPECT_TRUE(lines.contains(QStringLiteral("重连：无")));
    const QString audio = lines.filter(QStringLiteral("音频：")).value(0);
    EXPECT_TRUE(audio.contains(QStringLiteral("2 声道，48000 Hz"))) << audio.toStdString();
}

class ChannelChange : public SiteFolderTest,
                      public ::testing::WithParamInterface<std::tuple<Clip, bool>>
{};

TEST_P(ChannelChange, TheFirstPictureHasTheStreamsShapeAndThePanelTellsWhatPlays)
{
    // Not a structured binding: the lambdas below capture these, which clang 14 refuses.
    const auto& clip = std::get<0>(GetParam());
    const bool fast = std::get<1>(GetParam());
    QStringList output{"-vf",      QStringLiteral("setsar=") + QLatin1String(clip.sar),
                       "-c:v",     "libx264",
                       "-preset",  "ultrafast",
                       "-g",       "12",
                       "-pix_fmt", "yuv420p"};
    if (clip.panel)
        output += QStringList{"-t", "2", "-c:a", "mp2", "-ac", "2", "-b:a", "128k"};
    const QString path = MakeClip(
        QLatin1String(clip.name),
        (clip.panel ? QStringLiteral("testsrc2=size=%1:rate=25[out0];sine=f=440:r=48000[out1]")
                    : QStringLiteral("color=c=0xE08030:size=%1:rate=25"))
            .arg(QLatin1String(clip.size)),
        50, output);
    ASSERT_FALSE(path.isEmpty()) << "ffmpeg could not make the clip";
    settings(QByteArray("[Default]\nMutiMode=1\nPreStart=0\nFastChannelChange=") +
             (fast ? "1" : "0") + (clip.panel ? "\nFallback=0\n" : "\n"));
    const StreamSender first(QStringLiteral(CORVESSA_TEST_CLIP), 1);
    const StreamSender second(path, 2);
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

    QImage painted;
    QStringList lines;
    bool channelOne = false;
    bool complete = false;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        CVideoSurface* surface = player->findChild<CVideoSurface*>();
        // A second of channel 1's pictures: by then channel 2's receiver holds a group of
        // pictures (a keyframe every 12 frames), so the change goes the fast way when it can.
        int pictures = 0;
        QObject::connect(&player->Playback(), &CChannelPlayback::PictureChanged, surface,
                         [&] { ++pictures; });
        channelOne =
            QTest::qWaitFor([&] { return pictures >= 25; }, 20000) &&
            (!fast ||
             QTest::qWaitFor(
                 [&] { return dialog.FastSource(locator::MulticastAddress(2)) != nullptr; },
                 20000));
        if (!channelOne)
            return;
        QTest::keyClick(player, Qt::Key_PageDown);
        // The next picture is channel 2's first: take the window as it is painted then.
        const QMetaObject::Connection taken =
            QObject::connect(&player->Playback(), &CChannelPlayback::PictureChanged, surface,
                             [&] { painted = surface->grab().toImage(); });
        (void)QTest::qWaitFor([&] { return !painted.isNull(); }, 30000); // checked below
        QObject::disconnect(taken);
        if (clip.panel && !painted.isNull())
            complete = ReadPanel(player, fast, lines);
    });
    QTest::keyClick(&dialog, Qt::Key_1);
    ASSERT_TRUE(channelOne) << "channel 1 showed no picture";
    ASSERT_FALSE(painted.isNull()) << "channel 2 showed no picture";
    ASSERT_EQ(painted.size(), QSize(800, 600));
    if (clip.panel) {
        ASSERT_TRUE(complete) << lines.join(u'\n').toStdString();
        CheckPanel(lines, fast);
        return;
    }
    // Every stream here is 16:9 as shown: 800 x 450, in the middle.
    EXPECT_EQ(OrangeRect(painted), QRect(0, 75, 800, 450));
    for (int x = 0; x < 800; x += 8) {
        ASSERT_TRUE(Orange(painted.pixel(x, 75))) << "top edge at " << x;
        ASSERT_TRUE(Orange(painted.pixel(x, 524))) << "bottom edge at " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ChannelChange,
    ::testing::Combine(::testing::Values(Clip{"orange-640x360", "640x360", "1", false},
                                         Clip{"orange-anamorphic_720x576", "720x576", "64/45",
                                              false},
                                         Clip{"orange-1920x1080", "1920x1080", "1", false},
                                         Clip{"orange-7680x4320", "7680x4320", "1", false},
                                         Clip{"panel-720x576-stereo", "720x576", "64/45", true}),
                       ::testing::Bool()),
    [](const auto& info) {
        return QString::fromLatin1(std::get<0>(info.param).name).replace(u'-', u'_').toStdString() +
               (std::get<1>(info.param) ? "_fast_channel_change" : "_plain");
    });

} // namespace
