// The catch-up over any packets a sender might send: it rewrites time stamps and counters and
// leaves pictures out, but never writes into what a picture is made of. Every byte it changes
// is a continuity counter on the video, a PCR the adaptation field says is there, or a PTS or
// DTS the PES header's flags claim and its own length makes room for.
//
// Input: a flags byte (frame-coded, the PCR on a PID of its own, the codec, and in its top four
// bits how long the player took to start, in 20 ms), the number of packets in the buffered
// group, then the packets, 188 bytes each.
#include "CatchUp.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint16_t kPmt = 0x1000;
constexpr std::uint16_t kVideo = 0x100;

// The bytes a rewrite may touch in `sent`: the PCR's, and the time stamps its PES header has:
// the PTS when its flag is set and the header's length makes room for it, the DTS likewise.
bool MayChange(const fastzap::TsPacket& sent, std::size_t i)
{
    const auto& b = sent.bytes;
    const bool field = (b[3] & 0x20) != 0;
    if (field && b[4] >= 7 && b[4] <= 183 && (b[5] & 0x10) != 0 && i >= 6 && i < 12)
        return true;
    if ((b[1] & 0x40) == 0 || (b[3] & 0x10) == 0)
        return false;
    const std::size_t at = field ? 5 + std::size_t(b[4]) : 4;
    if (at + 9 > fastzap::kPacketSize || b[at] != 0 || b[at + 1] != 0 || b[at + 2] != 1 ||
        !fastzap::HasOptionalPesHeader(b[at + 3]) || (b[at + 6] & 0xC0) != 0x80)
        return false;
    const int flags = b[at + 7] >> 6;
    const std::size_t length = b[at + 8];
    const bool pts = (flags & 2) != 0 && length >= 5 && i >= at + 9 && i < at + 14;
    const bool dts = flags == 3 && length >= 10 && i >= at + 14 && i < at + 19;
    return pts || dts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t flags = data[0];
    const std::size_t inGroup = data[1];
    std::vector<fastzap::TsPacket> packets((size - 2) / fastzap::kPacketSize);
    for (std::size_t n = 0; n < packets.size(); ++n) {
        std::copy_n(data + 2 + n * fastzap::kPacketSize, fastzap::kPacketSize,
                    packets[n].bytes.begin());
        packets[n].bytes[0] = fastzap::kSyncByte;
    }
    const std::span<const fastzap::TsPacket> group(packets.data(),
                                                   std::min(inGroup, packets.size()));
    const fastzap::PmtInfo pmt{.pcrPid = std::uint16_t((flags & 2) != 0 ? kVideo + 1 : kVideo),
                               .videoPid = kVideo,
                               .codec = fastzap::VideoCodec((flags >> 2) % 4)};
    fastzap::CatchUp catchUp(group, kPmt, pmt, (flags & 1) != 0);
    bool started = false;
    for (const fastzap::TsPacket& sent : packets) {
        fastzap::TsPacket packet = sent;
        const fastzap::CatchUp::Step step = catchUp.Next(packet);
        // As the source does once the lead has been taken.
        if (!started && step.due && *step.due > 0) {
            started = true;
            catchUp.StartedAfter(0.02 * (flags >> 4));
        }
        for (std::size_t i = 0; i < fastzap::kPacketSize; ++i) {
            const std::uint8_t changed = packet.bytes[i] ^ sent.bytes[i];
            const bool counter = i == 3 && (changed & 0xF0) == 0 && sent.Pid() == kVideo;
            if (changed != 0 && !counter && !MayChange(sent, i))
                std::abort();
        }
    }
    return 0;
}
