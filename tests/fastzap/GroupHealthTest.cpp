// When a group counts as silent and when as carrying its channel again, from a receiver's
// counters sampled every 250 ms: silence from the start and mid-play, a return that must last,
// breaks that start the count again, and the data that never counts as a return.
#include "GroupHealth.h"

#include <gtest/gtest.h>

using fastzap::GroupHealth;
using fastzap::GroupSample;
using Ms = std::chrono::milliseconds;

namespace {

constexpr Ms kTick{250};

struct HealthCase
{
    const char* name;
    int dataEvery;     // a datagram every so many ms; 0 for none
    int keyframeEvery; // a keyframe every so many ms; 0 for none
    int quietFrom;     // nothing comes from here...
    int quietTo;       // ...to here (ms)
    bool gop;          // the receiver holds a group of pictures
    int restartAt;     // the receiver counts from zero again here; -1 never
    // Expected at these times:
    int silentAt;    // first tick Silent() holds (-1: never)
    int recoveredAt; // first tick Recovered() holds (-1: never)
    int until;       // the run ends here
};

constexpr int kNever = 1 << 30;

const HealthCase kCases[] = {
    // Nothing from the window's opening: silent after 2 s, counted from the opening.
    {"silent_from_the_start", 0, 0, 0, kNever, true, -1, 2000, -1, 12000},
    // A stream with a keyframe every 500 ms: never silent, and carrying from its first
    // keyframe (at 500 ms) for 10 s.
    {"steady", 250, 500, kNever, kNever, true, -1, -1, 10500, 12000},
    // Going quiet mid-play at 3 s: silent 2 s after the last datagram (2750 ms).
    {"silent_mid_play", 250, 500, 3000, kNever, true, -1, 4750, -1, 12000},
    // Back at 6 s after 3 s of silence: the 10 s count starts at its first keyframe.
    {"back_after_silence", 250, 500, 3000, 6000, true, -1, 4750, 16000, 18000},
    // A break of 1.25 s in the data restarts the count, though the group never fell silent.
    {"short_break_restarts", 250, 500, 5000, 6250, true, -1, -1, 16500, 18000},
    // Data without pictures: never a return.
    {"data_without_keyframes", 250, 0, kNever, kNever, true, -1, -1, -1, 15000},
    // A stray datagram now and then keeps it from silence, and is no return.
    {"stray_datagrams", 1500, 0, kNever, kNever, true, -1, -1, -1, 15000},
    // Keyframes more than 5 s apart never make a return.
    {"keyframes_too_far_apart", 250, 5500, kNever, kNever, true, -1, -1, -1, 30000},
    // Pictures but no group of pictures held to start a player from.
    {"no_group_of_pictures", 250, 500, kNever, kNever, false, -1, -1, -1, 15000},
    // A receiver that starts again counts from zero: still news, still carrying.
    {"receiver_restarted", 250, 500, kNever, kNever, true, 3000, -1, 10500, 12000}};

TEST(fastzap_Health, SilenceAndReturnAtTheirTime)
{
    for (const HealthCase& c : kCases) {
        SCOPED_TRACE(c.name);
        GroupHealth health; // the program's limits: 2 s of silence, 10 s to return
        GroupSample counted;
        counted.datagrams = 500; // what came before the window opened is the past
        counted.keyframes = 40;
        health.Start(Ms(0), counted);
        int silentAt = -1;
        int recoveredAt = -1;
        for (int t = int(kTick.count()); t <= c.until; t += int(kTick.count())) {
            const bool quiet = t >= c.quietFrom && t < c.quietTo;
            if (t == c.restartAt)
                counted = {};
            if (!quiet && c.dataEvery > 0 && t % c.dataEvery == 0)
                ++counted.datagrams;
            if (!quiet && c.keyframeEvery > 0 && t % c.keyframeEvery == 0)
                ++counted.keyframes;
            counted.hasGop = c.gop && counted.keyframes > 0;
            health.Push(Ms(t), counted);
            if (silentAt < 0 && health.Silent(Ms(t)))
                silentAt = t;
            if (recoveredAt < 0 && health.Recovered(Ms(t)))
                recoveredAt = t;
        }
        EXPECT_EQ(silentAt, c.silentAt);
        EXPECT_EQ(recoveredAt, c.recoveredAt);
    }
}

} // namespace
