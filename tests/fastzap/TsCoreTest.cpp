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

class StartPoints : public ::testing::TestWithParam<std::tuple<std::string, Flags>>
{};

// Every keyframe ffprobe finds is a start point and nothing else is; the group kept is every
// packet, of every PID, from the last one on, and a decoder that starts with it decodes every
// picture from the keyframe on. A healthy stream never loses its group once it has one, and
// gives no source before its first keyframe.
TEST_P(StartPoints, AreTheKeyframesADecoderCanStartFrom)
{
    const auto& [file, flags] = GetParam();
    auto packets = ReadPackets(file);
    const auto frames = ProbeVideo(file);
    auto keys = KeyPackets(frames);
    ASSERT_GE(keys.size(), 4U);
    const auto lastKey = std::ranges::find(frames, keys.back(), &VideoFrame::packetIndex);
    if (flags == Flags::Cleared)
        std::ranges::for_each(packets, &TsPacket::ClearRandomAccess);
    if (flags == Flags::OnPacketsOfTheirOwn)
        keys = FlagBeforeKeyframes(packets, keys);

    ChannelCore core;
    bool held = false;
    EXPECT_EQ(FeedPackets(core, packets,
                          [&](std::size_t i) {
                              EXPECT_TRUE(!held || core.HasRandomAccess()) << "lost at " << i;
                              held = core.HasRandomAccess();
                          }),
              keys);
    EXPECT_EQ(core.VideoFlagsSeen(), flags != Flags::Cleared);
    ASSERT_TRUE(core.Pmt());
    EXPECT_EQ(core.Pmt()->codec, file.starts_with("h265")    ? VideoCodec::H265
                                 : file.starts_with("mpeg2") ? VideoCodec::Mpeg2
                                                             : VideoCodec::H264);
    EXPECT_EQ(core.Pmt()->videoPid, kVideoPid);
    EXPECT_EQ(core.Pat()->pmtPid, kPmtPid);
    EXPECT_EQ(core.KeyframeInterval(), file.find("-2s-") != file.npos ? 180000 : kInterval);
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
    channel.Push(ToBytes({packets.begin(), packets.begin() + std::ptrdiff_t(keys[0])}));
    EXPECT_FALSE(channel.HasRandomAccess() || channel.OpenSource());
    channel.Push(ToBytes({packets.begin() + std::ptrdiff_t(keys[0]), packets.end()}));
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
    EXPECT_EQ(Decode(snapshot, Readable(file) + std::to_string(int(flags))),
              std::to_string(shown) + " pictures");
}

const char* const kFlagNames[] = {"_Flags", "_NoFlags", "_FlagsBefore"};

INSTANTIATE_TEST_SUITE_P(
    fastzap, StartPoints,
    ::testing::Combine(::testing::Values("h264.ts", "h264-audio.ts", "h264-extra-keyframe.ts",
                                         "h264-2s-headers-once.ts", "h265.ts", "h265-open-gop.ts",
                                         "mpeg2.ts"),
                       ::testing::Values(Flags::Kept, Flags::Cleared, Flags::OnPacketsOfTheirOwn)),
    [](const auto& info) {
        return Readable(std::get<0>(info.param)) + kFlagNames[int(std::get<1>(info.param))];
    });

// --- framing ---------------------------------------------------------------------------------

// Datagrams cut anywhere give every packet and the same start points as whole packets: the
// first datagram ends `offset` bytes into a packet and every later one (1316 bytes, seven
// packets) does too, for every offset; then pieces of random sizes. Null packets, one every
// three, are neither passed on nor kept.
TEST(fastzap_Framing, GivesEveryPacketWhereverTheDatagramsEnd)
{
    const auto packets = ReadPackets("h264-audio.ts");
    const TsPacket null = Packet(fastzap::kNullPid);
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

// The stream comes in datagrams of seven packets, one of them damaged: garbage before a packet
// (hostile garbage has sync bytes in it), or a packet cut short.
TEST(fastzap_Framing, RecoversEveryPacketOutsideTheDamage)
{
    const struct
    {
        std::size_t packet;   // where: the garbage goes before it, or it is cut short
        std::size_t garbage;  // bytes of garbage before it
        std::size_t cut;      // bytes cut out of it
        bool hostile = false; // sync bytes in the garbage
    } cases[] = {{0, 1000, 0},
                 // The hunt ends on the datagram's last packet, whose partner is still due.
                 {503, 200, 0},
                 {120, 4000, 0},
                 {801, 188, 0},
                 {300, 3000, 0, true},
                 {300, 0, 1},
                 // A datagram's third packet lost bytes: the fast path must not splice it.
                 {303, 0, 100},
                 {702, 0, 183}};
    const auto packets = ReadPackets("h264-audio.ts");
    for (const auto& d : cases) {
        SCOPED_TRACE(::testing::Message() << d.garbage << " bytes of garbage before, " << d.cut
                                          << " cut out of packet " << d.packet);
        auto datagrams = Datagrams(ToBytes(packets));
        auto& bytes = datagrams[d.packet / 7];
        const auto at = bytes.begin() + std::ptrdiff_t(d.packet % 7 * kPacketSize);
        std::mt19937 random(7);
        std::vector<std::uint8_t> garbage(d.garbage);
        for (std::size_t i = 0; i < d.garbage; ++i) {
            const auto b = std::uint8_t(random());
            garbage[i] = d.hostile && i % 97 == 0  ? fastzap::kSyncByte
                         : b == fastzap::kSyncByte ? 0x48
                                                   : b;
        }
        bytes.erase(at + 4, at + 4 + std::ptrdiff_t(d.cut));
        bytes.insert(at, garbage.begin(), garbage.end());

        fastzap::TsFramer framer;
        std::vector<TsPacket> out;
        for (const auto& datagram : datagrams)
            framer.Push(datagram, out);
        // Nothing tells a packet followed by garbage from one cut short, so it goes too.
        auto expected = packets;
        const bool lost = d.cut > 0 || d.packet > 0;
        if (lost)
            expected.erase(expected.begin() + std::ptrdiff_t(d.cut > 0 ? d.packet : d.packet - 1));
        if (d.hostile) {
            // Sync bytes in the garbage may pass for a packet; every real one still comes
            // through, in order.
            auto it = out.begin();
            for (const auto& p : expected) {
                it = std::find(it, out.end(), p);
                ASSERT_NE(it, out.end());
                ++it;
            }
            EXPECT_LE(out.size(), expected.size() + d.garbage / kPacketSize + 1);
        } else {
            EXPECT_EQ(out, expected);
            EXPECT_EQ(framer.SkippedBytes(), d.garbage + (lost ? kPacketSize - d.cut : 0));
            EXPECT_EQ(framer.SyncLosses(), lost ? 1U : 0U);
        }
    }
}

// --- PAT and PMT changes -------------------------------------------------------------------

// Every section on `pid` gets `version` and, unless `current`, says it is the next table, not
// the one in force. With `from`, the PMT on that PID moves to `pid` first, and the PAT with it.
void SetVersion(std::vector<TsPacket>& packets, std::uint16_t pid, int version, bool current = true,
                std::uint16_t from = 0)
{
    // Rewrites a section carried whole in one packet (as ffmpeg writes its PAT and PMT) and fixes
    // its CRC.
    const auto edit = [](TsPacket& packet, auto&& change) {
        std::uint8_t* s =
            packet.bytes.data() + packet.PayloadOffset() + 1 + packet.bytes[packet.PayloadOffset()];
        const std::size_t length = 3 + (std::size_t(s[1] & 0x0F) << 8 | s[2]);
        change(s);
        const std::uint32_t crc = fastzap::Crc32Mpeg(std::span<const std::uint8_t>(s, length - 4));
        for (int i = 0; i < 4; ++i)
            s[length - 4 + std::size_t(i)] = std::uint8_t(crc >> (24 - 8 * i));
    };
    for (auto& p : packets) {
        if (from != 0 && p.Pid() == from) {
            p.bytes[1] = std::uint8_t((p.bytes[1] & 0xE0) | (pid >> 8));
            p.bytes[2] = std::uint8_t(pid);
        }
        if (from != 0 && p.Pid() == 0 && p.PayloadUnitStart()) {
            edit(p, [&](std::uint8_t* s) {
                s[10] = std::uint8_t(0xE0 | (pid >> 8));
                s[11] = std::uint8_t(pid);
            });
        }
        if (p.Pid() == pid && p.PayloadUnitStart()) {
            edit(p, [&](std::uint8_t* s) {
                s[5] = std::uint8_t((s[5] & 0xC0) | ((version & 0x1F) << 1) | (current ? 1 : 0));
            });
        }
    }
}

// A change of the video (PID or codec) drops the old group as soon as the new PAT or PMT says
// so, and start points go on with the new video from its first keyframe. A table marked as the
// next one (not yet in force) changes nothing.
TEST(fastzap_ProgramChanges, AreFollowed)
{
    const struct
    {
        const char* name;
        const char* second; // the capture that follows h264.ts, edited by `edit`
        void (*edit)(std::vector<TsPacket>&);
        bool taken; // its PAT and PMT are taken as the ones in force
        std::uint16_t pmtPid;
        std::uint16_t videoPid;
        VideoCodec codec;
        int version;
    } cases[] = {{"PatMovesPmt", "h264-moved.ts", [](auto&) {}, true, kMovedPmtPid, kMovedVideoPid,
                  VideoCodec::H264, 0},
                 // The moved layout's PMT on the old PMT's PID, as a new version of it.
                 {"PmtVersionNewVideoPid", "h264-moved.ts",
                  [](auto& p) { SetVersion(p, kPmtPid, 1, true, kMovedPmtPid); }, true, kPmtPid,
                  kMovedVideoPid, VideoCodec::H264, 1},
                 {"PmtVersionNewCodec", "h265.ts", [](auto& p) { SetVersion(p, kPmtPid, 1); }, true,
                  kPmtPid, kVideoPid, VideoCodec::H265, 1},
                 {"PmtVersionSameVideo", "h264.ts", [](auto& p) { SetVersion(p, kPmtPid, 1); },
                  true, kPmtPid, kVideoPid, VideoCodec::H264, 1},
                 {"NextPatIgnored", "h264-moved.ts", [](auto& p) { SetVersion(p, 0, 1, false); },
                  false, kPmtPid, kVideoPid, VideoCodec::H264, 0},
                 {"NextPmtIgnored", "h264-moved.ts",
                  [](auto& p) { SetVersion(p, kPmtPid, 1, false, kMovedPmtPid); }, false, kPmtPid,
                  kVideoPid, VideoCodec::H264, 0}};
    const auto first = ReadPackets("h264.ts");
    const auto firstKeys = KeyPackets(ProbeVideo("h264.ts"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto second = ReadPackets(c.second);
        c.edit(second);
        const auto secondKeys = KeyPackets(ProbeVideo(c.second));

        ChannelCore core;
        auto starts = FeedPackets(core, first);
        const auto after = FeedPackets(core, second, [&](std::size_t i) {
            const bool moved = core.Pat()->pmtPid != kPmtPid || !core.Pmt() ||
                               core.Pmt()->videoPid != kVideoPid ||
                               core.Pmt()->codec != VideoCodec::H264;
            EXPECT_FALSE(i < secondKeys[0] && moved && core.HasRandomAccess())
                << "old group at " << i;
        });
        starts.insert(starts.end(), after.begin(), after.end());

        ASSERT_TRUE(core.Pat() && core.Pmt());
        EXPECT_EQ(core.Pat()->pmtPid, c.pmtPid);
        EXPECT_EQ(core.Pmt()->videoPid, c.videoPid);
        EXPECT_EQ(core.Pmt()->codec, c.codec);
        EXPECT_EQ(core.Pmt()->version, c.version);
        const bool videoChanged = c.videoPid != kVideoPid || c.codec != VideoCodec::H264;
        EXPECT_EQ(core.Stats().programChanges, videoChanged ? 1U : 0U);

        auto expected = firstKeys;
        for (const auto k : c.taken ? secondKeys : std::vector<std::uint64_t>{})
            expected.push_back(first.size() + k);
        EXPECT_EQ(starts, expected);
        ASSERT_TRUE(core.HasRandomAccess());
        EXPECT_EQ(core.Gop()[0], c.taken ? second[secondKeys.back()] : first[expected.back()]);

        // The PMT kept is the latest one in force, as carried.
        const auto& tables = c.taken ? second : first;
        ASSERT_EQ(core.PmtPackets().size(), 1U);
        EXPECT_EQ(core.PmtPackets()[0], *std::find_if(tables.rbegin(), tables.rend(), [&](auto& p) {
                      return p.Pid() == c.pmtPid;
                  }));
    }
}

// --- discontinuities -------------------------------------------------------------------------

// Each is noted, and a lost video packet drops the group: the next keyframes, and only they,
// start whole groups again.
TEST(fastzap_Discontinuities, AreNotedAndALostVideoPacketDropsTheGroup)
{
    enum Kind
    {
        VideoLost,
        AudioLost,
        Signalled,
        Duplicate,
        Errored,
        FlaggedKeyframeLost
    };
    for (const Kind kind :
         {VideoLost, AudioLost, Signalled, Duplicate, Errored, FlaggedKeyframeLost}) {
        SCOPED_TRACE(::testing::Message() << "kind " << kind);
        auto packets = ReadPackets("h264-audio.ts");
        auto keys = KeyPackets(ProbeVideo("h264-audio.ts"));
        if (kind == FlaggedKeyframeLost)
            keys = FlagBeforeKeyframes(packets, keys);
        // The packet of `pid` halfway between the second and third keyframes.
        const auto midGop = [&](std::uint16_t pid) {
            auto i = (keys[1] + keys[2]) / 2;
            while (packets[i].Pid() != pid || packets[i].PayloadUnitStart())
                ++i;
            return i;
        };
        // `at` ends up at the packet that reveals the discontinuity.
        std::size_t at = kind == Signalled || kind == FlaggedKeyframeLost ? keys[2]
                         : kind == AudioLost                              ? midGop(kAudioPid)
                                                                          : midGop(kVideoPid);
        if (kind == VideoLost || kind == AudioLost || kind == FlaggedKeyframeLost) {
            // A lost flagged keyframe's flag came on a packet of its own before it: the next PES
            // to start is no keyframe.
            const auto pid = packets[at].Pid();
            packets.erase(packets.begin() + std::ptrdiff_t(at));
            std::erase(keys, at);
            for (auto& k : keys)
                k -= k > at ? 1 : 0;
            while (packets[at].Pid() != pid)
                ++at;
        } else if (kind == Signalled) {
            // The keyframe's packet says its counter starts afresh; every later video packet's
            // counter is off by five from then on.
            ASSERT_NE(packets[at].AdaptationFlags(), 0);
            packets[at].bytes[5] |= 0x80;
            for (std::size_t i = at; i < packets.size(); ++i) {
                if (packets[i].Pid() == kVideoPid)
                    packets[i].SetContinuityCounter(packets[i].ContinuityCounter() + 5);
            }
        } else if (kind == Duplicate) {
            packets.insert(packets.begin() + std::ptrdiff_t(at), packets[at]);
            for (auto& k : keys)
                k += k > at ? 1 : 0;
            ++at;
        } else {
            // Marked as errored, and its header garbled too: an adaptation field that says the
            // counter starts afresh. The next video packet shows it was lost.
            packets[at].bytes[1] |= 0x80;
            packets[at].bytes[3] |= 0x20;
            packets[at].bytes[4] = 1;
            packets[at].bytes[5] = 0x80;
            while (packets[++at].Pid() != kVideoPid) {
            }
        }
        const bool hole = kind == VideoLost || kind == Errored || kind == FlaggedKeyframeLost;

        ChannelCore core;
        FeedPackets(core, {packets.begin(), packets.begin() + std::ptrdiff_t(at) + 1});
        const auto stats = core.Stats();
        EXPECT_EQ(stats.continuityErrors, hole || kind == AudioLost ? 1U : 0U);
        EXPECT_EQ(stats.signalledDiscontinuities, kind == Signalled ? 1U : 0U);
        EXPECT_EQ(stats.duplicates, kind == Duplicate ? 1U : 0U);
        EXPECT_EQ(stats.droppedForLoss, hole ? 1U : 0U);
        // A group with a hole in its video is not handed out; anything else is.
        EXPECT_EQ(core.HasRandomAccess(), !hole);

        std::erase_if(keys, [&](std::uint64_t k) { return k <= at; });
        EXPECT_EQ(FeedPackets(core, {packets.begin() + std::ptrdiff_t(at) + 1, packets.end()}),
                  keys);
        EXPECT_EQ(core.Stats().continuityErrors, stats.continuityErrors);
    }
}

// --- bounds ----------------------------------------------------------------------------------

// After the last flagged keyframe, the group is kept while it spans no more than the bound and
// dropped at the first picture past it.
TEST(fastzap_Bounds, DropTheGroupPastTheTimeBound)
{
    BufferLimits unknown;
    unknown.maxTicksUnknownInterval = 54000;
    const struct
    {
        const char* file;
        std::size_t lastKey; // keyframes after this one lose their flags
        std::uint64_t limit; // the bound that applies, 90 kHz
        BufferLimits limits;
    } cases[] = {{"h264.ts", 1, 2 * kInterval, {}},
                 {"h264-audio.ts", 1, 2 * kInterval, {}},
                 {"h265.ts", 1, 2 * kInterval, {}},
                 {"mpeg2.ts", 1, 2 * kInterval, {}},
                 {"h264-2s-headers-once.ts", 1, 360000, {}},
                 // Only one keyframe seen: the interval is unknown, the fixed bound holds.
                 {"h264.ts", 0, 54000, unknown}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto packets = ReadPackets(c.file);
        const auto frames = ProbeVideo(c.file);
        const auto keys = KeyPackets(frames);
        std::for_each(packets.begin() + std::ptrdiff_t(keys[c.lastKey]) + 1, packets.end(),
                      [](TsPacket& p) { p.ClearRandomAccess(); });
        const double keyTime =
            std::ranges::find(frames, keys[c.lastKey], &VideoFrame::packetIndex)->dts;

        ChannelCore core(c.limits);
        std::size_t next = 0;
        bool dropped = false;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            core.PushPacket(packets[i]);
            while (next < frames.size() && frames[next].packetIndex < i)
                ++next;
            if (next < frames.size() && frames[next].packetIndex == i &&
                frames[next].dts > keyTime) {
                const auto elapsed =
                    std::uint64_t(std::llround((frames[next].dts - keyTime) * 90000));
                EXPECT_EQ(core.HasRandomAccess(), elapsed <= c.limit) << "frame at packet " << i;
                dropped = dropped || elapsed > c.limit;
            }
        }
        ASSERT_TRUE(dropped) << "the capture is too short for this bound";
        EXPECT_FALSE(core.HasRandomAccess());
        EXPECT_EQ(core.Stats().droppedOverTime, 1U);
        EXPECT_EQ(core.GopBytes(), 0U);
    }
}

// A keyframe, then video that never ends its PES: the group grows until it passes the bound,
// the first of which is a whole number of packets: a group exactly at it is kept. 0: the
// default, 8 MiB.
TEST(fastzap_Bounds, DropTheGroupPastTheByteBound)
{
    const auto packets = ReadPackets("h264.ts");
    for (const std::size_t maxBytes : {kPacketSize * 400, std::size_t(1) << 20, std::size_t(0)}) {
        SCOPED_TRACE(maxBytes);
        BufferLimits limits;
        if (maxBytes != 0)
            limits.maxBytes = maxBytes;
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
        for (std::size_t pushed = 0; core.HasRandomAccess(); ++pushed) {
            ASSERT_LT(pushed, limits.maxBytes / kPacketSize + 2) << "never dropped";
            const std::size_t before = core.GopBytes();
            counter = (counter + 1) & 0x0F;
            filler.SetContinuityCounter(counter);
            core.PushPacket(filler);
            ASSERT_EQ(core.HasRandomAccess(), before + kPacketSize <= limits.maxBytes);
            if (core.HasRandomAccess()) {
                ASSERT_EQ(core.GopBytes(), before + kPacketSize);
            }
        }
        EXPECT_EQ(core.Stats().droppedOverBytes, 1U);
        EXPECT_EQ(core.GopBytes(), 0U);
    }
}

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
            for (const auto piece :
                 {all.subspan(0, cut), all.subspan(cut, second - cut), all.subspan(second)}) {
                scanner.Push(piece, [&](std::uint8_t code, std::size_t at) {
                    found.emplace_back(code, offset + at);
                });
                offset += piece.size();
            }
            EXPECT_EQ(found, expected) << "cut at " << cut << " and " << second;
        }
    }
}

} // namespace
