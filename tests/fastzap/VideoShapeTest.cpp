// The picture's shape read off real encoder output (x264, x265, ffmpeg's MPEG-2), the stream fed
// in pieces of every size: cropping, interlaced units, 4:4:4, sample aspects from the table and
// spelt out, MPEG-2's display aspect, a change of resolution, and garbage.
#include "VideoShape.h"

#include "TestClips.h"
#include "TestNames.h"

#include <QFile>
#include <gtest/gtest.h>
#include <random>

using fastzap::TsShapeWatch;
using fastzap::VideoShape;

namespace fastzap {
void PrintTo(const VideoShape& s, std::ostream* out)
{
    *out << s.width << "x" << s.height << " (coded " << s.codedWidth << "x" << s.codedHeight
         << ", SAR " << s.sarNum << ":" << s.sarDen << ")";
}
} // namespace fastzap

namespace {

struct Encoded
{
    const char* name;
    const char* size; // lavfi's WxH
    const char* sar;  // empty: square
    QStringList codec;
    VideoShape expected; // what every sequence header of the stream states
};

QByteArray ClipBytes(const Encoded& e)
{
    const QString filters =
        *e.sar == '\0' ? QStringLiteral("null") : QStringLiteral("setsar=") + QLatin1String(e.sar);
    const QString clip =
        MakeClip(QStringLiteral("shape-") + QLatin1String(e.name),
                 QStringLiteral("testsrc2=size=%1:rate=25").arg(QLatin1String(e.size)), 3,
                 QStringList{"-vf", filters} + e.codec);
    QFile file(clip);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<VideoShape> Watch(const QByteArray& bytes, std::mt19937& random, std::size_t largest)
{
    TsShapeWatch watch;
    std::vector<VideoShape> shapes;
    std::uniform_int_distribution<std::size_t> piece(1, largest);
    for (qsizetype at = 0; at < bytes.size();) {
        const auto n = std::min<qsizetype>(qsizetype(piece(random)), bytes.size() - at);
        watch.Push({reinterpret_cast<const std::uint8_t*>(bytes.constData() + at), std::size_t(n)},
                   shapes);
        at += n;
    }
    return shapes;
}

class EncoderOutput : public ::testing::TestWithParam<Encoded>
{};

TEST_P(EncoderOutput, TellsTheVisibleSizeAndSampleAspect)
{
    const QByteArray bytes = ClipBytes(GetParam());
    ASSERT_FALSE(bytes.isEmpty()) << "ffmpeg could not make the clip";
    std::mt19937 random(18);
    // Pieces of one byte split every start code and header; datagram-sized ones as receivers get.
    for (const std::size_t largest : {std::size_t(1), std::size_t(1316), std::size_t(65536)})
        EXPECT_EQ(Watch(bytes, random, largest), std::vector{GetParam().expected})
            << "pieces up to " << largest;
}

const QStringList kX264 = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
const QStringList kX265 = {"-c:v",     "libx265", "-preset",      "ultrafast",
                           "-pix_fmt", "yuv420p", "-x265-params", "log-level=error"};
QStringList Mpeg2(const char* aspect)
{
    return {"-c:v", "mpeg2video", "-pix_fmt", "yuv420p", "-aspect", aspect};
}

const VideoShape k1080{1920, 1080, 1920, 1088, 1, 1};
const VideoShape k360{640, 360, 640, 368, 1, 1};
const VideoShape kPal169{720, 576, 720, 576, 64, 45};

INSTANTIATE_TEST_SUITE_P(
    Streams, EncoderOutput,
    ::testing::Values(
        Encoded{"h264_640x360", "640x360", "", kX264, k360},
        Encoded{"h264_1920x1080", "1920x1080", "", kX264, k1080},
        Encoded{"h264_720x576_sar_64_45", "720x576", "64/45", kX264, kPal169},
        Encoded{"h264_720x576_sar_16_11", "720x576", "16/11", kX264, {720, 576, 720, 576, 16, 11}},
        Encoded{"h264_interlaced_1920x1080",
                "1920x1080",
                "",
                kX264 + QStringList{"-flags", "+ildct+ilme", "-x264-params", "interlaced=1"},
                {1920, 1080, 1920, 1088, 1, 1, true}},
        Encoded{"h264_444_642x362",
                "642x362",
                "",
                {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"},
                {642, 362, 656, 368, 1, 1}},
        Encoded{"h264_7680x4320", "7680x4320", "", kX264, {7680, 4320, 7680, 4320, 1, 1}},
        Encoded{"h265_1920x1080", "1920x1080", "", kX265, k1080},
        Encoded{"h265_650x362", "650x362", "", kX265, {650, 362, 656, 368, 1, 1}},
        Encoded{"h265_720x576_sar_64_45", "720x576", "64/45", kX265, kPal169},
        Encoded{"mpeg2_720x576_16_9", "720x576", "", Mpeg2("16:9"), kPal169},
        Encoded{"mpeg2_720x480_4_3", "720x480", "", Mpeg2("4:3"), {720, 480, 720, 480, 8, 9}},
        Encoded{"mpeg2_1920x1080_16_9", "1920x1080", "", Mpeg2("16:9"), k1080}),
    ByName());

TEST(ShapeWatch, FollowsAChangeOfResolutionAndIgnoresGarbage)
{
    const QByteArray small = ClipBytes({"h264_640x360", "640x360", "", kX264, {}});
    const QByteArray large = ClipBytes({"h264_1920x1080", "1920x1080", "", kX264, {}});
    ASSERT_FALSE(small.isEmpty() || large.isEmpty());
    std::mt19937 random(18);
    QByteArray garbage(qsizetype(64) * 1024, '\0');
    for (char& c : garbage)
        c = char(random());
    // Garbage may frame as packets of any PID; none of it is a sequence header of the program's.
    EXPECT_EQ(Watch(garbage + small + garbage + large + small, random, 4096),
              (std::vector{k360, k1080, k360}));
}

} // namespace
