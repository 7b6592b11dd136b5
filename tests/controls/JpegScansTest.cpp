#include "JpegScans.h"

#include "JpegFiles.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

struct ScanCountCase
{
    const char* name;
    std::function<QByteArray()> bytes;
    int scans;
};

void PrintTo(const ScanCountCase& c, std::ostream* os)
{
    *os << c.name;
}

class JpegScans : public ::testing::TestWithParam<ScanCountCase>
{};

TEST_P(JpegScans, CountsWhatLibjpegWouldDecode)
{
    EXPECT_EQ(CountJpegScans(GetParam().bytes()), GetParam().scans);
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out += char(v);
    return out;
}

const QSize kSmall(64, 48);

INSTANTIATE_TEST_SUITE_P(
    Streams, JpegScans,
    ::testing::Values(
        ScanCountCase{"baseline", [] { return MakeJpeg(kSmall, false); }, 1},
        ScanCountCase{"progressive", [] { return MakeJpeg(kSmall, true); }, 10},
        ScanCountCase{"progressive_noisy_photo",
                      [] {
                          return MakeJpeg({300, 200}, true, Qt::gray, Qt::yellow, 95, 60);
                      },
                      10},
        ScanCountCase{"png", [] { return QByteArray("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16); }, 0},
        ScanCountCase{"empty", [] { return QByteArray(); }, 0},
        ScanCountCase{"start_of_image_only",
                      [] {
                          return bytes({0xFF, 0xD8});
                      },
                      0},
        ScanCountCase{"stuffed_zeros_and_restarts_belong_to_the_data",
                      [] {
                          return bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF,
                                        0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xD7, 0x57,
                                        0xFF, 0xDA, 0x00, 0x02, 0x78, 0xFF, 0xD9});
                      },
                      2},
        ScanCountCase{"marker_bytes_inside_a_segment_are_skipped",
                      [] {
                          return bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xDA, 0x00, 0x02,
                                        0xFF, 0xDA, 0x00, 0x02, 0x00, 0xFF, 0xD9});
                      },
                      1},
        ScanCountCase{"nothing_after_the_end_of_image_counts",
                      [] {
                          return bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9, 0xFF,
                                        0xDA, 0x00, 0x02, 0x22});
                      },
                      1},
        ScanCountCase{"garbage_and_fill_bytes_before_markers",
                      [] {
                          return bytes({0xFF, 0xD8, 0x01, 0x02, 0x03, 0xFF, 0xDA, 0x00, 0x02, 0x55,
                                        0xFF, 0xFF, 0xFF, 0xDA, 0x00, 0x02, 0x66, 0xFF, 0xD9});
                      },
                      2},
        ScanCountCase{
            "cut_inside_a_scan_header",
            [] {
                return bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xDA, 0x00});
            },
            1},
        ScanCountCase{
            "zero_segment_length_ends_the_walk",
            [] {
                return bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x02});
            },
            0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegScansOfRealFiles, EveryRepeatCounts)
{
    const QByteArray progressive = MakeJpeg(kSmall, true);
    ASSERT_EQ(SplitJpeg(progressive).scans.size(), 10) << "libjpeg's standard progression";
    for (const int scans : {10, 11, 50, 99, 100, 101, 250}) {
        const QByteArray jpeg = WithScans(progressive, scans, scans % 10);
        EXPECT_EQ(CountJpegScans(jpeg), scans);
        // Cut just after the last scan's header has begun: that scan still counts, as libjpeg
        // starts it and then makes up the missing data.
        const qsizetype lastScan = jpeg.lastIndexOf("\xFF\xDA");
        EXPECT_EQ(CountJpegScans(QByteArrayView(jpeg).first(lastScan + 4)), scans);
        EXPECT_EQ(CountJpegScans(QByteArrayView(jpeg).first(lastScan + 3)), scans - 1);
    }
}

} // namespace
