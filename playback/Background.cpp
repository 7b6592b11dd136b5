#include "Background.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace background {
namespace {

struct State
{
    std::mutex mutex;
    std::condition_variable idle;
    int pending = 0;
};

// Never destroyed: a job still stuck when the program ends must not find its lock gone.
State& state()
{
    static auto* const s = new State;
    return *s;
}

void finished()
{
    State& s = state();
    const std::lock_guard lock(s.mutex);
    if (--s.pending == 0)
        s.idle.notify_all();
}

} // namespace

void Run(std::function<void()> job)
{
    State& s = state();
    {
        const std::lock_guard lock(s.mutex);
        ++s.pending;
    }
    const auto task = std::make_shared<std::function<void()>>(std::move(job));
    try {
        std::thread([task] {
            (*task)();
            finished();
        }).detach();
    } catch (const std::system_error& error) {
        // Out of threads: the job still has to run, and waiting is better than leaking it.
        std::fprintf(stderr, "quorvel: no thread for a background job (%s)\n", error.what());
        (*task)();
        finished();
    }
}

int Pending()
{
    State& s = state();
    const std::lock_guard lock(s.mutex);
    return s.pending;
}

bool WaitForAll(std::chrono::milliseconds timeout)
{
    State& s = state();
    std::unique_lock lock(s.mutex);
    return s.idle.wait_for(lock, timeout, [&] { return s.pending == 0; });
}

} // namespace background
