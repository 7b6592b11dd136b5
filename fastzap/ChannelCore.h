#pragma once

#include "Psi.h"
#include "RandomAccess.h"
#include "TsFramer.h"
#include "TsPacket.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fastzap {

// How much of a channel is kept. Past either bound the group of pictures is dropped, and the
// channel has none (a viewer falls back to joining the group plainly) until the next start point.
struct BufferLimits
{
    std::size_t maxBytes = std::size_t(8) << 20;
    // In keyframe intervals: the longest of the last few measured between start points, so
    // that an extra keyframe (a scene cut, a sender looping its clip) does not shrink the bound.
    int maxIntervals = 2;
    // Until two start points have been seen the interval is not known; a group of pictures
    // longer than this (90 kHz ticks) is not kept.
    std::uint64_t maxTicksUnknownInterval = std::uint64_t(5) * 90000;
};

struct CoreStats
{
    std::uint64_t packets = 0;          // every whole packet, null packets included
    std::uint64_t nullPackets = 0;      // not kept and not passed on
    std::uint64_t continuityErrors = 0; // packets lost or out of order, by continuity counter
    std::uint64_t duplicates = 0;       // a packet sent twice, as the standard allows
    std::uint64_t signalledDiscontinuities = 0; // the adaptation field's discontinuity flag
    std::uint64_t randomAccessPoints = 0;
    std::uint64_t droppedOverBytes = 0;
    std::uint64_t droppedOverTime = 0;
    std::uint64_t droppedForLoss = 0;
    std::uint64_t programChanges = 0; // PAT moved the PMT, or the PMT changed the video
};

// Everything a channel knows about its stream, from bytes alone: no clock, no I/O, one thread.
//
// It keeps the latest PAT and the PMT it points to, the video PID and codec from that PMT, and
// every packet (of every PID, null packets aside, in arrival order) since the video's latest
// start point (VideoTracker): a PES a decoder that starts afresh can start from. When the
// encoder sent the picture's parameter sets earlier and not with it, they are put into the
// group's first packets. A packet lost on the video PID drops the group of pictures, which could
// no longer be decoded whole.
class ChannelCore
{
public:
    explicit ChannelCore(BufferLimits limits = {});

    // Takes a datagram (or any piece of the stream) and appends to `packets` the packets that
    // a live reader should get: every whole packet it completes but null packets.
    void PushBytes(std::span<const std::uint8_t> bytes, std::vector<TsPacket>& packets);
    // Takes one packet; false for a packet not worth passing on (a null packet).
    bool PushPacket(const TsPacket& packet);
    void Reset();

    bool HasRandomAccess() const { return m_valid; }
    // The packets since the latest start point, as a reader gets them (with the parameter sets
    // put in, if any were); empty when there is none.
    std::span<const TsPacket> Gop() const;
    std::size_t GopBytes() const { return m_valid ? m_packets.size() * kPacketSize : 0; }
    // The position in the stream (counting every packet pushed) of Gop()'s first packet.
    std::uint64_t GopStartIndex() const { return m_gopStartIndex; }
    std::optional<std::uint64_t> KeyframeInterval() const;
    // The newest decode timestamp (DTS, else PTS) of the video that came, 90 kHz ticks.
    std::optional<std::uint64_t> LatestTimestamp() const { return m_latestTimestamp; }

    // The latest PAT and PMT as they were carried, for a reader to start with.
    std::span<const TsPacket> PatPackets() const { return m_patPackets; }
    std::span<const TsPacket> PmtPackets() const { return m_pmtPackets; }
    std::optional<PatInfo> Pat() const { return m_pat; }
    std::optional<PmtInfo> Pmt() const { return m_pmt; }
    bool VideoFlagsSeen() const { return m_video.FlagsSeen(); }
    std::span<const std::uint8_t> LatestSps() const { return m_video.LatestSps(); }

    const CoreStats& Stats() const { return m_stats; }
    const TsFramer& Framer() const { return m_framer; }

private:
    static constexpr std::size_t kNone = ~std::size_t(0);

    void CheckContinuity(const TsPacket& packet);
    void OnLoss(std::uint16_t pid);
    void OnPat(const SectionAssembler::Section& section);
    void OnPmt(const SectionAssembler::Section& section);
    void OnVideo(const TsPacket& packet, std::uint64_t index);
    bool StartGop(const VideoPacketInfo& info);
    void Drop();
    void ForgetVideo();

    BufferLimits m_limits;
    TsFramer m_framer;
    CoreStats m_stats;
    std::vector<TsPacket> m_scratch;

    // Last continuity counter per PID, or 0xFF before the first packet.
    std::array<std::uint8_t, kPidCount> m_counters{};

    SectionAssembler m_patSections;
    SectionAssembler m_pmtSections;
    std::optional<PatInfo> m_pat;
    std::optional<PmtInfo> m_pmt;
    std::vector<std::uint8_t> m_pmtSection;
    std::vector<TsPacket> m_patPackets;
    std::vector<TsPacket> m_pmtPackets;

    VideoTracker m_video;
    // While m_valid, m_packets holds the group of pictures. Otherwise it holds the packets since
    // the latest video PES start (or nothing before one), so that a start point found inside
    // that PES can begin there.
    std::vector<TsPacket> m_packets;
    bool m_valid = false;
    std::uint64_t m_gopStartIndex = 0;
    std::optional<std::uint64_t> m_gopTimestamp;
    std::size_t m_pesSlot = kNone;
    std::uint64_t m_pesIndex = 0;
    std::optional<std::uint64_t> m_pesTimestamp;
    std::optional<std::uint64_t> m_lastStartTimestamp;
    std::optional<std::uint64_t> m_latestTimestamp;
    // The latest intervals between start points, 0 where none has been measured yet.
    std::array<std::uint64_t, 8> m_intervals{};
    std::size_t m_nextInterval = 0;
};

// The difference b - a of two 33-bit timestamps, across a wrap of the counter.
inline std::uint64_t TicksBetween(std::uint64_t a, std::uint64_t b)
{
    return (b - a) & ((std::uint64_t(1) << 33) - 1);
}

} // namespace fastzap
