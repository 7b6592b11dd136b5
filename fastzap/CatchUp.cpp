#include "CatchUp.h"

#include "RandomAccess.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace fastzap {

namespace {

constexpr std::uint64_t kWrap = std::uint64_t(1) << 33;
constexpr double kTicks = 90000.0;

// Where a packet's PCR base and its PES time stamps lie, when it has them, and where the PES
// header it opens ends.
struct Stamps
{
    std::optional<std::size_t> pcr;
    std::optional<std::size_t> pts;
    std::optional<std::size_t> dts;
    std::optional<std::size_t> data;
};

Stamps FindStamps(const TsPacket& packet)
{
    Stamps found;
    if (packet.HasAdaptationField() && packet.AdaptationFieldFits() &&
        packet.AdaptationFieldLength() >= 7 && (packet.AdaptationFlags() & 0x10) != 0)
        found.pcr = 6;
    if (const std::optional<PesStart> pes = PesStartOf(packet)) {
        found.pts = pes->pts;
        found.dts = pes->dts;
        found.data = pes->data;
    }
    return found;
}

std::uint64_t ReadPes(const TsPacket& packet, std::size_t at)
{
    return PesStamp(packet.bytes.data() + at);
}

void WritePes(TsPacket& packet, std::size_t at, std::uint64_t value)
{
    auto& b = packet.bytes;
    value %= kWrap;
    b[at] = std::uint8_t((b[at] & 0xF0) | ((value >> 29) & 0x0E) | 1);
    b[at + 1] = std::uint8_t(value >> 22);
    b[at + 2] = std::uint8_t(((value >> 14) & 0xFE) | 1);
    b[at + 3] = std::uint8_t(value >> 7);
    b[at + 4] = std::uint8_t(((value << 1) & 0xFE) | 1);
}

std::uint64_t ReadPcr(const TsPacket& packet, std::size_t at)
{
    const auto& b = packet.bytes;
    return (std::uint64_t(b[at]) << 25) | (std::uint64_t(b[at + 1]) << 17) |
           (std::uint64_t(b[at + 2]) << 9) | (std::uint64_t(b[at + 3]) << 1) |
           (std::uint64_t(b[at + 4]) >> 7);
}

void WritePcr(TsPacket& packet, std::size_t at, std::uint64_t base)
{
    auto& b = packet.bytes;
    base %= kWrap;
    b[at] = std::uint8_t(base >> 25);
    b[at + 1] = std::uint8_t(base >> 17);
    b[at + 2] = std::uint8_t(base >> 9);
    b[at + 3] = std::uint8_t(base >> 1);
    // The 27 MHz extension is cleared: it refines a time that is no longer the one sent.
    b[at + 4] = std::uint8_t(((base << 7) & 0x80) | 0x7E);
    b[at + 5] = 0;
}

// Every stamp in `packet` replaced by what `change` makes of it.
template <typename Change> void ChangeStamps(TsPacket& packet, const Stamps& stamps, Change change)
{
    if (stamps.pcr)
        WritePcr(packet, *stamps.pcr, change(ReadPcr(packet, *stamps.pcr)));
    if (stamps.pts)
        WritePes(packet, *stamps.pts, change(ReadPes(packet, *stamps.pts)));
    if (stamps.dts)
        WritePes(packet, *stamps.dts, change(ReadPes(packet, *stamps.dts)));
}

// Every stamp in `packet` moved back by `ticks`.
void MoveBack(TsPacket& packet, const Stamps& stamps, std::int64_t ticks)
{
    if (ticks != 0)
        ChangeStamps(packet, stamps,
                     [ticks](std::uint64_t t) { return t + kWrap - std::uint64_t(ticks); });
}

// `t` relative to `origin` on the 33-bit clock, as a signed number of ticks.
std::int64_t Since(std::uint64_t t, std::uint64_t origin)
{
    const std::uint64_t d = (t - origin) % kWrap;
    return d >= kWrap / 2 ? std::int64_t(d) - std::int64_t(kWrap) : std::int64_t(d);
}

// The clock a player follows: the video's decode time, or its presentation time when the two
// are one.
std::optional<std::uint64_t> VideoClock(const TsPacket& packet, const Stamps& stamps)
{
    if (stamps.dts)
        return ReadPes(packet, *stamps.dts);
    if (stamps.pts)
        return ReadPes(packet, *stamps.pts);
    return std::nullopt;
}

// An H.264 access unit no other picture refers to (nal_ref_idc 0), as the first packet of its
// PES tells: the PES must start on a unit, not inside the one before, and nothing in the packet
// may be needed by later pictures (a parameter set) or belong to another picture. What cannot
// be told is taken as needed.
bool Disposable(const TsPacket& packet, const Stamps& stamps)
{
    if (!stamps.data)
        return false;
    const std::span<const std::uint8_t> units =
        std::span<const std::uint8_t>(packet.bytes).subspan(*stamps.data);
    const std::size_t zero = units.size() > 3 && units[0] == 0 && units[1] == 0 && units[2] == 0;
    if (units.size() < zero + 4 || units[zero] != 0 || units[zero + 1] != 0 || units[zero + 2] != 1)
        return false;
    bool picture = false;
    bool disposable = true;
    StartCodeScanner scanner;
    scanner.Push(units, [&](std::uint8_t header, std::size_t at) {
        const int type = header & 0x1F;
        const bool slice = type >= 1 && type <= 5;
        // A slice whose first_mb_in_slice is 0 (its first bit set) starts a picture.
        const bool starts = slice && at + 1 < units.size() && (units[at + 1] & 0x80) != 0;
        if (type == 7 || type == 8 || (slice && (type != 1 || (header & 0x60) != 0)) ||
            (picture && (type == 9 || starts)) || (!picture && slice && !starts))
            disposable = false;
        picture = picture || slice;
    });
    return picture && disposable;
}

// A second past the meeting point the squeeze is over for every stamp, the PCR's included (it
// trails the decode times by the multiplexer's delay, well under a second in practice); a gap
// as long between two pictures is a break in the stream.
constexpr std::int64_t kMetMargin = 90000;

} // namespace

CatchUp::CatchUp(std::span<const TsPacket> group, std::uint16_t pmtPid, const PmtInfo& pmt,
                 bool framesOnly, const CatchUpLimits& limits)
    : m_limits(limits), m_pmtPid(pmtPid), m_videoPid(pmt.videoPid), m_pcrPid(pmt.pcrPid)
{
    std::optional<std::uint64_t> origin;
    std::int64_t oldest = 0;
    std::int64_t last = 0;
    const bool h264Frames = pmt.codec == VideoCodec::H264 && framesOnly;
    int pictures = 0;
    int disposable = 0;
    for (const TsPacket& packet : group) {
        if (packet.Pid() != m_videoPid)
            continue;
        const Stamps stamps = FindStamps(packet);
        const std::optional<std::uint64_t> clock = VideoClock(packet, stamps);
        if (!clock)
            continue;
        if (h264Frames) {
            ++pictures;
            disposable += Disposable(packet, stamps) ? 1 : 0;
        }
        if (!origin)
            origin = *clock;
        const std::int64_t s = Since(*clock, *origin);
        // A group across a break in the stream's clock (a sender that loops a clip) has no one
        // timeline to squeeze: it is handed over as it is.
        if (std::abs(s - last) > kMetMargin)
            return;
        if (s > last)
            m_frame = m_frame == 0 ? s - last : std::min(m_frame, s - last);
        last = s;
        oldest = std::min(oldest, s);
        m_newest = std::max(m_newest, s);
    }
    if (!origin)
        return;
    m_keyframe = (*origin + kWrap + std::uint64_t(oldest + std::int64_t(kWrap))) % kWrap;
    m_newest -= oldest;
    m_plan.span = std::uint64_t(m_newest);

    const double span = double(m_newest) / kTicks;
    if (span <= std::max(limits.slack, limits.lead) || limits.seconds <= 0)
        return;
    m_thinnable = h264Frames;
    // With a quarter of the pictures left out, four times the pace is no more decoding than three
    // times with none: a stream without B-frames gets no faster than one that cannot be thinned.
    m_thinsWell = h264Frames && 4 * disposable >= pictures;
    // What is behind once the lead is handed over is made up in `seconds`.
    m_plan.speed = std::clamp(1.0 + (span - limits.lead) / limits.seconds, 1.0, Fastest());
    if (m_plan.speed <= 1.0)
        return;
    // The squeezed timeline starts `lead` before the newest picture, so that the lead handed over
    // at once ends at the live edge, and meets the stream's own where the live packets are due
    // exactly when they arrive.
    const double k = m_plan.speed;
    m_plan.meet = k * (double(m_newest) - limits.lead * kTicks) / (k - 1);
    m_leadSpeed = k;
    m_pivot = {k * limits.lead * kTicks, double(m_newest)};
    m_met = false;
    m_thin = m_thinnable && k >= limits.thinFrom;
}

void CatchUp::StartedAfter(double seconds)
{
    if (m_met || seconds <= 0)
        return;
    // Planned again from the latest stamp written (the pace's first picture's, or a presentation
    // time ahead of it), so that every stamp stays in order: from there what is behind, the live
    // edge now further ahead by as long as the player took, is made up by the time planned, the
    // meeting point where the squeezed line reaches x - shift.
    const double shift = std::round(seconds * kTicks);
    const double from = std::max(m_pivot.x, double(m_written));
    m_pivot = {from, Squeezed(std::int64_t(from))};
    // (A lead as long as `seconds`, a player's caching of 0.8 s or more, still leaves some time.)
    const double meetAt = double(m_newest) +
                          std::max(m_limits.seconds - m_limits.lead, m_limits.seconds / 4) * kTicks;
    const double k = std::clamp((meetAt + shift - m_pivot.x) / std::max(1.0, meetAt - m_pivot.y),
                                m_leadSpeed, std::max(m_leadSpeed, Fastest()));
    m_plan.speed = k;
    m_plan.meet = (k * (m_pivot.y + shift) - m_pivot.x) / (k - 1);
    m_plan.shift = std::int64_t(shift);
    m_thin = m_thinnable && k >= m_limits.thinFrom;
}

double CatchUp::Fastest() const
{
    // Leaving pictures out only starts at `thinFrom`: below it the whole stream's pace is the cap.
    const bool leavesOut = m_thinsWell && m_limits.fastest >= m_limits.thinFrom;
    return std::max(1.0, leavesOut ? m_limits.fastest
                                   : std::min(m_limits.fastest, m_limits.fastestWhole));
}

double CatchUp::Squeezed(std::int64_t sinceKeyframe) const
{
    const auto x = double(sinceKeyframe);
    if (x >= m_plan.meet)
        return x - double(m_plan.shift);
    if (x >= m_pivot.x)
        return m_pivot.y + (x - m_pivot.x) / m_plan.speed;
    // The line the lead was squeezed on, through the pivot as first planned.
    return double(m_newest) + (x - m_leadSpeed * m_limits.lead * kTicks) / m_leadSpeed;
}

std::uint64_t CatchUp::Rewrite(std::uint64_t t) const
{
    const auto moved = std::int64_t(std::llround(Squeezed(Since(t, m_keyframe))));
    return (m_keyframe + std::uint64_t(moved + std::int64_t(kWrap))) % kWrap;
}

CatchUp::Step CatchUp::Next(TsPacket& packet)
{
    const std::uint16_t pid = packet.Pid();
    if (pid < 0x20 || pid == m_pmtPid)
        return {};
    if (pid != m_videoPid && pid != m_pcrPid) {
        if (m_plan.speed <= 1.0)
            return {};
        const Stamps stamps = FindStamps(packet);
        if (std::find(m_resumed.begin(), m_resumed.end(), pid) != m_resumed.end()) {
            MoveBack(packet, stamps, m_plan.shift);
            return {};
        }
        // Taken up at a unit start past the meeting point, which is played at its own pace: even
        // if the video stops before the catch-up is over.
        const bool past = m_met || (stamps.pts && Since(ReadPes(packet, *stamps.pts), m_keyframe) >=
                                                      std::int64_t(m_plan.meet));
        const auto held = std::find(m_held.begin(), m_held.end(), pid);
        if (!past || !packet.PayloadUnitStart()) {
            if (held == m_held.end())
                m_held.push_back(pid);
            return {.keep = false, .due = std::nullopt};
        }
        if (held != m_held.end())
            m_held.erase(held);
        m_resumed.push_back(pid);
        MoveBack(packet, stamps, m_plan.shift);
        return {};
    }
    // Packets without payload repeat the counter of the one before, and move with it.
    if (pid == m_videoPid && m_renumber != 0)
        packet.SetContinuityCounter(std::uint8_t((packet.ContinuityCounter() - m_renumber) & 0x0F));
    const Stamps stamps = m_met && m_plan.shift == 0 ? Stamps{} : FindStamps(packet);
    if (m_met) {
        MoveBack(packet, stamps, m_plan.shift);
        return {};
    }

    Step step;
    bool beforeMeeting = false;
    if (const std::optional<std::uint64_t> clock =
            pid == m_videoPid ? VideoClock(packet, stamps) : std::nullopt) {
        const std::int64_t s = Since(*clock, m_keyframe);
        // Well past the meeting point, or a jump: the stream has broken off (a sender
        // restarted) and its new timeline is not the one squeezed.
        if (s >= std::int64_t(m_plan.meet) + kMetMargin || std::abs(s - m_lastClock) > kMetMargin) {
            m_met = true;
            MoveBack(packet, stamps, m_plan.shift);
            return {};
        }
        m_lastClock = s;
        step.due = (Squeezed(s) - double(m_newest)) / kTicks;
        beforeMeeting = double(s) < m_plan.meet;
    }
    if (pid == m_videoPid) {
        if (packet.PayloadUnitStart()) {
            // Never two pictures next to each other on screen: what is shown moves on by two
            // frames at most.
            const std::optional<std::int64_t> shown =
                stamps.pts ? std::optional(Since(ReadPes(packet, *stamps.pts), m_keyframe))
                           : std::nullopt;
            const auto nextTo = [&](const std::optional<std::int64_t>& other) {
                return other && std::abs(*shown - *other) <= m_frame * 3 / 2;
            };
            m_leavingOut = m_thin && beforeMeeting && shown &&
                           std::none_of(m_leftOut.begin(), m_leftOut.end(), nextTo) &&
                           Disposable(packet, stamps);
            if (m_leavingOut)
                m_leftOut[m_leftOutCount++ % m_leftOut.size()] = shown;
        }
        if (m_leavingOut) {
            if (packet.HasPayload())
                m_renumber = std::uint8_t((m_renumber + 1) & 0x0F);
            return {.keep = false, .due = std::nullopt};
        }
    }
    // A plan made again starts past every stamp already written (a presentation time runs ahead
    // of its decode time), so that none of them comes out of order; one implausibly far ahead is
    // taken as no further than a second past the decode times.
    ChangeStamps(packet, stamps, [this](std::uint64_t t) {
        m_written = std::max(m_written, std::min(Since(t, m_keyframe), m_lastClock + kMetMargin));
        return Rewrite(t);
    });
    return step;
}

} // namespace fastzap
