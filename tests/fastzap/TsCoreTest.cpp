// The transport-stream core on real captured streams: start points where ffmpeg put its
// keyframes, the PAT and PMT followed through changes, framing through any datagram sizes, lost
// sync and garbage, lost packets, and the buffer's bounds.
#include "Captures.h"
#include "ChannelBuffer.h"
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

enum class Flags
{
    Kept,
    Cleared,            // start points must come from the pictures
    OnPacketsOfTheirOwn // each on a packet with no payload before its keyframe's PES
};

struct StreamCase
{
    const char* file;
    VideoCodec codec;
    Flags flags;
    std::uint64_t interval = kInterval;
};

class StartPoints : public ::testing::TestWithParam<StreamCase>
{};

// Every keyframe ffprobe finds is a start point and nothing else is; the group kept is every
// packet, of every PID, from the last one on, and a decoder that starts with it decodes every
// picture from the keyframe on. A healthy stream never loses its group once it has one.
TEST_P(StartPoints, AreTheKeyframesADecoderCanStartFrom)
{
    const StreamCase c = GetParam();
    auto packets = ReadPackets(c.file);
    const auto frames = ProbeVideo(c.file);
    auto keys = KeyPackets(frames);
    ASSERT_GE(keys.size(), 4U);
    const auto lastKey = std::find_if(frames.begin(), frames.end(), [&](const VideoFrame& f) {
        return f.packetIndex == keys.back();
    });
    if (c.flags == Flags::Cleared)
        ClearRandomAccessFlags(packets);
    if (c.flags == Flags::OnPacketsOfTheirOwn)
        keys = FlagBeforeKeyframes(packets, keys);

    ChannelCore core;
    bool held = false;
    EXPECT_EQ(FeedPackets(core, packets,
                          [&](std::size_t i) {
                              EXPECT_TRUE(!held || core.HasRandomAccess()) << "lost at " << i;
                              held = core.HasRandomAccess();
                          }),
              keys);
    EXPECT_EQ(core.VideoFlagsSeen(), c.flags != Flags::Cleared);
    ASSERT_TRUE(core.Pmt());
    EXPECT_EQ(core.Pmt()->codec, c.codec);
    EXPECT_EQ(core.Pmt()->videoPid, kVideoPid);
    EXPECT_EQ(core.Pat()->pmtPid, kPmtPid);
    EXPECT_EQ(core.KeyframeInterval(), c.interval);
    EXPECT_EQ(core.Stats().droppedOverTime + core.Stats().droppedOverBytes, 0U);

    // The latest PAT and PMT, as carried.
    const auto last = [&](std::uint16_t pid) {
        return *std::find_if(packets.rbegin(), packets.rend(),
                             [&](const TsPacket& p) { return p.Pid() == pid; });
    };
    ASSERT_EQ(core.PatPackets().size(), 1U);
    ASSERT_EQ(core.PmtPackets().size(), 1U);
    EXPECT_EQ(core.PatPackets()[0], last(0));
    EXPECT_EQ(core.PmtPackets()[0], last(kPmtPid));

    // The group: the keyframe's first packet (with the parameter sets put in, when the encoder
    // sent them only earlier), then the rest of the stream as it came.
    const std::vector<TsPacket> gop(core.Gop().begin(), core.Gop().end());
    const std::size_t rest = packets.size() - keys.back() - 1;
    ASSERT_GT(gop.size(), rest);
    EXPECT_TRUE(std::equal(gop.end() - std::ptrdiff_t(rest), gop.end(),
                           packets.end() - std::ptrdiff_t(rest)));
    EXPECT_TRUE(gop.size() > rest + 1 || gop[0] == packets[keys.back()]);
    EXPECT_EQ(core.GopBytes(), gop.size() * kPacketSize);

    // What a reader is handed (the PAT, the PMT, the group) is whole: no counter jumps, a start
    // point right after the tables, and every picture from the keyframe on decodes.
    fastzap::ChannelBuffer channel;
    channel.Push(ToBytes(packets));
    const auto source = channel.OpenSource();
    ASSERT_TRUE(source);
    std::vector<std::uint8_t> bytes(source->QueuedBytes());
    ASSERT_EQ(source->Read(bytes.data(), bytes.size()), ssize_t(bytes.size()));
    const auto snapshot = ToPackets(bytes);
    ChannelCore fresh;
    EXPECT_EQ(FeedPackets(fresh, snapshot), std::vector<std::uint64_t>{2});
    EXPECT_EQ(fresh.Stats().continuityErrors + fresh.Stats().duplicates, 0U);
    const auto shown = std::count_if(lastKey, frames.end(), [&](const VideoFrame& f) {
        return f.pts >= lastKey->pts; // a CRA's leading pictures are dropped, as they must be
    });
    EXPECT_EQ(Decode(snapshot, Readable(c.file)), std::to_string(shown) + " pictures");
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, StartPoints,
    ::testing::Values(StreamCase{"h264.ts", VideoCodec::H264, Flags::Kept},
                      StreamCase{"h264.ts", VideoCodec::H264, Flags::Cleared},
                      StreamCase{"h264-audio.ts", VideoCodec::H264, Flags::Kept},
                      StreamCase{"h264-audio.ts", VideoCodec::H264, Flags::Cleared},
                      StreamCase{"h264-audio.ts", VideoCodec::H264, Flags::OnPacketsOfTheirOwn},
                      StreamCase{"h264-extra-keyframe.ts", VideoCodec::H264, Flags::Kept},
                      StreamCase{"h264-2s-headers-once.ts", VideoCodec::H264, Flags::Kept, 180000},
                      StreamCase{"h264-2s-headers-once.ts", VideoCodec::H264, Flags::Cleared,
                                 180000},
                      StreamCase{"h265.ts", VideoCodec::H265, Flags::Kept},
                      StreamCase{"h265.ts", VideoCodec::H265, Flags::Cleared},
                      StreamCase{"h265-open-gop.ts", VideoCodec::H265, Flags::Kept},
                      StreamCase{"h265-open-gop.ts", VideoCodec::H265, Flags::Cleared},
                      StreamCase{"mpeg2.ts", VideoCodec::Mpeg2, Flags::Kept},
                      StreamCase{"mpeg2.ts", VideoCodec::Mpeg2, Flags::Cleared}),
    [](const auto& info) {
        return Readable(info.param.file) + (info.param.flags == Flags::Kept      ? "_Flags"
                                            : info.param.flags == Flags::Cleared ? "_NoFlags"
                                                                                 : "_FlagsBefore");
    });

// --- framing ---------------------------------------------------------------------------------

// Datagrams cut anywhere give every packet and the same start points as whole packets: the
// first datagram ends `offset` bytes into a packet and every later one (1316 bytes, seven
// packets) does too, for every offset; then pieces of random sizes. Null packets, one every
// three, are neither passed on nor kept.
TEST(fastzap_Framing, GivesEveryPacketWhereverTheDatagramsEnd)
{
    const auto packets = ReadPackets("h264-audio.ts");
    TsPacket null{};
    null.bytes.fill(0xFF);
    null.bytes[0] = fastzap::kSyncByte;
    null.bytes[1] = 0x1F;
    null.bytes[3] = 0x10;
    std::vector<TsPacket> stuffed;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        stuffed.push_back(packets[i]);
        if (i % 3 == 0)
            stuffed.push_back(null);
    }
    const auto bytes = ToBytes(stuffed);
    ChannelCore whole;
    const auto expected = FeedPackets(whole, stuffed);
    ASSERT_EQ(expected.size(), 5U);
    EXPECT_EQ(whole.Stats().nullPackets, stuffed.size() - packets.size());
    EXPECT_EQ(std::count(whole.Gop().begin(), whole.Gop().end(), null), 0);
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> size(0, 3000);
    for (std::size_t offset = 0; offset < kPacketSize + 8; ++offset) {
        ChannelCore core;
        std::vector<TsPacket> out;
        std::vector<std::uint64_t> starts;
        for (std::size_t at = 0, i = 0, n = 0; at < bytes.size(); at += n, ++i) {
            n = offset >= kPacketSize ? size(random) : i == 0 ? offset : 1316;
            n = std::min(n, bytes.size() - at);
            const auto before = core.Stats().randomAccessPoints;
            core.PushBytes(std::span<const std::uint8_t>(bytes).subspan(at, n), out);
            if (core.Stats().randomAccessPoints != before)
                starts.push_back(core.GopStartIndex());
        }
        ASSERT_TRUE(out == packets) << "offset " << offset;
        ASSERT_EQ(starts, expected) << "offset " << offset;
        ASSERT_EQ(core.Framer().SkippedBytes() + core.Framer().SyncLosses(), 0U);
    }
}

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

// The stream comes in datagrams of seven packets, one of them damaged.
TEST_P(Damaged, RecoversEveryPacketOutsideTheDamage)
{
    const Damage d = GetParam();
    const auto packets = ReadPackets("h264-audio.ts");
    auto datagrams = Datagrams(ToBytes(packets));
    auto& bytes = datagrams[d.packet / 7];
    const auto at = std::ptrdiff_t(d.packet % 7 * kPacketSize);
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
    for (const auto& datagram : datagrams)
        framer.Push(datagram, out);

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
                      // The hunt ends on the datagram's last packet, whose partner is still due.
                      Damage{"Garbage200BeforePacket503", Damage::Garbage, 503, 200},
                      Damage{"Garbage4000BeforePacket120", Damage::Garbage, 120, 4000},
                      Damage{"Garbage188BeforePacket801", Damage::Garbage, 801, 188},
                      Damage{"HostileGarbage3000", Damage::HostileGarbage, 300, 3000},
                      Damage{"Packet300Cut1", Damage::CutPacket, 300, 1},
                      // A datagram's third packet lost bytes: the fast path must not splice it.
                      Damage{"Packet303Cut100", Damage::CutPacket, 303, 100},
                      Damage{"Packet702Cut183", Damage::CutPacket, 702, 183}),
    [](const auto& info) { return std::string(info.param.name); });

// --- PAT and PMT changes -------------------------------------------------------------------

struct ProgramChange
{
    const char* name;
    const char* second; // the capture that follows h264.ts, edited by `edit`
    void (*edit)(std::vector<TsPacket>&);
    bool taken; // its PAT and PMT are taken as the ones in force
    std::uint16_t pmtPid;
    std::uint16_t videoPid;
    VideoCodec codec;
    int version;
};

// The moved layout's PMT on the old PMT's PID, as a new version of it.
void NewPmtVersion(std::vector<TsPacket>& p, bool current)
{
    MovePid(p, kMovedPmtPid, kPmtPid);
    PointPatTo(p, kPmtPid);
    SetVersion(p, kPmtPid, 1, current);
}

class ProgramChanges : public ::testing::TestWithParam<ProgramChange>
{};

// A change of the video (PID or codec) drops the old group as soon as the new PAT or PMT says
// so, and start points go on with the new video from its first keyframe. A table marked as the
// next one (not yet in force) changes nothing.
TEST_P(ProgramChanges, AreFollowed)
{
    const ProgramChange c = GetParam();
    const auto first = ReadPackets("h264.ts");
    auto second = ReadPackets(c.second);
    if (c.edit != nullptr)
        c.edit(second);
    const auto secondKeys = KeyPackets(ProbeVideo(c.second));
    const bool videoChanged = c.videoPid != kVideoPid || c.codec != VideoCodec::H264;

    ChannelCore core;
    auto starts = FeedPackets(core, first);
    const auto after = FeedPackets(core, second, [&](std::size_t i) {
        const bool moved = core.Pat()->pmtPid != kPmtPid || !core.Pmt() ||
                           core.Pmt()->videoPid != kVideoPid ||
                           core.Pmt()->codec != VideoCodec::H264;
        EXPECT_FALSE(i < secondKeys[0] && moved && core.HasRandomAccess()) << "old group at " << i;
    });
    starts.insert(starts.end(), after.begin(), after.end());

    ASSERT_TRUE(core.Pat() && core.Pmt());
    EXPECT_EQ(core.Pat()->pmtPid, c.pmtPid);
    EXPECT_EQ(core.Pmt()->videoPid, c.videoPid);
    EXPECT_EQ(core.Pmt()->codec, c.codec);
    EXPECT_EQ(core.Pmt()->version, c.version);
    EXPECT_EQ(core.Stats().programChanges, videoChanged ? 1U : 0U);

    std::vector<std::uint64_t> expected = KeyPackets(ProbeVideo("h264.ts"));
    for (const auto k : c.taken ? secondKeys : std::vector<std::uint64_t>{})
        expected.push_back(first.size() + k);
    EXPECT_EQ(starts, expected);
    ASSERT_TRUE(core.HasRandomAccess());
    EXPECT_EQ(core.Gop()[0], c.taken ? second[secondKeys.back()] : first[expected.back()]);

    // The PMT kept is the latest one in force, as carried.
    const auto& tables = c.taken ? second : first;
    ASSERT_EQ(core.PmtPackets().size(), 1U);
    EXPECT_EQ(core.PmtPackets()[0], *std::find_if(tables.rbegin(), tables.rend(),
                                                  [&](auto& p) { return p.Pid() == c.pmtPid; }));
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, ProgramChanges,
    ::testing::Values(
        ProgramChange{"PatMovesPmt", "h264-moved.ts", nullptr, true, kMovedPmtPid, kMovedVideoPid,
                      VideoCodec::H264, 0},
        ProgramChange{"PmtVersionNewVideoPid", "h264-moved.ts",
                      [](auto& p) { NewPmtVersion(p, true); }, true, kPmtPid, kMovedVideoPid,
                      VideoCodec::H264, 1},
        ProgramChange{"PmtVersionNewCodec", "h265.ts", [](auto& p) { SetVersion(p, kPmtPid, 1); },
                      true, kPmtPid, kVideoPid, VideoCodec::H265, 1},
        ProgramChange{"PmtVersionSameVideo", "h264.ts", [](auto& p) { SetVersion(p, kPmtPid, 1); },
                      true, kPmtPid, kVideoPid, VideoCodec::H264, 1},
        ProgramChange{"NextPatIgnored", "h264-moved.ts",
                      [](auto& p) { SetVersion(p, 0, 1, false); }, false, kPmtPid, kVideoPid,
                      VideoCodec::H264, 0},
        ProgramChange{"NextPmtIgnored", "h264-moved.ts", [](auto& p) { NewPmtVersion(p, false); },
                      false, kPmtPid, kVideoPid, VideoCodec::H264, 0}),
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
        Duplicate,
        Errored,
        FlaggedKeyframeLost
    } kind;
};

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
    auto keys = KeyPackets(ProbeVideo("h264-audio.ts"));
    if (d.kind == Discontinuity::FlaggedKeyframeLost)
        keys = FlagBeforeKeyframes(packets, keys);
    const auto lose = [&](std::size_t i) {
        packets.erase(packets.begin() + std::ptrdiff_t(i));
        std::erase(keys, i);
        for (auto& k : keys)
            k -= k > i ? 1 : 0;
    };
    // `at` ends up at the packet that reveals the discontinuity.
    std::size_t at = 0;
    switch (d.kind) {
    case Discontinuity::VideoLost:
    case Discontinuity::AudioLost: {
        const std::uint16_t pid = d.kind == Discontinuity::VideoLost ? kVideoPid : kAudioPid;
        at = MidGop(packets, keys, pid);
        lose(at);
        while (packets[at].Pid() != pid)
            ++at;
        break;
    }
    case Discontinuity::FlaggedKeyframeLost:
        // Its flag came on a packet of its own before it: the next PES to start is no keyframe.
        at = keys[2];
        lose(at);
        while (packets[at].Pid() != kVideoPid)
            ++at;
        break;
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
        for (auto& k : keys)
            k += k > at ? 1 : 0;
        ++at;
        break;
    case Discontinuity::Errored:
        // Marked as errored, and its header garbled too: an adaptation field that says the
        // counter starts afresh. The next video packet shows it was lost.
        at = MidGop(packets, keys, kVideoPid);
        packets[at].bytes[1] |= 0x80;
        packets[at].bytes[3] |= 0x20;
        packets[at].bytes[4] = 1;
        packets[at].bytes[5] = 0x80;
        while (packets[++at].Pid() != kVideoPid) {
        }
        break;
    }
    const bool hole = d.kind == Discontinuity::VideoLost || d.kind == Discontinuity::Errored ||
                      d.kind == Discontinuity::FlaggedKeyframeLost;

    ChannelCore core;
    const std::vector<TsPacket> head(packets.begin(), packets.begin() + std::ptrdiff_t(at) + 1);
    FeedPackets(core, head);
    const auto stats = core.Stats();
    EXPECT_EQ(stats.continuityErrors, hole || d.kind == Discontinuity::AudioLost ? 1U : 0U);
    EXPECT_EQ(stats.signalledDiscontinuities, d.kind == Discontinuity::Signalled ? 1U : 0U);
    EXPECT_EQ(stats.duplicates, d.kind == Discontinuity::Duplicate ? 1U : 0U);
    EXPECT_EQ(stats.droppedForLoss, hole ? 1U : 0U);
    // A group with a hole in its video is not handed out; anything else is.
    EXPECT_EQ(core.HasRandomAccess(), !hole);

    // The next keyframes, and only they, start whole groups again.
    const std::vector<TsPacket> tail(packets.begin() + std::ptrdiff_t(at) + 1, packets.end());
    std::erase_if(keys, [&](std::uint64_t k) { return k <= at; });
    EXPECT_EQ(FeedPackets(core, tail), keys);
    EXPECT_EQ(core.Stats().continuityErrors, stats.continuityErrors);
}

INSTANTIATE_TEST_SUITE_P(
    fastzap, Discontinuities,
    ::testing::Values(Discontinuity{"VideoPacketLost", Discontinuity::VideoLost},
                      Discontinuity{"AudioPacketLost", Discontinuity::AudioLost},
                      Discontinuity{"SignalledByTheFlag", Discontinuity::Signalled},
                      Discontinuity{"DuplicatePacket", Discontinuity::Duplicate},
                      Discontinuity{"ErroredVideoPacket", Discontinuity::Errored},
                      Discontinuity{"FlaggedKeyframeLost", Discontinuity::FlaggedKeyframeLost}),
    [](const auto& info) { return std::string(info.param.name); });

// --- bounds ----------------------------------------------------------------------------------

struct TimeBound
{
    const char* file;
    std::size_t lastKey; // keyframes after this one lose their flags
    std::uint64_t limit; // the bound that applies, 90 kHz
    BufferLimits limits;
};

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
                      TimeBound{"h264-2s-headers-once.ts", 1, 360000, {}},
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
    std::uint8_t counter = 0;
    for (const auto& p : packets) {
        if (p.Pid() == kVideoPid && !p.PayloadUnitStart() && !p.HasAdaptationField())
            filler = p;
        counter = p.Pid() == kVideoPid ? p.ContinuityCounter() : counter;
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

// The first bound is a whole number of packets: a group exactly at it is kept.
INSTANTIATE_TEST_SUITE_P(fastzap, ByteBounds,
                         ::testing::Values(kPacketSize * 400, std::size_t(1) << 20, 0),
                         [](const auto& info) {
                             return info.param == 0 ? std::string("Default8MiB")
                                                    : std::to_string(info.param >> 10) + "KiB";
                         });

// --- start codes -----------------------------------------------------------------------------

// The same codes are found, each with the place of the byte after it, wherever the bytes are cut
// into three pieces.
TEST(fastzap_StartCodes, AreFoundWhereverTheBytesAreCut)
{
    const std::vector<std::uint8_t> bytes{0x00, 0x00, 0x01, 0x09, 0x10, 0x00, 0x00, 0x00, 0x01,
                                          0x67, 0x42, 0x00, 0x01, 0x00, 0x00, 0x01, 0x68, 0xCE,
                                          0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x65, 0x00, 0x00};
    const std::vector<std::pair<std::uint8_t, std::size_t>> expected{
        {0x09, 3}, {0x67, 9}, {0x68, 16}, {0x65, 24}};
    const std::span<const std::uint8_t> all(bytes);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        for (std::size_t second = cut; second <= bytes.size(); ++second) {
            fastzap::StartCodeScanner scanner;
            std::vector<std::pair<std::uint8_t, std::size_t>> found;
            std::size_t offset = 0;
            const auto push = [&](std::span<const std::uint8_t> piece) {
                scanner.Push(piece, [&](std::uint8_t code, std::size_t at) {
                    found.emplace_back(code, offset + at);
                });
                offset += piece.size();
            };
            push(all.subspan(0, cut));
            push(all.subspan(cut, second - cut));
            push(all.subspan(second));
            EXPECT_EQ(found, expected) << "cut at " << cut << " and " << second;
        }
    }
}

} // namespace
