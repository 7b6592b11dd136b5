#pragma once

#include "ChannelBuffer.h"
#include "UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fastzap {

struct GroupAddress
{
    std::string address; // dotted IPv4 multicast group
    std::uint16_t port = 1234;
};

// The site's channels: channel N (1 to 8) is index N - 1, udp://@224.1.1.N:1234.
std::vector<GroupAddress> SiteGroups();

struct ReceiverOptions
{
    BufferLimits limits;
    std::size_t maxBehind = ChannelBuffer::kDefaultMaxBehind;
    int socketBuffer = 1 << 20; // SO_RCVBUF asked for: room for a burst while the thread is busy
    // A channel silent this long gives no source: its sender has stopped or its group is lost.
    std::chrono::milliseconds maxSilence{1000};
    // How a source's stream is squeezed to reach live (CatchUp.h); none: handed over as sent.
    std::optional<CatchUpLimits> catchUp = CatchUpLimits{};
};

// One receiver per channel, all on one thread: each joins its group and feeds its channel's
// buffer. A receiver whose socket cannot be opened, bound or joined to its group is failed and
// says why; the others run.
//
// Each socket is bound to its group's address (not the wildcard) with SO_REUSEADDR, so it gets
// only its own group's datagrams, and libvlc or any other program can join the same group on the
// same port at the same time.
class Receivers
{
public:
    enum class State
    {
        Stopped,
        Running,
        Failed
    };
    struct Status
    {
        State state = State::Stopped;
        std::string error; // what failed, for a failed receiver
        std::uint64_t datagrams = 0;
        std::uint64_t bytes = 0;
    };

    explicit Receivers(std::vector<GroupAddress> groups, ReceiverOptions options = {});
    ~Receivers(); // stops and joins the thread
    Receivers(const Receivers&) = delete;
    Receivers& operator=(const Receivers&) = delete;

    // Opens the sockets and starts the thread; returns once every receiver is running or
    // failed. False when the thread itself could not be set up (then all are failed).
    bool Start();
    // Returns once the thread has ended; the sockets leave their groups, every buffer is
    // forgotten and every open source ends.
    void Stop();

    std::size_t size() const { return m_channels.size(); }
    Status ChannelStatus(std::size_t index) const;
    ChannelBuffer& Channel(std::size_t index) { return *m_channels[index]->buffer; }
    // The channel's live source, or none when it is not running, has no start point yet or
    // has been silent for ReceiverOptions::maxSilence: then the player joins the group itself.
    std::shared_ptr<LiveSource> OpenSource(std::size_t index);

private:
    struct ChannelSlot
    {
        GroupAddress group;
        std::unique_ptr<ChannelBuffer> buffer;
        posix::UniqueFd socket;
        State state = State::Stopped;
        std::string error;
        std::atomic<std::uint64_t> datagrams{0};
        std::atomic<std::uint64_t> bytes{0};
    };

    void OpenSocket(std::size_t index);
    void CloseSockets();
    void Run();

    ReceiverOptions m_options;
    std::vector<std::unique_ptr<ChannelSlot>> m_channels;
    mutable std::mutex m_statusMutex;
    posix::UniqueFd m_epoll;
    posix::UniqueFd m_wake;
    std::thread m_thread;
};

} // namespace fastzap
