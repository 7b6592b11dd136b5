#pragma once

#include "UniqueFd.h"

#include <QString>
#include <memory>
#include <thread>

class VideoFrames;

// Reads the sequence headers of a multicast channel that libvlc receives by itself (no buffered
// group of pictures to start from), from a socket of the program's own in the same group: the
// kernel hands each datagram to both, and a header read here is almost always read before
// libvlc's decoder has made its video output (when it is not, libvlc's description of the track
// serves). Only the channel shown is received; the watch ends once it has told a shape.
class GroupWatch
{
public:
    // Watches `address` ("udp://@GROUP:PORT") for `frames`; null for any other address or when
    // the group cannot be joined.
    static std::unique_ptr<GroupWatch> Start(const QString& address,
                                             std::shared_ptr<VideoFrames> frames);
    // Watches with `socket`, already in its group, until `wake` (an eventfd) is signalled.
    GroupWatch(posix::UniqueFd socket, posix::UniqueFd wake, std::shared_ptr<VideoFrames> frames);
    // Returns at once: the thread waits only in a poll that this wakes.
    ~GroupWatch();
    GroupWatch(const GroupWatch&) = delete;
    GroupWatch& operator=(const GroupWatch&) = delete;

private:
    void Run();

    posix::UniqueFd m_socket;
    posix::UniqueFd m_wake; // an eventfd that ends the thread
    std::shared_ptr<VideoFrames> m_frames;
    std::thread m_thread;
};
