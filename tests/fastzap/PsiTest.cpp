// PMT sections that run over several packets, after a pointer field, and with a bad CRC, put in
// place of a captured stream's own one-packet PMT.
#include "Psi.h"

#include "Captures.h"
#include "ChannelCore.h"

#include <gtest/gtest.h>

using namespace captures;

namespace {

// A PMT for program 1 with video on 0x100 (H.264) and audio on 0x101, its program info padded
// with private descriptors so that the whole section is `length` bytes long, cut into packets
// behind a pointer field that skips `pointer` bytes.
std::vector<TsPacket> LongPmt(std::size_t length, std::size_t pointer, bool breakCrc)
{
    const std::size_t programInfo = length - 12 - 10 - 4;
    // Table 2, its lengths filled in below; program 1, version 0, current, PCR on the video.
    std::vector<std::uint8_t> s{0x02, 0xB0, 0, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0};
    s[1] |= std::uint8_t((length - 3) >> 8);
    s[2] = std::uint8_t(length - 3);
    s[10] |= std::uint8_t(programInfo >> 8);
    s[11] = std::uint8_t(programInfo);
    for (std::size_t left = programInfo; left > 0;) {
        std::size_t body = std::min<std::size_t>(left - 2, 255);
        if (left - 2 - body == 1)
            --body; // a lone byte could not be a descriptor
        s.push_back(0x80);
        s.push_back(std::uint8_t(body));
        s.insert(s.end(), body, 0x5A);
        left -= 2 + body;
    }
    s.insert(s.end(), {0x1B, 0xE1, 0x00, 0xF0, 0x00, 0x0F, 0xE1, 0x01, 0xF0, 0x00});
    const std::uint32_t crc = fastzap::Crc32Mpeg(s) ^ (breakCrc ? 1U : 0U);
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(std::uint8_t(crc >> shift));

    std::vector<std::uint8_t> payload(pointer + 1, 0xFF);
    payload[0] = std::uint8_t(pointer);
    payload.insert(payload.end(), s.begin(), s.end());
    std::vector<TsPacket> packets;
    for (std::size_t at = 0; at < payload.size(); at += kPacketSize - 4) {
        packets.push_back(Packet(kPmtPid));
        packets.back().bytes[1] |= at == 0 ? 0x40 : 0x00;
        std::copy_n(payload.begin() + std::ptrdiff_t(at),
                    std::min(kPacketSize - 4, payload.size() - at),
                    packets.back().bytes.begin() + 4);
    }
    return packets;
}

// Every one-packet PMT of the capture becomes the long one, counters running on.
TEST(fastzap_LongPmts, AreGatheredAcrossPackets)
{
    const struct
    {
        std::size_t length;
        std::size_t pointer;
        bool breakCrc;
    } cases[] = {
        {400, 0, false}, {400, 60, false}, {1021, 0, false}, {1021, 182, false}, {400, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.length << " bytes after " << c.pointer
                                          << (c.breakCrc ? ", bad CRC" : ""));
        const auto pmt = LongPmt(c.length, c.pointer, c.breakCrc);
        ASSERT_GT(pmt.size(), 1U);
        std::vector<TsPacket> packets;
        std::uint8_t counter = 0;
        for (const auto& p : ReadPackets("h264-audio.ts")) {
            if (p.Pid() != kPmtPid) {
                packets.push_back(p);
                continue;
            }
            for (TsPacket q : pmt) {
                q.SetContinuityCounter(counter++);
                packets.push_back(q);
            }
        }

        fastzap::ChannelCore core;
        const auto starts = FeedPackets(core, packets);
        if (c.breakCrc) {
            EXPECT_FALSE(core.Pmt());
            EXPECT_TRUE(starts.empty());
            continue;
        }
        ASSERT_TRUE(core.Pmt());
        EXPECT_EQ(core.Pmt()->videoPid, kVideoPid);
        EXPECT_EQ(core.Pmt()->codec, fastzap::VideoCodec::H264);
        EXPECT_EQ(core.Pmt()->pcrPid, kVideoPid);
        EXPECT_EQ(starts.size(), 5U);
        // The PMT kept for a reader is the whole of it, as carried.
        ASSERT_EQ(core.PmtPackets().size(), pmt.size());
        for (std::size_t i = 0; i < pmt.size(); ++i) {
            EXPECT_TRUE(std::equal(pmt[i].bytes.begin() + 4, pmt[i].bytes.end(),
                                   core.PmtPackets()[i].bytes.begin() + 4));
        }
        EXPECT_EQ(core.Stats().continuityErrors, 0U);
    }
}

} // namespace
