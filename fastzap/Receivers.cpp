#include "Receivers.h"

#include "GroupSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace fastzap {
namespace {

constexpr std::uint64_t kWakeToken = ~std::uint64_t(0);
constexpr int kBatch = 16;
// A UDP datagram is at most this long, so no datagram is ever cut short.
constexpr std::size_t kDatagramMax = 65536;

std::string Describe(const char* what, const GroupAddress& group, int error)
{
    return std::string(what) + " " + group.address + ":" + std::to_string(group.port) + ": " +
           std::strerror(error);
}

} // namespace

std::vector<GroupAddress> SiteGroups()
{
    std::vector<GroupAddress> groups;
    for (int n = 1; n <= 8; ++n)
        groups.push_back({"224.1.1." + std::to_string(n), 1234});
    return groups;
}

Receivers::Receivers(std::vector<GroupAddress> groups, ReceiverOptions options) : m_options(options)
{
    for (auto& group : groups) {
        auto slot = std::make_unique<ChannelSlot>();
        slot->group = std::move(group);
        slot->buffer =
            std::make_unique<ChannelBuffer>(options.limits, options.maxBehind, options.catchUp);
        m_channels.push_back(std::move(slot));
    }
}

Receivers::~Receivers()
{
    Stop();
}

Receivers::Status Receivers::ChannelStatus(std::size_t index) const
{
    const ChannelSlot& slot = *m_channels[index];
    Status status;
    {
        const std::lock_guard lock(m_statusMutex);
        status.state = slot.state;
        status.error = slot.error;
    }
    status.datagrams = slot.datagrams.load(std::memory_order_relaxed);
    status.bytes = slot.bytes.load(std::memory_order_relaxed);
    return status;
}

std::shared_ptr<LiveSource> Receivers::OpenSource(std::size_t index)
{
    {
        const std::lock_guard lock(m_statusMutex);
        if (m_channels[index]->state != State::Running)
            return nullptr;
    }
    return m_channels[index]->buffer->OpenSource(m_options.maxSilence);
}

void Receivers::OpenSocket(std::size_t index)
{
    ChannelSlot& slot = *m_channels[index];
    auto fail = [&](const char* what, int error) {
        slot.socket.reset();
        const std::lock_guard lock(m_statusMutex);
        slot.state = State::Failed;
        slot.error = Describe(what, slot.group, error);
    };

    in_addr group{};
    if (inet_pton(AF_INET, slot.group.address.c_str(), &group) != 1 ||
        !IN_MULTICAST(ntohl(group.s_addr))) {
        fail("not a multicast group:", EINVAL);
        return;
    }
    posix::GroupJoin joined = posix::JoinGroup(group, slot.group.port, m_options.socketBuffer);
    if (!joined.socket.valid()) {
        fail(joined.failedStep, joined.error);
        return;
    }
    slot.socket = std::move(joined.socket);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, slot.socket.get(), &event) != 0) {
        fail("epoll for", errno);
        return;
    }
    const std::lock_guard lock(m_statusMutex);
    slot.state = State::Running;
    slot.error.clear();
}

bool Receivers::Start()
{
    if (m_thread.joinable())
        return true;
    m_epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    m_wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_epoll.valid() || !m_wake.valid()) {
        const int error = errno;
        const std::lock_guard lock(m_statusMutex);
        for (auto& slot : m_channels) {
            slot->state = State::Failed;
            slot->error = std::string("receiver thread: ") + std::strerror(error);
        }
        return false;
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeToken;
    ::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, m_wake.get(), &wake);

    for (std::size_t i = 0; i < m_channels.size(); ++i) {
        m_channels[i]->buffer->Reset();
        OpenSocket(i);
    }
    m_thread = std::thread(&Receivers::Run, this);
    return true;
}

void Receivers::Stop()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        // An eventfd write of 8 bytes cannot be short; it fails only if the counter would
        // overflow, and then the thread is already being woken.
        [[maybe_unused]] const ssize_t written = ::write(m_wake.get(), &one, sizeof one);
        m_thread.join();
    }
    CloseSockets();
    m_epoll.reset();
    m_wake.reset();
}

void Receivers::CloseSockets()
{
    for (auto& slot : m_channels) {
        slot->socket.reset();
        slot->buffer->Reset();
        const std::lock_guard lock(m_statusMutex);
        if (slot->state == State::Running)
            slot->state = State::Stopped;
    }
}

void Receivers::Run()
{
    std::vector<std::uint8_t> storage(kBatch * kDatagramMax);
    std::vector<mmsghdr> messages(kBatch);
    std::vector<iovec> vectors(kBatch);
    for (int i = 0; i < kBatch; ++i) {
        vectors[i].iov_base = storage.data() + std::size_t(i) * kDatagramMax;
        vectors[i].iov_len = kDatagramMax;
    }
    std::vector<epoll_event> events(m_channels.size() + 1);

    for (;;) {
        const int ready = ::epoll_wait(m_epoll.get(), events.data(), int(events.size()), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int e = 0; e < ready; ++e) {
            if (events[e].data.u64 == kWakeToken)
                return;
            ChannelSlot& slot = *m_channels[events[e].data.u64];
            for (;;) {
                for (int i = 0; i < kBatch; ++i) {
                    messages[i] = mmsghdr{};
                    messages[i].msg_hdr.msg_iov = &vectors[i];
                    messages[i].msg_hdr.msg_iovlen = 1;
                }
                const int got =
                    ::recvmmsg(slot.socket.get(), messages.data(), kBatch, MSG_DONTWAIT, nullptr);
                if (got <= 0)
                    break;
                // Counted before they reach the buffer, so that whoever sees their packets
                // there also sees them counted.
                std::uint64_t bytes = 0;
                for (int i = 0; i < got; ++i)
                    bytes += messages[i].msg_len;
                slot.datagrams.fetch_add(std::uint64_t(got), std::memory_order_relaxed);
                slot.bytes.fetch_add(bytes, std::memory_order_relaxed);
                for (int i = 0; i < got; ++i) {
                    const auto* data = static_cast<const std::uint8_t*>(vectors[i].iov_base);
                    slot.buffer->Push({data, messages[i].msg_len});
                }
                // Fewer than asked for: the socket is drained; epoll says when there is more.
                if (got < kBatch)
                    break;
            }
        }
    }
}

} // namespace fastzap
