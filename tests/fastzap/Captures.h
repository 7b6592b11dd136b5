#pragma once

// The captured streams in data/ (made by data/make-captures.sh), what ffprobe says of them, and
// the edits that make of them the streams a muxer or a network could send.

#include "ChannelCore.h"
#include "Psi.h"
#include "TsPacket.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace captures {

using fastzap::kPacketSize;
using fastzap::TsPacket;

// The PIDs ffmpeg gives the program unless told otherwise, and those make-captures.sh asks for
// in h264-moved.ts.
constexpr std::uint16_t kPmtPid = 0x1000;
constexpr std::uint16_t kVideoPid = 0x0100;
constexpr std::uint16_t kAudioPid = 0x0101;
constexpr std::uint16_t kMovedPmtPid = 0x1100;
constexpr std::uint16_t kMovedVideoPid = 0x0200;

inline std::string Path(const std::string& name)
{
    return CORVESSA_FASTZAP_DATA "/" + name;
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& name)
{
    std::ifstream in(Path(name), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + Path(name));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A packet is its 188 bytes and nothing else, so a vector of them is the stream.
inline std::vector<TsPacket> ToPackets(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() % kPacketSize != 0)
        throw std::runtime_error("not whole packets");
    std::vector<TsPacket> packets(bytes.size() / kPacketSize);
    std::memcpy(packets.data(), bytes.data(), bytes.size());
    return packets;
}

inline std::vector<TsPacket> ReadPackets(const std::string& name)
{
    return ToPackets(ReadBytes(name));
}

inline std::vector<std::uint8_t> ToBytes(const std::vector<TsPacket>& packets)
{
    std::vector<std::uint8_t> bytes(packets.size() * kPacketSize);
    std::memcpy(bytes.data(), packets.data(), bytes.size());
    return bytes;
}

// The stream as a sender sends it: seven packets a datagram.
inline std::vector<std::vector<std::uint8_t>> Datagrams(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (std::size_t at = 0; at < bytes.size(); at += 1316)
        datagrams.emplace_back(bytes.begin() + std::ptrdiff_t(at),
                               bytes.begin() + std::ptrdiff_t(std::min(at + 1316, bytes.size())));
    return datagrams;
}

// A packet of `pid` with a payload of 0xFF (stuffing) and nothing else set.
inline TsPacket Packet(std::uint16_t pid)
{
    TsPacket p{};
    p.bytes.fill(0xFF);
    p.bytes[0] = fastzap::kSyncByte;
    p.bytes[1] = std::uint8_t(pid >> 8);
    p.bytes[2] = std::uint8_t(pid);
    p.bytes[3] = 0x10;
    return p;
}

struct VideoFrame
{
    std::uint64_t packetIndex; // the packet its PES starts in
    double pts;                // seconds
    double dts;
    bool key;
};

// What ffprobe prints, its complaints included, of the video stream in the file at `path`.
inline std::istringstream Ffprobe(const std::string& entries, const std::string& path)
{
    const std::string command =
        "ffprobe -v error -select_streams v:0 " + entries + " -of csv=p=0 '" + path + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        out.append(chunk, n);
    if (::pclose(pipe) != 0)
        throw std::runtime_error("failed: " + command);
    return std::istringstream(out);
}

// Where each frame's PES starts, its times, and whether ffprobe calls it a key frame.
inline std::vector<VideoFrame> ProbeVideo(const std::string& name)
{
    std::vector<VideoFrame> frames;
    auto lines = Ffprobe("-show_entries packet=pos,pts_time,dts_time,flags", Path(name));
    for (std::string line; std::getline(lines, line);) {
        VideoFrame f{};
        unsigned long long pos = 0;
        char flags[16] = {};
        if (std::sscanf(line.c_str(), "%lf,%lf,%llu,%15s", &f.pts, &f.dts, &pos, flags) == 4) {
            f.packetIndex = pos / kPacketSize;
            f.key = flags[0] == 'K';
            frames.push_back(f);
        }
    }
    if (frames.empty())
        throw std::runtime_error("ffprobe found no video in " + name);
    return frames;
}

// What libavcodec makes of a stream that starts with `packets`: "<n> pictures" decoded, then
// what it complained of, if anything.
inline std::string Decode(const std::vector<TsPacket>& packets, const std::string& name)
{
    const std::string path = ::testing::TempDir() + name + ".ts";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(packets.data()),
               std::streamsize(packets.size() * kPacketSize));
    auto lines = Ffprobe("-count_frames -show_entries stream=nb_read_frames", path);
    std::string count;
    std::string complaints;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])))
            count = line.substr(0, line.find(','));
        else if (!line.empty())
            complaints += "; " + line;
    }
    return count + " pictures" + complaints;
}

inline std::vector<std::uint64_t> KeyPackets(const std::vector<VideoFrame>& frames)
{
    std::vector<std::uint64_t> keys;
    for (const auto& f : frames)
        if (f.key)
            keys.push_back(f.packetIndex);
    return keys;
}

// Feeds packets one by one, calling `after` with each one's index, and returns where the group
// of pictures of every new start point begins in the stream.
inline std::vector<std::uint64_t> FeedPackets(fastzap::ChannelCore& core,
                                              const std::vector<TsPacket>& packets,
                                              const std::function<void(std::size_t)>& after = {})
{
    std::vector<std::uint64_t> starts;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto before = core.Stats().randomAccessPoints;
        core.PushPacket(packets[i]);
        if (core.Stats().randomAccessPoints != before)
            starts.push_back(core.GopStartIndex());
        if (after)
            after(i);
    }
    return starts;
}

// Moves the random-access flag of each keyframe (at `keys`) onto a packet of its own before it,
// one with an adaptation field and no payload, and marks the keyframe's packets with the
// transport priority bit, as some muxers do; returns where the keyframes' PES start now.
inline std::vector<std::uint64_t> FlagBeforeKeyframes(std::vector<TsPacket>& packets,
                                                      const std::vector<std::uint64_t>& keys)
{
    std::vector<TsPacket> out;
    std::vector<std::uint64_t> moved;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (std::find(keys.begin(), keys.end(), i) != keys.end()) {
            TsPacket flag = Packet(packets[i].Pid());
            // No payload: its counter repeats the one before.
            flag.bytes[3] = std::uint8_t(0x20 | ((packets[i].ContinuityCounter() + 15) & 0x0F));
            flag.bytes[4] = 183;
            flag.bytes[5] = 0x40;
            out.push_back(flag);
            packets[i].ClearRandomAccess();
            packets[i].bytes[1] |= 0x20;
            moved.push_back(out.size());
        }
        out.push_back(packets[i]);
    }
    packets = std::move(out);
    return moved;
}

} // namespace captures
