#pragma once

#include "UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>

namespace fastzap {

// A live stream handed to a player that reads a file: a pipe, and a thread that copies the
// stream into it as it comes. libvlc 3 reads a pipe ("stream:///proc/self/fd/N") as a live input
// buffered for its file caching, which a media option sets; its memory input
// (libvlc_media_new_callbacks) buffers a fixed 300 ms, which kept every picture 200 ms further
// behind live than a LAN needs.
class SourcePipe
{
public:
    // Blocks until it has copied some bytes into `buffer`; 0 or less ends the stream.
    using Reader = std::function<ssize_t(std::uint8_t* buffer, std::size_t length)>;
    // Makes every waiting and later read return 0 at once.
    using Canceller = std::function<void()>;

    // The pipe and its copying thread; nullptr, with errno set, when either cannot be made.
    static std::unique_ptr<SourcePipe> Start(Reader read, Canceller cancel);

    // Cancels the reader and closes the pipe's read end: once the player has closed its own end
    // too (it has stopped), a copy waiting for room fails at once. Then joins the thread.
    ~SourcePipe();
    SourcePipe(const SourcePipe&) = delete;
    SourcePipe& operator=(const SourcePipe&) = delete;

    // What the player opens to read the stream: /proc/self/fd/N, N the read end held here (the
    // process's own table, which /dev/fd only links to and a minimal system may lack).
    std::string Path() const;

private:
    SourcePipe() = default;

    posix::UniqueFd m_read;
    Canceller m_cancel;
    std::thread m_feeder;
};

} // namespace fastzap
