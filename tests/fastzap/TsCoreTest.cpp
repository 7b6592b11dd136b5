// The transport-stream core on real captured streams: start points where ffmpeg put its
// keyframes, the PAT and PMT followed through changes, framing through any datagram sizes, lost
// sync and garbage, lost packets, and the buffer's bounds.
#include "Captures.h"
#include "ChannelCore.h"
#include "RandomAccess.h"
#include "TsFramer.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>

using namespace captures;
using fastzap::BufferLimits;
using fastzap::ChannelCore;
using fastzap::VideoCodec;

namespace fastzap {
// Failures name a packet by its PID and counter rather than dumping its bytes.
void PrintTo(const TsPacket& packet, std::ostream* out)
{
    *out << "packet(pid " << packet.Pid() << ", cc " << int(packet.ContinuityCounter()) << ")";
}
} // namespace fastzap

namespace {

constexpr std::uint64_t kInterval = 12 * 90000 / 25; // 0.48 s: a keyframe every 12 frames

std::string Readable(std::string name)
{
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

// --- start points --------------------------------------------------------------------------

struct StreamCase
{
    const char* file;
    VideoCodec codec;
    bool clearFlags; // the random-access flags wiped: start points must come from the pictures
};

void PrintTo(const StreamCase& c, std::ostream* out)
{
    *out << c.file << (c.clearFlags ? " without flags" : "");
}

class StartPoints : public ::testing::TestWithParam<StreamCase>
{};

TEST_P(StartPoints, AreWhereFfprobeFindsKeyframes)
{
    const StreamCase c = GetParam();
    auto packets = ReadPackets(c.file);
    if (c.clearFlags)
        ClearRandomAccessFlags(packets);
    const auto keys = KeyPackets(ProbeVideo(c.file));
    ASSERT_GE(keys.size(), 4U);

    ChannelCore core;
    const Fed fed = FeedPackets(core, packets);

    EXPECT_EQ(fed.starts, keys);
    EXPECT_EQ(core.VideoFlagsSeen(), !c.clearFlags);
    ASSERT_TRUE(core.Pmt());
    EXPECT_EQ(core.Pmt()->codec, c.codec);
    EXPECT_EQ(core.Pmt()->videoPid, kVideoPid);
    EXPECT_EQ(core.Pat()->pmtPid, kPmtPid);
    ASSERT_TRUE(core.KeyframeInterval());
    EXPECT_EQ(*core.KeyframeInterval(), kInterval);

    // What is kept is every packet, of every PID, from the last keyframe on.
    ASSERT_TRUE(core.HasRandomAccess());
    const std::vector<TsPacket> expected(packets.begin() + std::ptrdiff_t(keys.back()),
                                         packets.end());
    const auto gop = core.Gop();
    EXPECT_EQ(std::vector<TsPacket>(gop.begin(), gop.end()), expected);
    EXPECT_EQ(core.GopBytes(), expected.size() * kPacketSize);
}

TEST_P(StartPoints, KeepTheLatestPatAndPmtAsCarried)
{
    const StreamCase c = GetParam();
    const auto packets = ReadPackets(c.file);
    ChannelCore core;
    FeedPackets(core, packets);
    TsPacket lastPat{};
    TsPacket lastPmt{};
    for (const auto& p : packets) {
        if (p.Pid() == 0)
            lastPat = p;
        if (p.Pid() == kPmtPid)
            lastPmt = p;
    }
    ASSERT_EQ(core.PatPackets().size(), 1U);
    ASSERT_EQ(core.PmtPackets().size(), 1U);
    EXPECT_EQ(core.PatPackets()[0], lastPat);
    EXPECT_EQ(core.PmtPackets()[0], lastPmt);
}

// A whole stream never loses its group of pictures once it has one: no bound trips on a
// healthy stream, not even after an extra keyframe makes one interval short.
TEST_P(StartPoints, AreNeverLostOnAHealthyStream)
{
    const StreamCase c = GetParam();
    auto packets = ReadPackets(c.file);
    if (c.clearFlags)
        ClearRandomAccessFlags(packets);
    ChannelCore core;
    bool started = false;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        core.PushPacket(packets[i]);
        started = started || core.HasRandomAccess();
        ASSERT_EQ(core.HasRandomAccess(), started) << "lost at packet " << i;
    }
    EXPECT_TRUE(started);
    EXPECT_EQ(core.Stats().droppedOverTime + core.Stats().droppedOverBytes, 0U);
}

INSTANTIATE_TEST_SUITE_P(fastzap, StartPoints,
                         ::testing::Values(StreamCase{"h264.ts", VideoCodec::H264, false},
                                           StreamCase{"h264.ts", VideoCodec::H264, true},
                                           StreamCase{"h264-audio.ts", VideoCodec::H264, false},
                                           StreamCase{"h264-audio.ts", VideoCodec::H264, true},
                                           StreamCase{"h265.ts", VideoCodec::H265, false},
                                           StreamCase{"h265.ts", VideoCodec::H265, true},
                                           StreamCase{"mpeg2.ts", VideoCodec::Mpeg2, false},
                                           StreamCase{"mpeg2.ts", VideoCodec::Mpeg2, true},
                                           StreamCase{"h264-extra-keyframe.ts", VideoCodec::H264,
                                                      false}),
                         [](const auto& info) {
                             return Readable(info.param.file) +
                                    (info.param.clearFlags ? "_NoFlags" : "_Flags");
                         });

// --- framing ---------------------------------------------------------------------------------

std::vector<TsPacket> Frame(const std::vector<std::uint8_t>& bytes,
                            const std::vector<std::size_t>& pieces, fastzap::TsFramer& framer)
{
    std::vector<TsPacket> out;
    std::size_t at = 0;
    for (const std::size_t size : pieces) {
        const std::size_t n = std::min(size, bytes.size() - at);
        framer.Push(std::span<const std::uint8_t>(bytes).subspan(at, n), out);
        at += n;
    }
    framer.Push(std::span<const std::uint8_t>(bytes).subspan(at), out);
    return out;
}

class SplitAtOffset : public ::testing::TestWithParam<int>
{};

// The first datagram ends `offset` bytes into a packet, and every later one (1316 bytes, seven
// packets) does too: every packet of the stream is split at that offset.
TEST_P(SplitAtOffset, GivesEveryPacketAndTheSameStartPoints)
{
    const auto bytes = ReadBytes("h264-audio.ts");
    const auto packets = ToPackets(bytes);
    std::vector<std::size_t> pieces{std::size_t(GetParam())};
    for (std::size_t total = pieces[0]; total < bytes.size(); total += 1316)
        pieces.push_back(1316);

    ChannelCore core;
    std::vector<TsPacket> out;
    std::vector<std::uint64_t> starts;
    std::size_t at = 0;
    for (const std::size_t size : pieces) {
        const std::size_t n = std::min(size, bytes.size() - at);
        const auto before = core.Stats().randomAccessPoints;
        core.PushBytes(std::span<const std::uint8_t>(bytes).subspan(at, n), out);
        if (core.Stats().randomAccessPoints != before)
            starts.push_back(core.GopStartIndex());
        at += n;
    }
    EXPECT_EQ(out, packets);
    ChannelCore whole;
    EXPECT_EQ(starts, FeedPackets(whole, packets).starts);
    EXPECT_EQ(starts.size(), 5U);
    EXPECT_EQ(core.Framer().SkippedBytes(), 0U);
    EXPECT_EQ(core.Framer().SyncLosses(), 0U);
}

INSTANTIATE_TEST_SUITE_P(fastzap, SplitAtOffset, ::testing::Range(0, int(kPacketSize)),
                         [](const auto& info) { return "Offset" + std::to_string(info.param); });

class RandomPieces : public ::testing::TestWithParam<unsigned>
{};

TEST_P(RandomPieces, GiveEveryPacket)
{
    const auto bytes = ReadBytes("h265.ts");
    std::mt19937 random(GetParam());
    std::uniform_int_distribution<std::size_t> size(0, 3000);
    std::vector<std::size_t> pieces;
    for (std::size_t total = 0; total < bytes.size();) {
        pieces.push_back(size(random));
        total += pieces.back();
    }
    fastzap::TsFramer framer;
    EXPECT_EQ(Frame(bytes, pieces, framer), ToPackets(bytes));
    EXPECT_EQ(framer.SkippedBytes(), 0U);
}

INSTANTIATE_TEST_SUITE_P(fastzap, RandomPieces, ::testing::Range(1U, 9U),
                         [](const auto& info) { return "Seed" + std::to_string(info.param); });

// --- lost sync and garbage --------------------------------------------------------------------

struct Damage
{
    const char* name;
    enum Kind
    {
        LeadingGarbage,
        Garbage,
        HostileGarbage,
        CutPacket
    } kind;
    std::size_t packet; // where: the garbage goes before it, or it is cut short
    std::size_t length; // bytes of garbage, or bytes cut out of the packet
};

void PrintTo(const Damage& d, std::ostream* out)
{
    *out << d.name;
}

class Damaged : public ::testing::TestWithParam<Damage>
{};

std::vector<std::uint8_t> MakeGarbage(std::size_t length, bool hostile, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> garbage(length);
    for (std::size_t i = 0; i < length; ++i) {
        int b = byte(random);
        if (hostile && i % 97 == 0)
            b = fastzap::kSyncByte;
        else if (b == fastzap::kSyncByte)
            b = 0x48;
        garbage[i] = std::uint8_t(b);
    }
    return garbage;
}

TEST_P(Damaged, RecoversEveryPacketOutsideTheDamage)
{
    const Damage d = GetParam();
    const auto packets = ReadPackets("h264-audio.ts");
    auto bytes = ToBytes(packets);
    const auto at = std::ptrdiff_t(d.packet * kPacketSize);
    std::vector<std::size_t> lost;
    std::uint64_t skipped = 0;
    switch (d.kind) {
    case Damage::LeadingGarbage:
    case Damage::Garbage:
    case Damage::HostileGarbage: {
        const auto garbage = MakeGarbage(d.length, d.kind == Damage::HostileGarbage, 7);
        bytes.insert(bytes.begin() + at, garbage.begin(), garbage.end());
        if (d.kind != Damage::LeadingGarbage) {
            // Nothing tells a packet followed by garbage from one cut short, so it goes too.
            lost.push_back(d.packet - 1);
            skipped = kPacketSize + d.length;
        } else {
            skipped = d.length;
        }
        break;
    }
    case Damage::CutPacket:
        bytes.erase(bytes.begin() + at + 4, bytes.begin() + at + 4 + std::ptrdiff_t(d.length));
        lost.push_back(d.packet);
        skipped = kPacketSize - d.length;
        break;
    }

    fastzap::TsFramer framer;
    std::vector<TsPacket> out;
    framer.Push(bytes, out);

    std::vector<TsPacket> expected;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (std::find(lost.begin(), lost.end(), i) == lost.end())
            expected.push_back(packets[i]);
    }
    if (d.kind == Damage::HostileGarbage) {
        // Sync bytes in the garbage may pass for a packet; every real one still comes through,
        // in order.
        auto it = out.begin();
        for (const auto& p : expected) {
            it = std::find(it, out.end(), p);
            ASSERT_NE(it, out.end());
            ++it;
        }
        EXPECT_LE(out.size(), expected.size() + d.length / kPacketSize + 1);
    } else {
        EXPECT_EQ(out, expected);
        EXPECT_EQ(framer.SkippedBytes(), skipped);
        EXPECT_EQ(framer.SyncLosses(), d.kind == Damage::LeadingGarbage ? 0U : 1U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, Damaged,
    ::testing::Values(Damage{"LeadingGarbage", Damage::LeadingGarbage, 0, 1000},
                      Damage{"Garbage200BeforePacket500", Damage::Garbage, 500, 200},
                      Damage{"Garbage4000BeforePacket120", Damage::Garbage, 120, 4000},
                      Damage{"Garbage188BeforePacket801", Damage::Garbage, 801, 188},
                      Damage{"HostileGarbage3000", Damage::HostileGarbage, 300, 3000},
                      Damage{"Packet300Cut1", Damage::CutPacket, 300, 1},
                      Damage{"Packet301Cut100", Damage::CutPacket, 301, 100},
                      Damage{"Packet702Cut183", Damage::CutPacket, 702, 183}),
    [](const auto& info) { return std::string(info.param.name); });

// --- PAT and PMT changes -------------------------------------------------------------------

struct ProgramChange
{
    const char* name;
    enum Kind
    {
        PatMovesPmt,
        PmtVersionNewVideo,
        PmtVersionSameVideo
    } kind;
};

void PrintTo(const ProgramChange& c, std::ostream* out)
{
    *out << c.name;
}

class ProgramChanges : public ::testing::TestWithParam<ProgramChange>
{};

TEST_P(ProgramChanges, AreFollowed)
{
    const ProgramChange c = GetParam();
    const auto first = ReadPackets("h264.ts");
    std::vector<TsPacket> second;
    std::uint16_t pmtPid = kPmtPid;
    std::uint16_t videoPid = kVideoPid;
    std::vector<std::uint64_t> secondKeys;
    switch (c.kind) {
    case ProgramChange::PatMovesPmt:
        second = ReadPackets("h264-moved.ts");
        secondKeys = KeyPackets(ProbeVideo("h264-moved.ts"));
        pmtPid = kMovedPmtPid;
        videoPid = kMovedVideoPid;
        break;
    case ProgramChange::PmtVersionNewVideo:
        // The moved layout's video, announced by a new version of the PMT on its old PID.
        second = ReadPackets("h264-moved.ts");
        secondKeys = KeyPackets(ProbeVideo("h264-moved.ts"));
        MovePid(second, kMovedPmtPid, kPmtPid);
        PointPatTo(second, kPmtPid);
        SetPmtVersion(second, kPmtPid, 1);
        videoPid = kMovedVideoPid;
        break;
    case ProgramChange::PmtVersionSameVideo:
        second = first;
        secondKeys = KeyPackets(ProbeVideo("h264.ts"));
        SetPmtVersion(second, kPmtPid, 1);
        break;
    }

    ChannelCore core;
    const Fed before = FeedPackets(core, first);
    const Fed after = FeedPackets(core, second);

    ASSERT_TRUE(core.Pat() && core.Pmt());
    EXPECT_EQ(core.Pat()->pmtPid, pmtPid);
    EXPECT_EQ(core.Pmt()->videoPid, videoPid);
    EXPECT_EQ(core.Pmt()->version, c.kind == ProgramChange::PatMovesPmt ? 0 : 1);
    EXPECT_EQ(core.Stats().programChanges, c.kind == ProgramChange::PmtVersionSameVideo ? 0U : 1U);

    // Start points go on, on the new video PID, right from the second stream's first keyframe.
    std::vector<std::uint64_t> expected = KeyPackets(ProbeVideo("h264.ts"));
    for (const auto k : secondKeys)
        expected.push_back(first.size() + k);
    std::vector<std::uint64_t> starts = before.starts;
    starts.insert(starts.end(), after.starts.begin(), after.starts.end());
    EXPECT_EQ(starts, expected);
    ASSERT_TRUE(core.HasRandomAccess());
    EXPECT_EQ(core.Gop()[0], second[secondKeys.back()]);

    // The PAT and PMT kept are the second stream's.
    TsPacket lastPmt{};
    for (const auto& p : second) {
        if (p.Pid() == pmtPid)
            lastPmt = p;
    }
    ASSERT_EQ(core.PmtPackets().size(), 1U);
    EXPECT_EQ(core.PmtPackets()[0], lastPmt);

    // A PMT on a PID the PAT no longer points to changes nothing.
    if (c.kind == ProgramChange::PatMovesPmt) {
        for (const auto& p : first) {
            if (p.Pid() == kPmtPid) {
                TsPacket stale = p;
                stale.SetContinuityCounter(0);
                core.PushPacket(stale);
                break;
            }
        }
        EXPECT_EQ(core.Pmt()->videoPid, kMovedVideoPid);
        EXPECT_TRUE(core.HasRandomAccess());
    }
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, ProgramChanges,
    ::testing::Values(ProgramChange{"PatMovesPmt", ProgramChange::PatMovesPmt},
                      ProgramChange{"PmtVersionNewVideoPid", ProgramChange::PmtVersionNewVideo},
                      ProgramChange{"PmtVersionSameVideo", ProgramChange::PmtVersionSameVideo}),
    [](const auto& info) { return std::string(info.param.name); });

// --- discontinuities -------------------------------------------------------------------------

struct Discontinuity
{
    const char* name;
    enum Kind
    {
        VideoLost,
        AudioLost,
        Signalled,
        Duplicate
    } kind;
};

void PrintTo(const Discontinuity& d, std::ostream* out)
{
    *out << d.name;
}

class Discontinuities : public ::testing::TestWithParam<Discontinuity>
{};

// The packet of `pid` halfway between the second and third keyframes.
std::size_t MidGop(const std::vector<TsPacket>& packets, const std::vector<std::uint64_t>& keys,
                   std::uint16_t pid)
{
    for (std::size_t i = (keys[1] + keys[2]) / 2; i < keys[2]; ++i) {
        if (packets[i].Pid() == pid && !packets[i].PayloadUnitStart())
            return i;
    }
    throw std::runtime_error("no packet of that PID");
}

TEST_P(Discontinuities, AreNotedAndALostVideoPacketDropsTheGroup)
{
    const Discontinuity d = GetParam();
    auto packets = ReadPackets("h264-audio.ts");
    const auto keys = KeyPackets(ProbeVideo("h264-audio.ts"));
    // `at` ends up at the packet that reveals the discontinuity.
    std::size_t at = 0;
    switch (d.kind) {
    case Discontinuity::VideoLost:
    case Discontinuity::AudioLost: {
        const std::uint16_t pid = d.kind == Discontinuity::VideoLost ? kVideoPid : kAudioPid;
        at = MidGop(packets, keys, pid);
        packets.erase(packets.begin() + std::ptrdiff_t(at));
        while (packets[at].Pid() != pid)
            ++at;
        break;
    }
    case Discontinuity::Signalled:
        // The keyframe's packet says its counter starts afresh; every later video packet's
        // counter is off by five from then on.
        at = keys[2];
        ASSERT_NE(packets[at].AdaptationFlags(), 0);
        packets[at].bytes[5] |= 0x80;
        for (std::size_t i = at; i < packets.size(); ++i) {
            if (packets[i].Pid() == kVideoPid)
                packets[i].SetContinuityCounter(packets[i].ContinuityCounter() + 5);
        }
        break;
    case Discontinuity::Duplicate:
        at = MidGop(packets, keys, kVideoPid);
        packets.insert(packets.begin() + std::ptrdiff_t(at), packets[at]);
        ++at;
        break;
    }

    ChannelCore core;
    const std::vector<TsPacket> head(packets.begin(), packets.begin() + std::ptrdiff_t(at) + 1);
    FeedPackets(core, head);
    const auto& stats = core.Stats();
    EXPECT_EQ(stats.continuityErrors,
              d.kind == Discontinuity::VideoLost || d.kind == Discontinuity::AudioLost ? 1U : 0U);
    EXPECT_EQ(stats.signalledDiscontinuities, d.kind == Discontinuity::Signalled ? 1U : 0U);
    EXPECT_EQ(stats.duplicates, d.kind == Discontinuity::Duplicate ? 1U : 0U);
    EXPECT_EQ(stats.droppedForLoss, d.kind == Discontinuity::VideoLost ? 1U : 0U);
    // A group with a hole in its video is not handed out; anything else is.
    EXPECT_EQ(core.HasRandomAccess(), d.kind != Discontinuity::VideoLost);

    // The next keyframe starts a whole group again.
    const std::vector<TsPacket> tail(packets.begin() + std::ptrdiff_t(at) + 1, packets.end());
    FeedPackets(core, tail);
    EXPECT_TRUE(core.HasRandomAccess());
    EXPECT_EQ(core.Stats().continuityErrors, stats.continuityErrors);
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, Discontinuities,
    ::testing::Values(Discontinuity{"VideoPacketLost", Discontinuity::VideoLost},
                      Discontinuity{"AudioPacketLost", Discontinuity::AudioLost},
                      Discontinuity{"SignalledByTheFlag", Discontinuity::Signalled},
                      Discontinuity{"DuplicatePacket", Discontinuity::Duplicate}),
    [](const auto& info) { return std::string(info.param.name); });

// --- bounds ----------------------------------------------------------------------------------

struct TimeBound
{
    const char* file;
    std::size_t lastKey; // keyframes after this one lose their flags
    std::uint64_t limit; // the bound that applies, 90 kHz
    BufferLimits limits;
};

void PrintTo(const TimeBound& c, std::ostream* out)
{
    *out << c.file << " after keyframe " << c.lastKey;
}

class TimeBounds : public ::testing::TestWithParam<TimeBound>
{};

// After the last flagged keyframe, the group is kept while it spans no more than the bound and
// dropped at the first picture past it.
TEST_P(TimeBounds, DropTheGroupPastTheBound)
{
    const TimeBound c = GetParam();
    auto packets = ReadPackets(c.file);
    const auto frames = ProbeVideo(c.file);
    const auto keys = KeyPackets(frames);
    ClearRandomAccessFlags(packets, keys[c.lastKey] + 1);
    double keyTime = 0;
    for (const auto& f : frames) {
        if (f.packetIndex == keys[c.lastKey])
            keyTime = f.dts;
    }

    ChannelCore core(c.limits);
    std::size_t next = 0;
    bool dropped = false;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        core.PushPacket(packets[i]);
        while (next < frames.size() && frames[next].packetIndex < i)
            ++next;
        if (next < frames.size() && frames[next].packetIndex == i && frames[next].dts > keyTime) {
            const auto elapsed = std::uint64_t(std::llround((frames[next].dts - keyTime) * 90000));
            EXPECT_EQ(core.HasRandomAccess(), elapsed <= c.limit) << "frame at packet " << i;
            dropped = dropped || elapsed > c.limit;
        }
    }
    ASSERT_TRUE(dropped) << "the capture is too short for this bound";
    EXPECT_FALSE(core.HasRandomAccess());
    EXPECT_EQ(core.Stats().droppedOverTime, 1U);
    EXPECT_EQ(core.GopBytes(), 0U);
}

BufferLimits UnknownIntervalLimit(std::uint64_t ticks)
{
    BufferLimits limits;
    limits.maxTicksUnknownInterval = ticks;
    return limits;
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, TimeBounds,
    ::testing::Values(TimeBound{"h264.ts", 1, 2 * kInterval, {}},
                      TimeBound{"h264-audio.ts", 1, 2 * kInterval, {}},
                      TimeBound{"h265.ts", 1, 2 * kInterval, {}},
                      TimeBound{"mpeg2.ts", 1, 2 * kInterval, {}},
                      // Only one keyframe seen: the interval is unknown, the fixed bound holds.
                      TimeBound{"h264.ts", 0, 54000, UnknownIntervalLimit(54000)}),
    [](const auto& info) {
        return Readable(info.param.file) + "_AfterKey" + std::to_string(info.param.lastKey);
    });

class ByteBounds : public ::testing::TestWithParam<std::size_t>
{};

// A keyframe, then video that never ends its PES: the group grows until it passes the bound.
TEST_P(ByteBounds, DropTheGroupPastTheBound)
{
    BufferLimits limits;
    if (GetParam() != 0)
        limits.maxBytes = GetParam();
    const auto packets = ReadPackets("h264.ts");
    ChannelCore core(limits);
    FeedPackets(core, packets);
    ASSERT_TRUE(core.HasRandomAccess());

    TsPacket filler{};
    for (const auto& p : packets) {
        if (p.Pid() == kVideoPid && !p.PayloadUnitStart() && !p.HasAdaptationField())
            filler = p;
    }
    std::uint8_t counter = 0;
    for (const auto& p : packets) {
        if (p.Pid() == kVideoPid)
            counter = p.ContinuityCounter();
    }
    const std::size_t most = limits.maxBytes / kPacketSize + 2;
    for (std::size_t pushed = 0; core.HasRandomAccess(); ++pushed) {
        ASSERT_LT(pushed, most) << "never dropped";
        const std::size_t before = core.GopBytes();
        counter = (counter + 1) & 0x0F;
        filler.SetContinuityCounter(counter);
        core.PushPacket(filler);
        if (before + kPacketSize <= limits.maxBytes) {
            ASSERT_TRUE(core.HasRandomAccess());
            ASSERT_EQ(core.GopBytes(), before + kPacketSize);
        } else {
            ASSERT_FALSE(core.HasRandomAccess());
        }
    }
    EXPECT_EQ(core.Stats().droppedOverBytes, 1U);
    EXPECT_EQ(core.GopBytes(), 0U);
}

INSTANTIATE_TEST_SUITE_P(fastzap, ByteBounds,
                         ::testing::Values(std::size_t(64) << 10, std::size_t(1) << 20, 0),
                         [](const auto& info) {
                             return info.param == 0 ? std::string("Default8MiB")
                                                    : std::to_string(info.param >> 10) + "KiB";
                         });

// --- null packets ------------------------------------------------------------------------------

TEST(fastzap_NullPackets, AreNeitherKeptNorPassedOn)
{
    const auto packets = ReadPackets("h264.ts");
    std::vector<TsPacket> stuffed;
    TsPacket null{};
    null.bytes.fill(0xFF);
    null.bytes[0] = fastzap::kSyncByte;
    null.bytes[1] = 0x1F;
    null.bytes[2] = 0xFF;
    null.bytes[3] = 0x10;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        stuffed.push_back(packets[i]);
        if (i % 3 == 0)
            stuffed.push_back(null);
    }
    ChannelCore core;
    std::vector<TsPacket> live;
    const auto bytes = ToBytes(stuffed);
    core.PushBytes(bytes, live);
    EXPECT_EQ(live, packets);
    EXPECT_EQ(core.Stats().nullPackets, stuffed.size() - packets.size());
    ASSERT_TRUE(core.HasRandomAccess());
    EXPECT_EQ(std::count(core.Gop().begin(), core.Gop().end(), null), 0);
}

// --- start codes -----------------------------------------------------------------------------

class StartCodeSplit : public ::testing::TestWithParam<int>
{};

// The same codes are found whatever two places the bytes are cut at.
TEST_P(StartCodeSplit, FindsEveryCode)
{
    const std::vector<std::uint8_t> bytes{0x00, 0x00, 0x01, 0x09, 0x10, 0x00, 0x00, 0x00, 0x01,
                                          0x67, 0x42, 0x00, 0x01, 0x00, 0x00, 0x01, 0x68, 0xCE,
                                          0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x65, 0x00, 0x00};
    const std::vector<std::uint8_t> expected{0x09, 0x67, 0x68, 0x65};
    const std::size_t cut = std::size_t(GetParam());
    for (std::size_t second = cut; second <= bytes.size(); ++second) {
        fastzap::StartCodeScanner scanner;
        std::vector<std::uint8_t> found;
        auto onCode = [&](std::uint8_t code) {
            found.push_back(code);
        };
        const std::span<const std::uint8_t> all(bytes);
        scanner.Push(all.subspan(0, cut), onCode);
        scanner.Push(all.subspan(cut, second - cut), onCode);
        scanner.Push(all.subspan(second), onCode);
        EXPECT_EQ(found, expected) << "cut at " << cut << " and " << second;
    }
}

INSTANTIATE_TEST_SUITE_P(fastzap, StartCodeSplit, ::testing::Range(0, 28),
                         [](const auto& info) { return "At" + std::to_string(info.param); });

} // namespace
