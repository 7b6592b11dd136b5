// A buffered group squeezed so that a player runs through it to the live edge: every stamp moves
// towards the group's newest decode time by the same factor, later ones stay, sound leaves, the
// rest of the stream is untouched; on the 33-bit clock's wrap as well.
#include "CatchUp.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using fastzap::TsPacket;

constexpr std::uint16_t kPmt = 0x1000;
constexpr std::uint16_t kVideo = 0x100;
constexpr std::uint16_t kSound = 0x101;
constexpr std::uint64_t kWrap = std::uint64_t(1) << 33;
constexpr std::uint64_t kFrame = 3600; // 25 a second

TsPacket Packet(std::uint16_t pid)
{
    TsPacket p{};
    p.bytes.fill(0xFF);
    p.bytes[0] = 0x47;
    p.bytes[1] = std::uint8_t(pid >> 8);
    p.bytes[2] = std::uint8_t(pid);
    p.bytes[3] = 0x10;
    return p;
}

void Stamp(std::uint8_t* at, int prefix, std::uint64_t v)
{
    at[0] = std::uint8_t(prefix << 4 | ((v >> 29) & 0x0E) | 1);
    at[1] = std::uint8_t(v >> 22);
    at[2] = std::uint8_t(((v >> 14) & 0xFE) | 1);
    at[3] = std::uint8_t(v >> 7);
    at[4] = std::uint8_t(((v << 1) & 0xFE) | 1);
}

std::uint64_t Read(const std::uint8_t* at)
{
    return (std::uint64_t(at[0] & 0x0E) << 29) | (std::uint64_t(at[1]) << 22) |
           (std::uint64_t(at[2] >> 1) << 15) | (std::uint64_t(at[3]) << 7) | (at[4] >> 1);
}

// A PES start with PTS and DTS (and, on the video, a PCR equal to the DTS).
TsPacket Pes(std::uint16_t pid, std::uint64_t dts, std::uint64_t pts)
{
    TsPacket p = Packet(pid);
    p.bytes[1] |= 0x40;
    p.bytes[3] = 0x30;
    p.bytes[4] = 7;
    p.bytes[5] = 0x10;
    const std::uint64_t base = dts % kWrap;
    for (int i = 0; i < 4; ++i)
        p.bytes[6 + i] = std::uint8_t(base >> (25 - 8 * i));
    p.bytes[10] = std::uint8_t(((base & 1) << 7) | 0x7E);
    p.bytes[11] = 0;
    std::uint8_t* h = &p.bytes[12];
    h[0] = 0, h[1] = 0, h[2] = 1, h[3] = 0xE0, h[4] = 0, h[5] = 0, h[6] = 0x80, h[7] = 0xC0;
    h[8] = 10;
    Stamp(h + 9, 3, pts % kWrap);
    Stamp(h + 14, 1, dts % kWrap);
    return p;
}

struct Case
{
    const char* name;
    std::uint64_t first; // the keyframe's DTS
    int frames;          // in the group
    double speed;        // expected
};

class CatchUp : public ::testing::TestWithParam<Case>
{};

TEST_P(CatchUp, SqueezesTowardsTheNewestStamp)
{
    const Case c = GetParam();
    std::vector<TsPacket> group{Packet(0), Packet(kPmt)};
    for (int i = 0; i < c.frames; ++i) {
        const std::uint64_t dts = c.first + std::uint64_t(i) * kFrame;
        group.push_back(Pes(kVideo, dts, dts + 2 * kFrame)); // B-frames: shown two later
        group.push_back(Packet(kVideo));
        group.push_back(Pes(kSound, dts, dts));
    }
    const std::vector<TsPacket> before = group;
    const fastzap::CatchUpPlan plan = fastzap::CatchUp(group, kPmt, kVideo, kVideo);

    EXPECT_NEAR(plan.speed, c.speed, 0.01);
    // The player's clock follows the decode times: the newest one is the live edge.
    EXPECT_EQ(plan.span, std::uint64_t(c.frames - 1) * kFrame);
    ASSERT_EQ(group.size(), 2 + 2 * std::size_t(c.frames)) << "sound left, the rest stayed";
    EXPECT_EQ(group[0].bytes, before[0].bytes);
    const std::uint64_t edge = c.first + std::uint64_t(c.frames - 1) * kFrame;
    const auto ahead = [&](std::uint64_t t) { // ticks before the edge; negative after it
        const auto d = std::int64_t((edge - t + kWrap) % kWrap);
        return d >= std::int64_t(kWrap / 2) ? d - std::int64_t(kWrap) : d;
    };
    const auto want = [&](std::uint64_t t) {
        const std::int64_t d = ahead(t);
        return d > 0 ? double(std::llround(double(d) / c.speed)) : double(d);
    };
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    for (int i = 0; i < c.frames; ++i) {
        const TsPacket& p = group[2 + 2 * std::size_t(i)];
        EXPECT_EQ(group[3 + 2 * std::size_t(i)].bytes, before[3 + 3 * std::size_t(i)].bytes);
        const std::uint64_t dts = c.first + std::uint64_t(i) * kFrame;
        EXPECT_NEAR(double(ahead(Read(&p.bytes[12 + 14]))), want(dts), 1.0) << i;
        EXPECT_NEAR(double(ahead(Read(&p.bytes[12 + 9]))), want(dts + 2 * kFrame), 1.0) << i;
        // The PCR moves with the DTS it equals.
        const std::uint64_t pcr = std::uint64_t(p.bytes[6]) << 25 |
                                  std::uint64_t(p.bytes[7]) << 17 | std::uint64_t(p.bytes[8]) << 9 |
                                  std::uint64_t(p.bytes[9]) << 1 | (p.bytes[10] >> 7);
        EXPECT_EQ(pcr, Read(&p.bytes[12 + 14])) << i;
        const std::int64_t at = -ahead(Read(&p.bytes[12 + 14]));
        EXPECT_GT(at, last) << "decode order kept at " << i;
        last = at;
    }
}

// 0.15 s of slack, the rest run through in 0.8 s, three times as fast at most.
INSTANTIATE_TEST_SUITE_P(Groups, CatchUp,
                         ::testing::Values(Case{"Young", 900000, 2, 1.0},
                                           Case{"OneSecond", 900000, 26, 1.0 + (1.0 - 0.15) / 0.8},
                                           Case{"TwoSecondsAtTheCap", 900000, 51, 3.0},
                                           Case{"AcrossTheWrap", kWrap - 10 * kFrame, 26,
                                                1.0 + (1.0 - 0.15) / 0.8}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
