#pragma once

// The captured streams in data/ (made by data/make-captures.sh) and what ffprobe says of them.

#include "ChannelCore.h"
#include "Psi.h"
#include "TsPacket.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace captures {

using fastzap::kPacketSize;
using fastzap::TsPacket;

inline std::string Path(const std::string& name)
{
    return std::string(CORVESSA_FASTZAP_DATA) + "/" + name;
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& name)
{
    std::ifstream in(Path(name), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + Path(name));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<TsPacket> ToPackets(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() % kPacketSize != 0)
        throw std::runtime_error("not whole packets");
    std::vector<TsPacket> packets(bytes.size() / kPacketSize);
    for (std::size_t i = 0; i < packets.size(); ++i)
        std::copy_n(bytes.begin() + std::ptrdiff_t(i * kPacketSize), kPacketSize,
                    packets[i].bytes.begin());
    return packets;
}

inline std::vector<TsPacket> ReadPackets(const std::string& name)
{
    return ToPackets(ReadBytes(name));
}

inline std::vector<std::uint8_t> ToBytes(const std::vector<TsPacket>& packets)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(packets.size() * kPacketSize);
    for (const auto& p : packets)
        bytes.insert(bytes.end(), p.bytes.begin(), p.bytes.end());
    return bytes;
}

struct VideoFrame
{
    std::uint64_t packetIndex; // the packet its PES starts in
    double dts;                // seconds
    bool key;
};

// ffprobe's view of the video stream: where each frame's PES starts, its decode time, and
// whether ffprobe calls it a key frame.
inline std::vector<VideoFrame> ProbeVideo(const std::string& name)
{
    const std::string command = "ffprobe -v error -select_streams v:0 -show_entries "
                                "packet=pos,dts_time,flags -of csv=p=0 '" +
                                Path(name) + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run ffprobe");
    std::vector<VideoFrame> frames;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        double dts = 0;
        unsigned long long pos = 0;
        char flags[16] = {};
        // csv: dts_time,pos,flags
        if (std::sscanf(line, "%lf,%llu,%15s", &dts, &pos, flags) == 3)
            frames.push_back({pos / kPacketSize, dts, flags[0] == 'K'});
    }
    if (::pclose(pipe) != 0 || frames.empty())
        throw std::runtime_error("ffprobe failed on " + name);
    return frames;
}

inline std::vector<std::uint64_t> KeyPackets(const std::vector<VideoFrame>& frames)
{
    std::vector<std::uint64_t> keys;
    for (const auto& f : frames) {
        if (f.key)
            keys.push_back(f.packetIndex);
    }
    return keys;
}

// Feeds packets one by one and notes, for every new start point, where its group of pictures
// begins in the stream.
struct Fed
{
    std::vector<std::uint64_t> starts;
};

inline Fed FeedPackets(fastzap::ChannelCore& core, const std::vector<TsPacket>& packets)
{
    Fed fed;
    for (const auto& packet : packets) {
        const auto before = core.Stats().randomAccessPoints;
        core.PushPacket(packet);
        if (core.Stats().randomAccessPoints != before)
            fed.starts.push_back(core.GopStartIndex());
    }
    return fed;
}

inline void ClearRandomAccessFlags(std::vector<TsPacket>& packets, std::size_t from = 0)
{
    for (std::size_t i = from; i < packets.size(); ++i)
        packets[i].ClearRandomAccess();
}

// Rewrites a section carried whole in one packet (as ffmpeg writes its PAT and PMT) and fixes
// its CRC.
template <class Edit> void EditSection(TsPacket& packet, Edit&& edit)
{
    const std::size_t start = packet.PayloadOffset() + 1 + packet.bytes[packet.PayloadOffset()];
    std::uint8_t* section = packet.bytes.data() + start;
    const std::size_t length = 3 + (std::size_t(section[1] & 0x0F) << 8 | section[2]);
    edit(section);
    const std::uint32_t crc =
        fastzap::Crc32Mpeg(std::span<const std::uint8_t>(section, length - 4));
    section[length - 4] = std::uint8_t(crc >> 24);
    section[length - 3] = std::uint8_t(crc >> 16);
    section[length - 2] = std::uint8_t(crc >> 8);
    section[length - 1] = std::uint8_t(crc);
}

inline void SetPid(TsPacket& packet, std::uint16_t pid)
{
    packet.bytes[1] = std::uint8_t((packet.bytes[1] & 0xE0) | (pid >> 8));
    packet.bytes[2] = std::uint8_t(pid & 0xFF);
}

// Every PAT in `packets` points to `pmtPid`.
inline void PointPatTo(std::vector<TsPacket>& packets, std::uint16_t pmtPid)
{
    for (auto& p : packets) {
        if (p.Pid() == 0 && p.PayloadUnitStart()) {
            EditSection(p, [&](std::uint8_t* s) {
                s[10] = std::uint8_t(0xE0 | (pmtPid >> 8));
                s[11] = std::uint8_t(pmtPid & 0xFF);
            });
        }
    }
}

// Moves every packet of PID `from` to PID `to`.
inline void MovePid(std::vector<TsPacket>& packets, std::uint16_t from, std::uint16_t to)
{
    for (auto& p : packets) {
        if (p.Pid() == from)
            SetPid(p, to);
    }
}

inline void SetPmtVersion(std::vector<TsPacket>& packets, std::uint16_t pmtPid, int version)
{
    for (auto& p : packets) {
        if (p.Pid() == pmtPid && p.PayloadUnitStart())
            EditSection(p, [&](std::uint8_t* s) {
                s[5] = std::uint8_t((s[5] & 0xC1) | ((version & 0x1F) << 1));
            });
    }
}

// The PIDs ffmpeg gives the program unless told otherwise, and those make-captures.sh asks for
// in h264-moved.ts.
constexpr std::uint16_t kPmtPid = 0x1000;
constexpr std::uint16_t kVideoPid = 0x0100;
constexpr std::uint16_t kAudioPid = 0x0101;
constexpr std::uint16_t kMovedPmtPid = 0x1100;
constexpr std::uint16_t kMovedVideoPid = 0x0200;

} // namespace captures
