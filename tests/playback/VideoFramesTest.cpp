// The pictures as libvlc's memory output hands them over, driven through the very callbacks
// libvlc calls: the size asked of libvlc for each stream, the picture made at the size it is
// shown (never the decoder's padded one), every pixel of it the stream's, and a picture the window
// holds never written.
#include "VideoFrames.h"

#include "TestNames.h"

#include <QRect>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

using fastzap::VideoShape;

namespace {

// What the format callback answered.
struct Output
{
    QSize size;
    std::string chroma;
    std::array<unsigned, 3> pitches{};
    std::array<unsigned, 3> lines{};
    unsigned count = 0;
};

Output Format(VideoFrames& frames, QSize buffer)
{
    Output out;
    char chroma[5] = "J420"; // as libavcodec's full-range pictures come
    auto width = unsigned(buffer.width());
    auto height = unsigned(buffer.height());
    void* opaque = &frames;
    out.count =
        VideoFrames::Format(&opaque, chroma, &width, &height, out.pitches.data(), out.lines.data());
    out.chroma.assign(chroma, 4);
    out.size = QSize(int(width), int(height));
    return out;
}

// One picture of a single colour, delivered as libvlc does: lock, write, display, unlock.
void Deliver(VideoFrames& frames, const Output& out, std::uint8_t y, std::uint8_t u, std::uint8_t v)
{
    std::array<void*, 3> planes{};
    void* picture = VideoFrames::Lock(&frames, planes.data());
    const std::array<std::uint8_t, 3> values = {y, u, v};
    for (int i = 0; i < 3; ++i)
        std::memset(planes[i], values[i], std::size_t(out.pitches[i]) * out.lines[i]);
    VideoFrames::Display(&frames, picture);
    VideoFrames::Unlock(&frames, picture, planes.data());
}

// Every pixel of `image` within `tolerance` of its centre's; the centre's colour.
std::optional<QRgb> Uniform(const QImage& image, int tolerance = 2)
{
    const QRgb centre = image.pixel(image.width() / 2, image.height() / 2);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (std::abs(qRed(p) - qRed(centre)) > tolerance ||
                std::abs(qGreen(p) - qGreen(centre)) > tolerance ||
                std::abs(qBlue(p) - qBlue(centre)) > tolerance)
                return std::nullopt;
        }
    }
    return centre;
}

struct Stream
{
    const char* name;
    QSize buffer;                    // what libvlc's format callback is told
    std::vector<VideoShape> headers; // what the stream's sequence headers said, oldest first
    QSize screen;
    QSize asked; // what libvlc is asked for (all are 16:9 as shown: 800 x 450 in the window)
};

class Shapes : public ::testing::TestWithParam<Stream>
{};

TEST_P(Shapes, ThePictureHasTheStreamsShapeFromItsFirstAndAHeldOneIsNeverWritten)
{
    const Stream& s = GetParam();
    VideoFrames frames;
    frames.SetArea({800, 600});
    frames.SetLargest(s.screen);
    for (const VideoShape& shape : s.headers)
        frames.AddShape(shape);
    const Output out = Format(frames, s.buffer);
    EXPECT_EQ(out.chroma, "I420");
    EXPECT_EQ(out.size, s.asked);
    EXPECT_GE(out.count, 3U);
    EXPECT_GE(out.pitches[0], unsigned(s.asked.width()));
    EXPECT_GE(out.lines[1] * 2, unsigned(s.asked.height()));

    Deliver(frames, out, 120, 60, 200); // a strong pink: no black or green line can hide in it
    const VideoFrames::Picture first = frames.Latest(); // held, as the window holds what it paints
    ASSERT_FALSE(first.isNull());
    EXPECT_EQ(first.image.size(), QSize(800, 450));
    EXPECT_EQ(VideoFrames::FitInto(first.aspect, {800, 600}).size(), QSize(800, 450));
    const std::optional<QRgb> colour = Uniform(first.image);
    ASSERT_TRUE(colour) << "the picture is not all the stream's colour";
    EXPECT_GT(qRed(*colour), 200);
    EXPECT_LT(qGreen(*colour), 140);
    EXPECT_FALSE(frames.NeedsShape());

    const QRgb before = first.image.pixel(10, 10);
    const uchar* memory = first.image.constBits();
    for (int i = 0; i < 6; ++i)
        Deliver(frames, out, 40, 200, 90);
    EXPECT_EQ(first.image.pixel(10, 10), before) << "a held picture was written";
    EXPECT_NE(frames.Latest().image.constBits(), memory);
    EXPECT_NE(frames.Latest().image.pixel(10, 10), before);
    frames.SetArea({1920, 1080}); // full screen: the very next picture is made for it
    Deliver(frames, out, 40, 200, 90);
    EXPECT_EQ(frames.Latest().image.size(), QSize(1920, 1080));
    EXPECT_TRUE(Uniform(frames.Latest().image));
}

const VideoShape k360{640, 360, 640, 368, 1, 1};
const VideoShape kPal169{720, 576, 720, 576, 64, 45};
const VideoShape k1080{1920, 1080, 1920, 1088, 1, 1};
const VideoShape k8k{7680, 4320, 7680, 4320, 1, 1};
const VideoShape kSliver{640, 360, 640, 368, 100, 1};
const std::vector<VideoShape> kSeveral{
    {1280, 720, 1280, 720, 1, 1}, k360, {704, 576, 704, 576, 12, 11}};

INSTANTIATE_TEST_SUITE_P(
    Streams, Shapes,
    ::testing::Values(
        Stream{"h264_640x360_padded_by_libavcodec", {640, 386}, {k360}, {}, {640, 360}},
        Stream{"anamorphic_720x576_sar_64_45", {720, 576}, {kPal169}, {}, {720, 576}},
        Stream{"full_hd_coded_1088", {1920, 1090}, {k1080}, {1280, 1024}, {1920, 1080}},
        Stream{"8k_scaled_to_the_screen", {7680, 4322}, {k8k}, {2560, 1440}, {2560, 1440}},
        Stream{"8k_on_a_small_screen_to_full_hd", {7680, 4322}, {k8k}, {1280, 1024}, {1920, 1080}},
        Stream{"sample_aspect_100_to_1_shown_square", {640, 386}, {kSliver}, {}, {640, 360}},
        Stream{
            "the_shape_that_fits_the_buffer_of_several", {1280, 738}, kSeveral, {}, {1280, 720}}),
    ByName());

TEST(UnknownShape, NoPictureUntilLibvlcDescribesTheTrack)
{
    VideoFrames frames;
    int notified = 0;
    frames.SetNotify([&] { ++notified; });
    // libvlc's clock starts with its first picture, whether or not it can be made yet.
    int firstShown = 0;
    frames.SetFirstShown([&] { ++firstShown; });
    frames.AddShape({1920, 1080, 1920, 1088, 1, 1}); // another stream's: does not fit
    const Output out = Format(frames, {640, 386});
    EXPECT_EQ(out.size, QSize(640, 386)); // the visible area stretched over the buffer
    Deliver(frames, out, 120, 60, 200);
    EXPECT_TRUE(frames.Latest().isNull());
    EXPECT_TRUE(frames.NeedsShape());
    EXPECT_EQ(notified, 1);

    frames.Acknowledge();
    frames.SetTrackShape(640, 360, 1, 1);
    Deliver(frames, out, 120, 60, 200);
    EXPECT_EQ(frames.Latest().image.size(), QSize(800, 450));
    EXPECT_TRUE(Uniform(frames.Latest().image));
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(firstShown, 1);
}

} // namespace
