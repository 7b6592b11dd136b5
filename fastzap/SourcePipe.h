#pragma once

#include "LiveSource.h"
#include "UniqueFd.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

namespace fastzap {

// A channel's live source handed to a player that reads a file: a pipe of one page, and a thread
// that copies the source into it as fast as the player takes it. libvlc 3 reads a pipe
// ("stream:///proc/self/fd/N") as a live input buffered for its file caching, which a media option
// sets; its memory input (libvlc_media_new_callbacks) buffers a fixed 300 ms, which kept every
// picture 200 ms further behind live than a LAN needs.
class SourcePipe
{
public:
    // Sees every chunk of the stream on its way into the pipe, on the copying thread.
    using Observer = std::function<void(std::span<const std::uint8_t>)>;

    // The pipe and its copying thread; nullptr, with errno set, when either cannot be made.
    static std::unique_ptr<SourcePipe> Start(std::shared_ptr<LiveSource> source,
                                             Observer observe = {});

    // Cancels the source and closes the pipe's read end: once the player has closed its own end
    // too (it has stopped), a copy waiting for room fails at once. Then joins the thread.
    ~SourcePipe();
    SourcePipe(const SourcePipe&) = delete;
    SourcePipe& operator=(const SourcePipe&) = delete;

    // Ends the stream now: the channel stops feeding the source.
    void Cancel() { m_source->Cancel(); }

    // What the player opens to read the stream: /proc/self/fd/N, N the read end held here (the
    // process's own table, which /dev/fd only links to and a minimal system may lack).
    std::string Path() const;
    // The same as libvlc's location of a live input.
    std::string Location() const { return "stream://" + Path(); }

private:
    SourcePipe() = default;

    std::shared_ptr<LiveSource> m_source;
    posix::UniqueFd m_read;
    std::thread m_feeder;
};

} // namespace fastzap
