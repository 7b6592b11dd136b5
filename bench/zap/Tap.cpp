// Notes when each picture of a channel arrives from the network, for comparing with when it is
// on screen. Run by bench/run.py inside the test network.
//
//   bench_tap CHANNEL...
//       joins udp://@224.1.1.CHANNEL:1234 for each channel and prints a line for every video PES
//       that starts: "CHANNEL ARRIVAL_NS TIMESTAMP KEYFRAME PTS", ARRIVAL_NS being the
//       CLOCK_MONOTONIC time its first packet came in, TIMESTAMP its 90 kHz decode (or
//       presentation) time, KEYFRAME 1 for a picture a decoder can start from, and PTS its
//       presentation time (-1 when the PES header does not say): with B-frames, pictures come in
//       decode order, and it is the presentation time that says which picture it is. Runs until
//       SIGTERM or SIGINT.
#include "ChannelCore.h"
#include "RandomAccess.h"
#include "TsFramer.h"
#include "UniqueFd.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

long long MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct Channel
{
    int number = 0;
    posix::UniqueFd socket;
    fastzap::TsFramer framer;
    fastzap::ChannelCore core;
    std::optional<fastzap::VideoTracker> video;
    // A PES whose keyframe-ness is known only once its payload has been scanned is printed when
    // the next one starts.
    std::optional<std::pair<long long, std::uint64_t>> pending;
    bool pendingKey = false;
    long long pendingPts = -1;
};

// The presentation time of the PES a packet starts, when its header lies in this packet.
long long PresentationTime(const fastzap::TsPacket& packet)
{
    const auto p = packet.Payload();
    if (!packet.PayloadUnitStart() || p.size() < 14 || p[0] != 0 || p[1] != 0 || p[2] != 1 ||
        (p[7] & 0x80) == 0)
        return -1;
    return (static_cast<long long>(p[9] & 0x0E) << 29) | (p[10] << 22) | ((p[11] & 0xFE) << 14) |
           (p[12] << 7) | (p[13] >> 1);
}

bool Join(Channel& channel)
{
    channel.socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!channel.socket.valid())
        return false;
    const int on = 1;
    ::setsockopt(channel.socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int buffer = 4 << 20;
    ::setsockopt(channel.socket.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1234);
    const std::string group = "224.1.1." + std::to_string(channel.number);
    inet_pton(AF_INET, group.c_str(), &address.sin_addr);
    if (::bind(channel.socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    ip_mreqn join{};
    join.imr_multiaddr = address.sin_addr;
    return ::setsockopt(channel.socket.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) ==
           0;
}

void Flush(Channel& channel)
{
    if (!channel.pending)
        return;
    std::printf("%d %lld %llu %d %lld\n", channel.number, channel.pending->first,
                static_cast<unsigned long long>(channel.pending->second),
                channel.pendingKey ? 1 : 0, channel.pendingPts);
    channel.pending.reset();
}

void Receive(Channel& channel, std::vector<std::uint8_t>& buffer,
             std::vector<fastzap::TsPacket>& packets)
{
    const ssize_t n = ::recv(channel.socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n <= 0)
        return;
    const long long now = MonotonicNs();
    packets.clear();
    channel.framer.Push({buffer.data(), std::size_t(n)}, packets);
    for (const auto& packet : packets) {
        channel.core.PushPacket(packet);
        const auto& pmt = channel.core.Pmt();
        if (!pmt || packet.Pid() != pmt->videoPid)
            continue;
        if (!channel.video)
            channel.video.emplace(pmt->codec);
        const fastzap::VideoPacketInfo info = channel.video->Push(packet);
        if (info.timestamp) {
            Flush(channel);
            channel.pending.emplace(now, *info.timestamp);
            channel.pendingKey = info.startPoint;
            channel.pendingPts = PresentationTime(packet);
        }
        if (info.startPoint)
            channel.pendingKey = true;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: bench_tap CHANNEL...\n", stderr);
        return 2;
    }
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::vector<Channel> channels(std::size_t(argc - 1));
    std::vector<pollfd> polls;
    for (int i = 1; i < argc; ++i) {
        Channel& channel = channels[std::size_t(i - 1)];
        channel.number = std::atoi(argv[i]);
        if (channel.number < 1 || channel.number > 8 || !Join(channel)) {
            std::fprintf(stderr, "bench_tap: cannot join channel %s\n", argv[i]);
            return 1;
        }
        polls.push_back({channel.socket.get(), POLLIN, 0});
    }
    std::vector<std::uint8_t> buffer(65536);
    std::vector<fastzap::TsPacket> packets;
    while (g_stop == 0) {
        if (::poll(polls.data(), polls.size(), 100) <= 0)
            continue;
        for (std::size_t i = 0; i < polls.size(); ++i)
            if ((polls[i].revents & POLLIN) != 0)
                Receive(channels[i], buffer, packets);
        std::fflush(stdout);
    }
    for (Channel& channel : channels)
        Flush(channel);
    return 0;
}
