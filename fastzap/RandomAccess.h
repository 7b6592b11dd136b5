#pragma once

#include "Psi.h"
#include "TsPacket.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace fastzap {

// Finds the byte after each start code (00 00 01) in a byte stream fed in pieces: a start code
// may be split across pieces, and so may the code and the byte after it.
class StartCodeScanner
{
public:
    template <class OnCode> void Push(std::span<const std::uint8_t> data, OnCode&& onCode);
    void Reset()
    {
        m_zeros = 0;
        m_codeDue = false;
    }

private:
    int m_zeros = 0;        // zero bytes (at most two counted) that ended the previous piece
    bool m_codeDue = false; // the previous piece ended with a whole start code
};

// What one video packet says about random access.
struct VideoPacketInfo
{
    bool pesStart = false;
    // The decode time (or presentation time when there is no decode time) of the PES this
    // packet starts, in 90 kHz units, when its header carries one.
    std::optional<std::uint64_t> timestamp;
    // This packet starts a PES that a decoder can start from (the random-access flag).
    bool randomAccessHere = false;
    // The PES under way, begun in an earlier packet (or this one), turned out to hold a picture
    // a decoder can start from, with its parameter sets: H.264 IDR with SPS and PPS, H.265 IRAP
    // with VPS, SPS and PPS, MPEG-2 sequence header.
    bool randomAccessAtPesStart = false;
};

// Follows the packets of the video PID. The adaptation field's random-access flag marks a
// keyframe's first packet in most streams; a stream in which that flag has never been seen is
// read instead: its PES payloads are scanned for the pictures a decoder can start from.
class VideoTracker
{
public:
    explicit VideoTracker(VideoCodec codec = VideoCodec::None) : m_codec(codec) {}
    VideoPacketInfo Push(const TsPacket& packet);
    // A packet was lost: the PES under way is not scanned further.
    void Lost();
    bool FlagsSeen() const { return m_flagsSeen; }

private:
    void OnPayload(std::span<const std::uint8_t> data, VideoPacketInfo& info);
    void OnCode(std::uint8_t code, VideoPacketInfo& info);

    VideoCodec m_codec;
    bool m_flagsSeen = false;
    bool m_flagDue = false; // the flag came on a packet that started no PES: the next one counts

    // The PES header, gathered until its length is known and it has all come in.
    std::array<std::uint8_t, 9 + 255> m_header{};
    std::size_t m_headerHave = 0;
    bool m_inHeader = false;
    bool m_scanning = false; // the PES under way is being scanned for start codes
    bool m_found = false;    // the PES under way has already been found to be a start point

    StartCodeScanner m_scanner;
    bool m_vps = false;
    bool m_sps = false;
    bool m_pps = false;
};

template <class OnCode>
void StartCodeScanner::Push(std::span<const std::uint8_t> data, OnCode&& onCode)
{
    const std::uint8_t* p = data.data();
    const std::size_t n = data.size();
    if (n == 0)
        return;
    if (m_codeDue) {
        m_codeDue = false;
        onCode(p[0]);
    }
    auto codeAt = [&](std::size_t after) {
        if (after < n)
            onCode(p[after]);
        else
            m_codeDue = true;
    };
    // The first two bytes may finish a start code that began in the previous piece.
    std::size_t i = 0;
    for (; i < n && i < 2; ++i) {
        if (p[i] == 1 && m_zeros >= 2)
            codeAt(i + 1);
        m_zeros = p[i] == 0 ? std::min(m_zeros + 1, 2) : 0;
    }
    // From the third byte on, the two bytes before a 01 are in this piece.
    while (i < n) {
        const void* one = std::memchr(p + i, 1, n - i);
        if (one == nullptr)
            break;
        const std::size_t at = std::size_t(static_cast<const std::uint8_t*>(one) - p);
        if (p[at - 1] == 0 && p[at - 2] == 0)
            codeAt(at + 1);
        i = at + 1;
    }
    if (n >= 2)
        m_zeros = p[n - 1] != 0 ? 0 : (p[n - 2] == 0 ? 2 : 1);
}

} // namespace fastzap
