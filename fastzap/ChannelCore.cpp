#include "ChannelCore.h"

#include <algorithm>

namespace fastzap {
namespace {

constexpr std::uint8_t kUnknownCounter = 0xFF;
// An interval longer than this between start points is a gap in the stream (or a jump in its
// clock), not the keyframe interval.
constexpr std::uint64_t kMaxPlausibleInterval = std::uint64_t(10) * 90000;

} // namespace

ChannelCore::ChannelCore(BufferLimits limits) : m_limits(limits)
{
    m_counters.fill(kUnknownCounter);
}

void ChannelCore::Reset()
{
    *this = ChannelCore(m_limits);
}

std::span<const TsPacket> ChannelCore::Gop() const
{
    if (!m_valid)
        return {};
    return m_packets;
}

std::optional<std::uint64_t> ChannelCore::KeyframeInterval() const
{
    const std::uint64_t longest = *std::max_element(m_intervals.begin(), m_intervals.end());
    if (longest == 0)
        return std::nullopt;
    return longest;
}

void ChannelCore::PushBytes(std::span<const std::uint8_t> bytes, std::vector<TsPacket>& packets)
{
    m_scratch.clear();
    m_framer.Push(bytes, m_scratch);
    for (const TsPacket& packet : m_scratch) {
        if (PushPacket(packet))
            packets.push_back(packet);
    }
}

bool ChannelCore::PushPacket(const TsPacket& packet)
{
    const std::uint64_t index = m_stats.packets++;
    const std::uint16_t pid = packet.Pid();
    if (pid == kNullPid) {
        ++m_stats.nullPackets;
        return false;
    }
    CheckContinuity(packet);

    if (pid == kPatPid) {
        for (const auto& section : m_patSections.Push(packet))
            OnPat(section);
    } else if (m_pat && pid == m_pat->pmtPid) {
        for (const auto& section : m_pmtSections.Push(packet))
            OnPmt(section);
    }

    const bool video = m_pmt && m_pmt->codec != VideoCodec::None && pid == m_pmt->videoPid;
    // Outside a group of pictures, only packets from a video PES start on are worth keeping:
    // no start point can lie before one.
    if (m_valid || m_pesSlot != kNone || (video && packet.PayloadUnitStart()))
        m_packets.push_back(packet);
    if (video)
        OnVideo(packet, index);

    if (m_packets.size() * kPacketSize > m_limits.maxBytes) {
        if (m_valid) {
            ++m_stats.droppedOverBytes;
            Drop();
        }
        // A PES that alone runs past the bound cannot start a group of pictures either.
        m_packets.clear();
        m_pesSlot = kNone;
    }
    return true;
}

void ChannelCore::CheckContinuity(const TsPacket& packet)
{
    const std::uint16_t pid = packet.Pid();
    std::uint8_t& last = m_counters[pid];
    const std::uint8_t counter = packet.ContinuityCounter();
    // An errored packet's header is not to be trusted, its counter least of all: the next good
    // packet shows whether one was lost.
    if (packet.TransportError())
        return;
    if (packet.Discontinuity()) {
        ++m_stats.signalledDiscontinuities;
        last = counter;
        return;
    }
    // The counter moves only with a payload.
    if (!packet.HasPayload())
        return;
    if (last != kUnknownCounter) {
        if (counter == last) {
            ++m_stats.duplicates;
            return;
        }
        if (counter != ((last + 1) & 0x0F)) {
            ++m_stats.continuityErrors;
            OnLoss(pid);
        }
    }
    last = counter;
}

void ChannelCore::OnLoss(std::uint16_t pid)
{
    if (pid == kPatPid) {
        m_patSections.Reset();
    } else if (m_pat && pid == m_pat->pmtPid) {
        m_pmtSections.Reset();
    } else if (m_pmt && pid == m_pmt->videoPid) {
        m_video.Lost();
        if (m_valid) {
            ++m_stats.droppedForLoss;
            Drop();
        }
        m_packets.clear();
        m_pesSlot = kNone;
    }
}

void ChannelCore::OnPat(const SectionAssembler::Section& section)
{
    const auto pat = ParsePat(section.bytes);
    if (!pat)
        return;
    m_patPackets.assign(section.packets.begin(), section.packets.end());
    if (m_pat && m_pat->pmtPid == pat->pmtPid && m_pat->programNumber == pat->programNumber) {
        m_pat = pat;
        return;
    }
    if (m_pat)
        ++m_stats.programChanges;
    // The program moved: what was known of the old PMT no longer applies.
    m_pat = pat;
    m_pmt.reset();
    m_pmtSection.clear();
    m_pmtPackets.clear();
    m_pmtSections.Reset();
    ForgetVideo();
}

void ChannelCore::OnPmt(const SectionAssembler::Section& section)
{
    const auto pmt = ParsePmt(section.bytes, m_pat->programNumber);
    if (!pmt)
        return;
    m_pmtPackets.assign(section.packets.begin(), section.packets.end());
    const bool same = std::equal(m_pmtSection.begin(), m_pmtSection.end(), section.bytes.begin(),
                                 section.bytes.end());
    if (same)
        return;
    m_pmtSection.assign(section.bytes.begin(), section.bytes.end());
    const bool videoChanged =
        !m_pmt || m_pmt->videoPid != pmt->videoPid || m_pmt->codec != pmt->codec;
    if (m_pmt && videoChanged)
        ++m_stats.programChanges;
    m_pmt = pmt;
    if (videoChanged) {
        ForgetVideo();
        m_video = VideoTracker(pmt->codec);
    }
}

void ChannelCore::ForgetVideo()
{
    if (m_valid)
        Drop();
    m_packets.clear();
    m_pesSlot = kNone;
    m_video = VideoTracker(m_pmt ? m_pmt->codec : VideoCodec::None);
    m_lastStartTimestamp.reset();
    m_intervals.fill(0);
}

void ChannelCore::OnVideo(const TsPacket& packet, std::uint64_t index)
{
    const VideoPacketInfo info = m_video.Push(packet);
    if (info.pesStart) {
        const std::size_t slot = m_packets.size() - 1;
        if (!m_valid) {
            // Nothing before this PES start can begin a group of pictures any more.
            m_packets.erase(m_packets.begin(), m_packets.begin() + std::ptrdiff_t(slot));
            m_pesSlot = 0;
        } else {
            m_pesSlot = slot;
        }
        m_pesIndex = index;
        m_pesTimestamp.reset();
    }
    if (info.timestamp) {
        m_pesTimestamp = info.timestamp;
        m_latestTimestamp = info.timestamp;
    }
    if (info.startPoint && m_pesSlot != kNone && StartGop(info))
        return;
    if (m_valid && info.timestamp && m_gopTimestamp) {
        const std::uint64_t elapsed = TicksBetween(*m_gopTimestamp, *info.timestamp);
        const auto interval = KeyframeInterval();
        const std::uint64_t limit = interval ? std::uint64_t(m_limits.maxIntervals) * *interval
                                             : m_limits.maxTicksUnknownInterval;
        if (elapsed > limit) {
            ++m_stats.droppedOverTime;
            Drop();
        }
    }
}

bool ChannelCore::StartGop(const VideoPacketInfo& info)
{
    // A picture whose parameter sets the stream sent earlier gets them put in front of it, so
    // that the group is whole for a decoder that starts with it.
    std::vector<TsPacket> head;
    if (!info.parameterSets.empty()) {
        head = InsertIntoPayload(m_packets[m_pesSlot], info.parameterSetsAt, info.parameterSets);
        if (head.empty())
            return false;
    }
    const std::optional<std::uint64_t> timestamp = m_pesTimestamp;
    if (timestamp && m_lastStartTimestamp) {
        const std::uint64_t interval = TicksBetween(*m_lastStartTimestamp, *timestamp);
        if (interval > 0 && interval <= kMaxPlausibleInterval) {
            m_intervals[m_nextInterval] = interval;
            m_nextInterval = (m_nextInterval + 1) % m_intervals.size();
        }
    }
    if (timestamp)
        m_lastStartTimestamp = timestamp;
    m_packets.erase(m_packets.begin(), m_packets.begin() + std::ptrdiff_t(m_pesSlot));
    if (!head.empty()) {
        m_packets[0] = head[0];
        m_packets.insert(m_packets.begin() + 1, head.begin() + 1, head.end());
    }
    m_pesSlot = 0;
    m_valid = true;
    m_gopStartIndex = m_pesIndex;
    m_gopTimestamp = timestamp;
    ++m_stats.randomAccessPoints;
    return true;
}

void ChannelCore::Drop()
{
    m_valid = false;
    m_gopTimestamp.reset();
    // Keep the PES under way: in a stream without flags, it may yet turn out to be a start point.
    if (m_pesSlot != kNone) {
        m_packets.erase(m_packets.begin(), m_packets.begin() + std::ptrdiff_t(m_pesSlot));
        m_pesSlot = 0;
    } else {
        m_packets.clear();
    }
}

} // namespace fastzap
