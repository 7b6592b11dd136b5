#include "JpegScans.h"

#include "JpegFiles.h"

#include <gtest/gtest.h>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int v : values)
        out += char(v);
    return out;
}

TEST(JpegScans, CountsWhatLibjpegWouldDecode)
{
    const struct
    {
        const char* name;
        QByteArray bytes;
        int scans;
    } cases[] = {
        {"png", QByteArray("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16), 0},
        {"empty", QByteArray(), 0},
        {"start_of_image_only", bytes({0xFF, 0xD8}), 0},
        {"stuffed_zeros_and_restarts_belong_to_the_data",
         bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0,
                0x56, 0xFF, 0xD7, 0x57, 0xFF, 0xDA, 0x00, 0x02, 0x78, 0xFF, 0xD9}),
         2},
        {"marker_bytes_inside_a_segment_are_skipped",
         bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x02,
                0x00, 0xFF, 0xD9}),
         1},
        {"nothing_after_the_end_of_image_counts",
         bytes(
             {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x02, 0x22}),
         1},
        {"garbage_and_fill_bytes_before_markers",
         bytes({0xFF, 0xD8, 0x01, 0x02, 0x03, 0xFF, 0xDA, 0x00, 0x02, 0x55, 0xFF, 0xFF, 0xFF, 0xDA,
                0x00, 0x02, 0x66, 0xFF, 0xD9}),
         2},
        {"cut_inside_a_scan_header",
         bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xDA, 0x00}), 1},
        {"zero_segment_length_ends_the_walk",
         bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x02}), 0},
        {"baseline", MakeJpeg({64, 48}, false), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CountJpegScans(c.bytes), c.scans);
    }
}

// A photograph's data, with its many stuffed zeros, and its scans repeated.
TEST(JpegScans, EveryRepeatOfARealScanCounts)
{
    const QByteArray progressive = MakeJpeg({300, 200}, true, Qt::gray, Qt::yellow, 95, 60);
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
