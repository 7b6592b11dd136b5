#include "ChannelBuffer.h"

#include "CatchUp.h"
#include "VideoShape.h"

#include <algorithm>

namespace fastzap {

ChannelBuffer::ChannelBuffer(BufferLimits limits, std::size_t maxBehind,
                             std::optional<CatchUpLimits> catchUp)
    : m_core(limits), m_maxBehind(maxBehind), m_catchUp(catchUp)
{}

void ChannelBuffer::Push(std::span<const std::uint8_t> bytes)
{
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_mutex);
    m_lastArrival = now;
    m_live.clear();
    m_core.PushBytes(bytes, m_live);
    if (m_sources.empty())
        return;
    bool gone = false;
    for (const auto& weak : m_sources) {
        const std::shared_ptr<LiveSource> source = weak.lock();
        if (source && source->Accepting())
            source->Append(m_live);
        else
            gone = true;
    }
    if (gone) {
        std::erase_if(m_sources, [](const std::weak_ptr<LiveSource>& weak) {
            const auto source = weak.lock();
            return !source || !source->Accepting();
        });
    }
}

namespace {

// The copies of the PAT or the PMT a source starts with are the latest ones seen, which may be
// newer than the group that follows them. Their continuity counters are set to lead into the
// group's first packet of their PID, so that a player sees no discontinuity; when the group
// has none, the latest ones already lead into the live packets.
void LeadInto(std::vector<TsPacket>& copies, std::span<const TsPacket> group)
{
    if (copies.empty())
        return;
    const std::uint16_t pid = copies.front().Pid();
    const auto first = std::find_if(group.begin(), group.end(), [pid](const TsPacket& packet) {
        return packet.Pid() == pid && packet.HasPayload();
    });
    if (first == group.end())
        return;
    std::uint8_t counter = first->ContinuityCounter();
    for (auto copy = copies.rbegin(); copy != copies.rend(); ++copy) {
        counter = std::uint8_t((counter + 15) % 16);
        copy->SetContinuityCounter(counter);
    }
}

// Whether an H.264 sequence parameter set, as sent (its start code first), codes every picture
// as a frame; false when there is none or it cannot be read.
bool FramesOnly(std::span<const std::uint8_t> sps)
{
    const auto unit = std::find(sps.begin(), sps.end(), std::uint8_t(1));
    if (unit == sps.end())
        return false;
    const std::optional<VideoShape> shape = ParseH264Sps({unit + 1, sps.end()});
    return shape && !shape->fields;
}

} // namespace

std::shared_ptr<LiveSource> ChannelBuffer::OpenSource(std::chrono::milliseconds maxSilence)
{
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_mutex);
    if (!m_core.HasRandomAccess())
        return nullptr;
    if (maxSilence != std::chrono::milliseconds::max() && now - m_lastArrival > maxSilence)
        return nullptr;
    std::vector<TsPacket> gop(m_core.Gop().begin(), m_core.Gop().end());
    std::optional<CatchUp> catchUp;
    if (m_catchUp && m_core.Pat() && m_core.Pmt())
        catchUp.emplace(gop, m_core.Pat()->pmtPid, *m_core.Pmt(), FramesOnly(m_core.LatestSps()),
                        *m_catchUp);
    std::vector<TsPacket> pat(m_core.PatPackets().begin(), m_core.PatPackets().end());
    std::vector<TsPacket> pmt(m_core.PmtPackets().begin(), m_core.PmtPackets().end());
    LeadInto(pat, gop);
    LeadInto(pmt, gop);
    std::vector<TsPacket> start;
    start.reserve(pat.size() + pmt.size() + gop.size());
    start.insert(start.end(), pat.begin(), pat.end());
    start.insert(start.end(), pmt.begin(), pmt.end());
    start.insert(start.end(), gop.begin(), gop.end());
    auto source = std::make_shared<LiveSource>(std::move(start), m_maxBehind, std::move(catchUp));
    m_sources.push_back(source);
    return source;
}

bool ChannelBuffer::HasRandomAccess() const
{
    const std::lock_guard lock(m_mutex);
    return m_core.HasRandomAccess();
}

Snapshot ChannelBuffer::Take() const
{
    const std::lock_guard lock(m_mutex);
    Snapshot snapshot;
    const auto pat = m_core.PatPackets();
    const auto pmt = m_core.PmtPackets();
    const auto gop = m_core.Gop();
    snapshot.psi.assign(pat.begin(), pat.end());
    snapshot.psi.insert(snapshot.psi.end(), pmt.begin(), pmt.end());
    snapshot.gop.assign(gop.begin(), gop.end());
    snapshot.pmt = m_core.Pmt();
    snapshot.keyframeInterval = m_core.KeyframeInterval();
    snapshot.stats = m_core.Stats();
    return snapshot;
}

CoreStats ChannelBuffer::Stats() const
{
    const std::lock_guard lock(m_mutex);
    return m_core.Stats();
}

std::optional<std::uint64_t> ChannelBuffer::LatestTimestamp() const
{
    const std::lock_guard lock(m_mutex);
    return m_core.LatestTimestamp();
}

void ChannelBuffer::Reset()
{
    const std::lock_guard lock(m_mutex);
    m_core.Reset();
    for (const auto& weak : m_sources) {
        if (const auto source = weak.lock())
            source->End();
    }
    m_sources.clear();
}

} // namespace fastzap
