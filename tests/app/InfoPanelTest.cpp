// The panel of figures the I key shows over the picture, from a real stream with sound sent to a
// group, reached both ways a multicast channel plays: from the receivers' buffered pictures and
// by libvlc reading the group itself.
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

class Panel : public SiteFolderTest, public ::testing::WithParamInterface<bool>
{};

TEST_P(Panel, TellsWhatPlaysFromTheStreamAndHidesOnTheSecondPress)
{
    const bool fast = GetParam();
    // 720 x 576 with samples of 64:45 (16:9 as shown), 25 pictures a second, stereo MPEG audio.
    const QString clip =
        MakeClip(QStringLiteral("panel-720x576-stereo"),
                 QStringLiteral("testsrc2=size=720x576:rate=25[out0];sine=f=440:r=48000[out1]"), 50,
                 {"-t", "2", "-vf", "setsar=64/45", "-c:v", "libx264", "-preset", "ultrafast", "-g",
                  "12", "-pix_fmt", "yuv420p", "-c:a", "mp2", "-ac", "2", "-b:a", "128k"});
    ASSERT_FALSE(clip.isEmpty()) << "ffmpeg could not make the clip";
    settings(QByteArray("[Default]\nMutiMode=1\nPreStart=0\nFallback=0\nFastChannelChange=") +
             (fast ? "1" : "0") + "\n");
    // Groups no other test sends to: tests run side by side in one network.
    const StreamSender first(QStringLiteral(CORVESSA_TEST_CLIP), 5);
    const StreamSender second(clip, 6);
    CChannelDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

    QStringList lines;
    bool complete = false;
    bool hidden = false;
    const auto watch = WhenModalOpens<CPlayerDlg>([&](CPlayerDlg* player) {
        auto* surface = player->findChild<CVideoSurface*>();
        // Channel 5 first, so that channel 6's receiver holds a group of pictures by the switch.
        if (!QTest::qWaitFor([&] { return player->Playback().HasPicture(); }, 20000))
            return;
        if (fast &&
            !QTest::qWaitFor(
                [&] { return dialog.FastSource(locator::MulticastAddress(6)) != nullptr; }, 20000))
            return;
        QTest::keyClick(player, Qt::Key_6);
        if (!QTest::qWaitFor([&] { return player->Playback().HasPicture(); }, 20000))
            return;
        QTest::keyClick(player, Qt::Key_I);
        // Everything the stream can tell, once a few seconds of it have been measured.
        complete = QTest::qWaitFor(
            [&] {
                lines = surface->PanelLines();
                return Figure(lines, QStringLiteral("码率：")) > 0 &&
                       Figure(lines, QStringLiteral("已解码")) >= 50 &&
                       !lines.filter(QStringLiteral("音频：")).value(0).endsWith(u'无');
            },
            20000);
        // How far behind live takes a few of libvlc's time readings more.
        if (complete && fast)
            (void)QTest::qWaitFor(
                [&] {
                    lines = surface->PanelLines();
                    return Figure(lines, QStringLiteral("落后直播：")) >= 0;
                },
                10000); // checked below
        QTest::keyClick(player, Qt::Key_I);
        hidden = surface->PanelLines().isEmpty() && !player->PanelShown();
    });
    QTest::keyClick(&dialog, Qt::Key_5);
    ASSERT_TRUE(complete) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(hidden) << "I again hides the panel";

    EXPECT_EQ(lines.value(0), fast ? QStringLiteral("来源：组播 224.1.1.6:1234，从缓存的图像组开始")
                                   : QStringLiteral("来源：组播 224.1.1.6:1234，直接接收"));
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

INSTANTIATE_TEST_SUITE_P(Ways, Panel, ::testing::Bool(), [](const auto& info) {
    return info.param ? std::string("from_the_buffer") : std::string("from_the_group");
});

} // namespace
