#pragma once

#include "TsPacket.h"

#include <cstdint>
#include <vector>

namespace fastzap {

// A group of pictures handed to a player starts at its keyframe, up to two keyframe intervals in
// the past. A live player's clock takes the first timestamp it reads as "now" and plays on from
// it at the stream's pace, so it would stay that far behind live until its drift correction
// notices and throws pictures away in a jump. Here the group's timeline is squeezed instead:
// tNew being the newest clock the group carries (its latest PCR or decode time: what a player's
// clock follows), every stamp t before it becomes tNew - (tNew - t) / speed, later ones stay, so
// that the player runs through the group `speed` times as fast, every picture decoded and shown,
// and meets the live packets, whose stamps are left as they are, at the live edge.
//
// Sound in the group is dropped: it could not be played faster without being garbled. The live
// sound follows the group.
struct CatchUpPlan
{
    // How far the group reaches into the past, in 90 kHz ticks (newest minus oldest stamp).
    std::uint64_t span = 0;
    double speed = 1.0;
};

struct CatchUpLimits
{
    // The group is run through in about this long, however old its keyframe...
    double seconds = 0.8;
    // ...but never faster than this: each picture is still decoded and shown.
    double fastest = 3.0;
    // A group younger than this is played as it is.
    double slack = 0.15;
};

// Rewrites `group` (PAT, PMT, the packets since a keyframe, in order) in place: PCRs, and the
// PTS and DTS of every PES kept; drops the packets of elementary streams other than the video
// and the PCR's. PSI (PIDs below 0x20 and the PMT's) passes untouched.
CatchUpPlan CatchUp(std::vector<TsPacket>& group, std::uint16_t pmtPid, std::uint16_t videoPid,
                    std::uint16_t pcrPid, const CatchUpLimits& limits = {});

} // namespace fastzap
