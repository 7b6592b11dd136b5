// A channel's stream squeezed and paced so that a player runs through the buffered group to the
// live edge: what its clock follows (the video's decode time) is handed over exactly when that
// clock expects it, never before the live packets could have come, and passes untouched from the
// meeting point; sound leaves until then; on the 33-bit clock's wrap and across a break.
#include "CatchUp.h"

#include "Captures.h"
#include "LiveSource.h"
#include "SourcePipe.h"
#include "TestNames.h"
#include "UniqueFd.h"

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

using captures::Packet;
using fastzap::TsPacket;
using namespace std::chrono_literals;

constexpr std::uint16_t kPmt = 0x1000;
constexpr std::uint16_t kVideo = 0x100;
constexpr std::uint16_t kSound = 0x101;
constexpr std::uint64_t kWrap = std::uint64_t(1) << 33;
constexpr std::uint64_t kFrame = 3600; // 25 a second

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

std::uint64_t Dts(const TsPacket& p)
{
    return Read(&p.bytes[12 + 14]);
}

std::int64_t Ticks(std::uint64_t t, std::uint64_t origin)
{
    const auto d = std::int64_t((t - origin + kWrap) % kWrap);
    return d >= std::int64_t(kWrap / 2) ? d - std::int64_t(kWrap) : d;
}

struct Case
{
    const char* name;
    std::uint64_t first;   // the keyframe's decode time
    int frames;            // in the group; as many again come live
    double speed;          // expected
    int breakAt = -1;      // a live frame from which the sender starts again from `first`
    int videoStopsAt = -1; // a live frame from which only sound comes
    fastzap::VideoCodec codec = fastzap::VideoCodec::H264;
    bool fieldCoded = false;
    double started = 0;         // how long after the live packets began the player's clock started
    bool allReferenced = false; // no picture can be left out (no B-frames)
};

// `p` with its PCR, PTS and DTS moved back by `ticks`.
TsPacket MovedBack(TsPacket p, std::uint64_t ticks)
{
    std::uint64_t pcr = 0;
    for (int i = 0; i < 4; ++i)
        pcr = pcr << 8 | p.bytes[6 + i];
    pcr = ((pcr << 1 | p.bytes[10] >> 7) + kWrap - ticks) % kWrap;
    for (int i = 0; i < 4; ++i)
        p.bytes[6 + i] = std::uint8_t(pcr >> (25 - 8 * i));
    p.bytes[10] = std::uint8_t(((pcr & 1) << 7) | 0x7E);
    for (const auto& [at, prefix] : {std::pair{12 + 9, 3}, std::pair{12 + 14, 1}})
        Stamp(&p.bytes[std::size_t(at)], prefix,
              (Read(&p.bytes[std::size_t(at)]) + kWrap - ticks) % kWrap);
    return p;
}

class CatchUp : public ::testing::TestWithParam<Case>
{};

TEST_P(CatchUp, HandsEachPictureOverWhenThePlayersClockExpectsIt)
{
    const Case c = GetParam();
    const fastzap::CatchUpLimits limits;
    std::vector<TsPacket> group{Packet(0), Packet(kPmt)};
    std::vector<TsPacket> stream;
    for (int i = 0; i < 3 * c.frames + 40; ++i) {
        const std::uint64_t dts =
            c.first + std::uint64_t(c.breakAt >= 0 && i >= c.breakAt ? i - c.breakAt : i) * kFrame;
        auto& to = i < c.frames ? group : stream;
        if (c.videoStopsAt < 0 || i < c.videoStopsAt) {
            to.push_back(Pes(kVideo, dts, dts + 2 * kFrame)); // B-frames: shown two later
            // The keyframe, then two pictures nothing refers to between referenced ones.
            const std::uint8_t nal = i == 0 ? 0x65 : i % 3 == 0 || c.allReferenced ? 0x41 : 0x01;
            std::copy_n(std::array<std::uint8_t, 4>{0, 0, 1, nal}.data(), 4, &to.back().bytes[31]);
            to.push_back(Packet(kVideo));
        }
        to.push_back(Pes(kSound, dts, dts));
        to.push_back(Packet(kSound));
    }
    fastzap::CatchUp catchUp(group, kPmt, {.pcrPid = kVideo, .videoPid = kVideo, .codec = c.codec},
                             !c.fieldCoded, limits);
    const fastzap::CatchUpPlan& plan = catchUp.Plan();
    EXPECT_NEAR(plan.speed, c.speed, 0.01);
    const double firstSpeed = plan.speed;
    const bool broken = c.breakAt >= 0 && c.breakAt < c.frames; // within the group
    EXPECT_EQ(plan.span, broken ? 0 : std::uint64_t(c.frames - 1) * kFrame);
    const std::uint64_t newest = c.first + plan.span;
    const double plannedMeet = (plan.meet - double(plan.span)) / 90000; // seconds after the newest
    // Where the timelines meet, in the stamps handed over: as planned again once started.
    const auto meet = [&] {
        return (plan.meet - double(plan.shift + plan.span)) / 90000;
    };
    bool started = false;

    stream.insert(stream.begin(), group.begin(), group.end());
    std::array<std::uint8_t, 0x2000> counters{};
    for (TsPacket& p : stream)
        p.SetContinuityCounter(counters[p.Pid()]++ & 0x0F);
    std::optional<std::uint64_t> lastDts;
    std::optional<std::uint64_t> lastSent; // as it was sent
    std::optional<std::uint64_t> lastPts;
    bool soundBack = false;
    int pacedFrames = 0;
    int leftOut = 0;
    bool leaveOut = false;
    std::uint8_t videoCounter = 0;
    const auto thin = [&] {
        return c.codec == fastzap::VideoCodec::H264 && !c.fieldCoded && !c.allReferenced &&
               plan.speed >= limits.thinFrom;
    };
    for (std::size_t n = 0; n < stream.size(); ++n) {
        TsPacket p = stream[n];
        TsPacket sent = p;
        const int frame = n < 2 ? -1 : int((n - 2) / 4);
        const fastzap::CatchUp::Step step = catchUp.Next(p);
        // The source tells it when the player's clock started, once the lead has been taken.
        if (step.due && *step.due > 0 && !started) {
            started = true;
            catchUp.StartedAfter(c.started);
        }
        const std::uint64_t shift = std::uint64_t(plan.shift);
        EXPECT_NEAR(double(shift) / 90000, started && plan.speed > 1.0 ? c.started : 0.0, 1e-4);
        if (n < 2 || p.Pid() == kSound) {
            // Sound is back at its first unit start past the meeting point, and stays.
            if (n >= 2 && step.keep && !soundBack) {
                soundBack = true;
                const double at = double(Ticks(Read(&p.bytes[12 + 9]), newest)) / 90000;
                EXPECT_TRUE(p.PayloadUnitStart());
                EXPECT_TRUE(catchUp.Met() ||
                            (at >= meet() - 1 / 90000.0 && at < meet() + kFrame / 90000.0))
                    << at;
            }
            EXPECT_TRUE(step.keep || (n >= 2 && !soundBack)) << n;
            if (step.keep) {
                EXPECT_EQ(p.bytes, p.PayloadUnitStart() && n >= 2 ? MovedBack(sent, shift).bytes
                                                                  : sent.bytes)
                    << n;
            }
            continue;
        }
        // From 2.5 times the pace on, the pictures nothing refers to are left out until the
        // meeting, but not two shown one after the other.
        if (p.PayloadUnitStart())
            leaveOut =
                thin() && frame % 3 == 1 && !catchUp.Met() && double(frame) * kFrame < plan.meet;
        ASSERT_EQ(step.keep, !leaveOut) << n;
        if (leaveOut) {
            ++leftOut;
            continue;
        }
        EXPECT_EQ(p.ContinuityCounter(), videoCounter++ & 0x0F) << "continuity kept: " << n;
        sent.SetContinuityCounter(p.ContinuityCounter());
        if (!p.PayloadUnitStart()) {
            EXPECT_EQ(p.bytes, sent.bytes) << "a packet without stamps is left as it is: " << n;
            continue;
        }
        const bool live = frame >= c.frames;
        if (c.breakAt >= 0 && frame >= c.breakAt) {
            EXPECT_TRUE(catchUp.Met()) << "after a break the stream passes as it is: " << frame;
            EXPECT_EQ(p.bytes, MovedBack(sent, shift).bytes) << frame;
            continue;
        }
        const std::uint64_t dts = Dts(p);
        EXPECT_GT(Ticks(dts, lastDts.value_or(dts - 1)), 0) << "decode order kept at " << frame;
        // On the squeezed line each decode time moves on by as much as it did when sent, over a
        // speed between the one first planned and the one planned again; every presentation
        // time stays after the one before, as sent.
        if (lastDts && !catchUp.Met() && double(Ticks(Dts(sent), c.first)) < plan.meet) {
            const double step = double(Ticks(dts, *lastDts));
            const double sentStep = double(Ticks(Dts(sent), *lastSent));
            EXPECT_GE(step + 1.5, sentStep / plan.speed) << frame;
            EXPECT_LE(step - 1.5, sentStep / firstSpeed) << frame;
        }
        const std::uint64_t pts = Read(&p.bytes[12 + 9]);
        EXPECT_GT(Ticks(pts, lastPts.value_or(pts - 1)), 0) << "display order kept at " << frame;
        lastDts = dts;
        lastSent = Dts(sent);
        lastPts = pts;
        EXPECT_EQ(std::uint64_t(p.bytes[6]) << 25 | std::uint64_t(p.bytes[7]) << 17 |
                      std::uint64_t(p.bytes[8]) << 9 | std::uint64_t(p.bytes[9]) << 1 |
                      (p.bytes[10] >> 7),
                  dts)
            << "the PCR moves with the decode time it equals: " << frame;
        if (!step.due) {
            EXPECT_EQ(p.bytes, MovedBack(sent, shift).bytes)
                << "unpaced only once the timelines have met: " << frame;
            EXPECT_TRUE(plan.speed <= 1.0 || (live && catchUp.Met())) << frame;
            continue;
        }
        // The player's clock starts at the lead's first picture, `lead` before the newest; every
        // picture after the lead comes exactly when it expects it...
        const double stamp = double(Ticks(dts, newest)) / 90000;
        if (*step.due > 0) {
            EXPECT_NEAR(stamp - *step.due, 0.0, 1e-4) << "early or late: " << frame;
            ++pacedFrames;
        } else {
            EXPECT_GE(stamp, -limits.lead - 1e-4) << "in the lead: " << frame;
        }
        // ...and never before it has come: a live picture comes as late after the group's
        // newest as its decode time is, and the player's clock started later than that newest.
        if (live) {
            EXPECT_GE(*step.due + c.started + 1e-4, double(Ticks(Dts(sent), newest)) / 90000)
                << frame;
        }
    }
    EXPECT_TRUE(soundBack);
    EXPECT_EQ(leftOut > 0, thin());
    if (plan.speed > 1.0) {
        EXPECT_EQ(catchUp.Met(), c.videoStopsAt < 0);
        EXPECT_GT(pacedFrames, 0);
        // What is behind after the lead is made up in `seconds`, unless that is too fast.
        const bool thinnable =
            c.codec == fastzap::VideoCodec::H264 && !c.fieldCoded && !c.allReferenced;
        if (plan.speed < (thinnable ? limits.fastest : limits.fastestWhole)) {
            EXPECT_NEAR(plannedMeet + limits.lead, limits.seconds, 1e-6);
            EXPECT_NEAR(meet() + limits.lead, limits.seconds, 1e-4);
        }
    }
}

// 0.15 s of slack; past the 0.1 s lead, made up in 0.8 s, four times as fast at most where
// pictures can be left out, three times where none can (MPEG-2, field-coded, no B-frames).
constexpr double kTwoSeconds = 1.0 + (2.0 - 0.1) / 0.8;
INSTANTIATE_TEST_SUITE_P(
    Groups, CatchUp,
    ::testing::Values(Case{"Young", 900000, 2, 1.0},
                      Case{"JustPastTheSlack", 900000, 5, 1.0 + (0.16 - 0.1) / 0.8},
                      Case{"OneSecond", 900000, 26, 1.0 + (1.0 - 0.1) / 0.8},
                      Case{"TwoSecondsMpeg2", 900000, 51, 3.0, -1, -1, fastzap::VideoCodec::Mpeg2},
                      Case{"TwoSecondsFieldCoded", 900000, 51, 3.0, -1, -1,
                           fastzap::VideoCodec::H264, true},
                      Case{"ThreeSecondsAtTheCap", 900000, 76, 4.0},
                      Case{"ThreeSecondsWithoutBFrames", 900000, 76, 3.0, -1, -1,
                           fastzap::VideoCodec::H264, false, 0, true},
                      Case{"TwoSecondsStartedLate", 900000, 51, kTwoSeconds, -1, -1,
                           fastzap::VideoCodec::H264, false, 0.15},
                      Case{"OneSecondStartedLate", 900000, 26, 1.0 + (1.0 - 0.1) / 0.8, -1, -1,
                           fastzap::VideoCodec::H264, false, 0.2},
                      Case{"StartedLateThenRestarts", 900000, 51, kTwoSeconds, 60, -1,
                           fastzap::VideoCodec::H264, false, 0.15},
                      Case{"ShortGroupStartedVeryLate", 900000, 8, 1.0 + (0.28 - 0.1) / 0.8, -1, -1,
                           fastzap::VideoCodec::H264, false, 0.5},
                      Case{"AcrossTheWrap", kWrap - 10 * kFrame, 26, 1.0 + (1.0 - 0.1) / 0.8},
                      Case{"SenderRestartsBeforeTheMeeting", 900000, 51, kTwoSeconds, 60},
                      Case{"SenderRestartedWithinTheGroup", 900000, 51, 1.0, 30},
                      Case{"VideoStopsBeforeTheMeeting", 900000, 51, kTwoSeconds, -1, 55}),
    ByName());

// What a PES header's flags claim is read only where its own length makes room for it, and
// nothing else is written: past the stamps it has come stuffing or the picture.
struct Header
{
    const char* name;
    std::uint8_t flags;  // PTS_DTS_flags in their byte
    std::uint8_t length; // PES_header_data_length
    std::uint8_t marker; // the byte that opens the optional header, '10' in its top bits
    int stamps;          // read and rewritten: none, the PTS, or both
    std::uint8_t id = 0xE0;
};

class Headers : public ::testing::TestWithParam<Header>
{};

TEST_P(Headers, StampsAreReadAndRewrittenOnlyWithinTheHeader)
{
    const Header h = GetParam();
    std::vector<TsPacket> stream;
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t dts = 900000 + std::uint64_t(i) * kFrame;
        stream.push_back(Pes(kVideo, dts, dts + 2 * kFrame));
        stream.back().bytes[12 + 3] = h.id;
        stream.back().bytes[12 + 6] = h.marker;
        stream.back().bytes[12 + 7] = h.flags;
        stream.back().bytes[12 + 8] = h.length;
    }
    const std::span<const TsPacket> group(stream.data(), 51);
    fastzap::CatchUp catchUp(group, kPmt, {.pcrPid = kVideo, .videoPid = kVideo}, true);
    EXPECT_EQ(catchUp.Plan().speed > 1.0, h.stamps > 0);
    for (const TsPacket& sent : stream) {
        TsPacket p = sent;
        catchUp.Next(p);
        const std::size_t data = 12 + 9 + 5 * std::size_t(h.stamps);
        EXPECT_TRUE(std::equal(p.bytes.begin() + std::ptrdiff_t(data), p.bytes.end(),
                               sent.bytes.begin() + std::ptrdiff_t(data)));
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, Headers,
                         ::testing::Values(Header{"NoRoomForEither", 0xC0, 0, 0x80, 0},
                                           Header{"RoomForThePtsOnly", 0xC0, 5, 0x80, 1},
                                           Header{"PtsOnlyThenStuffing", 0x80, 10, 0x80, 1},
                                           Header{"NoOptionalHeader", 0xC0, 10, 0x0F, 0},
                                           Header{"PaddingLikeAHeader", 0xC0, 10, 0x80, 0, 0xBE}),
                         ByName());

// The player's clock starts at its first picture, which it shows once decoded: it is paced from
// then, not from when the pipe was made nor from when it took the lead; a player that shows none
// is paced from a while after it took the lead. Otherwise what was due meanwhile would reach it
// at once, early.
class PacedFrom : public ::testing::TestWithParam<bool> // the player shows a picture
{};

TEST_P(PacedFrom, ThePlayersClock)
{
    const bool shows = GetParam();
    // A 2 s group and 4 s live, a picture a packet: caught up over three times as fast.
    std::vector<TsPacket> group{Packet(0), Packet(kPmt)};
    std::vector<TsPacket> live;
    for (int i = 0; i < 150; ++i) {
        const std::uint64_t dts = 900000 + std::uint64_t(i) * kFrame;
        (i < 51 ? group : live).push_back(Pes(kVideo, dts, dts + 2 * kFrame));
    }
    fastzap::CatchUp catchUp(group, kPmt, {.pcrPid = kVideo, .videoPid = kVideo}, true);
    const fastzap::CatchUpPlan plan = catchUp.Plan();
    ASSERT_GT(plan.speed, 1.0);
    const std::uint64_t newest = 900000 + plan.span;
    const double meet = (plan.meet - double(plan.span)) / 90000;
    // Room for a reader's lag of 50 packets: the 99 live ones fit only because what the catch-up
    // holds back (up to the group's 53) is not counted as lag.
    const auto source =
        std::make_shared<fastzap::LiveSource>(group, 50 * fastzap::kPacketSize, std::move(catchUp),
                                              shows ? 1h : fastzap::LiveSource::kPictureWait);
    source->Append(live);
    source->End();
    const auto pipe = fastzap::SourcePipe::Start(source);
    ASSERT_TRUE(pipe);
    const posix::UniqueFd in(::open(pipe->Path().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(in.valid());
    // The player's start-up, modelled: a pace counted from the pipe would be under way by now.
    std::this_thread::sleep_for(300ms);
    std::vector<std::uint8_t> bytes;
    pollfd ready{in.get(), POLLIN, 0};
    std::uint8_t buffer[65536];
    // The lead, then nothing until the first picture is shown (however long it takes to decode).
    for (ssize_t got = 0; shows && ::poll(&ready, 1, 200) == 1 &&
                          (got = ::read(in.get(), buffer, sizeof buffer)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    ASSERT_EQ(bytes.empty(), !shows);
    const std::size_t lead = bytes.size() / fastzap::kPacketSize;

    if (shows)
        source->PictureShown();
    // Before the pace can have started: the player has yet to take the lead, or to show a picture.
    const auto start = std::chrono::steady_clock::now();
    const double wait =
        shows ? 0.0 : std::chrono::duration<double>(fastzap::LiveSource::kPictureWait).count();
    std::vector<double> came(lead, 0.0); // seconds after `start` each packet had come whole
    ssize_t largest = 0;                 // read at once
    for (ssize_t got = 0;
         ::poll(&ready, 1, 5000) == 1 && (got = ::read(in.get(), buffer, sizeof buffer)) > 0;) {
        largest = std::max(largest, got);
        bytes.insert(bytes.end(), buffer, buffer + got);
        came.resize(
            bytes.size() / fastzap::kPacketSize,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const std::vector<TsPacket> packets = captures::ToPackets(bytes);
    int paced = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        // Past the meeting point the live pictures come as they arrive, here all at once.
        const double due = double(Ticks(Dts(packets[i]), newest)) / 90000;
        if (packets[i].Pid() != kVideo || due <= 0 || due > meet)
            continue;
        EXPECT_GE(came[i] + 0.002, due + wait)
            << "a picture came before the player's clock expected it";
        paced += due > 0.2 ? 1 : 0;
    }
    EXPECT_GT(paced, 10);
    // From the meeting point on every stamp is moved back by as long as the player took.
    const std::int64_t back = Ticks(Dts(packets.back()), 900000 + 149 * kFrame);
    EXPECT_LT(back, -27000) << "started at least 300 ms after the source was opened";
    // What falls due at once (the live pictures past the meeting point) waits in the pipe whole:
    // the copying thread never waits on the player's turn to hand it over a page at a time.
    EXPECT_GT(largest, 4096) << "read at once";
}

INSTANTIATE_TEST_SUITE_P(Player, PacedFrom, ::testing::Values(true, false), [](const auto& info) {
    return std::string(info.param ? "ShowsAPicture" : "ShowsNone");
});

} // namespace
