#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace fastzap {

// What a receiver has counted for its group up to one moment.
struct GroupSample
{
    std::uint64_t datagrams = 0;
    std::uint64_t keyframes = 0; // start points found on the video PID
    bool hasGop = false;         // a group of pictures is held, ready for a player
};

// Whether a multicast group carries its channel, from its receiver's counters sampled now and
// then: no clock, no I/O. Times are any steady clock's, in milliseconds.
//
// Silent: no datagram for `silence`, counted from Start when none has come since. Recovered: the
// group has carried its video for `recovery` without a break (no gap of more than `dataGap`
// between datagrams, none of more than `keyframeGap` between keyframes, counted from a keyframe)
// and holds a group of pictures to start from. A datagram now and then, or data without
// pictures, never recovers it.
class GroupHealth
{
public:
    using Time = std::chrono::milliseconds;

    struct Limits
    {
        Time silence{2000};
        Time recovery{10000};
        Time dataGap{1000};
        Time keyframeGap{5000};
    };

    GroupHealth() = default;
    explicit GroupHealth(Limits limits) : m_limits(limits) {}

    // Watching begins (a window opens on the channel): what was counted before is the past.
    void Start(Time now, const GroupSample& counted);
    void Push(Time now, const GroupSample& counted);

    bool Silent(Time now) const { return now - m_lastData >= m_limits.silence; }
    bool Recovered(Time now) const;
    // How long the group has carried its video without a break; none while it does not.
    std::optional<Time> CarryingFor(Time now) const;
    const Limits& limits() const { return m_limits; }

private:
    Limits m_limits;
    GroupSample m_last;
    Time m_lastData{};
    Time m_lastKeyframe{};
    std::optional<Time> m_carryingSince;
};

} // namespace fastzap
