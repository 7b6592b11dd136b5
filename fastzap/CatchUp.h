#pragma once

#include "Psi.h"
#include "TsPacket.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fastzap {

// A group of pictures handed to a player starts at its keyframe, up to two keyframe intervals in
// the past. A live player's clock takes the first timestamp it reads as "now" and plays on from
// it at the stream's pace, comparing, every fifth of a second, the time each new timestamp
// arrives with the time it expects; what arrives early moves its whole clock forward, and the
// pictures in between are thrown away in a jump.
//
// So the stream's timeline is squeezed and handed over at the pace it then plays: the player
// runs through the group `speed` times as fast, every picture decoded (but see below), and on
// through the first live packets, which are held back until the squeezed timeline meets theirs.
// From then on the stream passes at the live edge. What is handed over at once is the `lead`, what
// the player buffers before its first picture. Its clock starts once it has decoded its first
// pictures, and every picture after the lead comes when that clock expects it (LiveSource counts
// the pace from about then), so there is nothing for the clock to take out. The live packets
// came on the sender's clock meanwhile, as much earlier as the player took to start: from the
// meeting point every stamp is moved back by as long (StartedAfter), and the live packets are
// due as they come.
//
// The clock followed is the video's decode time: the player is told not to trust the PCR
// (`:no-ts-trust-pcr`), and derives its clock from the video's time stamps. PCRs are moved with
// the same squeeze, so that the stream stays consistent.
//
// From two and a half times the stream's pace on (groups older than about 1.3 s), the H.264
// pictures no other picture refers to are left out until the meeting point, though never two
// that would be shown one after the other: with B-frames that is a third to a half of them, so
// the decoder has that much less to do, and what is shown moves on by two frames at a time,
// still more often than the stream's own pictures. A decoder that cannot keep up (1080p three
// times as fast, on two loaded cores) would drop pictures anyway, in bursts, and its clock would
// jump; below that pace every picture is shown. Left out so, four times the pace is about twice
// the decoding: what lets a group of nearly 2 s be made up within a second of its first picture.
// Field-coded streams keep every picture (a field's pair would be left alone), and so does any
// picture whose PES does not plainly hold one unreferenced picture. What the left-out pictures
// carried goes with them: their PCRs (the player's clock follows the decode times), and their
// captions for under a second. The video's continuity counters are renumbered for what is left out,
// for the rest of the stream.
//
// Sound before the meeting point is left out: it could not be played faster without being
// garbled. The live sound is taken up at its first unit start past the meeting point. (Sound on
// the PCR's PID, which a few multiplexers do, is kept and squeezed with the PCR: the player's
// clock may follow it.)
struct CatchUpLimits
{
    // What is behind after the lead is made up in this long, however old the keyframe...
    double seconds = 0.8;
    // ...but never faster than this where pictures can be left out (from `thinFrom` on, what is
    // shown moves on by two frames at a time)...
    double fastest = 4.0;
    // ...and than this where every picture is decoded and shown (MPEG-2, H.265, field-coded
    // H.264, and H.264 of which under a quarter could be left out: no B-frames, say).
    double fastestWhole = 3.0;
    // A group younger than this is played as it is.
    double slack = 0.15;
    // Seconds of the squeezed timeline handed over at once: the player's caching.
    double lead = 0.1;
    // From this speed on, pictures nothing refers to are left out.
    double thinFrom = 2.5;
};

struct CatchUpPlan
{
    // How far the group reaches into the past, in 90 kHz ticks (its newest decode time minus its
    // keyframe's).
    std::uint64_t span = 0;
    double speed = 1.0;
    // Where the squeezed timeline meets the stream's own, in 90 kHz ticks after the keyframe.
    double meet = 0.0;
    // How far every stamp from the meeting point on is moved back, in ticks: as long as the
    // player took to start its clock (CatchUp::StartedAfter).
    std::int64_t shift = 0;
};

class CatchUp
{
public:
    // Plans from `group` (the packets since a keyframe, as they were sent) of the program `pmt`
    // describes. `framesOnly`: the stream's sequence header says every picture is coded as a
    // frame (H.264 frame_mbs_only_flag); a field is an access unit of its own, and leaving out
    // one of a pair would leave the other alone.
    CatchUp(std::span<const TsPacket> group, std::uint16_t pmtPid, const PmtInfo& pmt,
            bool framesOnly, const CatchUpLimits& limits = {});

    const CatchUpPlan& Plan() const { return m_plan; }

    struct Step
    {
        bool keep = true;
        // When this packet is to be handed over, in seconds after the pace has started (zero or
        // less: it is part of the lead); none: right after the packet before it.
        std::optional<double> due;
    };
    // The stream's packets, group first, each once and in order: rewritten in place.
    Step Next(TsPacket& packet);

    // The player's clock started `seconds` after the live packets began to come: its first
    // picture took that long. From the latest stamp written the squeeze is planned again, so that
    // what is behind, now as much more, is still made up in as long (no faster than `fastest`), and
    // so that from the meeting point the live packets, which come on the sender's clock, are due
    // exactly when they come: every stamp from there on is moved back by `seconds`, for good.
    // Otherwise they would come early by as long, and the player's clock would jump forward to
    // take it out. Once, before anything past the lead has been handed over.
    void StartedAfter(double seconds);

    // The timelines have met (or there was nothing to squeeze): packets pass as they come, their
    // stamps moved back by the plan's shift.
    bool Met() const { return m_met; }
    // ...every other stream left out meanwhile has been taken up again, no video picture was left
    // out (whose counters would be renumbered for good) and no stamp is moved: nothing is left to
    // do. (A stream first seen after this passes from wherever it starts, as at any live start.)
    bool Done() const { return m_met && m_held.empty() && m_renumber == 0 && m_plan.shift == 0; }

private:
    // Where `t` lands on the squeezed timeline, in ticks since the keyframe.
    double Squeezed(std::int64_t sinceKeyframe) const;
    // The top speed for this stream.
    double Fastest() const;
    std::uint64_t Rewrite(std::uint64_t t) const;

    CatchUpPlan m_plan;
    CatchUpLimits m_limits;
    // The squeezed line runs at the plan's speed from its pivot, a point (ticks since the
    // keyframe, squeezed) first where the lead ends (at the newest picture), then where it was
    // planned again; before it, at the speed first planned.
    struct Point
    {
        double x = 0.0;
        double y = 0.0;
    };
    Point m_pivot;
    double m_leadSpeed = 1.0;
    std::uint16_t m_pmtPid;
    std::uint16_t m_videoPid;
    std::uint16_t m_pcrPid;
    bool m_thinnable = false; // H.264 coded in frames
    bool m_thinsWell = false; // ...of whose pictures a quarter or more can be left out
    bool m_thin = false;
    bool m_leavingOut = false; // the video PES under way is left out
    // When the latest pictures left out were to be shown: decode order is not display order.
    std::array<std::optional<std::int64_t>, 4> m_leftOut;
    std::size_t m_leftOutCount = 0;
    std::int64_t m_frame = 0;     // the shortest time between two pictures
    std::uint8_t m_renumber = 0;  // video packets with payload left out, modulo 16
    std::uint64_t m_keyframe = 0; // its decode time, on the 33-bit clock
    std::int64_t m_newest = 0;    // ticks since the keyframe
    std::int64_t m_lastClock = 0;
    std::int64_t m_written = 0; // the latest stamp rewritten, in ticks since the keyframe
    bool m_met = true;
    // Streams other than the video, left out until the meeting and then taken up at their next
    // unit start, so that a player never sees half of one.
    std::vector<std::uint16_t> m_held;
    std::vector<std::uint16_t> m_resumed;
};

} // namespace fastzap
