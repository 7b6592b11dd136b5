#include "GroupHealth.h"

namespace fastzap {

void GroupHealth::Start(Time now, const GroupSample& counted)
{
    m_last = counted;
    m_lastData = now;
    m_lastKeyframe = now;
    m_carryingSince.reset();
}

void GroupHealth::Push(Time now, const GroupSample& counted)
{
    // A receiver started again counts from zero: anything below the last count is news.
    const bool data = counted.datagrams != m_last.datagrams;
    const bool keyframe = counted.keyframes != m_last.keyframes;
    if (!data && now - m_lastData > m_limits.dataGap)
        m_carryingSince.reset();
    if (m_carryingSince && !keyframe && now - m_lastKeyframe > m_limits.keyframeGap)
        m_carryingSince.reset();
    if (data)
        m_lastData = now;
    if (keyframe) {
        m_lastKeyframe = now;
        if (!m_carryingSince)
            m_carryingSince = now;
    }
    m_last = counted;
}

bool GroupHealth::Recovered(Time now) const
{
    const auto carrying = CarryingFor(now);
    return carrying && *carrying >= m_limits.recovery && m_last.hasGop;
}

std::optional<GroupHealth::Time> GroupHealth::CarryingFor(Time now) const
{
    if (!m_carryingSince || now - m_lastData > m_limits.dataGap ||
        now - m_lastKeyframe > m_limits.keyframeGap)
        return std::nullopt;
    return now - *m_carryingSince;
}

} // namespace fastzap
