#include "GroupWatch.h"

#include "GroupAddress.h"
#include "GroupSocket.h"
#include "VideoFrames.h"
#include "VideoShape.h"

#include <array>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <vector>

std::unique_ptr<GroupWatch> GroupWatch::Start(const QString& address,
                                              std::shared_ptr<VideoFrames> frames)
{
    const std::optional<GroupAddress> parsed = ParseGroupAddress(address);
    if (!parsed)
        return nullptr;
    posix::UniqueFd socket = posix::JoinGroupSocket(parsed->group, parsed->port);
    posix::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!socket.valid() || !wake.valid())
        return nullptr;
    return std::make_unique<GroupWatch>(std::move(socket), std::move(wake), std::move(frames));
}

GroupWatch::GroupWatch(posix::UniqueFd socket, posix::UniqueFd wake,
                       std::shared_ptr<VideoFrames> frames)
    : m_socket(std::move(socket)), m_wake(std::move(wake)), m_frames(std::move(frames)),
      m_thread([this] { Run(); })
{}

GroupWatch::~GroupWatch()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake.get(), &one, sizeof one);
    m_thread.join();
}

void GroupWatch::Run()
{
    fastzap::TsShapeWatch watch;
    std::vector<fastzap::VideoShape> shapes;
    std::vector<std::uint8_t> datagram(65536);
    std::array<pollfd, 2> waits = {pollfd{m_socket.get(), POLLIN, 0},
                                   pollfd{m_wake.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR)
            return;
        if (waits[1].revents != 0)
            return;
        for (;;) {
            const ssize_t got = ::recv(m_socket.get(), datagram.data(), datagram.size(), 0);
            if (got <= 0)
                break;
            watch.Push(std::span<const std::uint8_t>(datagram.data(), std::size_t(got)), shapes);
        }
        for (const fastzap::VideoShape& shape : shapes)
            m_frames->AddShape(shape);
        if (!shapes.empty())
            return; // told: libvlc's own reception goes on alone
    }
}
