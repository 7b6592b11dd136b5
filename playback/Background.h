#pragma once

#include <chrono>
#include <functional>

// Work that can wait on the network for as long as a server keeps it waiting: stopping and
// releasing a libvlc player (its adaptive-streaming module keeps a lock across a network read,
// and a stop waits for that lock), and looking a channel up. Each job runs on a thread of its
// own, so one stuck job holds up no other, and nobody waits for it: not a window, not a channel
// change, and at exit not for longer than the caller allows.
namespace background {

// Runs `job` on a thread of its own and returns at once.
void Run(std::function<void()> job);

// Jobs started and not yet finished.
int Pending();

// Waits at most `timeout` for every job to finish; true when none is left.
bool WaitForAll(std::chrono::milliseconds timeout);

} // namespace background
