#pragma once

#include "CatchUp.h"
#include "TsPacket.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <sys/types.h>
#include <vector>

namespace fastzap {

// A channel's stream as a player reads it: first the channel's PAT and PMT, then its buffered
// group of pictures, then the live packets as they arrive, with none lost or repeated between
// the two (ChannelBuffer::OpenSource takes the snapshot and starts the live feed under one lock).
//
// With a catch-up, the stream is squeezed and paced as it is read (CatchUp.h): the lead at once,
// then each picture when the player's clock expects it. The player's clock starts once it has
// decoded its first pictures, and it shows the first of them at once: the pace is counted from
// a little after then (PictureShown), never from before the reader's first read after the lead (a
// reader writing into a small pipe makes it only once the player has taken the lead). A player
// whose first pictures need more than the lead (a decoder that reorders waits for a few pictures
// after the keyframe) shows none until the pace starts: it is paced from a while after it has the
// lead (kPictureWait), which is about as long as it takes to decode it.
//
// Thread-safe: the receiver thread appends, one reader thread reads, any thread cancels.
class LiveSource
{
public:
    enum class State
    {
        Open,
        Cancelled,
        Ended,
        Overflowed
    };
    // How long after it has the lead a player that shows no picture is paced anyway: as long as
    // a 1080p lead takes to decode on one core. Sooner, what is paced meanwhile comes early to its
    // clock, which starts only once it has decoded its first pictures; later, its first picture
    // comes later.
    static constexpr std::chrono::milliseconds kPictureWait{100};

    // `maxBehind`: live bytes the reader may leave unread before the stream is ended rather
    // than grown. The snapshot it starts with does not count, nor, up to the snapshot's size, what
    // a catch-up holds back.
    LiveSource(std::vector<TsPacket> start, std::size_t maxBehind,
               std::optional<CatchUp> catchUp = std::nullopt,
               std::chrono::milliseconds pictureWait = kPictureWait);
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    // Copies up to `length` bytes, blocking until there are some due. Returns the number copied;
    // 0 once cancelled, or at the end of an ended stream (after what was left has been read);
    // -1 once the reader has fallen too far behind (nothing more is kept for it).
    ssize_t Read(std::uint8_t* buffer, std::size_t length);

    // Every blocked and later Read returns 0 at once. Any thread, any number of times.
    void Cancel();
    State CurrentState() const;
    std::size_t QueuedBytes() const;
    // A catch-up's pace has yet to start. It starts at the first read after the lead at the
    // soonest: until then the reader should read again only once what it was given has been
    // taken.
    bool AwaitsPaceStart() const;
    // The player has shown its first picture. Any thread.
    void PictureShown();

    // Called by the channel, under its lock.
    void Append(std::span<const TsPacket> packets);
    // The channel stopped: what is queued can still be read, then Read returns 0.
    void End();
    bool Accepting() const;

private:
    using Clock = std::chrono::steady_clock;

    // Copies what is due now; `wake` is set when the next packet is due later.
    std::size_t CopyDue(std::uint8_t* buffer, std::size_t length, Clock::time_point now,
                        std::optional<Clock::time_point>& wake);
    void Forget();

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<TsPacket> m_queue;
    std::size_t m_readPacket = 0; // first packet not wholly read
    std::size_t m_readOffset = 0; // bytes of it already read
    std::size_t m_startUnread;    // bytes of the starting snapshot not read yet
    std::size_t m_startBytes;
    std::size_t m_maxBehind;
    State m_state = State::Open;

    std::optional<CatchUp> m_catchUp; // let go once done
    bool m_headStepped = false;       // the packet at m_readPacket has been through the catch-up
    std::optional<Clock::duration> m_headDue;
    bool m_leadTaken = false;
    std::optional<Clock::time_point> m_pictureShown;
    const Clock::time_point m_opened = Clock::now();
    Clock::duration m_pictureWait;
    std::optional<Clock::time_point> m_leadRead; // the first read after the lead
    std::optional<Clock::time_point> m_paceStart;
};

} // namespace fastzap
