#include "CatchUp.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace fastzap {

namespace {

constexpr std::uint64_t kWrap = std::uint64_t(1) << 33;
constexpr double kTicks = 90000.0;

// Where a packet's PCR base and its PES time stamps lie, when it has them.
struct Stamps
{
    std::optional<std::size_t> pcr;
    std::optional<std::size_t> pts;
    std::optional<std::size_t> dts;
};

Stamps FindStamps(const TsPacket& packet)
{
    Stamps found;
    if (packet.HasAdaptationField() && packet.AdaptationFieldFits() &&
        packet.AdaptationFieldLength() >= 7 && (packet.AdaptationFlags() & 0x10) != 0)
        found.pcr = 6;
    if (!packet.PayloadUnitStart())
        return found;
    const std::span<const std::uint8_t> p = packet.Payload();
    if (p.size() < 9 || p[0] != 0 || p[1] != 0 || p[2] != 1)
        return found;
    const std::size_t at = packet.PayloadOffset();
    const int flags = p[7] >> 6;
    if ((flags & 2) != 0 && p.size() >= 14)
        found.pts = at + 9;
    if (flags == 3 && p.size() >= 19)
        found.dts = at + 14;
    return found;
}

std::uint64_t ReadPes(const TsPacket& packet, std::size_t at)
{
    const auto& b = packet.bytes;
    return (std::uint64_t(b[at] & 0x0E) << 29) | (std::uint64_t(b[at + 1]) << 22) |
           (std::uint64_t(b[at + 2] & 0xFE) << 14) | (std::uint64_t(b[at + 3]) << 7) |
           (std::uint64_t(b[at + 4]) >> 1);
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

// `t` relative to `origin` on the 33-bit clock, as a signed number of ticks.
std::int64_t Since(std::uint64_t t, std::uint64_t origin)
{
    const std::uint64_t d = (t - origin) % kWrap;
    return d >= kWrap / 2 ? std::int64_t(d) - std::int64_t(kWrap) : std::int64_t(d);
}

} // namespace

CatchUpPlan CatchUp(std::vector<TsPacket>& group, std::uint16_t pmtPid, std::uint16_t videoPid,
                    std::uint16_t pcrPid, const CatchUpLimits& limits)
{
    const auto kept = [&](std::uint16_t pid) {
        return pid < 0x20 || pid == pmtPid || pid == videoPid || pid == pcrPid;
    };
    std::erase_if(group, [&](const TsPacket& packet) { return !kept(packet.Pid()); });

    // The group's clock: the first stamp read is its origin, the newest its live edge.
    std::optional<std::uint64_t> origin;
    std::int64_t oldest = 0;
    std::int64_t newest = 0;
    const auto note = [&](std::uint64_t t) {
        if (!origin)
            origin = t;
        const std::int64_t s = Since(t, *origin);
        oldest = std::min(oldest, s);
        newest = std::max(newest, s);
    };
    for (const TsPacket& packet : group) {
        if (packet.Pid() != videoPid && packet.Pid() != pcrPid)
            continue;
        const Stamps stamps = FindStamps(packet);
        if (stamps.pcr && packet.Pid() == pcrPid)
            note(ReadPcr(packet, *stamps.pcr));
        if (stamps.dts)
            note(ReadPes(packet, *stamps.dts));
        else if (stamps.pts && packet.Pid() == videoPid)
            note(ReadPes(packet, *stamps.pts));
    }
    CatchUpPlan plan;
    if (!origin)
        return plan;
    plan.span = std::uint64_t(newest - oldest);
    const double late = double(plan.span) / kTicks - limits.slack;
    if (late <= 0 || limits.seconds <= 0)
        return plan;
    plan.speed = std::clamp(1.0 + late / limits.seconds, 1.0, std::max(1.0, limits.fastest));
    if (plan.speed <= 1.0)
        return plan;

    const std::uint64_t edge = (*origin + std::uint64_t(newest + std::int64_t(kWrap))) % kWrap;
    const auto squeeze = [&](std::uint64_t t) -> std::uint64_t {
        const std::int64_t before = -Since(t, edge);
        if (before <= 0)
            return t;
        const auto moved = std::int64_t(std::llround(double(before) / plan.speed));
        return (edge + kWrap - std::uint64_t(moved)) % kWrap;
    };
    for (TsPacket& packet : group) {
        if (packet.Pid() != videoPid && packet.Pid() != pcrPid)
            continue;
        const Stamps stamps = FindStamps(packet);
        if (stamps.pcr)
            WritePcr(packet, *stamps.pcr, squeeze(ReadPcr(packet, *stamps.pcr)));
        if (stamps.pts)
            WritePes(packet, *stamps.pts, squeeze(ReadPes(packet, *stamps.pts)));
        if (stamps.dts)
            WritePes(packet, *stamps.dts, squeeze(ReadPes(packet, *stamps.dts)));
    }
    return plan;
}

} // namespace fastzap
