#include "SourcePipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fastzap {

namespace {

// As much as one read of the source gives at most: a burst of the buffered group.
constexpr std::size_t kChunk = std::size_t(64) << 10;
constexpr int kPipeSize = 4096;
// Once the pace has started: a large keyframe or two. What waits in the pipe is out of the
// source's count of what the player has left unread, so it stays small beside that bound.
constexpr int kPacedPipeSize = 256 << 10;
constexpr int kCancelCheckMs = 100;

// Waits until the pipe has room: with the pipe one page, until the player has emptied it. False
// once the player has closed it, or the source is cancelled: a player that holds the pipe but no
// longer reads it must not keep this thread, as a cancelled source ends a read.
bool WaitForRoom(const posix::UniqueFd& out, const LiveSource& source)
{
    pollfd room{out.get(), POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&room, 1, kCancelCheckMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready != 0)
            return ready > 0 && (room.revents & POLLOUT) != 0;
        if (source.CurrentState() == LiveSource::State::Cancelled)
            return false;
    }
}

void Feed(const posix::UniqueFd& out, LiveSource& source, const SourcePipe::Observer& observe)
{
    // A write into a pipe nobody reads any more raises SIGPIPE, which would end the program.
    // Blocked on this thread, the write fails with EPIPE instead; the signal stays pending on
    // this thread alone and goes with it.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    std::vector<std::uint8_t> buffer(kChunk);
    bool grown = false;
    for (;;) {
        const ssize_t got = source.Read(buffer.data(), buffer.size());
        if (got <= 0)
            return;
        if (!grown && !source.AwaitsPaceStart()) {
            // The read that starts the pace has been made. From then on a packet is in the
            // player's reach when it is due, not when the player's reading thread next gets a
            // turn: through one page, a keyframe of 150 kB written when due reaches the player
            // only after some forty turns of its reader.
            (void)::fcntl(out.get(), F_SETPIPE_SZ, kPacedPipeSize);
            grown = true;
        }
        if (observe)
            observe(std::span<const std::uint8_t>(buffer.data(), std::size_t(got)));
        for (std::size_t done = 0; done < std::size_t(got);) {
            const ssize_t put = ::write(out.get(), buffer.data() + done, std::size_t(got) - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0 && errno == EAGAIN) {
                if (!WaitForRoom(out, source))
                    return;
                continue;
            }
            if (put <= 0)
                return;
            done += std::size_t(put);
        }
        // While the lead is handed over, the source is read again only once the player has taken
        // all it was given: a paced source starts its pace when the player has its lead.
        if (source.AwaitsPaceStart() && !WaitForRoom(out, source))
            return;
    }
}

} // namespace

std::unique_ptr<SourcePipe> SourcePipe::Start(std::shared_ptr<LiveSource> source, Observer observe)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return nullptr;
    posix::UniqueFd readEnd(ends[0]);
    posix::UniqueFd write(ends[1]);
    // As small as a pipe can be (Feed). A pipe that cannot shrink keeps its size, and a paced
    // source starts its pace a little early.
    (void)::fcntl(write.get(), F_SETPIPE_SZ, kPipeSize);
    // Writes never block: a full pipe is waited on where a cancel is seen (WaitForRoom).
    if (::fcntl(write.get(), F_SETFL, O_NONBLOCK) != 0)
        return nullptr;
    std::unique_ptr<SourcePipe> pipe(new SourcePipe);
    pipe->m_read = std::move(readEnd);
    pipe->m_source = std::move(source);
    try {
        // The thread owns the write end: closing it when the stream ends is the player's end of
        // stream.
        pipe->m_feeder =
            std::thread([out = std::move(write), source = pipe->m_source,
                         observe = std::move(observe)] { Feed(out, *source, observe); });
    } catch (const std::system_error& error) {
        const int code = error.code().value();
        pipe.reset();
        errno = code;
        return nullptr;
    }
    return pipe;
}

SourcePipe::~SourcePipe()
{
    if (m_source)
        m_source->Cancel();
    m_read.reset();
    if (m_feeder.joinable())
        m_feeder.join();
}

std::string SourcePipe::Path() const
{
    return "/proc/self/fd/" + std::to_string(m_read.get());
}

} // namespace fastzap
