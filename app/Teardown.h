#pragma once

#include <chrono>
#include <functional>

// libvlc 3 can hold a stop or a release for as long as a server keeps one of its reads waiting:
// its adaptive-streaming module keeps a lock across a network read, and a stop waits for that
// lock. So whatever may wait like that runs here, each job on a thread of its own, so that one
// stuck teardown holds up no other, and nobody waits for it: not a window, not a channel change,
// and at exit not for longer than the caller allows.
namespace teardown {

// Runs `job` on a thread of its own and returns at once.
void Run(std::function<void()> job);

// Teardowns started and not yet finished.
int Pending();

// Waits at most `timeout` for every teardown to finish; true when none is left.
bool WaitForAll(std::chrono::milliseconds timeout);

} // namespace teardown
