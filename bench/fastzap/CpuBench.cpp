// The CPU the eight channels' receivers cost with no player: the process does nothing but
// receive, so its own user and system time is theirs. Run by bench/fastzap_cpu.py inside the test
// network, with the demo network's eight senders going.
//
//   bench_fastzap_cpu [seconds] [port]
//
// Prints one JSON object: CPU as a share of one core, and each channel's datagrams, bitrate and
// whether it held a group of pictures at the end.
#include "Receivers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <thread>

namespace {

double Seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    using Clock = std::chrono::steady_clock;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    auto groups = fastzap::SiteGroups();
    if (argc > 2) {
        for (auto& g : groups)
            g.port = std::uint16_t(std::atoi(argv[2]));
    }
    fastzap::Receivers receivers(groups);
    if (!receivers.Start()) {
        std::fprintf(stderr, "the receivers could not start\n");
        return 1;
    }
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const auto status = receivers.ChannelStatus(i);
        if (status.state != fastzap::Receivers::State::Running) {
            std::fprintf(stderr, "channel %zu: %s\n", i + 1, status.error.c_str());
            return 1;
        }
    }

    // Wait for every channel's first keyframe, so the figure is of the steady state.
    const auto ready = Clock::now() + std::chrono::seconds(10);
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        while (!receivers.Channel(i).HasRandomAccess() && Clock::now() < ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::vector<std::uint64_t> bytesBefore;
    std::vector<std::uint64_t> datagramsBefore;
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        bytesBefore.push_back(receivers.ChannelStatus(i).bytes);
        datagramsBefore.push_back(receivers.ChannelStatus(i).datagrams);
    }
    rusage start{};
    ::getrusage(RUSAGE_SELF, &start);
    const auto began = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    rusage end{};
    ::getrusage(RUSAGE_SELF, &end);
    const double wall = std::chrono::duration<double>(Clock::now() - began).count();

    const double user = Seconds(end.ru_utime) - Seconds(start.ru_utime);
    const double system = Seconds(end.ru_stime) - Seconds(start.ru_stime);
    std::printf("{\"seconds\": %.3f, \"user_s\": %.4f, \"system_s\": %.4f, "
                "\"cpu_percent_of_one_core\": %.3f, \"channels\": [",
                wall, user, system, 100.0 * (user + system) / wall);
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const auto status = receivers.ChannelStatus(i);
        const auto stats = receivers.Channel(i).Stats();
        std::printf("%s{\"channel\": %zu, \"datagrams_per_s\": %.1f, \"kbit_per_s\": %.1f, "
                    "\"keyframes\": %llu, \"continuity_errors\": %llu, \"has_gop\": %s}",
                    i ? ", " : "", i + 1, double(status.datagrams - datagramsBefore[i]) / wall,
                    8.0 * double(status.bytes - bytesBefore[i]) / wall / 1000.0,
                    static_cast<unsigned long long>(stats.randomAccessPoints),
                    static_cast<unsigned long long>(stats.continuityErrors),
                    receivers.Channel(i).HasRandomAccess() ? "true" : "false");
    }
    std::printf("]}\n");
    return 0;
}
